// The place where a site's files live: the base directory "KestrelVAULT" under the Program
// Files folder, the site directory named by SiteName below it, full access for the local
// "Users" group on both (Windows 6.0 and later), and the site descriptor moved there.
#pragma once

#include <windows.h>

#include <string>

// Whether name can name the site directory: empty (the files then land in the base
// directory), or one plain path component. Not one: a name holding \ / : * ? " < > | or a
// control character, "." or "..", a name ending in a dot or a blank, and the device names
// (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9, also with an extension).
// The name comes from the server, and this elevated program creates that directory, opens it
// to "Users" and runs a downloaded program from it: it must not reach anywhere else.
bool IsPlainSiteName(const std::wstring& name);

enum class SiteFilesOutcome {
    Done,             // siteDirectory holds the descriptor copy; the temp file is deleted
    InvalidSiteName,  // nothing was created (IsPlainSiteName)
    BaseDirFailure,   // the base directory is missing after the attempt to create it
    SiteDirFailure,   // the site directory is missing after the attempt to create it
    CopyFailure,      // the descriptor could not be copied; the temp file stays
};

struct SiteFilesResult {
    SiteFilesOutcome outcome = SiteFilesOutcome::InvalidSiteName;
    // "<Program Files>\KestrelVAULT\<SiteName>", set from the site directory step on; with an
    // empty SiteName the base directory followed by a backslash.
    std::wstring siteDirectory;
};

// Prepares both directories for siteName and moves the descriptor from descriptorTempPath (a
// file in tempDirectory) into the site directory under its own name. Directories created
// before a failure stay. The "Users" entry is added only where GetOSVersion finds Windows 6.0
// or later, and whether it could be added does not matter here.
SiteFilesResult PrepareSiteFiles(const std::wstring& siteName, const std::wstring& tempDirectory,
                                 const std::wstring& descriptorTempPath);

// Puts an entry allowing the local group "Users" everything (inherited by files and
// subdirectories) in front of the access list of the file or directory at path, unless the
// list already begins with it. TRUE once the list is set, or when nothing needed to change;
// FALSE at the first failing call, and for an object without an access list, or with a NULL
// list that lets everyone in, since a list of one entry would take access away from others.
// Logs only its scope's entry and exit lines.
BOOL AddFileAccessAllowedRights(const wchar_t* path);
