#include "wizard/KVDownloadDlg.h"

#include <process.h>

#include <commctrl.h>

#include "framework/app.h"
#include "install/InstallSteps.h"
#include "wizard/HeaderPaint.h"

namespace {
const UINT_PTR kStartTimer = 2;
const UINT kStartDelayMs = 300;
const UINT_PTR kFinishTimer = 3;
const UINT kFinishDelayMs = 100;
}  // namespace

KVDownloadDlg::KVDownloadDlg() : CDialog(IDD) {}

void KVDownloadDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_STC_INFO, m_stcInfo);
    DDX_Control(pDX, IDC_PROGRESS, m_prgDownload);
    DDX_Control(pDX, IDC_BTN_PREV, m_btnPrev);
    DDX_Control(pDX, IDC_BTN_NEXT, m_btnNext);
}

BOOL KVDownloadDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    m_stcInfo.SetWindowText(LoadResString(IDS_DOWNLOAD_INFO));
    m_btnPrev.SetWindowText(LoadResString(IDS_PREV));
    m_btnNext.SetWindowText(LoadResString(IDS_FINISH));
    m_bmpHeader.LoadBitmap(IDB_HEADER);
    // The delay leaves the user a moment to go back before anything is fetched.
    SetTimer(kStartTimer, kStartDelayMs);
    return TRUE;
}

void KVDownloadDlg::OnTimer(UINT_PTR id) {
    if (id == kStartTimer) {
        KillTimer(kStartTimer);
        // A thread that cannot start leaves the page waiting with both buttons enabled.
        _beginthread(&KVDownloadDlg::InstallThreadProc, 0, this);
    } else if (id == kFinishTimer) {
        KillTimer(kFinishTimer);
        OnBnClickedNext();
    }
}

void KVDownloadDlg::OnPaint() {
    PagePaint paint(m_hWnd);
    RECT client = {};
    GetClientRect(&client);
    PaintWizardHeader(paint.GetDC(), client, IDS_DL_HEADER_TITLE, IDS_DL_HEADER_SUBTITLE,
                      m_bmpHeader.GetSafeHandle());
}

void __cdecl KVDownloadDlg::InstallThreadProc(void* param) {
    KVDownloadDlg* page = static_cast<KVDownloadDlg*>(param);
    if (!page) return;

    // The disabled buttons and InstallBusy keep the page's window alive until the steps end:
    // nothing can close it while this thread uses it.
    page->m_btnPrev.EnableWindow(FALSE);
    page->m_btnNext.EnableWindow(FALSE);
    *page->m_pInstallBusy = 1;

    InstallContext context;
    context.useHttps = page->UseHttps;
    context.autoMode = page->AutoMode;
    if (InstallActiveX(page->UpdateURL.c_str(), context, page) != -1) RunKVUpdate(page->UpdateURL, context, page);

    *page->m_pInstallBusy = 0;
    page->m_btnNext.SetWindowText(LoadResString(IDS_FINISH));
    page->m_btnNext.EnableWindow(TRUE);
    if (page->AutoMode == 1) ::SetTimer(page->m_hWnd, kFinishTimer, kFinishDelayMs, nullptr);
}

void KVDownloadDlg::ShowStatus(const std::wstring& text) { m_stcInfo.SetWindowText(text); }

void KVDownloadDlg::SetProgressRange(int upper) {
    ::SendMessageW(m_prgDownload.m_hWnd, PBM_SETRANGE32, 0, static_cast<LPARAM>(upper));
}

void KVDownloadDlg::SetProgressPos(int pos) {
    ::SendMessageW(m_prgDownload.m_hWnd, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

BOOL KVDownloadDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    static const CommandMapEntry<KVDownloadDlg> kCommands[] = {
        {BN_CLICKED, IDC_BTN_NEXT, IDC_BTN_NEXT, &KVDownloadDlg::OnBnClickedNext, nullptr},
        {BN_CLICKED, IDC_BTN_PREV, IDC_BTN_PREV, &KVDownloadDlg::OnBnClickedPrev, nullptr},
    };
    return DispatchCommand(this, kCommands, wParam) || CDialog::OnCommand(wParam, lParam);
}

void KVDownloadDlg::OnBnClickedPrev() { EndPage(NotifyBack); }

void KVDownloadDlg::OnBnClickedNext() { EndPage(NotifyFinish); }

void KVDownloadDlg::EndPage(UINT code) {
    OnCancel();
    HWND self = m_hWnd;
    CWnd parent = GetParent();
    if (parent.m_hWnd) {
        NMHDR hdr = {};
        hdr.hwndFrom = self;
        hdr.idFrom = IDD;
        hdr.code = code;
        parent.SendMessage(WM_NOTIFY, IDD, reinterpret_cast<LPARAM>(&hdr));
    }
    if (self && ::IsWindow(self)) ::DestroyWindow(self);
}
