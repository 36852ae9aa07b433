// File transfers against the real test servers (nginx for http and https, the scripted server
// for the answers nginx does not give), in-process under Wine. run_with_servers.py starts
// them and passes their addresses in KV_<KIND>_HOST and the server tree in KV_WWW.
//
// Transfers run on a worker thread while this thread owns the progress bar and pumps its
// messages, as the download page's worker and window thread do.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../support/ProgressBar.h"
#include "../support/RunOnWorker.h"
#include "../support/StepRecorder.h"
#include "../support/TraceCapture.h"
#include "framework/inet.h"
#include "framework/paths.h"
#include "install/StallLimit.h"
#include "install/Transfer.h"
#include "install/URLDownCallBack.h"
#include "NetServers.h"

namespace {

using nettest::Host;
using nettest::ReadWholeFile;
using nettest::Widen;
using nettest::Www;

// -- servers ------------------------------------------------------------------------------

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += static_cast<char>(c < 128 ? c : '?');
    return out;
}

std::wstring HttpHost() { return Host("KV_HTTP_HOST"); }
std::wstring HttpsHost() { return Host("KV_HTTPS_HOST"); }
std::wstring ScriptHost() { return Host("KV_SCRIPT_HOST"); }
std::wstring ScriptHttpsHost() { return Host("KV_SCRIPT_HTTPS_HOST"); }


std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<char>(x >> 16);
    }
    return data;
}

bool WriteWholeFile(const std::wstring& path, const std::string& data) {
    for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1))
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == data.size();
}


// Puts data at /app/<rel> of the server tree; returns the path below the server root.
std::wstring Publish(const std::wstring& rel, const std::string& data) {
    std::wstring winRel = rel;
    for (wchar_t& c : winRel)
        if (c == L'/') c = L'\\';
    EXPECT_TRUE(WriteWholeFile(Www() + L"\\app\\" + winRel, data));
    return L"/app/" + rel;
}

// A fresh local target in the temp directory, not existing yet.
std::wstring LocalTarget(const wchar_t* name) {
    const std::wstring path = GetTempDirectory() + L"\\kvnet_" + name;
    DeleteFileW(path.c_str());
    return path;
}

// A control request to the scripted server ("requests", "reset", "release/NAME"); its answer.
std::string ScriptControl(const std::wstring& what) {
    CInternetSession session(L"kv-test-control");
    std::string text;
    try {
        auto file = session.OpenURL((L"http://" + ScriptHost() + L"/_kv/" + what).c_str(), 1,
                                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE);
        char buf[4096];
        while (UINT n = file->Read(buf, sizeof(buf))) text.append(buf, n);
    } catch (const CInternetException& e) {
        ADD_FAILURE() << "scripted server control " << Narrow(what) << ": " << e.m_dwError;
    }
    return text;
}
// What the scripted server received since the last reset, as its JSON text.
std::string ScriptRequests() { return ScriptControl(L"requests"); }

// The steps' reporter with a progress bar that is a real control of this thread.
struct PageWithBar {
    explicit PageWithBar(int https) : useHttps(https), page(bar.Hwnd()) {}
    const int useHttps;
    TestProgressBar bar;
    StepRecorder page;
};

// Records every OnProgress call of the https download.
class RecordingCallback : public URLDownCallBack {
public:
    struct Call {
        ULONG progress, maximum, status;
        bool operator==(const Call& o) const {
            return progress == o.progress && maximum == o.maximum && status == o.status;
        }
    };
    RecordingCallback() : URLDownCallBack(nullptr, nullptr, 0) {}
    STDMETHODIMP OnProgress(ULONG progress, ULONG maximum, ULONG status, LPCWSTR text) override {
        if (calls.empty() && onFirstCall) onFirstCall();
        calls.push_back({progress, maximum, status});
        texts.push_back(text ? text : L"<null>");
        return URLDownCallBack::OnProgress(progress, maximum, status, text);
    }
    std::vector<Call> calls;
    std::vector<std::wstring> texts;
    std::function<void()> onFirstCall;
};

bool IsWinInetFailure(HRESULT hr) {
    return (static_cast<DWORD>(hr) & 0xFFFF0000u) == 0x80000000u &&
           (hr & 0xFFFF) >= INTERNET_ERROR_BASE && (hr & 0xFFFF) <= INTERNET_ERROR_LAST;
}

const char kSizeScope[] = "KVDownloadDlg::GetWebFileSize";
const char kHttpsScope[] = "KVDownloadDlg::URLDownloadToFileOnHttps";
const char kHttpScope[] = "KVDownloadDlg::URLDownloadToFile";

// The message lines of one scope's run, checking that the log holds exactly that run.
std::vector<std::string> ScopeMessages(const std::vector<std::string>& log, const std::string& scope) {
    EXPECT_GE(log.size(), 2u);
    if (log.size() < 2) return {};
    EXPECT_EQ(log.front(), "> " + scope);
    EXPECT_EQ(log.back(), "< " + scope);
    return std::vector<std::string>(log.begin() + 1, log.end() - 1);
}

// "Exception: N" for any WinINet error N: the code the platform picks for a refused
// certificate is the platform's business.
bool IsWinInetExceptionLine(const std::string& line) {
    const std::string prefix = "Exception: ";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    const long code = std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST &&
           line == prefix + std::to_string(code);
}
const char kAnyException[] = "Exception: <WinINet error>";

// messages with its last line replaced by kAnyException where expected asks for any WinINet
// error there and the line is one.
std::vector<std::string> WithAnyException(std::vector<std::string> messages, const std::vector<std::string>& expected) {
    if (!expected.empty() && expected.back() == kAnyException && !messages.empty() &&
        IsWinInetExceptionLine(messages.back()))
        messages.back() = kAnyException;
    return messages;
}

// -- the size query -----------------------------------------------------------------------

TEST(GetWebFileSize, AnnouncedSizesAndFailures) {
    const std::wstring file = Publish(L"size/12345.bin", Pattern(12345, 1));
    const std::wstring empty = Publish(L"size/empty.bin", "");
    const std::string noHeader = "HttpFile QueryInfo fail___(LaseErr:" + std::to_string(ERROR_HTTP_HEADER_NOT_FOUND) + ")";
    struct Case {
        const char* what;
        std::wstring address;
        int useHttps;
        int expected;
        std::vector<std::string> log;  // the scope's message lines
    } cases[] = {
        {"http", L"http://" + HttpHost() + file, 0, 12345, {"openFlag: 0x4000001", "ServerFileSize: 12345"}},
        {"UseHttps 2 is http", L"http://" + HttpHost() + file, 2, 12345, {"openFlag: 0x4000001", "ServerFileSize: 12345"}},
        {"https, certificate for another host", L"https://" + HttpsHost() + file, 1, 12345,
         {"openFlag: 0x4001001", "ServerFileSize: 12345"}},
        {"empty file", L"https://" + HttpsHost() + empty, 1, 0, {"openFlag: 0x4001001", "ServerFileSize: 0"}},
        {"no Content-Length (chunked)", L"http://" + ScriptHost() + L"/_chunked" + file, 0, -1,
         {"openFlag: 0x4000001", noHeader}},
        {"no Content-Length over https", L"https://" + ScriptHttpsHost() + L"/_chunked" + file, 1, -1,
         {"openFlag: 0x4001001", noHeader}},
        {"Content-Length of letters", L"http://" + ScriptHost() + L"/_cl=abc" + file, 0, 0,
         {"openFlag: 0x4000001", "ServerFileSize: 0"}},
        {"Content-Length of digits and letters", L"http://" + ScriptHost() + L"/_cl=12abc" + file, 0, 12,
         {"openFlag: 0x4000001", "ServerFileSize: 12"}},
        {"Content-Length beyond 32 bits", L"http://" + ScriptHost() + L"/_cl=99999999999" + file, 0, INT_MAX,
         {"openFlag: 0x4000001", "ServerFileSize: 2147483647"}},
        // An answer whose status does not carry the file announces no size, whatever its
        // Content-Length or Content-Range says (a proxy's 407 page, a 503 page, a 204).
        {"an error page is no size", L"http://" + ScriptHost() + L"/_status=500" + file, 0, -1,
         {"openFlag: 0x4000001", "HTTP status 500"}},
        {"a range answered with an error status", L"http://" + ScriptHost() + L"/_status=403/_range" + file, 0, -1,
         {"openFlag: 0x4000001", "HTTP status 403"}},
        {"a proxy asking for credentials", L"https://" + ScriptHttpsHost() + L"/_status=407" + file, 1, -1,
         {"openFlag: 0x4001001", "HTTP status 407", "Proxy asks for credentials (407)"}},
        {"a loaded server's Retry-After", L"http://" + ScriptHost() + L"/_status=503/_retryafter=20" + file, 0, -1,
         {"openFlag: 0x4000001", "HTTP status 503, Retry-After: 20"}},
        {"a Retry-After date over https", L"https://" + ScriptHttpsHost() +
             L"/_status=503/_retryafter=Wed,%2021%20Oct%202026%2007:28:00%20GMT" + file, 1, -1,
         {"openFlag: 0x4001001", "HTTP status 503, Retry-After: Wed, 21 Oct 2026 07:28:00 GMT"}},
        {"no content (204)", L"http://" + ScriptHost() + L"/_status=204/_empty" + file, 0, -1,
         {"openFlag: 0x4000001", "HTTP status 204"}},
        {"a success status other than 200 (203)", L"http://" + ScriptHost() + L"/_status=203" + file, 0, -1,
         {"openFlag: 0x4000001", "HTTP status 203"}},
        {"untrusted issuer", L"https://" + Host("KV_HTTPS_UNTRUSTED_HOST") + file, 1, -1,
         {"openFlag: 0x4001001", kAnyException}},
        {"expired certificate", L"https://" + Host("KV_HTTPS_EXPIRED_HOST") + file, 1, -1,
         {"openFlag: 0x4001001", kAnyException}},
        {"certificate not yet valid", L"https://" + Host("KV_HTTPS_NOTYET_HOST") + file, 1, -1,
         {"openFlag: 0x4001001", kAnyException}},
        {"nothing listens", L"http://127.0.0.1:1" + file, 0, -1,
         {"openFlag: 0x4000001", "Exception: " + std::to_string(ERROR_INTERNET_CANNOT_CONNECT)}},
        {"https to a plain http server", L"https://" + HttpHost() + file, 1, -1, {"openFlag: 0x4001001", kAnyException}},
        // The first byte asked for ("Range: bytes=0-0"): the size is the total of the answer's
        // Content-Range; a server that ignores the range announces it by its Content-Length.
        {"range honoured (206)", L"http://" + ScriptHost() + L"/_range" + file, 0, 12345,
         {"openFlag: 0x4000001", "ServerFileSize: 12345"}},
        {"range honoured over https", L"https://" + ScriptHttpsHost() + L"/_range" + file, 1, 12345,
         {"openFlag: 0x4001001", "ServerFileSize: 12345"}},
        {"range ignored (200)", L"http://" + ScriptHost() + file, 0, 12345, {"openFlag: 0x4000001", "ServerFileSize: 12345"}},
        {"range of an empty file (416)", L"http://" + ScriptHost() + L"/_range" + empty, 0, 0,
         {"openFlag: 0x4000001", "ServerFileSize: 0"}},
        {"range answered without a total", L"http://" + ScriptHost() + L"/_range=unknown" + file, 0, -1,
         {"openFlag: 0x4000001", noHeader}},
        {"416 without a total", L"http://" + ScriptHost() + L"/_range=unknown" + empty, 0, -1,
         {"openFlag: 0x4000001", noHeader}},
        {"range answered without Content-Range", L"http://" + ScriptHost() + L"/_range=bare" + file, 0, -1,
         {"openFlag: 0x4000001", noHeader}},
        {"range answered, connection closed before its byte", L"http://" + ScriptHost() + L"/_range/_drop=0" + file, 0,
         12345, {"openFlag: 0x4000001", "ServerFileSize: 12345"}},
        {"range answered, connection closed early over https",
         L"https://" + ScriptHttpsHost() + L"/_range/_drop=0" + file, 1, 12345,
         {"openFlag: 0x4001001", "ServerFileSize: 12345"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int size = 0;
        const auto log = CaptureTrace([&] { size = GetWebFileSize(c.address.c_str(), c.useHttps); });
        EXPECT_EQ(size, c.expected);
        EXPECT_EQ(WithAnyException(ScopeMessages(log, kSizeScope), c.log), c.log);
    }
}

TEST(GetWebFileSize, SendsOneGetWithTheProgramsNameAndReadsNoBody) {
    const std::wstring file = Publish(L"size/agent.bin", Pattern(300000, 2));
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        ScriptControl(L"reset");
        // The server withholds the body until released: a query that read it would never end.
        const std::wstring host = useHttps == 1 ? ScriptHttpsHost() : ScriptHost();
        EXPECT_EQ(GetWebFileSize((SchemePrefix(useHttps) + host + L"/_holdbody=q" + file).c_str(), useHttps), 300000);
        ScriptControl(L"release/q");
        // One GET for the first byte only, and the agent is the executable's name without
        // extension.
        const std::string log = ScriptRequests();
        EXPECT_EQ(log.find("[{\"method\": \"GET\", \"path\": \"/_holdbody=q/app/size/agent.bin\", \"agent\": \"kv_net_tests\""),
                  0u) << log;
        EXPECT_NE(log.find("\"range\": \"bytes=0-0\"}]"), std::string::npos) << log;
        EXPECT_EQ(log.find("\"method\"", 1), log.rfind("\"method\"")) << log;
    }
}

bool InCache(const std::wstring& address) {
    DWORD size = 0;
    if (GetUrlCacheEntryInfoW(address.c_str(), nullptr, &size)) return true;
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

// The size query and our https download leave nothing in WinINet's cache (a copy of the
// body written there would cost a second write of the file), from a server that honours the
// range and from one that answers with the whole file.
TEST(FetchServerFile, NothingGoesIntoTheInternetCache) {
    const std::string data = Pattern(200000, 31);
    const std::wstring file = Publish(L"fetch/nocache.bin", data);
    for (const std::wstring& modes : {std::wstring(L""), std::wstring(L"/_range")}) {
        for (int useHttps : {0, 1}) {
            SCOPED_TRACE(testing::Message() << useHttps << Narrow(modes));
            const std::wstring address =
                SchemePrefix(useHttps) + (useHttps == 1 ? ScriptHttpsHost() : ScriptHost()) + modes + file;
            DeleteUrlCacheEntryW(address.c_str());
            EXPECT_EQ(GetWebFileSize(address.c_str(), useHttps), static_cast<int>(data.size()));
            EXPECT_FALSE(InCache(address));
            if (useHttps != 1) continue;
            const std::wstring target = LocalTarget(L"nocache.bin");
            EXPECT_EQ(URLDownloadToFileOnHttps(address.c_str(), target.c_str(), nullptr), S_OK);
            EXPECT_TRUE(ReadWholeFile(target) == data);
            EXPECT_FALSE(InCache(address));
            DeleteFileW(target.c_str());
        }
    }
}

// The user's internet cache where this prefix keeps it (CSIDL_INTERNET_CACHE; the user's own
// programs can write there): every file below it that is a copy of body or a part of one, that
// is whose bytes begin as body does.
std::vector<std::wstring> CacheCopiesOf(const std::string& body) {
    wchar_t root[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT, root))) {
        ADD_FAILURE() << "no internet cache folder";
        return {};
    }
    std::vector<std::wstring> copies, folders = {root};
    while (!folders.empty()) {
        const std::wstring folder = folders.back();
        folders.pop_back();
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) continue;
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                folders.push_back(path);
                continue;
            }
            // Shared every way: a copy still being written counts as well.
            HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE) continue;
            std::string head(4096, '\0');
            DWORD read = 0;
            ReadFile(h, &head[0], static_cast<DWORD>(head.size()), &read, nullptr);
            CloseHandle(h);
            head.resize(read);
            if (!head.empty() && body.compare(0, head.size(), head) == 0) copies.push_back(path);
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    return copies;
}

// The elevated program must never pass a file through a place the user's programs can write:
// no copy of the body, whole or in part, lies in the user's internet cache while the transfer
// runs or after it, and no cache entry names the address, over either scheme.
TEST(FetchServerFile, NoCopyOfTheFileInTheUsersInternetCache) {
    const std::string data = Pattern(3u << 20, 33);
    const std::wstring file = Publish(L"fetch/nocopy.bin", data);
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring address = SchemePrefix(useHttps) + (useHttps == 1 ? HttpsHost() : HttpHost()) + file;
        ASSERT_EQ(CacheCopiesOf(data), std::vector<std::wstring>{});
        const std::wstring target = LocalTarget(L"nocopy.bin");
        PageWithBar p(useHttps);
        RecordingCallback cb;
        std::vector<std::wstring> whileRunning;
        bool looked = false;
        cb.onFirstCall = [&] {
            whileRunning = CacheCopiesOf(data);
            looked = true;
        };
        HRESULT hr = E_FAIL;
        RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); });
        EXPECT_EQ(hr, S_OK) << std::hex << hr;
        EXPECT_TRUE(ReadWholeFile(target) == data);
        EXPECT_TRUE(looked);
        std::vector<std::wstring> after = CacheCopiesOf(data);
        EXPECT_EQ(whileRunning.size(), 0u) << Narrow(whileRunning.empty() ? L"" : whileRunning.front());
        EXPECT_EQ(after.size(), 0u) << Narrow(after.empty() ? L"" : after.front());
        EXPECT_FALSE(InCache(address));
        // Whatever an earlier run left there is no concern of the next case.
        for (const std::wstring& copy : after) DeleteFileW(copy.c_str());
        DeleteUrlCacheEntryW(address.c_str());
        DeleteFileW(target.c_str());
    }
}

// What a whole run costs the server: the size query takes the first byte, the transfer the
// file, once. The server's own count of the body bytes it sent, for a server that honours
// the range and for one that ignores it (which then sends the file for the size query too, but
// the query still reads none of it).
TEST(FetchServerFile, TheServerSendsEachBodyOnce) {
    const std::string data = Pattern(3000000, 30);
    const std::wstring file = Publish(L"fetch/once.bin", data);
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring address =
            SchemePrefix(useHttps) + (useHttps == 1 ? ScriptHttpsHost() : ScriptHost()) + L"/_range" + file;
        const std::wstring target = LocalTarget(L"once.bin");
        PageWithBar p(useHttps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        ScriptControl(L"reset");
        HRESULT hr = E_FAIL;
        RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); });
        EXPECT_EQ(hr, S_OK);
        EXPECT_TRUE(ReadWholeFile(target) == data);
        EXPECT_EQ(p.bar.Range().iHigh, static_cast<int>(data.size()));
        EXPECT_EQ(p.bar.Pos(), static_cast<int>(data.size()));
        // Two GETs: the size query's with the range and one body byte, the transfer's with the
        // whole file.
        const std::string log = ScriptRequests();
        const std::string path = "\"path\": \"" + Narrow(L"/_range" + file) + "\"";
        const size_t second = log.find("}, {\"method\": \"GET\", " + path);
        ASSERT_NE(second, std::string::npos) << log;
        EXPECT_EQ(log.find("[{\"method\": \"GET\", " + path), 0u) << log;
        EXPECT_EQ(log.find("\"sent\": 1, \"range\": \"bytes=0-0\"}, {"), second - std::string("\"sent\": 1, \"range\": \"bytes=0-0\"").size()) << log;
        const std::string whole = ", \"sent\": " + std::to_string(data.size()) + "}]";
        EXPECT_EQ(log.rfind(whole), log.size() - whole.size()) << log;
        EXPECT_EQ(log.rfind("\"method\""), second + 4) << log;
        DeleteFileW(target.c_str());
    }
}

// -- our https download -------------------------------------------------------------------

TEST(URLDownloadToFileOnHttps, WritesTheFileAndReportsEveryBlock) {
    // Sizes around the block size of 65535 and one of several megabytes.
    for (size_t size : {size_t(0), size_t(1), size_t(65535), size_t(65536), size_t(200001), size_t(5u << 20)}) {
        SCOPED_TRACE(size);
        const std::string data = Pattern(size, static_cast<unsigned>(size));
        const std::wstring path = Publish(L"https/" + std::to_wstring(size) + L".bin", data);
        const std::wstring target = LocalTarget(L"https.bin");
        RecordingCallback cb;
        HRESULT hr = E_FAIL;
        const auto log = CaptureTrace([&] {
            RunOnWorker([&] { hr = URLDownloadToFileOnHttps((L"https://" + HttpsHost() + path).c_str(), target.c_str(), &cb); });
        });
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(ScopeMessages(log, kHttpsScope), (std::vector<std::string>{"openFlag: 0x4001001", "Local file open success."}));
        EXPECT_TRUE(ReadWholeFile(target) == data);

        // Running totals with status 5 after each block of at most 65535 bytes, then the byte
        // count in the maximum with status 6: an empty file gets only (0, 0, 6).
        ASSERT_FALSE(cb.calls.empty());
        EXPECT_EQ(cb.calls.back(), (RecordingCallback::Call{0, static_cast<ULONG>(size), BINDSTATUS_ENDDOWNLOADDATA}));
        ULONG last = 0;
        for (size_t i = 0; i + 1 < cb.calls.size(); ++i) {
            EXPECT_EQ(cb.calls[i].status, static_cast<ULONG>(BINDSTATUS_DOWNLOADINGDATA));
            EXPECT_EQ(cb.calls[i].maximum, 0u);
            EXPECT_GT(cb.calls[i].progress, last);
            EXPECT_LE(cb.calls[i].progress - last, 65535u);
            last = cb.calls[i].progress;
        }
        EXPECT_EQ(last, static_cast<ULONG>(size));
        for (const std::wstring& t : cb.texts) EXPECT_EQ(t, L"");
        DeleteFileW(target.c_str());
    }
}

TEST(URLDownloadToFileOnHttps, EmptiesAnExistingTargetAndWorksWithoutCallback) {
    const std::wstring path = Publish(L"https/short.bin", "short");
    const std::wstring target = LocalTarget(L"existing.bin");
    ASSERT_TRUE(WriteWholeFile(target, Pattern(100000, 3)));
    EXPECT_EQ(URLDownloadToFileOnHttps((L"https://" + HttpsHost() + path).c_str(), target.c_str(), nullptr), S_OK);
    EXPECT_EQ(ReadWholeFile(target), "short");
    DeleteFileW(target.c_str());
}

TEST(URLDownloadToFileOnHttps, FailuresLeaveNoFile) {
    const std::wstring file = Publish(L"https/fail.bin", Pattern(200000, 4));
    const std::string open = "openFlag: 0x4001001", opened = "Local file open success.";
    const std::string reset = "Exception: " + std::to_string(ERROR_INTERNET_CONNECTION_RESET);
    struct Case {
        const char* what;
        std::wstring address;
        HRESULT expected;  // 0: a WinINet failure, 0x80000000 plus the code in "Exception: %d"
        std::vector<std::string> log;
    } cases[] = {
        {"untrusted issuer", L"https://" + Host("KV_HTTPS_UNTRUSTED_HOST") + file, 0, {open, kAnyException}},
        {"expired certificate", L"https://" + Host("KV_HTTPS_EXPIRED_HOST") + file, 0, {open, kAnyException}},
        {"certificate not yet valid", L"https://" + Host("KV_HTTPS_NOTYET_HOST") + file, 0, {open, kAnyException}},
        {"nothing listens", L"https://127.0.0.1:1" + file, 0,
         {open, "Exception: " + std::to_string(ERROR_INTERNET_CANNOT_CONNECT)}},
        // The server cuts the connection once the first block has arrived (see below).
        {"connection dropped mid-body", L"https://" + ScriptHttpsHost() + L"/_cuthold=cut/_drop=140000" + file, 0,
         {open, opened, reset}},
        {"connection reset mid-body", L"https://" + ScriptHttpsHost() + L"/_cuthold=cut/_reset=140000" + file, 0,
         {open, opened, kAnyException}},
        {"missing file (404)", L"https://" + HttpsHost() + L"/app/https/none.bin", INET_E_DOWNLOAD_FAILURE,
         {open, "HttpStatus fail___(status: 404)", "HTTP status 404"}},
        {"error status with a body", L"https://" + ScriptHttpsHost() + L"/_status=500" + file,
         INET_E_DOWNLOAD_FAILURE, {open, "HttpStatus fail___(status: 500)", "HTTP status 500"}},
        {"error status, chunked", L"https://" + ScriptHttpsHost() + L"/_status=403/_chunked" + file,
         INET_E_DOWNLOAD_FAILURE, {open, "HttpStatus fail___(status: 403)", "HTTP status 403"}},
        {"lowest error status", L"https://" + ScriptHttpsHost() + L"/_status=400" + file, INET_E_DOWNLOAD_FAILURE,
         {open, "HttpStatus fail___(status: 400)", "HTTP status 400"}},
        {"a proxy asking for credentials", L"https://" + ScriptHttpsHost() + L"/_status=407" + file,
         INET_E_DOWNLOAD_FAILURE,
         {open, "HttpStatus fail___(status: 407)", "HTTP status 407", "Proxy asks for credentials (407)"}},
        {"503 with Retry-After", L"https://" + ScriptHttpsHost() + L"/_status=503/_retryafter=20" + file,
         INET_E_DOWNLOAD_FAILURE, {open, "HttpStatus fail___(status: 503)", "HTTP status 503, Retry-After: 20"}},
        // The server picks the header's text: the log keeps one line of plain characters.
        {"a Retry-After of control characters and great length", L"https://" + ScriptHttpsHost() +
             L"/_status=503/_retryafter=1%2501" + std::wstring(100, L'9') + file,
         INET_E_DOWNLOAD_FAILURE,
         {open, "HttpStatus fail___(status: 503)", "HTTP status 503, Retry-After: 1?" + std::string(62, '9') + "..."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring target = LocalTarget(L"fail.bin");
        RecordingCallback cb;
        // A reset that came before the answer was read would discard it whole: the cut waits
        // for the first block.
        ScriptControl(L"reset");
        cb.onFirstCall = [] { ScriptControl(L"release/cut"); };
        HRESULT hr = S_OK;
        const auto log = CaptureTrace([&] { hr = URLDownloadToFileOnHttps(c.address.c_str(), target.c_str(), &cb); });
        const std::vector<std::string> messages = ScopeMessages(log, kHttpsScope);
        if (c.expected) {
            EXPECT_EQ(hr, c.expected);
        } else {
            EXPECT_TRUE(IsWinInetFailure(hr)) << std::hex << hr;
            ASSERT_FALSE(messages.empty());
            EXPECT_EQ(messages.back(), "Exception: " + std::to_string(hr & 0xFFFF));
        }
        EXPECT_EQ(WithAnyException(messages, c.log), c.log);
        EXPECT_EQ(ReadWholeFile(target), "<missing>");
        for (const auto& call : cb.calls) EXPECT_NE(call.status, static_cast<ULONG>(BINDSTATUS_ENDDOWNLOADDATA));
    }
}

// Only 200 and 206 carry the file: any other success status, and a redirect WinINet did not
// follow, is no file however whole its body.
TEST(URLDownloadToFileOnHttps, OnlyA200Or206AnswerIsAFile) {
    const std::string data = Pattern(5000, 5);
    const std::wstring file = Publish(L"https/status.bin", data);
    for (int status : {200, 206, 203, 299, 300, 304}) {
        SCOPED_TRACE(status);
        const std::wstring target = LocalTarget(L"status.bin");
        // A 304 has no body by definition: one sent all the same would stay on the connection.
        const std::wstring address = L"https://" + ScriptHttpsHost() + L"/_status=" + std::to_wstring(status) +
                                     (status == 304 ? L"/_empty" : L"") + file;
        const bool isFile = status == 200 || status == 206;
        EXPECT_EQ(URLDownloadToFileOnHttps(address.c_str(), target.c_str(), nullptr), isFile ? S_OK : INET_E_DOWNLOAD_FAILURE);
        EXPECT_TRUE(ReadWholeFile(target) == (isFile ? data : "<missing>"));
        DeleteFileW(target.c_str());
    }
}

TEST(URLDownloadToFileOnHttps, AnErrorStatusLeavesAnEarlierCopyAlone) {
    const std::wstring target = LocalTarget(L"earlier.bin");
    ASSERT_TRUE(WriteWholeFile(target, "the earlier copy"));
    const std::wstring address = L"https://" + HttpsHost() + L"/app/https/none.bin";
    EXPECT_EQ(URLDownloadToFileOnHttps(address.c_str(), target.c_str(), nullptr), INET_E_DOWNLOAD_FAILURE);
    EXPECT_EQ(ReadWholeFile(target), "the earlier copy");
    DeleteFileW(target.c_str());
}

TEST(URLDownloadToFileOnHttps, LocalTargetFailures) {
    const std::wstring address = L"https://" + HttpsHost() + Publish(L"https/local.bin", Pattern(150000, 6));

    // A folder that does not exist.
    const std::wstring noFolder = GetTempDirectory() + L"\\kvnet_no_such_folder\\x.bin";
    HRESULT hr = S_OK;
    auto log = CaptureTrace([&] { hr = URLDownloadToFileOnHttps(address.c_str(), noFolder.c_str(), nullptr); });
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80000000u | ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(ScopeMessages(log, kHttpsScope),
              (std::vector<std::string>{"openFlag: 0x4001001", "localFile.Open fail___(lastErr: 3)"}));

    // A target that another handle holds open: it must stay as it is.
    const std::wstring held = LocalTarget(L"held.bin");
    ASSERT_TRUE(WriteWholeFile(held, "held"));
    HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    log = CaptureTrace([&] { hr = URLDownloadToFileOnHttps(address.c_str(), held.c_str(), nullptr); });
    CloseHandle(h);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80000000u | ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ScopeMessages(log, kHttpsScope),
              (std::vector<std::string>{"openFlag: 0x4001001", "localFile.Open fail___(lastErr: 32)"}));
    EXPECT_EQ(ReadWholeFile(held), "held");
    DeleteFileW(held.c_str());

    // A full disk: the runner's KV_FULL_DISK_FILE is a link to a device that refuses every
    // write. (Wine cannot delete or stat such a link, so only the result is checked here; the
    // removal of a partial file is checked with the dropped connections above.)
    const char* full = std::getenv("KV_FULL_DISK_FILE");
    ASSERT_NE(full, nullptr);
    std::wstring fullPath = L"Z:" + Widen(full);
    for (wchar_t& c : fullPath)
        if (c == L'/') c = L'\\';
    log = CaptureTrace([&] { hr = URLDownloadToFileOnHttps(address.c_str(), fullPath.c_str(), nullptr); });
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80000000u | ERROR_DISK_FULL));
    EXPECT_EQ(ScopeMessages(log, kHttpsScope),
              (std::vector<std::string>{"openFlag: 0x4001001", "Local file open success.",
                                        "localFile.Write fail___(lastErr: 112)"}));
}

// -- one server file, as the install steps fetch it ----------------------------------------

TEST(FetchServerFile, SizesUnderBothSchemes) {
    struct Scheme {
        const char* what;
        int useHttps;
        std::wstring host;
    } schemes[] = {
        {"http", 0, HttpHost()},
        {"UseHttps 2 is http", 2, HttpHost()},
        {"https, certificate for another host", 1, HttpsHost()},
    };
    for (const Scheme& s : schemes) {
        for (size_t size : {size_t(0), size_t(1), size_t(65536), size_t(1000003)}) {
            SCOPED_TRACE(testing::Message() << s.what << ", " << size << " bytes");
            const std::string data = Pattern(size, static_cast<unsigned>(size) + 7);
            const std::wstring rel = L"fetch/" + std::to_wstring(s.useHttps) + L"_" + std::to_wstring(size) + L".bin";
            Publish(rel, data);
            const std::wstring address =
                FormatServerAddress((L"%s%s/app/" + rel).c_str(), s.useHttps, s.host);
            const std::wstring target = LocalTarget(L"fetch.bin");
            PageWithBar p(s.useHttps);
            URLDownCallBack cb(nullptr, nullptr, 0);
            HRESULT hr = E_FAIL;
            const auto log = CaptureTrace([&] { RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); }); });
            EXPECT_EQ(hr, S_OK);
            EXPECT_TRUE(ReadWholeFile(target) == data);
            // The size query, then our https download or the http transfer (no log of its own).
            std::vector<std::string> expectedLog = {"> " + std::string(kSizeScope),
                                                    s.useHttps == 1 ? "openFlag: 0x4001001" : "openFlag: 0x4000001",
                                                    "ServerFileSize: " + std::to_string(size),
                                                    "< " + std::string(kSizeScope)};
            if (s.useHttps == 1)
                expectedLog.insert(expectedLog.end(), {"> " + std::string(kHttpsScope), "openFlag: 0x4001001",
                                                       "Local file open success.", "< " + std::string(kHttpsScope)});
            EXPECT_EQ(log, expectedLog);
            // The range is the announced size; the bar ends at the byte count.
            EXPECT_EQ(p.bar.Range().iLow, 0);
            EXPECT_EQ(p.bar.Range().iHigh, static_cast<int>(size));
            EXPECT_EQ(p.bar.Pos(), static_cast<int>(size));
            ASSERT_FALSE(p.bar.Sent().empty());
            EXPECT_EQ(p.bar.Sent().front(), (TestProgressBar::Message{PBM_SETRANGE32, 0, static_cast<LPARAM>(size)}));
            EXPECT_EQ(p.bar.Sent().back(), (TestProgressBar::Message{PBM_SETPOS, size, 0}));
            DeleteFileW(target.c_str());
        }
    }
}

TEST(FetchServerFile, SchemeAndAddressReachTheServerAsFormed) {
    const std::string data = Pattern(4000, 9);
    Publish(L"update/KVUpdate.exe", data);
    struct Case {
        const char* what;
        std::wstring updateURL;
        int useHttps;
        std::string expectedPath;
    } cases[] = {
        {"port in the host, http", ScriptHost(), 0, "/app/update/KVUpdate.exe"},
        {"port in the host, https", ScriptHttpsHost(), 1, "/app/update/KVUpdate.exe"},
        {"UseHttps 2 is http", ScriptHost(), 2, "/app/update/KVUpdate.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring address = FormatServerAddress(kUpdaterAddressFormat, c.useHttps, c.updateURL);
        const std::wstring target = LocalTarget(L"KVUpdate.exe");
        PageWithBar p(c.useHttps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        ScriptControl(L"reset");
        HRESULT hr = E_FAIL;
        RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); });
        EXPECT_EQ(hr, S_OK);
        EXPECT_TRUE(ReadWholeFile(target) == data);
        const std::string log = ScriptRequests();
        // The size query and the transfer: two GETs of the formed path.
        const std::string get = "\"method\": \"GET\", \"path\": \"" + c.expectedPath + "\"";
        const size_t first = log.find(get);
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_NE(log.find(get, first + 1), std::string::npos) << log;
        DeleteFileW(target.c_str());
    }
}

// The page's bar shows as many positions as it is wide: a file of many blocks moves it only
// that often, and it starts and ends as it would with every block reported.
TEST(FetchServerFile, TheBarGetsAPositionOnlyWhereItMoves) {
    const std::string data = Pattern(5u << 20, 32);
    const std::wstring file = Publish(L"fetch/steps.bin", data);
    const int steps = 40;
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring address = SchemePrefix(useHttps) + (useHttps == 1 ? HttpsHost() : HttpHost()) + file;
        const std::wstring target = LocalTarget(L"steps.bin");
        PageWithBar p(useHttps);
        p.page.SetProgressSteps(steps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        HRESULT hr = E_FAIL;
        RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); });
        EXPECT_EQ(hr, S_OK);
        const auto& sent = p.bar.Sent();
        ASSERT_GE(sent.size(), 3u);
        EXPECT_EQ(sent.front(), (TestProgressBar::Message{PBM_SETRANGE32, 0, static_cast<LPARAM>(data.size())}));
        EXPECT_EQ(sent.back(), (TestProgressBar::Message{PBM_SETPOS, data.size(), 0}));
        // One position per step at most, the first and the last besides.
        EXPECT_LE(sent.size(), static_cast<size_t>(1 + steps + 2));
        const WPARAM step = data.size() / steps;
        for (size_t i = 2; i + 1 < sent.size(); ++i) EXPECT_GE(sent[i].wParam - sent[i - 1].wParam, step);
        DeleteFileW(target.c_str());
    }
}

TEST(FetchServerFile, WithoutContentLengthTheRangeIsMinusOneAndTheFileStillComes) {
    const std::string data = Pattern(150000, 10);
    const std::wstring file = Publish(L"fetch/chunked.bin", data);
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring host = useHttps == 1 ? ScriptHttpsHost() : ScriptHost();
        const std::wstring address = SchemePrefix(useHttps) + host + L"/_chunked" + file;
        const std::wstring target = LocalTarget(L"chunked.bin");
        PageWithBar p(useHttps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        HRESULT hr = E_FAIL;
        RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); });
        EXPECT_EQ(hr, S_OK);
        EXPECT_TRUE(ReadWholeFile(target) == data);
        ASSERT_FALSE(p.bar.Sent().empty());
        EXPECT_EQ(p.bar.Sent().front(), (TestProgressBar::Message{PBM_SETRANGE32, 0, -1}));
        // The bar ends at the byte count, whatever size was announced.
        EXPECT_EQ(p.bar.Sent().back(), (TestProgressBar::Message{PBM_SETPOS, data.size(), 0}));
        DeleteFileW(target.c_str());
    }
}

TEST(FetchServerFile, OneCallbackServesTwoFiles) {
    const std::string small = Pattern(3000, 11), large = Pattern(90000, 12);
    const std::wstring a = Publish(L"fetch/a.bin", small), b = Publish(L"fetch/b.bin", large);
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring host = useHttps == 1 ? HttpsHost() : HttpHost();
        PageWithBar p(useHttps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        const std::wstring t1 = LocalTarget(L"a.bin"), t2 = LocalTarget(L"b.bin");
        HRESULT first = E_FAIL, second = E_FAIL;
        PBRANGE between = {};
        RunOnWorker([&] { first = FetchServerFile(p.useHttps, &p.page, SchemePrefix(useHttps) + host + b, t2, cb); });
        between = p.bar.Range();
        RunOnWorker([&] { second = FetchServerFile(p.useHttps, &p.page, SchemePrefix(useHttps) + host + a, t1, cb); });
        EXPECT_EQ(first, S_OK);
        EXPECT_EQ(second, S_OK);
        EXPECT_EQ(between.iHigh, 90000);
        EXPECT_EQ(p.bar.Range().iHigh, 3000);
        EXPECT_EQ(p.bar.Pos(), 3000);
        EXPECT_EQ(cb.m_nExpectedSize, 3000);
        EXPECT_EQ(cb.m_pProgress, &p.page);
        EXPECT_EQ(cb.m_pStatusText, nullptr);
        DeleteFileW(t1.c_str());
        DeleteFileW(t2.c_str());
    }
}

TEST(FetchServerFile, AStaleCacheEntryIsPurgedBeforeTheTransfer) {
    // A cache entry that claims to stay fresh for a year, holding old content: a transfer
    // that may use the cache would hand it out instead of the server's file. (Wine's
    // downloads do not take such an entry anyway; the case stands for platforms that do.)
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring host = useHttps == 1 ? HttpsHost() : HttpHost();
        const std::string data = Pattern(30000, 200 + useHttps);
        const std::wstring address =
            SchemePrefix(useHttps) + host + Publish(L"fetch/cached" + std::to_wstring(useHttps) + L".bin", data);
        wchar_t cacheFile[MAX_PATH] = {};
        ASSERT_TRUE(CreateUrlCacheEntryW(address.c_str(), 0, L"bin", cacheFile, 0));
        ASSERT_TRUE(WriteWholeFile(cacheFile, "stale copy from the cache"));
        FILETIME now, expires;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER t = {{now.dwLowDateTime, now.dwHighDateTime}};
        t.QuadPart += 365ull * 24 * 3600 * 10000000ull;
        expires = {t.LowPart, t.HighPart};
        const wchar_t headers[] = L"HTTP/1.1 200 OK\r\nContent-Length: 25\r\n\r\n";
        ASSERT_TRUE(CommitUrlCacheEntryW(address.c_str(), cacheFile, expires, now, NORMAL_CACHE_ENTRY,
                                         const_cast<wchar_t*>(headers), wcslen(headers), nullptr, nullptr));

        const std::wstring target = LocalTarget(L"cached.bin");
        PageWithBar p(useHttps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        HRESULT hr = E_FAIL;
        RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); });
        EXPECT_EQ(hr, S_OK);
        EXPECT_TRUE(ReadWholeFile(target) == data) << ReadWholeFile(target).substr(0, 40);
        DeleteFileW(target.c_str());
    }
}

TEST(FetchServerFile, FailuresAreNegative) {
    const std::wstring file = Publish(L"fetch/fail.bin", Pattern(100000, 13));
    struct Case {
        const char* what;
        std::wstring address;
        int useHttps;
    } cases[] = {
        {"untrusted issuer", L"https://" + Host("KV_HTTPS_UNTRUSTED_HOST") + file, 1},
        {"expired certificate", L"https://" + Host("KV_HTTPS_EXPIRED_HOST") + file, 1},
        {"error status over https", L"https://" + HttpsHost() + L"/app/fetch/none.bin", 1},
        {"connection dropped over https", L"https://" + ScriptHttpsHost() + L"/_drop=70000" + file, 1},
        {"nothing listens, http", L"http://127.0.0.1:1" + file, 0},
        {"nothing listens, https", L"https://127.0.0.1:1" + file, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring target = LocalTarget(L"fetchfail.bin");
        PageWithBar p(c.useHttps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        HRESULT hr = S_OK;
        RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, c.address, target, cb); });
        EXPECT_LT(hr, 0) << std::hex << hr;
        EXPECT_EQ(ReadWholeFile(target), "<missing>");
    }
}

// The answers a proxy or a loaded server gives in place of the file, at the size query or at
// the transfer, under both schemes: never a size, never a file (an earlier copy at the target
// stays as it was), and each refused answer logged with its status.
TEST(FetchServerFile, AnswersWhoseStatusIsNoFile) {
    const std::string data = Pattern(70000, 15);
    const std::wstring rel = L"fetch/status.bin";
    Publish(rel, data);
    struct Status {
        int code;
        const wchar_t* modes;  // besides _status
        std::vector<std::string> lines;
    } const statuses[] = {
        {407, L"", {"HTTP status 407", "Proxy asks for credentials (407)"}},
        {403, L"", {"HTTP status 403"}},
        {404, L"/_page", {"HTTP status 404"}},
        {500, L"", {"HTTP status 500"}},
        {503, L"/_retryafter=3", {"HTTP status 503, Retry-After: 3"}},
    };
    for (int useHttps : {0, 1}) {
        for (const Status& st : statuses) {
            // at the size query and the transfer alike, or (skip) at the transfer only
            for (bool transferOnly : {false, true}) {
                SCOPED_TRACE(testing::Message() << (useHttps ? "https " : "http ") << st.code
                                                << (transferOnly ? " at the transfer" : " at both requests"));
                ScriptControl(L"reset");
                const std::wstring name = L"status" + std::to_wstring(useHttps) + L".bin";
                const std::wstring modes = L"/_status=" + std::to_wstring(st.code) + st.modes;
                ScriptControl(L"fault/status.bin" + std::wstring(transferOnly ? L"/_skip=1" : L"") + modes);
                const std::wstring address =
                    std::wstring(useHttps ? L"https://" : L"http://") + (useHttps ? ScriptHttpsHost() : ScriptHost()) + L"/app/" + rel;
                const std::wstring target = LocalTarget(name.c_str());
                ASSERT_TRUE(WriteWholeFile(target, "an earlier copy"));
                PageWithBar p(useHttps);
                URLDownCallBack cb(nullptr, nullptr, 0);
                HRESULT hr = S_OK;
                const auto log = CaptureTrace([&] { RunOnWorker([&] { hr = FetchServerFile(useHttps, &p.page, address, target, cb); }); });
                EXPECT_EQ(hr, INET_E_DOWNLOAD_FAILURE) << std::hex << hr;
                EXPECT_EQ(ReadWholeFile(target), "an earlier copy");

                const std::string open = useHttps ? "openFlag: 0x4001001" : "openFlag: 0x4000001";
                std::vector<std::string> expected = {"> " + std::string(kSizeScope), open};
                if (transferOnly) {
                    expected.push_back("ServerFileSize: " + std::to_string(data.size()));
                } else {
                    expected.insert(expected.end(), st.lines.begin(), st.lines.end());
                }
                expected.push_back("< " + std::string(kSizeScope));
                if (useHttps) {
                    expected.insert(expected.end(), {"> " + std::string(kHttpsScope), open,
                                                     "HttpStatus fail___(status: " + std::to_string(st.code) + ")"});
                    expected.insert(expected.end(), st.lines.begin(), st.lines.end());
                    expected.push_back("< " + std::string(kHttpsScope));
                } else {
                    expected.push_back("> " + std::string(kHttpScope));
                    expected.insert(expected.end(), st.lines.begin(), st.lines.end());
                    expected.push_back("< " + std::string(kHttpScope));
                }
                EXPECT_EQ(log, expected);
                // No size reached the bar: its range is the unknown size's.
                if (!transferOnly) {
                    EXPECT_EQ(p.bar.Range().iHigh, -1);
                }
                DeleteFileW(target.c_str());
            }
        }
    }
    ScriptControl(L"reset");
}

// The http path goes through the same request as https but keeps the results it has always
// given, which the steps log as "URLDownloadToFile ret" and the tools read, and it logs nothing
// beyond the size query but the status of an answer it refused. A failure leaves no file at the
// target.
TEST(FetchServerFile, TheHttpPathKeepsItsResultsAndLogsNothingOfItsOwn) {
    const std::string data = Pattern(200000, 14);
    const std::wstring file = Publish(L"fetch/httpresults.bin", data);
    const char* full = std::getenv("KV_FULL_DISK_FILE");
    ASSERT_NE(full, nullptr);
    std::wstring fullDisk = L"Z:" + Widen(full);
    for (wchar_t& c : fullDisk)
        if (c == L'/') c = L'\\';
    const HRESULT reset = static_cast<HRESULT>(0x80000000u | ERROR_INTERNET_CONNECTION_RESET);
    const HRESULT writeFault = static_cast<HRESULT>(0x80000000u | ERROR_WRITE_FAULT);
    struct Case {
        const char* what;
        std::wstring address;
        HRESULT expected;
        std::wstring target = L"";  // a fresh one in the temp directory unless given
    } cases[] = {
        {"the whole file", L"http://" + ScriptHost() + file, S_OK},
        {"bytes past the Content-Length", L"http://" + ScriptHost() + L"/_extra=70000" + file, S_OK},
        {"nothing listens", L"http://127.0.0.1:1" + file, INET_E_DOWNLOAD_FAILURE},
        {"missing file (404)", L"http://" + HttpHost() + L"/app/fetch/none.bin", INET_E_DOWNLOAD_FAILURE},
        {"closed without an answer", L"http://" + ScriptHost() + L"/_hangup" + file, INET_E_DOWNLOAD_FAILURE},
        {"connection dropped mid-body", L"http://" + ScriptHost() + L"/_drop=100000" + file, reset},
        {"body shorter than its Content-Length", L"http://" + ScriptHost() + L"/_cl=300000" + file, reset},
        {"target folder missing", L"http://" + HttpHost() + file, writeFault,
         GetTempDirectory() + L"\\kvnet_no_such_folder\\x.bin"},
        {"full disk", L"http://" + HttpHost() + file, writeFault, fullDisk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring target = c.target.empty() ? LocalTarget(L"httpresults.bin") : c.target;
        PageWithBar p(0);
        URLDownCallBack cb(nullptr, nullptr, 0);
        HRESULT hr = E_FAIL;
        const auto log = CaptureTrace([&] { RunOnWorker([&] { hr = FetchServerFile(0, &p.page, c.address, target, cb); }); });
        EXPECT_EQ(hr, c.expected) << std::hex << hr;
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log.front(), "> " + std::string(kSizeScope));
        // The missing file's 404 is the one answer refused for its status: its scope follows.
        const bool refusedStatus = std::string(c.what) == "missing file (404)";
        const std::vector<std::string> statusScope = {"> " + std::string(kHttpScope), "HTTP status 404",
                                                      "< " + std::string(kHttpScope)};
        const auto sizeEnd = std::find(log.begin(), log.end(), "< " + std::string(kSizeScope));
        ASSERT_NE(sizeEnd, log.end());
        EXPECT_EQ(std::vector<std::string>(sizeEnd + 1, log.end()),
                  refusedStatus ? statusScope : std::vector<std::string>());
        EXPECT_EQ(std::count_if(log.begin(), sizeEnd, [](const std::string& l) { return l.compare(0, 2, "> ") == 0; }), 1);
        // Wine cannot look at the full disk's file (see LocalTargetFailures).
        if (target != fullDisk) {
            EXPECT_TRUE(ReadWholeFile(target) == (hr == S_OK ? data : "<missing>"));
        }
        if (c.target.empty()) DeleteFileW(target.c_str());
    }
}

// -- the stall limit ----------------------------------------------------------------------

// The limit these cases run with (the policy allows no less than 5 s, its own test is a unit
// test), and how far past it a stalled call may end on a loaded machine.
const DWORD kStallMs = 2000;
const DWORD kStallMarginMs = 3000;
const HRESULT kTimeoutResult = static_cast<HRESULT>(0x80000000u | ERROR_INTERNET_TIMEOUT);

struct StallLimitForTest {
    explicit StallLimitForTest(DWORD ms) { SetStallLimitForTesting(ms); }
    ~StallLimitForTest() { SetStallLimitForTesting(0); }
};

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

ULONGLONG Elapsed(const std::function<void()>& fn) {
    const ULONGLONG started = GetTickCount64();
    fn();
    return GetTickCount64() - started;
}

// Whether the scripted server has received a request whose path ends with `tail`, waiting up
// to timeoutMs for it.
bool ServerReceived(const std::string& tail, DWORD timeoutMs) {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    do {
        if (ScriptRequests().find(tail + "\"") != std::string::npos) return true;
        Sleep(100);
    } while (GetTickCount64() < until);
    return false;
}

// Each stage of a request that can stall, for every function that makes one: the answer
// must end the call after the limit, not before it and not much later, as a time-out (12002),
// with the log line and result each function gives for it, and no file left behind.
TEST(StallLimit, EveryStageOfEveryRequestEndsAfterTheLimit) {
    StallLimitForTest limit(kStallMs);
    const std::wstring file = Publish(L"stall/file.bin", Pattern(300000, 20));
    const std::string timeout = "Exception: " + std::to_string(ERROR_INTERNET_TIMEOUT);
    const std::string size = "ServerFileSize: 300000", opened = "Local file open success.";
    const std::string sizeIn = "> " + std::string(kSizeScope), sizeOut = "< " + std::string(kSizeScope);
    const std::string httpsIn = "> " + std::string(kHttpsScope), httpsOut = "< " + std::string(kHttpsScope);
    enum Call { kSize, kHttps, kFetch };
    struct Case {
        const char* what;
        Call call;
        int useHttps;
        std::wstring modes;     // path modes before the file's path
        std::wstring fault;     // or a fault rule for the file: it lets the size query through
        std::wstring tlsStall;  // or "SKIP/COUNT" handshakes of the scripted server to stall
        std::vector<std::string> log;
        std::wstring host = L"";  // the scripted server of the scheme unless given
        int stalls = 1;           // requests that stall one after the other
    } cases[] = {
        // Connecting: a listener whose queue is full drops the connection's every SYN.
        {"size query, connection never accepted", kSize, 0, L"", L"", L"", {sizeIn, "openFlag: 0x4000001", timeout, sizeOut},
         Host("KV_UNACCEPTED_HOST")},
        {"https, connection never accepted", kHttps, 1, L"", L"", L"", {httpsIn, "openFlag: 0x4001001", timeout, httpsOut},
         Host("KV_UNACCEPTED_HOST")},
        {"fetch over http, connection never accepted", kFetch, 0, L"", L"", L"",
         {sizeIn, "openFlag: 0x4000001", timeout, sizeOut}, Host("KV_UNACCEPTED_HOST"), 2},
        // The size query: the request answered with silence, or a handshake that never ends.
        {"size query, silent answer, http", kSize, 0, L"/_mute", L"", L"", {sizeIn, "openFlag: 0x4000001", timeout, sizeOut}},
        {"size query, silent answer, https", kSize, 1, L"/_mute", L"", L"",
         {sizeIn, "openFlag: 0x4001001", timeout, sizeOut}},
        {"size query, stalled TLS handshake", kSize, 1, L"", L"", L"0/1", {sizeIn, "openFlag: 0x4001001", timeout, sizeOut}},
        // Our https download: before the answer, in the handshake, after the headers, mid-body.
        {"https, silent answer", kHttps, 1, L"/_mute", L"", L"", {httpsIn, "openFlag: 0x4001001", timeout, httpsOut}},
        {"https, stalled TLS handshake", kHttps, 1, L"", L"", L"0/1", {httpsIn, "openFlag: 0x4001001", timeout, httpsOut}},
        {"https, headers and then silence", kHttps, 1, L"/_holdbody=stall", L"", L"",
         {httpsIn, "openFlag: 0x4001001", opened, timeout, httpsOut}},
        {"https, silence mid-body", kHttps, 1, L"/_cuthold=stall/_drop=150000", L"", L"",
         {httpsIn, "openFlag: 0x4001001", opened, timeout, httpsOut}},
        // One file as the steps fetch it: the size query goes through, the transfer stalls.
        {"fetch over http, silent answer", kFetch, 0, L"", L"_skip=1/_mute", L"",
         {sizeIn, "openFlag: 0x4000001", size, sizeOut}},
        {"fetch over http, headers and then silence", kFetch, 0, L"", L"_skip=1/_holdbody=stall", L"",
         {sizeIn, "openFlag: 0x4000001", size, sizeOut}},
        {"fetch over http, silence mid-body", kFetch, 0, L"", L"_skip=1/_cuthold=stall/_drop=150000", L"",
         {sizeIn, "openFlag: 0x4000001", size, sizeOut}},
        {"fetch over https, stalled TLS handshake", kFetch, 1, L"", L"", L"1/1",
         {sizeIn, "openFlag: 0x4001001", size, sizeOut, httpsIn, "openFlag: 0x4001001", timeout, httpsOut}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptControl(L"reset");
        if (!c.fault.empty()) ScriptControl(L"fault/file.bin/" + c.fault);
        if (!c.tlsStall.empty()) ScriptControl(L"tlsstall/" + c.tlsStall + L"/stall");
        const std::wstring host = !c.host.empty() ? c.host : c.useHttps == 1 ? ScriptHttpsHost() : ScriptHost();
        const std::wstring address = SchemePrefix(c.useHttps) + host + c.modes + file;
        const std::wstring target = LocalTarget(L"stall.bin");
        HRESULT hr = S_OK;
        int answer = 0;
        ULONGLONG took = 0;
        const auto log = CaptureTrace([&] {
            took = Elapsed([&] {
                if (c.call == kSize) {
                    answer = GetWebFileSize(address.c_str(), c.useHttps);
                } else if (c.call == kHttps) {
                    hr = URLDownloadToFileOnHttps(address.c_str(), target.c_str(), nullptr);
                } else {
                    PageWithBar p(c.useHttps);
                    URLDownCallBack cb(nullptr, nullptr, 0);
                    RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); });
                }
            });
        });
        if (c.call == kSize) {
            EXPECT_EQ(answer, -1);
        } else {
            EXPECT_EQ(hr, kTimeoutResult) << std::hex << hr;
        }
        EXPECT_EQ(log, c.log);
        EXPECT_GE(took + 50, c.stalls * kStallMs);
        EXPECT_LE(took, c.stalls * (kStallMs + kStallMarginMs));
        EXPECT_FALSE(FileExists(target));

        // The server goes on: a handshake left behind then completes, and the request the
        // abandoned call sends is answered in full. Nothing of it may reach the target.
        ScriptControl(L"release/stall");
        if (!c.tlsStall.empty()) {
            EXPECT_TRUE(ServerReceived("/app/stall/file.bin", 10000)) << ScriptRequests();
            Sleep(500);
            EXPECT_FALSE(FileExists(target));
        }
        DeleteFileW(target.c_str());
    }
    ScriptControl(L"reset");
}

// The limit is on silence, not on the whole transfer: a server that keeps sending, slowly,
// is waited for as long as it takes, over both schemes.
TEST(StallLimit, ASlowServerThatKeepsSendingIsNoStall) {
    StallLimitForTest limit(kStallMs);
    // Pieces of 4096 bytes, 700 ms apart: about 4 s in all, twice the limit.
    const std::string data = Pattern(6 * 4096, 21);
    const std::wstring file = Publish(L"stall/slow.bin", data);
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring address = SchemePrefix(useHttps) + (useHttps == 1 ? ScriptHttpsHost() : ScriptHost()) +
                                     L"/_slow=700" + file;
        const std::wstring target = LocalTarget(L"slow.bin");
        PageWithBar p(useHttps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        HRESULT hr = E_FAIL;
        const ULONGLONG took =
            Elapsed([&] { RunOnWorker([&] { hr = FetchServerFile(p.useHttps, &p.page, address, target, cb); }); });
        EXPECT_EQ(hr, S_OK) << std::hex << hr;
        EXPECT_TRUE(ReadWholeFile(target) == data);
        EXPECT_GT(took, kStallMs);
        DeleteFileW(target.c_str());
    }
}

// -- a cut transfer taken up where it stopped ---------------------------------------------

// The scripted server names the file's version and closes every connection once 40 % of the
// file has gone out: each attempt keeps what came and the next asks for the rest, so the
// third brings the file whole; the bar of a resumed attempt starts where the last one stopped.
// Without a private place (keepCut false) or without a version, nothing is kept and every
// attempt starts over.
TEST(Resume, CutTransfersTakeUpWhereTheyStopped) {
    const std::string data = Pattern(300000, 9);
    const std::wstring file = Publish(L"resume/cut.bin", data);
    const ULONG at40 = 120000, at80 = 240000;
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring host = useHttps ? ScriptHttpsHost() : ScriptHost();
        const std::wstring scheme = useHttps ? L"https://" : L"http://";
        struct Case {
            const char* what;
            std::wstring modes;
            bool keepCut;
            bool resumes;
        } cases[] = {
            {"version named, private place", L"/_etag=n1/_cutpct=40", true, true},
            {"no private place", L"/_etag=n1/_cutpct=40", false, false},
            {"no version named", L"/_cutpct=40", true, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            ScriptControl(L"reset");
            const std::wstring address = scheme + host + c.modes + file;
            const std::wstring target = LocalTarget(L"cut.bin");
            PageWithBar p(useHttps);
            TransferState state;
            state.keepCut = c.keepCut;
            std::vector<HRESULT> results;
            std::vector<ULONG> kept, firstPositions;
            for (int attempt = 0; attempt < 3; ++attempt) {
                RecordingCallback cb;
                HRESULT hr = E_FAIL;
                RunOnWorker([&] { hr = FetchServerFile(useHttps, &p.page, address, target, cb, &state); });
                results.push_back(hr);
                kept.push_back(state.kept);
                firstPositions.push_back(cb.calls.empty() ? 0 : cb.calls.front().progress);
                if (attempt < 2) {
                    // What stays on disk between attempts is exactly what the state says.
                    EXPECT_EQ(ReadWholeFile(target), state.kept ? data.substr(0, state.kept) : "<missing>");
                }
            }
            if (c.resumes) {
                EXPECT_LT(results[0], 0);
                EXPECT_LT(results[1], 0);
                EXPECT_EQ(results[2], S_OK);
                EXPECT_EQ(kept, (std::vector<ULONG>{at40, at80, 0}));
                EXPECT_TRUE(state.resumed);
                EXPECT_EQ(state.resumedAt, at80);
                EXPECT_EQ(firstPositions[1], at40) << "the bar goes on from the kept bytes";
                EXPECT_EQ(firstPositions[2], at80);
                EXPECT_TRUE(ReadWholeFile(target) == data) << "the file as served";
                const std::string requests = ScriptRequests();
                EXPECT_NE(requests.find("\"range\": \"bytes=120000-\""), std::string::npos) << requests;
                EXPECT_NE(requests.find("\"ifrange\": \"\\\"n1\\\"\""), std::string::npos) << requests;
            } else {
                for (HRESULT hr : results) EXPECT_LT(hr, 0);
                EXPECT_EQ(kept, (std::vector<ULONG>{0, 0, 0}));
                EXPECT_EQ(ReadWholeFile(target), "<missing>");
                EXPECT_EQ(ScriptRequests().find("bytes=120000-"), std::string::npos);
            }
            DeleteFileW(target.c_str());
        }
    }
}

// A body that trickles in, a byte at a time with pauses shorter than the stall limit, is no
// stall: every byte that arrives counts, not only a full block.
TEST(StallLimit, EveryByteReceivedCounts) {
    const std::string data = Pattern(6, 3);
    const std::wstring file = Publish(L"resume/drip.bin", data);
    SetStallLimitForTesting(1500);
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        const std::wstring address = (useHttps ? L"https://" + ScriptHttpsHost() : L"http://" + ScriptHost()) +
                                     L"/_range/_drip=1:700" + file;
        const std::wstring target = LocalTarget(L"drip.bin");
        PageWithBar p(useHttps);
        URLDownCallBack cb(nullptr, nullptr, 0);
        HRESULT hr = E_FAIL;
        RunOnWorker([&] { hr = FetchServerFile(useHttps, &p.page, address, target, cb); });
        EXPECT_EQ(hr, S_OK);
        EXPECT_TRUE(ReadWholeFile(target) == data);
        DeleteFileW(target.c_str());
    }
    SetStallLimitForTesting(0);
}

}  // namespace
