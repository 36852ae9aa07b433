// The rule for a server certificate whose revocation cannot be checked, at every request the
// program makes (the size query, both transfer paths, the first page's check), against the real
// test servers. Wine never checks revocation, so the platform's refusal comes from the request
// layer's seam: every request whose handle did not take SECURITY_FLAG_IGNORE_REVOCATION is
// answered with the error Windows gives. 12057 (status not known offline) must be logged and
// asked for once more with the flag, which the server then answers; 12170 (revoked) must fail
// the request as a refused certificate, without a second try.

#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../support/RunOnWorker.h"
#include "../support/TraceCapture.h"
#include "NetServers.h"
#include "framework/paths.h"
#include "install/AccessCheck.h"
#include "install/ServerAddress.h"
#include "install/StallLimit.h"
#include "install/Transfer.h"
#include "install/URLDownCallBack.h"

namespace {

using nettest::Host;
using nettest::ReadWholeFile;
using nettest::Widen;
using nettest::Www;





const char kServedBytes[] = "revocation test body, served by the test servers\n";

// /app/revocation.bin in the server tree; its address on the server of the scheme.
std::wstring Served(int useHttps) {
    const std::wstring dir = Www() + L"\\app";
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring path = dir + L"\\revocation.bin";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, kServedBytes, sizeof(kServedBytes) - 1, &written, nullptr);
    CloseHandle(h);
    return (useHttps == 1 ? L"https://" + Host("KV_HTTPS_HOST") : L"http://" + Host("KV_HTTP_HOST")) +
           L"/app/revocation.bin";
}

// The platform answers as Windows would for the test's duration.
struct RevocationAnswer {
    explicit RevocationAnswer(DWORD error) { SetRevocationAnswerForTesting(error); }
    ~RevocationAnswer() { SetRevocationAnswerForTesting(0); }
};

std::string NoteFor(const std::wstring& url, DWORD error) {
    return std::string(url.begin(), url.end()) + ": server certificate's revocation not known offline (" +
           std::to_string(error) + "), accepted";
}

// The request layer's certificate scope with its one line, as it must appear in a log.
std::vector<std::string> NoteLines(const std::wstring& url) {
    return {"> ServerCertificate", NoteFor(url, ERROR_INTERNET_SEC_CERT_REV_FAILED), "< ServerCertificate"};
}

bool Contains(const std::vector<std::string>& log, const std::vector<std::string>& part) {
    for (size_t i = 0; i + part.size() <= log.size(); ++i) {
        if (std::equal(part.begin(), part.end(), log.begin() + static_cast<long>(i))) return true;
    }
    return false;
}

bool Mentions(const std::vector<std::string>& log, const std::string& word) {
    for (const std::string& line : log)
        if (line.find(word) != std::string::npos) return true;
    return false;
}

// One request path of the program: runs it against url and says whether it delivered.
struct Path {
    const char* what;
    int useHttps;
    std::function<bool(const std::wstring& url, std::string& detail)> run;
};

std::vector<Path> Paths() {
    auto sizeQuery = [](int https) {
        return [https](const std::wstring& url, std::string& detail) {
            const int size = GetWebFileSize(url.c_str(), https);
            detail = "size " + std::to_string(size);
            return size == static_cast<int>(sizeof(kServedBytes) - 1);
        };
    };
    auto transfer = [](int https) {
        return [https](const std::wstring& url, std::string& detail) {
            const std::wstring target = GetTempDirectory() + L"\\kvnet_revocation.bin";
            DeleteFileW(target.c_str());
            URLDownCallBack cb(nullptr, nullptr, 0);
            HRESULT hr = E_FAIL;
            RunOnWorker([&] { hr = FetchServerFile(https, nullptr, url, target, cb); });
            char text[16];
            std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
            detail = std::string("result ") + text;
            const bool whole = hr == S_OK && ReadWholeFile(target) == kServedBytes;
            DeleteFileW(target.c_str());
            return whole;
        };
    };
    auto access = [](int https) {
        return [https](const std::wstring& url, std::string& detail) {
            const std::wstring root = url.substr(0, url.find(L"/app/"));
            const AccessAnswer a = CheckServerAccess(root, https);
            detail = "status " + std::to_string(a.httpStatus) + ", error " + std::to_string(a.error);
            return a.verdict == AccessAnswer::Verdict::Answered && a.revocationUnknown;
        };
    };
    return {
        {"size query, https", 1, sizeQuery(1)},
        {"size query, http", 0, sizeQuery(0)},
        {"https transfer", 1, transfer(1)},
        {"http transfer", 0, transfer(0)},
        {"access check, https", 1, access(1)},
        {"access check, http", 0, access(0)},
    };
}

TEST(Revocation, StatusNotKnownOfflineIsAcceptedAfterOneMoreRequest) {
    for (const Path& p : Paths()) {
        SCOPED_TRACE(p.what);
        const std::wstring url = Served(p.useHttps);
        RevocationAnswer answer(ERROR_INTERNET_SEC_CERT_REV_FAILED);
        bool delivered = false;
        std::string detail;
        const auto log = CaptureTrace([&] { delivered = p.run(url, detail); });
        EXPECT_TRUE(delivered) << detail;
        // The access check asks for the address's root; everything else for the file.
        const std::wstring asked = std::string(p.what).find("access") == 0 ? url.substr(0, url.find(L"/app/")) : url;
        EXPECT_TRUE(Contains(log, NoteLines(asked))) << testing::PrintToString(log);
    }
}

TEST(Revocation, RevokedCertificateIsRefusedWithoutASecondTry) {
    for (const Path& p : Paths()) {
        SCOPED_TRACE(p.what);
        const std::wstring url = Served(p.useHttps);
        RevocationAnswer answer(ERROR_INTERNET_SEC_CERT_REVOKED);
        bool delivered = true;
        std::string detail;
        const auto log = CaptureTrace([&] { delivered = p.run(url, detail); });
        EXPECT_FALSE(delivered) << detail;
        EXPECT_FALSE(Mentions(log, "ServerCertificate")) << testing::PrintToString(log);
    }
}

// The results each path gives for a revoked certificate: a refused certificate, as for any
// other certificate fault, never a file.
TEST(Revocation, RevokedCertificateResults) {
    const std::wstring https = Served(1);
    const std::wstring http = Served(0);
    RevocationAnswer answer(ERROR_INTERNET_SEC_CERT_REVOKED);
    EXPECT_EQ(GetWebFileSize(https.c_str(), 1), -1);
    const std::wstring target = GetTempDirectory() + L"\\kvnet_revoked.bin";
    DeleteFileW(target.c_str());
    URLDownCallBack cb(nullptr, nullptr, 0);
    HRESULT viaHttps = S_OK, viaHttp = S_OK;
    RunOnWorker([&] { viaHttps = FetchServerFile(1, nullptr, https, target, cb); });
    RunOnWorker([&] { viaHttp = FetchServerFile(0, nullptr, http, target, cb); });
    EXPECT_EQ(static_cast<DWORD>(viaHttps), 0x80000000u | ERROR_INTERNET_SEC_CERT_REVOKED);
    EXPECT_EQ(viaHttp, INET_E_INVALID_CERTIFICATE);
    EXPECT_EQ(ReadWholeFile(target), "<missing>");
    const AccessAnswer a = CheckServerAccess(https.substr(0, https.find(L"/app/")), 1);
    // The server is reached (the page goes on, as it does for any refused certificate); its
    // request is refused, and the transfers above refuse it too.
    EXPECT_EQ(static_cast<int>(a.verdict), static_cast<int>(AccessAnswer::Verdict::Reached));
    EXPECT_EQ(a.httpStatus, 0u);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_REVOKED));
    EXPECT_FALSE(a.revocationUnknown);
}

}  // namespace
