// The site descriptor reader: one table of small files read as text (CR LF as LF, input ended at
// a Ctrl-Z), and the same rows, where text mode changes nothing, through the pure line scan.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "install/SiteDescriptor.h"
#include "install_support.h"

namespace {

using kvtest::Narrow;

const std::wstring kNoFile = L"<no file>";

TEST(ReadSiteName, TableOfDescriptors) {
    const SiteNameOutcome name = SiteNameOutcome::Name, wrong = SiteNameOutcome::WrongMarkup;
    struct Case {
        const char* what;
        std::string bytes;
        SiteNameOutcome outcome;
        std::wstring siteName;
    } const cases[] = {
        {"leading blanks before the tag", "  <servicename>Acme</servicename>\n", name, L"Acme"},
        {"blanks inside the value are kept", "<servicename> Acme </servicename>\n", name, L" Acme "},
        {"among other lines", "<?xml version=\"1.0\"?>\n<site>\n  <servicename>Acme</servicename>\n</site>\n", name,
         L"Acme"},
        {"closing tag on the next line", "<servicename>Acme\n</servicename>\n", wrong, L""},
        {"empty value", "<servicename></servicename>\n", name, L""},
        {"any < ends the value", "<servicename>Ac<me>\n", name, L"Ac"},
        {"only the first tag of the line", "<servicename>A<servicename>B</servicename>\n", name, L"A"},
        {"other letter case: no tag, last line ends in LF", "<ServiceName>Acme</ServiceName>\n", name, L""},
        {"other letter case: no tag, last line without LF", "<ServiceName>Acme</ServiceName>", name,
         L"<ServiceName>Acme</ServiceName>"},
        {"two value lines: the first counts", "<servicename>One</servicename>\n<servicename>Two</servicename>\n",
         name, L"One"},
        {"a wrong first value line fails even with a good second",
         "<servicename>One\n<servicename>Two</servicename>\n", wrong, L""},
        {"value line without LF at the end", "x\n<servicename>Acme</servicename>", name, L"Acme"},
        {"CR LF line ends", "<?xml?>\r\n<servicename>Acme</servicename>\r\n</site>\r\n", name, L"Acme"},
        {"CR LF, tag and value split over lines", "<servicename>Acme\r\n</servicename>\r\n", wrong, L""},
        {"a lone CR stays in the line", "<servicename>Ac\rme</servicename>\n", name, L"Ac\rme"},
        {"Hangul in UTF-8", "<servicename>\xEC\xBC\x80\xEC\x8A\xA4\xED\x8A\xB8\xEB\xA0\x90</servicename>\n", name,
         L"\uCF00\uC2A4\uD2B8\uB810"},
        {"no tag, last line 'end' without LF", "<site>\nend", name, L"end"},
        {"no tag, last line 'end' with LF", "<site>\nend\n", name, L""},
        {"no tag, CR LF and no final line end", "<site>\r\nend", name, L"end"},
        {"empty file", "", name, L""},
        {"Ctrl-Z before the value line hides it", "<site>\n\x1A<servicename>Acme</servicename>\n", name, L""},
        {"Ctrl-Z inside the last line ends it there", "<site>\nen\x1A" "d\n", name, L"en"},
        {"Ctrl-Z after the value line changes nothing", "<servicename>Acme</servicename>\n\x1A", name, L"Acme"},
        {"the value ends at a NUL byte", std::string("<servicename>Ac\0me</servicename>\n", 33), name, L"Ac"},
        {"a file that does not open", "", SiteNameOutcome::OpenFailure, kNoFile},
    };

    kvtest::ScratchDir dir(L"sitename");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring path = dir / L"kestrelvault_server.exe";
        ::DeleteFileW(path.c_str());
        const bool hasFile = c.siteName != kNoFile;
        if (hasFile) {
            ASSERT_TRUE(kvtest::WriteBytes(path, c.bytes));
        }

        const SiteNameResult read = ReadSiteName(path);
        EXPECT_EQ(read.outcome, c.outcome);
        if (hasFile) {
            EXPECT_EQ(Narrow(read.siteName), Narrow(c.siteName));
            EXPECT_EQ(kvtest::ReadBytes(path), c.bytes) << "the reader changed the file";
        }

        // Bytes the text-mode stream passes on unchanged give the same result to the line scan.
        if (hasFile && c.bytes.find_first_of(std::string("\r\x1A", 2)) == std::string::npos) {
            const SiteDescriptorScan scan = ScanSiteDescriptor(c.bytes);
            EXPECT_EQ(scan.wrongMarkup, c.outcome == wrong);
            if (!scan.wrongMarkup) {
                EXPECT_EQ(Narrow(SiteNameFromUtf8(scan.value)), Narrow(c.siteName));
            }
        }
    }
}

TEST(ReadSiteName, OpensAFileThatIsHeldOpenForWriting) {
    kvtest::ScratchDir dir(L"sitename_held");
    const std::wstring path = dir / L"held.exe";
    ASSERT_TRUE(kvtest::WriteBytes(path, "<servicename>Held</servicename>\n"));
    // Another program writing the file, sharing it for reading and writing only.
    HANDLE writer = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const SiteNameResult read = ReadSiteName(path);
    ::CloseHandle(writer);
    EXPECT_EQ(read.outcome, SiteNameOutcome::Name);
    EXPECT_EQ(Narrow(read.siteName), "Held");
}

TEST(SiteNameFromUtf8, MalformedBytesAreConvertedNotRejected) {
    // What the platform call makes of a lone continuation byte and a cut sequence.
    for (const std::string& bytes : {std::string("A\x80Z"), std::string("A\xEC\xBC")}) {
        SCOPED_TRACE(bytes);
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        std::wstring expected(static_cast<size_t>(n), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &expected[0], n);
        EXPECT_EQ(SiteNameFromUtf8(bytes), expected);
        EXPECT_FALSE(SiteNameFromUtf8(bytes).empty());
    }
}

}  // namespace
