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

// The SID of the local group "Users" (LookupAccountNameW on this machine); empty on failure.
std::vector<BYTE> LookupUsersSid();

// Puts the grant above for the local group "Users" in front of the access list of the file or
// directory at path, keeping the old entries after it, unless the list already begins with it.
// True once the list is set, or when nothing needed to change; false at the first failing
// call, with the object unchanged, and for an object without an access list or with a NULL
// list that lets everyone in (a list of one entry would take access away from others).
bool GrantUsersLeadingAccess(const wchar_t* path);
// The same through a handle opened with READ_CONTROL and WRITE_DAC: for an object that must not
// be swapped between a check and the grant.
bool GrantUsersLeadingAccess(HANDLE object);
