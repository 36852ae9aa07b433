// A function's part in the trace log: built at the start of the function, it writes the entry
// line, carries the function's message lines, and writes the exit line however the function
// is left. It is itself the output stream of those lines.
#pragma once

#include <cstdarg>
#include <ostream>
#include <string>

class FuncTrace : public std::ostream {
public:
    // name, copied, is "Class::Function" or a free function's bare name. With logging off the
    // scope writes nothing at any point and leaves the runtime's locale alone.
    explicit FuncTrace(const char* name);
    ~FuncTrace() override;
    FuncTrace(const FuncTrace&) = delete;
    FuncTrace& operator=(const FuncTrace&) = delete;

    // One message line, formatted with the runtime library's printf conventions: "%s" narrow,
    // "%S" a wide string converted to the current code page. A message that cannot be
    // formatted is written as "(Convert to ansi fail)". With logging off it returns before
    // looking at the arguments. Never reports an error.
    void Log(const char* format, ...) __attribute__((format(ms_printf, 2, 3)));

private:
    void WriteMarkerLine(const char* marker);
    void WriteMessageLine(const char* format, va_list args);

    std::string name;
    bool writeMarkers;
    bool enabled;
    bool useLock;
};
