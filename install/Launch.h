// Starting a program the server provided and waiting for it, as both install steps do.
#pragma once

#include <windows.h>

#include <string>

#include "framework/handle.h"

class FuncTrace;

enum class LaunchResult {
    NotStarted,  // CreateProcessW refused the program
    Ended,       // the started process has exited
    WaitFailed,  // no process handle came back, or waiting on it failed
};

struct LaunchOutcome {
    LaunchResult result = LaunchResult::NotStarted;
    // NotStarted: GetLastError after CreateProcessW.
    DWORD error = 0;
    // Ended: the program's exit code.
    DWORD exitCode = 0;
    // The full path that was asked to start.
    std::wstring program;
};

// Starts directory\file with CreateProcessW: the full path as the application name, and a
// command line of that path in quotes, a blank and parameters (null: none); directory as the
// starting directory, shown normally, no handles inherited. Never through the shell: its "open"
// verb for programs is looked up in a registry that merges the user's own classes over the
// machine's, so an unelevated program of the user could name the command an elevated setup
// runs. Then a wait without time-out for the process; its handles are closed before returning.
// heldFile (the program held open since its check, install/ProgramTrust.h) is let go once
// CreateProcessW has answered, so that the program cannot change between its check and its
// start but can be deleted after its run.
LaunchOutcome LaunchAndWait(const wchar_t* file, const wchar_t* parameters, const std::wstring& directory,
                            bool quiet, kv::UniqueFile& heldFile);

// The step's line for a launch's end: "<file> run Success..." once the program ended, "<file>
// run Fail___" when there was nothing to wait for, "<file> CreateProcess fail___(err: <code>)"
// when the program did not start. By hand (not quiet) a program that did not start is also
// shown in an error box (its path and the system's text for the error) that the user closes:
// the box the shell showed there before. file is the narrow name the log uses.
void LogLaunchResult(FuncTrace& trace, const LaunchOutcome& outcome, const char* file, bool quiet);
