#include "app/ModuleInfo.h"

#include <vector>

#include "framework/paths.h"

std::wstring GetModulePath() { return ModuleFilePath(::GetModuleHandleW(nullptr)); }

std::wstring GetModuleDirectory() { return DirectoryOf(GetModulePath()); }

std::wstring GetModuleName() { return FileNameOf(GetModulePath()); }

std::wstring GetModuleVersion(const wchar_t* path) {
    if (!path) return std::wstring();
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &handle);
    // Two-byte units, one more than asked for, so that even a size of 0 gives a buffer.
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1, L'\0');
    if (!::GetFileVersionInfoW(path, handle, size, buffer.data())) return std::wstring();
    void* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(buffer.data(), L"\\", &fixed, &length) || !fixed) return std::wstring();
    return FormatFileVersion(*static_cast<const VS_FIXEDFILEINFO*>(fixed));
}

std::wstring FormatFileVersion(const VS_FIXEDFILEINFO& info) {
    // Each half is at most 65535, so as a signed number it still prints unsigned.
    return std::to_wstring(static_cast<int>(HIWORD(info.dwFileVersionMS))) + L"." +
           std::to_wstring(static_cast<int>(LOWORD(info.dwFileVersionMS))) + L"." +
           std::to_wstring(static_cast<int>(HIWORD(info.dwFileVersionLS))) + L"." +
           std::to_wstring(static_cast<int>(LOWORD(info.dwFileVersionLS)));
}
