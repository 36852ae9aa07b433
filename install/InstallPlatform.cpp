#include "install/InstallPlatform.h"

#include <shlobj.h>

#include <mutex>
#include <random>

#include "install/ProgramTrust.h"
#include "install/Transfer.h"
#include "install/WorkDirectory.h"

namespace {

const InstallPlatform& Real() {
    static const InstallPlatform real = RealInstallPlatform();
    return real;
}

const InstallPlatform* g_override = nullptr;

}  // namespace

InstallPlatform RealInstallPlatform() {
    InstallPlatform p;
    p.fetchServerFile = FetchServerFile;
    p.createProcess = [](const std::wstring& application, std::wstring& commandLine, const std::wstring& directory,
                         STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
        return ::CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                directory.c_str(), &startup, &process);
    };
    p.holdProgramFile = HoldProgramFile;
    p.sleep = [](DWORD milliseconds) { ::Sleep(milliseconds); };
    p.tickCount = [] { return ::GetTickCount64(); };
    p.systemTime = [] {
        SYSTEMTIME now = {};
        ::GetSystemTime(&now);
        return now;
    };
    p.random = [] {
        // No secret rests on it: it only keeps machines that failed together from coming back
        // together. Seeded per process from clocks that differ between machines and runs.
        static std::mt19937 engine([] {
            LARGE_INTEGER counter = {};
            ::QueryPerformanceCounter(&counter);
            std::seed_seq seed{static_cast<DWORD>(counter.LowPart), static_cast<DWORD>(counter.HighPart),
                               ::GetCurrentProcessId(), static_cast<DWORD>(::GetTickCount64())};
            return std::mt19937(seed);
        }());
        static std::mutex lock;
        std::lock_guard<std::mutex> hold(lock);
        return static_cast<DWORD>(engine());
    };
    p.verifyTrust = [](HWND window, GUID* action, WINTRUST_DATA* data) { return ::WinVerifyTrust(window, action, data); };
    p.waitForObject = [](HANDLE handle, DWORD milliseconds) { return ::WaitForSingleObject(handle, milliseconds); };
    p.programFilesFolder = [] {
        wchar_t folder[MAX_PATH] = {};
        // The result is not tested: a failure leaves the buffer empty, and the base directory
        // then becomes "\KestrelVAULT" on the current drive.
        ::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILES, FALSE);
        return std::wstring(folder);
    };
    p.isElevated = IsProcessElevated;
    p.machineTempDirectory = [] {
        // The system's Windows directory, not a terminal-server user's own copy of it.
        wchar_t windows[MAX_PATH] = {};
        const UINT n = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
        std::wstring dir(windows, n < MAX_PATH ? n : 0);
        while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
        return dir + L"\\Temp";
    };
    p.createDirectory = [](const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
        return ::CreateDirectoryW(path.c_str(), attributes);
    };
    p.createFile = [](const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
        return ::CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    };
    return p;
}

const InstallPlatform& ActiveInstallPlatform() { return g_override ? *g_override : Real(); }

void SetInstallPlatformForTesting(const InstallPlatform* platform) { g_override = platform; }
