// Switches the trace log on from the current user's settings under
// HKEY_CURRENT_USER\Software\KestrelVAULT, value names led by the executable's file name:
// "<name>.log" (mode), "<name>.log.path" (full log path), "<name>.log.name" (file name beside
// the executable). Logging stays off unless they say otherwise.
#pragma once

#include <windows.h>

#include <string>

// Fills the log's mode, path and process name, makes the first redirection of stdout and
// grants the local "Users" group access to a log file that an earlier run left (one this run
// creates gets no grant). What lies at the log path is written or granted only when it is a log
// of ours (OpenOwnLogFile), and a missing one is created only where every local user may create
// files; otherwise nothing is logged to a file. Runs once, on the start-up thread, before the
// first trace scope. A grant that fails is the one thing it reports: a line in the log itself.
// A missing setting keeps its default and an output that cannot be opened only loses lines.
void InitTraceLog();

// Long full path of the module holding the log code (the executable); empty when the long
// form cannot be had, and with it the directory and the name.
std::wstring TraceModulePath();
// TraceModulePath() before its last backslash; empty when it has none.
std::wstring TraceModuleDirectory();
// TraceModulePath() after its last backslash; all of it when it has none.
std::wstring TraceModuleName();

// The settings; a missing key or value, or one larger than its buffer (a mode of more than
// four bytes, a string of more than 259 characters), counts as absent: mode 0, empty text.
int ReadLogModeSetting();
std::wstring ReadLogPathSetting();
std::wstring ReadLogNameSetting();

// Puts a full-access entry for "Users" in front of the file's access list, keeping the old
// entries after it. True when the list was rewritten, or when it already began with that
// entry and was left alone; false, with the file unchanged, when any step fails (including a
// file without an access list).
bool GrantLogFileAccess(const std::wstring& path);

// How InitTraceLog grants "Users" access to the existing log file it has opened and checked:
// through that handle; false, with the last error set, when the grant failed. Tests watch it
// here, since Wine does not keep access lists. Returns the grant it replaces; null gives the
// real one back.
using LogFileGrant = bool (*)(HANDLE file);
LogFileGrant SetLogFileGrantForTesting(LogFileGrant grant);
