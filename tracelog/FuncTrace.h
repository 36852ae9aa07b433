// Function trace scope. Until the log writer lands, logging is always off, so a scope writes
// nothing at all.
#pragma once

#include <string>

class FuncTrace {
public:
    explicit FuncTrace(const char* name) : name(name ? name : "") {}
    FuncTrace(const FuncTrace&) = delete;
    FuncTrace& operator=(const FuncTrace&) = delete;

    // One message line in printf conventions ("%S" takes a wide string).
    void Log(const char* format, ...) {}

private:
    std::string name;
};
