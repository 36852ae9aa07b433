// WinINet session, HTTP file and exception: the few pieces of the framework's internet classes
// the transfers use. A session owns its root handle and every file it opens owns its request
// handle, so each is closed exactly once on every return path.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

#include "framework/handle.h"

// A failed WinINet call, carrying the WinINet (or Windows) error code the call left in
// GetLastError. The only exception the framework's internet classes raise.
class CInternetException {
public:
    explicit CInternetException(DWORD error) : m_dwError(error) {}
    DWORD m_dwError;
};

// The answer to one request. Owns its request handle; Close (or destruction) releases it.
class CHttpFile {
public:
    explicit CHttpFile(HINTERNET request) : m_request(request) {}
    CHttpFile(const CHttpFile&) = delete;
    CHttpFile& operator=(const CHttpFile&) = delete;

    // A response header or status as text (HttpQueryInfoW; level is an HTTP_QUERY_ value).
    // FALSE when the answer lacks it; GetLastError then tells why, and text is left alone.
    BOOL QueryInfo(DWORD level, std::wstring& text) const;
    // A numeric header or status (level with HTTP_QUERY_FLAG_NUMBER added here). FALSE as above.
    BOOL QueryInfo(DWORD level, DWORD& value) const;
    // Reads up to count bytes of the body; 0 at its end. A failed read raises
    // CInternetException.
    UINT Read(void* buffer, UINT count);
    // Releases the request handle; further reads raise CInternetException.
    void Close() { m_request.reset(); }
    HINTERNET GetHandle() const { return m_request.get(); }

private:
    kv::UniqueInternet m_request;
};

// A WinINet root handle with the application's name as user agent, the system's proxy
// settings and no flags. The constructor does not raise: a root handle that could not be
// opened shows as IsOpen() == false, with GetLastError telling why.
class CInternetSession {
public:
    // agent null: the application's name, the executable's file name without extension.
    explicit CInternetSession(const wchar_t* agent = nullptr);
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;

    bool IsOpen() const { return static_cast<bool>(m_session); }
    HINTERNET GetHandle() const { return m_session.get(); }
    const std::wstring& GetAgent() const { return m_agent; }

    // A GET of url through InternetOpenUrlW with the given context and flags, and headers
    // (CR LF ended lines) added to the request when not null. A request that fails, on a closed session too, raises CInternetException with
    // its error code. Null when the address opened something that is no HTTP answer (an ftp:
    // or file: address): there is no HTTP file to hand out then.
    std::unique_ptr<CHttpFile> OpenURL(const wchar_t* url, DWORD_PTR context = 1,
                                       DWORD flags = INTERNET_FLAG_TRANSFER_ASCII, const wchar_t* headers = nullptr);
    void Close() { m_session.reset(); }

    // Test seam: while error is not 0, new sessions do not open and leave error as the last
    // error, as a failed InternetOpenW would. 0 restores the real platform.
    static void SetOpenFailureForTesting(DWORD error);

private:
    std::wstring m_agent;
    kv::UniqueInternet m_session;
};
