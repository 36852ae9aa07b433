#include "framework/inet.h"

#include <atomic>
#include <vector>

#include "framework/app.h"

namespace {
std::atomic<DWORD> g_openFailure{0};
}  // namespace

void CInternetSession::SetOpenFailureForTesting(DWORD error) { g_openFailure = error; }

CInternetSession::CInternetSession(const wchar_t* agent) : m_agent(agent ? std::wstring(agent) : AfxGetAppName()) {
    if (const DWORD error = g_openFailure) {
        ::SetLastError(error);
        return;
    }
    m_session.reset(::InternetOpenW(m_agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
}

std::unique_ptr<CHttpFile> CInternetSession::OpenURL(const wchar_t* url, DWORD_PTR context, DWORD flags,
                                                     const wchar_t* headers) {
    HINTERNET request = ::InternetOpenUrlW(m_session.get(), url, headers, headers ? static_cast<DWORD>(-1) : 0, flags, context);
    if (!request) throw CInternetException(::GetLastError());
    auto file = std::make_unique<CHttpFile>(request);
    DWORD type = 0;
    DWORD size = sizeof(type);
    if (!::InternetQueryOptionW(request, INTERNET_OPTION_HANDLE_TYPE, &type, &size) ||
        type != INTERNET_HANDLE_TYPE_HTTP_REQUEST)
        return nullptr;
    return file;
}

BOOL CHttpFile::QueryInfo(DWORD level, std::wstring& text) const {
    DWORD bytes = 64 * sizeof(wchar_t);
    for (;;) {
        std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1);
        DWORD size = bytes;
        if (::HttpQueryInfoW(m_request.get(), level, buffer.data(), &size, nullptr)) {
            text.assign(buffer.data(), size / sizeof(wchar_t));
            return TRUE;
        }
        // The size needed comes back in bytes; anything else is the answer's own failure.
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= bytes) return FALSE;
        bytes = size;
    }
}

BOOL CHttpFile::QueryInfo(DWORD level, DWORD& value) const {
    DWORD number = 0;
    DWORD size = sizeof(number);
    if (!::HttpQueryInfoW(m_request.get(), level | HTTP_QUERY_FLAG_NUMBER, &number, &size, nullptr)) return FALSE;
    value = number;
    return TRUE;
}

UINT CHttpFile::Read(void* buffer, UINT count) {
    DWORD read = 0;
    if (!::InternetReadFile(m_request.get(), buffer, count, &read)) throw CInternetException(::GetLastError());
    return read;
}
