// Where the program's DLLs come from. The program runs elevated from wherever the user saved it
// (typically the Downloads folder, which any program of the user can write), and Windows looks
// for a DLL that is not a KnownDLL in the program's own directory first, also for one that a
// system DLL loads by name as it starts. So the program imports only kernel32 and the C runtime
// directly; every other system DLL is delay-loaded (KV_DELAY_LOADED_DLLS in CMakeLists.txt) and
// reaches the process through LoadSystemDll, after RestrictDllSearch.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace kv {

// What RestrictDllSearch achieved.
enum class DllSearch {
    // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32): a DLL loaded by name comes from
    // the system directory (or the manifest's assemblies), never from the program's folder.
    SystemDirectoryOnly,
    // SetDefaultDllDirectories is missing (Windows 7 without KB2533623): SetDllDirectoryW(L"")
    // took the current directory out of the search; LoadSystemDll then loads by full path.
    CurrentDirectoryRemoved,
    // Both calls failed: the search order is the platform's default.
    Unchanged,
};

// The calls RestrictDllSearch makes; setDefaultDllDirectories is empty where kernel32 lacks it.
struct DllSearchPlatform {
    std::function<BOOL(DWORD flags)> setDefaultDllDirectories;
    std::function<BOOL(LPCWSTR path)> setDllDirectory;
};

// kernel32's own functions (SetDefaultDllDirectories looked up by name).
DllSearchPlatform PlatformDllSearch();

// Restricts the process's DLL search through platform. Not once-only: the seam for tests.
DllSearch RestrictDllSearchWith(const DllSearchPlatform& platform);

// Restricts the process's DLL search through the platform, once per process (the first call
// decides; later calls give its result). Called first thing at start-up, and by the delay-load
// hook before any delay-loaded DLL, so no such DLL can load under the default search.
DllSearch RestrictDllSearch();

// How LoadSystemDll loads one DLL: LoadLibraryExW(path, nullptr, flags).
struct SystemDllLoad {
    std::wstring path;  // empty: refused (not a plain file name)
    DWORD flags;
};

// The load of the system DLL `name` (a plain file name such as "version.dll") under mode.
// SystemDirectoryOnly: by name, searched in the system directory only (the manifest's
// assemblies, such as the common controls, still come first, as the loader applies them to
// every search). Otherwise: by its full path in systemDirectory, with its own dependencies
// searched from there, unless the manifest's assemblies supply it (manifestSupplies), in which
// case by name, since a full path would bypass the assembly the manifest asks for.
SystemDllLoad PlanSystemDllLoad(const std::wstring& name, DllSearch mode, const std::wstring& systemDirectory,
                                bool manifestSupplies);

// Loads the system DLL `name` (ASCII, as the delay-load helper has it) as PlanSystemDllLoad
// says under RestrictDllSearch's result. Null on failure, with the platform's last error.
HMODULE LoadSystemDll(const char* name);

}  // namespace kv
