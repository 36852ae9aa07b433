#include "install/SiteDescriptor.h"

#include <windows.h>

#include <share.h>
#include <stdio.h>

#include <memory>

namespace {

const char kTag[] = "<servicename>";
const size_t kTagLength = sizeof(kTag) - 1;

struct FileCloser {
    void operator()(FILE* f) const { ::fclose(f); }  // a failing close changes nothing here
};

}  // namespace

SiteDescriptorScan ScanSiteDescriptor(const std::string& text) {
    SiteDescriptorScan scan;
    std::string& line = scan.value;
    size_t next = 0;
    bool reachedEnd = false;
    // One line read after another into the same buffer, with the stream's line-read rules: a
    // read after the one that reached the end of the input fails without touching the buffer;
    // a read that finds neither a byte nor an LF fails after emptying it.
    while (!reachedEnd) {
        line.clear();
        if (next >= text.size()) break;
        const size_t lf = text.find('\n', next);
        if (lf == std::string::npos) {
            line.assign(text, next, std::string::npos);
            next = text.size();
            reachedEnd = true;
        } else {
            line.assign(text, next, lf - next);
            next = lf + 1;
        }

        const size_t tag = line.find(kTag);
        if (tag == std::string::npos) continue;
        const size_t start = tag + kTagLength;
        const size_t end = line.find('<', start);
        if (end == std::string::npos) {
            scan.wrongMarkup = true;
            line.clear();
            return scan;
        }
        line = line.substr(start, end - start);
        return scan;
    }
    return scan;
}

std::wstring SiteNameFromUtf8(const std::string& value) {
    const std::string bytes = value.substr(0, value.find('\0'));
    if (bytes.empty()) return std::wstring();
    const int length = static_cast<int>(bytes.size());
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
    if (chars <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, &wide[0], chars);
    return wide;
}

std::string TextModeText(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\x1A') break;
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text += bytes[i];
    }
    return text;
}

SiteNameResult ReadSiteName(const std::wstring& path) {
    SiteNameResult result;
    // Read as bytes, and text mode's two rules applied here: Wine's runtime, once its stream
    // buffer holds bytes past a Ctrl-Z, goes on reading after it, so a value line behind a
    // Ctrl-Z could name the site. The file is opened as before, sharing everything.
    std::unique_ptr<FILE, FileCloser> file(::_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
    if (!file) {
        result.outcome = SiteNameOutcome::OpenFailure;
        return result;
    }
    std::string bytes;
    char buffer[4096];
    while (const size_t n = ::fread(buffer, 1, sizeof(buffer), file.get())) bytes.append(buffer, n);
    file.reset();

    const SiteDescriptorScan scan = ScanSiteDescriptor(TextModeText(bytes));
    if (scan.wrongMarkup) {
        result.outcome = SiteNameOutcome::WrongMarkup;
        return result;
    }
    result.outcome = SiteNameOutcome::Name;
    result.siteName = SiteNameFromUtf8(scan.value);
    return result;
}
