#include "app/KestrelVault_Setup.h"

#include <windows.h>
#include <commctrl.h>

#include "app/ModuleInfo.h"
#include "framework/OSVersion.h"
#include "app/UpdateURL.h"
#include "framework/DllSearch.h"
#include "framework/handle.h"
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
    // wWinMain restricted the DLL search before the log was up; only a fallback gets a line.
    switch (kv::RestrictDllSearch()) {
    case kv::DllSearch::SystemDirectoryOnly:
        break;
    case kv::DllSearch::CurrentDirectoryRemoved:
        trace.Log("SetDefaultDllDirectories unavailable: SetDllDirectoryW(\"\") only");
        break;
    case kv::DllSearch::Unchanged:
        trace.Log("SetDefaultDllDirectories unavailable, SetDllDirectoryW fail_: DLL search unchanged");
        break;
    }

    ApplyCompatibilityLayer();

    const std::wstring modulePath = GetModulePath();
    trace.Log("ModulePath: %S", modulePath.c_str());
    std::wstring version = GetModuleVersion(modulePath.c_str());
    trace.Log("ModuleVersion: %S", version.c_str());

    const ResolvedUpdateURL preset = ResolveUpdateURL(PlatformUpdateURLSources());
    if (preset.source == UpdateURLSource::EmbeddedSlot) AutoMode = 1;

    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = 8;
    icc.dwICC = ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&icc);

    CWinAppEx::InitInstance();
    SetRegistryKey(L"Local AppWizard-Generated Applications");

    {
        CKestrelVault_SetupDlg dlg(AutoMode, &InstallBusy);
        dlg.SetUpdateURL(preset.url);
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
        m_exitCode = kv::ExitCodeOf(dlg.Outcome());
    }
    trace.Log("ExitCode: %d", m_exitCode);
    return FALSE;
}

void CKestrelVault_SetupApp::ApplyCompatibilityLayer() {
    DWORD major = 0, minor = 0;
    if (GetOSVersion(major, minor) && major >= 6) WriteRegcompatibility();
}

BOOL CKestrelVault_SetupApp::WriteRegcompatibility() {
    FuncTrace trace("CKestrelVault_SetupApp::WriteRegcompatibility");

    const std::wstring valueName = GetModulePath();
    const wchar_t* const kLayersKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
    const REGSAM access = KEY_READ | KEY_WRITE;

    kv::UniqueRegKey key;
    LONG e = ::RegOpenKeyExW(HKEY_CURRENT_USER, kLayersKey, 0, access, key.put());
    if (e != ERROR_SUCCESS) {
        trace.Log("regKey.Open fail_(funcRet: 0x%x)", static_cast<unsigned>(e));
        LONG e2 = ::RegCreateKeyExW(HKEY_CURRENT_USER, kLayersKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                    nullptr, key.put(), nullptr);
        if (e2 != ERROR_SUCCESS) {
            trace.Log("regKey.Create fail_(funcRet: 0x%x)", static_cast<unsigned>(e2));
            return FALSE;
        }
        trace.Log("regKey.Create success.");
    }

    const wchar_t* const kLayer = L"WINXPSP2";
    const DWORD bytes = static_cast<DWORD>(::lstrlenW(kLayer)) * 2 + 2;
    LONG e3 = ::RegSetValueExW(key.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kLayer), bytes);
    if (e3 != ERROR_SUCCESS) {
        // Unlike the two messages above, this one has no "0x" in front of the code.
        trace.Log("regKey.SetStringValue fail_(funcRet: %x)", static_cast<unsigned>(e3));
        return FALSE;
    }
    return TRUE;
}
