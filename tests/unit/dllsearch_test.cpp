// Where the program's delay-loaded system DLLs come from: the start-up restriction through its
// seam (SetDefaultDllDirectories present, failing or missing), the load each mode makes, and the
// delay-load hook itself under Wine.
#include <gtest/gtest.h>

#include <windows.h>
#include <delayimp.h>

#include <string>
#include <vector>

#include "framework/DllSearch.h"
#include "framework/paths.h"

namespace {

using kv::DllSearch;

constexpr DWORD kSearchSystem32 = 0x800;   // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD kAlteredSearch = 0x8;      // LOAD_WITH_ALTERED_SEARCH_PATH

TEST(DllSearchTest, RestrictionFallsBackOnlyWhereItMust) {
    struct Case {
        const char* why;
        bool present;          // kernel32 has SetDefaultDllDirectories
        BOOL defaultResult;    // what it answers
        BOOL directoryResult;  // what SetDllDirectoryW answers
        DllSearch expected;
        bool directoryCalled;
    };
    const Case cases[] = {
        {"Windows 8 and later, or 7 with KB2533623", true, TRUE, TRUE, DllSearch::SystemDirectoryOnly, false},
        {"present but refusing", true, FALSE, TRUE, DllSearch::CurrentDirectoryRemoved, true},
        {"missing: Windows 7 without the update", false, FALSE, TRUE, DllSearch::CurrentDirectoryRemoved, true},
        {"missing, and the fallback fails too", false, FALSE, FALSE, DllSearch::Unchanged, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        std::vector<DWORD> defaultFlags;
        std::vector<std::wstring> directories;
        std::vector<bool> directoryNull;
        kv::DllSearchPlatform platform;
        if (c.present) {
            platform.setDefaultDllDirectories = [&](DWORD flags) {
                defaultFlags.push_back(flags);
                return c.defaultResult;
            };
        }
        platform.setDllDirectory = [&](LPCWSTR path) {
            directoryNull.push_back(path == nullptr);
            directories.push_back(path ? path : L"");
            return c.directoryResult;
        };
        EXPECT_EQ(kv::RestrictDllSearchWith(platform), c.expected);
        if (c.present) {
            // The system directory alone: not the application's directory, not the user's.
            EXPECT_EQ(defaultFlags, std::vector<DWORD>{kSearchSystem32});
        }
        if (c.directoryCalled) {
            // L"" takes the current directory out; a null pointer would put the default back.
            EXPECT_EQ(directoryNull, std::vector<bool>{false});
            EXPECT_EQ(directories, std::vector<std::wstring>{L""});
        } else {
            EXPECT_TRUE(directories.empty());
        }
    }
}

TEST(DllSearchTest, EachModeLoadsFromTheSystemDirectoryOnly) {
    const std::wstring sys = L"C:\\Windows\\system32";
    struct Case {
        const char* why;
        const wchar_t* name;
        DllSearch mode;
        std::wstring systemDirectory;
        bool manifestSupplies;
        std::wstring path;  // empty: refused
        DWORD flags;
    };
    const Case cases[] = {
        {"restricted: by name, system directory only", L"version.dll", DllSearch::SystemDirectoryOnly, sys, false,
         L"version.dll", kSearchSystem32},
        {"restricted: the manifest's assembly still comes first", L"comctl32.dll", DllSearch::SystemDirectoryOnly,
         sys, true, L"comctl32.dll", kSearchSystem32},
        {"fallback: the full path, its imports searched from there", L"wininet.dll",
         DllSearch::CurrentDirectoryRemoved, sys, false, sys + L"\\wininet.dll", kAlteredSearch},
        {"nothing restricted: the full path as well", L"netapi32.dll", DllSearch::Unchanged, sys, false,
         sys + L"\\netapi32.dll", kAlteredSearch},
        {"fallback, supplied by the manifest: by name, for the assembly", L"comctl32.dll",
         DllSearch::CurrentDirectoryRemoved, sys, true, L"comctl32.dll", 0},
        {"fallback without the system directory: refused", L"version.dll", DllSearch::CurrentDirectoryRemoved,
         L"", false, L"", 0},
        {"a relative path", L"..\\version.dll", DllSearch::SystemDirectoryOnly, sys, false, L"", 0},
        {"a relative path in the fallback", L"..\\version.dll", DllSearch::CurrentDirectoryRemoved, sys, false, L"",
         0},
        {"a drive-relative name", L"C:version.dll", DllSearch::CurrentDirectoryRemoved, sys, false, L"", 0},
        {"a forward slash", L"sub/version.dll", DllSearch::SystemDirectoryOnly, sys, true, L"", 0},
        {"an empty name", L"", DllSearch::SystemDirectoryOnly, sys, false, L"", 0},
        {"a dot", L".", DllSearch::CurrentDirectoryRemoved, sys, false, L"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const kv::SystemDllLoad load = kv::PlanSystemDllLoad(c.name, c.mode, c.systemDirectory, c.manifestSupplies);
        EXPECT_EQ(load.path, c.path);
        if (!c.path.empty()) {
            EXPECT_EQ(load.flags, c.flags);
        }
    }
}

std::wstring Lower(std::wstring s) {
    for (wchar_t& ch : s) ch = static_cast<wchar_t>(::towlower(ch));
    return s;
}

std::wstring SystemDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n < MAX_PATH ? n : 0);
}

// The code the helper raises for a DLL it cannot load (VcppException(ERROR_SEVERITY_ERROR,
// ERROR_MOD_NOT_FOUND)), seen here and continued so that the hook returns.
DWORD g_raised = 0;
LONG CALLBACK SeeModNotFound(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND))
        return EXCEPTION_CONTINUE_SEARCH;
    g_raised = info->ExceptionRecord->ExceptionCode;
    return EXCEPTION_CONTINUE_EXECUTION;
}

FARPROC CallHook(unsigned notify, const char* dll) {
    DelayLoadInfo info = {};
    info.cb = sizeof(info);
    info.szDll = dll;
    return __pfnDliNotifyHook2(notify, &info);
}

// The hook the toolchain's delay-load helper calls, as the program has it: it restricts the
// search itself (this process is restricted from here on, to the system directory, which the
// other tests do not mind) and loads from the system directory.
TEST(DllSearchTest, DelayLoadHookTakesTheSystemCopyAndNeverFallsBack) {
    ASSERT_NE(__pfnDliNotifyHook2, nullptr) << "the helper would load by name itself";

    FARPROC module = CallHook(dliNotePreLoadLibrary, "version.dll");
    ASSERT_NE(module, nullptr);
    const std::wstring path = ModuleFilePath(reinterpret_cast<HMODULE>(module));
    EXPECT_EQ(Lower(DirectoryOf(path)), Lower(SystemDirectory()));
    ::FreeLibrary(reinterpret_cast<HMODULE>(module));
    // Under Wine, SetDefaultDllDirectories is there.
    EXPECT_EQ(kv::RestrictDllSearch(), DllSearch::SystemDirectoryOnly);

    // The other notifications leave the helper to its own work.
    EXPECT_EQ(CallHook(dliNotePreGetProcAddress, "version.dll"), nullptr);
    EXPECT_EQ(CallHook(dliStartProcessing, "version.dll"), nullptr);

    // A DLL the system directory lacks ends the load here: returning null would send the helper
    // to LoadLibraryA by name, which searches the program's folder in the fallback.
    for (const char* name : {"kv-no-such-system.dll", "..\\version.dll", "vers\xC3\xADon.dll"}) {
        SCOPED_TRACE(name);
        g_raised = 0;
        PVOID handler = ::AddVectoredExceptionHandler(1, SeeModNotFound);
        ASSERT_NE(handler, nullptr);
        FARPROC none = CallHook(dliNotePreLoadLibrary, name);
        ::RemoveVectoredExceptionHandler(handler);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(g_raised, static_cast<DWORD>(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND)));
    }
}

}  // namespace
