#include "tracelog/FuncTrace.h"

#include <clocale>
#include <cstdarg>
#include <iostream>
#include <new>
#include <optional>

#include "tracelog/TraceLog.h"

namespace {

const char kEntryMarker[] = "() <<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<";
const char kExitMarker[] = "() >>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";
static_assert(sizeof(kEntryMarker) - 1 == 46 && sizeof(kExitMarker) - 1 == 46, "markers are 46 characters");
const char kConvertFail[] = "(Convert to ansi fail)";

// The conversions of wide text in the log need the Korean code page. The locale belongs to the
// whole process and other threads convert with it, so it is set only once, by the first scope
// built with logging on, and never while logging is off.
void UseLogLocale() {
    static const bool set = (std::setlocale(LC_ALL, "Korean"), true);
    (void)set;
}

// What one line needs around its write: the lock, when asked for, in append mode the log file
// opened for this line alone, and the buffer the line is built in. All are given back on every
// way out.
class LineGuard {
public:
    explicit LineGuard(bool useLock) {
        if (useLock) lock_.emplace();
        if (TraceLog.mode == TraceFileAppend) {
            writable_ = OpenTraceOutput();
            reopened_ = true;
        }
    }
    ~LineGuard() {
        if (reopened_) CloseTraceOutput();
        // One long message must not hold its memory for the rest of the run.
        if (lock_ && Shared().capacity() > kKeptBuffer) std::string().swap(Shared());
    }
    LineGuard(const LineGuard&) = delete;
    LineGuard& operator=(const LineGuard&) = delete;

    // False when append mode could not reopen the file for this line (another program holds
    // it, or is deleting it just then). Such a line is lost alone: written into the closed
    // stdout it would set the scope's stream in error and lose every later line of the scope,
    // although the next line's reopen would succeed.
    bool Writable() const { return writable_; }

    // Empty, with room for an ordinary line. While the lock is held one buffer serves every
    // line, so that a line costs no allocation once the buffer has grown.
    std::string& Line() {
        std::string& line = lock_ ? Shared() : own_;
        line.clear();
        line.reserve(kTypicalLine);
        return line;
    }

private:
    static const size_t kTypicalLine = 256;
    static const size_t kKeptBuffer = 64 * 1024;

    static std::string& Shared() {
        static std::string buffer;
        return buffer;
    }

    std::optional<TraceLockGuard> lock_;
    bool reopened_ = false;
    bool writable_ = true;
    std::string own_;
};

// The line and its end in one write, then a flush that reaches stdout's file: every line is in
// the file or on the console before the writer goes on. The text-mode stream turns the line
// feed into CR LF.
void WriteLine(std::ostream& out, std::string& line) {
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

}  // namespace

FuncTrace::FuncTrace(const char* name)
    : std::ostream(TraceLog.mode != TraceOff ? std::cout.rdbuf() : nullptr),
      name(name ? name : ""),
      writeMarkers(true),
      enabled(true),
      useLock(true) {
    if (TraceLog.mode == TraceOff) return;
    UseLogLocale();
    WriteMarkerLine(kEntryMarker);
}

FuncTrace::~FuncTrace() {
    if (TraceLog.mode == TraceOff) return;
    WriteMarkerLine(kExitMarker);
}

void FuncTrace::WriteMarkerLine(const char* marker) {
    if (!enabled || !writeMarkers) return;
    // A line that cannot be built for lack of memory is lost; the guard gives back the lock.
    try {
        LineGuard guard(useLock);
        if (!guard.Writable()) return;
        std::string& line = guard.Line();
        AppendTraceHeader(line);
        line += name;
        line += marker;
        WriteLine(*this, line);
    } catch (const std::bad_alloc&) {
    }
}

void FuncTrace::Log(const char* format, ...) {
    if (TraceLog.mode == TraceOff || !enabled) return;
    va_list args;
    va_start(args, format);
    WriteMessageLine(format, args);
    va_end(args);
}

void FuncTrace::WriteMessageLine(const char* format, va_list args) {
    try {
        LineGuard guard(useLock);
        if (!guard.Writable()) return;
        std::string& line = guard.Line();
        AppendTraceHeader(line);
        line += ":    ";
        if (!AppendRuntimeFormat(line, format, args)) line += kConvertFail;
        WriteLine(*this, line);
    } catch (const std::bad_alloc&) {
    }
}
