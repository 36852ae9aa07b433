#include "tools/kvlog_codes.h"

namespace kvlog {

std::string ExplainCode(uint32_t code) {
    struct Entry {
        uint32_t code;
        const char* text;
    };
    static const Entry kCodes[] = {
        {2, "file not found"},
        {3, "path not found"},
        {5, "access denied"},
        {32, "file in use by another program"},
        {33, "part of the file locked by another program"},
        {112, "disk full"},
        // A program that did not start.
        {193, "not a valid program for Windows"},
        {216, "a program for another processor"},
        {740, "the program asks for elevation the setup does not have"},
        {1260, "blocked by a policy of the machine"},
        {12002, "the request timed out"},
        {12005, "invalid URL"},
        {12006, "unrecognised scheme"},
        {12007, "server name not resolved"},
        {12029, "cannot connect to the server"},
        {12030, "connection aborted"},
        {12031, "connection reset"},
        {12037, "certificate expired or not yet valid"},
        {12038, "certificate issued for another host name"},
        {12044, "server asks for a client certificate"},
        {12045, "certificate issuer not trusted"},
        {12057, "server certificate's revocation not known offline (the setup accepts it and asks again)"},
        {12150, "header not in the answer (no Content-Length)"},
        {12152, "invalid answer from the server"},
        {12157, "secure channel error"},
        {12169, "invalid certificate"},
        {12170, "server certificate revoked"},
        {12175, "TLS failure"},
        {10051, "network unreachable"},
        {10060, "connection timed out"},
        {10061, "connection refused: nothing listens on that port"},
        {10065, "host unreachable"},
        {11001, "host name not found"},
        {11002, "name server did not answer in time"},
        {11004, "the name has no address"},
        {0x80070057u, "E_INVALIDARG: empty address or target"},
        {0x80000961u, "the request gave no file"},
        {0x800C0002u, "INET_E_INVALID_URL"},
        {0x800C0004u, "INET_E_CANNOT_CONNECT"},
        {0x800C0005u, "INET_E_RESOURCE_NOT_FOUND: server or file not found"},
        {0x800C0007u, "INET_E_DATA_NOT_AVAILABLE"},
        {0x800C0008u, "INET_E_DOWNLOAD_FAILURE"},
        {0x800C000Bu, "INET_E_CONNECTION_TIMEOUT"},
        {0x800C0019u, "INET_E_INVALID_CERTIFICATE"},
        // The signature check of a fetched program.
        {0x80092012u, "CRYPT_E_NO_REVOCATION_CHECK: revocation could not be checked"},
        {0x80092013u, "CRYPT_E_REVOCATION_OFFLINE: the revocation server could not be reached"},
        {0x80096004u, "TRUST_E_CERT_SIGNATURE: a certificate's signature does not verify"},
        {0x80096010u, "TRUST_E_BAD_DIGEST: the file was changed after it was signed"},
        {0x80096019u, "TRUST_E_BASIC_CONSTRAINTS: a certificate may not issue others"},
        {0x800B0001u, "TRUST_E_PROVIDER_UNKNOWN"},
        {0x800B0003u, "TRUST_E_SUBJECT_FORM_UNKNOWN: not a file type that carries signatures"},
        {0x800B0004u, "TRUST_E_SUBJECT_NOT_TRUSTED"},
        {0x800B0100u, "TRUST_E_NOSIGNATURE: no signature, or a damaged one"},
        {0x800B0101u, "CERT_E_EXPIRED: a certificate is out of date"},
        {0x800B0109u, "CERT_E_UNTRUSTEDROOT: the root certificate is not trusted"},
        {0x800B010Au, "CERT_E_CHAINING: no chain to a trusted root"},
        {0x800B010Bu, "TRUST_E_FAIL"},
        {0x800B010Cu, "CERT_E_REVOKED: a certificate was revoked"},
        {0x800B010Eu, "CERT_E_REVOCATION_FAILURE: revocation could not be checked"},
        {0x800B0110u, "CERT_E_WRONG_USAGE: the certificate is not for code signing"},
        {0x800B0111u, "TRUST_E_EXPLICIT_DISTRUST: the certificate is marked as not trusted"},
    };
    for (const Entry& e : kCodes) {
        if (e.code == code) return e.text;
    }
    // The https download's results carry a WinINet or Windows error in their low 16 bits.
    if ((code & 0xFFFF0000u) == 0x80000000u || (code & 0xFFFF0000u) == 0x80070000u) {
        const std::string inner = ExplainCode(code & 0xFFFFu);
        if (!inner.empty()) return "error " + std::to_string(code & 0xFFFFu) + ": " + inner;
    }
    return std::string();
}

}  // namespace kvlog
