// The compatibility-layer value in the test prefix's own registry: written for this executable's
// path, whether the Layers key exists or not, and only on Windows 6.0 and later.
#include <gtest/gtest.h>

#include <windows.h>
#include <io.h>
#include <lm.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/KestrelVault_Setup.h"
#include "app/ModuleInfo.h"
#include "framework/OSVersion.h"
#include "tracelog/TraceLog.h"

namespace {

const wchar_t kLayersKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";

struct StoredValue {
    LONG status = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    DWORD bytes = 0;
    std::wstring text;
};

StoredValue ReadLayerValue() {
    StoredValue v;
    HKEY key = nullptr;
    v.status = ::RegOpenKeyExW(HKEY_CURRENT_USER, kLayersKey, 0, KEY_READ, &key);
    if (v.status != ERROR_SUCCESS) return v;
    wchar_t data[64] = {};
    v.bytes = sizeof(data) - sizeof(wchar_t);
    v.status = ::RegQueryValueExW(key, GetModulePath().c_str(), nullptr, &v.type, reinterpret_cast<BYTE*>(data), &v.bytes);
    ::RegCloseKey(key);
    v.text = data;
    return v;
}

void DeleteLayerValue() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kLayersKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        ::RegDeleteValueW(key, GetModulePath().c_str());
        ::RegCloseKey(key);
    }
}

// The trace log switched on into a file of its own for the span of a test; Stop gives the text
// of each line after its header. The process's stdout, where the test framework reports, is put
// back afterwards.
class LogCapture {
public:
    LogCapture() {
        saved_ = TraceLog;
        std::fflush(stdout);
        savedStdout_ = ::_dup(::_fileno(stdout));
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"kv_regcompat_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
        // Made empty here: the program creates a log only where every local user may create
        // files, which the temp directory is not.
        ::CloseHandle(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        TraceLog.mode = TraceFile;
        TraceLog.logPath = path_;
        TraceLog.processName = GetModuleName();
        TraceLog.output = nullptr;
        opened_ = OpenTraceOutput();
    }

    ~LogCapture() { Restore(); }

    std::vector<std::string> Stop() {
        EXPECT_TRUE(opened_) << "log file could not be opened";
        Restore();
        std::ifstream in(path_.c_str(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        ::DeleteFileW(path_.c_str());
        std::vector<std::string> lines;
        for (size_t start = 0; start < bytes.size();) {
            size_t end = bytes.find("\r\n", start);
            if (end == std::string::npos) end = bytes.size();
            const std::string line = bytes.substr(start, end - start);
            // The header ends with the second closing bracket.
            const size_t header = line.find(']', line.find(']') + 1);
            lines.push_back(header == std::string::npos ? line : line.substr(header + 1));
            start = end + 2;
        }
        return lines;
    }

private:
    void Restore() {
        if (restored_) return;
        restored_ = true;
        CloseTraceOutput();
        std::fflush(stdout);
        if (savedStdout_ >= 0) {
            if (::_wfreopen(L"NUL", L"w", stdout)) ::_dup2(savedStdout_, ::_fileno(stdout));
            ::_close(savedStdout_);
        }
        TraceLog = saved_;
    }

    TraceLogState saved_;
    int savedStdout_ = -1;
    std::wstring path_;
    bool opened_ = false;
    bool restored_ = false;
};

const std::string kScope = "CKestrelVault_SetupApp::WriteRegcompatibility";
const std::string kEntry = kScope + "() " + std::string(43, '<');
const std::string kExit = kScope + "() " + std::string(43, '>');

class RegCompatTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteLayerValue(); }
    void TearDown() override {
        DeleteLayerValue();
        SetOSVersionQueriesForTesting(nullptr);
    }
};

void ExpectLayerWritten(const char* why) {
    const StoredValue v = ReadLayerValue();
    ASSERT_EQ(v.status, ERROR_SUCCESS) << why;
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ)) << why;
    EXPECT_EQ(v.bytes, 18u) << why << ": \"WINXPSP2\" with its NUL";
    EXPECT_EQ(v.text, L"WINXPSP2") << why;
}

TEST_F(RegCompatTest, CreatesTheMissingKey) {
    // The prefix belongs to the tests; the key is made again by the code under test.
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kLayersKey);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kLayersKey);
    LogCapture log;
    EXPECT_TRUE(KVApp().WriteRegcompatibility());
    const std::vector<std::string> expected = {
        kEntry,
        ":    regKey.Open fail_(funcRet: 0x2)",  // the system's file-not-found code
        ":    regKey.Create success.",
        kExit,
    };
    EXPECT_EQ(log.Stop(), expected);
    ExpectLayerWritten("missing key");
}

TEST_F(RegCompatTest, ReplacesWhateverTheValueHeld) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kLayersKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD seven = 7;
    ::RegSetValueExW(key, GetModulePath().c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), sizeof(seven));
    ::RegCloseKey(key);

    LogCapture log;
    EXPECT_TRUE(KVApp().WriteRegcompatibility());
    EXPECT_EQ(log.Stop(), (std::vector<std::string>{kEntry, kExit})) << "an existing key logs no message";
    ExpectLayerWritten("existing key, a DWORD of the same name");
    EXPECT_TRUE(KVApp().WriteRegcompatibility());
    ExpectLayerWritten("written again, unchanged");
}

// Start-up's version step through the probe's seam: the workstation query answers the version.
TEST_F(RegCompatTest, WrittenOnlyFromWindows6On) {
    struct Case {
        NET_API_STATUS status;
        DWORD major, minor;
        bool written;
        const char* why;
    } cases[] = {
        {NERR_Success, 5, 1, false, "Windows XP: no value"},
        {NERR_Success, 5, 2, false, "5.2: no value"},
        {NERR_Success, 6, 0, true, "6.0: written"},
        {NERR_Success, 10, 0, true, "10.0: written"},
        {NERR_WkstaNotStarted, 0, 0, false, "no version found: no value"},
    };
    for (const Case& c : cases) {
        DeleteLayerValue();
        OSVersionQueries q;
        q.workstation = [&c](WKSTA_INFO_100& info) {
            info.wki100_ver_major = c.major;
            info.wki100_ver_minor = c.minor;
            return c.status;
        };
        q.kernel = [](RTL_OSVERSIONINFOW&) -> BOOL { return FALSE; };
        q.compatibility = [](OSVERSIONINFOEXW&) -> BOOL { return FALSE; };
        q.verify = [](OSVERSIONINFOEXW&, DWORD, DWORDLONG) -> BOOL { return FALSE; };
        SetOSVersionQueriesForTesting(&q);

        KVApp().ApplyCompatibilityLayer();
        if (c.written) {
            ExpectLayerWritten(c.why);
        } else {
            EXPECT_EQ(ReadLayerValue().status, ERROR_FILE_NOT_FOUND) << c.why;
        }
    }
}

}  // namespace
