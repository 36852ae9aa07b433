// The trace log in this process: real scopes writing through the redirected stdout into a file
// in the temp directory, read back byte for byte.

#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <clocale>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tracelog/FuncTrace.h"
#include "tracelog/TraceInit.h"
#include "tracelog/TraceLog.h"

namespace {

const std::string kEntry = "() " + std::string(43, '<');
const std::string kExit = "() " + std::string(43, '>');

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// "YYYY-MM-DD hh:mm:ss.mmm", which orders as the time does.
std::string Stamp(const SYSTEMTIME& t) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return buf;
}

std::string Now() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return Stamp(t);
}

struct Line {
    std::string stamp;
    std::string name;
    unsigned long pid = 0;
    unsigned long tid = 0;
    std::string rest;  // everything after the header
};

// Splits the file into lines at CR LF; fails the test on a line feed without its carriage
// return, a carriage return alone, or a last line without its end.
std::vector<std::string> SplitCrLf(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "last line without CR LF: " << bytes.substr(start);
            break;
        }
        std::string line = bytes.substr(start, end - start);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "stray line end in: " << line;
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

std::vector<Line> ParseLines(const std::string& bytes) {
    static const std::regex header(R"(^\[(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\]\[([^\]]*)\(([1-9]\d*)\), T:([1-9]\d*)\](.*)$)");
    std::vector<Line> lines;
    for (const std::string& text : SplitCrLf(bytes)) {
        std::smatch m;
        if (!std::regex_match(text, m, header)) {
            ADD_FAILURE() << "not a log line: " << text;
            continue;
        }
        lines.push_back(Line{m[1], m[2], std::stoul(m[3]), std::stoul(m[4]), m[5]});
    }
    return lines;
}

// Sets the log up in the given mode on a file of its own, as InitTraceLog would, and puts the
// process's stdout (where the test framework reports) back afterwards.
class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = TraceLog;
        std::fflush(stdout);
        savedStdout_ = ::_dup(::_fileno(stdout));
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"kv_tracelog_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
        // Made empty here, as a user makes the file for an elevated run's log: the program
        // creates one itself only where every local user may create files, which the temp
        // directory is not.
        ::CloseHandle(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }

    void TearDown() override {
        RestoreStdout();
        TraceLog = saved_;
        ::DeleteFileW(path_.c_str());
    }

    void StartLog(int mode) {
        TraceLog.mode = mode;
        TraceLog.logPath = path_;
        TraceLog.processName = TraceModuleName();
        TraceLog.output = nullptr;
        if (mode == TraceFile) {
            ASSERT_TRUE(OpenTraceOutput());
        }
    }

    // Ends the log as the process end would, so that the file is complete, and gives stdout
    // back to the test framework before anything is checked: its failure reports go there.
    std::string StopLog() {
        RestoreStdout();
        TraceLog.mode = TraceOff;
        return ReadAll(path_);
    }

    std::wstring path_;

private:
    void RestoreStdout() {
        CloseTraceOutput();
        std::fflush(stdout);
        if (savedStdout_ < 0) return;
        if (::_wfreopen(L"NUL", L"w", stdout)) ::_dup2(savedStdout_, ::_fileno(stdout));
        ::_close(savedStdout_);
        savedStdout_ = -1;
    }

    TraceLogState saved_;
    int savedStdout_ = -1;
};

// The code page 949 bytes of a wide text, as the log must show it.
std::string Cp949(const std::wstring& text) {
    int n = ::WideCharToMultiByte(949, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    ::WideCharToMultiByte(949, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

TEST_F(TraceLogTest, LinesHaveTheirLayoutAndScopesNest) {
    StartLog(TraceFile);
    const std::string before = Now();
    {
        FuncTrace outer("Outer::Run");
        outer.Log("Local file open success.");
        const char* empty = "";
        outer.Log(empty);
        outer.Log("n=%d u=%u s=%s S=%S x=0x%08x", -5, 4000000000u, "narrow", L"\uD55C\uAE00 ok", 0xBEEFu);
        { FuncTrace inner("Inner"); }
        try {
            FuncTrace thrower("Thrower::Go");
            throw std::runtime_error("leaves the scope");
        } catch (const std::runtime_error&) {
        }
    }
    const std::string after = Now();
    const std::string bytes = StopLog();

    const std::vector<std::string> expected = {
        "Outer::Run" + kEntry,
        ":    Local file open success.",
        ":    ",  // an empty message keeps the separator
        ":    n=-5 u=4000000000 s=narrow S=" + Cp949(L"\uD55C\uAE00 ok") + " x=0x0000beef",
        "Inner" + kEntry,  // nesting shows only in the order, no indentation
        "Inner" + kExit,
        "Thrower::Go" + kEntry,
        "Thrower::Go" + kExit,  // written while the exception passes
        "Outer::Run" + kExit,
    };
    const std::vector<Line> lines = ParseLines(bytes);
    ASSERT_EQ(lines.size(), expected.size()) << bytes;
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i].rest, expected[i]);
        EXPECT_EQ(lines[i].name, "kv_unit_tests.exe");
        EXPECT_EQ(lines[i].pid, ::GetCurrentProcessId());
        EXPECT_EQ(lines[i].tid, ::GetCurrentThreadId());
        EXPECT_LE(before, lines[i].stamp);
        EXPECT_LE(lines[i].stamp, after);
        if (i > 0) {
            EXPECT_LE(lines[i - 1].stamp, lines[i].stamp);
        }
    }
    EXPECT_EQ(kEntry.size(), 46u);
    EXPECT_EQ(kExit.size(), 46u);
}

TEST_F(TraceLogTest, UnconvertibleTextIsReplaced) {
    StartLog(TraceFile);
    struct Case {
        const wchar_t* arg;
        std::string line;  // after the header
    } const cases[] = {
        {L"\U0001F600", ":    (Convert to ansi fail)"},      // outside the BMP, outside 949
        {L"ab\u0E01cd", ":    (Convert to ansi fail)"},      // Thai; the text around it goes too
        {L"\uCF00\uC2A4\uD2B8\uB810", ":    arg: " + Cp949(L"\uCF00\uC2A4\uD2B8\uB810")},  // Hangul converts
    };
    const size_t count = sizeof(cases) / sizeof(cases[0]);
    {
        FuncTrace scope("Convert");
        for (const Case& c : cases) scope.Log("arg: %S", c.arg);
    }
    // The header has no replacement text of its own: an unconvertible name character is '?'.
    TraceLog.processName = L"setup\U0001F600\u0E01.exe";
    { FuncTrace odd("OddName"); }
    const std::vector<Line> lines = ParseLines(StopLog());

    ASSERT_EQ(lines.size(), count + 4);
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(lines[1 + i].rest, cases[i].line) << i;
    EXPECT_EQ(lines[lines.size() - 2].name, "setup??.exe");
    EXPECT_EQ(lines.back().name, "setup??.exe");
}

int g_formatCalls = 0;
int CountingMeasure(const char* format, va_list args) {
    ++g_formatCalls;
    return RuntimeTraceFormatter().measure(format, args);
}
int CountingFormat(char* buffer, size_t size, const char* format, va_list args) {
    ++g_formatCalls;
    return RuntimeTraceFormatter().format(buffer, size, format, args);
}

TEST_F(TraceLogTest, ModeZeroWritesNothingFormatsNothingAndKeepsTheLocale) {
    ::DeleteFileW(path_.c_str());
    TraceLog.mode = TraceOff;
    TraceLog.logPath = path_;
    TraceLog.processName = TraceModuleName();
    const std::string locale = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    const TraceFormatter previous = SetTraceFormatterForTesting({CountingMeasure, CountingFormat});
    g_formatCalls = 0;
    {
        FuncTrace scope("Silent::Run");
        EXPECT_EQ(scope.rdbuf(), nullptr);
        scope.Log("value %d %S", 1, L"text");
    }
    SetTraceFormatterForTesting(previous);
    const std::string after = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, locale.c_str());

    EXPECT_EQ(g_formatCalls, 0);
    EXPECT_EQ(after, "C");
    EXPECT_FALSE(Exists(path_));

    // The counting formatter does see the calls once logging is on.
    ::CloseHandle(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    StartLog(TraceFile);
    SetTraceFormatterForTesting({CountingMeasure, CountingFormat});
    {
        FuncTrace scope("Loud::Run");
        scope.Log("value %d", 1);
    }
    SetTraceFormatterForTesting(previous);
    EXPECT_GT(g_formatCalls, 0);
    EXPECT_EQ(ParseLines(StopLog()).size(), 3u);
}

// Append mode reopens the file for every line. A line whose reopen fails (another program holds
// the file, or is deleting it at that moment) is lost alone: the next line of the same scope
// tries again and lands.
TEST_F(TraceLogTest, AppendModeLosesOnlyTheLineWhoseReopenFails) {
    StartLog(TraceFileAppend);
    {
        FuncTrace scope("Append::Held");
        scope.Log("before");
        HANDLE held = ::CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        scope.Log("while held");
        ::CloseHandle(held);
        scope.Log("after");
    }
    const std::vector<Line> lines = ParseLines(StopLog());
    std::vector<std::string> rests;
    for (const Line& line : lines) rests.push_back(line.rest);
    EXPECT_EQ(rests, (std::vector<std::string>{"Append::Held" + kEntry, ":    before", ":    after", "Append::Held" + kExit}));
}

class TraceLogThreadsTest : public TraceLogTest, public ::testing::WithParamInterface<int> {};

TEST_P(TraceLogThreadsTest, ConcurrentLinesStayWholeAndInOrder) {
    const int threads = 6;
    const int perThread = GetParam() == TraceFileAppend ? 60 : 300;
    const std::string payload(300, 'p');
    StartLog(GetParam());
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            FuncTrace scope("Worker::Run");
            for (int i = 0; i < perThread; ++i)
                scope.Log("worker %d tid %lu line %d %s", t, ::GetCurrentThreadId(), i, payload.c_str());
        });
    }
    for (std::thread& w : workers) w.join();
    const std::vector<Line> lines = ParseLines(StopLog());

    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * (perThread + 2)));
    static const std::regex message(R"(^:    worker (\d+) tid (\d+) line (\d+) (p+)$)");
    std::map<unsigned long, int> nextLine;   // by thread id
    std::map<unsigned long, int> markers;
    for (const Line& line : lines) {
        if (line.rest == "Worker::Run" + kEntry || line.rest == "Worker::Run" + kExit) {
            // The entry comes before any message of its thread, the exit after all of them.
            EXPECT_EQ(nextLine[line.tid], line.rest == "Worker::Run" + kEntry ? 0 : perThread);
            ++markers[line.tid];
            continue;
        }
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line.rest, m, message)) << line.rest;
        EXPECT_EQ(std::stoul(m[2]), line.tid);
        EXPECT_EQ(m[4].length(), static_cast<long>(payload.size()));
        EXPECT_EQ(std::stoi(m[3]), nextLine[line.tid]++) << "lost or reordered line";
    }
    EXPECT_EQ(nextLine.size(), static_cast<size_t>(threads));
    for (const auto& [tid, count] : nextLine) {
        EXPECT_EQ(count, perThread) << tid;
        EXPECT_EQ(markers[tid], 2) << tid;
    }
}

INSTANTIATE_TEST_SUITE_P(FileModes, TraceLogThreadsTest, ::testing::Values(TraceFile, TraceFileAppend),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == TraceFile ? std::string("Held") : std::string("Append");
                         });

}  // namespace
