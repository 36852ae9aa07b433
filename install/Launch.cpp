#include "install/Launch.h"

#include "framework/handle.h"
#include "install/InstallPlatform.h"
#include "tracelog/FuncTrace.h"

namespace {

// The system's text for error, in the user's language; empty when it has none.
std::wstring SystemText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring out(text ? text : L"", text ? length : 0);
    if (text) ::LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' ')) out.pop_back();
    return out;
}

void ShowLaunchFailure(const LaunchOutcome& outcome) {
    const std::wstring& program = outcome.program;
    const std::wstring caption = program.substr(program.rfind(L'\\') + 1);
    std::wstring text = program + L"\r\n\r\n";
    const std::wstring reason = SystemText(outcome.error);
    text += reason.empty() ? L"Error " + std::to_wstring(outcome.error) : reason;
    ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace

LaunchOutcome LaunchAndWait(const wchar_t* file, const wchar_t* parameters, const std::wstring& directory,
                            bool quiet, kv::UniqueFile& heldFile) {
    (void)quiet;  // no box comes from the start itself; LogLaunchResult shows one by hand
    const InstallPlatform& platform = ActiveInstallPlatform();
    LaunchOutcome outcome;
    outcome.program = directory + L"\\" + file;
    // The application name keeps the start to this one file; the quotes keep the program's own
    // first argument whole where the path holds blanks.
    std::wstring commandLine = L"\"" + outcome.program + L"\"";
    if (parameters && *parameters) commandLine += std::wstring(L" ") + parameters;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process = {};

    ::SetLastError(ERROR_SUCCESS);
    const BOOL started = platform.createProcess(outcome.program, commandLine, directory, startup, process);
    const DWORD error = ::GetLastError();
    heldFile.reset();
    if (!started) {
        outcome.result = LaunchResult::NotStarted;
        outcome.error = error;
        return outcome;
    }

    kv::UniqueKernelHandle thread(process.hThread);
    kv::UniqueKernelHandle processHandle(process.hProcess);
    // A start that gave no process handle fails the wait like any other wait failure.
    if (platform.waitForObject(processHandle.get(), INFINITE) != WAIT_OBJECT_0) {
        outcome.result = LaunchResult::WaitFailed;
        return outcome;
    }
    outcome.result = LaunchResult::Ended;
    DWORD code = 0;
    if (::GetExitCodeProcess(processHandle.get(), &code)) outcome.exitCode = code;
    return outcome;
}

void LogLaunchResult(FuncTrace& trace, const LaunchOutcome& outcome, const char* file, bool quiet) {
    switch (outcome.result) {
    case LaunchResult::Ended:
        trace.Log("%s run Success...", file);
        break;
    case LaunchResult::WaitFailed:
        trace.Log("%s run Fail___", file);
        break;
    case LaunchResult::NotStarted:
        // Logged in both modes: by hand the log would otherwise only have the box's absence
        // of a line to go by. The line comes first, so that a box nobody answers cannot keep it
        // out of the log.
        trace.Log("%s CreateProcess fail___(err: %u)", file, static_cast<unsigned>(outcome.error));
        // Unattended, a box would wait for nobody.
        if (!quiet) ShowLaunchFailure(outcome);
        break;
    }
}
