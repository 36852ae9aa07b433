#include "wizard/KVDownloadDlg.h"

#include <process.h>
#include <objbase.h>

#include <algorithm>

#include <commctrl.h>

#include "framework/app.h"
#include "install/InstallSteps.h"
#include "tracelog/TraceLog.h"
#include "wizard/HeaderPaint.h"

namespace {
const UINT_PTR kStartTimer = 2;
const UINT kStartDelayMs = 300;
const UINT_PTR kFinishTimer = 3;
const UINT kFinishDelayMs = 100;
}  // namespace

std::wstring InstallIncompleteText(const std::wstring& pattern, int exitCode, const std::wstring& logPath) {
    std::wstring text = pattern;
    if (logPath.empty()) {
        const size_t lastLine = text.rfind(L'\n');
        if (lastLine != std::wstring::npos) text.erase(lastLine);
    }
    // The code goes in before the path, so that a path holding "%1" stays as it is.
    const size_t code = text.find(L"%1");
    if (code != std::wstring::npos) text.replace(code, 2, std::to_wstring(exitCode));
    const size_t path = text.find(L"%2");
    if (path != std::wstring::npos) text.replace(path, 2, logPath);
    return text;
}

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
        StartInstallWorker();
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

BOOL KVDownloadDlg::StartInstallWorker() {
    if (m_installing) return FALSE;
    // Here, not on the worker: from this moment until the worker's end message nothing the user
    // does can close the page or the wizard under the worker.
    m_installing = true;
    m_btnPrev.EnableWindow(FALSE);
    m_btnNext.EnableWindow(FALSE);
    *m_pInstallBusy = 1;

    if (_beginthread(&KVDownloadDlg::InstallThreadProc, 0, this) == static_cast<uintptr_t>(-1)) {
        // Nothing runs: the page waits with both buttons enabled.
        *m_pInstallBusy = 0;
        m_installing = false;
        m_btnPrev.EnableWindow(TRUE);
        m_btnNext.EnableWindow(TRUE);
        return FALSE;
    }
    return TRUE;
}

void __cdecl KVDownloadDlg::InstallThreadProc(void* param) {
    KVDownloadDlg* page = static_cast<KVDownloadDlg*>(param);
    if (!page) return;

    // The URL monikers and the shell's launch want COM on the thread that calls them.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    // Fixed before the steps start; the page's window outlives the worker (see
    // StartInstallWorker), so the steps report to it throughout.
    InstallContext context;
    context.useHttps = page->UseHttps;
    context.autoMode = page->AutoMode;
    kv::InstallOutcome installer = kv::InstallOutcome::Done;
    kv::InstallOutcome update = kv::InstallOutcome::Done;
    if (InstallActiveX(page->UpdateURL.c_str(), context, page, &installer) != -1)
        RunKVUpdate(page->UpdateURL, context, page, &update);

    if (SUCCEEDED(com)) ::CoUninitialize();
    const kv::InstallOutcome outcome = kv::CombineStepOutcomes(installer, update);
    ::PostMessageW(page->m_hWnd, WM_INSTALL_END, static_cast<WPARAM>(outcome), 0);
}

void KVDownloadDlg::OnInstallEnd(kv::InstallOutcome outcome) {
    if (!m_installing) return;
    m_installing = false;
    m_lastOutcome = outcome;
    m_hasOutcome = true;
    *m_pInstallBusy = 0;
    m_btnNext.SetWindowText(LoadResString(IDS_FINISH));
    // Prev stays disabled: after a run the only way on is the finish button.
    m_btnNext.EnableWindow(TRUE);
    if (AutoMode == 1) {
        SetTimer(kFinishTimer, kFinishDelayMs);
    } else if (kv::IsFailure(outcome)) {
        // The steps' last text ("installing ...") would read as success: by hand the exit
        // code is the only other sign.
        ShowStatus(InstallIncompleteText(LoadResString(IDS_INSTALL_INCOMPLETE), kv::ExitCodeOf(outcome),
                                         WrittenLogFilePath()));
    }
}

INT_PTR KVDownloadDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INSTALL_END) {
        OnInstallEnd(static_cast<kv::InstallOutcome>(wParam));
        return TRUE;
    }
    return CDialog::WindowProc(msg, wParam, lParam);
}

void KVDownloadDlg::ShowStatus(const std::wstring& text) { m_stcInfo.SetWindowText(text); }

void KVDownloadDlg::SetProgressRange(int upper) {
    ::SendMessageW(m_prgDownload.m_hWnd, PBM_SETRANGE32, 0, static_cast<LPARAM>(upper));
}

void KVDownloadDlg::SetProgressPos(int pos) {
    ::SendMessageW(m_prgDownload.m_hWnd, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

int KVDownloadDlg::ProgressSteps() const {
    // Read from the worker's thread without a message to the page's.
    RECT r = {};
    if (!::GetClientRect(m_prgDownload.m_hWnd, &r)) return 0;
    return std::max(1, static_cast<int>(r.right - r.left));
}

BOOL KVDownloadDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    static const CommandMapEntry<KVDownloadDlg> kCommands[] = {
        {BN_CLICKED, IDC_BTN_NEXT, IDC_BTN_NEXT, &KVDownloadDlg::OnBnClickedNext, nullptr},
        {BN_CLICKED, IDC_BTN_PREV, IDC_BTN_PREV, &KVDownloadDlg::OnBnClickedPrev, nullptr},
    };
    return DispatchCommand(this, kCommands, wParam) || CDialog::OnCommand(wParam, lParam);
}

// Both buttons are disabled while the worker runs; a click that arrives all the same (posted,
// or queued before the buttons were disabled) must not end the page under it.
void KVDownloadDlg::OnBnClickedPrev() {
    if (!m_installing) EndPage(NotifyBack);
}

void KVDownloadDlg::OnBnClickedNext() {
    if (!m_installing) EndPage(NotifyFinish);
}

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
