// The server certificate as kvcheck judges it: fetched over a TLS connection that forgives
// every certificate fault, so that the faults can be named instead of only refused.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

struct ServerCertificate {
    bool fetched = false;   // a TLS connection was made and the server's certificate read
    DWORD error = 0;        // why not, when not fetched: the WinINet or Windows error
    bool detailed = false;  // the chain below was evaluated; without it only the text fields hold
    std::wstring subject, issuer;
    // The DNS names and IP addresses it is issued for: its subject alternative names, or its
    // common name when it has none.
    std::vector<std::wstring> names;
    FILETIME notBefore = {}, notAfter = {};
    bool trusted = false;
    std::string trustProblem;  // why not trusted, in words
    int timeValidity = 0;      // -1 not valid yet, 0 valid now, 1 expired (it or a certificate above it)
    bool nameMatches = false;  // one of names covers the host
};

// Connects to host:port over TLS through WinINet with every certificate check relaxed, reads
// the server's certificate chain and evaluates it against this machine's trusted roots, the
// clock and host. Never throws.
ServerCertificate FetchServerCertificate(const std::wstring& host, INTERNET_PORT port);

// Whether a certificate name covers host: equal ignoring case, or a "*." name covering exactly
// one more label on its left ("*.example.com" covers "a.example.com", not "example.com" nor
// "a.b.example.com"). IP addresses compare as text.
bool CertificateNameCovers(const std::wstring& name, const std::wstring& host);
