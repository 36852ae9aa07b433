// kvcheck: checks, from an employee's machine, everything the setup program needs from the
// company's KestrelVault server, with the setup's own access check, transfer code and
// descriptor reader, and says which part fails.
//
//   kvcheck HOST [--https] [--publisher SHA256]...
//
// One line per check, then a summary; the exit code is the class of the first failing check
// (the table is in kUsage).

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "framework/handle.h"
#include "framework/inet.h"
#include "framework/paths.h"
#include "framework/strutil.h"
#include "install/ProgramTrust.h"
#include "install/PublisherPins.h"
#include "install/SiteDescriptor.h"
#include "install/AccessCheck.h"
#include "install/SiteFiles.h"
#include "install/StallLimit.h"
#include "install/Transfer.h"
#include "install/URLDownCallBack.h"
#include "tools/kvcheck_cert.h"
#include "tools/kvlog_codes.h"
#include "tools/textout.h"
#include "tools/thumbprint_text.h"

namespace {

const char kUsage[] =
    "Usage: kvcheck HOST [--https] [--publisher SHA256]...\n"
    "\n"
    "Checks from this machine what the KestrelVault setup program needs from the server at\n"
    "HOST: the address as it goes into the setup's host box (a host, optionally with a port or a\n"
    "path), with \"http\" or, given --https, \"https\" chosen on the first page; \"https://\" or\n"
    "\"http://\" in front of HOST (any letter case) chooses that scheme, as in the setup. It uses the setup's own access check, transfer code and descriptor reader, and prints\n"
    "one line per check, then a summary:\n"
    "\n"
    "  address      the address the setup forms, and its host name and port\n"
    "  name         the host name resolves\n"
    "  connect      a TCP connection to the host and port\n"
    "  access       the first page's check: a request for the address through the setup's\n"
    "               WinINet rules (this machine's proxy, the stall limit); any HTTP answer\n"
    "               passes, a proxy asking for credentials (407) fails\n"
    "  certificate  https only: issuer trusted, in date, and whether it names the host (a name\n"
    "               that does not match is only a warning: the setup accepts it)\n"
    "  installer    /app/KestrelVAULT ActiveX 7i_ko.exe\n"
    "  descriptor   /app/update/kestrelvault_server.exe\n"
    "  updater      /app/update/KVUpdate.exe\n"
    "               each: the answer's status and Content-Length, and the setup's transfer of\n"
    "               the file with its result and the bytes received; for the installer and the\n"
    "               updater also their signature as the setup checks it before it starts them\n"
    "               (\"signature:\" verified with its signer, unsigned, or does not verify: then\n"
    "               the setup removes the program and never starts it) and, with --publisher,\n"
    "               whether they pass those pins (\"pins:\")\n"
    "  SiteName     the site name the setup reads from the descriptor, refused when it is not a\n"
    "               plain folder name\n"
    "\n"
    "  --https     check the https address (default: http).\n"
    "  --http      check the http address.\n"
    "  --publisher SHA256\n"
    "              a publisher pin as kvstamp stamps it (may repeat, at most 16): the SHA-256\n"
    "              thumbprint of a certificate, 64 hex digits, a colon or blank between bytes\n"
    "              allowed. The programs must then pass as a setup stamped with these pins\n"
    "              demands: a signature that verifies, with a pinned certificate (the signer's\n"
    "              own or an issuer's) in the signer's chain.\n"
    "  -h, --help  this text.\n"
    "\n"
    "Exit codes (the first failing check decides):\n"
    "   0  every check passed (warnings allowed)\n"
    "   1  kvcheck itself could not run (no temporary folder, no WinINet)\n"
    "   2  bad command line\n"
    "   3  address: the setup cannot form a usable address from HOST\n"
    "   4  name: the host name does not resolve\n"
    "   5  connect: no TCP connection (refused, unreachable, timed out)\n"
    "   6  access: the first page's check fails; the setup shows \"cannot connect\" (or, for a\n"
    "      proxy asking for credentials, that the proxy refused the request: unattended 11)\n"
    "   7  certificate: issuer not trusted, or no TLS connection\n"
    "   8  certificate: expired or not yet valid\n"
    "   9  a server file is missing (the server answers with an error status)\n"
    "  10  a server file comes without a usable Content-Length\n"
    "  11  a transfer fails, or delivers other bytes than announced\n"
    "  12  SiteName: the descriptor gives no usable, safe site name\n"
    "  13  a program carries a signature that does not verify (the setup never starts it)\n"
    "  14  --publisher: a program would not pass the pins (unsigned, or no pinned certificate\n"
    "      in its signer's chain)\n";

enum ExitCode {
    kPassed = 0,
    kInternal = 1,
    kUsageError = 2,
    kAddress = 3,
    kName = 4,
    kConnect = 5,
    kAccess = 6,
    kCertificateTrust = 7,
    kCertificateTime = 8,
    kFileMissing = 9,
    kNoContentLength = 10,
    kTransfer = 11,
    kSiteName = 12,
    kSignature = 13,
    kPins = 14,
};

// ----------------------------------------------------------------------------------------------
// Output

std::string Utf8(const std::wstring& w) { return kvtools::Utf8FromUtf16(w); }

void Write(FILE* stream, const std::string& utf8) { kvtools::WriteUtf8(stream, utf8); }

std::string Code(DWORD code) {
    std::string s = std::to_string(code);
    const std::string meaning = kvlog::ExplainCode(code);
    return meaning.empty() ? s : s + " (" + meaning + ")";
}

std::string Hex(DWORD value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lx", static_cast<unsigned long>(value));
    return buffer;
}

std::string HexCode(HRESULT hr) {
    const std::string meaning = kvlog::ExplainCode(static_cast<DWORD>(hr));
    return meaning.empty() ? Hex(static_cast<DWORD>(hr)) : Hex(static_cast<DWORD>(hr)) + " (" + meaning + ")";
}

// ----------------------------------------------------------------------------------------------
// Checks and their verdicts

enum class Verdict { Pass, Warn, Fail, Skip };

struct Finding {
    std::string name;
    Verdict verdict;
    int exitCode;  // for Fail
    std::string detail;
    bool known;    // the verdict is in
    std::vector<std::string> notes;  // lines under the finding's own
};

// The findings in the order the checks are listed, each line printed as soon as every line
// above it is known: a check may be given a place now and its verdict later.
class Report {
public:
    void Add(const std::string& name, Verdict verdict, int exitCode, const std::string& detail,
             std::vector<std::string> notes = {}) {
        m_findings.push_back({name, verdict, exitCode, detail, true, std::move(notes)});
        Print();
    }
    void Pass(const std::string& name, const std::string& detail) { Add(name, Verdict::Pass, kPassed, detail); }
    void Warn(const std::string& name, const std::string& detail) { Add(name, Verdict::Warn, kPassed, detail); }
    void Fail(const std::string& name, int code, const std::string& detail) { Add(name, Verdict::Fail, code, detail); }
    void Skip(const std::string& name, const std::string& detail) { Add(name, Verdict::Skip, kPassed, detail); }

    // A place for a check whose verdict comes later; Fill gives it.
    size_t Reserve(const std::string& name) {
        m_findings.push_back({name, Verdict::Skip, kPassed, std::string(), false, {}});
        return m_findings.size() - 1;
    }
    void Fill(size_t place, Verdict verdict, int exitCode, const std::string& detail) {
        Finding& f = m_findings[place];
        f.verdict = verdict;
        f.exitCode = exitCode;
        f.detail = detail;
        f.known = true;
        Print();
    }

    // Prints the summary and returns the exit code: the first failing check's class.
    int Summarise() const {
        int failed = 0, warned = 0, passed = 0, skipped = 0;
        const Finding* first = nullptr;
        for (const Finding& f : m_findings) {
            switch (f.verdict) {
                case Verdict::Pass: ++passed; break;
                case Verdict::Warn: ++warned; break;
                case Verdict::Skip: ++skipped; break;
                case Verdict::Fail:
                    ++failed;
                    if (!first) first = &f;
                    break;
            }
        }
        std::string s = "\nSummary: " + std::to_string(passed) + " passed, " + std::to_string(warned) + " warned, " +
                        std::to_string(failed) + " failed, " + std::to_string(skipped) + " skipped. ";
        if (first) {
            s += "First failure: " + first->name + " (exit code " + std::to_string(first->exitCode) + ").\n";
        } else if (warned) {
            s += "The setup can work with this server; see the warnings.\n";
        } else {
            s += "The setup can work with this server.\n";
        }
        Write(stdout, s);
        return first ? first->exitCode : kPassed;
    }

private:
    void Print() {
        static const char* const kTags[] = {"PASS", "WARN", "FAIL", "SKIP"};
        for (; m_printed < m_findings.size() && m_findings[m_printed].known; ++m_printed) {
            const Finding& f = m_findings[m_printed];
            char head[48];
            std::snprintf(head, sizeof head, "[%s] %-12s ", kTags[static_cast<int>(f.verdict)], f.name.c_str());
            Write(stdout, head + f.detail + "\n");
            // Under the detail, so that the finding's own line stays one line.
            for (const std::string& note : f.notes) Write(stdout, std::string(20, ' ') + note + "\n");
        }
    }

    std::vector<Finding> m_findings;
    size_t m_printed = 0;
};

// ----------------------------------------------------------------------------------------------
// Address

struct Address {
    std::wstring accessURL;  // what the first page checks: scheme prefix and host text
    std::wstring hostName;
    INTERNET_PORT port = 0;
    int useHttps = 0;
};

// The address as the first page forms it, cracked the way WinINet reads it.
bool CheckAddress(Report& report, const std::wstring& host, int useHttps, Address& out) {
    out.accessURL = SchemePrefix(useHttps) + host;
    out.useHttps = useHttps;
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    wchar_t hostName[INTERNET_MAX_HOST_NAME_LENGTH + 1] = {};
    parts.lpszHostName = hostName;
    parts.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH + 1;
    if (!::InternetCrackUrlW(out.accessURL.c_str(), 0, 0, &parts) || !hostName[0]) {
        report.Fail("address", kAddress, Utf8(out.accessURL) + ": not a usable URL (error " + Code(::GetLastError()) + ")");
        return false;
    }
    out.hostName = hostName;
    out.port = parts.nPort;
    report.Pass("address", Utf8(out.accessURL) + ": host " + Utf8(out.hostName) + ", port " + std::to_string(out.port));
    return true;
}

// A proxy that WinINet would use, or "" for direct connections.
std::wstring ConfiguredProxy() {
    CInternetSession session;
    if (!session.IsOpen()) return std::wstring();
    DWORD size = 0;
    ::InternetQueryOptionW(session.GetHandle(), INTERNET_OPTION_PROXY, nullptr, &size);
    if (!size) return std::wstring();
    std::vector<BYTE> buffer(size);
    if (!::InternetQueryOptionW(session.GetHandle(), INTERNET_OPTION_PROXY, buffer.data(), &size)) return std::wstring();
    const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
    if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !info->lpszProxy) return std::wstring();
    return reinterpret_cast<const wchar_t*>(info->lpszProxy);
}

// ----------------------------------------------------------------------------------------------
// Name and connection

std::string AddressText(const sockaddr* sa, size_t length) {
    wchar_t text[INET6_ADDRSTRLEN + 8] = {};
    DWORD size = static_cast<DWORD>(sizeof text / sizeof text[0]);
    if (::WSAAddressToStringW(const_cast<sockaddr*>(sa), static_cast<DWORD>(length), nullptr, text, &size) != 0) return "?";
    return Utf8(text);
}

struct AddrInfoDeleter {
    void operator()(ADDRINFOW* p) const { ::FreeAddrInfoW(p); }
};
using AddrInfoList = std::unique_ptr<ADDRINFOW, AddrInfoDeleter>;

// How long a connection attempt may take: about what Windows itself waits for an answer
// to its connection request before it gives up.
const int kConnectTimeoutMs = 21000;

// 0 when connected, else the Winsock error.
int ConnectTo(const ADDRINFOW* a) {
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) return ::WSAGetLastError();
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    int error = 0;
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval timeout = {kConnectTimeoutMs / 1000, (kConnectTimeoutMs % 1000) * 1000};
            const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
            if (ready == 0) {
                error = WSAETIMEDOUT;
            } else if (ready < 0) {
                error = ::WSAGetLastError();
            } else {
                int soError = 0;
                int len = sizeof soError;
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
                error = FD_ISSET(s, &failed) && !soError ? WSAECONNREFUSED : soError;
            }
        }
    }
    ::closesocket(s);
    return error;
}

// Name resolution, then a TCP connection to the first address that takes one. Failures are
// warnings when a proxy stands between this machine and the server: the setup then connects
// to the proxy, not to the host.
bool CheckNameAndConnect(Report& report, const Address& address, bool viaProxy) {
    auto fail = [&](const char* name, int code, const std::string& detail) {
        if (viaProxy) {
            report.Warn(name, detail + "; the setup goes through the proxy, so this need not matter");
        } else {
            report.Fail(name, code, detail);
        }
    };

    ADDRINFOW hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* raw = nullptr;
    const std::wstring port = std::to_wstring(address.port);
    const int resolved = ::GetAddrInfoW(address.hostName.c_str(), port.c_str(), &hints, &raw);
    AddrInfoList list(raw);
    if (resolved != 0 || !raw) {
        fail("name", kName, Utf8(address.hostName) + " does not resolve: error " + Code(static_cast<DWORD>(resolved)));
        report.Skip("connect", "no address to connect to");
        return false;
    }
    std::string addresses;
    for (const ADDRINFOW* a = raw; a; a = a->ai_next) {
        const std::string text = AddressText(a->ai_addr, a->ai_addrlen);
        if (addresses.find(text) == std::string::npos) addresses += (addresses.empty() ? "" : ", ") + text;
    }
    report.Pass("name", Utf8(address.hostName) + " resolves to " + addresses);

    int lastError = 0;
    std::string tried;
    for (const ADDRINFOW* a = raw; a; a = a->ai_next) {
        const std::string text = AddressText(a->ai_addr, a->ai_addrlen);
        lastError = ConnectTo(a);
        if (lastError == 0) {
            report.Pass("connect", text + " accepts a TCP connection");
            return true;
        }
        tried += (tried.empty() ? "" : "; ") + text + ": error " + Code(static_cast<DWORD>(lastError));
    }
    fail("connect", kConnect, "no TCP connection: " + tried);
    return false;
}

// ----------------------------------------------------------------------------------------------
// The first page's check

// The first page's check; its verdict, so that a proxy that refuses every request ends the run.
AccessAnswer::Verdict CheckAccess(Report& report, const Address& address) {
    // The first page's own check: a request through the setup's WinINet rules, the proxy of
    // this machine's settings included.
    const AccessAnswer answer = CheckServerAccess(address.accessURL, address.useHttps);
    const std::string request = "a request for " + Utf8(address.accessURL);
    const std::string revocation =
        answer.revocationUnknown ? " (the server certificate's revocation is not known offline, accepted)" : "";
    switch (answer.verdict) {
    case AccessAnswer::Verdict::Answered:
        report.Pass("access", request + " is answered with HTTP status " + std::to_string(answer.httpStatus) +
                                  revocation + ": the first page goes on");
        return answer.verdict;
    case AccessAnswer::Verdict::Reached:
        report.Pass("access", request + " reaches the server, whose certificate or TLS is refused with error " +
                                  Code(answer.error) + revocation +
                                  ": the first page goes on; the transfers meet the refusal (see certificate)");
        return answer.verdict;
    case AccessAnswer::Verdict::ProxyRefused:
        report.Fail("access", kAccess,
                    request + ": Proxy asks for credentials (407), which the setup cannot give: it shows \""
                    "프록시 서버가 인증을 요구하여 업데이트할 서버에 접속할 수 없습니다.\" and stays on its first page; "
                    "unattended it ends with 11 (the proxy refused the request)");
        return answer.verdict;
    case AccessAnswer::Verdict::Unreachable:
        break;
    }
    report.Fail("access", kAccess,
                request + " fails with error " + Code(answer.error) + revocation +
                    ": the setup shows \"업데이트할 서버에 접속할 수 없습니다.\" and stays on its first page");
    return answer.verdict;
}

// ----------------------------------------------------------------------------------------------
// Certificate

std::string Date(const FILETIME& ft) {
    SYSTEMTIME st = {};
    ::FileTimeToSystemTime(&ft, &st);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u", st.wYear, st.wMonth, st.wDay);
    return buffer;
}

std::string Join(const std::vector<std::wstring>& names) {
    std::string out;
    for (const std::wstring& n : names) out += (out.empty() ? "" : ", ") + Utf8(n);
    return out.empty() ? "(none)" : out;
}

// What the setup meets: a request with its own open flags, which forgive only a certificate
// name that does not match. 0 when it passes, else its WinINet error.
DWORD SetupRequestError(const Address& address, bool& revocationUnknown) {
    try {
        // The setup's own request layer, with its rule for a revocation status that cannot be
        // obtained (accepted, once more without the revocation check) and a revoked certificate
        // (refused).
        StallBoundRequest request(StallLimitMs());
        if (!request.IsOpen()) throw CInternetException(::GetLastError());
        try {
            request.Open(address.accessURL.c_str(), 1, TransferOpenFlags(1));
        } catch (const CInternetException&) {
            revocationUnknown = request.RevocationUnknown();
            throw;
        }
        revocationUnknown = request.RevocationUnknown();
        return 0;
    } catch (const CInternetException& e) {
        return e.m_dwError;
    }
}

// The certificate's verdict into its place. The setup's own request (setupError) decides; the
// certificate's details explain it. Run it after every other request to the server: WinINet
// remembers, for the rest of the process, that a connection forgave the certificate's faults.
void JudgeCertificate(Report& report, size_t place, const Address& address, DWORD setupError,
                      bool revocationUnknown) {
    auto fail = [&](int code, const std::string& detail) { report.Fill(place, Verdict::Fail, code, detail); };
    std::string setupSays = setupError ? "the setup's requests fail with error " + Code(setupError)
                                       : std::string("the setup's requests pass");
    if (revocationUnknown)
        setupSays += " (server certificate's revocation not known offline (12057), accepted, as the setup accepts it)";
    if (setupError == ERROR_INTERNET_SEC_CERT_REVOKED) {
        // Whatever the details below would say, the setup refuses a revoked certificate.
        fail(kCertificateTrust, "the server certificate is revoked: " + setupSays);
        return;
    }

    const ServerCertificate cert = FetchServerCertificate(address.hostName, address.port);
    if (!cert.fetched) {
        fail(kCertificateTrust, "no TLS connection: error " + Code(cert.error) + "; " + setupSays);
        return;
    }
    if (!cert.detailed) {
        // Only the certificate's text fields: the setup's own request tells what is wrong.
        const std::string about = "issued to \"" + Utf8(cert.subject) + "\" by \"" + Utf8(cert.issuer) + "\", valid " +
                                  Date(cert.notBefore) + " to " + Date(cert.notAfter) + ": " + setupSays;
        if (setupError == ERROR_INTERNET_SEC_CERT_DATE_INVALID) {
            fail(kCertificateTime, about);
        } else if (setupError) {
            fail(kCertificateTrust, about);
        } else {
            report.Fill(place, Verdict::Pass, kPassed, about);
        }
        return;
    }

    const std::string about = "issued to " + Join(cert.names) + " by \"" + Utf8(cert.issuer) + "\", valid " +
                              Date(cert.notBefore) + " to " + Date(cert.notAfter);
    if (!cert.trusted) {
        fail(kCertificateTrust,
             about + ": the issuer is not trusted on this machine (" + cert.trustProblem + "); " + setupSays);
    } else if (cert.timeValidity != 0) {
        fail(kCertificateTime, about + (cert.timeValidity > 0 ? ": expired; " : ": not valid yet; ") + setupSays);
    } else if (setupError) {
        // The certificate looks right here, and yet the setup's request is refused.
        fail(kCertificateTrust, about + "; " + setupSays);
    } else if (!cert.nameMatches) {
        report.Fill(place, Verdict::Warn, kPassed,
                    about + ": trusted, but it does not name " + Utf8(address.hostName) +
                        "; the setup accepts this (it ignores the certificate's names), other programs may not");
    } else {
        report.Fill(place, Verdict::Pass, kPassed, about + ": trusted, in date, names the host");
    }
}

// ----------------------------------------------------------------------------------------------
// Server files

// Counts the bytes the setup's transfer reports, whichever path carries it.
class CountingCallBack : public URLDownCallBack {
public:
    CountingCallBack() : URLDownCallBack(nullptr, nullptr, 0) {}
    STDMETHODIMP OnProgress(ULONG progress, ULONG maximum, ULONG statusCode, LPCWSTR statusText) override {
        if (statusCode == BINDSTATUS_DOWNLOADINGDATA || statusCode == BINDSTATUS_ENDDOWNLOADDATA) {
            // Our https download reports its total in the maximum at the end.
            const ULONG seen = statusCode == BINDSTATUS_ENDDOWNLOADDATA && progress == 0 ? maximum : progress;
            if (seen > m_bytes) m_bytes = seen;
        }
        return URLDownCallBack::OnProgress(progress, maximum, statusCode, statusText);
    }
    ULONG m_bytes = 0;
};

struct ServerFile {
    const char* name;
    const wchar_t* addressFormat;
    const wchar_t* fileName;
    bool program;  // the setup starts it, after checking its signature
};

const ServerFile kServerFiles[] = {
    {"installer", kActiveXAddressFormat, kActiveXFileName, true},
    {"descriptor", kSiteDescriptorAddressFormat, kSiteDescriptorFileName, false},
    {"updater", kUpdaterAddressFormat, kUpdaterFileName, true},
};

bool IsDecimal(const std::wstring& s) {
    if (s.empty()) return false;
    for (wchar_t c : s) {
        if (c < L'0' || c > L'9') return false;
    }
    return true;
}

bool FileSize(const std::wstring& path, ULONGLONG& size) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// What the setup would decide on a fetched program before starting it, with the lines that
// show why. failCode is kPassed when the setup would start it.
struct ProgramVerdict {
    int failCode = kPassed;
    std::string why;  // for a failure: a few words for the finding's own line
    std::vector<std::string> notes;
};

std::string SignerText(const SignatureCheck& check) {
    return Utf8(check.signerSubject) + " <" + ThumbprintHex(check.signerThumbprint) + ">";
}

// The program's signature through the setup's own check, on the file held open as the setup
// holds it; with pins (--publisher), also the setup's pin rule.
ProgramVerdict CheckProgram(const std::wstring& path, const std::vector<Thumbprint>& pins) {
    ProgramVerdict v;
    const kv::UniqueFile file = HoldProgramFile(path);
    if (!file) {
        const DWORD error = ::GetLastError();
        v.failCode = kInternal;
        v.why = "the fetched program cannot be opened";
        v.notes.push_back("signature: not checked: the fetched file does not open (error " + Code(error) + ")");
        return v;
    }
    const SignatureCheck check = CheckProgramSignature(file.get(), path);
    std::string line;
    switch (check.state) {
        case SignatureState::Unsigned:
            line = "signature: unsigned";
            break;
        case SignatureState::Verified:
            // A verified signature always has its signer: without one it counts as not verified.
            line = "signature: verified, signer " + SignerText(check);
            if (check.revocationUnknown) line += "; whether it is revoked is not known from this machine's cache";
            break;
        case SignatureState::NotVerified:
            line = "signature: does not verify (" + HexCode(static_cast<HRESULT>(check.status)) + ")";
            if (check.hasSigner) line += ", signer " + SignerText(check);
            line += ": the setup removes the program and does not start it";
            v.failCode = kSignature;
            v.why = "its signature does not verify";
            break;
    }
    v.notes.push_back(line);
    if (check.chain.size() > 1) {
        std::string issuers;
        for (size_t i = 1; i < check.chain.size(); ++i)
            issuers += (i > 1 ? ", " : "") + std::string("<") + ThumbprintHex(check.chain[i]) + ">";
        v.notes.push_back("issuers: " + issuers);
    }
    if (pins.empty()) return v;

    // The setup's own rule, worded for the administrator.
    switch (JudgeProgramStart(check, pins)) {
    case StartVerdict::UnsignedWhilePinned:
        v.notes.push_back("pins: FAIL (unsigned: with pins the setup starts only signed programs)");
        break;
    case StartVerdict::NotVerified:
        v.notes.push_back("pins: FAIL (the signature does not verify)");
        break;
    case StartVerdict::SignerNotPinned:
    case StartVerdict::PinsUnreadable:  // not from a command line that parsed
        v.notes.push_back("pins: FAIL (no pinned certificate in the signer's chain)");
        break;
    case StartVerdict::Start: {
        // Which one, so that the administrator sees whether a renewed leaf would still pass.
        const size_t link = *PinnedChainLink(check, pins);
        v.notes.push_back("pins: pass (" +
                          std::string(link == 0 ? "the signer's own certificate <" : "its issuer <") +
                          ThumbprintHex(check.chain[link]) + "> is pinned)");
        return v;
    }
    }
    if (v.failCode == kPassed) {
        v.failCode = kPins;
        v.why = "the pins refuse it";
    }
    return v;
}

// One server file: its answer as this machine sees it, then the setup's own transfer of it into
// target, and for a program its signature. Returns whether target holds what the transfer wrote.
bool CheckServerFile(Report& report, const ServerFile& file, const std::wstring& host, int useHttps,
                     const std::wstring& target, const std::vector<Thumbprint>& pins) {
    const std::wstring address = FormatServerAddress(file.addressFormat, useHttps, host);
    const std::string where = Utf8(address.substr(address.find(L"/app/"))) + ": ";

    DWORD status = 0;
    bool hasLength = false;
    std::wstring length;
    DWORD requestError = 0;
    try {
        CInternetSession session;
        if (!session.IsOpen()) throw CInternetException(::GetLastError());
        std::unique_ptr<CHttpFile> answer = session.OpenURL(address.c_str(), 1, TransferOpenFlags(useHttps));
        if (answer) {
            answer->QueryInfo(HTTP_QUERY_STATUS_CODE, status);
            hasLength = answer->QueryInfo(HTTP_QUERY_CONTENT_LENGTH, length) != FALSE;
        }
    } catch (const CInternetException& e) {
        requestError = e.m_dwError;
    }

    CountingCallBack callback;
    ::DeleteFileW(target.c_str());
    const HRESULT result = FetchServerFile(useHttps, nullptr, address, target, callback);
    ULONGLONG written = 0;
    const bool hasFile = FileSize(target, written);
    const ULONGLONG received = hasFile ? written : callback.m_bytes;

    const std::string got = ", transfer result " + Hex(static_cast<DWORD>(result)) + ", " + std::to_string(received) + " bytes received";
    if (requestError) {
        report.Fail(file.name, kTransfer, where + "the request fails with error " + Code(requestError) + got);
        return hasFile;
    }
    const std::string facts =
        "status " + std::to_string(status) + ", Content-Length " + (hasLength ? Utf8(length) : std::string("none")) + got;
    int failCode = kPassed;
    std::string detail;
    if (status >= 400) {
        failCode = kFileMissing;
        detail = where + "the server answers " + std::to_string(status) + (status == 404 ? " (not found)" : "") + "; " + facts;
    } else if (!hasLength) {
        failCode = kNoContentLength;
        detail = where + "no Content-Length: the setup's size query fails and its progress bar cannot follow; " + facts;
    } else if (!IsDecimal(length)) {
        failCode = kNoContentLength;
        detail = where + "Content-Length \"" + Utf8(length) + "\" is not a number: the setup reads it as " +
                 std::to_string(ContentLengthToSize(length)) + "; " + facts;
    } else if (FAILED(result)) {
        failCode = kTransfer;
        detail = where + "the setup's transfer fails with " + HexCode(result) + "; " + facts;
    } else if (received != std::wcstoull(length.c_str(), nullptr, 10)) {
        failCode = kTransfer;
        detail = where + "other bytes than announced; " + facts;
    } else {
        detail = where + facts;
    }

    std::vector<std::string> notes;
    if (file.program) {
        // What the setup's transfer delivered is what it would check and start; an error page
        // saved in its place is no program to check.
        if (hasFile && SUCCEEDED(result) && status < 400) {
            ProgramVerdict program = CheckProgram(target, pins);
            notes = std::move(program.notes);
            if (failCode == kPassed && program.failCode != kPassed) {
                failCode = program.failCode;
                detail += "; " + program.why;
            }
        } else {
            notes.push_back("signature: not checked: the transfer gave no program");
        }
    }
    report.Add(file.name, failCode == kPassed ? Verdict::Pass : Verdict::Fail, failCode, detail, std::move(notes));
    return hasFile;
}

// ----------------------------------------------------------------------------------------------
// SiteName

bool FileHolds(const std::wstring& path, const char* text) {
    FILE* f = ::_wfopen(path.c_str(), L"rb");
    if (!f) return false;
    std::string bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
    return bytes.find(text) != std::string::npos;
}

void CheckSiteName(Report& report, const std::wstring& descriptor) {
    const SiteNameResult read = ReadSiteName(descriptor);
    if (read.outcome == SiteNameOutcome::OpenFailure) {
        report.Fail("SiteName", kSiteName, "the fetched descriptor cannot be opened (error " + Code(::GetLastError()) + ")");
        return;
    }
    if (read.outcome == SiteNameOutcome::WrongMarkup) {
        report.Fail("SiteName", kSiteName,
                    "the line with <servicename> has no \"<\" after the name: the setup stops with \"Wrong xml___\"");
        return;
    }
    const std::string quoted = "\"" + Utf8(read.siteName) + "\"";
    if (!FileHolds(descriptor, "<servicename>")) {
        report.Fail("SiteName", kSiteName,
                    "the descriptor has no <servicename> line: the setup takes " + quoted + " by its no-tag rule");
        return;
    }
    if (!IsPlainSiteName(read.siteName)) {
        report.Fail("SiteName", kSiteName,
                    quoted + " is not a plain folder name (it holds \\ / : * ? \" < > | or a control character, is "
                             "\".\" or \"..\", ends in a dot or a blank, or is a device name such as CON or COM1): "
                             "the setup stops with \"Invalid SiteName___\"");
        return;
    }
    if (read.siteName.empty()) {
        report.Warn("SiteName", "empty: the setup puts the site's files into the KestrelVAULT folder itself");
        return;
    }
    report.Pass("SiteName", quoted + ": the site folder is KestrelVAULT\\" + Utf8(read.siteName) + " under Program Files");
}

// ----------------------------------------------------------------------------------------------

// A folder of our own for the fetched files, removed with them at the end.
class WorkFolder {
public:
    WorkFolder() {
        m_path = GetTempDirectory() + L"\\kvcheck-" + std::to_wstring(::GetCurrentProcessId());
        m_made = ::CreateDirectoryW(m_path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
    }
    ~WorkFolder() {
        for (const ServerFile& f : kServerFiles) ::DeleteFileW(File(f.fileName).c_str());
        ::RemoveDirectoryW(m_path.c_str());
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    bool Made() const { return m_made; }
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
    bool m_made = false;
};

struct UsageError {
    std::string message;
};

struct Options {
    std::wstring host;
    int useHttps = 0;
    bool help = false;
    std::vector<Thumbprint> pins;  // --publisher
};

Options ParseArgs(int argc, wchar_t** argv) {
    Options o;
    bool haveHost = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--https") {
            o.useHttps = 1;
        } else if (a == L"--http") {
            o.useHttps = 0;
        } else if (a == L"-h" || a == L"--help" || a == L"/?") {
            o.help = true;
        } else if (a == L"--publisher") {
            if (i + 1 >= argc) throw UsageError{"--publisher needs a SHA-256 thumbprint"};
            const std::wstring text = argv[++i];
            const std::optional<Thumbprint> pin = kvtools::ParseThumbprintText(text);
            if (!pin) throw UsageError{"--publisher \"" + Utf8(text) + "\" is not a SHA-256 thumbprint (64 hex digits)"};
            if (std::find(o.pins.begin(), o.pins.end(), *pin) != o.pins.end())
                throw UsageError{"--publisher " + ThumbprintHex(*pin) + " is given twice"};
            if (o.pins.size() == kMaxPublisherPins)
                throw UsageError{"more than " + std::to_string(kMaxPublisherPins) + " --publisher pins (the setup holds at most that many)"};
            o.pins.push_back(*pin);
        } else if (a.size() > 1 && a[0] == L'-') {
            throw UsageError{"unknown option " + Utf8(a)};
        } else if (haveHost) {
            throw UsageError{"more than one HOST"};
        } else {
            o.host = a;
            haveHost = true;
        }
    }
    if (o.help) return o;
    if (!haveHost) throw UsageError{"no HOST"};
    // Blanks around the host go, as the first page trims its host box; a scheme in front of it
    // wins over --https and leaves the host, as on the first page.
    o.host = Trim(o.host);
    const SchemeAndHost named = SplitSchemePrefix(o.host);
    if (named.named) {
        o.useHttps = named.useHttps;
        o.host = Trim(named.host);
    }
    if (o.host.empty()) throw UsageError{"HOST is empty"};
    return o;
}

int Run(const Options& o) {
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        Write(stderr, "kvcheck: Winsock does not start\n");
        return kInternal;
    }
    WorkFolder work;
    if (!work.Made()) {
        Write(stderr, "kvcheck: cannot create the folder " + Utf8(work.Path()) + "\n");
        return kInternal;
    }

    Write(stdout, "kvcheck: the server as the setup reaches it with \"" + Utf8(o.host) + "\" over " +
                      (o.useHttps == 1 ? "https" : "http") + "\n");
    for (const Thumbprint& pin : o.pins) Write(stdout, "Publisher pin: <" + ThumbprintHex(pin) + ">\n");
    Write(stdout, "\n");
    Report report;
    Address address;
    if (!CheckAddress(report, o.host, o.useHttps, address)) {
        for (const char* name : {"name", "connect", "access", "certificate", "installer", "descriptor", "updater", "SiteName"})
            report.Skip(name, "no usable address");
        return report.Summarise();
    }
    const std::wstring proxy = ConfiguredProxy();
    if (!proxy.empty()) Write(stdout, "[INFO] proxy        the setup's requests go through " + Utf8(proxy) + "\n");

    const bool connected = CheckNameAndConnect(report, address, !proxy.empty()) || !proxy.empty();
    const AccessAnswer::Verdict access = CheckAccess(report, address);
    if (access == AccessAnswer::Verdict::ProxyRefused) {
        // Every request of the setup meets the same 407; and a certificate cannot be read
        // through a tunnel the proxy never opened.
        for (const char* name : {"certificate", "installer", "descriptor", "updater", "SiteName"})
            report.Skip(name, "the proxy asks for credentials (407)");
        return report.Summarise();
    }
    if (!connected) {
        for (const char* name : {"certificate", "installer", "descriptor", "updater", "SiteName"})
            report.Skip(name, "no connection to the server");
        return report.Summarise();
    }
    size_t certificate = SIZE_MAX;
    DWORD setupError = 0;
    bool revocationUnknown = false;
    if (o.useHttps == 1) {
        setupError = SetupRequestError(address, revocationUnknown);
        certificate = report.Reserve("certificate");
    } else {
        report.Skip("certificate", "http: no certificate");
    }

    bool haveDescriptor = false;
    for (const ServerFile& file : kServerFiles) {
        const bool fetched =
            CheckServerFile(report, file, o.host, o.useHttps, work.File(file.fileName), o.pins);
        if (file.fileName == kSiteDescriptorFileName) haveDescriptor = fetched;
    }
    if (haveDescriptor) {
        CheckSiteName(report, work.File(kSiteDescriptorFileName));
    } else {
        report.Skip("SiteName", "the setup's transfer gave no descriptor to read");
    }
    if (certificate != SIZE_MAX) JudgeCertificate(report, certificate, address, setupError, revocationUnknown);
    return report.Summarise();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    try {
        o = ParseArgs(argc, argv);
    } catch (const UsageError& e) {
        Write(stderr, "kvcheck: " + e.message + "\n\n" + kUsage);
        return kUsageError;
    }
    if (o.help) {
        Write(stdout, kUsage);
        return kPassed;
    }
    // No COM initialisation: the setup's worker thread has none either when it transfers.
    return Run(o);
}
