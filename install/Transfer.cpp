#include "install/Transfer.h"

#include <wininet.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "framework/handle.h"
#include "framework/inet.h"
#include "install/InstallPlatform.h"
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

// What every request asks WinINet for: its scheme's flags, and on an http address the https
// rule as well, since a server that redirects to https must meet the same certificate rule
// there as a typed https address (the flag does nothing over http). Nothing is taken from the
// cache either: the user's own programs can write there, and the purge before a transfer
// leaves them time to put an entry back. The log keeps the scheme's flags, which say which
// rule the address itself gets.
DWORD RequestFlags(DWORD schemeFlags) {
    return schemeFlags | INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_RELOAD;
}
const DWORD_PTR kRequestContext = 1;

// The size query asks for the first byte only: the size then comes from the range answer's
// total, and closing the answer leaves at most that byte for WinINet to read off the
// connection (Wine's WinINet reads an unread body to its end before it lets go of a request).
const wchar_t kFirstByteOnly[] = L"Range: bytes=0-0\r\n";
const DWORD kStatusRangeNotSatisfiable = 416;

// The size an answer to the size query announces: from the total of its Content-Range when it
// answers the range (206, or 416 for an empty file), from its Content-Length when it ignored the
// range. FALSE, with the error to log, when it announces none.
BOOL AnnouncedSize(const CHttpFile& file, DWORD status, int& size, DWORD& error) {
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

// Only these answers carry the file (or, for the size query, its size): a proxy's refusal, a
// sign-in or error page, a redirect WinINet did not follow, an empty 204 are no file, whatever
// length they announce.
bool IsFileStatus(DWORD status) { return status == HTTP_STATUS_OK || status == HTTP_STATUS_PARTIAL_CONTENT; }

// The answer's Retry-After as the server sent it; empty when it sent none.
std::wstring RetryAfterOf(const CHttpFile& file) {
    std::wstring text;
    if (!file.QueryInfo(HTTP_QUERY_RETRY_AFTER, text)) text.clear();
    return text;
}

// The lines for an answer refused for its status: its code, the server's Retry-After when it
// sent one, and for a proxy that wants credentials a line that says so (nothing here answers
// such a request, so the attempt fails like any other and an unattended run never waits).
void LogRefusedStatus(FuncTrace& trace, DWORD status, const std::wstring& retryAfter) {
    if (retryAfter.empty()) {
        trace.Log("HTTP status %u", static_cast<unsigned>(status));
    } else {
        trace.Log("HTTP status %u, Retry-After: %S", static_cast<unsigned>(status),
                  LoggableHeaderText(retryAfter).c_str());
    }
    if (status == HTTP_STATUS_PROXY_AUTH_REQ) trace.Log("Proxy asks for credentials (407)");
}

const HRESULT kNoFileObject = static_cast<HRESULT>(0x80000961);

// The failure result for a Windows or WinINet error code.
HRESULT ErrorResult(DWORD error) { return static_cast<HRESULT>(0x80000000u | (error & 0xFFFFu)); }

bool IsEmpty(const wchar_t* text) { return !text || !*text; }

// The local target of one https download. Until Commit (or Keep), destruction closes the file
// and deletes it, so every failure exit leaves no partial file behind.
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

    // The kept file opened with no sharing, cut to its first `at` bytes, writing after them;
    // FALSE with GetLastError set (ERROR_HANDLE_EOF for a file shorter than that). It never
    // follows a name that is gone: a file that is not there is no kept file.
    BOOL OpenAt(ULONG at) {
        m_file.reset(::CreateFileW(m_path, GENERIC_WRITE | GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        m_opened = static_cast<bool>(m_file);
        if (!m_opened) return FALSE;
        LARGE_INTEGER size = {};
        if (!::GetFileSizeEx(m_file.get(), &size)) return FALSE;
        if (size.QuadPart < static_cast<LONGLONG>(at)) {
            ::SetLastError(ERROR_HANDLE_EOF);
            return FALSE;
        }
        LARGE_INTEGER to = {};
        to.QuadPart = at;
        return ::SetFilePointerEx(m_file.get(), to, nullptr, FILE_BEGIN) && ::SetEndOfFile(m_file.get());
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

    // A cut transfer's bytes stay for the next attempt; false (and the file goes) when the
    // close failed, since a file whose last writes may be lost cannot be appended to.
    bool Keep() {
        if (Close()) return false;
        m_committed = true;
        return true;
    }

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

// Where a transfer through WinINet ended: its result, and for a failure the part that failed,
// which the http path's results are told by.
enum class FetchStage { Done, Request, Body, Target };
struct Fetched {
    HRESULT result;
    FetchStage stage;
    DWORD error;  // the WinINet or Windows error of a failed request or target, else 0
    DWORD httpStatus = 0;     // the answer's status; 0 when no answer came
    std::wstring retryAfter;  // the answer's Retry-After as sent; empty when absent
};

Fetched Failed(FetchStage stage, DWORD error) { return {ErrorResult(error), stage, error}; }

// The version an answer names: its ETag, else its Last-Modified, as sent; empty for neither.
// One with a control character (which would end the request line it goes back in) names none.
std::wstring AnswerValidator(const CHttpFile& file) {
    std::wstring text;
    if (!file.QueryInfo(HTTP_QUERY_ETAG, text) || text.empty()) {
        text.clear();
        if (!file.QueryInfo(HTTP_QUERY_LAST_MODIFIED, text)) return std::wstring();
    }
    for (wchar_t c : text)
        if (c < 0x20 || c == 0x7F) return std::wstring();
    return text;
}

// Forgets a kept file: the next attempt starts from nothing.
void DropKept(TransferState* state, const wchar_t* localTarget) {
    if (!state || !state->kept) return;
    ::DeleteFileW(localTarget);
    state->kept = 0;
}

// One GET of address into localTarget, through WinINet with nothing written to its cache and
// every wait bound by the stall limit and the rate floor: the body goes straight from the
// request into the target (created or emptied, opened exclusively) in blocks of at most
// kBlockSize, callback (may be null) told of every block and of the end. With state, a kept
// file's rest is asked for and appended where the answer allows it, and a cut keeps what came
// where state allows it. The https path logs its steps to trace; the http path passes null
// and logs nothing of its own, as it never did.
Fetched FetchToFile(const wchar_t* address, const wchar_t* localTarget, DWORD flags, IBindStatusCallback* callback,
                    FuncTrace* trace, DWORD loggedFlags, TransferState* state) {
    if (state) {
        state->httpStatus = 0;
        state->retryAfter.clear();
        state->cut = false;
        state->resumed = false;
        state->tooSlow = false;
        // A kept file without the version it belongs to is never appended to.
        if (state->validator.empty()) DropKept(state, localTarget);
    }
    const bool resuming = state && state->kept > 0;
    const InstallPlatform& platform = ActiveInstallPlatform();
    RateFloor floor(MinimumRateBytesPerSecond(), platform.tickCount());
    StallBoundRequest request(StallLimitMs());
    if (!request.IsOpen()) {
        const DWORD error = ::GetLastError();
        if (trace) trace->Log("InternetOpen fail___(lastErr: %d)", static_cast<int>(error));
        return Failed(FetchStage::Request, error);
    }
    if (trace) trace->Log("openFlag: 0x%x", static_cast<unsigned>(loggedFlags));

    try {
        CHttpFile* file = request.Open(address, kRequestContext, flags,
                                       resuming ? ResumeHeaders(state->kept, state->validator) : std::wstring());
        if (!file) {
            if (trace) trace->Log("OpenURL fail_");
            return {kNoFileObject, FetchStage::Request, 0};
        }
        // Only an answer whose status says so is the file: checked before the target is
        // touched, so an earlier copy of the file survives a failing server. Not a connection
        // closed without any answer either, which Wine's WinINet hands out as an empty file
        // with the status 0.
        DWORD status = 0;
        if (!file->QueryInfo(HTTP_QUERY_STATUS_CODE, status)) status = 0;
        const std::wstring retryAfter = status != 0 ? RetryAfterOf(*file) : std::wstring();
        if (state) {
            state->httpStatus = status;
            state->retryAfter = retryAfter;
        }
        if (!IsFileStatus(status)) {
            Fetched refused = {INET_E_DOWNLOAD_FAILURE, FetchStage::Request, 0};
            refused.httpStatus = status;
            refused.retryAfter = retryAfter;
            if (trace) {
                trace->Log("HttpStatus fail___(status: %d)", static_cast<int>(status));
                if (status != 0) LogRefusedStatus(*trace, status, refused.retryAfter);
            }
            // The range itself is refused: what was kept cannot be finished.
            if (status == kStatusRangeNotSatisfiable) DropKept(state, localTarget);
            return refused;
        }

        // A read that gives 0 bytes also ends a body whose connection the server dropped:
        // only the announced length tells a short file from a whole one. Nothing past the
        // announced length is asked for: Wine's WinINet hands out bytes a server sends beyond it
        // before closing the connection (seen with a small body over http), and those are no
        // part of the file.
        DWORD announced = 0;
        const bool hasLength = file->QueryInfo(HTTP_QUERY_CONTENT_LENGTH, announced);
        const std::wstring validator = AnswerValidator(*file);

        bool append = false;
        if (resuming) {
            std::wstring range;
            file->QueryInfo(HTTP_QUERY_CONTENT_RANGE, range);
            switch (JudgeResumedAnswer(status, range, validator, state->kept, state->total, state->validator)) {
            case ResumeAnswer::Append:
                append = true;
                break;
            case ResumeAnswer::StartOver:
                DropKept(state, localTarget);
                break;
            case ResumeAnswer::Refuse:
                if (trace) trace->Log("Range answer refused___(status: %d)", static_cast<int>(status));
                DropKept(state, localTarget);
                return {INET_E_DOWNLOAD_FAILURE, FetchStage::Request, 0};
            }
        }
        if (state && !append) {
            // The answer that begins the file names the version later attempts must match.
            state->validator = status == HTTP_STATUS_OK ? validator : std::wstring();
            state->total = hasLength ? announced : 0;
        }

        LocalTarget target(localTarget);
        if (append ? !target.OpenAt(state->kept) : !target.Open()) {
            const DWORD error = ::GetLastError();
            if (trace) trace->Log("localFile.Open fail___(lastErr: %d)", static_cast<int>(error));
            if (append) state->kept = 0;
            return Failed(FetchStage::Target, error);
        }
        if (trace) trace->Log("Local file open success.");
        const ULONG start = append ? state->kept : 0;
        if (append) {
            state->resumed = true;
            state->resumedAt = start;
        }
        if (state) state->kept = 0;

        // What a cut leaves for the next attempt: the bytes written so far, where the step's
        // directory is private and the answer named its version.
        ULONG total = start;
        auto cutAt = [&](DWORD error) {
            if (state && state->keepCut && !state->validator.empty() && state->total && total > 0 &&
                total < state->total && target.Keep()) {
                state->kept = total;
                state->cut = true;
            }
            return Failed(FetchStage::Body, error);
        };

        // One block buffer for the whole file: memory does not grow with the file's size.
        std::vector<BYTE> buffer(kBlockSize);
        const ULONG end = start + (hasLength ? announced : 0);
        if (callback && start) callback->OnProgress(start, 0, BINDSTATUS_DOWNLOADINGDATA, L"");
        for (;;) {
            UINT read = 0;
            DWORD wanted = kBlockSize;
            if (hasLength) {
                if (total >= end) break;
                if (end - total < wanted) wanted = end - total;
            }
            try {
                read = request.Read(*file, buffer.data(), wanted);
            } catch (const CInternetException& e) {
                if (trace) trace->Log("Exception: %d", static_cast<int>(e.m_dwError));
                return cutAt(e.m_dwError);
            }
            if (read == 0) {
                if (hasLength && total < end) {
                    if (trace) trace->Log("Exception: %d", static_cast<int>(ERROR_INTERNET_CONNECTION_RESET));
                    return cutAt(ERROR_INTERNET_CONNECTION_RESET);
                }
                break;
            }
            if (const DWORD error = target.Write(buffer.data(), read)) {
                if (trace) trace->Log("localFile.Write fail___(lastErr: %d)", static_cast<int>(error));
                return Failed(FetchStage::Target, error);
            }
            total += read;
            if (callback) callback->OnProgress(total, 0, BINDSTATUS_DOWNLOADINGDATA, L"");
            if (floor.Received(platform.tickCount(), read)) {
                if (state) state->tooSlow = true;
                if (trace) trace->Log("Exception: %d", static_cast<int>(ERROR_INTERNET_TIMEOUT));
                return cutAt(ERROR_INTERNET_TIMEOUT);
            }
        }
        if (const DWORD error = target.Close()) {
            if (trace) trace->Log("localFile.Close fail___(lastErr: %d)", static_cast<int>(error));
            return Failed(FetchStage::Target, error);
        }
        target.Commit();

        // The byte count travels in the maximum: the callback takes it from there for this status.
        if (callback) callback->OnProgress(0, total, BINDSTATUS_ENDDOWNLOADDATA, L"");
        file->Close();
        Fetched done = {S_OK, FetchStage::Done, 0};
        done.httpStatus = status;
        return done;
    } catch (const CInternetException& e) {
        if (trace) trace->Log("Exception: %d", static_cast<int>(e.m_dwError));
        return Failed(FetchStage::Request, e.m_dwError);
    }
}

// The http path's result for what a transfer ended with: the codes it has always given, which
// the logs and the tools that read them know.
HRESULT HttpPathResult(const Fetched& fetched) {
    // A stall is a stall wherever it came.
    if (fetched.error == ERROR_INTERNET_TIMEOUT) return fetched.result;
    switch (fetched.stage) {
    case FetchStage::Request:
        // A certificate refused after a redirect to https; any other request that gave no
        // answer (no server, no such name, no root handle).
        if (IsCertificateError(fetched.error)) return INET_E_INVALID_CERTIFICATE;
        return fetched.error ? INET_E_DOWNLOAD_FAILURE : fetched.result;
    case FetchStage::Body:
        // However the body ended early, it came short of the file.
        return ErrorResult(ERROR_INTERNET_CONNECTION_RESET);
    case FetchStage::Target:
        // The local side of the transfer, whatever Windows said of it (a full disk, a target
        // held open, no folder).
        return ErrorResult(ERROR_WRITE_FAULT);
    default:
        return fetched.result;
    }
}

// The http path: the https path's request and loop without its log lines.
// Its one line of its own, in a scope of its own, is the status of an answer it refused: the
// result alone cannot tell a proxy's 407 or a loaded server's 503 from a missing file.
HRESULT DownloadOverHttp(const wchar_t* address, const wchar_t* localTarget, IBindStatusCallback* callback,
                         TransferState* state) {
    if (IsEmpty(address) || IsEmpty(localTarget)) return E_INVALIDARG;
    const Fetched fetched =
        FetchToFile(address, localTarget, RequestFlags(kOpenFlagsHttp), callback, nullptr, 0, state);
    if (fetched.httpStatus != 0 && !IsFileStatus(fetched.httpStatus)) {
        FuncTrace trace(logscope::kURLDownloadToFile);
        LogRefusedStatus(trace, fetched.httpStatus, fetched.retryAfter);
    }
    return HttpPathResult(fetched);
}

HRESULT DownloadOverHttps(const wchar_t* address, const wchar_t* localTarget, IBindStatusCallback* callback,
                          TransferState* state) {
    FuncTrace trace(logscope::kURLDownloadToFileOnHttps);
    if (IsEmpty(address) || IsEmpty(localTarget)) return E_INVALIDARG;
    return FetchToFile(address, localTarget, RequestFlags(kOpenFlagsHttps), callback, &trace, kOpenFlagsHttps, state)
        .result;
}

}  // namespace

bool IsCertificateError(DWORD error) {
    switch (error) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
        return true;
    default:
        return false;
    }
}

DWORD TransferOpenFlags(int useHttps) { return useHttps == 1 ? kOpenFlagsHttps : kOpenFlagsHttp; }

std::wstring LoggableHeaderText(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (out.size() == kLoggedHeaderChars) {
            out += L"...";
            break;
        }
        out += c >= 0x20 && c < 0x7F ? c : L'?';
    }
    return out;
}

DWORD TransferRequestFlags(int useHttps) { return RequestFlags(TransferOpenFlags(useHttps)); }

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
        // A connection closed without an answer (status 0) announces no size either, as its
        // own line says.
        DWORD status = 0;
        if (!file->QueryInfo(HTTP_QUERY_STATUS_CODE, status)) status = 0;
        if (status != 0 && !IsFileStatus(status) && status != kStatusRangeNotSatisfiable) {
            LogRefusedStatus(trace, status, RetryAfterOf(*file));
            file->Close();
            return -1;
        }
        int size = 0;
        DWORD error = 0;
        if (!AnnouncedSize(*file, status, size, error)) {
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
    return DownloadOverHttps(address, localTarget, callback, nullptr);
}

ResumeAnswer JudgeResumedAnswer(DWORD status, const std::wstring& contentRange, const std::wstring& validator,
                                ULONG kept, ULONG total, const std::wstring& firstValidator) {
    if (status == HTTP_STATUS_OK) return ResumeAnswer::StartOver;
    if (status != HTTP_STATUS_PARTIAL_CONTENT) return ResumeAnswer::Refuse;
    // An answer that names a version names the one asked for (a server may leave it out of a
    // 206); the part is exactly the rest of the file as first announced.
    if (!validator.empty() && validator != firstValidator) return ResumeAnswer::Refuse;
    const std::wstring unit = L"bytes ";
    if (contentRange.compare(0, unit.size(), unit) != 0) return ResumeAnswer::Refuse;
    // "FIRST-LAST/WHOLE", decimal digits only, none of them beyond what a ULONG holds.
    unsigned long long numbers[3] = {};
    const wchar_t separators[3] = {L'-', L'/', L'\0'};
    size_t at = unit.size();
    for (int i = 0; i < 3; ++i) {
        const size_t digits = at;
        while (at < contentRange.size() && contentRange[at] >= L'0' && contentRange[at] <= L'9') {
            numbers[i] = numbers[i] * 10 + (contentRange[at] - L'0');
            if (numbers[i] > 0xFFFFFFFFull) return ResumeAnswer::Refuse;
            ++at;
        }
        if (at == digits) return ResumeAnswer::Refuse;
        if (i < 2) {
            if (at >= contentRange.size() || contentRange[at] != separators[i]) return ResumeAnswer::Refuse;
            ++at;
        }
    }
    if (at != contentRange.size()) return ResumeAnswer::Refuse;
    if (numbers[0] != kept || numbers[2] != total || numbers[1] + 1 != numbers[2]) return ResumeAnswer::Refuse;
    return ResumeAnswer::Append;
}

std::wstring ResumeHeaders(ULONG kept, const std::wstring& validator) {
    return L"Range: bytes=" + std::to_wstring(kept) + L"-\r\nIf-Range: " + validator + L"\r\n";
}

HRESULT FetchServerFile(int useHttps, StepReporter* reporter, const std::wstring& address,
                        const std::wstring& localTarget, URLDownCallBack& callback, TransferState* state) {
    const int expectedSize = GetWebFileSize(address.c_str(), useHttps);
    // The purge comes after the size query so that the transfer cannot be served from a copy
    // the query left behind.
    ::DeleteUrlCacheEntryW(address.c_str());
    callback.Prepare(reporter, nullptr, expectedSize);
    if (useHttps == 1) return DownloadOverHttps(address.c_str(), localTarget.c_str(), &callback, state);
    return DownloadOverHttp(address.c_str(), localTarget.c_str(), &callback, state);
}
