// Site files under Wine: the base and site directories below a Program Files folder of the
// test's own, the descriptor moved into the site directory, the "Users" grant on both from
// Windows 6.0 on, and the check that keeps a SiteName from the server inside the base
// directory.

#include <gtest/gtest.h>

#include <windows.h>
#include <lm.h>

#include <functional>
#include <string>
#include <vector>

#include "../support/TraceCapture.h"
#include "framework/OSVersion.h"
#include "install/SiteFiles.h"
#include "install_support.h"

namespace {

using kvtest::Exists;
using kvtest::IsDirectory;
using kvtest::Narrow;
using kvtest::ReadBytes;
using kvtest::WriteBytes;

struct SiteNameCase {
    const wchar_t* name;
    bool plain;
};

const SiteNameCase kSiteNameCases[] = {
    {L"", true},  // the files then go into the base directory
    {L"Acme", true},
    {L"Acme Corp", true},
    {L"\uCF00\uC2A4\uD2B8\uB810", true},
    {L"a.b", true},
    {L" leading blank", true},
    {L".hidden", true},
    {L"..a", true},           // dots that are not the whole name
    {L"a..b", true},
    {L"\uFF0E\uFF0E", true},  // full-width dots are letters to the file system
    {L"a\u2215b", true},       // a division slash separates nothing
    {L"trailing\u3000", true}, // only the ASCII blank is dropped at the end of a name
    {L"CONSOLE", true},
    {L"COM10", true},
    {L"LPT0", true},
    {L"NULL", true},
    {L"..\\..\\Windows", false},
    {L"a\\..\\..\\b", false},
    {L"..", false},
    {L".", false},
    {L"...", false},
    {L"C:\\x", false},
    {L"C:", false},
    {L"a/b", false},
    {L"../x", false},
    {L"a\\b", false},
    {L"\\\\server\\share", false},
    {L"\\\\?\\C:\\x", false},
    {L"\\\\.\\PhysicalDrive0", false},
    {L"Acme:stream", false},     // an alternate data stream of the base directory's entry
    {L"Acme::$DATA", false},
    {L":", false},
    {L"x*", false},
    {L"x?", false},
    {L"x\"y", false},
    {L"x<y", false},
    {L"x>y", false},
    {L"x|y", false},
    {L"tab\there", false},
    {L"line\nend", false},
    {L"del\x7F", false},
    {L"ends in a dot.", false},
    {L"ends in a blank ", false},
    {L" ", false},
    {L"a. ", false},
    {L"a .", false},
    {L"CON", false},
    {L"con", false},
    {L"Nul", false},
    {L"PRN", false},
    {L"AUX", false},
    {L"AUX.tar.gz", false},
    {L"COM1", false},
    {L"com9", false},
    {L"COM9.log", false},
    {L"LPT1", false},
    {L"COM\u00B9", false},
    {L"LPT\u00B3", false},
    {L"NUL.txt", false},
    {L"CON .log", false},
    {L"CONIN$", false},
    {L"CONOUT$", false},
};

TEST(IsPlainSiteName, Table) {
    for (const SiteNameCase& c : kSiteNameCases) {
        SCOPED_TRACE(Narrow(c.name));
        EXPECT_EQ(IsPlainSiteName(c.name), c.plain);
    }
}

const std::vector<std::string> kGrant = {"> AddFileAccessAllowedRights", "< AddFileAccessAllowedRights"};

// A Program Files folder and a temp directory of the test's own, the descriptor waiting in the
// latter.
struct SiteFilesFixture {
    kvtest::ScratchDir dir{L"sitefiles"};
    std::wstring programFiles = dir / L"pf";
    std::wstring temp = dir / L"tmp";
    std::wstring descriptor = temp + L"\\kestrelvault_server.exe";
    std::wstring base = programFiles + L"\\KestrelVAULT";
    InstallPlatform platform = RealInstallPlatform();

    SiteFilesFixture() {
        ::CreateDirectoryW(programFiles.c_str(), nullptr);
        ::CreateDirectoryW(temp.c_str(), nullptr);
        WriteBytes(descriptor, "<servicename>whatever</servicename>\n");
        platform.programFilesFolder = [this] { return programFiles; };
    }
};

TEST(PrepareSiteFiles, Table) {
    const SiteFilesOutcome done = SiteFilesOutcome::Done;
    struct Case {
        const char* what;
        std::wstring siteName;
        std::function<void(SiteFilesFixture&)> before;
        SiteFilesOutcome outcome;
        std::wstring siteDirectory;  // below the Program Files folder
        std::vector<std::string> log;
    } const cases[] = {
        {"first run creates both directories", L"Acme", nullptr, done, L"\\KestrelVAULT\\Acme",
         kvtest::Lines({kGrant, kGrant})},
        {"an existing base directory is used and granted again", L"Acme",
         [](SiteFilesFixture& f) { ::CreateDirectoryW(f.base.c_str(), nullptr); }, done, L"\\KestrelVAULT\\Acme",
         kvtest::Lines({kGrant, kGrant})},
        {"an existing site directory and descriptor copy", L"Acme",
         [](SiteFilesFixture& f) {
             ::CreateDirectoryW(f.base.c_str(), nullptr);
             ::CreateDirectoryW((f.base + L"\\Acme").c_str(), nullptr);
             WriteBytes(f.base + L"\\Acme\\kestrelvault_server.exe", "from an earlier run, and longer than the new one");
         },
         done, L"\\KestrelVAULT\\Acme", kvtest::Lines({kGrant, kGrant})},
        {"Hangul site name", L"\uCF00\uC2A4\uD2B8\uB810", nullptr, done, L"\\KestrelVAULT\\\uCF00\uC2A4\uD2B8\uB810",
         kvtest::Lines({kGrant, kGrant})},
        {"empty SiteName: the files land in the base directory", L"", nullptr, done, L"\\KestrelVAULT\\",
         kvtest::Lines({kGrant, kGrant})},
        {"a file named KestrelVAULT in place of the base directory", L"Acme",
         [](SiteFilesFixture& f) { WriteBytes(f.base, "not a directory"); }, SiteFilesOutcome::SiteDirFailure,
         L"\\KestrelVAULT\\Acme", kGrant},
        {"no Program Files folder", L"Acme",
         [](SiteFilesFixture& f) { ::RemoveDirectoryW(f.programFiles.c_str()); }, SiteFilesOutcome::BaseDirFailure,
         L"", {}},
        {"a directory in place of the descriptor copy", L"Acme",
         [](SiteFilesFixture& f) {
             ::CreateDirectoryW(f.base.c_str(), nullptr);
             ::CreateDirectoryW((f.base + L"\\Acme").c_str(), nullptr);
             ::CreateDirectoryW((f.base + L"\\Acme\\kestrelvault_server.exe").c_str(), nullptr);
         },
         SiteFilesOutcome::CopyFailure, L"\\KestrelVAULT\\Acme", kvtest::Lines({kGrant, kGrant})},
        {"a name reaching outside", L"..\\..\\Windows", nullptr, SiteFilesOutcome::InvalidSiteName, L"", {}},
        {"an absolute path", L"C:\\x", nullptr, SiteFilesOutcome::InvalidSiteName, L"", {}},
        {"a device name", L"NUL", nullptr, SiteFilesOutcome::InvalidSiteName, L"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SiteFilesFixture f;
        kvtest::ScopedPlatform platform(f.platform);
        if (c.before) c.before(f);
        const std::string tempBytes = ReadBytes(f.descriptor);

        SiteFilesResult result;
        const auto log = CaptureTrace([&] { result = PrepareSiteFiles(c.siteName, f.temp, f.descriptor); });
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(Narrow(result.siteDirectory), c.siteDirectory.empty() ? "" : Narrow(f.programFiles + c.siteDirectory));
        EXPECT_EQ(log, c.log);

        const std::wstring copy = result.siteDirectory + L"\\kestrelvault_server.exe";
        if (c.outcome == done) {
            EXPECT_TRUE(IsDirectory(f.base));
            EXPECT_TRUE(IsDirectory(result.siteDirectory));
            EXPECT_EQ(ReadBytes(copy), tempBytes) << "the descriptor copy";
            EXPECT_FALSE(Exists(f.descriptor)) << "the temp file is gone once copied";
        } else {
            EXPECT_EQ(ReadBytes(f.descriptor), tempBytes) << "the temp file stays";
        }
        if (c.outcome == SiteFilesOutcome::InvalidSiteName) {
            EXPECT_FALSE(Exists(f.base)) << "nothing is created for a name that is not one path component";
            EXPECT_FALSE(Exists(f.dir.Path() + L"\\Windows"));
        }
    }
}

// The entries of a directory, "." and ".." left out.
std::vector<std::wstring> Entries(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    return names;
}

// Every name of the table through the whole preparation: a plain one becomes exactly one
// directory of that name directly in the base directory (none for the empty name), a refused
// one leaves the scratch directory as it was, base directory included.
TEST(PrepareSiteFiles, EveryNameStaysInTheBaseDirectoryOrCreatesNothing) {
    for (const SiteNameCase& c : kSiteNameCases) {
        SCOPED_TRACE(Narrow(c.name));
        SiteFilesFixture f;
        kvtest::ScopedPlatform platform(f.platform);
        const std::vector<std::wstring> scratchBefore = Entries(f.dir.Path());
        const std::vector<std::wstring> programFilesBefore = Entries(f.programFiles);

        const SiteFilesResult result = PrepareSiteFiles(c.name, f.temp, f.descriptor);
        if (c.plain) {
            EXPECT_EQ(result.outcome, SiteFilesOutcome::Done);
            std::vector<std::wstring> expected = {L"kestrelvault_server.exe"};
            if (*c.name) expected = {c.name};
            EXPECT_EQ(Entries(f.base), expected);
        } else {
            EXPECT_EQ(result.outcome, SiteFilesOutcome::InvalidSiteName);
            EXPECT_EQ(result.siteDirectory, L"");
            EXPECT_FALSE(Exists(f.base));
            EXPECT_TRUE(Exists(f.descriptor));
        }
        EXPECT_EQ(Entries(f.dir.Path()), scratchBefore);
        if (!c.plain) {
            EXPECT_EQ(Entries(f.programFiles), programFilesBefore);
        }
    }
}

TEST(PrepareSiteFiles, EmptyTempDirectoryMeansACopyOntoItself) {
    SiteFilesFixture f;
    kvtest::ScopedPlatform platform(f.platform);
    const SiteFilesResult result = PrepareSiteFiles(L"Acme", L"", f.descriptor);
    EXPECT_EQ(result.outcome, SiteFilesOutcome::CopyFailure);
    EXPECT_TRUE(IsDirectory(f.base + L"\\Acme"));
    EXPECT_TRUE(Exists(f.descriptor));
}

TEST(PrepareSiteFiles, NoGrantBeforeWindows6) {
    struct Case {
        const char* what;
        NET_API_STATUS status;
        DWORD major;
        size_t grants;
    } const cases[] = {
        {"Windows 5.1", NERR_Success, 5, 0},
        {"Windows 6.0", NERR_Success, 6, 2},
        {"no version found", ERROR_ACCESS_DENIED, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OSVersionQueries queries = PlatformOSVersionQueries();
        queries.workstation = [&c](WKSTA_INFO_100& info) {
            info.wki100_ver_major = c.major;
            info.wki100_ver_minor = 0;
            return c.status;
        };
        queries.kernel = [](RTL_OSVERSIONINFOW&) { return FALSE; };
        queries.compatibility = [](OSVERSIONINFOEXW&) { return FALSE; };
        queries.verify = [](OSVERSIONINFOEXW&, DWORD, DWORDLONG) { return FALSE; };
        SetOSVersionQueriesForTesting(&queries);
        SiteFilesFixture f;
        kvtest::ScopedPlatform platform(f.platform);
        SiteFilesResult result;
        const auto log = CaptureTrace([&] { result = PrepareSiteFiles(L"Acme", f.temp, f.descriptor); });
        SetOSVersionQueriesForTesting(nullptr);
        EXPECT_EQ(result.outcome, SiteFilesOutcome::Done);
        std::vector<std::string> expected;
        for (size_t i = 0; i < c.grants; ++i) expected.insert(expected.end(), kGrant.begin(), kGrant.end());
        EXPECT_EQ(log, expected);
    }
}

TEST(AddFileAccessAllowedRights, ResultForDirectoriesFilesAndMissingPaths) {
    kvtest::ScratchDir dir(L"grant");
    WriteBytes(dir / L"file.txt", "x");
    // A grant that fails says so, with the error, between its scope's own lines.
    const std::vector<std::string> failed = {kGrant[0], "Users grant fail___(err: 2)", kGrant[1]};
    struct Case {
        const char* what;
        std::wstring path;
        BOOL expected;
        std::vector<std::string> log;
    } const cases[] = {
        {"directory", dir.Path(), TRUE, kGrant},
        {"file", dir / L"file.txt", TRUE, kGrant},
        {"missing path", dir / L"missing", FALSE, failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BOOL result = -1;
        const auto log = CaptureTrace([&] { result = AddFileAccessAllowedRights(c.path.c_str()); });
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(log, c.log);
    }
}

}  // namespace
