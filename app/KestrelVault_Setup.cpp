#include "app/KestrelVault_Setup.h"

#include <windows.h>
#include <commctrl.h>

#include "app/ModuleInfo.h"
#include "app/OSVersion.h"
#include "app/UpdateURL.h"
#include "tracelog/FuncTrace.h"
#include "tracelog/TraceInit.h"
#include "wizard/KestrelVault_SetupDlg.h"

CKestrelVault_SetupApp theApp;

CKestrelVault_SetupApp::CKestrelVault_SetupApp() : CWinAppEx(TRUE), InstallBusy(0), AutoMode(0) {}

CKestrelVault_SetupApp::~CKestrelVault_SetupApp() = default;

BOOL CKestrelVault_SetupApp::InitInstance() {
    // The log is set up before the first scope so that its entry line already goes to the
    // configured place.
    InitTraceLog();
    FuncTrace trace("CKestrelVault_SetupApp::InitInstance");

    DWORD major = 0, minor = 0;
    if (GetOSVersion(major, minor) && major >= 6) WriteRegcompatibility();

    wchar_t path[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring modulePath(path, n < MAX_PATH ? n : MAX_PATH);
    trace.Log("ModulePath: %S", modulePath.c_str());
    std::wstring version = GetModuleVersion(modulePath.c_str());
    trace.Log("ModuleVersion: %S", version.c_str());

    std::wstring url = ResolveUpdateURL();

    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = 8;
    icc.dwICC = ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&icc);

    CWinAppEx::InitInstance();
    SetRegistryKey(L"Local AppWizard-Generated Applications");

    {
        CKestrelVault_SetupDlg dlg;
        dlg.SetUpdateURL(url);
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    return FALSE;
}

BOOL CKestrelVault_SetupApp::WriteRegcompatibility() {
    // Written with the version probe; until then start-up never calls it.
    return FALSE;
}
