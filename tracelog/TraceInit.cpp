#include "tracelog/TraceInit.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "framework/AccessList.h"
#include "framework/handle.h"
#include "framework/paths.h"
#include "tracelog/FuncTrace.h"
#include "tracelog/LogFile.h"
#include "tracelog/TraceLog.h"

namespace {

const wchar_t kSettingsKey[] = L"Software\\KestrelVAULT";

// Reads the setting named after the executable plus suffix into data. False when the key or
// the value is missing or the value does not fit: the registry leaves the buffer undefined
// then, so the setting counts as absent.
bool QuerySetting(const wchar_t* suffix, void* data, DWORD size) {
    kv::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    const std::wstring name = TraceModuleName() + suffix;
    DWORD bytes = size;
    return ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, static_cast<BYTE*>(data), &bytes) ==
           ERROR_SUCCESS;
}

std::wstring ReadStringSetting(const wchar_t* suffix) {
    wchar_t text[MAX_PATH] = {};
    if (!QuerySetting(suffix, text, sizeof(text))) return std::wstring();
    return std::wstring(text, ::wcsnlen(text, MAX_PATH));
}

}  // namespace

std::wstring TraceModulePath() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&TraceModulePath),
                         &module);
    const std::wstring path = ModuleFilePath(module);
    if (module) ::FreeLibrary(module);

    wchar_t longPath[MAX_PATH] = {};
    const DWORD n = ::GetLongPathNameW(path.c_str(), longPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    return std::wstring(longPath, n);
}

std::wstring TraceModuleDirectory() { return DirectoryOf(TraceModulePath()); }

std::wstring TraceModuleName() { return FileNameOf(TraceModulePath()); }

int ReadLogModeSetting() {
    DWORD mode = 0;
    if (!QuerySetting(L".log", &mode, sizeof(mode))) return TraceOff;
    return static_cast<int>(mode);
}

std::wstring ReadLogPathSetting() { return ReadStringSetting(L".log.path"); }

std::wstring ReadLogNameSetting() { return ReadStringSetting(L".log.name"); }

bool GrantLogFileAccess(const std::wstring& path) { return GrantUsersLeadingAccess(path.c_str()); }

namespace {
bool GrantThroughHandle(HANDLE file) { return GrantUsersLeadingAccess(file); }
LogFileGrant g_logFileGrant = GrantThroughHandle;
}  // namespace

LogFileGrant SetLogFileGrantForTesting(LogFileGrant grant) {
    const LogFileGrant previous = g_logFileGrant;
    g_logFileGrant = grant ? grant : GrantThroughHandle;
    return previous;
}

void InitTraceLog() {
    TraceLog.processName = TraceModuleName();
    TraceLog.mode = ReadLogModeSetting();
    TraceLog.logPath = ReadLogPathSetting();
    if (TraceLog.logPath.empty()) {
        const std::wstring name = ReadLogNameSetting();
        if (!name.empty()) TraceLog.logPath = TraceModuleDirectory() + L"\\" + name;
    }
    if (TraceLog.logPath.empty()) TraceLog.logPath = TraceModulePath() + L".log";

    // The path comes from the user's own registry values: whatever lies there is looked at
    // through one handle first, and anything that is no log of ours is left exactly as it is,
    // with nothing logged to a file in this run. A file left by an earlier run is granted in
    // every mode; modes 2 and 3 create a missing one where every local user may create files
    // anyway, and give it nothing beyond what its directory hands down: every user who could
    // have made it may read it. Where they may not, no file is made and nothing is logged to
    // a file in this run.
    const bool writesFile = TraceLog.mode == TraceFile || TraceLog.mode == TraceFileAppend;
    DWORD grantError = ERROR_SUCCESS;
    if (!TraceLog.logPath.empty()) {
        kv::UniqueFile file;
        const LogFileOpen opened = OpenOwnLogFile(TraceLog.logPath, writesFile, file);
        if (opened == LogFileOpen::Opened && !g_logFileGrant(file.get())) {
            grantError = ::GetLastError();
            if (grantError == ERROR_SUCCESS) grantError = ERROR_GEN_FAILURE;
        }
        if ((opened == LogFileOpen::NotALog || opened == LogFileOpen::Refused) && writesFile) TraceLog.mode = TraceOff;
    }

    switch (TraceLog.mode) {
    case TraceConsole:
        ::AllocConsole();
        OpenTraceOutput();
        break;
    case TraceFile:
        OpenTraceOutput();
        break;
    default:
        break;
    }
    // Written once the output is open, so that it lands in the log whose grant failed.
    if (grantError != ERROR_SUCCESS) {
        FuncTrace trace("InitTraceLog");
        trace.Log("Log file grant fail___(err: %lu)", grantError);
    }
}
