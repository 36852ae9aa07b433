// The log location is the user's own registry value, read by an elevated program: whatever lies
// at that path is written, emptied or granted only when it is a log of ours. InitTraceLog runs
// here in-process against real files under Wine, in every mode, with the grant watched through
// its seam (Wine does not keep access lists).

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "tracelog/FuncTrace.h"
#include "tracelog/LogFile.h"
#include "tracelog/TraceInit.h"
#include "tracelog/TraceLog.h"

namespace {

const char kEarlierRun[] = "[2026-01-02 03:04:05.678][KestrelVault_Setup.exe(12), T:34]left from before\r\n";
const char kForeign[] = "MZ\x90\x00 another program's bytes, not a log\r\n";
const char kScope[] = "LocationTest::Line";

std::wstring TempDir() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    return temp;
}

bool Write(const std::wstring& path, const std::string& data) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    ::CloseHandle(h);
    return written == data.size();
}

// The file's bytes; "<missing>" or "<directory>" for what is no file.
std::string Read(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return "<missing>";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "<directory>";
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<unreadable>";
    std::string data(::GetFileSize(h, nullptr), '\0');
    DWORD read = 0;
    if (!data.empty()) ::ReadFile(h, &data[0], static_cast<DWORD>(data.size()), &read, nullptr);
    ::CloseHandle(h);
    data.resize(read);
    return data;
}

void Remove(const std::wstring& path) {
    if (!::DeleteFileW(path.c_str())) ::RemoveDirectoryW(path.c_str());
}

int g_grants = 0;
DWORD g_grantError = ERROR_SUCCESS;  // what the watched grant fails with; success: it succeeds
bool CountGrant(HANDLE) {
    ++g_grants;
    ::SetLastError(g_grantError);
    return g_grantError == ERROR_SUCCESS;
}

// The access list the log's directory shows (text form), and the directories it was asked for.
const wchar_t* g_directoryList = nullptr;
std::vector<std::wstring> g_directoriesJudged;

// Where every local user may create files (as the Windows temp directory lets them), and where
// they may not (as System32: read and run).
const wchar_t kUsersCreateFiles[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100026;;;BU)";
const wchar_t kUsersReadOnly[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

bool FeedDirectoryList(HANDLE directory, std::vector<BYTE>& descriptor) {
    wchar_t path[MAX_PATH + 8] = {};
    const DWORD n = ::GetFinalPathNameByHandleW(directory, path, MAX_PATH + 8, FILE_NAME_NORMALIZED);
    g_directoriesJudged.push_back(n > 0 && n < MAX_PATH + 8 ? std::wstring(path, n) : L"<unnamed>");
    PSECURITY_DESCRIPTOR made = nullptr;
    ULONG size = 0;
    if (!g_directoryList ||
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW(g_directoryList, SDDL_REVISION_1, &made, &size))
        return false;
    descriptor.assign(static_cast<BYTE*>(made), static_cast<BYTE*>(made) + size);
    ::LocalFree(made);
    return true;
}

// A directory path as GetFinalPathNameByHandleW gives it, for comparison: lower case, without
// the "\\?\" in front and without a trailing backslash.
std::wstring Comparable(std::wstring path) {
    if (path.compare(0, 4, L"\\\\?\\") == 0) path.erase(0, 4);
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    for (wchar_t& c : path) c = static_cast<wchar_t>(::towlower(c));
    return path;
}

const wchar_t kSettingsKey[] = L"Software\\KestrelVAULT";

// One InitTraceLog of this process with the mode and path given in the registry, one line
// logged, and then the process's log and stdout as they were.
class LocationRun {
public:
    // directoryList: the access list the log's directory shows, for a log to be created.
    LocationRun(int mode, const std::wstring& path, const wchar_t* directoryList = kUsersCreateFiles)
        : m_saved(TraceLog) {
        m_mode = TraceModuleName() + L".log";
        m_path = TraceModuleName() + L".log.path";
        const DWORD value = static_cast<DWORD>(mode);
        ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, m_mode.c_str(), REG_DWORD, &value, sizeof(value));
        ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, m_path.c_str(), REG_SZ, path.c_str(),
                          static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        std::fflush(stdout);
        m_stdout = ::_dup(::_fileno(stdout));
        g_grants = 0;
        g_directoryList = directoryList;
        g_directoriesJudged.clear();
        m_grant = SetLogFileGrantForTesting(&CountGrant);
        m_directory = SetLogDirectorySecurityForTesting(&FeedDirectoryList);
        InitTraceLog();
        modeAfterStart = TraceLog.mode;
        { FuncTrace trace(kScope); }
    }
    ~LocationRun() {
        CloseTraceOutput();
        std::fflush(stdout);
        if (::_wfreopen(L"NUL", L"w", stdout)) ::_dup2(m_stdout, ::_fileno(stdout));
        ::_close(m_stdout);
        SetLogFileGrantForTesting(m_grant);
        SetLogDirectorySecurityForTesting(m_directory);
        g_grantError = ERROR_SUCCESS;
        TraceLog = m_saved;
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            ::RegDeleteValueW(key, m_mode.c_str());
            ::RegDeleteValueW(key, m_path.c_str());
            ::RegCloseKey(key);
        }
    }
    LocationRun(const LocationRun&) = delete;
    LocationRun& operator=(const LocationRun&) = delete;

    int modeAfterStart = -1;

private:
    LogDirectorySecurity m_directory = nullptr;
    TraceLogState m_saved;
    std::wstring m_mode, m_path;
    int m_stdout = -1;
    LogFileGrant m_grant = nullptr;
};

// What a run must leave at the path.
enum class After {
    Untouched,   // exactly the fixture
    OurLines,    // our lines only (emptied or created)
    Appended,    // the fixture followed by our lines
};

struct Fixture {
    const char* what;
    // Makes the fixture at path; false when the platform cannot make it.
    bool (*make)(const std::wstring& path);
    // What a run in modes 0 and 1, then 2, then 3 leaves, and whether the grant ran.
    After after[4];
    bool granted[4];
};

bool MakeForeign(const std::wstring& p) { return Write(p, std::string(kForeign, sizeof(kForeign) - 1)); }
bool MakeEmpty(const std::wstring& p) { return Write(p, ""); }
bool MakeEarlierLog(const std::wstring& p) { return Write(p, kEarlierRun); }
bool MakeMissing(const std::wstring&) { return true; }
bool MakeDirectory(const std::wstring& p) { return ::CreateDirectoryW(p.c_str(), nullptr) != FALSE; }
// A log of ours by its content, with a second name elsewhere: the second name could be a system
// file's.
bool MakeTwoLinks(const std::wstring& p) {
    return Write(p + L".other", kEarlierRun) && ::CreateHardLinkW(p.c_str(), (p + L".other").c_str(), nullptr);
}

const Fixture kFixtures[] = {
    {"another program's file", MakeForeign,
     {After::Untouched, After::Untouched, After::Untouched, After::Untouched}, {false, false, false, false}},
    {"a directory", MakeDirectory,
     {After::Untouched, After::Untouched, After::Untouched, After::Untouched}, {false, false, false, false}},
    {"a log of ours with two hard links", MakeTwoLinks,
     {After::Untouched, After::Untouched, After::Untouched, After::Untouched}, {false, false, false, false}},
    {"an empty file", MakeEmpty,
     {After::Untouched, After::Untouched, After::OurLines, After::Appended}, {true, true, true, true}},
    {"an earlier log of ours", MakeEarlierLog,
     {After::Untouched, After::Untouched, After::OurLines, After::Appended}, {true, true, true, true}},
    // Made by this run: nothing is added to what its directory hands down.
    {"nothing", MakeMissing,
     {After::Untouched, After::Untouched, After::OurLines, After::OurLines}, {false, false, false, false}},
};

// Whether data is nothing but whole lines of this scope's entry and exit.
bool OnlyOurLines(const std::string& data) {
    if (data.empty()) return false;
    size_t start = 0;
    while (start < data.size()) {
        const size_t end = data.find("\r\n", start);
        if (end == std::string::npos) return false;
        const std::string line = data.substr(start, end - start);
        if (!BeginsWithLogHeader(line.data(), line.size()) || line.find(kScope) == std::string::npos) return false;
        start = end + 2;
    }
    return true;
}

TEST(TraceLogLocation, OnlyALogOfOursIsWrittenOrGranted) {
    const std::wstring path = TempDir() + L"kv_location_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    for (const Fixture& f : kFixtures) {
        for (int mode = 0; mode <= 3; ++mode) {
            SCOPED_TRACE(testing::Message() << f.what << ", mode " << mode);
            Remove(path);
            Remove(path + L".other");
            ASSERT_TRUE(f.make(path)) << "fixture not made";
            const std::string before = Read(path);
            const std::string otherBefore = Read(path + L".other");
            { LocationRun run(mode, path); }

            const std::string after = Read(path);
            switch (f.after[mode]) {
            case After::Untouched:
                EXPECT_EQ(after, before);
                break;
            case After::OurLines:
                EXPECT_TRUE(OnlyOurLines(after)) << after;
                break;
            case After::Appended:
                ASSERT_EQ(after.compare(0, before.size(), before), 0) << after;
                EXPECT_TRUE(OnlyOurLines(after.substr(before.size()))) << after;
                break;
            }
            EXPECT_EQ(Read(path + L".other"), otherBefore) << "the second name's file is left alone";
            EXPECT_EQ(g_grants, f.granted[mode] ? 1 : 0);
        }
    }
    Remove(path);
    Remove(path + L".other");
}

TEST(TraceLogLocation, AMissingLogIsMadeOnlyWhereEveryUserMayCreateFiles) {
    // The user's registry value can name a place such as System32: an elevated run must not be
    // the one that makes a file there. A log an earlier run left is still written and granted.
    const std::wstring path = TempDir() + L"kv_refused_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    struct Case {
        const char* what;
        const wchar_t* directoryList;
        bool (*make)(const std::wstring& path);
        After after;  // in modes 2 and 3; "Untouched" for nothing there means still nothing
        bool granted;
        bool logs;    // whether the run logs to a file at all
    } const cases[] = {
        {"nothing there, users may only read the directory", kUsersReadOnly, MakeMissing, After::Untouched, false,
         false},
        {"nothing there, the directory's list cannot be read", nullptr, MakeMissing, After::Untouched, false, false},
        {"nothing there, users may create files", kUsersCreateFiles, MakeMissing, After::OurLines, false, true},
        {"an earlier log, users may only read the directory", kUsersReadOnly, MakeEarlierLog, After::Appended, true,
         true},
    };
    for (const Case& c : cases) {
        for (int mode = 2; mode <= 3; ++mode) {
            SCOPED_TRACE(testing::Message() << c.what << ", mode " << mode);
            Remove(path);
            ASSERT_TRUE(c.make(path));
            const std::string before = Read(path);
            int modeAfterStart = -1;
            {
                LocationRun run(mode, path, c.directoryList);
                modeAfterStart = run.modeAfterStart;
            }
            const std::string after = Read(path);
            if (c.after == After::Untouched) {
                EXPECT_EQ(after, before);
            } else if (c.after == After::OurLines) {
                EXPECT_TRUE(OnlyOurLines(after)) << after;
            } else if (mode == 2) {
                EXPECT_TRUE(OnlyOurLines(after)) << after;
            } else {
                ASSERT_EQ(after.compare(0, before.size(), before), 0) << after;
                EXPECT_TRUE(OnlyOurLines(after.substr(before.size()))) << after;
            }
            EXPECT_EQ(g_grants, c.granted ? 1 : 0);
            EXPECT_EQ(modeAfterStart, c.logs ? mode : static_cast<int>(TraceOff));
            if (c.make == MakeMissing) {
                // The directory judged is the one the file goes into, through its own handle.
                ASSERT_FALSE(g_directoriesJudged.empty());
                EXPECT_EQ(Comparable(g_directoriesJudged.front()), Comparable(TempDir()));
            } else {
                EXPECT_TRUE(g_directoriesJudged.empty()) << "a file that is there needs no judging";
            }
        }
    }
    Remove(path);
}

TEST(TraceLogLocation, AFailedGrantIsLoggedInTheLog) {
    const std::wstring path = TempDir() + L"kv_grantfail_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    for (int mode = 2; mode <= 3; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        Remove(path);
        ASSERT_TRUE(MakeEarlierLog(path));
        g_grantError = ERROR_ACCESS_DENIED;
        { LocationRun run(mode, path); }
        EXPECT_EQ(g_grants, 1);
        const std::string after = Read(path);
        EXPECT_NE(after.find("]InitTraceLog() <<<"), std::string::npos) << after;
        EXPECT_NE(after.find("]:    Log file grant fail___(err: 5)\r\n"), std::string::npos) << after;
        EXPECT_NE(after.find(kScope), std::string::npos) << "the run goes on logging";
    }
    Remove(path);
}

TEST(TraceLogLocation, AppendModeStopsWritingAFileSwappedInDuringTheRun) {
    // The check holds for every line: a foreign file put at the path after start-up gets nothing.
    const std::wstring path = TempDir() + L"kv_swap_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    Remove(path);
    {
        LocationRun run(3, path);
        EXPECT_TRUE(OnlyOurLines(Read(path)));
        ASSERT_TRUE(MakeForeign(path));
        FuncTrace trace(kScope);
        trace.Log("must not land");
    }
    EXPECT_EQ(Read(path), std::string(kForeign, sizeof(kForeign) - 1));
    Remove(path);
}

TEST(TraceLogLocation, HeaderShapes) {
    struct Case {
        const char* text;
        bool header;
    } const cases[] = {
        {"[2026-12-10 13:31:52.123][KestrelVault_Setup.exe(1234), T:5678]x", true},
        {"[2026-12-10 13:31:52.123][name (with) parens.exe(1), T:2]", true},
        {"[2026-12-10 13:31:52.123][(1), T:2]", true},  // a run whose name could not be had
        {"[2026-12-10 13:31:52.123][a.exe(x), T:2]", false},
        {"[2026-12-10 13:31:52.123][a.exe(1), T:]", false},
        {"[2026-12-10 13:31:52][a.exe(1), T:2]", false},
        {"[2026-12-10 13:31:52.123][a.exe(1)\r\n, T:2]", false},  // the header ends with its line
        {"MZ", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(BeginsWithLogHeader(c.text, std::string(c.text).size()), c.header) << c.text;
}

}  // namespace
