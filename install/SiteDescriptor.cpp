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

void SiteDescriptorScanner::StartKeeping() {
    m_keptSize = 0;
    m_keptNul = false;
    m_overflow = false;
}

void SiteDescriptorScanner::KeepByte(char c) {
    // Past the first NUL nothing can reach the name, and past the bound it is refused whole.
    if (m_keptNul || m_overflow) return;
    if (c == '\0') {
        m_keptNul = true;
    } else if (m_keptSize < kSiteNameByteBound) {
        m_kept[m_keptSize++] = c;
    } else {
        m_overflow = true;
    }
}

bool SiteDescriptorScanner::FeedText(const char* text, size_t size) {
    // One line after another, as the stream's line reads would fill one buffer: the tag is
    // matched as the bytes pass, so that a line need not be held to be searched, and only what
    // could become the name is kept. The tag's "<" occurs nowhere else in it, so a mismatch
    // can only restart a match at a "<".
    for (size_t i = 0; i < size && m_phase != Phase::Done; ++i) {
        const char c = text[i];
        if (m_phase == Phase::Searching) {
            if (c == '\n') {
                StartKeeping();
                m_tagMatched = 0;
                continue;
            }
            KeepByte(c);
            if (c == kTag[m_tagMatched]) {
                if (++m_tagMatched == kTagLength) {
                    m_phase = Phase::InValue;
                    StartKeeping();
                }
            } else {
                m_tagMatched = c == '<' ? 1 : 0;
            }
        } else if (c == '<') {
            m_phase = Phase::Done;
        } else if (c == '\n') {
            m_wrongMarkup = true;
            m_phase = Phase::Done;
        } else {
            KeepByte(c);
        }
    }
    return m_phase != Phase::Done;
}

bool SiteDescriptorScanner::FeedFileBytes(const char* bytes, size_t size) {
    // One byte more than a block for a CR held back from the piece before.
    char text[kSiteDescriptorBlockSize + 1];
    size_t at = 0;
    while (at < size && !m_inputEnded && m_phase != Phase::Done) {
        size_t n = 0;
        if (m_pendingCR) {
            // The held CR was a line end only if an LF follows it.
            m_pendingCR = false;
            if (bytes[at] == '\n') {
                text[n++] = '\n';
                ++at;
            } else {
                text[n++] = '\r';
            }
        }
        const size_t end = at + (size - at < kSiteDescriptorBlockSize ? size - at : kSiteDescriptorBlockSize);
        for (; at < end; ++at) {
            const char c = bytes[at];
            if (c == '\x1A') {
                m_inputEnded = true;
                break;
            }
            if (c == '\r') {
                if (at + 1 == size) {
                    m_pendingCR = true;  // decided by the next piece, or by the end of the input
                } else if (bytes[at + 1] != '\n') {
                    text[n++] = c;
                }
                continue;
            }
            text[n++] = c;
        }
        FeedText(text, n);
    }
    return !m_inputEnded && m_phase != Phase::Done;
}

SiteDescriptorScan SiteDescriptorScanner::Finish() {
    if (m_pendingCR) {
        // A CR as the file's last byte stays a CR.
        m_pendingCR = false;
        FeedText("\r", 1);
    }
    SiteDescriptorScan scan;
    scan.valueLine = m_phase != Phase::Searching;
    if (m_phase == Phase::InValue) m_wrongMarkup = true;  // the input ended before any "<"
    m_phase = Phase::Done;
    if (m_wrongMarkup) {
        scan.wrongMarkup = true;
    } else if (m_overflow) {
        scan.tooLong = true;
    } else {
        scan.value.assign(m_kept, m_keptSize);
    }
    return scan;
}

SiteDescriptorScan ScanSiteDescriptor(const std::string& text) {
    SiteDescriptorScanner scanner;
    scanner.FeedText(text.data(), text.size());
    return scanner.Finish();
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

SiteNameResult ReadSiteName(const std::wstring& path) {
    SiteNameResult result;
    // Read as bytes, and text mode's two rules applied by the scanner: Wine's runtime, once its
    // stream buffer holds bytes past a Ctrl-Z, goes on reading after it, so a value line behind
    // a Ctrl-Z could name the site. The file is opened as before, sharing everything.
    std::unique_ptr<FILE, FileCloser> file(::_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
    if (!file) {
        result.outcome = SiteNameOutcome::OpenFailure;
        return result;
    }
    SiteDescriptorScanner scanner;
    char block[kSiteDescriptorBlockSize];
    size_t n;
    while ((n = ::fread(block, 1, sizeof(block), file.get())) > 0) {
        if (!scanner.FeedFileBytes(block, n)) break;
    }
    file.reset();

    const SiteDescriptorScan scan = scanner.Finish();
    if (scan.wrongMarkup || scan.tooLong) {
        result.outcome = SiteNameOutcome::WrongMarkup;
        return result;
    }
    result.outcome = SiteNameOutcome::Name;
    result.siteName = SiteNameFromUtf8(scan.value);
    result.valueLine = scan.valueLine;
    return result;
}
