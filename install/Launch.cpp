#include "install/Launch.h"

#include <shellapi.h>

#include "framework/handle.h"
#include "install/InstallPlatform.h"
#include "tracelog/FuncTrace.h"

LaunchOutcome LaunchAndWait(const wchar_t* file, const wchar_t* parameters, const std::wstring& directory,
                            bool quiet, kv::UniqueFile& heldFile) {
    const InstallPlatform& platform = ActiveInstallPlatform();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // NOASYNC because the calling thread (the page's worker) does not stay in a message loop
    // for the shell to finish on; NOCLOSEPROCESS for the handle to wait on.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | (quiet ? SEE_MASK_FLAG_NO_UI : 0);
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOW;

    LaunchOutcome outcome;
    ::SetLastError(ERROR_SUCCESS);
    const BOOL started = platform.shellExecute(info);
    const DWORD error = ::GetLastError();
    heldFile.reset();
    if (!started) {
        outcome.result = LaunchResult::NotStarted;
        outcome.error = error;
        return outcome;
    }

    kv::UniqueKernelHandle process(info.hProcess);
    // A launch that gave no process handle fails the wait like any other wait failure.
    if (platform.waitForObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
        outcome.result = LaunchResult::WaitFailed;
        return outcome;
    }
    outcome.result = LaunchResult::Ended;
    DWORD code = 0;
    if (::GetExitCodeProcess(process.get(), &code)) outcome.exitCode = code;
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
        if (quiet) trace.Log("%s ShellExecuteEx fail___(err: %u)", file, static_cast<unsigned>(outcome.error));
        break;
    }
}
