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
    void OnBnClickedPrev();
    void OnBnClickedNext();

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
