#include "install/StallLimit.h"

#include <wininet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "framework/handle.h"
#include "framework/inet.h"
#include "install/LogScopes.h"
#include "tracelog/FuncTrace.h"

namespace {

const wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\KestrelVAULT\\Setup";
const wchar_t kPolicyValue[] = L"StallTimeoutSeconds";
const DWORD kDefaultSeconds = 60;
const DWORD kLeastSeconds = 5;
const DWORD kMostSeconds = 3600;
const wchar_t kRateValue[] = L"MinimumRateBytesPerSecond";
const DWORD kDefaultRate = 1024;
const DWORD kMostRate = 1048576;

std::atomic<DWORD> g_testLimitMs{0};

// Whether a call that began at `started` has waited out the limit. The platform's own
// time-outs end a call a little after the limit, never before it; the slack covers their
// coarser clock.
bool LimitPassed(std::chrono::steady_clock::time_point started, DWORD limitMs) {
    return std::chrono::steady_clock::now() - started + std::chrono::milliseconds(50) >= std::chrono::milliseconds(limitMs);
}

// The receive time-out for the handles that this thread's request is making; 0: none of ours.
thread_local DWORD t_receiveTimeoutMs = 0;
// Whether this thread's request is the second try of a server whose certificate's revocation
// could not be checked; and whether its request handle took the flag that skips the check.
thread_local bool t_ignoreRevocation = false;
thread_local bool t_revocationIgnored = false;

std::atomic<DWORD> g_testRevocationAnswer{0};

// The security flags of a request handle, or false for a handle that has none (the connection's).
bool SecurityFlags(HINTERNET handle, DWORD& flags) {
    DWORD size = sizeof(flags);
    return ::InternetQueryOptionW(handle, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size) != FALSE;
}

// Wine honours a receive time-out only on the handles of the request itself, and those that
// InternetOpenUrlW makes start without one: each gets the limit as it is created, before
// anything is sent.
void CALLBACK GiveReceiveTimeout(HINTERNET, DWORD_PTR, DWORD status, LPVOID info, DWORD length) {
    // The new handle comes first (dwResult); Wine passes only that much.
    if (status != INTERNET_STATUS_HANDLE_CREATED || !t_receiveTimeoutMs || !info || length < sizeof(DWORD_PTR))
        return;
    DWORD ms = t_receiveTimeoutMs;
    const auto* created = static_cast<const INTERNET_ASYNC_RESULT*>(info);
    const HINTERNET handle = reinterpret_cast<HINTERNET>(created->dwResult);
    ::InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof(ms));
    // InternetOpenUrlW sends as soon as it has made the request handle, and a request that
    // fails gives no handle to set an option on and send again: the retry's flag goes onto
    // the new request's handle here, before its first byte leaves.
    DWORD flags = 0;
    if (!t_ignoreRevocation || !SecurityFlags(handle, flags)) return;
    flags |= SECURITY_FLAG_IGNORE_REVOCATION;
    if (::InternetSetOptionW(handle, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)) &&
        SecurityFlags(handle, flags) && (flags & SECURITY_FLAG_IGNORE_REVOCATION))
        t_revocationIgnored = true;
}

}  // namespace

// The policy's REG_DWORD `name`, or fallback when it is missing, of another type or outside
// least .. most.
static DWORD PolicyDword(const wchar_t* name, DWORD least, DWORD most, DWORD fallback) {
    // A 32-bit program on a 64-bit system would otherwise read the redirected view, where an
    // administrator's policy tools do not write.
    kv::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return fallback;
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data) || data < least || data > most)
        return fallback;
    return data;
}

DWORD StallLimitSeconds() { return PolicyDword(kPolicyValue, kLeastSeconds, kMostSeconds, kDefaultSeconds); }

DWORD MinimumRateBytesPerSecond() { return PolicyDword(kRateValue, 0, kMostRate, kDefaultRate); }

RateFloor::RateFloor(DWORD bytesPerSecond, ULONGLONG startedMs, DWORD windowMs)
    : m_floor(bytesPerSecond), m_started(startedMs), m_window(windowMs) {}

bool RateFloor::Received(ULONGLONG nowMs, ULONG bytes) {
    if (!m_floor) return false;
    if (bytes) {
        if (!m_receipts.empty() && m_receipts.back().first == nowMs)
            m_receipts.back().second += bytes;
        else
            m_receipts.emplace_back(nowMs, bytes);
        m_inWindow += bytes;
    }
    while (!m_receipts.empty() && m_receipts.front().first + m_window <= nowMs) {
        m_inWindow -= m_receipts.front().second;
        m_receipts.pop_front();
    }
    if (nowMs < m_started + m_window) return false;
    return m_inWindow * 1000 < static_cast<ULONGLONG>(m_floor) * m_window;
}

DWORD StallLimitMs() {
    if (const DWORD ms = g_testLimitMs) return ms;
    return StallLimitSeconds() * 1000;
}

void SetStallLimitForTesting(DWORD ms) { g_testLimitMs = ms; }

void SetRevocationAnswerForTesting(DWORD error) { g_testRevocationAnswer = error; }

bool RunAbandonable(std::function<void()> call, DWORD limitMs) {
    struct Done {
        std::mutex lock;
        std::condition_variable ended;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    // The thread holds its own reference to everything, as the caller may be long gone when it
    // ends. What call captured is released before the caller hears of the end, so a caller that
    // waited in time is left as the only owner of what it shared with call.
    auto body = std::make_shared<std::function<void()>>(std::move(call));
    try {
        std::thread([body, done]() mutable {
            (*body)();
            body.reset();
            {
                std::lock_guard<std::mutex> lock(done->lock);
                done->done = true;
            }
            done->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the call runs here, without a limit, rather than not at all.
        (*body)();
        return true;
    }
    body.reset();
    std::unique_lock<std::mutex> lock(done->lock);
    return done->ended.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return done->done; });
}

// The root handle and the answer, shared with the thread that opens the request; declared in
// this order so that the answer is closed first.
struct StallBoundRequest::Shared {
    CInternetSession session;
    std::unique_ptr<CHttpFile> file;
    DWORD error = 0;  // the WinINet error of the open, 0 when it gave an answer (or no HTTP one)
};

namespace {
// Windows fails a request with this error when the certificate's revocation list or responder
// cannot be reached, as on intranets and offline machines; one known to be revoked fails with
// ERROR_INTERNET_SEC_CERT_REVOKED, which stays a refusal.
bool RevocationNotKnown(DWORD error) { return error == ERROR_INTERNET_SEC_CERT_REV_FAILED; }
}  // namespace

StallBoundRequest::StallBoundRequest(DWORD limitMs) : m_shared(std::make_shared<Shared>()), m_limitMs(limitMs) {
    if (!m_shared->session.IsOpen()) return;
    // Connecting is bounded by the root handle's time-out (which Wine honours); receiving and
    // sending where the request handles inherit the root's (Wine's do not: GiveReceiveTimeout).
    const HINTERNET root = m_shared->session.GetHandle();
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT}) {
        DWORD ms = limitMs;
        ::InternetSetOptionW(root, option, &ms, sizeof(ms));
    }
    ::InternetSetStatusCallbackW(root, GiveReceiveTimeout);
}

StallBoundRequest::~StallBoundRequest() = default;

bool StallBoundRequest::IsOpen() const { return m_shared->session.IsOpen(); }

CHttpFile* StallBoundRequest::Open(const wchar_t* url, DWORD_PTR context, DWORD flags, const std::wstring& headers) {
    // The rule the program's signature check follows for code: a revocation status that
    // cannot be obtained is accepted, and said so in the log; a revoked certificate is not.
    const DWORD error = OpenOnce(url, context, flags, headers, false);
    if (!RevocationNotKnown(error)) {
        if (error) throw CInternetException(error);
        return m_shared->file.get();
    }
    // Said in the log only once the certificate was accepted: a second refusal (Wine reports
    // an untrusted issuer first this way) is the request's own failure, with its own error.
    if (const DWORD again = OpenOnce(url, context, flags, headers, true)) throw CInternetException(again);
    m_revocationUnknown = true;
    FuncTrace trace(logscope::kServerCertificate);
    trace.Log("%S: server certificate's revocation not known offline (%d), accepted", url, static_cast<int>(error));
    return m_shared->file.get();
}

DWORD StallBoundRequest::OpenOnce(const wchar_t* url, DWORD_PTR context, DWORD flags, const std::wstring& headers,
                                  bool ignoreRevocation) {
    const auto started = std::chrono::steady_clock::now();
    const DWORD limitMs = m_limitMs;
    m_shared->file.reset();
    m_shared->error = 0;
    const bool ended = RunAbandonable(
        [shared = m_shared, address = std::wstring(url), context, flags, headers, limitMs, ignoreRevocation] {
            t_receiveTimeoutMs = limitMs;
            t_ignoreRevocation = ignoreRevocation;
            t_revocationIgnored = false;
            try {
                shared->file = shared->session.OpenURL(address.c_str(), context, flags,
                                                       headers.empty() ? nullptr : headers.c_str());
                // The test's stand-in for Windows' revocation check, which Wine does not make:
                // the answer of a request whose handle did not take the flag is replaced.
                if (const DWORD answer = g_testRevocationAnswer) {
                    if (!t_revocationIgnored) {
                        shared->file.reset();
                        shared->error = answer;
                    }
                }
            } catch (const CInternetException& e) {
                shared->error = e.m_dwError ? e.m_dwError : ERROR_INTERNET_INTERNAL_ERROR;
                if (g_testRevocationAnswer && !t_revocationIgnored) shared->error = g_testRevocationAnswer;
            } catch (const std::bad_alloc&) {
                shared->error = ERROR_NOT_ENOUGH_MEMORY;
            }
            t_receiveTimeoutMs = 0;
            t_ignoreRevocation = false;
        },
        limitMs);
    if (!ended) return ERROR_INTERNET_TIMEOUT;
    if (const DWORD error = m_shared->error) {
        // The receive time-out ends a silent answer by itself, with the platform's code for a
        // failed receive (Wine: 12030 over https, 10060 over http).
        if (LimitPassed(started, limitMs) && !RevocationNotKnown(error)) return ERROR_INTERNET_TIMEOUT;
        return error;
    }
    return 0;
}

UINT StallBoundRequest::Read(CHttpFile& file, void* buffer, UINT count) {
    // The request handle's receive time-out bounds each receive, so a body that keeps coming,
    // however slowly, is read to its end; a read it ends is the stall it reports. A read waits
    // to fill its buffer, and one that a trickle of bytes never fills would end as a stall with
    // bytes received: the read asks only for what has come (the wait for the first byte is the
    // one the limit bounds).
    const auto started = std::chrono::steady_clock::now();
    try {
        DWORD available = 0;
        if (!::InternetQueryDataAvailable(file.GetHandle(), &available, 0, 0))
            throw CInternetException(::GetLastError());
        if (available && available < count) count = available;
        return file.Read(buffer, count);
    } catch (const CInternetException&) {
        if (LimitPassed(started, m_limitMs)) throw CInternetException(ERROR_INTERNET_TIMEOUT);
        throw;
    }
}
