// The log file is named by the user's own registry values, yet this program runs elevated: it
// must never be the way to empty, append to or open up a file that is not a log of ours. So the
// file is opened once, checked through that handle, and only then written or granted through
// the same handle, leaving no moment to swap it in between.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "framework/handle.h"

enum class LogFileOpen {
    Opened,   // a file that was there holds the log: empty, or starting with a line of ours
    Created,  // the file was missing and is created now, empty; it has its directory's access
              // list and nothing more
    NotALog,  // something else is there (a foreign file, a directory, a reparse point, a file
              // with more than one name): it is left exactly as it was
    Refused,  // the file is missing and its directory does not let every local user create
              // files (LetsUsersCreateFiles): an elevated program must not be the one to make
              // a file there, so nothing is created
    Failed,   // nothing could be opened or created there (missing directory, held by another
              // program, no access)
};

// Opens path for reading, writing and its access list, without emptying it, and sharing reads
// and writes as the runtime's own file opening does. create: a missing file is created (its
// content is then ours by construction), but only in a directory whose access list lets every
// local user create files there; the directory is opened first, its list read through that
// handle, and the file created in that very directory, so that no link swapped in meanwhile
// can move the creation elsewhere. Otherwise a missing file is Failed. Append mode calls it for
// every line, so that a file swapped in during the run is not written either.
LogFileOpen OpenOwnLogFile(const std::wstring& path, bool create, kv::UniqueFile& file);

// How OpenOwnLogFile reads the security descriptor (owner not needed: the DACL and the
// mandatory label) of the directory it is about to create the log in, through the directory's
// open handle. Tests feed access lists here, since Wine makes a directory's list up from its
// Unix mode. Returns the reader it replaces; null gives the real one back.
using LogDirectorySecurity = bool (*)(HANDLE directory, std::vector<BYTE>& descriptor);
LogDirectorySecurity SetLogDirectorySecurityForTesting(LogDirectorySecurity reader);

// Whether data, the first bytes of a file, begins with a line header of the log's own format:
// "[YYYY-MM-DD hh:mm:ss.mmm][NAME(PID), T:TID]".
bool BeginsWithLogHeader(const char* data, size_t size);
