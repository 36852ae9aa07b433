// The application object: its start-up is the whole run of the setup program.
#pragma once

#include "framework/app.h"

#include <atomic>

class CKestrelVault_SetupApp : public CWinAppEx {
public:
    CKestrelVault_SetupApp();
    ~CKestrelVault_SetupApp() override;

    // 1 while the download page's worker runs the install steps; the first page then refuses
    // to close. Written by the worker, read by the window thread, hence atomic.
    std::atomic<int> InstallBusy;
    // 1 only when the access address came from the embedded slot: the wizard then runs
    // unattended. Set once before any window exists.
    int AutoMode;

    // Runs the wizard and returns FALSE so that the process ends after it.
    BOOL InitInstance() override;
    // The process exit code: what the wizard came to (install/InstallOutcome.h).
    int ExitInstance() override { return m_exitCode; }
    // Registers the compatibility layer for this executable; FALSE when the value was not
    // written (the reason is in the trace log).
    BOOL WriteRegcompatibility();
    // Start-up's version step: probes the Windows version and, on 6.0 and later, calls
    // WriteRegcompatibility. Nothing stops start-up here.
    void ApplyCompatibilityLayer();

private:
    int m_exitCode = 0;
};

extern CKestrelVault_SetupApp theApp;

// The one application object, as the pages reach it.
inline CKestrelVault_SetupApp& KVApp() { return theApp; }
