#include "tools/kvcheck_cert.h"

#include <wincrypt.h>
#include <ws2tcpip.h>

#include <cstring>
#include <cwchar>
#include <memory>

#include "framework/handle.h"

namespace {

struct ChainDeleter {
    void operator()(const CERT_CHAIN_CONTEXT* chain) const { ::CertFreeCertificateChain(chain); }
};
using UniqueChain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter>;

std::wstring NameOf(const CERT_CONTEXT* cert, DWORD flags) {
    wchar_t buffer[512] = {};
    ::CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, buffer, 512);
    return buffer;
}

std::wstring IpText(const CRYPT_DATA_BLOB& blob) {
    wchar_t text[64] = {};
    if (blob.cbData == 4) {
        std::swprintf(text, 64, L"%u.%u.%u.%u", blob.pbData[0], blob.pbData[1], blob.pbData[2], blob.pbData[3]);
    } else if (blob.cbData == 16) {
        sockaddr_in6 sa = {};
        sa.sin6_family = AF_INET6;
        std::memcpy(&sa.sin6_addr, blob.pbData, 16);
        DWORD size = 64;
        ::WSAAddressToStringW(reinterpret_cast<sockaddr*>(&sa), sizeof sa, nullptr, text, &size);
    }
    return text;
}

std::vector<std::wstring> NamesOf(const CERT_CONTEXT* cert) {
    std::vector<std::wstring> names;
    const CERT_EXTENSION* ext = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                                    cert->pCertInfo->rgExtension);
    if (ext) {
        CERT_ALT_NAME_INFO* info = nullptr;
        DWORD size = 0;
        if (::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                                  CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
            for (DWORD i = 0; i < info->cAltEntry; ++i) {
                const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
                if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) names.emplace_back(e.pwszDNSName);
                if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) names.push_back(IpText(e.IPAddress));
            }
            ::LocalFree(info);
        }
    }
    if (names.empty()) {
        // Without subject alternative names, clients fall back to the common name.
        wchar_t cn[256] = {};
        ::CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn, 256);
        if (cn[0]) names.emplace_back(cn);
    }
    return names;
}

std::string TrustProblem(DWORD status) {
    struct Bit {
        DWORD bit;
        const char* text;
    };
    static const Bit kBits[] = {
        {CERT_TRUST_IS_UNTRUSTED_ROOT, "its root certificate is not a trusted root here"},
        {CERT_TRUST_IS_PARTIAL_CHAIN, "its issuer's certificate is not known here"},
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "a signature in its chain is not valid"},
        {CERT_TRUST_IS_REVOKED, "it or its issuer is revoked"},
        {CERT_TRUST_IS_EXPLICIT_DISTRUST, "it or its issuer is explicitly distrusted"},
        {CERT_TRUST_IS_CYCLIC | CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "its chain is malformed"},
    };
    std::string out;
    for (const Bit& b : kBits) {
        if (status & b.bit) out += (out.empty() ? "" : "; ") + std::string(b.text);
    }
    return out;
}

}  // namespace

bool CertificateNameCovers(const std::wstring& name, const std::wstring& host) {
    if (name.empty() || host.empty()) return false;
    if (name.size() > 2 && name[0] == L'*' && name[1] == L'.') {
        const size_t dot = host.find(L'.');
        if (dot == std::wstring::npos || dot == 0) return false;
        return ::_wcsicmp(host.c_str() + dot, name.c_str() + 1) == 0;
    }
    return ::_wcsicmp(name.c_str(), host.c_str()) == 0;
}

ServerCertificate FetchServerCertificate(const std::wstring& host, INTERNET_PORT port) {
    ServerCertificate out;
    kv::UniqueInternet session(::InternetOpenW(L"kvcheck", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    kv::UniqueInternet connection;
    kv::UniqueInternet request;
    if (session) connection.reset(::InternetConnectW(session.get(), host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (connection) {
        const DWORD flags = INTERNET_FLAG_SECURE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
        request.reset(::HttpOpenRequestW(connection.get(), L"HEAD", L"/", nullptr, nullptr, nullptr, flags, 0));
    }
    if (!request) {
        out.error = ::GetLastError();
        return out;
    }
    // Every fault forgiven, so that the certificate arrives whatever is wrong with it.
    DWORD security = 0;
    DWORD size = sizeof security;
    ::InternetQueryOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, &size);
    security |= SECURITY_SET_MASK;
    ::InternetSetOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof security);
    if (!::HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
        out.error = ::GetLastError();
        return out;
    }
    out.fetched = true;

    const CERT_CHAIN_CONTEXT* raw = nullptr;
    size = sizeof raw;
    if (!::InternetQueryOptionW(request.get(), INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &raw, &size) || !raw ||
        !raw->cChain || !raw->rgpChain[0]->cElement) {
        // Older WinINet has no chain to give: the text fields of the certificate are all there is.
        struct {
            FILETIME expiry, start;
            char *subject, *issuer, *protocol, *signature, *encryption;
            DWORD keySize;
        } info = {};
        size = sizeof info;
        if (::InternetQueryOptionA(request.get(), INTERNET_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &size)) {
            auto wide = [](const char* s) { return s ? std::wstring(s, s + std::strlen(s)) : std::wstring(); };
            out.subject = wide(info.subject);
            out.issuer = wide(info.issuer);
            out.notBefore = info.start;
            out.notAfter = info.expiry;
            for (char* s : {info.subject, info.issuer, info.protocol, info.signature, info.encryption}) ::LocalFree(s);
        }
        if (raw) ::CertFreeCertificateChain(raw);
        return out;
    }
    UniqueChain chain(raw);
    out.detailed = true;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const CERT_CONTEXT* leaf = simple->rgpElement[0]->pCertContext;
    out.subject = NameOf(leaf, 0);
    out.issuer = NameOf(leaf, CERT_NAME_ISSUER_FLAG);
    out.names = NamesOf(leaf);
    out.notBefore = leaf->pCertInfo->NotBefore;
    out.notAfter = leaf->pCertInfo->NotAfter;

    out.trustProblem = TrustProblem(chain->TrustStatus.dwErrorStatus);
    out.trusted = out.trustProblem.empty();
    // The server's own certificate first; a certificate above it out of date counts as well.
    for (DWORD i = 0; i < simple->cElement && out.timeValidity == 0; ++i)
        out.timeValidity = static_cast<int>(::CertVerifyTimeValidity(nullptr, simple->rgpElement[i]->pCertContext->pCertInfo));
    for (const std::wstring& name : out.names) out.nameMatches = out.nameMatches || CertificateNameCovers(name, host);
    return out;
}
