// Runs a piece of code with the trace log on, into a file of its own, and gives back what the
// code logged: "> Scope" for an entry line, "< Scope" for an exit line and the text of each
// message line. stdout, where the test framework reports, is put back before returning, so
// assertions belong after the capture, never inside it.
#pragma once

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tracelog/TraceInit.h"
#include "tracelog/TraceLog.h"

inline std::vector<std::string> CaptureTrace(const std::function<void()>& fn) {
    const TraceLogState saved = TraceLog;
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring path =
        std::wstring(temp) + L"kv_capture_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    // Made empty here, as a user makes the file for an elevated run's log: the program creates
    // one itself only where every local user may create files, which the temp directory is not.
    ::CloseHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

    std::fflush(stdout);
    const int savedStdout = ::_dup(::_fileno(stdout));
    TraceLog.mode = TraceFile;
    TraceLog.logPath = path;
    TraceLog.processName = TraceModuleName();
    TraceLog.output = nullptr;
    OpenTraceOutput();

    fn();

    CloseTraceOutput();
    TraceLog = saved;
    std::fflush(stdout);
    if (::_wfreopen(L"NUL", L"w", stdout)) ::_dup2(savedStdout, ::_fileno(stdout));
    ::_close(savedStdout);

    std::ifstream in(path.c_str(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    ::DeleteFileW(path.c_str());

    std::vector<std::string> out;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        start = end + 2;
        // After the header "[stamp][name(pid), T:tid]".
        const size_t tid = line.find(", T:");
        const size_t close = tid == std::string::npos ? std::string::npos : line.find(']', tid);
        if (close == std::string::npos) {
            out.push_back("<unparsed> " + line);
            continue;
        }
        const std::string rest = line.substr(close + 1);
        if (rest.compare(0, 5, ":    ") == 0) {
            out.push_back(rest.substr(5));
        } else {
            const size_t paren = rest.find("() ");
            const char marker = paren == std::string::npos ? '?' : rest[paren + 3];
            out.push_back(std::string(marker == '<' ? "> " : marker == '>' ? "< " : "? ") + rest.substr(0, paren));
        }
    }
    return out;
}
