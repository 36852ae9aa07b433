#include "install/Launch.h"

#include <windows.h>
#include <shellapi.h>

#include "framework/handle.h"
#include "install/InstallPlatform.h"
#include "tracelog/FuncTrace.h"

LaunchResult LaunchAndWait(const wchar_t* file, const wchar_t* parameters, const std::wstring& directory) {
    const InstallPlatform& platform = ActiveInstallPlatform();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // NOASYNC because the calling thread (the page's worker) does not stay in a message loop
    // for the shell to finish on; NOCLOSEPROCESS for the handle to wait on.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOW;
    if (!platform.shellExecute(info)) return LaunchResult::NotStarted;

    kv::UniqueKernelHandle process(info.hProcess);
    // A launch that gave no process handle fails the wait like any other wait failure.
    return platform.waitForObject(process.get(), INFINITE) == WAIT_OBJECT_0 ? LaunchResult::Ended
                                                                            : LaunchResult::WaitFailed;
}

void LogLaunchResult(FuncTrace& trace, LaunchResult result, const char* file) {
    switch (result) {
    case LaunchResult::Ended:
        trace.Log("%s run Success...", file);
        break;
    case LaunchResult::WaitFailed:
        trace.Log("%s run Fail___", file);
        break;
    case LaunchResult::NotStarted:
        break;
    }
}
