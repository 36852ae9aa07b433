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

std::vector<BYTE> LookupUsersSid() {
    DWORD sidSize = 0;
    DWORD domainChars = 0;
    SID_NAME_USE use;
    if (::LookupAccountNameW(nullptr, L"Users", nullptr, &sidSize, nullptr, &domainChars, &use) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::vector<BYTE> sid(sidSize, 0);
    std::vector<wchar_t> domain(domainChars + 1, L'\0');
    if (!::LookupAccountNameW(nullptr, L"Users", sid.data(), &sidSize, domain.data(), &domainChars, &use)) return {};
    return sid;
}

namespace {

// The grant over an object's access list, read and written by the two calls given, so that a
// path and an open handle share one algorithm.
template <typename Read, typename Write>
bool GrantUsersLeading(Read readSecurity, Write writeSecurity) {
    const std::vector<BYTE> users = LookupUsersSid();
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
