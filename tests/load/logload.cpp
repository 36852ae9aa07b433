// Many threads logging at once through real trace scopes, optionally while another process
// deletes the log file again and again. The host reads the file back (test_logload.py).
//
//   kv_logload.exe THREADS LINES REPORT [DELETER]
//
// The log's mode and path come from the registry, as for the setup program (InitTraceLog).
// Every thread writes LINES lines in rounds of ten: one scope per round, so an entry line,
// eight message lines and an exit line. Line k of thread t (counting from 0) is:
//   k % 10 == 0   entry of "LoadWriter<t>::Round<k / 10>"
//   k % 10 == 9   exit of the same scope
//   otherwise     the message "t=<t> seq=<k> <filler> <hangul> end"
// The filler's length and letters and the Hangul text (a "%S" argument, converted to code page
// 949) depend on t and k, so the host can rebuild every line and a torn or mixed line shows.
// Every 250th line carries a filler longer than the runtime's 4096-byte stream buffer.
//
// DELETER is the path of kv_log_deleter.exe. It is started on the log path before the first
// line (its report goes to REPORT.deleter) and told to stop once the quickest thread is three
// quarters through, so that every thread still has lines to write afterwards. When it has
// ended, the report records for each thread the first line of the first round that began
// afterwards: from there on no line may be missing, whatever the mode.
//
// REPORT gets "key value..." lines: after_deleter (those first lines, one per thread), pid,
// elapsed_ms, and one lost_round (thread, round, line) for every scope whose stream failed: a
// line of it could not be written, and the log then drops the rest of that scope. A scope
// lasts one round, so that such a failure costs at most the rest of its round.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tracelog/FuncTrace.h"
#include "tracelog/TraceInit.h"
#include "tracelog/TraceLog.h"

namespace {

const int kRoundLines = 10;
const wchar_t kHangul[] = L"가나다라마바사아자차카타파하한글";
const int kHangulCount = static_cast<int>(sizeof(kHangul) / sizeof(kHangul[0])) - 1;

std::string Filler(int t, int seq) {
    const size_t length = seq % 250 == 1 ? 5000 + static_cast<size_t>(t) : static_cast<size_t>((seq * 37 + t * 11) % 200);
    std::string text(length, ' ');
    for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + (t + i) % 26);
    return text;
}

std::wstring Hangul(int t, int seq) {
    std::wstring text;
    for (int i = 0; i < seq % 7 + 1; ++i) text += kHangul[(t + seq + i) % kHangulCount];
    return text;
}

struct LostRound {
    int thread;
    int round;
    int line;  // the first line that could not be written
};

std::mutex g_lostLock;
std::vector<LostRound> g_lost;

void Writer(int t, int lines, std::atomic<int>* current) {
    for (int round = 0; round < lines / kRoundLines; ++round) {
        const int first = round * kRoundLines;
        current->store(first);
        const std::string name = "LoadWriter" + std::to_string(t) + "::Round" + std::to_string(round);
        FuncTrace scope(name.c_str());
        int lostAt = scope.bad() ? first : -1;
        for (int seq = first + 1; seq < first + kRoundLines - 1; ++seq) {
            current->store(seq);
            const std::string filler = Filler(t, seq);
            const std::wstring hangul = Hangul(t, seq);
            scope.Log("t=%d seq=%d %s %S end", t, seq, filler.c_str(), hangul.c_str());
            if (lostAt < 0 && scope.bad()) lostAt = seq;
        }
        if (lostAt >= 0) {
            std::lock_guard<std::mutex> lock(g_lostLock);
            g_lost.push_back({t, round, lostAt});
        }
        current->store(first + kRoundLines - 1);
        // The exit line is written here, by the scope's end.
    }
}

struct Deleter {
    HANDLE process = nullptr;
    HANDLE stop = nullptr;
    HANDLE ready = nullptr;
};

// Starts the deleter on the log path and waits until it has made its first attempt. It gets
// no handle of ours: an inherited handle of the open log would keep it from deleting.
bool StartDeleter(const std::wstring& exe, const std::wstring& report, Deleter& d) {
    const std::wstring events = L"KvLogLoad" + std::to_wstring(::GetCurrentProcessId());
    d.stop = ::CreateEventW(nullptr, TRUE, FALSE, (events + L".stop").c_str());
    d.ready = ::CreateEventW(nullptr, TRUE, FALSE, (events + L".ready").c_str());
    if (!d.stop || !d.ready) return false;
    std::wstring command = L"\"" + exe + L"\" \"" + TraceLog.logPath + L"\" " + events + L" \"" + report + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    ::CloseHandle(pi.hThread);
    d.process = pi.hProcess;
    const HANDLE waits[] = {d.ready, d.process};
    return ::WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: kv_logload.exe THREADS LINES REPORT [DELETER]\n");
        return 2;
    }
    const int threads = _wtoi(argv[1]);
    const int lines = _wtoi(argv[2]);
    const std::wstring report = argv[3];
    const std::wstring deleterExe = argc > 4 ? argv[4] : L"";
    if (threads < 1 || lines < kRoundLines || lines % kRoundLines != 0) {
        std::fprintf(stderr, "THREADS must be positive and LINES a positive multiple of %d\n", kRoundLines);
        return 2;
    }

    InitTraceLog();
    Deleter deleter;
    if (!deleterExe.empty() && !StartDeleter(deleterExe, report + L".deleter", deleter)) {
        std::fprintf(stderr, "the deleter did not start (error %lu)\n", ::GetLastError());
        return 3;
    }

    const ULONGLONG start = ::GetTickCount64();
    std::vector<std::atomic<int>> current(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back(Writer, t, lines, &current[static_cast<size_t>(t)]);

    std::string text;
    if (deleter.process) {
        for (;;) {
            int quickest = 0;
            for (const std::atomic<int>& line : current) quickest = std::max(quickest, line.load());
            if (quickest >= lines / 4 * 3) break;
            ::Sleep(5);
        }
        ::SetEvent(deleter.stop);
        if (::WaitForSingleObject(deleter.process, 60000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "the deleter did not stop\n");
            return 4;
        }
        // A line under way may have met the last deletion, and with it the rest of its scope.
        text += "after_deleter";
        for (int t = 0; t < threads; ++t)
            text += " " + std::to_string((current[static_cast<size_t>(t)].load() / kRoundLines + 1) * kRoundLines);
        text += "\n";
    }
    for (std::thread& w : workers) w.join();
    const ULONGLONG elapsed = ::GetTickCount64() - start;

    text += "pid " + std::to_string(::GetCurrentProcessId()) + "\n";
    text += "elapsed_ms " + std::to_string(elapsed) + "\n";
    for (const LostRound& lost : g_lost)
        text += "lost_round " + std::to_string(lost.thread) + " " + std::to_string(lost.round) + " " +
                std::to_string(lost.line) + "\n";
    HANDLE file = ::CreateFileW(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    const bool ok = file != INVALID_HANDLE_VALUE &&
                    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
                    done == text.size();
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    return ok ? 0 : 5;
}
