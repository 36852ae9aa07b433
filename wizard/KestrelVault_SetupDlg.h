// The first wizard page and the wizard's only top-level window: scheme choice, host box,
// Next and Cancel. It covers itself with the download page once the server answers.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "framework/dialog.h"
#include "install/AccessCheck.h"
#include "resource.h"
#include "wizard/KVDownloadDlg.h"

class CKestrelVault_SetupDlg : public CDialog {
public:
    enum { IDD = IDD_KESTRELVAULT_SETUP_DIALOG };

    // autoMode 1 runs the wizard unattended. installBusy is the flag the download page's worker
    // holds at 1 while the steps run; the page refuses to close meanwhile. Null gives the page
    // a flag of its own.
    explicit CKestrelVault_SetupDlg(int autoMode = 0, std::atomic<int>* installBusy = nullptr);
    ~CKestrelVault_SetupDlg() override;

    // The preset host text; shown in the host box at initialisation when not empty.
    void SetUpdateURL(const std::wstring& url) { m_strUpdateURL = url; }

    // What the wizard came to, once it has ended: the last run of the install steps that
    // ended; without one, a failed access check; else the user left.
    kv::InstallOutcome Outcome() const;

    BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    void OnSysCommand(UINT id, LPARAM lParam) override;
    void OnPaint() override;
    HCURSOR OnQueryDragIcon() override;
    void OnTimer(UINT_PTR id) override;

protected:
    INT_PTR WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

public:

    void OnEnChangeHost();
    void OnBnClickedNext();
    void OnBnClickedScheme(UINT id);
    // Checks the radio of the scheme (1 https, else http) and shows its prefix, as a click would.
    void SelectScheme(int useHttps);
    void InitPageControls();
    // Shows and enables (TRUE) or hides and disables (FALSE) every control of the page;
    // Cancel always stays enabled, so Escape and Close keep working behind the second page.
    void ShowPageControls(BOOL show);
    // The failed check's box (text: a string id) of an unattended run: closed by itself when
    // nobody answers it within 30 seconds; true then.
    bool ShowUnreachableBoxWithTimeOut(UINT text = IDS_SERVER_UNREACHABLE);
    // The access check of url, on a thread of its own while this thread keeps the page's
    // messages flowing, Next disabled and the cursor busy. When the user leaves meanwhile
    // (m_leftDuringCheck), returns at once without an answer.
    AccessAnswer CheckAccessKeepingPage(const std::wstring& url, int useHttps);

    HICON m_hIcon;
    int m_bHttps = 0;
    std::wstring m_strUpdateURL;
    CStatic m_stcInfo;
    CStatic m_stcAccessGroup;
    CStatic m_stcScheme;
    CEdit m_edtHost;
    CButton m_btnNext;
    CButton m_btnCancel;
    // Every child window of the page as initialisation found it, in enumeration order.
    std::vector<CWnd> m_vecControls;
    CBitmap m_bmpHeader;
    KVDownloadDlg m_dlgDownload;

private:
    const int m_autoMode;
    bool m_boxTimedOut = false;
    bool m_checkFailed = false;
    bool m_proxyRefused = false;  // the failed check's proxy asked for credentials
    bool m_checking = false;
    bool m_leftDuringCheck = false;
    std::atomic<int> m_ownInstallBusy{0};
    std::atomic<int>* const m_pInstallBusy;
};
