// Access lists that put one full-access entry for a group in front of what an object already
// allows or denies: the grant the log file and the site directories get for "Users".
#pragma once

#include <windows.h>

#include <vector>

// The entry that goes first: access allowed, inherited by files and subdirectories
// (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), read, write, execute and all (0xF0000000).
constexpr BYTE kLeadingGrantFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr DWORD kLeadingGrantMask = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

enum class LeadingGrantResult {
    Built,           // newList holds the grant followed by every entry of oldList, in order
    AlreadyInFront,  // oldList already begins with that entry for sid (its mask as given, or
                     // one including FILE_ALL_ACCESS, as Windows may store it): nothing to change
    Failed,          // oldList or sid is missing or unreadable, or an entry could not be copied
};

// Builds in newList an ACL (revision ACL_REVISION) whose first entry is the grant above for sid
// and whose further entries are those of oldList, unchanged and in their order. A null oldList
// (an object without a DACL, or with a NULL DACL that allows everyone everything) gives Failed:
// prepending to it would take access away. newList is emptied unless the result is Built.
LeadingGrantResult BuildLeadingGrantList(PACL oldList, PSID sid, std::vector<BYTE>& newList);

// The SID of the local group "Users", S-1-5-32-545, the same on every Windows whatever its
// language calls the group (a lookup by the English name fails where the group is named
// otherwise); empty on failure.
std::vector<BYTE> UsersSid();

// Whether a member of "Users" may create files in the directory that descriptor guards, judged
// only by what every local user holds: the groups Users, Everyone and Authenticated Users.
// The entries that apply to the directory itself (not those only inherited by what is made
// inside) are read in order as Windows's access check does: the first one for any of those
// groups that allows or denies FILE_ADD_FILE (also as GENERIC_WRITE or GENERIC_ALL) decides;
// none deciding means no. An entry of another kind than a plain grant or denial (conditional,
// object) before that cannot be judged here: no. A descriptor without a DACL, or with a NULL
// DACL, lets everyone in: yes. A missing or invalid descriptor: no. A mandatory label in the
// SACL above medium integrity that forbids writing up keeps the users' programs out whatever
// the DACL says: no. (The owner's implied rights are not counted: they can only make a "no"
// too strict, never a "yes" wrong.)
bool LetsUsersCreateFiles(PSECURITY_DESCRIPTOR descriptor);

// Puts the grant above for the local group "Users" in front of the access list of the file or
// directory at path, keeping the old entries after it, unless the list already begins with it.
// True once the list is set, or when nothing needed to change; false at the first failing
// call, with the object unchanged, and for an object without an access list or with a NULL
// list that lets everyone in (a list of one entry would take access away from others). On
// false the last error says why (ERROR_INVALID_ACL for a missing or NULL list).
bool GrantUsersLeadingAccess(const wchar_t* path);
// The same through a handle opened with READ_CONTROL and WRITE_DAC: for an object that must not
// be swapped between a check and the grant.
bool GrantUsersLeadingAccess(HANDLE object);
