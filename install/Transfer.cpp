#include "install/Transfer.h"

#include <wininet.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "framework/handle.h"
#include "framework/inet.h"
#include "install/URLDownCallBack.h"
#include "install/LogScopes.h"
#include "install/StallLimit.h"
#include "tracelog/FuncTrace.h"

namespace {

// The framework's default transfer type; it changes nothing for HTTP, but it is what the log
// reports. Nothing goes into WinINet's cache: every transfer is preceded by a purge of the
// address's entry anyway, and writing a second copy of the body there costs as much again as
// the transfer's own write.
const DWORD kOpenFlagsHttp = INTERNET_FLAG_TRANSFER_ASCII | INTERNET_FLAG_NO_CACHE_WRITE;
// Only the host-name check is relaxed: the servers' certificates often name another host
// than the address the user typed. Expired and untrusted certificates still fail.
const DWORD kOpenFlagsHttps = kOpenFlagsHttp | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;

// What a size query asks WinINet for: its scheme's flags, and on an http address the https
// rule as well, since a server that redirects to https must meet the same certificate rule
// there as a typed https address (the flag does nothing over http). The log keeps the scheme's
// flags, which say which rule the address itself gets.
DWORD RequestFlags(DWORD schemeFlags) { return schemeFlags | INTERNET_FLAG_IGNORE_CERT_CN_INVALID; }
const DWORD_PTR kRequestContext = 1;

// The size query asks for the first byte only: the size then comes from the range answer's
// total, and closing the answer leaves at most that byte for WinINet to read off the
// connection (Wine's WinINet reads an unread body to its end before it lets go of a request).
const wchar_t kFirstByteOnly[] = L"Range: bytes=0-0\r\n";
const DWORD kStatusRangeNotSatisfiable = 416;

// The size an answer to the size query announces: from the total of its Content-Range when it
// answers the range (206, or 416 for an empty file), from its Content-Length when it ignored the
// range. FALSE, with the error to log, when it announces none.
BOOL AnnouncedSize(const CHttpFile& file, int& size, DWORD& error) {
    DWORD status = 0;
    file.QueryInfo(HTTP_QUERY_STATUS_CODE, status);
    const bool answersRange = status == HTTP_STATUS_PARTIAL_CONTENT || status == kStatusRangeNotSatisfiable;
    std::wstring text;
    if (!file.QueryInfo(answersRange ? HTTP_QUERY_CONTENT_RANGE : HTTP_QUERY_CONTENT_LENGTH, text)) {
        error = ::GetLastError();
        return FALSE;
    }
    if (!answersRange) {
        size = ContentLengthToSize(text);
        return TRUE;
    }
    // A range answer's own Content-Length is the part's, never the file's.
    if (!ContentRangeTotal(text, size)) {
        error = ERROR_HTTP_HEADER_NOT_FOUND;
        return FALSE;
    }
    return TRUE;
}
const DWORD kBlockSize = 65535;

const HRESULT kNoFileObject = static_cast<HRESULT>(0x80000961);

// The failure result for a Windows or WinINet error code.
HRESULT ErrorResult(DWORD error) { return static_cast<HRESULT>(0x80000000u | (error & 0xFFFFu)); }

bool IsEmpty(const wchar_t* text) { return !text || !*text; }

// The local target of one https download. Until Commit, destruction closes the file and
// deletes it, so every failure exit leaves no partial file behind.
class LocalTarget {
public:
    explicit LocalTarget(const wchar_t* path) : m_path(path) {}
    LocalTarget(const LocalTarget&) = delete;
    LocalTarget& operator=(const LocalTarget&) = delete;
    ~LocalTarget() {
        if (m_committed || !m_opened) return;
        m_file.reset();
        ::DeleteFileW(m_path);
    }

    // Created, or emptied when it exists, with no sharing. FALSE with GetLastError set.
    BOOL Open() {
        m_file.reset(::CreateFileW(m_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        m_opened = static_cast<bool>(m_file);
        return m_opened ? TRUE : FALSE;
    }

    // Windows error code, 0 on success. A short write is a full disk.
    DWORD Write(const void* data, DWORD count) {
        DWORD written = 0;
        if (!::WriteFile(m_file.get(), data, count, &written, nullptr)) return ErrorOrFault();
        return written == count ? 0 : ERROR_DISK_FULL;
    }

    // Windows error code, 0 on success; a failed close leaves the file to be deleted.
    DWORD Close() {
        HANDLE h = m_file.release();
        return ::CloseHandle(h) ? 0 : ErrorOrFault();
    }

    void Commit() { m_committed = true; }

private:
    static DWORD ErrorOrFault() {
        const DWORD error = ::GetLastError();
        return error ? error : ERROR_WRITE_FAULT;
    }

    const wchar_t* m_path;
    kv::UniqueFile m_file;
    bool m_opened = false;
    bool m_committed = false;
};

// Cuts the file at length. FALSE with GetLastError set when it cannot.
BOOL TruncateFile(const wchar_t* path, ULONG length) {
    kv::UniqueFile file(::CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return FALSE;
    LARGE_INTEGER at;
    at.QuadPart = length;
    return ::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.get());
}

// The moniker download answers S_OK (under Wine at least) for an error status, for a body cut
// short of its Content-Length and for one that runs past it, and writes what it got. This
// callback stands between it and the caller's to see the status and the byte counts; every
// call of IBindStatusCallback goes on to the caller's callback unchanged. It also answers the
// download's certificate questions, which arise only where the server redirected the http
// address to https, with the https path's rule. It lives on the stack for one synchronous
// download, so it counts no references.
class MonikerWatch : public IBindStatusCallback, public IHttpNegotiate, public IServiceProvider, public IHttpSecurity {
public:
    explicit MonikerWatch(IBindStatusCallback& inner) : m_inner(inner) {}
    MonikerWatch(const MonikerWatch&) = delete;
    MonikerWatch& operator=(const MonikerWatch&) = delete;
    ~MonikerWatch() { ReleaseBinding(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IBindStatusCallback) {
            *ppv = static_cast<IBindStatusCallback*>(this);
        } else if (riid == IID_IHttpNegotiate) {
            *ppv = static_cast<IHttpNegotiate*>(this);
        } else if (riid == IID_IServiceProvider) {
            *ppv = static_cast<IServiceProvider*>(this);
        } else if (riid == IID_IHttpSecurity) {
            *ppv = static_cast<IHttpSecurity*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP OnStartBinding(DWORD reserved, IBinding* binding) override {
        ReleaseBinding();
        m_binding = binding;
        if (m_binding) m_binding->AddRef();
        return m_inner.OnStartBinding(reserved, binding);
    }
    STDMETHODIMP GetPriority(LONG* priority) override { return m_inner.GetPriority(priority); }
    STDMETHODIMP OnLowResource(DWORD reserved) override { return m_inner.OnLowResource(reserved); }
    STDMETHODIMP OnProgress(ULONG progress, ULONG maximum, ULONG statusCode, LPCWSTR statusText) override {
        if (statusCode == BINDSTATUS_ENDDOWNLOADDATA) {
            m_ended = true;
            m_received = progress;
            m_announced = maximum;
        }
        return m_inner.OnProgress(progress, maximum, statusCode, statusText);
    }
    STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR error) override {
        ReleaseBinding();
        return m_inner.OnStopBinding(result, error);
    }
    STDMETHODIMP GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) override {
        return m_inner.GetBindInfo(bindFlags, bindInfo);
    }
    STDMETHODIMP OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format, STGMEDIUM* medium) override {
        return m_inner.OnDataAvailable(flags, size, format, medium);
    }
    STDMETHODIMP OnObjectAvailable(REFIID riid, IUnknown* object) override {
        return m_inner.OnObjectAvailable(riid, object);
    }

    // No headers of our own.
    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) override {
        if (additionalHeaders) *additionalHeaders = nullptr;
        return S_OK;
    }
    // An error page is no file, nor is a connection closed without any answer (the status 0
    // here): the binding is stopped before anything reaches the target, so an earlier copy
    // survives, as on the https path.
    STDMETHODIMP OnResponse(DWORD status, LPCWSTR, LPCWSTR, LPWSTR* additionalHeaders) override {
        if (additionalHeaders) *additionalHeaders = nullptr;
        m_responded = true;
        m_status = status;
        if (!Answered() && m_binding) m_binding->Abort();
        return S_OK;
    }

    // The download looks for the certificate questions' answerer as a service of the callback.
    STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (service != IID_IHttpSecurity) return E_NOINTERFACE;
        return QueryInterface(riid, ppv);
    }
    // No window: nothing of the download may ask the user.
    STDMETHODIMP GetWindow(REFGUID, HWND* window) override {
        if (window) *window = nullptr;
        return S_FALSE;
    }
    // The https path's rule: a certificate for another host name is accepted; every other
    // problem (untrusted issuer, outside its dates, ...) gets the platform's own handling, as
    // before this callback answered, which refuses it.
    STDMETHODIMP OnSecurityProblem(DWORD problem) override {
        return problem == ERROR_INTERNET_SEC_CERT_CN_INVALID ? S_OK : S_FALSE;
    }

    // False once the server answered with an error status, or with none at all.
    bool Answered() const { return !m_responded || (m_status >= 100 && m_status < 400); }
    // Whether the download reported its end with a Content-Length (0 when there was none).
    bool Measured() const { return m_ended && m_announced > 0; }
    ULONG Received() const { return m_received; }
    ULONG Announced() const { return m_announced; }

private:
    void ReleaseBinding() {
        if (m_binding) m_binding->Release();
        m_binding = nullptr;
    }

    IBindStatusCallback& m_inner;
    IBinding* m_binding = nullptr;
    bool m_responded = false;
    DWORD m_status = 0;
    bool m_ended = false;
    ULONG m_received = 0;
    ULONG m_announced = 0;
};

// Whether path is a file of at least `bytes` bytes.
bool HoldsAtLeast(const wchar_t* path, ULONG bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    return data.nFileSizeHigh != 0 || data.nFileSizeLow >= bytes;
}

// URLDownloadToFileW with the results the https path gives for the same answers: an error
// status, or no answer at all, is INET_E_DOWNLOAD_FAILURE with the target untouched, a body short of its
// Content-Length removes the target and gives ERROR_INTERNET_CONNECTION_RESET, and bytes past
// the Content-Length are cut off, as they are no part of the file.
HRESULT DownloadByMoniker(const wchar_t* address, const wchar_t* localTarget, IBindStatusCallback& callback) {
    MonikerWatch watch(callback);
    StallGuard guard(watch, StallLimitMs());
    const HRESULT result = ::URLDownloadToFileW(nullptr, address, localTarget, 0, &guard);
    // A download that ended on its own just as the limit passed keeps its result. The moniker
    // download writes the target as the data comes: once some came, what is there is a part.
    if (guard.Stalled() && FAILED(result)) {
        if (guard.DataCame()) ::DeleteFileW(localTarget);
        return ErrorResult(ERROR_INTERNET_TIMEOUT);
    }
    if (!watch.Answered()) {
        // Only when the stop came too late to keep the page out of the target.
        if (SUCCEEDED(result)) ::DeleteFileW(localTarget);
        return INET_E_DOWNLOAD_FAILURE;
    }
    // The moniker download fetches into the internet cache and then copies the finished file to
    // the target, and Wine answers S_OK even when that copy fails, as on a full disk: a target
    // missing or shorter than what arrived is no file.
    if (SUCCEEDED(result) && !HoldsAtLeast(localTarget, watch.Received())) {
        ::DeleteFileW(localTarget);
        return ErrorResult(ERROR_WRITE_FAULT);
    }
    if (FAILED(result) || !watch.Measured() || watch.Received() == watch.Announced()) return result;
    if (watch.Received() < watch.Announced()) {
        ::DeleteFileW(localTarget);
        return ErrorResult(ERROR_INTERNET_CONNECTION_RESET);
    }
    if (!TruncateFile(localTarget, watch.Announced())) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(localTarget);
        return ErrorResult(error ? error : ERROR_WRITE_FAULT);
    }
    return result;
}

}  // namespace

DWORD TransferOpenFlags(int useHttps) { return useHttps == 1 ? kOpenFlagsHttps : kOpenFlagsHttp; }

int ContentLengthToSize(const std::wstring& text) {
    // msvcrt's own conversion: its overflow rule (saturation) is the one the size follows.
    return _wtoi(text.c_str());
}

bool ContentRangeTotal(const std::wstring& text, int& size) {
    const size_t slash = text.rfind(L'/');
    if (slash == std::wstring::npos) return false;
    const size_t first = text.find_first_not_of(L" \t", slash + 1);
    if (first == std::wstring::npos || text[first] == L'*') return false;
    size = ContentLengthToSize(text.substr(slash + 1));
    return true;
}

int GetWebFileSize(const wchar_t* address, int useHttps) {
    FuncTrace trace(logscope::kGetWebFileSize);
    if (!address) {
        trace.Log("FileURL is NULL___");
        return -1;
    }
    if (!*address) {
        trace.Log("FileURL is empty___");
        return -1;
    }

    StallBoundRequest request(StallLimitMs());
    if (!request.IsOpen()) {
        trace.Log("InternetOpen fail___(lastErr: %d)", static_cast<int>(::GetLastError()));
        return -1;
    }
    const DWORD flags = TransferOpenFlags(useHttps);
    trace.Log("openFlag: 0x%x", static_cast<unsigned>(flags));

    try {
        CHttpFile* file = request.Open(address, kRequestContext, RequestFlags(flags), kFirstByteOnly);
        if (!file) {
            trace.Log("OpenURL fail_");
            return -1;
        }
        int size = 0;
        DWORD error = 0;
        if (!AnnouncedSize(*file, size, error)) {
            trace.Log("HttpFile QueryInfo fail___(LaseErr:%d)", static_cast<int>(error));
            file->Close();
            return -1;
        }
        file->Close();
        trace.Log("ServerFileSize: %d", size);
        return size;
    } catch (const CInternetException& e) {
        trace.Log("Exception: %d", static_cast<int>(e.m_dwError));
        return -1;
    }
}

HRESULT URLDownloadToFileOnHttps(const wchar_t* address, const wchar_t* localTarget, IBindStatusCallback* callback) {
    FuncTrace trace(logscope::kURLDownloadToFileOnHttps);
    if (IsEmpty(address) || IsEmpty(localTarget)) return E_INVALIDARG;

    StallBoundRequest request(StallLimitMs());
    if (!request.IsOpen()) {
        const DWORD error = ::GetLastError();
        trace.Log("InternetOpen fail___(lastErr: %d)", static_cast<int>(error));
        return ErrorResult(error);
    }
    trace.Log("openFlag: 0x%x", static_cast<unsigned>(kOpenFlagsHttps));

    try {
        CHttpFile* file = request.Open(address, kRequestContext, kOpenFlagsHttps);
        if (!file) {
            trace.Log("OpenURL fail_");
            return kNoFileObject;
        }
        // An error page is no file: checked before the target is touched, so an earlier copy
        // of the file survives a failing server. Nor is a connection closed without any
        // answer, which Wine's WinINet hands out as an empty file with the status 0.
        DWORD status = 0;
        if (file->QueryInfo(HTTP_QUERY_STATUS_CODE, status) && (status >= 400 || status < 100)) {
            trace.Log("HttpStatus fail___(status: %d)", static_cast<int>(status));
            return INET_E_DOWNLOAD_FAILURE;
        }

        LocalTarget target(localTarget);
        if (!target.Open()) {
            const DWORD error = ::GetLastError();
            trace.Log("localFile.Open fail___(lastErr: %d)", static_cast<int>(error));
            return ErrorResult(error);
        }
        trace.Log("Local file open success.");

        // A read that gives 0 bytes also ends a body whose connection the server dropped:
        // only the announced length tells a short file from a whole one.
        DWORD announced = 0;
        const bool hasLength = file->QueryInfo(HTTP_QUERY_CONTENT_LENGTH, announced);

        // One block buffer for the whole file: memory does not grow with the file's size.
        std::vector<BYTE> buffer(kBlockSize);
        ULONG total = 0;
        for (;;) {
            const UINT read = request.Read(*file, buffer.data(), kBlockSize);
            if (read == 0) {
                if (hasLength && total < announced) throw CInternetException(ERROR_INTERNET_CONNECTION_RESET);
                break;
            }
            if (const DWORD error = target.Write(buffer.data(), read)) {
                trace.Log("localFile.Write fail___(lastErr: %d)", static_cast<int>(error));
                return ErrorResult(error);
            }
            total += read;
            if (callback) callback->OnProgress(total, 0, BINDSTATUS_DOWNLOADINGDATA, L"");
        }
        if (const DWORD error = target.Close()) {
            trace.Log("localFile.Close fail___(lastErr: %d)", static_cast<int>(error));
            return ErrorResult(error);
        }
        target.Commit();

        // The byte count travels in the maximum: the callback takes it from there for this status.
        if (callback) callback->OnProgress(0, total, BINDSTATUS_ENDDOWNLOADDATA, L"");
        file->Close();
        return S_OK;
    } catch (const CInternetException& e) {
        trace.Log("Exception: %d", static_cast<int>(e.m_dwError));
        return ErrorResult(e.m_dwError);
    }
}

HRESULT FetchServerFile(int useHttps, StepReporter* reporter, const std::wstring& address,
                        const std::wstring& localTarget, URLDownCallBack& callback) {
    const int expectedSize = GetWebFileSize(address.c_str(), useHttps);
    // The purge comes after the size query so that the transfer cannot be served from a copy
    // the query left behind.
    ::DeleteUrlCacheEntryW(address.c_str());
    callback.Prepare(reporter, nullptr, expectedSize);
    if (useHttps == 1) return URLDownloadToFileOnHttps(address.c_str(), localTarget.c_str(), &callback);
    return DownloadByMoniker(address.c_str(), localTarget.c_str(), callback);
}
