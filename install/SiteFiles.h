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
    CopyFailure,      // the descriptor could not be copied (CopyToNewSiteFile); the temp file stays
};

struct SiteFilesResult {
    SiteFilesOutcome outcome = SiteFilesOutcome::InvalidSiteName;
    // "<Program Files>\KestrelVAULT\<SiteName>", set from the site directory step on; with an
    // empty SiteName the base directory followed by a backslash.
    std::wstring siteDirectory;
};

// Prepares both directories for siteName and moves the descriptor from descriptorTempPath (a
// file in tempDirectory) into the site directory under its own name, as CopyToNewSiteFile
// copies it. Directories created before a failure stay. The "Users" entry is added only where GetOSVersion finds Windows 6.0
// or later, and whether it could be added does not matter here.
SiteFilesResult PrepareSiteFiles(const std::wstring& siteName, const std::wstring& tempDirectory,
                                 const std::wstring& descriptorTempPath);

// Any user may write the site directory, and a name there can be a hard link or a symbolic
// link to a file elsewhere, planted at any moment: this elevated program writes there only
// into a file it has just created itself. Copies the file at source (read while nobody may
// write it) into a new file at target: created with CREATE_NEW, never through a reparse point,
// and used only while that handle shows one link, so that no other name reaches the file the
// bytes go into. A name that is in the way is removed (a link goes, never what it points at)
// and the creation tried again, kSiteFileTries times in all. A file this made and could not
// fill is removed through its own handle. Never a copy onto its own source: a target that
// names the source fails with ERROR_ALREADY_EXISTS and touches nothing. ERROR_SUCCESS, or the
// error that ended it (ERROR_FILE_EXISTS when every try found the name taken).
const int kSiteFileTries = 5;
DWORD CopyToNewSiteFile(const std::wstring& source, const std::wstring& target);

// Puts an entry allowing the local group "Users" everything (inherited by files and
// subdirectories) in front of the access list of the file or directory at path, unless the
// list already begins with it. TRUE once the list is set, or when nothing needed to change;
// FALSE at the first failing call, and for an object without an access list, or with a NULL
// list that lets everyone in, since a list of one entry would take access away from others.
// Logs only its scope's entry and exit lines.
BOOL AddFileAccessAllowedRights(const wchar_t* path);
