#include "framework/app.h"

#include "framework/paths.h"
#include "framework/wnd.h"

namespace {
CWinApp* g_app = nullptr;

std::wstring ExecutableBaseName() {
    std::wstring name = FileNameOf(ModuleFilePath());
    const size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
}
}  // namespace

std::wstring AfxGetAppName() {
    CWinApp* app = AfxGetApp();
    return app && !app->m_appName.empty() ? app->m_appName : ExecutableBaseName();
}

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetResourceHandle() {
    if (g_app && g_app->m_hInstance) return g_app->m_hInstance;
    return ::GetModuleHandleW(nullptr);
}

int AfxWinMain(CWinApp& appRef, HINSTANCE instance) {
    CWinApp* app = &appRef;
    app->m_hInstance = instance;
    if (app->m_appName.empty()) app->m_appName = ExecutableBaseName();
    if (!app->InitInstance()) return app->ExitInstance();
    // A dialog-based program never gets here: its InitInstance returns FALSE after the wizard.
    return app->ExitInstance();
}

int AfxMessageBox(const std::wstring& text, UINT type, UINT /*helpId*/) {
    if ((type & MB_ICONMASK) == 0 && (type & MB_TYPEMASK) == MB_OK) type |= MB_ICONEXCLAMATION;
    HWND owner = ::GetActiveWindow();
    if (!owner) {
        CWinApp* app = AfxGetApp();
        if (app && app->m_pMainWnd) owner = app->m_pMainWnd->m_hWnd;
    }
    return ::MessageBoxW(owner, text.c_str(), AfxGetAppName().c_str(), type);
}

std::wstring LoadResString(UINT id) {
    // With a zero buffer size LoadStringW hands out a pointer into the resource itself, so
    // texts of any length load whole.
    const wchar_t* p = nullptr;
    int len = ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&p), 0);
    if (len <= 0 || !p) return std::wstring();
    return std::wstring(p, static_cast<size_t>(len));
}
