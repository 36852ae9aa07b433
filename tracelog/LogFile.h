// The log file is named by the user's own registry values, yet this program runs elevated: it
// must never be the way to empty, append to or open up a file that is not a log of ours. So the
// file is opened once, checked through that handle, and only then written or granted through
// the same handle, leaving no moment to swap it in between.
#pragma once

#include <cstddef>
#include <string>

#include "framework/handle.h"

enum class LogFileOpen {
    Opened,   // file holds the log: created now, empty, or starting with a line of ours
    NotALog,  // something else is there (a foreign file, a directory, a reparse point, a file
              // with more than one name): it is left exactly as it was
    Failed,   // nothing could be opened or created there (missing directory, held by another
              // program, no access)
};

// Opens path for reading, writing and its access list, without emptying it, and sharing reads
// and writes as the runtime's own file opening does. create: a missing file is created (its
// content is then ours by construction); otherwise a missing file is Failed. Append mode calls
// it for every line, so that a file swapped in during the run is not written either.
LogFileOpen OpenOwnLogFile(const std::wstring& path, bool create, kv::UniqueFile& file);

// Whether data, the first bytes of a file, begins with a line header of the log's own format:
// "[YYYY-MM-DD hh:mm:ss.mmm][NAME(PID), T:TID]".
bool BeginsWithLogHeader(const char* data, size_t size);
