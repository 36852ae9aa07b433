// The parts of the transfer that need no server: server addresses, the temp directory, how a
// Content-Length text becomes a size, and the failures decided before any request.

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "../support/TraceCapture.h"
#include "framework/inet.h"
#include "framework/paths.h"
#include "install/Transfer.h"

namespace {

TEST(Transfer, ServerAddressesTakeUpdateURLAsItStands) {
    struct Case {
        const wchar_t* format;
        int useHttps;
        const wchar_t* updateURL;
        const wchar_t* expected;
    } cases[] = {
        // the three items
        {kActiveXAddressFormat, 1, L"kv.example.com", L"https://kv.example.com/app/KestrelVAULT ActiveX 7i_ko.exe"},
        {kSiteDescriptorAddressFormat, 0, L"kv.example.com", L"http://kv.example.com/app/update/kestrelvault_server.exe"},
        {kUpdaterAddressFormat, 1, L"kv.example.com", L"https://kv.example.com/app/update/KVUpdate.exe"},
        // only 1 selects https
        {kUpdaterAddressFormat, 2, L"h", L"http://h/app/update/KVUpdate.exe"},
        {kUpdaterAddressFormat, -1, L"h", L"http://h/app/update/KVUpdate.exe"},
        // a port and a path stay; a trailing slash gives a double slash
        {kUpdaterAddressFormat, 0, L"127.0.0.1:8080", L"http://127.0.0.1:8080/app/update/KVUpdate.exe"},
        {kUpdaterAddressFormat, 1, L"h:444/kv/", L"https://h:444/kv//app/update/KVUpdate.exe"},
        // nothing is escaped or trimmed
        {kUpdaterAddressFormat, 0, L" h %s", L"http:// h %s/app/update/KVUpdate.exe"},
        // a typed scheme is not recognised
        {kUpdaterAddressFormat, 0, L"https://h", L"http://https://h/app/update/KVUpdate.exe"},
        {kUpdaterAddressFormat, 0, L"", L"http:///app/update/KVUpdate.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.useHttps << " " << std::string(c.expected, c.expected + wcslen(c.expected)));
        EXPECT_EQ(FormatServerAddress(c.format, c.useHttps, c.updateURL), c.expected);
    }
    EXPECT_EQ(SchemePrefix(1), L"https://");
    EXPECT_EQ(SchemePrefix(0), L"http://");
}

TEST(Transfer, TempDirectoryIsTheTempPathWithoutTrailingBackslashes) {
    wchar_t raw[MAX_PATH] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, raw), 0u);
    const std::wstring dir = GetTempDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), L'\\');
    EXPECT_EQ(std::wstring(raw).find(dir), 0u);
    EXPECT_EQ(std::wstring(raw).substr(dir.size()).find_first_not_of(L'\\'), std::wstring::npos);

    // Several trailing backslashes all go.
    wchar_t old[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TMP", old, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", (dir + L"\\\\\\").c_str());
    const std::wstring again = GetTempDirectory();
    SetEnvironmentVariableW(L"TMP", old[0] ? old : nullptr);
    EXPECT_EQ(again, dir);
}

TEST(Transfer, ContentLengthIsReadLikeTheRuntimesConversion) {
    struct Case {
        const wchar_t* text;
        int size;
    } cases[] = {
        {L"0", 0},
        {L"12345", 12345},
        {L"abc", 0},                      // no digits
        {L"12abc", 12},                   // digits up to the first other character
        {L"", 0},
        {L"  \t42", 42},                  // leading white space
        {L"+7", 7},
        {L"-5", -5},                      // a sign is accepted, even if no server sends one
        {L"+-3", 0},
        {L"4 2", 4},
        {L"0x10", 0},
        {L"2147483647", INT_MAX},
        {L"2147483648", INT_MAX},         // beyond the 32-bit range: saturated
        {L"4294967297", INT_MAX},
        {L"99999999999999999999", INT_MAX},
        {L"-2147483648", INT_MIN},
        {L"-2147483649", INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << std::string(c.text, c.text + wcslen(c.text)) << '"');
        EXPECT_EQ(ContentLengthToSize(c.text), c.size);
        EXPECT_EQ(ContentLengthToSize(c.text), _wtoi(c.text));  // the runtime's own reading
    }
}

TEST(Transfer, ContentRangeTotalIsTheTextAfterItsLastSlash) {
    struct Case {
        const wchar_t* text;
        bool has;
        int size;
    } cases[] = {
        {L"bytes 0-0/12345", true, 12345},
        {L"bytes */0", true, 0},                    // 416 for an empty file
        {L"bytes 0-0/1", true, 1},
        {L"bytes 0-0/99999999999", true, INT_MAX},  // read as a Content-Length is: saturated
        {L"bytes 0-0/ 77", true, 77},
        {L"bytes 0-0/12abc", true, 12},
        {L"bytes 0-0/abc", true, 0},
        {L"bytes 0-0/*", false, 0},                 // the server does not know the total
        {L"bytes */*", false, 0},
        {L"bytes 0-0/ *", false, 0},
        {L"bytes 0-0/", false, 0},
        {L"bytes 0-0", false, 0},
        {L"", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << std::string(c.text, c.text + wcslen(c.text)) << '"');
        int size = -12345;
        EXPECT_EQ(ContentRangeTotal(c.text, size), c.has);
        EXPECT_EQ(size, c.has ? c.size : -12345);
    }
}

// A header's value is the server's text and goes into a log line of the log's code page: it
// stays one line of plain characters, and bounded.
TEST(Transfer, HeaderTextAsTheLogShowsIt) {
    const std::wstring at64(64, L'7');
    struct Case {
        std::wstring text;
        std::wstring logged;
    } const cases[] = {
        {L"120", L"120"},
        {L"Wed, 21 Oct 2026 07:28:00 GMT", L"Wed, 21 Oct 2026 07:28:00 GMT"},
        {L"", L""},
        {L"12\r\nExitCode: 0", L"12??ExitCode: 0"},
        {L"\t5\x7F", L"?5?"},
        {L"\u00E9t\uCF00\xFF", L"?t??"},
        {at64, at64},
        {at64 + L"8", at64 + L"..."},
        {std::wstring(5000, L'\x01'), std::wstring(64, L'?') + L"..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.text.size() << " characters");
        EXPECT_EQ(LoggableHeaderText(c.text), c.logged);
    }
}

TEST(Transfer, FailuresDecidedBeforeAnyRequest) {
    const std::string size = "KVDownloadDlg::GetWebFileSize", https = "KVDownloadDlg::URLDownloadToFileOnHttps";
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        int nullSize = 0, emptySize = 0;
        const auto log = CaptureTrace([&] {
            nullSize = GetWebFileSize(nullptr, useHttps);
            emptySize = GetWebFileSize(L"", useHttps);
        });
        EXPECT_EQ(nullSize, -1);
        EXPECT_EQ(emptySize, -1);
        EXPECT_EQ(log, (std::vector<std::string>{"> " + size, "FileURL is NULL___", "< " + size, "> " + size,
                                                 "FileURL is empty___", "< " + size}));
    }
    // Empty or missing arguments are refused without a log line.
    struct Case {
        const wchar_t* address;
        const wchar_t* target;
    } cases[] = {{L"", L"C:\\x"}, {L"https://127.0.0.1/x", L""}, {nullptr, L"C:\\x"}, {L"https://127.0.0.1/x", nullptr}};
    for (const Case& c : cases) {
        HRESULT hr = S_OK;
        const auto log = CaptureTrace([&] { hr = URLDownloadToFileOnHttps(c.address, c.target, nullptr); });
        EXPECT_EQ(hr, E_INVALIDARG);
        EXPECT_EQ(log, (std::vector<std::string>{"> " + https, "< " + https}));
    }
}

TEST(Transfer, NoRootHandleGivesMinusOneAndANegativeResult) {
    // The target must stay untouched: nothing is opened without a session.
    wchar_t target[MAX_PATH] = {};
    GetTempFileNameW(GetTempDirectory().c_str(), L"kvt", 0, target);
    int size = 0;
    HRESULT hr = S_OK;
    CInternetSession::SetOpenFailureForTesting(ERROR_NOT_ENOUGH_MEMORY);
    const auto log = CaptureTrace([&] {
        size = GetWebFileSize(L"https://127.0.0.1:1/app/x", 1);
        hr = URLDownloadToFileOnHttps(L"https://127.0.0.1:1/app/x", target, nullptr);
    });
    CInternetSession::SetOpenFailureForTesting(0);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80000000u | ERROR_NOT_ENOUGH_MEMORY));
    const std::string line = "InternetOpen fail___(lastErr: " + std::to_string(ERROR_NOT_ENOUGH_MEMORY) + ")";
    EXPECT_EQ(log, (std::vector<std::string>{"> KVDownloadDlg::GetWebFileSize", line, "< KVDownloadDlg::GetWebFileSize",
                                             "> KVDownloadDlg::URLDownloadToFileOnHttps", line,
                                             "< KVDownloadDlg::URLDownloadToFileOnHttps"}));
    EXPECT_NE(GetFileAttributesW(target), INVALID_FILE_ATTRIBUTES);
    DeleteFileW(target);

    CInternetSession session;
    EXPECT_TRUE(session.IsOpen());
}

}  // namespace
