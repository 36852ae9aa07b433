// Starting a program the server provided and waiting for it, as both install steps do.
#pragma once

#include <windows.h>

#include <string>

#include "framework/handle.h"

class FuncTrace;

enum class LaunchResult {
    NotStarted,  // the shell refused the launch (by hand it shows its own error box first)
    Ended,       // the started process has exited
    WaitFailed,  // the shell gave no process handle, or waiting on it failed
};

struct LaunchOutcome {
    LaunchResult result = LaunchResult::NotStarted;
    // NotStarted: the shell's error (GetLastError after ShellExecuteExW).
    DWORD error = 0;
    // Ended: the program's exit code.
    DWORD exitCode = 0;
};

// ShellExecuteExW with the verb "open" on the bare file name, directory as the starting
// directory, parameters (null: none), shown normally, no owner window, and the masks
// SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC, with SEE_MASK_FLAG_NO_UI when quiet (an
// unattended run, where an error box would wait for nobody); then a wait without time-out for
// the process. The process handle is closed before returning. heldFile (the program held open
// since its check, install/ProgramTrust.h) is let go once the shell has answered, so that the
// program cannot change between its check and its start but can be deleted after its run.
LaunchOutcome LaunchAndWait(const wchar_t* file, const wchar_t* parameters, const std::wstring& directory,
                            bool quiet, kv::UniqueFile& heldFile);

// The step's line for a launch's end: "<file> run Success..." once the program ended, "<file>
// run Fail___" when there was nothing to wait for. A refused launch writes "<file> ShellExecuteEx
// fail___(err: <code>)" when quiet, and nothing by hand (the shell's box said so already). file
// is the narrow name the log uses.
void LogLaunchResult(FuncTrace& trace, const LaunchOutcome& outcome, const char* file, bool quiet);
