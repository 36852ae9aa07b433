// Trace log throughput beside plain loops that write the same bytes the same way.
//
//   mode 0   the cost of one message call with logging off, beside an empty out-of-line call
//   mode 2   lines per second through FuncTrace::Log, beside fwrite + fflush per line
//   mode 3   lines per second through FuncTrace::Log, beside fopen / fwrite / fclose per line
//
// Each with one thread and with four; every figure is the best of a few rounds. The ratio is
// plain lines per second over log lines per second: 1.0 means the log costs nothing extra.
// The log owns stdout while it runs, so the results go to stderr.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_clock.h"
#include "tracelog/FuncTrace.h"
#include "tracelog/TraceInit.h"
#include "tracelog/TraceLog.h"

namespace {

const int kRounds = 5;
const char kPayload[] = "URLDownloadToFile ret: 0x00000000, ServerFilePath: KVUpdate.exe";

// Runs body(thread index) on `threads` threads at once; returns the wall time of the slowest.
double Timed(int threads, const std::function<void(int)>& body) {
    std::vector<std::thread> workers;
    const double start = Seconds();
    for (int t = 0; t < threads; ++t) workers.emplace_back(body, t);
    for (std::thread& w : workers) w.join();
    return Seconds() - start;
}

// The best times of the two, run in turns so that a busy moment of the machine hits both.
std::pair<double, double> Best(const std::function<double()>& log, const std::function<double()>& plain) {
    double bestLog = 1e30;
    double bestPlain = 1e30;
    for (int i = 0; i < kRounds; ++i) {
        bestLog = std::min(bestLog, log());
        bestPlain = std::min(bestPlain, plain());
    }
    return {bestLog, bestPlain};
}

// A line as the log writes it for the same message, so that both loops write the same bytes.
std::string SampleLine() {
    std::string line = FormatTraceHeader() + ":    " + kPayload;
    return line + "\n";
}

struct Paths {
    std::wstring log;
    std::wstring plain;
};

double LogLines(int mode, const Paths& paths, int threads, int lines) {
    TraceLog.mode = mode;
    TraceLog.logPath = paths.log;
    // Made empty here: the program creates a log only where every local user may create files.
    ::CloseHandle(::CreateFileW(paths.log.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (mode == TraceFile) OpenTraceOutput();
    const double seconds = Timed(threads, [&](int) {
        FuncTrace scope("Bench::Log");
        for (int i = 0; i < lines; ++i) scope.Log("%s", kPayload);
    });
    CloseTraceOutput();
    TraceLog.mode = TraceOff;
    return seconds;
}

double PlainHeldLines(const Paths& paths, int threads, int lines, const std::string& line) {
    FILE* f = ::_wfopen(paths.plain.c_str(), L"w");
    if (!f) return 0;
    const double seconds = Timed(threads, [&](int) {
        for (int i = 0; i < lines; ++i) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fflush(f);
        }
    });
    std::fclose(f);
    return seconds;
}

double PlainAppendLines(const Paths& paths, int threads, int lines, const std::string& line) {
    ::DeleteFileW(paths.plain.c_str());
    return Timed(threads, [&](int) {
        for (int i = 0; i < lines; ++i) {
            FILE* f = ::_wfopen(paths.plain.c_str(), L"a");
            if (!f) continue;
            std::fwrite(line.data(), 1, line.size(), f);
            std::fclose(f);
        }
    });
}

__attribute__((noinline)) void EmptyCall(const char*, ...) { asm volatile(""); }

void ModeZero() {
    TraceLog.mode = TraceOff;
    const int calls = 20000000;
    FuncTrace scope("Bench::Off");
    const auto [log, plain] = Best(
        [&] {
            const double start = Seconds();
            for (int i = 0; i < calls; ++i) scope.Log("value %d %S", i, L"text");
            return Seconds() - start;
        },
        [&] {
            const double start = Seconds();
            for (int i = 0; i < calls; ++i) EmptyCall("value %d %S", i, L"text");
            return Seconds() - start;
        });
    std::fprintf(stderr, "mode 0  message call            %6.2f ns/call   empty call %6.2f ns/call   ratio %.2f\n",
                 log / calls * 1e9, plain / calls * 1e9, log / plain);
}

void Throughput(int mode, const Paths& paths, int threads, int linesPerThread) {
    const std::string line = SampleLine();
    const auto [log, plain] = Best([&] { return LogLines(mode, paths, threads, linesPerThread); },
                                   [&] {
                                       return mode == TraceFile ? PlainHeldLines(paths, threads, linesPerThread, line)
                                                                : PlainAppendLines(paths, threads, linesPerThread, line);
                                   });
    const double total = static_cast<double>(threads) * linesPerThread;
    std::fprintf(stderr, "mode %d  %d thread%s  log %9.0f lines/s   plain %9.0f lines/s   ratio %.2f\n", mode, threads,
                 threads == 1 ? " " : "s", total / log, total / plain, log / plain);
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring stem = std::wstring(temp) + L"kv_log_bench_" + std::to_wstring(::GetCurrentProcessId());
    const Paths paths = {stem + L".log", stem + L".plain"};
    TraceLog.processName = TraceModuleName();

    std::fprintf(stderr, "trace log benchmark (best of %d rounds; ratio = log time / plain time)\n", kRounds);
    ModeZero();
    for (int threads : {1, 4}) Throughput(TraceFile, paths, threads, 20000 / threads);
    for (int threads : {1, 4}) Throughput(TraceFileAppend, paths, threads, 4000 / threads);

    ::DeleteFileW(paths.log.c_str());
    ::DeleteFileW(paths.plain.c_str());
    return 0;
}
