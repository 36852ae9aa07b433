// How long a transfer may go without receiving a byte before it gives up (the stall limit),
// and how the transfers keep to it where the platform has no time-out that does: a watchdog
// that acts from another thread, a call run on a thread that the caller may leave behind, and
// on top of these a WinINet request and a moniker callback that give up after the limit.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

// Calls onStall once, on a thread of its own, when limitMs pass without a Touch (counted from
// construction). Stop (or destruction) ends the watch and waits for that thread.
class StallWatchdog {
public:
    StallWatchdog(DWORD limitMs, std::function<void()> onStall);
    StallWatchdog(const StallWatchdog&) = delete;
    StallWatchdog& operator=(const StallWatchdog&) = delete;
    ~StallWatchdog() { Stop(); }

    // Something arrived: the limit counts from now.
    void Touch();
    void Stop();
    // Whether the limit passed (onStall has been called or is running).
    bool Fired();

private:
    void Watch();

    const std::chrono::milliseconds m_limit;
    std::function<void()> m_onStall;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::chrono::steady_clock::time_point m_last;
    bool m_stop = false;
    bool m_fired = false;
    std::thread m_thread;
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

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    const DWORD m_limitMs;
};

// Stops a moniker download that has received nothing for the stall limit: urlmon has no receive
// time-out of its own, and IBinding::Abort from another thread is what ends a binding there
// (the download then returns E_ABORT; under Wine its own worker stays blocked behind it). It
// stands between the download and `inner`, to which every call goes on unchanged (and every
// interface it lacks, such as IHttpNegotiate, is asked of), and lives on the stack for one
// synchronous download, so it counts no references.
class StallGuard : public IBindStatusCallback {
public:
    StallGuard(IBindStatusCallback& inner, DWORD limitMs);
    StallGuard(const StallGuard&) = delete;
    StallGuard& operator=(const StallGuard&) = delete;
    ~StallGuard();

    // Whether the limit passed before the download ended; ends the watch.
    bool Stalled();
    // Whether any of the body came (the moniker download writes its target as it comes).
    bool DataCame() const { return m_dataCame; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnStartBinding(DWORD reserved, IBinding* binding) override;
    STDMETHODIMP GetPriority(LONG* priority) override { return m_inner.GetPriority(priority); }
    STDMETHODIMP OnLowResource(DWORD reserved) override { return m_inner.OnLowResource(reserved); }
    STDMETHODIMP OnProgress(ULONG progress, ULONG maximum, ULONG statusCode, LPCWSTR statusText) override;
    STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR error) override;
    STDMETHODIMP GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) override {
        return m_inner.GetBindInfo(bindFlags, bindInfo);
    }
    STDMETHODIMP OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP OnObjectAvailable(REFIID riid, IUnknown* object) override {
        return m_inner.OnObjectAvailable(riid, object);
    }

private:
    void AbortBinding();
    void ReleaseBinding();

    IBindStatusCallback& m_inner;
    std::mutex m_lock;
    IBinding* m_binding = nullptr;
    bool m_aborted = false;
    bool m_dataCame = false;
    StallWatchdog m_watchdog;  // last: its thread may call AbortBinding until it is stopped
};
