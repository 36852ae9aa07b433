// Stand-in for the two programs a KestrelVault server provides: the web-control installer
// (built with KV_STANDIN_ROLE "activex") and the updater ("updater"). It does nothing a real
// one does; it records how it was started, so tests can see what the setup program asked for.
//
// Every start appends one JSON line {"event":"start", ...} to the record file, then waits the
// chosen run time, appends {"event":"end", ...} and exits with the chosen code. Environment
// (inherited from the setup program, which inherits it from the test):
//   KV_STANDIN_RECORD            record file (Windows path); default C:\kv_standins.jsonl
//   KV_STANDIN_<ROLE>_RUN_MS     run time in milliseconds (ROLE: ACTIVEX or UPDATER); default 0
//   KV_STANDIN_<ROLE>_EXIT       exit code; default 0
// Start record: role, pid, exe (own path), cwd, cmdline (GetCommandLineW), args (what follows
// the program part); the updater also: descriptor (whether "kestrelvault_server.exe" is a file
// in its own directory) and sites: for every key under HKCU\Software\KestrelVAULT, its values
// LANGUAGE, PRODUCT and Update\DontQuestionDesktopShortcut (a number for REG_DWORD data,
// "type N" for another type; absent values left out).
//
// A GUI-subsystem program that opens no window: it needs no display and shows nothing.

#include <windows.h>

#include <cstdlib>
#include <string>

#ifndef KV_STANDIN_ROLE
#error "KV_STANDIN_ROLE must be \"activex\" or \"updater\""
#endif

namespace {

const wchar_t kRole[] = L"" KV_STANDIN_ROLE;
const bool kIsUpdater = std::wstring(kRole) == L"updater";

std::wstring Env(const std::wstring& name) {
    wchar_t buffer[32768];
    const DWORD n = ::GetEnvironmentVariableW(name.c_str(), buffer, 32768);
    return n > 0 && n < 32768 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring RoleEnv(const wchar_t* suffix) {
    return Env(std::wstring(L"KV_STANDIN_") + (kIsUpdater ? L"UPDATER" : L"ACTIVEX") + suffix);
}

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::string Json(const std::wstring& w) {
    std::string out = "\"";
    for (unsigned char c : Utf8(w)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            wsprintfA(esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The command line after the program part, as the runtime's argument parser skips it: a
// quoted program part ends at the next quote, an unquoted one at the first blank or tab.
std::wstring ArgumentsOf(const wchar_t* line) {
    const wchar_t* p = line;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

std::wstring OwnPath() {
    wchar_t path[32768] = {};
    ::GetModuleFileNameW(nullptr, path, 32768);
    return path;
}

std::wstring CurrentDirectory() {
    wchar_t dir[32768] = {};
    ::GetCurrentDirectoryW(32768, dir);
    return dir;
}

// A per-site value as JSON, or empty when it is absent.
std::string SiteValue(HKEY site, const wchar_t* subkey, const wchar_t* name) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    LONG status = ::RegGetValueW(site, subkey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return std::string();
    if (type != REG_DWORD) return Json(L"type " + std::to_wstring(type));
    status = ::RegGetValueW(site, subkey, name, RRF_RT_REG_DWORD, nullptr, &data, &size);
    return status == ERROR_SUCCESS ? std::to_string(data) : Json(L"unreadable");
}

std::string Sites() {
    HKEY root = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\KestrelVAULT", 0, KEY_READ, &root) != ERROR_SUCCESS)
        return "{}";
    std::string out = "{";
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (::RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY site = nullptr;
        if (::RegOpenKeyExW(root, name, 0, KEY_READ, &site) != ERROR_SUCCESS) continue;
        std::string values;
        const struct {
            const wchar_t* subkey;
            const wchar_t* name;
            const wchar_t* label;
        } rows[] = {{nullptr, L"LANGUAGE", L"LANGUAGE"},
                    {L"Update", L"DontQuestionDesktopShortcut", L"Update\\DontQuestionDesktopShortcut"},
                    {nullptr, L"PRODUCT", L"PRODUCT"}};
        for (const auto& row : rows) {
            const std::string value = SiteValue(site, row.subkey, row.name);
            if (value.empty()) continue;
            values += (values.empty() ? "" : ", ") + Json(row.label) + ": " + value;
        }
        ::RegCloseKey(site);
        out += (out.size() > 1 ? ", " : "") + Json(name) + ": {" + values + "}";
    }
    ::RegCloseKey(root);
    return out + "}";
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void Append(const std::string& line) {
    std::wstring path = Env(L"KV_STANDIN_RECORD");
    if (path.empty()) path = L"C:\\kv_standins.jsonl";
    // Another stand-in may be writing at the same moment in a test that starts several.
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            const std::string data = line + "\n";
            DWORD written = 0;
            ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
            ::CloseHandle(file);
            return;
        }
        ::Sleep(10);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    const std::wstring exe = OwnPath();
    const std::string common = "\"role\": " + Json(kRole) + ", \"pid\": " + std::to_string(::GetCurrentProcessId());
    std::string start = "{\"event\": \"start\", " + common + ", \"exe\": " + Json(exe) +
                        ", \"cwd\": " + Json(CurrentDirectory()) + ", \"cmdline\": " + Json(::GetCommandLineW()) +
                        ", \"args\": " + Json(ArgumentsOf(::GetCommandLineW()));
    if (kIsUpdater) {
        const std::wstring dir = exe.substr(0, exe.rfind(L'\\'));
        start += std::string(", \"descriptor\": ") + (IsFile(dir + L"\\kestrelvault_server.exe") ? "true" : "false");
        start += ", \"sites\": " + Sites();
    }
    Append(start + "}");

    const int runMs = std::atoi(Utf8(RoleEnv(L"_RUN_MS")).c_str());
    if (runMs > 0) ::Sleep(static_cast<DWORD>(runMs));
    const int exitCode = std::atoi(Utf8(RoleEnv(L"_EXIT")).c_str());
    Append("{\"event\": \"end\", " + common + ", \"exit\": " + std::to_string(exitCode) + "}");
    return exitCode;
}
