// The access list that puts the "Users" grant in front: built in memory, because Wine does not
// keep a list set on a file; the file call itself is checked for its result.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/AccessList.h"
#include "tracelog/TraceInit.h"

namespace {

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    std::vector<BYTE> sid(size, 0);
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

struct Entry {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::vector<BYTE> sid;
};

// An access list holding the entries in order.
std::vector<BYTE> MakeList(const std::vector<Entry>& entries) {
    std::vector<BYTE> list(1024, 0);
    PACL acl = reinterpret_cast<PACL>(list.data());
    EXPECT_TRUE(::InitializeAcl(acl, static_cast<DWORD>(list.size()), ACL_REVISION));
    for (const Entry& e : entries) {
        PSID sid = const_cast<BYTE*>(e.sid.data());
        BOOL ok = e.type == ACCESS_ALLOWED_ACE_TYPE ? ::AddAccessAllowedAceEx(acl, ACL_REVISION, e.flags, e.mask, sid)
                                                    : ::AddAccessDeniedAceEx(acl, ACL_REVISION, e.flags, e.mask, sid);
        EXPECT_TRUE(ok);
    }
    return list;
}

PACL AsAcl(std::vector<BYTE>& list) { return reinterpret_cast<PACL>(list.data()); }

std::vector<std::vector<BYTE>> AceBytes(PACL acl) {
    ACL_SIZE_INFORMATION info = {};
    EXPECT_TRUE(::GetAclInformation(acl, &info, sizeof(info), AclSizeInformation));
    std::vector<std::vector<BYTE>> aces;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* ace = nullptr;
        EXPECT_TRUE(::GetAce(acl, i, &ace));
        const BYTE* p = static_cast<const BYTE*>(ace);
        aces.emplace_back(p, p + static_cast<ACE_HEADER*>(ace)->AceSize);
    }
    return aces;
}

TEST(AccessListTest, UsersIsTheLocalGroup) {
    const std::vector<BYTE> users = LookupUsersSid();
    const std::vector<BYTE> expected = WellKnownSid(WinBuiltinUsersSid);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(users, expected);
}

TEST(AccessListTest, GrantGoesFirstOldEntriesFollowAndNoSecondGrant) {
    const std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
    const std::vector<BYTE> admins = WellKnownSid(WinBuiltinAdministratorsSid);
    const std::vector<BYTE> world = WellKnownSid(WinWorldSid);
    const BYTE allow = ACCESS_ALLOWED_ACE_TYPE;
    const BYTE deny = ACCESS_DENIED_ACE_TYPE;
    struct Case {
        const char* what;
        std::vector<Entry> old;
    } const cases[] = {
        {"empty list", {}},
        {"deny and allow entries", {{deny, 0, FILE_WRITE_DATA, world}, {allow, 3, GENERIC_READ, admins}}},
        {"users first with another mask", {{allow, 3, FILE_GENERIC_READ, users}, {allow, 0, GENERIC_ALL, admins}}},
        {"users first with other flags", {{allow, 0, kLeadingGrantMask, users}}},
        {"users first with all file rights, other flags", {{allow, 0, FILE_ALL_ACCESS, users}}},
        {"users denied the same", {{deny, 3, kLeadingGrantMask, users}}},
        {"same grant for another group", {{allow, 3, kLeadingGrantMask, admins}}},
        {"same grant, but second", {{allow, 0, GENERIC_READ, world}, {allow, 3, kLeadingGrantMask, users}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> old = MakeList(c.old);
        std::vector<BYTE> built;
        ASSERT_EQ(BuildLeadingGrantList(AsAcl(old), const_cast<BYTE*>(users.data()), built), LeadingGrantResult::Built);
        ASSERT_TRUE(::IsValidAcl(AsAcl(built)));
        EXPECT_EQ(AsAcl(built)->AclRevision, ACL_REVISION);

        const std::vector<std::vector<BYTE>> before = AceBytes(AsAcl(old));
        const std::vector<std::vector<BYTE>> after = AceBytes(AsAcl(built));
        ASSERT_EQ(after.size(), before.size() + 1);
        const auto* first = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(after[0].data());
        EXPECT_EQ(first->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(first->Header.AceFlags, 3);
        EXPECT_EQ(first->Mask, 0xF0000000u);
        EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&first->SidStart), const_cast<BYTE*>(users.data())));
        for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i + 1], before[i]) << "old entry " << i;

        // Run again on what was built: the grant is already in front, nothing more to do.
        std::vector<BYTE> again(1, 0xCC);
        EXPECT_EQ(BuildLeadingGrantList(AsAcl(built), const_cast<BYTE*>(users.data()), again),
                  LeadingGrantResult::AlreadyInFront);
        EXPECT_TRUE(again.empty());
    }
}

TEST(AccessListTest, GrantAlreadyInFrontAsWindowsStoresIt) {
    const std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
    const std::vector<BYTE> admins = WellKnownSid(WinBuiltinAdministratorsSid);
    struct Case {
        const char* what;
        DWORD mask;
    } const cases[] = {
        {"generic rights as set", kLeadingGrantMask},
        {"mapped to the specific file rights", FILE_ALL_ACCESS},
        {"mapped, with more rights beside them", FILE_ALL_ACCESS | ACCESS_SYSTEM_SECURITY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> old = MakeList({{ACCESS_ALLOWED_ACE_TYPE, 3, c.mask, users},
                                          {ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_READ, admins}});
        std::vector<BYTE> built(1, 0xCC);
        EXPECT_EQ(BuildLeadingGrantList(AsAcl(old), const_cast<BYTE*>(users.data()), built),
                  LeadingGrantResult::AlreadyInFront);
        EXPECT_TRUE(built.empty());
    }
}

TEST(AccessListTest, MissingListOrSidFails) {
    std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
    std::vector<BYTE> old = MakeList({});
    std::vector<BYTE> built;
    // No DACL at all, or a NULL DACL that lets everyone in: a grant in front would lock others out.
    EXPECT_EQ(BuildLeadingGrantList(nullptr, users.data(), built), LeadingGrantResult::Failed);
    EXPECT_EQ(BuildLeadingGrantList(AsAcl(old), nullptr, built), LeadingGrantResult::Failed);
    EXPECT_TRUE(built.empty());
}

TEST(AccessListTest, FileGrantReportsItsResult) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"kv_grant_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);

    EXPECT_TRUE(GrantLogFileAccess(path));
    ::DeleteFileW(path.c_str());
    EXPECT_FALSE(GrantLogFileAccess(path));
}

}  // namespace
