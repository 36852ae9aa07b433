// The process-wide trace log: its state, its one lock, the line header and the redirection of
// the runtime's standard output that every trace scope writes through.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

enum TraceLogMode : int {
    TraceOff = 0,         // nothing is written
    TraceConsole = 1,     // stdout goes to a console window of our own
    TraceFile = 2,        // stdout goes to the log file, emptied at start-up and held open
    TraceFileAppend = 3,  // the log file is opened for appending around every single line
    // Any other non-zero value logs to whatever stdout the process inherited.
};

struct TraceLogState {
    // Read without the lock by every trace call: InitTraceLog sets it once, before any other
    // thread exists. Zero from static initialisation on, so a scope built before InitTraceLog
    // (even during static initialisation) stays silent.
    int mode;
    std::wstring logPath;
    // File name of the executable; part of every line header.
    std::wstring processName;
    // What the last redirection of stdout returned; null while nothing is open.
    FILE* output;
};

extern TraceLogState TraceLog;

// Holds the process-wide lock that serialises whole lines. The lock is re-entrant and usable
// from static initialisation on, whatever order the other static objects are built in.
class TraceLockGuard {
public:
    TraceLockGuard();
    ~TraceLockGuard();
    TraceLockGuard(const TraceLockGuard&) = delete;
    TraceLockGuard& operator=(const TraceLockGuard&) = delete;
};

// "[YYYY-MM-DD hh:mm:ss.mmm][NAME(PID), T:TID]" for the calling thread, now. A character of the
// process name that the current code page cannot represent comes out as '?'. Call it with the
// lock held, so that the stamps of successive lines never run backwards in the file.
// Throws std::bad_alloc when memory runs out.
std::string FormatTraceHeader();
// The same header appended to out, which saves the line its own buffer.
void AppendTraceHeader(std::string& out);

// Points stdout at the target of the mode: "CONOUT$" (1), the log file emptied (2) or the log
// file for appending (3), in text mode. A file is written only when it holds a log of ours
// (OpenOwnLogFile). False when the log path is empty (nothing changes), when the mode has no
// target, or when the target cannot be opened or is no log of ours; except for an empty path
// an output recorded before is closed first.
bool OpenTraceOutput();
// Closes the output recorded by OpenTraceOutput, if any.
void CloseTraceOutput();

// The log file this run writes, for telling the user where it is: the log path in mode 3, and
// in mode 2 while its output is open; empty otherwise (logging off, to a console, or no file
// of ours at the path).
std::wstring WrittenLogFilePath();

// Appends to out the text of printf-style format and args with the runtime library's own
// conventions: "%S" converts a wide string to the code page of the runtime's locale, and the
// text counts as unformattable when a character has no equivalent there. The length is
// measured before anything is formatted. Returns false, leaving out as it was, when the text
// cannot be formatted; throws std::bad_alloc when memory runs out.
bool AppendRuntimeFormat(std::string& out, const char* format, va_list args);

// Where AppendRuntimeFormat measures and formats; by default the runtime library's own
// _vscprintf and _vsnprintf. Tests replace it to see whether anything was formatted at all.
struct TraceFormatter {
    // Length of the formatted text without its terminator, or negative when it cannot be
    // formatted.
    int (*measure)(const char* format, va_list args);
    // Writes at most size bytes into buffer; returns the length written or negative.
    int (*format)(char* buffer, size_t size, const char* format, va_list args);
};
// Installs formatter and returns the one it replaces. Not synchronised: call it only while no
// other thread logs.
TraceFormatter SetTraceFormatterForTesting(const TraceFormatter& formatter);
// The runtime library's own pair.
TraceFormatter RuntimeTraceFormatter();
