#include "install/WorkDirectory.h"

#include <ntsecapi.h>

#include <cwchar>

#include "framework/handle.h"
#include "framework/paths.h"
#include "install/InstallPlatform.h"

namespace {

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

// 16 random hexadecimal digits from the system's generator; empty when it gives none.
std::wstring RandomName() {
    unsigned char bytes[8] = {};
    if (!RtlGenRandom(bytes, sizeof(bytes))) return L"";
    std::wstring name = L"kv";
    static const wchar_t kHex[] = L"0123456789abcdef";
    for (unsigned char b : bytes) {
        name += kHex[b >> 4];
        name += kHex[b & 15];
    }
    return name;
}

}  // namespace

AdminOnlySecurity::AdminOnlySecurity()
    : m_administrators(WellKnownSid(WinBuiltinAdministratorsSid)), m_system(WellKnownSid(WinLocalSystemSid)) {
    if (m_administrators.empty() || m_system.empty()) return;
    const DWORD aceBase = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    m_acl.resize(sizeof(ACL) + 2 * aceBase + m_administrators.size() + m_system.size());
    PACL acl = reinterpret_cast<PACL>(m_acl.data());
    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!::InitializeAcl(acl, static_cast<DWORD>(m_acl.size()), ACL_REVISION) ||
        !::AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, m_administrators.data()) ||
        !::AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, m_system.data()) ||
        !::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE) ||
        // Named, not left to the token's default: under the policy "default owner: object
        // creator" the user would own the directory and could rewrite its access list.
        !::SetSecurityDescriptorOwner(&m_descriptor, m_administrators.data(), FALSE) ||
        !::SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return;
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = &m_descriptor;
    m_attributes.bInheritHandle = FALSE;
    m_ready = true;
}

bool IsProcessElevated() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    kv::UniqueKernelHandle token(raw);
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size))
        return elevation.TokenIsElevated != 0;
    // Windows XP knows no elevation: a member of Administrators has all of its rights.
    std::vector<BYTE> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
    BOOL member = FALSE;
    return !administrators.empty() && ::CheckTokenMembership(nullptr, administrators.data(), &member) && member;
}

StepWorkDirectory::StepWorkDirectory() {
    const InstallPlatform& platform = ActiveInstallPlatform();
    if (!platform.isElevated()) {
        m_path = GetTempDirectory();
        m_ready = true;
        return;
    }
    m_private = true;
    AdminOnlySecurity security;
    if (!security.Ready()) {
        m_error = ::GetLastError();
        return;
    }
    const std::wstring parent = platform.machineTempDirectory();
    // A name that is taken may be a trap laid for us: draw another, never reuse it.
    for (int tries = 0; tries < 8; ++tries) {
        const std::wstring name = RandomName();
        if (name.empty()) {
            m_error = ERROR_GEN_FAILURE;
            return;
        }
        const std::wstring path = parent + L"\\" + name;
        ::SetLastError(ERROR_SUCCESS);
        if (platform.createDirectory(path, security.Attributes())) {
            m_path = path;
            m_ready = true;
            return;
        }
        m_error = ::GetLastError();
        if (m_error != ERROR_ALREADY_EXISTS) return;
    }
}

StepWorkDirectory::~StepWorkDirectory() {
    if (m_private && m_ready) RemoveDirectoryTree(m_path);
}

void RemoveDirectoryTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            const DWORD attributes = found.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_READONLY)
                ::SetFileAttributesW(child.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveDirectoryTree(child);
            else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                ::RemoveDirectoryW(child.c_str());
            else
                ::DeleteFileW(child.c_str());
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}
