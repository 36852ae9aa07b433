// The application object and the few process-wide services the pages use: the resource
// module, string loading and the application message box.
#pragma once

#include <windows.h>

#include <string>

class CWnd;

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The whole run of a dialog-based program. FALSE ends the process without a message loop.
    virtual BOOL InitInstance() { return TRUE; }
    // The process exit code.
    virtual int ExitInstance() { return 0; }

    // Only remembers the name: nothing of ours is stored under it.
    void SetRegistryKey(const wchar_t* company) { m_registryKey = company; }

    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;
    std::wstring m_appName;      // caption of the application message box
    std::wstring m_registryKey;
};

class CWinAppEx : public CWinApp {
public:
    explicit CWinAppEx(BOOL resourceSmartUpdate = FALSE) : m_bResourceSmartUpdate(resourceSmartUpdate) {}
    BOOL m_bResourceSmartUpdate;
};

// The one application object; null before it is constructed.
CWinApp* AfxGetApp();
// The module that holds the dialogs, strings and pictures: the executable.
HINSTANCE AfxGetResourceHandle();
// Called by the entry point with the one application object: runs InitInstance and returns
// the exit code.
int AfxWinMain(CWinApp& app, HINSTANCE instance);
// MB_OK boxes get the exclamation icon; caption is the application name; modal to the active
// window of this thread. Returns the button pressed, 0 on failure.
int AfxMessageBox(const std::wstring& text, UINT type = MB_OK, UINT helpId = 0);

// The application's name: the application object's name once start-up has set it, else the
// executable's file name without extension (what start-up sets it to).
std::wstring AfxGetAppName();

// A string of the resource string table; empty when the id has no string.
std::wstring LoadResString(UINT id);
