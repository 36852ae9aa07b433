// How long a transfer may go without receiving a byte before it gives up (the stall limit),
// and how the transfers keep to it where the platform has no time-out that does: a call run on
// a thread that the caller may leave behind, and on top of it a WinINet request that gives up
// after the limit.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>

class CHttpFile;

// The machine's policy: REG_DWORD "StallTimeoutSeconds" under
// HKEY_LOCAL_MACHINE\SOFTWARE\Policies\KestrelVAULT\Setup in the native registry view,
// 5 to 3600; a missing value, another type or another number gives 60.
DWORD StallLimitSeconds();

// The limit the transfers apply, in milliseconds: the policy's, or the one a test set.
DWORD StallLimitMs();

// Test seam: while ms is not 0, StallLimitMs gives ms instead of the policy (which allows no
// less than 5 s). 0 restores the policy.
void SetStallLimitForTesting(DWORD ms);

// Test seam for the server certificate's revocation check, which Wine never makes: while error
// is not 0, every request whose handle did not take SECURITY_FLAG_IGNORE_REVOCATION fails with
// error (ERROR_INTERNET_SEC_CERT_REV_FAILED, ERROR_INTERNET_SEC_CERT_REVOKED) in place of its
// answer, as Windows fails it; a request that took the flag keeps the platform's answer.
// 0 restores the real platform.
void SetRevocationAnswerForTesting(DWORD error);

// The floor under a transfer's rate, the machine's policy: REG_DWORD
// "MinimumRateBytesPerSecond" under the stall limit's key, 0 (no floor) to 1048576; a missing
// value, another type or another number gives 1024.
DWORD MinimumRateBytesPerSecond();

// A transfer's rate over its last window: a transfer whose window has passed once and that
// received less than the floor's worth in the last window is too slow to go on. Bytes
// received at the same millisecond count in one entry; entries older than the window go.
class RateFloor {
public:
    // floor 0: never too slow. started: when the transfer began, on the clock of Received.
    RateFloor(DWORD bytesPerSecond, ULONGLONG startedMs, DWORD windowMs = 60000);
    // bytes received at nowMs (0 to ask without a receipt). True when the transfer has run a
    // whole window and the bytes of the last window stay under the floor.
    bool Received(ULONGLONG nowMs, ULONG bytes);

private:
    DWORD m_floor;
    ULONGLONG m_started;
    DWORD m_window;
    ULONGLONG m_inWindow = 0;
    std::deque<std::pair<ULONGLONG, ULONG>> m_receipts;
};

// Runs call on a thread of its own and waits up to limitMs for it to return. True when it did.
// False leaves that thread behind to end whenever call returns: call must therefore own
// (by value or shared_ptr) everything it touches, and nothing it touches may belong to the
// caller. Used for the platform calls that neither a time-out nor closing their handles from
// another thread can end.
bool RunAbandonable(std::function<void()> call, DWORD limitMs);

// One WinINet GET whose every wait ends after the stall limit, with CInternetException
// (ERROR_INTERNET_TIMEOUT): connecting, the TLS handshake, sending, the answer's headers and
// each block of the body. It owns its root handle (the settings of CInternetSession) and the
// answer. Under Wine the receive time-out that ends a silent answer must be given to each
// request handle as it is created, and a stalled TLS handshake ends by nothing at all: the
// request is therefore opened on a thread of its own that is left behind when the limit passes,
// and that thread shares only the root handle and the answer with this object (whichever lets
// go last closes them).
// A request refused because its server certificate's revocation could not be checked
// (ERROR_INTERNET_SEC_CERT_REV_FAILED) is sent once more with SECURITY_FLAG_IGNORE_REVOCATION and,
// when that one is answered, logged as accepted in the scope "ServerCertificate"; when it is
// refused too, the request fails with that second error. A revoked certificate
// (ERROR_INTERNET_SEC_CERT_REVOKED) fails the request like any other certificate fault.
class StallBoundRequest {
public:
    explicit StallBoundRequest(DWORD limitMs);
    StallBoundRequest(const StallBoundRequest&) = delete;
    StallBoundRequest& operator=(const StallBoundRequest&) = delete;
    ~StallBoundRequest();

    // False when the root handle could not be opened; GetLastError then tells why.
    bool IsOpen() const;
    // As CInternetSession::OpenURL: the answer (owned here), null for one that is no HTTP
    // answer; a failure raises CInternetException. Once per object. headers (CR LF ended
    // lines, may be empty) go with the request.
    CHttpFile* Open(const wchar_t* url, DWORD_PTR context, DWORD flags, const std::wstring& headers = std::wstring());
    // A block of the answer's body, as CHttpFile::Read.
    UINT Read(CHttpFile& file, void* buffer, UINT count);
    // Whether Open accepted a certificate whose revocation could not be checked (and got an answer).
    bool RevocationUnknown() const { return m_revocationUnknown; }

private:
    // One try of Open: 0, or the WinINet error it failed with (the answer is in m_shared).
    DWORD OpenOnce(const wchar_t* url, DWORD_PTR context, DWORD flags, const std::wstring& headers,
                   bool ignoreRevocation);

    struct Shared;
    std::shared_ptr<Shared> m_shared;
    const DWORD m_limitMs;
    bool m_revocationUnknown = false;
};
