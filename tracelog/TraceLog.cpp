#include "tracelog/TraceLog.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <locale.h>

#include <new>

#include "framework/handle.h"
#include "tracelog/LogFile.h"

#ifdef _UCRT
#error "The trace log formats with msvcrt's printf and redirects msvcrt's stdout; this build links another runtime."
#endif

TraceLogState TraceLog = {TraceOff, {}, {}, nullptr};

namespace {

struct TraceLock {
    TraceLock() { ::InitializeCriticalSection(&section); }
    ~TraceLock() { ::DeleteCriticalSection(&section); }
    CRITICAL_SECTION section;
};

// A function-local static, so that a line written during another object's static
// initialisation still finds the lock built, whichever translation unit runs first.
CRITICAL_SECTION& Lock() {
    static TraceLock lock;
    return lock.section;
}

// Builds the lock while the process starts, not at the first line.
[[maybe_unused]] const bool lockBuilt = (Lock(), true);

// mingw-w64 compiles C++ with its own printf family (__USE_MINGW_ANSI_STDIO), and its
// _vscprintf is a wrapper of its own as well. The log must behave as the runtime library does:
// "%S" converts through the runtime's locale and fails on a character the code page lacks.
// So the two functions are taken from msvcrt.dll itself.
using MeasureFn = int(__cdecl*)(const char*, va_list);
using FormatFn = int(__cdecl*)(char*, size_t, const char*, va_list);

struct RuntimePrintf {
    MeasureFn measure;
    FormatFn format;
};

const RuntimePrintf& Runtime() {
    static const RuntimePrintf runtime = [] {
        HMODULE crt = ::GetModuleHandleW(L"msvcrt.dll");
        RuntimePrintf fns = {nullptr, nullptr};
        if (crt) {
            fns.measure = reinterpret_cast<MeasureFn>(reinterpret_cast<void*>(::GetProcAddress(crt, "_vscprintf")));
            fns.format = reinterpret_cast<FormatFn>(reinterpret_cast<void*>(::GetProcAddress(crt, "_vsnprintf")));
        }
        return fns;
    }();
    return runtime;
}

int RuntimeMeasure(const char* format, va_list args) {
    MeasureFn fn = Runtime().measure;
    return fn ? fn(format, args) : -1;
}

int RuntimeFormat(char* buffer, size_t size, const char* format, va_list args) {
    FormatFn fn = Runtime().format;
    return fn ? fn(buffer, size, format, args) : -1;
}

TraceFormatter g_formatter = {RuntimeMeasure, RuntimeFormat};

bool AppendFormatted(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = AppendRuntimeFormat(out, format, args);
    va_end(args);
    return ok;
}

// The process name with '?' for every character (a surrogate pair counts as one) that the
// runtime cannot convert to its code page.
std::wstring RepresentableName(const std::wstring& name) {
    std::wstring result;
    std::string probe;
    for (size_t i = 0; i < name.size();) {
        size_t len = (IS_HIGH_SURROGATE(name[i]) && i + 1 < name.size() && IS_LOW_SURROGATE(name[i + 1])) ? 2 : 1;
        std::wstring ch = name.substr(i, len);
        probe.clear();
        if (AppendFormatted(probe, "%S", ch.c_str()))
            result += ch;
        else
            result += L'?';
        i += len;
    }
    return result;
}

// Most of a header changes once a second or never, and building it from scratch for every
// line cost more than the write itself: the runtime converts "%S" character by character
// under its locale lock. So the parts are kept, under the trace lock, and only the
// milliseconds and the thread id are written per line.
struct HeaderParts {
    // "[YYYY-MM-DD hh:mm:ss." of the local time in the UTC second `second`.
    ULONGLONG second = ~0ULL;
    std::string stamp;
    // "][NAME(PID), T:" for this name, process and code page of the runtime's locale.
    std::wstring name;
    DWORD pid = 0;
    unsigned codePage = 0;
    bool haveIdentity = false;
    std::string identity;
};

HeaderParts& Parts() {
    static HeaderParts parts;
    return parts;
}

void AppendDecimal(std::string& out, unsigned value, size_t width) {
    char digits[16];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < width) digits[n++] = '0';
    while (n > 0) out += digits[--n];
}

// The local time of the UTC second holding utc, to the second.
std::string LocalStamp(const FILETIME& utc) {
    SYSTEMTIME utcParts;
    SYSTEMTIME local;
    if (!::FileTimeToSystemTime(&utc, &utcParts) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utcParts, &local))
        ::GetLocalTime(&local);
    char text[40];
    const int n = std::snprintf(text, sizeof(text), "[%04d-%02d-%02d %02d:%02d:%02d.", local.wYear, local.wMonth,
                                local.wDay, local.wHour, local.wMinute, local.wSecond);
    return std::string(text, static_cast<size_t>(n));
}

// "][NAME(PID), T:" with the name as the runtime's "%S" converts it.
std::string Identity(const std::wstring& name, DWORD pid) {
    std::string text = "][";
    if (!AppendFormatted(text, "%S", name.c_str())) {
        text = "][";
        AppendFormatted(text, "%S", RepresentableName(name).c_str());
    }
    text += '(';
    AppendDecimal(text, pid, 1);
    text += "), T:";
    return text;
}

// Wine's runtime gives a windowed process started without standard handles a stdout stream
// without a descriptor (-2), and its _wfreopen refuses to reopen such a stream, where the
// platform's own runtime reopens it. A descriptor on the null device, which the reopening
// closes again at once, makes both behave alike.
void GiveStdoutADescriptor() {
    if (stdout->_file >= 0) return;
    int fd = ::_wopen(L"NUL", _O_WRONLY | _O_TEXT);
    if (fd >= 0) stdout->_file = fd;
}

}  // namespace

TraceLockGuard::TraceLockGuard() { ::EnterCriticalSection(&Lock()); }

TraceLockGuard::~TraceLockGuard() { ::LeaveCriticalSection(&Lock()); }

bool AppendRuntimeFormat(std::string& out, const char* format, va_list args) {
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = g_formatter.measure(format, measureArgs);
    va_end(measureArgs);
    if (length < 0) return false;

    const size_t start = out.size();
    if (static_cast<size_t>(length) >= out.max_size() - start) throw std::bad_alloc();
    out.resize(start + static_cast<size_t>(length) + 1);
    va_list formatArgs;
    va_copy(formatArgs, args);
    const int written = g_formatter.format(&out[start], static_cast<size_t>(length) + 1, format, formatArgs);
    va_end(formatArgs);
    if (written < 0 || written > length) {
        out.resize(start);
        return false;
    }
    out.resize(start + static_cast<size_t>(written));
    return true;
}

TraceFormatter SetTraceFormatterForTesting(const TraceFormatter& formatter) {
    TraceFormatter previous = g_formatter;
    g_formatter = formatter;
    return previous;
}

TraceFormatter RuntimeTraceFormatter() { return TraceFormatter{RuntimeMeasure, RuntimeFormat}; }

void AppendTraceHeader(std::string& out) {
    TraceLockGuard lock;
    HeaderParts& parts = Parts();

    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const ULONGLONG second = ticks / 10000000;
    if (second != parts.second) {
        parts.stamp = LocalStamp(now);
        parts.second = second;
    }

    const DWORD pid = ::GetCurrentProcessId();
    const unsigned codePage = ::___lc_codepage_func();
    if (!parts.haveIdentity || pid != parts.pid || codePage != parts.codePage || parts.name != TraceLog.processName) {
        parts.identity = Identity(TraceLog.processName, pid);
        parts.name = TraceLog.processName;
        parts.pid = pid;
        parts.codePage = codePage;
        parts.haveIdentity = true;
    }

    out += parts.stamp;
    // Time zones differ from UTC by whole minutes, so the milliseconds are those of UTC.
    AppendDecimal(out, static_cast<unsigned>(ticks / 10000 % 1000), 3);
    out += parts.identity;
    AppendDecimal(out, ::GetCurrentThreadId(), 1);
    out += ']';
}

std::string FormatTraceHeader() {
    std::string header;
    AppendTraceHeader(header);
    return header;
}

namespace {

// The null device under stdout between the lines of append mode, so that the stream stays open
// and each line needs no reopening of the stream itself.
int NullDescriptor() {
    static const int fd = ::_wopen(L"NUL", _O_WRONLY | _O_TEXT);
    return fd;
}

bool g_streamOpen = false;

// stdout onto file: the stream is opened once on the null device for its text mode and
// buffering; its descriptor is then made to stand for the file. The handle is the stream's
// from then on.
bool AttachStdout(kv::UniqueFile& file, bool append) {
    if (!g_streamOpen) {
        GiveStdoutADescriptor();
        if (!::_wfreopen(L"NUL", L"w", stdout)) return false;
        g_streamOpen = true;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_TEXT | (append ? _O_APPEND : 0));
    if (fd < 0) return false;
    file.release();
    const bool attached = ::_dup2(fd, ::_fileno(stdout)) == 0;
    ::_close(fd);
    if (!attached) return false;
    TraceLog.output = stdout;
    return true;
}

}  // namespace

bool OpenTraceOutput() {
    if (TraceLog.logPath.empty()) return false;
    CloseTraceOutput();

    switch (TraceLog.mode) {
    case TraceConsole:
        GiveStdoutADescriptor();
        TraceLog.output = ::_wfreopen(L"CONOUT$", L"w", stdout);
        g_streamOpen = TraceLog.output != nullptr;
        return TraceLog.output != nullptr;
    case TraceFile:
    case TraceFileAppend:
        break;
    default:
        return false;
    }

    kv::UniqueFile file;
    const LogFileOpen opened = OpenOwnLogFile(TraceLog.logPath, true, file);
    if (opened != LogFileOpen::Opened && opened != LogFileOpen::Created) return false;
    // Emptied through the handle that was checked, never by opening the path again.
    if (TraceLog.mode == TraceFile && !::SetEndOfFile(file.get())) return false;
    return AttachStdout(file, TraceLog.mode == TraceFileAppend);
}

std::wstring WrittenLogFilePath() {
    TraceLockGuard lock;
    if (TraceLog.mode == TraceFileAppend || (TraceLog.mode == TraceFile && TraceLog.output)) return TraceLog.logPath;
    return std::wstring();
}

void CloseTraceOutput() {
    if (!TraceLog.output) return;
    // The file is let go by putting the null device in its place; the stream stays open.
    ::fflush(TraceLog.output);
    const int nul = NullDescriptor();
    if (TraceLog.mode == TraceConsole || nul < 0 || ::_dup2(nul, ::_fileno(TraceLog.output)) != 0) {
        ::fclose(TraceLog.output);
        g_streamOpen = false;
    }
    TraceLog.output = nullptr;
}
