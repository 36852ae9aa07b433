// The second wizard page: status text, progress bar, Prev and the finish button. It is a
// child dialog over the first page's client area and reports its buttons to the first page
// with a WM_NOTIFY of id 205 (code 1010 back, 2 finish).
#pragma once

#include <string>

#include "framework/dialog.h"

class KVDownloadDlg : public CDialog {
public:
    enum { IDD = 205 };
    enum : UINT { NotifyBack = 1010, NotifyFinish = 2 };

    KVDownloadDlg();

    void SetUpdateURL(std::wstring url) { UpdateURL = std::move(url); }

    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    void OnTimer(UINT_PTR id) override;
    void OnPaint() override;
    void OnBnClickedPrev();
    void OnBnClickedNext();

    // The worker: disables the buttons, runs the two install steps with InstallBusy set, then
    // offers the finish button (pressed by itself in AutoMode). page may be null.
    static void __cdecl InstallThreadProc(void* page);

    // The web-control installer step: -1 when updateURL is null or empty, 0 otherwise,
    // whatever became of the download and the installer.
    static int InstallActiveX(const wchar_t* updateURL, KVDownloadDlg* page);
    // The update step: 0 when it reached the updater launch, -1 at every failure exit.
    int RunKVUpdate();

    CStatic m_stcInfo;
    CProgressCtrl m_prgDownload;
    CButton m_btnPrev;
    CButton m_btnNext;
    CBitmap m_bmpHeader;
    // The access host without scheme, as the first page hands it over.
    std::wstring UpdateURL;
    // 1 selects https; any other value http. Written by the first page after Create.
    int UseHttps = 0;

private:
    // Ends the page, tells the parent with the page notification, destroys the window.
    void EndPage(UINT code);
};
