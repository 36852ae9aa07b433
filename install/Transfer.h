// Fetching one server file: how a server address and a download's local target are formed,
// the size query, and the transfer, one WinINet request for both schemes (which accepts a
// certificate issued for another host name) written straight into the local target: nothing
// of a file passes through WinINet's cache or any other place the user's programs can write.
//
// Transfer results are HRESULT-like: 0 (S_OK) when the whole file is in the local target,
// negative for every failure. Every call opens and closes its own handles; nothing is shared
// between calls. All of it blocks the calling thread (the page's worker), but no
// request waits longer than the stall limit (install/StallLimit.h) without receiving a byte:
// it then fails with ERROR_INTERNET_TIMEOUT (the size query -1, a transfer 0x80002ee2).
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <string>

#include "install/ServerAddress.h"

class StepReporter;
class URLDownCallBack;

// What the attempts at one file carry from one to the next, and what the last one ended with.
// A cut attempt keeps what it received in its target only where keepCut allows it (the step's
// private directory: a partial file anywhere a user can write could be swapped for another
// before the next attempt appends to it), and only when the first answer named its version
// (validator): without it nothing tells a later answer's bytes from another file's.
struct TransferState {
    bool keepCut = false;
    std::wstring validator;  // the first answer's ETag, else its Last-Modified; empty: none
    ULONG kept = 0;          // bytes a cut attempt left in the target
    ULONG total = 0;         // the whole file's length as the answer that began it announced it
    // Of the last attempt:
    DWORD httpStatus = 0;     // its answer's status, 0 when there was no answer
    std::wstring retryAfter;  // its answer's Retry-After as sent, empty when absent
    bool cut = false;         // it ended in the body and left kept bytes for the next one
    bool resumed = false;     // it appended to kept bytes, from resumedAt on
    ULONG resumedAt = 0;
    bool tooSlow = false;     // it ended under the rate floor (MinimumRateBytesPerSecond)
};

// How a transfer that asked for the rest of a kept file takes the answer.
enum class ResumeAnswer {
    Append,     // 206 for exactly the rest of the same version: the body goes after the kept bytes
    StartOver,  // 200: the whole file (another version, or a server without ranges)
    Refuse,     // no usable answer to the range (416, a changed version, another range): the
                // attempt fails and the kept bytes go
};
ResumeAnswer JudgeResumedAnswer(DWORD status, const std::wstring& contentRange, const std::wstring& validator,
                                ULONG kept, ULONG total, const std::wstring& firstValidator);

// The request lines that ask for the rest of a file from kept on, provided it is still the
// version that validator names.
std::wstring ResumeHeaders(ULONG kept, const std::wstring& validator);

// The flags every request of a transfer is opened with: https relaxes only the certificate's
// host-name check (useHttps 1); any other value gives the http flags.
DWORD TransferOpenFlags(int useHttps);
// What the requests of a transfer (and the first page's check) actually ask WinINet for: the
// scheme's open flags plus the rules every request keeps (the https certificate rule after a
// redirect, nothing from the cache).
DWORD TransferRequestFlags(int useHttps);

// WinINet's errors for a server certificate it refused.
bool IsCertificateError(DWORD error);

// A Content-Length text read the way the runtime's _wtoi reads it: leading white space and a
// sign accepted, digits up to the first other character, 0 without digits, and values beyond
// the 32-bit range saturated to INT_MAX or INT_MIN.
int ContentLengthToSize(const std::wstring& text);

// A header value from the server as the log shows it: printable ASCII kept, every other
// character '?', cut after kLoggedHeaderChars characters with "..." appended. The server chooses
// the value; the log line must stay one line of the log's own code page.
const size_t kLoggedHeaderChars = 64;
std::wstring LoggableHeaderText(const std::wstring& text);

// The total of a Content-Range text ("bytes 0-0/N", "bytes */N"): the text after its last
// "/", read as ContentLengthToSize reads a Content-Length. False when it has none (no "/",
// nothing after it, or "*", an unknown total).
bool ContentRangeTotal(const std::wstring& text, int& size);

// The size the server announces for address, or -1: address null or empty, no WinINet root
// handle, the request failed (unreachable, certificate refused), the answer's status is not
// 200, 206 or 416 (logged as "HTTP status N", with the server's Retry-After when it sent one,
// and for 407 "Proxy asks for credentials (407)"), or the answer announces none.
// The request asks for the first byte only ("Range: bytes=0-0"): the size is the total of the
// answer's Content-Range (206; 416, an empty file), or its Content-Length where the server
// ignored the range. useHttps 1 selects the https open flags. The body is never read.
// Logs in the scope "KVDownloadDlg::GetWebFileSize".
int GetWebFileSize(const wchar_t* address, int useHttps);

// Our https download: one GET with the host-name check of the certificate relaxed (any other
// certificate fault fails), the body written to localTarget (created or emptied, opened
// exclusively) in blocks of at most 65535 bytes, callback (may be null) told after every block
// (BINDSTATUS_DOWNLOADINGDATA, running total as progress) and once at the end
// (BINDSTATUS_ENDDOWNLOADDATA, total as maximum). Its results are ignored.
// Results: 0; E_INVALIDARG for an empty (or null) address or target; 0x800C0008
// (INET_E_DOWNLOAD_FAILURE) for an answer whose status is not 200 or 206 (logged as
// GetWebFileSize logs it, after "HttpStatus fail___"), or a connection closed without any
// answer (status 0), the target untouched;
// 0x80000961 when the request gives no file; otherwise 0x80000000 plus the low 16 bits of
// the Windows or WinINet error (no root handle, target not opened, request or read failed,
// write or close failed). A transfer that fails after the target was opened removes it.
// Logs in the scope "KVDownloadDlg::URLDownloadToFileOnHttps".
HRESULT URLDownloadToFileOnHttps(const wchar_t* address, const wchar_t* localTarget, IBindStatusCallback* callback);

// One file from the server, as both install steps fetch it: the size query, the purge of the
// address's internet cache entry, callback prepared for reporter's progress bar (may be null)
// with that size (the range set to 0 .. size, -1 included), then the transfer. Returns the
// transfer's result; logging it is the caller's. callback must outlive the call only; it may be
// reused for the next file.
// useHttps 1: URLDownloadToFileOnHttps, with its results and log lines. Otherwise the same
// request, blocks, progress reports and stall limit, with the http path's own results and no
// log lines of its own but the status of an answer it refused (in the scope
// "KVDownloadDlg::URLDownloadToFile", as GetWebFileSize logs it): 0; E_INVALIDARG for an empty
// address or target; INET_E_DOWNLOAD_FAILURE for a status other than 200 or 206, no answer at
// all (the target untouched)
// or a request that failed otherwise (no server, no such name); INET_E_INVALID_CERTIFICATE for
// a certificate refused after a redirect to https; 0x80000000 plus ERROR_INTERNET_TIMEOUT for
// a stall; 0x80000000 plus ERROR_INTERNET_CONNECTION_RESET for a body that ended short of its
// Content-Length or whose read failed; 0x80000000 plus ERROR_WRITE_FAULT for any failure of
// the local target (not opened, a write or the close failed). A transfer that fails after the
// target was opened removes it. Bytes past the Content-Length are no part of the file.
//
// state (may be null: every attempt starts from nothing) carries a cut attempt's kept bytes to
// the next call for the same file and target, which then asks for the rest (ResumeHeaders) and
// takes the answer as JudgeResumedAnswer says; the bar then continues from the kept bytes. It
// also receives the status and Retry-After of the answer.
HRESULT FetchServerFile(int useHttps, StepReporter* reporter, const std::wstring& address,
                        const std::wstring& localTarget, URLDownCallBack& callback, TransferState* state = nullptr);
