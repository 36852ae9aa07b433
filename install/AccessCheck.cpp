#include "install/AccessCheck.h"

#include <wininet.h>

#include <new>

#include "framework/inet.h"
#include "install/StallLimit.h"
#include "install/Transfer.h"

namespace {
// A server that ignores the range still sends its whole page; one that honours it, one byte.
const wchar_t kFirstByteOnly[] = L"Range: bytes=0-0\r\n";

// Failures that come after the server took the connection and spoke TLS: its certificate or
// its TLS is refused. The server is there; whether its files can be fetched is the transfers'
// to decide, with their own results and codes, as when the check only tried a connection.
bool ServerReachedButRefused(DWORD error) {
    return IsCertificateError(error) || error == ERROR_INTERNET_SECURITY_CHANNEL_ERROR ||
           error == 12175;  // ERROR_INTERNET_DECODING_FAILED: the TLS exchange failed
}
}  // namespace

AccessAnswer CheckServerAccess(const std::wstring& url, int useHttps) {
    AccessAnswer answer;
    try {
        StallBoundRequest request(StallLimitMs());
        if (!request.IsOpen()) {
            answer.error = ::GetLastError();
            return answer;
        }
        try {
            CHttpFile* file = request.Open(url.c_str(), 1, TransferRequestFlags(useHttps), kFirstByteOnly);
            answer.revocationUnknown = request.RevocationUnknown();
            if (!file) {
                answer.error = ERROR_INTERNET_INVALID_URL;
                return answer;
            }
            DWORD status = 0;
            file->QueryInfo(HTTP_QUERY_STATUS_CODE, status);
            answer.httpStatus = status;
            // Wine hands out a connection closed without any answer as the status 0.
            if (status < 100) {
                answer.error = ERROR_INTERNET_CONNECTION_RESET;
            } else {
                answer.verdict = status == HTTP_STATUS_PROXY_AUTH_REQ ? AccessAnswer::Verdict::ProxyRefused
                                                                      : AccessAnswer::Verdict::Answered;
            }
            file->Close();
        } catch (const CInternetException& e) {
            answer.revocationUnknown = request.RevocationUnknown();
            answer.error = e.m_dwError;
            if (ServerReachedButRefused(e.m_dwError)) answer.verdict = AccessAnswer::Verdict::Reached;
        }
    } catch (const std::bad_alloc&) {
        answer.error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return answer;
}
