// The second wizard page: status text, progress bar, Prev and the finish button. It is a
// child dialog over the first page's client area and reports its buttons to the first page
// with a WM_NOTIFY of id IDD_KVDOWNLOAD (code NotifyBack or NotifyFinish). Its worker runs the
// install steps and shows their progress in the page's controls.
#pragma once

#include <atomic>
#include <string>

#include "framework/dialog.h"
#include "install/InstallOutcome.h"
#include "install/StepReporter.h"
#include "resource.h"

// The page's text for a run that did not complete, from the string table's pattern: "%1" the
// exit code, "%2" the log file; without a log file the pattern's last line (from its last line
// feed on) is left out.
std::wstring InstallIncompleteText(const std::wstring& pattern, int exitCode, const std::wstring& logPath);

class KVDownloadDlg : public CDialog, public StepReporter {
public:
    enum { IDD = IDD_KVDOWNLOAD };
    enum : UINT { NotifyBack = 1010, NotifyFinish = 2 };

    KVDownloadDlg();

    void SetUpdateURL(std::wstring url) { UpdateURL = std::move(url); }
    // What start-up decided, handed on by the first page before the page's window exists:
    // the unattended mode, and the flag that keeps the wizard open while the worker runs.
    void SetWizardFlags(int autoMode, std::atomic<int>* installBusy) {
        AutoMode = autoMode;
        m_pInstallBusy = installBusy;
    }

    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    void OnTimer(UINT_PTR id) override;
    void OnPaint() override;
    void OnBnClickedPrev();
    void OnBnClickedNext();

    // Posted by the worker to the page when the steps have ended.
    enum : UINT { WM_INSTALL_END = WM_APP + 1 };

    // Starts the worker on the page's thread: disables both buttons and sets InstallBusy first,
    // so that nothing can close the page or start another worker before the worker runs.
    // Nothing happens while a worker runs. FALSE when the thread could not be started (the
    // page then stays as it was, both buttons enabled).
    BOOL StartInstallWorker();
    // The worker: runs the two install steps, then posts WM_INSTALL_END to the page. page
    // may be null.
    static void __cdecl InstallThreadProc(void* page);
    // The page's side of the worker's end: keeps the run's outcome, clears InstallBusy, offers
    // the finish button and, in AutoMode, arms the finish timer; by hand, a run that failed
    // says so in the status text (InstallIncompleteText).
    void OnInstallEnd(kv::InstallOutcome outcome);
    // Whether a worker runs for this page (read and written on the page's thread only).
    bool IsInstalling() const { return m_installing; }
    // The outcome of the last run of the steps that ended; false when none has.
    bool LastOutcome(kv::InstallOutcome& outcome) const {
        outcome = m_lastOutcome;
        return m_hasOutcome;
    }

    // The steps' reports, shown in the page's controls from the worker's thread.
    void ShowStatus(const std::wstring& text) override;
    void SetProgressRange(int upper) override;
    void SetProgressPos(int pos) override;
    // The bar's width in pixels: no position between two of them shows.
    int ProgressSteps() const override;

    CStatic m_stcInfo;
    CProgressCtrl m_prgDownload;
    CButton m_btnPrev;
    CButton m_btnNext;
    CBitmap m_bmpHeader;
    // The access host without scheme, as the first page hands it over.
    std::wstring UpdateURL;
    // 1 selects https; any other value http. Written by the first page after Create.
    int UseHttps = 0;
    // 1 when the wizard runs unattended.
    int AutoMode = 0;

protected:
    INT_PTR WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    // Ends the page, tells the parent with the page notification, destroys the window.
    void EndPage(UINT code);

    bool m_installing = false;
    bool m_hasOutcome = false;
    kv::InstallOutcome m_lastOutcome = kv::InstallOutcome::Done;

    // The wizard's busy flag; the page's own until the first page hands over the shared one.
    std::atomic<int> m_ownInstallBusy{0};
    std::atomic<int>* m_pInstallBusy = &m_ownInstallBusy;
};
