// Starting a program the server provided and waiting for it, as both install steps do.
#pragma once

#include <string>

class FuncTrace;

enum class LaunchResult {
    NotStarted,  // the shell refused the launch (it shows its own error box first)
    Ended,       // the started process has exited; its exit code is not read
    WaitFailed,  // the shell gave no process handle, or waiting on it failed
};

// ShellExecuteExW with the verb "open" on the bare file name, directory as the starting
// directory, parameters (null: none), shown normally, no owner window, and the masks
// SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC; then a wait without time-out for the process.
// The process handle is closed before returning.
LaunchResult LaunchAndWait(const wchar_t* file, const wchar_t* parameters, const std::wstring& directory);

// The step's line for a launch's end: "<file> run Success..." once the program ended, "<file>
// run Fail___" when there was nothing to wait for; nothing when the shell refused (its box said
// so already). file is the narrow name the log uses.
void LogLaunchResult(FuncTrace& trace, LaunchResult result, const char* file);
