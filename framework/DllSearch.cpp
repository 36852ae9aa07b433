#include "framework/DllSearch.h"

#include <delayimp.h>

namespace kv {

namespace {

// The headers declare it as a kernel32 import; a direct import would keep the program from starting
// on a Windows 7 without KB2533623, so it is looked up instead.
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

bool IsPlainFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    return name.find_first_of(L"\\/:") == std::wstring::npos;
}

// Whether the process's activation context (the manifest's assemblies) redirects a load of
// this name, as it does the common controls to version 6.
bool ManifestSupplies(const std::wstring& name) {
    ACTCTX_SECTION_KEYED_DATA data = {};
    data.cbSize = sizeof(data);
    return ::FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, name.c_str(), &data) !=
           FALSE;
}

std::wstring SystemDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    return std::wstring(buffer, n);
}

}  // namespace

DllSearchPlatform PlatformDllSearch() {
    DllSearchPlatform platform;
    platform.setDllDirectory = ::SetDllDirectoryW;
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                   ::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                             : nullptr;
    if (setDefault) platform.setDefaultDllDirectories = setDefault;
    return platform;
}

DllSearch RestrictDllSearchWith(const DllSearchPlatform& platform) {
    if (platform.setDefaultDllDirectories && platform.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return DllSearch::SystemDirectoryOnly;
    // Leaves the program's own directory in the search; LoadSystemDll's full paths cover that.
    if (platform.setDllDirectory && platform.setDllDirectory(L"")) return DllSearch::CurrentDirectoryRemoved;
    return DllSearch::Unchanged;
}

DllSearch RestrictDllSearch() {
    static const DllSearch result = RestrictDllSearchWith(PlatformDllSearch());
    return result;
}

SystemDllLoad PlanSystemDllLoad(const std::wstring& name, DllSearch mode, const std::wstring& systemDirectory,
                                bool manifestSupplies) {
    if (!IsPlainFileName(name)) return {std::wstring(), 0};
    if (mode == DllSearch::SystemDirectoryOnly) return {name, LOAD_LIBRARY_SEARCH_SYSTEM32};
    if (manifestSupplies) return {name, 0};
    if (systemDirectory.empty()) return {std::wstring(), 0};
    // The altered search looks for the DLL's own imports beside it, in the system directory,
    // before the program's folder.
    return {systemDirectory + L"\\" + name, LOAD_WITH_ALTERED_SEARCH_PATH};
}

HMODULE LoadSystemDll(const char* name) {
    std::wstring wide;
    for (const char* p = name; p && *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x80) {
            ::SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        wide.push_back(static_cast<wchar_t>(c));
    }
    const DllSearch mode = RestrictDllSearch();
    const bool viaManifest = mode != DllSearch::SystemDirectoryOnly && IsPlainFileName(wide) && ManifestSupplies(wide);
    const SystemDllLoad load = PlanSystemDllLoad(wide, mode, SystemDirectory(), viaManifest);
    if (load.path.empty()) {
        ::SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return ::LoadLibraryExW(load.path.c_str(), nullptr, load.flags);
}

}  // namespace kv

namespace {

// The delay-load helper asks this hook first for every delay-loaded DLL of the program.
FARPROC WINAPI DelayLoadNotify(unsigned notify, PDelayLoadInfo info) {
    if (notify != dliNotePreLoadLibrary) return nullptr;
    HMODULE module = kv::LoadSystemDll(info->szDll);
    if (!module) {
        // Returning null would make the helper try LoadLibraryA by name, which searches the
        // program's folder where SetDefaultDllDirectories is missing. End as the helper does for
        // a DLL it cannot load, as a missing import would.
        info->dwLastError = ::GetLastError();
        ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
        ::RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
    }
    return reinterpret_cast<FARPROC>(module);
}

}  // namespace

// The toolchain's delay-load helper (libmingwex) calls through this pointer. wWinMain's call of
// RestrictDllSearch links this object into the program, and with it this definition, which
// takes the place of the helper's own null one.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = DelayLoadNotify;
}
