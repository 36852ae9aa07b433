// The access list that puts the "Users" grant in front: built in memory, because Wine does not
// keep a list set on a file; the file call itself is checked for its result.

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

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

// Points this program's imports of LookupAccountNameW (direct or delay-loaded), while it lives,
// at a stand-in that finds no account of any name: a Windows whose language calls the group
// "Users" otherwise (Wine knows only the English names). Patched says whether the program
// imports the call at all.
class NoAccountNames {
public:
    using Slot = decltype(IMAGE_THUNK_DATA().u1.Function);

    NoAccountNames() {
        BYTE* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY* dirs = nt->OptionalHeader.DataDirectory;
        if (const DWORD rva = dirs[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress) {
            for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + rva); d->Name; ++d)
                Patch(base, d->Name, d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk, d->FirstThunk);
        }
        if (const DWORD rva = dirs[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress) {
            for (auto* d = reinterpret_cast<IMAGE_DELAYLOAD_DESCRIPTOR*>(base + rva); d->DllNameRVA; ++d) {
                if (d->Attributes.RvaBased) Patch(base, d->DllNameRVA, d->ImportNameTableRVA, d->ImportAddressTableRVA);
            }
        }
    }
    ~NoAccountNames() {
        for (size_t i = 0; i < m_slots.size(); ++i) Set(m_slots[i], m_old[i]);
    }
    NoAccountNames(const NoAccountNames&) = delete;
    NoAccountNames& operator=(const NoAccountNames&) = delete;
    bool Patched() const { return !m_slots.empty(); }

private:
    static BOOL WINAPI NoSuchAccount(LPCWSTR, LPCWSTR, PSID, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE) {
        ::SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    void Patch(BYTE* base, DWORD dllName, DWORD nameTable, DWORD slotTable) {
        if (::lstrcmpiA(reinterpret_cast<const char*>(base + dllName), "advapi32.dll") != 0) return;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + nameTable);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + slotTable);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "LookupAccountNameW") != 0) continue;
            m_slots.push_back(&slots->u1.Function);
            m_old.push_back(slots->u1.Function);
            Set(m_slots.back(), reinterpret_cast<Slot>(&NoSuchAccount));
        }
    }
    static void Set(Slot* slot, Slot value) {
        DWORD old = 0;
        ::VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old);
        *slot = value;
        ::VirtualProtect(slot, sizeof(*slot), old, &old);
    }
    std::vector<Slot*> m_slots;
    std::vector<Slot> m_old;
};

std::wstring TempFile(const wchar_t* tag) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + tag + std::to_wstring(::GetCurrentProcessId()) + L".log";
}

TEST(AccessListTest, UsersIsTheWellKnownGroupWhateverItsName) {
    const std::vector<BYTE> expected = WellKnownSid(WinBuiltinUsersSid);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(UsersSid(), expected);

    // Where no account is found by the name "Users", the grant still reaches the group.
    const std::wstring path = TempFile(L"kv_named_");
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);
    {
        NoAccountNames localized;
        EXPECT_EQ(UsersSid(), expected);
        EXPECT_TRUE(GrantLogFileAccess(path)) << "patched a lookup by name: " << localized.Patched();
    }
    ::DeleteFileW(path.c_str());
}

// A descriptor from its text form (SDDL), as Windows writes directories' lists.
std::vector<BYTE> Descriptor(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR made = nullptr;
    ULONG size = 0;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made, &size)) return {};
    std::vector<BYTE> bytes(static_cast<BYTE*>(made), static_cast<BYTE*>(made) + size);
    ::LocalFree(made);
    return bytes;
}

TEST(AccessListTest, WhetherEveryLocalUserMayCreateFilesInADirectory) {
    struct Case {
        const char* what;
        const wchar_t* sddl;
        bool creates;
    } const cases[] = {
        {"System32: Users read and run", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},
        {"a drive's root: Authenticated Users make folders, files only inside",
         L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)", false},
        {"Windows\\Temp: Users create files, inherited by folders",
         L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100026;;;BU)", true},
        {"a user's own profile folder", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)",
         false},
        {"Administrators alone", L"D:(A;OICI;FA;;;BA)", false},
        {"no entries at all", L"D:", false},
        {"Users: create files and nothing else", L"D:(A;;0x2;;;BU)", true},
        {"Users: create folders only", L"D:(A;;0x4;;;BU)", false},
        {"Everyone: generic write", L"D:(A;;GW;;;WD)", true},
        {"Authenticated Users: generic all", L"D:(A;;GA;;;AU)", true},
        {"as Wine shows mode 0755", L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)", false},
        {"as Wine shows mode 0777", L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1301ff;;;WD)", true},
        {"Users' grant inherited only", L"D:(A;OICIIO;FA;;;BU)", false},
        {"Everyone denied before Users' grant", L"D:(D;;0x2;;;WD)(A;;FA;;;BU)", false},
        {"Users denied generic write before Everyone's grant", L"D:(D;;GW;;;BU)(A;;FA;;;WD)", false},
        {"Users' grant before a denial", L"D:(A;;FA;;;BU)(D;;0x2;;;WD)", true},
        {"a denial that leaves creating files alone", L"D:(D;;0x4;;;WD)(A;;FA;;;BU)", true},
        {"a denial for one user only", L"D:(D;;FA;;;S-1-5-21-1-2-3-1001)(A;;FA;;;BU)", true},
        {"an inherited-only denial", L"D:(D;OICIIO;FA;;;WD)(A;;FA;;;BU)", true},
        {"no DACL at all", L"O:BA", true},
        {"above medium, no writing up", L"D:(A;;FA;;;WD)S:(ML;;NW;;;HI)", false},
        {"medium, no writing up", L"D:(A;;FA;;;WD)S:(ML;;NW;;;ME)", true},
        {"above medium, only no reading up", L"D:(A;;FA;;;WD)S:(ML;;NR;;;HI)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> descriptor = Descriptor(c.sddl);
        ASSERT_FALSE(descriptor.empty()) << "the text form was not read";
        EXPECT_EQ(LetsUsersCreateFiles(descriptor.data()), c.creates);
    }
    EXPECT_FALSE(LetsUsersCreateFiles(nullptr));

    // A NULL DACL: documented to let everyone in.
    SECURITY_DESCRIPTOR open = {};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_TRUE(LetsUsersCreateFiles(&open));

    // An entry of a kind that cannot be judged here (a conditional grant) before any that
    // decides: no, even where a plain grant would say yes.
    std::vector<BYTE> conditional = Descriptor(L"D:(A;;FA;;;WD)");
    ASSERT_FALSE(conditional.empty());
    ASSERT_TRUE(LetsUsersCreateFiles(conditional.data()));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(conditional.data(), &present, &dacl, &defaulted));
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, &ace));
    static_cast<ACE_HEADER*>(ace)->AceType = ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
    EXPECT_FALSE(LetsUsersCreateFiles(conditional.data()));
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
