#include "install/ProgramTrust.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>

#include "install/InstallPlatform.h"
#include "tracelog/FuncTrace.h"

namespace {

// Whether the image's security directory points at a certificate table. WinVerifyTrust answers
// "no signature" for some damaged tables too; a file that carries one is not unsigned.
bool CarriesCertificateTable(HANDLE file) {
    auto readAt = [&](DWORD offset, void* buffer, DWORD size) {
        OVERLAPPED at = {};
        at.Offset = offset;
        DWORD read = 0;
        return ::ReadFile(file, buffer, size, &read, &at) && read == size;
    };
    IMAGE_DOS_HEADER dos = {};
    if (!readAt(0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE) return false;
    const DWORD nt = static_cast<DWORD>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (!readAt(nt, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE) return false;
    if (!readAt(nt + 4, &header, sizeof(header))) return false;
    const DWORD optional = nt + 4 + sizeof(IMAGE_FILE_HEADER);
    WORD magic = 0;
    if (!readAt(optional, &magic, sizeof(magic))) return false;
    DWORD countAt;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        countAt = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
    else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        countAt = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
    else
        return false;
    DWORD directories = 0;
    if (!readAt(optional + countAt, &directories, sizeof(directories))) return false;
    if (directories <= IMAGE_DIRECTORY_ENTRY_SECURITY) return false;
    const DWORD securityAt = optional + countAt + 4 + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    if (securityAt + sizeof(IMAGE_DATA_DIRECTORY) > optional + header.SizeOfOptionalHeader) return false;
    IMAGE_DATA_DIRECTORY security = {};
    if (!readAt(securityAt, &security, sizeof(security))) return false;
    return security.VirtualAddress != 0 || security.Size != 0;
}

bool HashCertificate(PCCERT_CONTEXT cert, Thumbprint& out) {
    DWORD size = static_cast<DWORD>(out.size());
    return ::CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded,
                                   out.data(), &size) &&
           size == out.size();
}

std::wstring SubjectOf(PCCERT_CONTEXT cert) {
    const DWORD type = CERT_X500_NAME_STR;
    DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, type, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring text(length, L'\0');
    length = ::CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, type, &text[0], length);
    text.resize(length ? length - 1 : 0);
    return text;
}

// The answers that say only that revocation could not be told: the digest and the chain were
// checked before them, and an offline machine must not refuse every signed program.
bool IsRevocationUnknown(LONG status) {
    const HRESULT hr = static_cast<HRESULT>(status);
    return hr == CERT_E_REVOCATION_FAILURE || hr == CRYPT_E_REVOCATION_OFFLINE || hr == CRYPT_E_NO_REVOCATION_CHECK;
}

bool IsNoSignature(LONG status) {
    const HRESULT hr = static_cast<HRESULT>(status);
    return hr == TRUST_E_NOSIGNATURE || hr == TRUST_E_SUBJECT_FORM_UNKNOWN || hr == TRUST_E_PROVIDER_UNKNOWN;
}

// The state that WinVerifyTrust's verifying call leaves (the provider's data, the file's
// catalog, the chain) is given back by its closing call on every way out of the check, an
// exception while the signer is read included: an elevated run checks up to six programs.
class TrustStateGuard {
public:
    TrustStateGuard(const InstallPlatform& platform, GUID& action, WINTRUST_DATA& data)
        : m_platform(platform), m_action(action), m_data(data) {}
    ~TrustStateGuard() {
        if (!m_verifying) return;
        m_data.dwStateAction = WTD_STATEACTION_CLOSE;
        m_platform.verifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &m_action, &m_data);
    }
    TrustStateGuard(const TrustStateGuard&) = delete;
    TrustStateGuard& operator=(const TrustStateGuard&) = delete;

    // The verifying call; from here on the state is closed.
    LONG Verify() {
        m_data.dwStateAction = WTD_STATEACTION_VERIFY;
        m_verifying = true;
        return m_platform.verifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &m_action, &m_data);
    }

private:
    const InstallPlatform& m_platform;
    GUID& m_action;
    WINTRUST_DATA& m_data;
    bool m_verifying = false;
};

// A scanner that opens a fresh file on access keeps it open for a moment and makes the hold
// fail with a sharing (or lock) violation: the hold is tried again after each pause, 3.75 s in
// all, before the program is refused.
const DWORD kHoldPauses[] = {250, 500, 1000, 1000, 1000};
const int kHoldRetries = static_cast<int>(sizeof(kHoldPauses) / sizeof(kHoldPauses[0]));

kv::UniqueFile HoldFetchedProgram(FuncTrace& trace, const std::wstring& path, const char* logName) {
    const InstallPlatform& platform = ActiveInstallPlatform();
    for (int retry = 0;; ++retry) {
        kv::UniqueFile held = platform.holdProgramFile(path);
        if (held) return held;
        const DWORD error = ::GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) || retry == kHoldRetries) {
            ::SetLastError(error);
            return held;
        }
        trace.Log("%s in use by another program (err: %u), held again in %u ms (retry %d of %d)", logName,
                  static_cast<unsigned>(error), static_cast<unsigned>(kHoldPauses[retry]), retry + 1, kHoldRetries);
        platform.sleep(kHoldPauses[retry]);
    }
}

}  // namespace

bool IsProgramImage(HANDLE file) {
    OVERLAPPED at = {};
    DWORD read = 0;
    IMAGE_DOS_HEADER dos = {};
    if (!::ReadFile(file, &dos, sizeof(dos), &read, &at) || read != sizeof(dos) || dos.e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    // A negative offset is no place in the file.
    if (dos.e_lfanew < 0) return false;
    at = {};
    at.Offset = static_cast<DWORD>(dos.e_lfanew);
    DWORD signature = 0;
    return ::ReadFile(file, &signature, sizeof(signature), &read, &at) && read == sizeof(signature) &&
           signature == IMAGE_NT_SIGNATURE;
}

SignatureCheck CheckProgramSignature(HANDLE file, const std::wstring& path) {
    SignatureCheck check;
    const bool carriesTable = CarriesCertificateTable(file);

    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    // Revocation lists only from the local cache: an offline machine never waits on the network.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    {
        TrustStateGuard state(ActiveInstallPlatform(), action, data);
        check.status = state.Verify();

        if (CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData)) {
            if (CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0)) {
                for (DWORD i = 0; i < signer->csCertChain; ++i) {
                    PCCERT_CONTEXT cert = signer->pasCertChain[i].pCert;
                    Thumbprint thumbprint;
                    if (!cert || !HashCertificate(cert, thumbprint)) break;
                    if (i == 0) {
                        check.hasSigner = true;
                        check.signerSubject = SubjectOf(cert);
                        check.signerThumbprint = thumbprint;
                    }
                    check.chain.push_back(thumbprint);
                }
            }
        }
    }

    if (check.status == ERROR_SUCCESS) {
        check.state = SignatureState::Verified;
    } else if (IsRevocationUnknown(check.status)) {
        check.state = SignatureState::Verified;
        check.revocationUnknown = true;
    } else if (IsNoSignature(check.status) && !carriesTable && !check.hasSigner) {
        check.state = SignatureState::Unsigned;
    } else {
        check.state = SignatureState::NotVerified;
    }
    // A verified signature without a readable signer cannot be matched against pins, nor named.
    if (check.state == SignatureState::Verified && !check.hasSigner) check.state = SignatureState::NotVerified;
    return check;
}

kv::UniqueFile HoldProgramFile(const std::wstring& path) {
    return kv::UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::optional<size_t> PinnedChainLink(const SignatureCheck& check, const std::vector<Thumbprint>& pins) {
    if (check.state != SignatureState::Verified) return std::nullopt;
    for (size_t i = 0; i < check.chain.size(); ++i)
        if (std::find(pins.begin(), pins.end(), check.chain[i]) != pins.end()) return i;
    return std::nullopt;
}

StartVerdict JudgeProgramStart(const SignatureCheck& check, const std::optional<std::vector<Thumbprint>>& pins) {
    if (check.state == SignatureState::NotVerified) return StartVerdict::NotVerified;
    if (!pins) return StartVerdict::PinsUnreadable;
    if (pins->empty()) return StartVerdict::Start;
    if (check.state == SignatureState::Unsigned) return StartVerdict::UnsignedWhilePinned;
    return PinnedChainLink(check, *pins) ? StartVerdict::Start : StartVerdict::SignerNotPinned;
}

std::string ThumbprintHex(const Thumbprint& thumbprint) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : thumbprint) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

bool ClearProgramToStart(FuncTrace& trace, const std::wstring& path, const char* logName,
                         const std::optional<std::vector<Thumbprint>>& pins, kv::UniqueFile& held) {
    held = HoldFetchedProgram(trace, path, logName);
    if (!held) {
        trace.Log("%s could not be held for its check (err: %u), not started___", logName,
                  static_cast<unsigned>(::GetLastError()));
        return false;
    }
    // A sign-in or error page saved under the program's name would only fail to start (or,
    // by hand, show the system's box): judged on the held bytes, before anything else.
    if (!IsProgramImage(held.get())) {
        trace.Log("%s not a program (no PE image), removed, not started___", logName);
        held.reset();
        ::DeleteFileW(path.c_str());
        return false;
    }
    const SignatureCheck check = CheckProgramSignature(held.get(), path);
    if (check.hasSigner) {
        trace.Log("Signer: %S %s", check.signerSubject.c_str(), ThumbprintHex(check.signerThumbprint).c_str());
    } else {
        trace.Log("Signer: none");
    }
    if (check.revocationUnknown) {
        trace.Log("%s signer's revocation not known offline (0x%08x), accepted", logName,
                  static_cast<unsigned>(check.status));
    }

    const StartVerdict verdict = JudgeProgramStart(check, pins);
    switch (verdict) {
    case StartVerdict::Start:
        break;
    case StartVerdict::NotVerified:
        trace.Log("%s signature does not verify (0x%08x), removed, not started___", logName,
                  static_cast<unsigned>(check.status));
        break;
    case StartVerdict::PinsUnreadable:
        trace.Log("%s publisher pins unreadable, removed, not started___", logName);
        break;
    case StartVerdict::UnsignedWhilePinned:
        trace.Log("%s unsigned while publishers are pinned, removed, not started___", logName);
        break;
    case StartVerdict::SignerNotPinned:
        trace.Log("%s signer not pinned, removed, not started___", logName);
        break;
    }
    const bool cleared = verdict == StartVerdict::Start;
    if (!cleared) {
        // Our own handle denies deletion to everyone, this process included.
        held.reset();
        ::DeleteFileW(path.c_str());
    }
    return cleared;
}
