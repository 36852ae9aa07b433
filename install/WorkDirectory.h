// Where a step puts the files it fetches before they start or move on. This program runs with
// administrator rights, yet the user's temp directory is open to every program of that user:
// one of them could swap the installer between its download and its launch. An elevated run
// therefore fetches into a directory of its own, new for each step, under the machine's temp
// directory, that only Administrators and SYSTEM may write, and removes it when the step ends.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The security given to the private directory at its creation: owned by Administrators, and
// an access list of full access for Administrators and for SYSTEM, inherited by everything
// created inside, and nothing else; protected, so that nothing of the parent's list (which
// lets users create files) comes in.
class AdminOnlySecurity {
public:
    AdminOnlySecurity();
    AdminOnlySecurity(const AdminOnlySecurity&) = delete;
    AdminOnlySecurity& operator=(const AdminOnlySecurity&) = delete;
    // False when a SID or the list could not be built: nothing may be created with it then.
    bool Ready() const { return m_ready; }
    SECURITY_ATTRIBUTES* Attributes() { return m_ready ? &m_attributes : nullptr; }

private:
    std::vector<BYTE> m_administrators, m_system, m_acl;
    SECURITY_DESCRIPTOR m_descriptor = {};
    SECURITY_ATTRIBUTES m_attributes = {};
    bool m_ready = false;
};

// Whether this process runs with an elevated token (on Windows before Vista, where tokens have
// no elevation: whether it holds the Administrators group).
bool IsProcessElevated();

// A step's directory for its downloads. Elevated: a new directory with a random name under the
// machine's temp directory, made with AdminOnlySecurity (a name that exists already is never
// used: another one is drawn), removed with everything in it when the object goes. Not
// elevated: the user's temp directory, as it is, and nothing is removed.
class StepWorkDirectory {
public:
    StepWorkDirectory();
    ~StepWorkDirectory();
    StepWorkDirectory(const StepWorkDirectory&) = delete;
    StepWorkDirectory& operator=(const StepWorkDirectory&) = delete;

    // False when the private directory could not be made; error then holds the last error.
    bool Ready() const { return m_ready; }
    DWORD Error() const { return m_error; }
    bool IsPrivate() const { return m_private; }
    // Without any trailing backslash.
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    bool m_ready = false;
    bool m_private = false;
    DWORD m_error = ERROR_SUCCESS;
};

// Removes path with everything in it; a reparse point inside is removed itself, never followed.
void RemoveDirectoryTree(const std::wstring& path);
