#include "app/ModuleInfo.h"

#include <windows.h>

std::wstring GetModulePath() {
    wchar_t buf[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(::GetModuleHandleW(nullptr), buf, MAX_PATH);
    return std::wstring(buf, n < MAX_PATH ? n : MAX_PATH);
}

std::wstring GetModuleDirectory() {
    std::wstring path = GetModulePath();
    size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring GetModuleName() {
    std::wstring path = GetModulePath();
    size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Reading the version resource comes with the trace log work; until then no version is known.
std::wstring GetModuleVersion(const wchar_t* /*path*/) { return std::wstring(); }
