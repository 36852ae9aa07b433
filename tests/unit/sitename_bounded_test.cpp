// The site descriptor reader with descriptors of any size: the line rules wherever the read
// blocks end, names at the reader's bound, and descriptors of hundreds of megabytes read by
// the reader in a process of its own (kv_read_sitename.exe) whose peak memory is measured.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "install/SiteDescriptor.h"
#include "install_support.h"

namespace {

using kvtest::Narrow;

const SiteNameOutcome kName = SiteNameOutcome::Name, kWrong = SiteNameOutcome::WrongMarkup;

struct Row {
    const char* what;
    std::string bytes;
    SiteNameOutcome outcome;
    std::string siteName;  // UTF-8
};

// Pieces whose bytes text mode joins or ends: each is cut at every offset below.
const Row kPieces[] = {
    {"CR LF after the value line", "<servicename>Acme</servicename>\r\n", kName, "Acme"},
    {"CR LF before the value line", "x\r\n<servicename>Acme</servicename>", kName, "Acme"},
    {"CR CR LF: the first CR stays in its line", "\r\r\n<servicename>Acme</servicename>\r\n", kName, "Acme"},
    {"CR LF between the tag and its close", "<servicename>Acme\r\n</servicename>\r\n", kWrong, ""},
    {"a lone CR inside the value", "<servicename>Ac\rme</servicename>", kName, "Ac\rme"},
    {"a CR as the last byte stays", "<site>\nend\r", kName, "end\r"},
    {"a CR before a Ctrl-Z stays", "<site>\nend\r\x1A<servicename>X</servicename>\n", kName, "end\r"},
    {"a Ctrl-Z hides the value line", "<site>\n\x1A<servicename>Acme</servicename>\n", kName, ""},
    {"the value ends at a NUL", std::string("<servicename>Ac\0me</servicename>\n", 33), kName, "Ac"},
    {"no tag, no final LF", "<site>\r\n<ServiceName>Acme</ServiceName>", kName, "<ServiceName>Acme</ServiceName>"},
    {"a tag cut by a line end", "<service\r\nname>Acme</servicename>\r\n", kName, ""},
};

std::string Utf8(const std::wstring& w) { return Narrow(w); }

std::string Describe(const SiteDescriptorScan& scan) {
    if (scan.wrongMarkup) return "wrong markup";
    if (scan.tooLong) return "too long";
    return "name \"" + Utf8(SiteNameFromUtf8(scan.value)) + "\"";
}

std::string Describe(SiteNameOutcome outcome, const std::string& name) {
    return outcome == kWrong ? "wrong markup" : outcome == kName ? "name \"" + name + "\"" : "open failure";
}

std::string Describe(const SiteNameResult& read) { return Describe(read.outcome, Utf8(read.siteName)); }

TEST(SiteDescriptorScanner, PiecesCutAnywhereGiveTheSameName) {
    for (const Row& row : kPieces) {
        SCOPED_TRACE(row.what);
        const std::string expected = Describe(row.outcome, row.siteName);
        // Two pieces cut at every offset, and one byte at a time.
        for (size_t cut = 0; cut <= row.bytes.size(); ++cut) {
            SiteDescriptorScanner scanner;
            if (scanner.FeedFileBytes(row.bytes.data(), cut)) scanner.FeedFileBytes(row.bytes.data() + cut, row.bytes.size() - cut);
            const SiteDescriptorScan scan = scanner.Finish();
            EXPECT_EQ(Describe(scan), expected) << "cut at " << cut;
        }
        SiteDescriptorScanner scanner;
        for (char c : row.bytes)
            if (!scanner.FeedFileBytes(&c, 1)) break;
        EXPECT_EQ(Describe(scanner.Finish()), expected) << "one byte at a time";
    }
}

// The same pieces in real files, after a long line that puts each byte of the piece, in turn,
// on the reader's block boundary.
TEST(ReadSiteName, LineEndsOnTheBlockBoundary) {
    kvtest::ScratchDir dir(L"sitename_blocks");
    const std::wstring path = dir / L"kestrelvault_server.exe";
    for (const Row& row : kPieces) {
        SCOPED_TRACE(row.what);
        for (size_t back = 0; back <= row.bytes.size() + 1; ++back) {
            // A line of its own longer than the bound, ended by LF: no name comes from it.
            const size_t lead = kSiteDescriptorBlockSize - back;
            const std::string bytes = std::string(lead - 1, 'a') + "\n" + row.bytes;
            ASSERT_TRUE(kvtest::WriteBytes(path, bytes));
            const SiteNameResult read = ReadSiteName(path);
            EXPECT_EQ(Describe(read), Describe(row.outcome, row.siteName)) << "block ends " << back << " bytes before the piece's end";
        }
    }
}

// Names up to the bound are read as they always were; beyond it the reader refuses the name
// however the file goes on, and lines of any length count only through what follows their tag.
TEST(ReadSiteName, NamesAtTheBound) {
    const size_t bound = kSiteNameByteBound;
    const std::string atBound(bound, 'n'), overBound(bound + 1, 'n'), megabyte(1 << 20, 'x');
    const std::string tag = "<servicename>", close = "</servicename>";
    const std::string nul(1, '\0');
    const Row rows[] = {
        {"a value of exactly the bound", tag + atBound + close + "\n", kName, atBound},
        {"a value one byte over", tag + overBound + close + "\n", kWrong, ""},
        {"a value over the bound without any \"<\" after it", tag + overBound + "\n" + close + "\n", kWrong, ""},
        {"a value ending at a NUL, long after it", tag + "Acme" + nul + megabyte + close + "\n", kName, "Acme"},
        {"no tag, a last line of exactly the bound", "<site>\n" + atBound, kName, atBound},
        {"no tag, a last line one byte over", "<site>\n" + overBound, kWrong, ""},
        {"no tag, a long last line ending at a NUL early", "<site>\nend" + nul + megabyte, kName, "end"},
        {"no tag, a long last line with a final LF", "<site>\n" + megabyte + "\n", kName, ""},
        {"a megabyte before the tag on the value line", megabyte + tag + "Acme" + close + "\n", kName, "Acme"},
        {"a megabyte line before the value line", megabyte + "\r\n" + tag + "Acme" + close + "\r\n", kName, "Acme"},
        {"a long first value line still counts first", tag + overBound + close + "\n" + tag + "Two" + close + "\n", kWrong,
         ""},
    };
    kvtest::ScratchDir dir(L"sitename_bound");
    const std::wstring path = dir / L"kestrelvault_server.exe";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(kvtest::WriteBytes(path, row.bytes));
        const SiteNameResult read = ReadSiteName(path);
        EXPECT_EQ(Describe(read), Describe(row.outcome, row.siteName));
        EXPECT_EQ(kvtest::ReadBytes(path).size(), row.bytes.size()) << "the reader changed the file";
    }
}

// Why the bound refuses no name a directory could carry: every kind of byte a name is made of
// gives at least one UTF-16 unit per 4 bytes, so that 1,024 bytes of any of them are more than
// the 255 units of the longest path component.
TEST(SiteNameFromUtf8, EveryFourBytesGiveAtLeastOneUnit) {
    const char* const kinds[] = {
        "a",                  // ASCII
        "\xC3\xA9",           // two-byte
        "\xEC\xBC\x80",       // Hangul
        "\xF0\x9F\x98\x80",   // outside the BMP: a surrogate pair
        "\xEF\xBB\xBF",       // U+FEFF
        "\x80",               // a lone continuation byte
        "\xF0\x9F\x98",       // a cut four-byte sequence
        "\xC0\x80",           // an overlong NUL
        "\xE0\x80\x80",       // an overlong three-byte form
        "\xED\xA0\x80",       // a surrogate's encoding
        "\xF4\x90\x80\x80",   // above U+10FFFF
        "\xF8\x88\x80\x80\x80",  // an old five-byte form
        "\xFF",
    };
    for (const char* kind : kinds) {
        std::string bytes;
        while (bytes.size() < 1024) bytes += kind;
        const size_t units = SiteNameFromUtf8(bytes).size();
        EXPECT_GE(units * 4, bytes.size()) << "kind of " << std::strlen(kind) << " bytes";
        EXPECT_GT(units, 255u);
    }
    EXPECT_GE(kSiteNameByteBound, 4u * 256) << "the bound must keep every name of up to 255 units";
}

// ---------------------------------------------------------------------------------------------
// Hundreds of megabytes

const unsigned long long kMiB = 1 << 20;

// Writes `size` bytes: `pattern` repeated (cut where the size ends) and then `tail`, in blocks
// of 4 MiB.
bool WriteLargeFile(const std::wstring& path, const std::string& pattern, unsigned long long size, const std::string& tail) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::string block;
    while (block.size() < 4 * kMiB) block += pattern;
    block.resize(4 * kMiB - 4 * kMiB % pattern.size());
    bool ok = true;
    for (unsigned long long left = size - tail.size(); ok && left > 0;) {
        const DWORD n = static_cast<DWORD>(left < block.size() ? left : block.size());
        DWORD written = 0;
        ok = ::WriteFile(h, block.data(), n, &written, nullptr) && written == n;
        left -= n;
    }
    DWORD written = 0;
    ok = ok && ::WriteFile(h, tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr) && written == tail.size();
    return ::CloseHandle(h) && ok;
}

struct ChildRead {
    DWORD exitCode = 0;
    int outcome = -1;
    unsigned long peakWorkingSet = 0, peakPagefile = 0;
    std::string siteName;
};

// Runs kv_read_sitename.exe on the descriptor and reads back what it wrote.
ChildRead ReadInChild(const kvtest::ScratchDir& dir, const std::wstring& descriptor) {
    ChildRead child;
    const std::wstring result = dir / L"result.txt";
    ::DeleteFileW(result.c_str());
    std::wstring command = L"\"" + kvtest::BuildDirectory() + L"\\kv_read_sitename.exe\" \"" + descriptor + L"\" \"" + result + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "kv_read_sitename.exe does not start: " << ::GetLastError();
        return child;
    }
    if (::WaitForSingleObject(pi.hProcess, 300000) != WAIT_OBJECT_0) {
        ::TerminateProcess(pi.hProcess, 1);
        ADD_FAILURE() << "kv_read_sitename.exe did not end within 300 s";
    }
    ::GetExitCodeProcess(pi.hProcess, &child.exitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    std::istringstream in(kvtest::ReadBytes(result));
    in >> child.outcome >> child.peakWorkingSet >> child.peakPagefile;
    in.get();
    std::getline(in, child.siteName, '\0');
    return child;
}

TEST(ReadSiteName, DescriptorsOfHundredsOfMegabytesInBoundedMemory) {
    const unsigned long long size = 400 * kMiB;
    const std::string tag = "<servicename>", close = "</servicename>";
    struct Big {
        const char* what;
        std::string pattern;
        std::string tail;
        int outcome;
        const char* siteName;
    } const rows[] = {
        {"valid lines, the value line at the end", "  <item>kestrel vault descriptor filler</item>\r\n",
         "  " + tag + "Acme" + close + "\r\n</kestrelvault>\r\n", 0, "Acme"},
        {"one line, the value at its end", "<x/> ", tag + "Acme" + close, 0, "Acme"},
        {"one line without the tag and without a line end", "filler ", "end", 2, ""},
        {"one line without the tag, ended by LF", "filler ", "end\n", 0, ""},
    };
    kvtest::ScratchDir dir(L"sitename_large");
    const std::wstring small = dir / L"small.exe";
    ASSERT_TRUE(kvtest::WriteBytes(small, "<servicename>Acme</servicename>\r\n"));
    const ChildRead base = ReadInChild(dir, small);
    ASSERT_EQ(base.exitCode, 0u);
    ASSERT_EQ(base.siteName, "Acme");
    std::printf("[ReadSiteName] small descriptor: peak working set %lu KiB, peak pagefile %lu KiB\n",
                base.peakWorkingSet / 1024, base.peakPagefile / 1024);

    const std::wstring path = dir / L"kestrelvault_server.exe";
    for (const Big& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(WriteLargeFile(path, row.pattern, size, row.tail));
        const ChildRead read = ReadInChild(dir, path);
        ::DeleteFileW(path.c_str());
        std::printf("[ReadSiteName] %s, %llu MiB: exit %lu, peak working set %lu KiB, peak pagefile %lu KiB\n", row.what,
                    size / kMiB, read.exitCode, read.peakWorkingSet / 1024, read.peakPagefile / 1024);
        ASSERT_EQ(read.exitCode, 0u) << "the reader's process died";
        EXPECT_EQ(read.outcome, row.outcome);
        EXPECT_EQ(read.siteName, row.siteName);
        // The reader's own memory is a few blocks: the process grows by nothing near the file.
        EXPECT_LT(read.peakWorkingSet, base.peakWorkingSet + 16 * kMiB);
        EXPECT_LT(read.peakPagefile, base.peakPagefile + 16 * kMiB);
        EXPECT_LT(read.peakWorkingSet, size / 8);
    }
}

}  // namespace
