#include "wizard/KVDownloadDlg.h"

#include "framework/app.h"
#include "resource.h"

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
    return TRUE;
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
