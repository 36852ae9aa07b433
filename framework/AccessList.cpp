#include "framework/AccessList.h"

namespace {

bool BeginsWithGrant(PACL list, PSID sid) {
    ACL_SIZE_INFORMATION info = {};
    if (!::GetAclInformation(list, &info, sizeof(info), AclSizeInformation) || info.AceCount == 0) return false;
    void* first = nullptr;
    if (!::GetAce(list, 0, &first)) return false;
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(first);
    // Windows may store the generic rights of a file or directory entry mapped to the specific
    // ones, so a grant set by an earlier run can come back as FILE_ALL_ACCESS.
    const bool grantsAll = ace->Mask == kLeadingGrantMask || (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
    return ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && ace->Header.AceFlags == kLeadingGrantFlags &&
           grantsAll && ::EqualSid(const_cast<DWORD*>(&ace->SidStart), sid);
}

}  // namespace

LeadingGrantResult BuildLeadingGrantList(PACL oldList, PSID sid, std::vector<BYTE>& newList) {
    newList.clear();
    if (!oldList || !sid || !::IsValidSid(sid)) return LeadingGrantResult::Failed;

    ACL_SIZE_INFORMATION info = {};
    if (!::GetAclInformation(oldList, &info, sizeof(info), AclSizeInformation)) return LeadingGrantResult::Failed;
    // Putting the same grant in front again at every run would grow the list without bound.
    if (BeginsWithGrant(oldList, sid)) return LeadingGrantResult::AlreadyInFront;

    std::vector<BYTE> list(info.AclBytesInUse + ::GetLengthSid(sid) + 16, 0);
    PACL acl = reinterpret_cast<PACL>(list.data());
    if (!::InitializeAcl(acl, static_cast<DWORD>(list.size()), ACL_REVISION) ||
        !::AddAccessAllowedAceEx(acl, ACL_REVISION, kLeadingGrantFlags, kLeadingGrantMask, sid))
        return LeadingGrantResult::Failed;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(oldList, i, &ace) ||
            !::AddAce(acl, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize))
            return LeadingGrantResult::Failed;
    }
    newList = std::move(list);
    return LeadingGrantResult::Built;
}

namespace {

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    std::vector<BYTE> sid(size, 0);
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

// Whether mask, as an entry of a file or directory holds it, covers creating a file: the
// specific right, or a generic one that the file system maps onto it.
bool CoversAddFile(DWORD mask) { return (mask & (FILE_ADD_FILE | GENERIC_WRITE | GENERIC_ALL)) != 0; }

// Whether the SACL carries a mandatory label above medium integrity that forbids writing up:
// the users' programs run at medium integrity at most.
bool LabelForbidsUsers(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (!::GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) || !present || !sacl) return false;
    for (DWORD i = 0; i < sacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(sacl, i, &raw)) return true;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if (header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        const auto* label = static_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(raw);
        PSID sid = const_cast<DWORD*>(&label->SidStart);
        if (!::IsValidSid(sid) || *::GetSidSubAuthorityCount(sid) == 0) return true;
        const DWORD level = *::GetSidSubAuthority(sid, *::GetSidSubAuthorityCount(sid) - 1);
        if (level > SECURITY_MANDATORY_MEDIUM_RID && (label->Mask & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP)) return true;
    }
    return false;
}

}  // namespace

std::vector<BYTE> UsersSid() { return WellKnownSid(WinBuiltinUsersSid); }

bool LetsUsersCreateFiles(PSECURITY_DESCRIPTOR descriptor) {
    if (!descriptor || !::IsValidSecurityDescriptor(descriptor)) return false;
    if (LabelForbidsUsers(descriptor)) return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return false;
    // Documented: no DACL, or a NULL one, grants every access to everyone.
    if (!present || !dacl) return true;

    const std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
    const std::vector<BYTE> everyone = WellKnownSid(WinWorldSid);
    const std::vector<BYTE> authenticated = WellKnownSid(WinAuthenticatedUserSid);
    if (users.empty() || everyone.empty() || authenticated.empty()) return false;
    const auto heldByEveryUser = [&](PSID sid) {
        return ::EqualSid(sid, const_cast<BYTE*>(users.data())) || ::EqualSid(sid, const_cast<BYTE*>(everyone.data())) ||
               ::EqualSid(sid, const_cast<BYTE*>(authenticated.data()));
    };

    ACL_SIZE_INFORMATION info = {};
    if (!::GetAclInformation(dacl, &info, sizeof(info), AclSizeInformation)) return false;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        // Only inherited by what is made inside: not part of the directory's own access.
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) return false;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        if (!::IsValidSid(sid)) return false;
        if (!heldByEveryUser(sid) || !CoversAddFile(ace->Mask)) continue;
        return header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    }
    return false;
}

namespace {

// The grant over an object's access list, read and written by the two calls given, so that a
// path and an open handle share one algorithm.
template <typename Read, typename Write>
bool GrantUsersLeading(Read readSecurity, Write writeSecurity) {
    const std::vector<BYTE> users = UsersSid();
    if (users.empty()) return false;

    DWORD needed = 0;
    if (readSecurity(nullptr, 0, &needed) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    std::vector<BYTE> descriptor(needed, 0);
    if (!readSecurity(descriptor.data(), needed, &needed)) return false;

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted)) return false;
    if (!present) dacl = nullptr;

    std::vector<BYTE> list;
    switch (BuildLeadingGrantList(dacl, const_cast<BYTE*>(users.data()), list)) {
    case LeadingGrantResult::AlreadyInFront:
        return true;
    case LeadingGrantResult::Failed:
        // The caller logs the reason; the list calls above set none of their own here.
        ::SetLastError(ERROR_INVALID_ACL);
        return false;
    case LeadingGrantResult::Built:
        break;
    }

    SECURITY_DESCRIPTOR updated = {};
    return ::InitializeSecurityDescriptor(&updated, SECURITY_DESCRIPTOR_REVISION) &&
           ::SetSecurityDescriptorDacl(&updated, TRUE, reinterpret_cast<PACL>(list.data()), TRUE) &&
           writeSecurity(&updated);
}

}  // namespace

bool GrantUsersLeadingAccess(const wchar_t* path) {
    return GrantUsersLeading(
        [path](PSECURITY_DESCRIPTOR d, DWORD size, DWORD* needed) {
            return ::GetFileSecurityW(path, DACL_SECURITY_INFORMATION, d, size, needed) != FALSE;
        },
        [path](PSECURITY_DESCRIPTOR d) { return ::SetFileSecurityW(path, DACL_SECURITY_INFORMATION, d) != FALSE; });
}

bool GrantUsersLeadingAccess(HANDLE object) {
    return GrantUsersLeading(
        [object](PSECURITY_DESCRIPTOR d, DWORD size, DWORD* needed) {
            return ::GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, d, size, needed) != FALSE;
        },
        [object](PSECURITY_DESCRIPTOR d) {
            return ::SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, d) != FALSE;
        });
}
