// Generated descriptors through the real reader: thousands of files built from the bytes that
// matter to it (the tag and its near misses, "<", CR, LF, Ctrl-Z, NUL, valid and broken UTF-8),
// each read by ReadSiteName and compared with a reference written here from the descriptor's
// line rules alone. The seed is fixed and printed; KV_FUZZ_SEED and KV_FUZZ_CASES replace it and
// the count to chase a case. Long files put CR LF pairs across the runtime's read chunks.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "install/SiteDescriptor.h"
#include "install_support.h"

namespace {

using kvtest::Narrow;

const char kTag[] = "<servicename>";

// ---------------------------------------------------------------------------------------------
// Reference

struct Expected {
    SiteNameOutcome outcome;
    std::wstring siteName;
};

Expected Reference(const std::string& bytes) {
    // Text mode: CR LF is one LF, a Ctrl-Z ends the input, a CR on its own stays.
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\x1A') break;
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text += bytes[i];
    }

    // Lines end at LF; a last line without LF is a line too.
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        if (lf == std::string::npos) lf = text.size();
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }

    std::string value;
    bool found = false;
    for (const std::string& line : lines) {
        const size_t tag = line.find(kTag);
        if (tag == std::string::npos) continue;
        const size_t from = tag + sizeof(kTag) - 1;
        const size_t lt = line.find('<', from);
        if (lt == std::string::npos) return {SiteNameOutcome::WrongMarkup, L""};
        value = line.substr(from, lt - from);
        found = true;
        break;
    }
    // No value line: nothing after a final LF (or in an empty file), else the last line.
    if (!found && !text.empty() && text.back() != '\n') value = lines.back();

    value = value.substr(0, value.find('\0'));
    std::wstring wide;
    if (!value.empty()) {
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), nullptr, 0);
        wide.resize(static_cast<size_t>(n));
        ::MultiByteToWideChar(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), &wide[0], n);
    }
    return {SiteNameOutcome::Name, wide};
}

// ---------------------------------------------------------------------------------------------
// Generator

std::string Utf8(unsigned cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

class DescriptorGenerator {
public:
    explicit DescriptorGenerator(unsigned seed) : rng_(seed) {}

    std::string Next() {
        std::string out;
        // One in five files starts with kilobytes of ordinary CR LF lines, so that the pieces
        // below, line ends included, fall on every offset of the runtime's read chunks.
        if (Below(5) == 0) {
            const size_t target = 3000 + Below(6000);
            while (out.size() < target) {
                out.append(Below(80), 'a' + static_cast<char>(Below(26)));
                out += Below(4) ? "\r\n" : "\n";
            }
        }
        const size_t pieces = Below(24);
        for (size_t i = 0; i < pieces; ++i) out += Piece();
        return out;
    }

private:
    size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

    std::string Piece() {
        static const std::string kNearMisses[] = {
            "<servicename",  "servicename>",   "<ServiceName>", "<SERVICENAME>", "< servicename>", "<servicename >",
            "<servicenam>",  "<servicenamee>", "</servicename>", "<<servicename>", "<servicename id=\"1\">",
            "<service\nname>", "<servicename\r\n>", "<service\x1Aname>", std::string("<servi\0cename>", 14),
        };
        switch (Below(16)) {
        case 0:
        case 1:
            return kTag;
        case 2:
            return kNearMisses[Below(sizeof(kNearMisses) / sizeof(kNearMisses[0]))];
        case 3:
            return "<";
        case 4:
            return "\n";
        case 5:
            return "\r\n";
        case 6:
            return "\r";
        case 7:
            return Below(3) ? std::string("\x1A") : std::string("\r\x1A");
        case 8:
            return std::string(1, '\0');
        case 9:  // Hangul syllables
        {
            std::string s;
            for (size_t n = 1 + Below(4); n; --n) s += Utf8(0xAC00 + static_cast<unsigned>(Below(0xD7A4 - 0xAC00)));
            return s;
        }
        case 10:  // other valid UTF-8: two-byte, outside the BMP, U+FEFF, U+FFFD
        {
            static const unsigned kPoints[] = {0xE9, 0x3B1, 0x1F600, 0x10348, 0xFEFF, 0xFFFD, 0x10FFFF};
            return Utf8(kPoints[Below(sizeof(kPoints) / sizeof(kPoints[0]))]);
        }
        case 11:  // malformed UTF-8
        {
            static const char* const kBad[] = {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xED\xA0\x80",
                                               "\xED\xBF\xBF", "\xEC\xBC", "\xEC", "\xF0\x9F\x98", "\xF4\x90\x80\x80",
                                               "\xF5", "\xFE", "\xFF", "\xF8\x88\x80\x80\x80"};
            return kBad[Below(sizeof(kBad) / sizeof(kBad[0]))];
        }
        case 12:
            return Below(2) ? "</servicename>" : ">";
        case 13:  // a random byte
            return std::string(1, static_cast<char>(Below(256)));
        default:  // plain text, sometimes with blanks
        {
            static const char kChars[] = "Acme kestrel-01_.\t ";
            std::string s;
            for (size_t n = 1 + Below(8); n; --n) s += kChars[Below(sizeof(kChars) - 1)];
            return s;
        }
        }
    }

    std::mt19937 rng_;
};

// The bytes as a C string literal: printable ASCII as it is, everything else escaped.
std::string Escaped(const std::string& bytes) {
    std::string out = "\"";
    char b[8];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(b, sizeof(b), "\\x%02X\"\"", c);
            out += b;
        }
    }
    return out + "\"";
}

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    return v && *v ? static_cast<unsigned>(std::strtoul(v, nullptr, 0)) : fallback;
}

const char* OutcomeName(SiteNameOutcome o) {
    return o == SiteNameOutcome::Name ? "name" : o == SiteNameOutcome::WrongMarkup ? "wrong markup" : "open failure";
}

TEST(ReadSiteNameFuzz, GeneratedDescriptorsMatchTheLineRules) {
    const unsigned seed = EnvNumber("KV_FUZZ_SEED", 20150611u);
    const unsigned count = EnvNumber("KV_FUZZ_CASES", 3000u);
    std::printf("[ReadSiteNameFuzz] seed %u, %u descriptors\n", seed, count);

    kvtest::ScratchDir dir(L"sitename_fuzz");
    const std::wstring path = dir / L"kestrelvault_server.exe";
    DescriptorGenerator generate(seed);
    unsigned failures = 0, names = 0, wrong = 0, nonEmpty = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::string bytes = generate.Next();
        ASSERT_TRUE(kvtest::WriteBytes(path, bytes));
        const SiteNameResult read = ReadSiteName(path);
        const Expected expected = Reference(bytes);
        if (read.outcome != expected.outcome || read.siteName != expected.siteName) {
            if (++failures <= 10) {
                ADD_FAILURE() << "case " << i << " (seed " << seed << "), " << bytes.size() << " bytes: " << Escaped(bytes)
                              << "\n  reader:    " << OutcomeName(read.outcome) << " \"" << Narrow(read.siteName)
                              << "\"\n  reference: " << OutcomeName(expected.outcome) << " \""
                              << Narrow(expected.siteName) << "\"";
            }
        }
        (expected.outcome == SiteNameOutcome::Name ? names : wrong)++;
        if (!expected.siteName.empty()) ++nonEmpty;
    }
    EXPECT_EQ(failures, 0u) << "of " << count << " descriptors (seed " << seed << ")";
    // The generator must reach every outcome, or the comparison proves little.
    EXPECT_GT(wrong, count / 20);
    EXPECT_GT(nonEmpty, count / 5);
    EXPECT_GT(names - nonEmpty, count / 20);
}

// CR LF pairs, lone CRs and Ctrl-Z bytes at every offset where the runtime's first and second
// read chunks end (and a sample between), after ordinary CR LF lines: a pair split by a chunk
// boundary is still one LF, a lone CR is still a CR, and nothing after a Ctrl-Z is read,
// wherever the chunk ends.
TEST(ReadSiteNameFuzz, LineEndsAtEveryOffsetOfTheFirstChunks) {
    kvtest::ScratchDir dir(L"sitename_offsets");
    const std::wstring path = dir / L"kestrelvault_server.exe";
    const std::string farTail = std::string(300, 'y') + "\n<servicename>Far</servicename>\n";
    const struct {
        const char* end;
        std::string tail;
    } kRows[] = {
        {"\r\n", "<servicename>Acme</servicename>\r\n"},
        {"\r", "end"},       // a lone CR stays in the last line
        {"\r\x1A", "end"},  // so does one right before a Ctrl-Z
        {"\x1A", farTail},       // the value line after a Ctrl-Z is never seen
        {"\n\x1A", farTail},
    };
    std::string lines;
    while (lines.size() < 8300) lines += std::string(40, 'a') + "\r\n";
    unsigned cases = 0;
    // The file is read in chunks that end at 3840 and 7936 bytes; every offset near them.
    for (size_t at = 0; at < 8300; at += ((at >= 3780 && at < 3900) || (at >= 7680 && at < 8000)) ? 1 : 29) {
        for (const auto& row : kRows) {
            const std::string bytes = lines.substr(0, at) + row.end + row.tail;
            ASSERT_TRUE(kvtest::WriteBytes(path, bytes));
            const SiteNameResult read = ReadSiteName(path);
            const Expected expected = Reference(bytes);
            ++cases;
            ASSERT_TRUE(read.outcome == expected.outcome && read.siteName == expected.siteName)
                << at << " bytes of lines, then " << Escaped(row.end) << " and " << row.tail.size()
                << " bytes more: reader " << OutcomeName(read.outcome) << " of " << read.siteName.size()
                << " characters, reference " << OutcomeName(expected.outcome) << " of " << expected.siteName.size();
        }
    }
    std::printf("[ReadSiteNameFuzz] %u offset cases\n", cases);
}

}  // namespace
