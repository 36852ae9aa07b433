// The site descriptor the server publishes beside its updater: the site's name is the text
// after "<servicename>" on the first line that holds that tag. The file is scanned as text
// lines, not parsed as XML.
#pragma once

#include <string>

// What the line rules give for the text of a descriptor as text mode reads it (CR LF already
// read as LF, input already ended at a Ctrl-Z: TextModeText).
struct SiteDescriptorScan {
    // The value line's tag has no "<" after it on its line.
    bool wrongMarkup = false;
    // The value's bytes; without a value line, what the line buffer held at the end of the
    // input: empty after a final LF, the whole last line when the text does not end in LF.
    std::string value;
};

SiteDescriptorScan ScanSiteDescriptor(const std::string& text);

// The file's bytes as text mode reads them: CR LF becomes LF, a CR on its own stays, and the
// text ends before the first Ctrl-Z (0x1A).
std::string TextModeText(const std::string& bytes);

// The value's bytes up to the first NUL, taken as UTF-8 the way MultiByteToWideChar with
// CP_UTF8 and no flags takes them: malformed sequences become what that call makes of them.
std::wstring SiteNameFromUtf8(const std::string& value);

enum class SiteNameOutcome {
    Name,         // siteName holds the name (possibly empty)
    OpenFailure,  // the file could not be opened for reading
    WrongMarkup,  // the value line has no "<" after its tag
};

struct SiteNameResult {
    SiteNameOutcome outcome = SiteNameOutcome::OpenFailure;
    std::wstring siteName;
};

// Reads the descriptor at path as text (TextModeText), opened for reading without denying
// others any access. Writes no log line; closes the file on every outcome and leaves it as it
// was.
SiteNameResult ReadSiteName(const std::wstring& path);
