// The site descriptor the server publishes beside its updater: the site's name is the text
// after "<servicename>" on the first line that holds that tag. The file is scanned as text
// lines, not parsed as XML, a block at a time: its size, whatever the server sent, never
// decides how much memory the scan takes.
#pragma once

#include <stddef.h>

#include <string>

// The most bytes of a name the scan keeps: of the value after the tag, or, without a value
// line, of the last line (each up to its first NUL, where the name ends anyway). A SiteName
// names one directory, and no file system takes a path component of more than 255 UTF-16
// units; MultiByteToWideChar with CP_UTF8 makes at least one unit of every 4 bytes (a valid
// sequence of 2 to 4 bytes gives 1 or 2 units, every malformed byte or cut sequence one
// U+FFFD), so any name of more than 1020 bytes could never be created. A name over this bound
// is reported, not kept; a longer line does not count against it before its tag.
const size_t kSiteNameByteBound = 4096;

// The file is read, and its text made, in blocks of this size.
const size_t kSiteDescriptorBlockSize = 16384;

// What the line rules give for the text of a descriptor as text mode reads it (CR LF already
// read as LF, input already ended at a Ctrl-Z).
struct SiteDescriptorScan {
    // The value line's tag has no "<" after it on its line.
    bool wrongMarkup = false;
    // A line with the tag was found: without one, value is no SiteName the server gave.
    bool valueLine = false;
    // The name the rules give (value, or the last line without a value line) holds more than
    // kSiteNameByteBound bytes before its first NUL; value is then empty.
    bool tooLong = false;
    // The value's bytes up to its first NUL; without a value line, what the line buffer held at
    // the end of the input (up to its first NUL): empty after a final LF, the last line when the
    // text does not end in LF.
    std::string value;
};

// The line rules applied to a descriptor as its bytes arrive, in pieces of any size; holds no
// more than kSiteNameByteBound bytes of it. Feeding allocates nothing and throws nothing; only
// Finish allocates, for the name it gives (at most the bound).
class SiteDescriptorScanner {
public:
    SiteDescriptorScanner() = default;
    SiteDescriptorScanner(const SiteDescriptorScanner&) = delete;
    SiteDescriptorScanner& operator=(const SiteDescriptorScanner&) = delete;

    // The next bytes of the file as stored: text mode's rules are applied here (CR LF reads as
    // LF, a CR on its own stays, a Ctrl-Z ends the input, wherever the pieces end). Returns
    // false once later bytes can change nothing.
    bool FeedFileBytes(const char* bytes, size_t size);
    // The next bytes of text already read in text mode. Returns false as FeedFileBytes does.
    bool FeedText(const char* text, size_t size);
    // The end of the input: the outcome.
    SiteDescriptorScan Finish();

private:
    void KeepByte(char c);
    void StartKeeping();

    enum class Phase { Searching, InValue, Done };
    Phase m_phase = Phase::Searching;
    size_t m_tagMatched = 0;     // bytes of the tag matched so far on this line
    bool m_wrongMarkup = false;
    bool m_pendingCR = false;    // a CR whose next byte has not arrived yet
    bool m_inputEnded = false;   // a Ctrl-Z was read
    // The bytes of the name being gathered, up to its first NUL.
    char m_kept[kSiteNameByteBound];
    size_t m_keptSize = 0;
    bool m_keptNul = false;
    bool m_overflow = false;
};

// The line rules over a whole text (FeedText, then Finish).
SiteDescriptorScan ScanSiteDescriptor(const std::string& text);

// The value's bytes up to the first NUL, taken as UTF-8 the way MultiByteToWideChar with
// CP_UTF8 and no flags takes them: malformed sequences become what that call makes of them.
std::wstring SiteNameFromUtf8(const std::string& value);

enum class SiteNameOutcome {
    Name,         // siteName holds the name (possibly empty)
    OpenFailure,  // the file could not be opened for reading
    WrongMarkup,  // the value line has no "<" after its tag, or the name is longer than
                  // kSiteNameByteBound bytes (no directory can carry it)
};

struct SiteNameResult {
    SiteNameOutcome outcome = SiteNameOutcome::OpenFailure;
    std::wstring siteName;
    // For Name: whether it came from a value line (SiteDescriptorScan::valueLine). A page that
    // is no descriptor (a sign-in or error page) has none, whatever its last line says.
    bool valueLine = false;
};

// Reads the descriptor at path as text (SiteDescriptorScanner), opened for reading without
// denying others any access, in fixed blocks, and stops reading once the outcome is settled.
// Writes no log line; closes the file on every outcome and leaves it as it was.
SiteNameResult ReadSiteName(const std::wstring& path);
