// Site files under Wine: the base and site directories below a Program Files folder of the
// test's own, the descriptor moved into the site directory, the "Users" grant on both from
// Windows 6.0 on, and the check that keeps a SiteName from the server inside the base
// directory.

#include <gtest/gtest.h>

#include <windows.h>
#include <lm.h>

#include <cwctype>
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

// -- new files in the site directory ----------------------------------------------------------

// One creation the copy asked of the platform.
struct Creation {
    std::wstring path;
    DWORD access, share, disposition, flags;
};

// A source in a scratch directory, a site directory where any user could have put names, and
// a file elsewhere that a link there may point at; the platform's file creation watched, with
// what a test does around each creation (n counts from 0).
struct SiteCopyFixture {
    kvtest::ScratchDir dir{L"sitecopy"};
    std::wstring source = dir / L"source.exe";
    std::wstring site = dir / L"site";
    std::wstring target = site + L"\\KVUpdate.exe";
    std::wstring victim = dir / L"victim.dll";
    std::wstring otherName = site + L"\\other name.exe";
    std::string sourceBytes;
    std::vector<Creation> creations;
    std::function<void(SiteCopyFixture&, size_t n)> before;
    std::function<void(SiteCopyFixture&, size_t n, HANDLE created)> after;
    InstallPlatform platform = RealInstallPlatform();

    SiteCopyFixture() {
        ::CreateDirectoryW(site.c_str(), nullptr);
        // More than one block of the copy, and no two blocks alike.
        for (int i = 0; sourceBytes.size() < 700 * 1024; ++i) sourceBytes += "block " + std::to_string(i) + "\n";
        WriteBytes(source, sourceBytes);
        WriteBytes(victim, "a file of the system");
        const InstallPlatform real = RealInstallPlatform();
        platform.createFile = [this, real](const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                                           DWORD flags) {
            const size_t n = creations.size();
            creations.push_back({path, access, share, disposition, flags});
            if (before) before(*this, n);
            HANDLE created = real.createFile(path, access, share, disposition, flags);
            const DWORD error = ::GetLastError();
            if (after && created != INVALID_HANDLE_VALUE) after(*this, n, created);
            ::SetLastError(error);
            return created;
        };
    }
    bool LinkVictimAt(const std::wstring& name) { return ::CreateHardLinkW(name.c_str(), victim.c_str(), nullptr); }
};

TEST(CopyToNewSiteFile, NoByteGoesThroughANameThatSomebodyElseMade) {
    const DWORD ok = ERROR_SUCCESS;
    const size_t tries = static_cast<size_t>(kSiteFileTries);
    struct Case {
        const char* what;
        std::function<void(SiteCopyFixture&)> setUp;
        DWORD result;
        size_t creations;
        bool copied;  // the target holds the source's bytes
    } const cases[] = {
        {"a free name", nullptr, ok, 1, true},
        {"a file of an earlier run", [](SiteCopyFixture& f) { WriteBytes(f.target, "an earlier, longer updater"); }, ok,
         2, true},
        {"a hard link to a file elsewhere, planted before the copy",
         [](SiteCopyFixture& f) { ASSERT_TRUE(f.LinkVictimAt(f.target)) << ::GetLastError(); }, ok, 2, true},
        {"a link planted between the removal and the creation",
         [](SiteCopyFixture& f) {
             f.before = [](SiteCopyFixture& g, size_t n) {
                 if (n == 0) {
                     EXPECT_TRUE(g.LinkVictimAt(g.target));
                 }
             };
         },
         ok, 2, true},
        {"a link planted again before every creation: the copy gives up",
         [](SiteCopyFixture& f) {
             f.before = [](SiteCopyFixture& g, size_t) {
                 ::DeleteFileW(g.target.c_str());
                 EXPECT_TRUE(g.LinkVictimAt(g.target));
             };
         },
         ERROR_FILE_EXISTS, tries, false},
        {"a second name given to the new file before the copy",
         [](SiteCopyFixture& f) {
             f.after = [](SiteCopyFixture& g, size_t n, HANDLE) {
                 if (n == 0) {
                     EXPECT_TRUE(::CreateHardLinkW(g.otherName.c_str(), g.target.c_str(), nullptr));
                 }
             };
         },
         ok, 2, true},
        {"a directory in the way", [](SiteCopyFixture& f) { ::CreateDirectoryW(f.target.c_str(), nullptr); },
         ERROR_FILE_EXISTS, tries, false},
        {"a write that fails leaves no file",
         [](SiteCopyFixture& f) {
             const InstallPlatform real = RealInstallPlatform();
             f.platform.createFile = [&f, real](const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                                                DWORD flags) {
                 f.creations.push_back({path, access, share, disposition, flags});
                 return real.createFile(path, (access & ~GENERIC_WRITE) | GENERIC_READ, share, disposition, flags);
             };
         },
         ERROR_ACCESS_DENIED, 1, false},
        {"a missing source: nothing is created",
         [](SiteCopyFixture& f) { ::DeleteFileW(f.source.c_str()); }, ERROR_FILE_NOT_FOUND, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SiteCopyFixture f;
        if (c.setUp) c.setUp(f);
        if (::testing::Test::HasFatalFailure()) return;
        DWORD result = 0xFFFFFFFF;
        {
            kvtest::ScopedPlatform platform(f.platform);
            result = CopyToNewSiteFile(f.source, f.target);
        }
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(ReadBytes(f.victim), "a file of the system") << "written through a link";
        ASSERT_EQ(f.creations.size(), c.creations);
        for (const Creation& made : f.creations) {
            EXPECT_EQ(made.path, f.target);
            EXPECT_EQ(made.disposition, static_cast<DWORD>(CREATE_NEW)) << "never an existing file";
            EXPECT_TRUE(made.flags & FILE_FLAG_OPEN_REPARSE_POINT) << "never through a reparse point";
            EXPECT_EQ(made.share, 0u);
        }
        if (c.copied) {
            EXPECT_TRUE(ReadBytes(f.target) == f.sourceBytes) << "the copy: " << ReadBytes(f.target).size() << " bytes";
        } else if (c.result == ERROR_ACCESS_DENIED) {
            EXPECT_FALSE(Exists(f.target)) << "the file it could not fill is gone";
        }
        if (Exists(f.otherName)) {
            EXPECT_EQ(ReadBytes(f.otherName), "") << "the file another name reached got nothing";
        }
        if (c.result != ERROR_FILE_NOT_FOUND) {
            EXPECT_TRUE(ReadBytes(f.source) == f.sourceBytes) << "the source stays as it was";
        }
    }
}

TEST(CopyToNewSiteFile, NeverOntoItsOwnSource) {
    SiteCopyFixture f;
    std::wstring sameByAnotherCase = f.source;
    for (wchar_t& ch : sameByAnotherCase) ch = static_cast<wchar_t>(::towupper(ch));
    for (const std::wstring& target : {f.source, sameByAnotherCase}) {
        SCOPED_TRACE(Narrow(target));
        {
            kvtest::ScopedPlatform platform(f.platform);
            EXPECT_EQ(CopyToNewSiteFile(f.source, target), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        }
        EXPECT_TRUE(f.creations.empty());
        EXPECT_TRUE(ReadBytes(f.source) == f.sourceBytes);
    }
}

// The descriptor copy is made the same way: a link planted under its name while the site
// directory is being prepared gets nothing.
TEST(PrepareSiteFiles, TheDescriptorCopyIsANewFileOfItsOwn) {
    SiteFilesFixture f;
    const std::wstring victim = f.dir / L"victim.dll";
    WriteBytes(victim, "a file of the system");
    const std::wstring copy = f.base + L"\\Acme\\kestrelvault_server.exe";
    const std::string descriptorBytes = ReadBytes(f.descriptor);
    std::vector<DWORD> dispositions;
    const InstallPlatform real = RealInstallPlatform();
    f.platform.createFile = [&](const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
        // Planted after the directories are made, right before the first creation.
        if (dispositions.empty()) {
            EXPECT_TRUE(::CreateHardLinkW(copy.c_str(), victim.c_str(), nullptr));
        }
        dispositions.push_back(disposition);
        return real.createFile(path, access, share, disposition, flags);
    };
    kvtest::ScopedPlatform platform(f.platform);
    const SiteFilesResult result = PrepareSiteFiles(L"Acme", f.temp, f.descriptor);
    EXPECT_EQ(result.outcome, SiteFilesOutcome::Done);
    EXPECT_EQ(dispositions, (std::vector<DWORD>{CREATE_NEW, CREATE_NEW}));
    EXPECT_EQ(ReadBytes(victim), "a file of the system");
    EXPECT_EQ(ReadBytes(copy), descriptorBytes);
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
