// The check a downloaded program passes before it starts: its Authenticode signature, and with
// publisher pins present, its signer. The file is held open (no writes, no deletion by anyone)
// from before the check until the program has started.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "framework/handle.h"
#include "install/PublisherPins.h"

class FuncTrace;

enum class SignatureState {
    Unsigned,     // the file carries no signature
    Verified,     // the signature verifies
    NotVerified,  // the file carries a signature that does not verify (changed, damaged, distrusted)
};

struct SignatureCheck {
    SignatureState state = SignatureState::Unsigned;
    LONG status = 0;             // what WinVerifyTrust answered
    bool revocationUnknown = false;  // verified, but revocation could not be told from the cache
    // The signer, when the signature could be read (also for NotVerified where it could).
    bool hasSigner = false;
    std::wstring signerSubject;
    Thumbprint signerThumbprint = {};
    // SHA-256 thumbprints of the signer's chain: the signer's certificate first, then its issuers.
    std::vector<Thumbprint> chain;
};

// WinVerifyTrust on the open file (no UI, revocation from the local cache only), and the
// signer's chain. path names the same file for the calls that need a name.
SignatureCheck CheckProgramSignature(HANDLE file, const std::wstring& path);

// Whether the chain holds one of the pins.
bool ChainHoldsPin(const SignatureCheck& check, const std::vector<Thumbprint>& pins);

// Upper-case hex, 64 characters.
std::string ThumbprintHex(const Thumbprint& thumbprint);

// The step's decision on a program it fetched: opens path for reading while denying everyone
// writes and deletion, checks it, and logs "Signer: ..." and, when it refuses, one line that
// says why (logName names the program there). True: cleared to start; `held` then keeps the
// file as checked until the caller lets go of it once the program has started. False: refused,
// nothing may start, and the file has been removed. pins: ReadPublisherPins()'s answer.
bool ClearProgramToStart(FuncTrace& trace, const std::wstring& path, const char* logName,
                         const std::optional<std::vector<Thumbprint>>& pins, kv::UniqueFile& held);
