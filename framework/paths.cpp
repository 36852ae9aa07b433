#include "framework/paths.h"

#include <cwchar>

std::wstring ModuleFilePath(HMODULE module) {
    wchar_t buf[MAX_PATH] = {};
    ::GetModuleFileNameW(module, buf, MAX_PATH);
    return std::wstring(buf, ::wcsnlen(buf, MAX_PATH));
}

std::wstring DirectoryOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring GetTempDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, buffer);
    std::wstring dir(buffer);
    while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    return dir;
}
