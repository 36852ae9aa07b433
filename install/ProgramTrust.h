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

// The program file opened for its check and start: reading, while nobody (this process
// included) may write, rename or delete it. Empty when it does not open; GetLastError says why.
kv::UniqueFile HoldProgramFile(const std::wstring& path);

// Whether the open file is a PE image as far as its start: the "MZ" header, and the "PE\0\0"
// signature at the offset its e_lfanew gives. Reads through the handle at fixed offsets.
bool IsProgramImage(HANDLE file);

// WinVerifyTrust on the open file (no UI, revocation from the local cache only; through the
// platform's verifyTrust, whose closing call is made on every way out), and the signer's
// chain. path names the same file for the calls that need a name.
SignatureCheck CheckProgramSignature(HANDLE file, const std::wstring& path);

// Where the signer's chain holds one of the pins: 0 the signer's own certificate, 1 and on its
// issuers; nullopt when none does or the signature does not verify.
std::optional<size_t> PinnedChainLink(const SignatureCheck& check, const std::vector<Thumbprint>& pins);

// The setup's rule for starting a checked program. pins: ReadPublisherPins()'s answer.
enum class StartVerdict {
    Start,
    NotVerified,          // the signature does not verify: never started, pins or not
    PinsUnreadable,       // the pin slot cannot be read: nothing starts
    UnsignedWhilePinned,  // pins demand a signature
    SignerNotPinned,      // verified, but no pinned certificate in the signer's chain
};
StartVerdict JudgeProgramStart(const SignatureCheck& check, const std::optional<std::vector<Thumbprint>>& pins);

// Upper-case hex, 64 characters.
std::string ThumbprintHex(const Thumbprint& thumbprint);

// The step's decision on a program it fetched: opens path for reading while denying everyone
// writes and deletion (through the platform's holdProgramFile; a sharing or lock violation,
// as an on-access scanner causes, is waited out a few times over a few seconds, each retry
// logged), refuses a file that is no PE image (IsProgramImage: "not a program"), checks its
// signature, and logs "Signer: ..." and, when it refuses, one line that says why
// (logName names the program there). True: cleared to start; `held` then keeps the
// file as checked until the caller lets go of it once the program has started. False: refused,
// nothing may start, and the file has been removed. pins: ReadPublisherPins()'s answer.
bool ClearProgramToStart(FuncTrace& trace, const std::wstring& path, const char* logName,
                         const std::optional<std::vector<Thumbprint>>& pins, kv::UniqueFile& held);
