// Helpers for the install-step tests: scratch directories and files, running a step on a
// worker thread while this thread answers its window messages (and dismisses the shell's
// error boxes on that worker), the stand-in programs and their records, and swapping the
// steps' platform.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../support/StepRecorder.h"
#include "framework/app.h"
#include "install/InstallPlatform.h"
#include "resource.h"

namespace kvtest {

inline std::string Narrow(const std::wstring& w) {
    if (w.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

inline std::wstring Wide(const std::string& s) {
    if (s.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

inline bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
inline bool IsDirectory(const std::wstring& path) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

inline bool WriteBytes(const std::wstring& path, const std::string& data) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    ::CloseHandle(h);
    return ok && written == data.size();
}

// The file's bytes, or "<missing>".
inline std::string ReadBytes(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string data(::GetFileSize(h, nullptr), '\0');
    DWORD read = 0;
    if (!data.empty()) ::ReadFile(h, &data[0], static_cast<DWORD>(data.size()), &read, nullptr);
    ::CloseHandle(h);
    data.resize(read);
    return data;
}

inline void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                ::DeleteFileW(child.c_str());
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
    }
    if (!::RemoveDirectoryW(path.c_str())) ::DeleteFileW(path.c_str());
}

inline std::wstring TempDirectoryPath() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring dir(temp);
    while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    return dir;
}

// A fresh directory of the test's own in the temp directory, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const wchar_t* tag)
        : m_path(TempDirectoryPath() + L"\\kv_" + tag + L"_" + std::to_wstring(::GetCurrentProcessId())) {
        RemoveTree(m_path);
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~ScratchDir() { RemoveTree(m_path); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& rel) const { return m_path + L"\\" + rel; }

private:
    std::wstring m_path;
};

// The directory of the running test executable: the build directory.
inline std::wstring BuildDirectory() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.rfind(L'\\'));
}

// A stand-in program of the build ("KestrelVAULT ActiveX 7i_ko.exe" or "KVUpdate.exe").
inline std::string StandinBytes(const wchar_t* name) {
    const std::string bytes = ReadBytes(BuildDirectory() + L"\\standins\\" + name);
    EXPECT_NE(bytes, "<missing>") << "stand-in " << Narrow(name) << " not built";
    return bytes;
}

// One value of a stand-in's JSON record line: a string's text (only \" and \\ unescaped, which
// is all the records hold besides \u00XX controls), or a literal as it stands; "<absent>".
inline std::string RecordField(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\": ";
    const size_t at = line.find(marker);
    if (at == std::string::npos) return "<absent>";
    size_t p = at + marker.size();
    if (line[p] != '"') {
        size_t end = line.find_first_of(",}", p);
        return line.substr(p, end - p);
    }
    std::string out;
    for (++p; p < line.size() && line[p] != '"'; ++p) {
        if (line[p] == '\\' && p + 1 < line.size()) ++p;
        out += line[p];
    }
    return out;
}

inline std::vector<std::string> RecordLines(const std::wstring& path) {
    std::vector<std::string> lines;
    const std::string data = ReadBytes(path);
    if (data == "<missing>") return lines;
    size_t start = 0;
    for (size_t lf; (lf = data.find('\n', start)) != std::string::npos; start = lf + 1)
        lines.push_back(data.substr(start, lf - start));
    return lines;
}

// Sets an environment variable of this process (inherited by the programs it starts) for the
// object's life.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value) : m_name(name) {
        ::SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnv() { ::SetEnvironmentVariableW(m_name, nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const wchar_t* m_name;
};

// The steps' platform replaced for the object's life; start from the real one and change
// what a test needs.
class ScopedPlatform {
public:
    explicit ScopedPlatform(InstallPlatform platform) : m_platform(std::move(platform)) {
        SetInstallPlatformForTesting(&m_platform);
    }
    ~ScopedPlatform() { SetInstallPlatformForTesting(nullptr); }
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    InstallPlatform m_platform;
};

inline BOOL CALLBACK CollectDialogs(HWND hwnd, LPARAM list) {
    wchar_t cls[16] = {};
    ::GetClassNameW(hwnd, cls, 16);
    if (std::wstring(cls) == L"#32770" && ::IsWindowVisible(hwnd)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
    return TRUE;
}

// Runs fn on a new thread, as the page's worker runs the steps, while this thread answers the
// messages the worker sends to its windows. A dialog box that the worker's thread shows (the
// shell's error box for a program it cannot start) is answered with OK. Returns how many.
inline int RunOnWorker(const std::function<void()>& fn) {
    HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> workerId{0};
    std::thread worker([&] {
        workerId = ::GetCurrentThreadId();
        fn();
        ::SetEvent(done);
    });
    int boxes = 0;
    for (;;) {
        const DWORD wait = ::MsgWaitForMultipleObjects(1, &done, FALSE, 50, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) break;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
        if (const DWORD tid = workerId.load()) {
            std::vector<HWND> found;
            ::EnumThreadWindows(tid, &CollectDialogs, reinterpret_cast<LPARAM>(&found));
            for (HWND box : found) {
                if (::GetPropW(box, L"kvtest.answered")) continue;
                ::SetPropW(box, L"kvtest.answered", reinterpret_cast<HANDLE>(1));
                ::PostMessageW(box, WM_COMMAND, IDOK, 0);
                ++boxes;
            }
        }
    }
    worker.join();
    ::CloseHandle(done);
    return boxes;
}

// Joins lists of expected log lines.
inline std::vector<std::string> Lines(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The page's status line during a wait of `seconds` between attempts: the resource's pattern
// with its one number put in.
inline std::wstring RetryWaitText(unsigned seconds) {
    std::wstring text = LoadResString(IDS_RETRY_WAIT);
    const size_t at = text.find(L"%u");
    EXPECT_NE(at, std::wstring::npos);
    return at == std::wstring::npos ? text : text.replace(at, 2, std::to_wstring(seconds));
}

}  // namespace kvtest
