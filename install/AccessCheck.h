// The first page's check that the server answers, made as the transfers make their requests:
// through WinINet with the system's proxy settings, the transfers' open flags and the stall
// limit. A platform check that only tries a connection goes around a web proxy, so behind a
// mandatory one it calls a server unreachable that every transfer would reach.
#pragma once

#include <windows.h>

#include <string>

struct AccessAnswer {
    enum class Verdict {
        Answered,       // the server (or the proxy in front of it) gave an HTTP answer
        Reached,        // the server spoke TLS, but its certificate or TLS was refused (error):
                        // the check passes, the transfers meet the refusal with their own codes
        ProxyRefused,   // the proxy asks for credentials (407) that the program cannot give
        Unreachable,    // no answer: no name, no connection, a refused certificate, a stall
    };
    Verdict verdict = Verdict::Unreachable;
    DWORD httpStatus = 0;  // the answer's status, 0 when there was none
    DWORD error = 0;       // the WinINet or Windows error when there was no answer
    bool revocationUnknown = false;  // the certificate's revocation could not be checked; accepted
};

// One GET of url ("http://host" or "https://host"; useHttps 1 selects the https flags) asking
// for its first byte only. Any HTTP status counts as an answer, except a proxy's 407; a refused
// certificate or TLS counts as reached (the page goes on). Blocks
// for at most about twice the stall limit (a retry for an unknown revocation status); never
// asks anyone for anything. Logs nothing itself but the request layer's certificate note.
AccessAnswer CheckServerAccess(const std::wstring& url, int useHttps);
