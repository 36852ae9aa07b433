// Generated command lines through the command-line cleaning, compared with a reference written
// here from the cleaning rules: the first argument skipped as the runtime ends argv[0] (at the
// closing quote of a quoted one, else at the first blank or tab, unless the line starts with the
// module's own path in any letter case), then in the rest the module path's occurrences out,
// then the module name's, then the double-quote run at the end and then at the start, then the
// white-space run at the end and then at the start. Lines start with the program as it may be
// started (quoted or not, full path, bare name, without extension, relative, in other letter
// case, a quote never closed) or with anything, and go on with the path and the name (whole,
// cut, in other letter case, overlapping themselves), quotes, every character the runtime
// classes as white space and some that only look like it, Hangul, and paired and lone
// surrogates. Half the cases use a path and a name of one or two letters, so that occurrences
// overlap and abut. The seed is fixed and printed; KV_FUZZ_SEED and KV_FUZZ_CASES replace it
// and the count.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <random>
#include <string>
#include <vector>

#include "app/UpdateURL.h"

namespace {

// Left to right, each occurrence taken whole and skipped, so overlapping ones count once and
// what the removal joins is not looked at again.
std::wstring RemoveOccurrences(const std::wstring& text, const std::wstring& what) {
    if (what.empty()) return text;
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, what.size(), what) == 0) {
            i += what.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

template <typename Pred>
std::wstring StripEndThenStart(const std::wstring& text, Pred strip) {
    size_t end = text.size();
    while (end > 0 && strip(text[end - 1])) --end;
    size_t start = 0;
    while (start < end && strip(text[start])) ++start;
    return text.substr(start, end - start);
}

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

// What follows argv[0].
std::wstring AfterFirstArgument(const std::wstring& line, const std::wstring& path) {
    if (!line.empty() && line[0] == L'"') {
        const size_t close = line.find(L'"', 1);
        return close == std::wstring::npos ? std::wstring() : line.substr(close + 1);
    }
    if (!path.empty() && Upper(line.substr(0, path.size())) == Upper(path) &&
        (line.size() == path.size() || line[path.size()] == L' ' || line[path.size()] == L'\t'))
        return line.substr(path.size());
    const size_t end = line.find_first_of(L" \t");
    return end == std::wstring::npos ? std::wstring() : line.substr(end);
}

std::wstring Reference(const std::wstring& commandLine, const std::wstring& path, const std::wstring& name) {
    std::wstring text = RemoveOccurrences(RemoveOccurrences(AfterFirstArgument(commandLine, path), path), name);
    text = StripEndThenStart(text, [](wchar_t c) { return c == L'"'; });
    return StripEndThenStart(text, [](wchar_t c) { return std::iswspace(c) != 0; });
}

// Every UTF-16 unit the runtime classes as white space.
std::vector<wchar_t> WhiteSpaceUnits() {
    std::vector<wchar_t> units;
    for (unsigned c = 1; c <= 0xFFFF; ++c)
        if (std::iswspace(static_cast<wchar_t>(c))) units.push_back(static_cast<wchar_t>(c));
    return units;
}

class CommandLineGenerator {
public:
    CommandLineGenerator(unsigned seed, const std::vector<wchar_t>& blanks) : rng_(seed), blanks_(blanks) {}

    void Next(std::wstring& line, std::wstring& path, std::wstring& name) {
        if (Below(2) == 0) {
            // Realistic: the name ends the path; sometimes a path with blanks or Hangul.
            static const wchar_t* const kDirs[] = {L"C:\\Program Files (x86)\\KV\\", L"C:\\\uC124\uCE58 \uD30C\uC77C\\",
                                                   L"\\\\server\\share\\", L""};
            static const wchar_t* const kNames[] = {L"KestrelVault_Setup.exe", L"kv.exe", L"\uC124\uCE58.exe", L"\"\".exe"};
            name = kNames[Below(4)];
            path = kDirs[Below(4)] + name;
        } else {
            // Tiny: one to three units from a small set, so that occurrences overlap and abut.
            name = Tiny();
            path = Below(3) ? Tiny() + name : Tiny();
        }
        if (Below(40) == 0) name.clear();
        if (Below(40) == 0) path.clear();
        path_ = &path;
        name_ = &name;

        line.clear();
        if (Below(4) != 0) line = ProgramPart() + Separator();
        for (size_t n = Below(14); n; --n) line += Piece();
    }

private:
    size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

    std::wstring Tiny() {
        static const wchar_t kUnits[] = {L'a', L'b', L'"', L' ', L'\uAC00'};
        std::wstring s;
        for (size_t n = 1 + Below(3); n; --n) s += kUnits[Below(sizeof(kUnits) / sizeof(kUnits[0]))];
        return s;
    }

    // The program as a shell or a user may start it.
    std::wstring ProgramPart() {
        const std::wstring& path = *path_;
        const std::wstring& name = *name_;
        const size_t dot = name.rfind(L'.');
        std::wstring part;
        switch (Below(7)) {
        case 0:
            part = path;
            break;
        case 1:
            part = name;
            break;
        case 2:
            part = dot == std::wstring::npos ? name : name.substr(0, dot);
            break;
        case 3:
            part = L".\\" + name;
            break;
        case 4:
            part = L"C:\\Other Dir\\" + name;
            break;
        case 5:
            part = Piece();
            break;
        default:
            part = path + L"x";
            break;
        }
        if (Below(3) == 0) {
            for (wchar_t& c : part) c = std::iswupper(c) ? std::towlower(c) : std::towupper(c);
        }
        switch (Below(4)) {
        case 0:
            return L"\"" + part + L"\"";
        case 1:
            return L"\"" + part;  // never closed
        default:
            return part;
        }
    }

    std::wstring Separator() {
        switch (Below(6)) {
        case 0:
            return L"";
        case 1:
            return L"\t";
        case 2:
            return std::wstring(1, blanks_[Below(blanks_.size())]);
        default:
            return L" ";
        }
    }

    std::wstring Piece() {
        const std::wstring& path = *path_;
        const std::wstring& name = *name_;
        switch (Below(14)) {
        case 0:
            return path;
        case 1:
            return L"\"" + path + L"\"";
        case 2:
            return name;
        case 3:  // a cut path or name
        {
            const std::wstring& whole = Below(2) ? path : name;
            if (whole.empty()) return L"";
            const size_t from = Below(whole.size()), length = 1 + Below(whole.size() - from);
            return whole.substr(from, length);
        }
        case 4:  // the name in other letter case
        {
            std::wstring s = name;
            for (wchar_t& c : s) c = std::iswupper(c) ? std::towlower(c) : std::towupper(c);
            return s;
        }
        case 5:
            return std::wstring(1 + Below(3), L'"');
        case 6:
        case 7:  // white space of every kind the runtime knows
        {
            std::wstring s;
            for (size_t n = 1 + Below(3); n; --n) s += blanks_[Below(blanks_.size())];
            return s;
        }
        case 8:  // looks blank, is not: zero-width space, joiner, BOM, soft hyphen, braille blank
        {
            static const wchar_t kNotBlank[] = {L'\u200B', L'\u200D', L'\uFEFF', L'\u00AD', L'\u2800', L'\x1F'};
            return std::wstring(1, kNotBlank[Below(sizeof(kNotBlank) / sizeof(kNotBlank[0]))]);
        }
        case 9:  // Hangul syllables
        {
            std::wstring s;
            for (size_t n = 1 + Below(4); n; --n) s += static_cast<wchar_t>(0xAC00 + Below(0xD7A4 - 0xAC00));
            return s;
        }
        case 10:  // a surrogate pair, or a lone half of one
        {
            const wchar_t high = static_cast<wchar_t>(0xD800 + Below(0x400));
            const wchar_t low = static_cast<wchar_t>(0xDC00 + Below(0x400));
            switch (Below(3)) {
            case 0:
                return std::wstring{high, low};
            case 1:
                return std::wstring(1, high);
            default:
                return std::wstring(1, low);
            }
        }
        default:  // host-like text
        {
            static const wchar_t kChars[] = L"kv.example.com:8080/app-_0";
            std::wstring s;
            for (size_t n = 1 + Below(10); n; --n) s += kChars[Below(sizeof(kChars) / sizeof(kChars[0]) - 1)];
            return s;
        }
        }
    }

    std::mt19937 rng_;
    const std::vector<wchar_t>& blanks_;
    const std::wstring* path_ = nullptr;
    const std::wstring* name_ = nullptr;
};

std::string Units(const std::wstring& s) {
    std::string out;
    char b[8];
    for (wchar_t c : s) {
        if (c >= 0x20 && c < 0x7F && c != L'\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(b, sizeof(b), "\\u%04X", static_cast<unsigned>(c));
            out += b;
        }
    }
    return out;
}

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    return v && *v ? static_cast<unsigned>(std::strtoul(v, nullptr, 0)) : fallback;
}

TEST(CleanCommandLineURLFuzz, GeneratedCommandLinesMatchTheCleaningRules) {
    const unsigned seed = EnvNumber("KV_FUZZ_SEED", 20150611u);
    const unsigned count = EnvNumber("KV_FUZZ_CASES", 20000u);
    const std::vector<wchar_t> blanks = WhiteSpaceUnits();
    std::printf("[CleanCommandLineURLFuzz] seed %u, %u command lines, %u white-space units\n", seed, count,
                static_cast<unsigned>(blanks.size()));
    // The runtime's classification at least holds the ASCII ones and the ideographic space.
    for (wchar_t c : {L' ', L'\t', L'\n', L'\v', L'\f', L'\r', L'\u3000'})
        EXPECT_TRUE(std::iswspace(c)) << static_cast<unsigned>(c);

    CommandLineGenerator generate(seed, blanks);
    unsigned failures = 0, empty = 0, quoted = 0, changed = 0, byPosition = 0;
    std::wstring line, path, name;
    for (unsigned i = 0; i < count; ++i) {
        generate.Next(line, path, name);
        const std::wstring cleaned = CleanCommandLineURL(line, path, name);
        const std::wstring expected = Reference(line, path, name);
        if (cleaned != expected && ++failures <= 10) {
            ADD_FAILURE() << "case " << i << " (seed " << seed << ")\n  line: " << Units(line)
                          << "\n  path: " << Units(path) << "\n  name: " << Units(name)
                          << "\n  cleaned:   " << Units(cleaned) << "\n  reference: " << Units(expected);
        }
        if (expected.empty()) ++empty;
        if (!expected.empty() && (expected.front() == L'"' || expected.back() == L'"')) ++quoted;
        if (expected != line) ++changed;
        // Where cutting the program part by position gives another text than cutting it by its
        // exact text wherever it stands (the program part in other letter case, without ".exe").
        const std::wstring byText = StripEndThenStart(
            StripEndThenStart(RemoveOccurrences(RemoveOccurrences(line, path), name), [](wchar_t c) { return c == L'"'; }),
            [](wchar_t c) { return std::iswspace(c) != 0; });
        if (byText != expected) ++byPosition;
    }
    EXPECT_EQ(failures, 0u) << "of " << count << " command lines (seed " << seed << ")";
    // The generator must reach the interesting outcomes, or the comparison proves little.
    EXPECT_GT(empty, count / 50);
    EXPECT_GT(quoted, count / 50);
    EXPECT_GT(changed, count / 2);
    EXPECT_GT(byPosition, count / 10);
}

}  // namespace
