// The two install steps in-process under Wine: every exit of the web-control installer step
// and of the update step with its log lines and result, the launch request, and the stand-in
// programs really started and waited for. Transfers come from a fake server behind the steps'
// fetch call (the transfer itself has tests of its own), except where a real unreachable
// server is the point; the Program Files folder is a directory of the test's own.

#include <gtest/gtest.h>

#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "../support/TraceCapture.h"
#include "framework/app.h"
#include "framework/handle.h"
#include "install/InstallSteps.h"
#include "install/PublisherPins.h"
#include "install/Transfer.h"
#include "install/WorkDirectory.h"
#include "install_support.h"
#include "resource.h"

namespace {

using kvtest::Exists;
using kvtest::Narrow;
using kvtest::ReadBytes;
using kvtest::RecordField;

const char kActiveXScope[] = "KVDownloadDlg::InstallActiveX";
const char kUpdateScope[] = "KVDownloadDlg::RunKVUpdate";
const char kDownloadFail[] = "KestrelVAULT ActiveX 7i.exe Download fail_ and continue loop.";
const char kDownloadSuccess[] = "KestrelVAULT ActiveX 7i.exe Download Success...";
const char kNotStarted[] = "KestrelVAULT ActiveX 7i_ko.exe not obtained, not started___";
const char kUnsigned[] = "Signer: none";

// Publisher pins stamped into this test program's own slot for the object's life: count
// thumbprints that no certificate has (count above the slot's room: an unreadable slot).
class ScopedPins {
public:
    explicit ScopedPins(uint32_t count) {
        volatile unsigned char* slot = PublisherPinSlotForTesting();
        for (size_t i = 0; i < kPinSlotBytes; ++i) slot[i] = 0;
        for (int i = 0; i < 4; ++i) slot[i] = static_cast<unsigned char>(count >> (8 * i));
        const size_t stored = count < kMaxPublisherPins ? count : kMaxPublisherPins;
        for (size_t i = 4; i < 4 + 32 * stored; ++i) slot[i] = 0xAB;
    }
    ~ScopedPins() {
        volatile unsigned char* slot = PublisherPinSlotForTesting();
        for (size_t i = 0; i < kPinSlotBytes; ++i) slot[i] = 0;
    }
    ScopedPins(const ScopedPins&) = delete;
    ScopedPins& operator=(const ScopedPins&) = delete;
};

// The refusal the step logs for an unsigned program while pins are stamped (pinCount 1) or
// while the slot is unreadable (pinCount 17); nothing without pins.
std::vector<std::string> RefusalLines(const char* program, uint32_t pinCount) {
    if (pinCount == 0) return {};
    if (pinCount > kMaxPublisherPins) return {std::string(program) + " publisher pins unreadable, removed, not started___"};
    return {std::string(program) + " unsigned while publishers are pinned, removed, not started___"};
}

// A file that begins as a program does (the "MZ" header, "PE\0\0" where its e_lfanew points)
// and is nothing more: it passes the check before the start and then fails to start.
std::string HeaderOnlyImage() {
    std::string bytes(0x40 + 4 + 20, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    return bytes;
}

// What a gateway answers in place of a program: its sign-in page, saved under the program's name.
const char kSignInPage[] = "<!DOCTYPE html>\n<html><head><title>Sign in</title></head><body></body></html>\n";

// The scope's own message lines, without those of scopes nested in it; the log must hold
// exactly one run of the scope.
std::vector<std::string> OwnLines(const std::vector<std::string>& log, const std::string& scope) {
    EXPECT_FALSE(log.empty());
    if (log.empty()) return {};
    EXPECT_EQ(log.front(), "> " + scope);
    EXPECT_EQ(log.back(), "< " + scope);
    std::vector<std::string> own;
    int depth = 0;
    for (const std::string& line : log) {
        if (line.compare(0, 2, "> ") == 0) {
            ++depth;
        } else if (line.compare(0, 2, "< ") == 0) {
            --depth;
        } else if (depth == 1) {
            own.push_back(line);
        }
    }
    return own;
}

// The lines of the one run of scope in a log that holds other scopes' runs too.
std::vector<std::string> ScopeRun(const std::vector<std::string>& log, const std::string& scope) {
    const auto begin = std::find(log.begin(), log.end(), "> " + scope);
    const auto end = std::find(begin, log.end(), "< " + scope);
    if (begin == log.end() || end == log.end()) return {};
    return std::vector<std::string>(begin, end + 1);
}

std::string Hex(HRESULT hr) {
    char text[40];
    wsprintfA(text, "URLDownloadToFile ret: 0x%08x", static_cast<unsigned>(hr));
    return text;
}

// The real platform, unelevated whatever the test program's token: the user's temp directory.
InstallPlatform UserTempPlatform() {
    InstallPlatform p = RealInstallPlatform();
    p.isElevated = [] { return false; };
    // The waits between attempts pass at once, at the middle of their spread (2, 4, 8, 16 s):
    // their lengths are in the log.
    p.sleep = [](DWORD) {};
    p.random = [] { return static_cast<DWORD>(0x80000000u); };
    return p;
}

// What the fake server does for one file: the transfer result, and the bytes it writes to the
// local target first (none when write is false).
struct Served {
    HRESULT result;
    std::string bytes;
    bool write;
};
Served Delivers(std::string bytes) { return {S_OK, std::move(bytes), true}; }
// A transfer that reports this result without writing anything.
Served ClaimsOnly(HRESULT hr) { return {hr, "", false}; }
Served Fails(HRESULT hr = E_FAIL) { return ClaimsOnly(hr); }

// The steps' fetch call answered by file name (the address after its last "/"); successive
// fetches of a name take the next entry of its list, the last one repeating. Unknown names
// fail like a missing file.
class FakeServer {
public:
    std::map<std::wstring, std::vector<Served>> files;
    std::vector<std::wstring> addresses;
    std::vector<std::wstring> targets;

    HRESULT Fetch(const std::wstring& address, const std::wstring& target) {
        addresses.push_back(address);
        targets.push_back(target);
        const std::wstring name = address.substr(address.rfind(L'/') + 1);
        const auto it = files.find(name);
        if (it == files.end() || it->second.empty()) return INET_E_RESOURCE_NOT_FOUND;
        const size_t n = m_count[name]++;
        const Served& s = it->second[n < it->second.size() ? n : it->second.size() - 1];
        if (s.write) {
            EXPECT_TRUE(kvtest::WriteBytes(target, s.bytes));
        }
        return s.result;
    }

    // Unelevated, as these test programs run: the steps use the user's temp directory.
    InstallPlatform Platform() {
        InstallPlatform p = UserTempPlatform();
        p.fetchServerFile = [this](int, StepReporter*, const std::wstring& a, const std::wstring& t, URLDownCallBack&,
                                   TransferState*) {
            return Fetch(a, t);
        };
        return p;
    }

private:
    std::map<std::wstring, size_t> m_count;
};

// The steps' program start (the platform's createProcess).
using StartCall = std::function<BOOL(const std::wstring& application, std::wstring& commandLine,
                                     const std::wstring& directory, STARTUPINFOW& startup, PROCESS_INFORMATION& process)>;

// A start that "succeeds" without giving a process handle.
BOOL NoProcessHandle(const std::wstring&, std::wstring&, const std::wstring&, STARTUPINFOW&, PROCESS_INFORMATION& process) {
    process.hProcess = nullptr;
    process.hThread = nullptr;
    return TRUE;
}

InstallContext Context(int useHttps, int autoMode) {
    InstallContext context;
    context.useHttps = useHttps;
    context.autoMode = autoMode;
    return context;
}

// The start record of the stand-in with this role, "" when it did not start.
std::string StartRecord(const std::vector<std::string>& records, const std::string& role) {
    for (const std::string& line : records)
        if (RecordField(line, "event") == "start" && RecordField(line, "role") == role) return line;
    return "";
}

std::wstring DirectoryOfPath(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    while (!s.empty() && s.back() == '\\') s.pop_back();
    return s;
}

const std::wstring kActiveXPath = kvtest::TempDirectoryPath() + L"\\KestrelVAULT ActiveX 7i_ko.exe";
const std::wstring kDescriptorTemp = kvtest::TempDirectoryPath() + L"\\kestrelvault_server.exe";
const std::wstring kUpdaterTemp = kvtest::TempDirectoryPath() + L"\\KVUpdate.exe";

// -- the web-control installer step --------------------------------------------------------

TEST(InstallActiveX, Table) {
    const std::string standin = kvtest::StandinBytes(L"KestrelVAULT ActiveX 7i_ko.exe");
    const std::wstring host = L"kvunit.test:8080";
    const std::string address = "http://kvunit.test:8080/app/KestrelVAULT ActiveX 7i_ko.exe";
    const std::string httpsAddress = "https://kvunit.test:8080/app/KestrelVAULT ActiveX 7i_ko.exe";
    const std::string target = Narrow(kActiveXPath);
    const std::string ran = "KestrelVAULT ActiveX 7i_ko.exe run Success...";
    struct Case {
        const char* what;
        const wchar_t* url;
        int useHttps;
        int autoMode;
        std::vector<Served> served;
        StartCall start;  // null: the real one
        int result;
        std::vector<HRESULT> attempts;  // the transfer results the log reports, in order
        std::string launchLine;         // after the attempts; "" for none
        int boxes;                      // error boxes shown
        const char* args;               // the stand-in's arguments; null: it did not run
        kv::InstallOutcome outcome = kv::InstallOutcome::Done;
        const wchar_t* exitCode = L"3";  // the stand-in's
        bool planted = false;            // the stand-in lies at the target before the step
        uint32_t pins = 0;               // publisher pins stamped (17: an unreadable slot)
        bool notProgram = false;         // what arrives is no PE image: refused before its check
    } const cases[] = {
        {"null access host", nullptr, 0, 0, {}, nullptr, -1, {}, "", 0, nullptr, kv::InstallOutcome::NoAccessAddress},
        {"empty access host", L"", 0, 0, {}, nullptr, -1, {}, "", 0, nullptr, kv::InstallOutcome::NoAccessAddress},
        {"five failed attempts: nothing starts", host.c_str(), 0, 0, {Fails()}, nullptr, 0,
         {E_FAIL, E_FAIL, E_FAIL, E_FAIL, E_FAIL}, kNotStarted, 0, nullptr, kv::InstallOutcome::InstallerNotObtained},
        {"five failed attempts with a program planted at the target: it never starts", host.c_str(), 0, 1,
         {Fails()}, nullptr, 0, {E_FAIL, E_FAIL, E_FAIL, E_FAIL, E_FAIL}, kNotStarted, 0, nullptr,
         kv::InstallOutcome::InstallerNotObtained, L"3", true},
        {"a result above 0 is no file either, even with a program planted", host.c_str(), 0, 0,
         {ClaimsOnly(S_FALSE)}, nullptr, 0, {S_FALSE, S_FALSE, S_FALSE, S_FALSE, S_FALSE}, kNotStarted, 0, nullptr,
         kv::InstallOutcome::InstallerNotObtained, L"3", true},
        {"the third attempt delivers", host.c_str(), 0, 0, {Fails(), Fails(0x800C0005), Delivers(standin)}, nullptr, 0,
         {E_FAIL, static_cast<HRESULT>(0x800C0005), S_OK}, ran, 0, ""},
        {"AutoMode over https: /verysilent", host.c_str(), 1, 1, {Delivers(standin)}, nullptr, 0, {S_OK}, ran, 0,
         "/verysilent"},
        {"UseHttps 2 is http", host.c_str(), 2, 0, {Delivers(standin)}, nullptr, 0, {S_OK}, ran, 0, ""},
        {"a launch without process handle fails the wait", host.c_str(), 0, 1, {Delivers(standin)}, NoProcessHandle,
         0, {S_OK}, "KestrelVAULT ActiveX 7i_ko.exe run Fail___", 0, nullptr, kv::InstallOutcome::InstallerLaunchFailed},
        {"AutoMode: a fetched program that does not start shows no box and logs the start's error", host.c_str(), 0,
         1, {Delivers(HeaderOnlyImage())}, nullptr, 0, {S_OK},
         "KestrelVAULT ActiveX 7i_ko.exe CreateProcess fail___(err: 193)", 0, nullptr,
         kv::InstallOutcome::InstallerLaunchFailed},
        {"a fetched program that does not start, by hand: the error is logged and shown in a box", host.c_str(), 0,
         0, {Delivers(HeaderOnlyImage())}, nullptr, 0, {S_OK},
         "KestrelVAULT ActiveX 7i_ko.exe CreateProcess fail___(err: 193)", 1, nullptr,
         kv::InstallOutcome::InstallerLaunchFailed},
        {"a sign-in page in place of the installer is a failed attempt each time, and nothing starts", host.c_str(),
         0, 0, {Delivers(kSignInPage)}, nullptr, 0, {S_OK, S_OK, S_OK, S_OK, S_OK}, kNotStarted, 0, nullptr,
         kv::InstallOutcome::InstallerNotObtained, L"3", false, 0, true},
        {"an empty file, then the installer: the third attempt starts it", host.c_str(), 0, 1,
         {Delivers(""), Fails(), Delivers(standin)}, nullptr, 0, {S_OK, E_FAIL, S_OK}, ran, 0, "/verysilent",
         kv::InstallOutcome::Done, L"3", false, 0, true},
        {"the installer ends with 3010: a restart is needed", host.c_str(), 0, 1, {Delivers(standin)}, nullptr, 0,
         {S_OK}, ran, 0, "/verysilent", kv::InstallOutcome::RestartNeeded, L"3010"},
        {"publishers pinned: an unsigned installer is a failed attempt each time, and never starts", host.c_str(),
         0, 1, {Delivers(standin)}, nullptr, 0, {S_OK, S_OK, S_OK, S_OK, S_OK}, kNotStarted, 0, nullptr,
         kv::InstallOutcome::InstallerNotObtained, L"3", false, 1},
        {"an unreadable pin slot refuses every program", host.c_str(), 0, 0, {Delivers(standin)}, nullptr, 0,
         {S_OK, S_OK, S_OK, S_OK, S_OK}, kNotStarted, 0, nullptr, kv::InstallOutcome::InstallerNotObtained, L"3",
         false, kMaxPublisherPins + 1},
    };

    kvtest::ScratchDir dir(L"activex");
    const std::wstring records = dir / L"records.jsonl";
    kvtest::ScopedEnv record(L"KV_STANDIN_RECORD", records);
    // The step must wait for the installer: it ends only after this long, with a code the step
    // does not look at.
    kvtest::ScopedEnv runTime(L"KV_STANDIN_ACTIVEX_RUN_MS", L"300");
    kvtest::ScopedEnv exitCode(L"KV_STANDIN_ACTIVEX_EXIT", L"3");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::DeleteFileW(kActiveXPath.c_str());
        ::DeleteFileW(records.c_str());
        kvtest::ScopedEnv rowExitCode(L"KV_STANDIN_ACTIVEX_EXIT", c.exitCode);
        // Another program of the same user may write the temp directory before the run.
        if (c.planted) {
            ASSERT_TRUE(kvtest::WriteBytes(kActiveXPath, standin));
        }
        ScopedPins pins(c.pins);
        FakeServer server;
        server.files[L"KestrelVAULT ActiveX 7i_ko.exe"] = c.served;
        InstallPlatform platform = server.Platform();
        if (c.start) platform.createProcess = c.start;
        kvtest::ScopedPlatform scoped(platform);
        StepRecorder page;

        int result = 99;
        int boxes = -1;
        kv::InstallOutcome outcome = kv::InstallOutcome::UserLeft;
        const auto log = CaptureTrace([&] {
            boxes = kvtest::RunOnWorker(
                [&] { result = InstallActiveX(c.url, Context(c.useHttps, c.autoMode), &page, &outcome); });
        });

        std::vector<std::string> expected;
        std::vector<std::wstring> statusTexts;
        if (!c.url) expected.push_back("UpdateURL is null___");
        if (c.url && !*c.url) expected.push_back("UpdateURL is empty___");
        int failed = 0;
        for (const HRESULT& hr : c.attempts) {
            // Every attempt after a failed one comes after its back-off, shown on the page.
            if (failed) {
                const unsigned ms = 2000u << (failed > 4 ? 3 : failed - 1);
                expected.push_back("Next attempt in " + std::to_string(ms) + " ms");
                statusTexts.push_back(kvtest::RetryWaitText(ms / 1000));
            }
            ++failed;
            expected.push_back("ServerFilePath: " + (c.useHttps == 1 ? httpsAddress : address));
            expected.push_back("DownFilePath: " + target);
            expected.push_back(Hex(hr));
            expected.push_back(hr < 0 ? kDownloadFail : kDownloadSuccess);
            // notProgram: every delivery but the last of a run that ends in a start is no program.
            const bool refusedAsNoProgram = hr == S_OK && c.notProgram && !(c.args && &hr == &c.attempts.back());
            if (refusedAsNoProgram) {
                expected.push_back("KestrelVAULT ActiveX 7i_ko.exe not a program (no PE image), removed, not started___");
            } else if (hr == S_OK) {
                expected.push_back(kUnsigned);
                for (const std::string& line : RefusalLines("KestrelVAULT ActiveX 7i_ko.exe", c.pins))
                    expected.push_back(line);
            }
            statusTexts.push_back(LoadResString(IDS_DOWNLOAD_ACTIVEX));
        }
        if (!c.attempts.empty()) statusTexts.push_back(LoadResString(IDS_INSTALL_ACTIVEX));
        if (!c.launchLine.empty()) expected.push_back(c.launchLine);
        if (c.outcome == kv::InstallOutcome::RestartNeeded)
            expected.push_back("KestrelVAULT ActiveX 7i_ko.exe asks for a restart (exit code 3010).");

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(static_cast<int>(outcome), static_cast<int>(c.outcome));
        EXPECT_EQ(OwnLines(log, kActiveXScope), expected);
        EXPECT_EQ(server.addresses.size(), c.attempts.size());
        EXPECT_EQ(page.statusTexts, statusTexts);
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_FALSE(Exists(kActiveXPath)) << "the installer file is deleted after the run";

        const std::vector<std::string> lines = kvtest::RecordLines(records);
        const std::string start = StartRecord(lines, "activex");
        if (!c.args) {
            EXPECT_EQ(start, "");
            continue;
        }
        ASSERT_EQ(lines.size(), 2u) << "started once, and ended before the step went on";
        EXPECT_EQ(RecordField(lines[1], "event"), "end");
        EXPECT_EQ(RecordField(start, "args"), c.args);
        EXPECT_EQ(Lower(RecordField(start, "cwd")), Lower(Narrow(kvtest::TempDirectoryPath())));
        EXPECT_EQ(Lower(RecordField(start, "exe")), Lower(target));
    }
}

TEST(InstallActiveX, FiveAttemptsWithBackOffAgainstAServerThatCannotDeliver) {
    // Nothing listens on port 1 of the loopback address: every transfer fails for real.
    for (int useHttps : {0, 1}) {
        SCOPED_TRACE(useHttps);
        ::DeleteFileW(kActiveXPath.c_str());
        std::vector<HRESULT> results;
        InstallPlatform platform = UserTempPlatform();
        platform.fetchServerFile = [&results](int https, StepReporter* reporter, const std::wstring& a,
                                              const std::wstring& t, URLDownCallBack& cb, TransferState* state) {
            const HRESULT hr = FetchServerFile(https, reporter, a, t, cb, state);
            results.push_back(hr);
            return hr;
        };
        kvtest::ScopedPlatform scoped(platform);
        StepRecorder page;
        int result = 99;
        int boxes = -1;
        const auto log = CaptureTrace([&] {
            boxes = kvtest::RunOnWorker([&] { result = InstallActiveX(L"127.0.0.1:1", Context(useHttps, 0), &page); });
        });

        ASSERT_EQ(results.size(), 5u);
        std::vector<std::string> expected;
        unsigned wait = 2000;
        for (HRESULT hr : results) {
            EXPECT_LT(hr, 0);
            if (!expected.empty()) {
                expected.push_back("Next attempt in " + std::to_string(wait) + " ms");
                wait *= 2;
            }
            expected.push_back("ServerFilePath: " + std::string(useHttps ? "https" : "http") +
                               "://127.0.0.1:1/app/KestrelVAULT ActiveX 7i_ko.exe");
            expected.push_back("DownFilePath: " + Narrow(kActiveXPath));
            expected.push_back(Hex(hr));
            expected.push_back(kDownloadFail);
        }
        expected.push_back(kNotStarted);
        EXPECT_EQ(OwnLines(log, kActiveXScope), expected);
        // Each attempt asked for the size first.
        std::vector<std::string> sizeQueries;
        for (const std::string& line : log)
            if (line == "> KVDownloadDlg::GetWebFileSize") sizeQueries.push_back(line);
        EXPECT_EQ(sizeQueries.size(), 5u);
        EXPECT_EQ(result, 0) << "the update step still runs";
        EXPECT_EQ(boxes, 0) << "nothing was started, so there was no start to report";
    }
}

TEST(InstallSteps, AnExceptionEndsTheStepAsALoggedFailure) {
    // Memory running out inside a step (here in its fetch) must end that step through a logged
    // failure on the worker, not end the process.
    InstallPlatform platform = RealInstallPlatform();
    platform.fetchServerFile = [](int, StepReporter*, const std::wstring&, const std::wstring&, URLDownCallBack&,
                                  TransferState*) -> HRESULT { throw std::bad_alloc(); };
    kvtest::ScopedPlatform scoped(platform);
    const std::wstring host = L"kvunit-" + std::to_wstring(::GetCurrentProcessId()) + L"-throw.test";
    StepRecorder page;
    int installer = 99, update = 99;
    kv::InstallOutcome installerOutcome = kv::InstallOutcome::Done, updateOutcome = kv::InstallOutcome::Done;
    const auto activexLog = CaptureTrace([&] {
        kvtest::RunOnWorker([&] { installer = InstallActiveX(host.c_str(), Context(0, 1), &page, &installerOutcome); });
    });
    const auto updateLog = CaptureTrace([&] {
        kvtest::RunOnWorker([&] { update = RunKVUpdate(host, Context(0, 1), &page, &updateOutcome); });
    });
    ::RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\KestrelVAULT\\" + host).c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, (L"Software\\KestrelVAULT\\" + host).c_str());

    EXPECT_EQ(installer, 0) << "the update step still runs, as after a failed installer";
    EXPECT_EQ(update, -1);
    EXPECT_EQ(installerOutcome, kv::InstallOutcome::InstallerNotObtained);
    EXPECT_EQ(updateOutcome, kv::InstallOutcome::UpdaterNotObtained);
    // Each scope ends with the exception's line and closes: OwnLines checks the entry and exit.
    const std::string line = "Exception: std::bad_alloc fail___";
    const std::vector<std::string> activex = OwnLines(activexLog, kActiveXScope);
    const std::vector<std::string> updater = OwnLines(updateLog, kUpdateScope);
    ASSERT_FALSE(activex.empty());
    ASSERT_FALSE(updater.empty());
    EXPECT_EQ(activex.back(), line);
    EXPECT_EQ(updater.back(), line);
}

TEST(InstallSteps, LaunchRequests) {
    // What both steps ask to start, seen on the way to the real start: the held file by its
    // full path as the application, and quoted at the head of the command line, never a name
    // for the shell to look up (its verbs come from the user's own classes too, which any
    // unelevated program of the user writes). Program Files has a blank in its name, and a
    // program waits where an unquoted command line would be cut at that blank.
    const std::string activex = kvtest::StandinBytes(L"KestrelVAULT ActiveX 7i_ko.exe");
    const std::string updater = kvtest::StandinBytes(L"KVUpdate.exe");
    kvtest::ScratchDir dir(L"launch");
    const std::wstring records = dir / L"records.jsonl";
    kvtest::ScopedEnv record(L"KV_STANDIN_RECORD", records);
    FakeServer server;
    server.files[L"KestrelVAULT ActiveX 7i_ko.exe"] = {Delivers(activex)};
    server.files[L"kestrelvault_server.exe"] = {Delivers("<servicename>Launch</servicename>\n")};
    server.files[L"KVUpdate.exe"] = {Delivers(updater)};
    InstallPlatform platform = server.Platform();
    const std::wstring programFiles = dir / L"Program Files";
    ::CreateDirectoryW(programFiles.c_str(), nullptr);
    ASSERT_TRUE(kvtest::WriteBytes(dir / L"Program.exe", updater)) << "the decoy";
    platform.programFilesFolder = [&] { return programFiles; };
    struct Request {
        std::wstring application, commandLine, directory;
        DWORD cb, flags;
        WORD show;
        bool desktopOrTitle;  // startup fields the start should leave alone
        // Whether another program could change or delete the file while it starts.
        bool writable, deletable;
    };
    std::vector<Request> requests;
    const StartCall real = platform.createProcess;
    platform.createProcess = [&requests, real](const std::wstring& application, std::wstring& commandLine,
                                               const std::wstring& directory, STARTUPINFOW& startup,
                                               PROCESS_INFORMATION& process) {
        const kv::UniqueFile writer(::CreateFileW(application.c_str(), GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
        const bool deletable = ::DeleteFileW(application.c_str()) != 0;
        requests.push_back({application, commandLine, directory, startup.cb, startup.dwFlags, startup.wShowWindow,
                            startup.lpDesktop != nullptr || startup.lpTitle != nullptr, static_cast<bool>(writer),
                            deletable});
        return real(application, commandLine, directory, startup, process);
    };
    kvtest::ScopedPlatform scoped(platform);
    const std::wstring host = L"kvunit-" + std::to_wstring(::GetCurrentProcessId()) + L"-launch.test";
    for (int autoMode : {0, 1}) {
        StepRecorder page;
        kvtest::RunOnWorker([&] {
            InstallActiveX(host.c_str(), Context(0, autoMode), &page);
            RunKVUpdate(host, Context(0, autoMode), &page);
        });
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\KestrelVAULT\\" + host).c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, (L"Software\\KestrelVAULT\\" + host).c_str());

    const std::wstring temp = kvtest::TempDirectoryPath();
    const std::wstring site = programFiles + L"\\KestrelVAULT\\Launch";
    const struct {
        std::wstring program;
        const wchar_t* arguments;  // after the quoted path; "" for none
        std::wstring directory;
        const char* role;
    } expected[] = {
        {temp + L"\\KestrelVAULT ActiveX 7i_ko.exe", L"", temp, "activex"},
        {site + L"\\KVUpdate.exe", L" -ou", site, "updater"},
        {temp + L"\\KestrelVAULT ActiveX 7i_ko.exe", L" /verysilent", temp, "activex"},
        {site + L"\\KVUpdate.exe", L" -ou", site, "updater"},
    };
    ASSERT_EQ(requests.size(), 4u);
    std::vector<std::string> starts;
    for (const std::string& line : kvtest::RecordLines(records))
        if (RecordField(line, "event") == "start") starts.push_back(line);
    ASSERT_EQ(starts.size(), 4u) << "each program started once";
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const Request& r = requests[i];
        EXPECT_EQ(Narrow(r.application), Narrow(expected[i].program));
        EXPECT_EQ(Narrow(r.commandLine), Narrow(L"\"" + expected[i].program + L"\"" + expected[i].arguments));
        EXPECT_EQ(Narrow(r.directory), Narrow(expected[i].directory));
        EXPECT_EQ(r.cb, sizeof(STARTUPINFOW));
        EXPECT_EQ(r.flags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
        EXPECT_EQ(r.show, SW_SHOW);
        EXPECT_FALSE(r.desktopOrTitle);
        EXPECT_FALSE(r.writable) << "the file is held from its check to its start";
        EXPECT_FALSE(r.deletable) << "the file is held from its check to its start";
        // What started, as the program itself saw it: the held file, not the decoy at the blank.
        EXPECT_EQ(RecordField(starts[i], "role"), expected[i].role);
        EXPECT_EQ(Lower(RecordField(starts[i], "exe")), Lower(Narrow(expected[i].program)));
        EXPECT_EQ(Lower(RecordField(starts[i], "cwd")), Lower(Narrow(expected[i].directory)));
    }
    // Let go once started: the updater, which stays, can be removed.
    EXPECT_TRUE(::DeleteFileW((site + L"\\KVUpdate.exe").c_str()));
}

// -- the update step -----------------------------------------------------------------------

// What the current user's registry holds for the site: "L", "D" and "P" for LANGUAGE,
// Update\DontQuestionDesktopShortcut and PRODUCT set to REG_DWORD 1.
std::string PerSiteValues(const std::wstring& host) {
    const std::wstring key = L"Software\\KestrelVAULT\\" + host;
    const struct {
        const wchar_t* subkey;
        const wchar_t* name;
        char letter;
    } rows[] = {{nullptr, L"LANGUAGE", 'L'}, {L"Update", L"DontQuestionDesktopShortcut", 'D'}, {nullptr, L"PRODUCT", 'P'}};
    std::string out;
    for (const auto& row : rows) {
        const std::wstring path = row.subkey ? key + L"\\" + row.subkey : key;
        DWORD data = 0, size = sizeof(data);
        if (::RegGetValueW(HKEY_CURRENT_USER, path.c_str(), row.name, RRF_RT_REG_DWORD, nullptr, &data, &size) ==
                ERROR_SUCCESS &&
            data == 1)
            out += row.letter;
    }
    return out;
}

void RemoveSiteKey(const std::wstring& host) {
    const std::wstring key = L"Software\\KestrelVAULT\\" + host;
    ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
}

TEST(RunKVUpdate, Table) {
    const std::string updater = kvtest::StandinBytes(L"KVUpdate.exe");
    const std::string acme = "<?xml version=\"1.0\"?>\r\n<site>\r\n  <servicename>Acme</servicename>\r\n</site>\r\n";
    const std::wstring host = L"kvunit-" + std::to_wstring(::GetCurrentProcessId()) + L"-update.test:8080";
    const std::string updaterURL = "http://" + Narrow(host) + "/app/update/KVUpdate.exe";
    enum Place { NoPlace, SiteDir, BaseDir };
    struct Case {
        const char* what;
        bool emptyURL;
        int useHttps;
        Served descriptor;
        Served updater;
        std::function<void(const std::wstring& programFiles)> before;
        StartCall start;  // null: the real one
        int result;
        std::vector<std::string> log;
        std::string registry;    // PerSiteValues after the run
        bool descriptorStays;    // the temp file is still there
        Place copyPlace;         // where the descriptor copy and the updater land
        int boxes;
        bool updaterRuns;
        int autoMode = 0;
        kv::InstallOutcome outcome = kv::InstallOutcome::Done;
        uint32_t pins = 0;  // publisher pins stamped
        bool updaterRemoved = false;  // the updater was refused at its check and removed
    } const cases[] = {
        {"empty access host", true, 0, Delivers(acme), Delivers(updater), nullptr, nullptr, -1,
         {"UpdateURL is empty___"}, "", false, NoPlace, 0, false, 0, kv::InstallOutcome::NoAccessAddress},
        {"descriptor download fails", false, 0, Fails(), Delivers(updater), nullptr, nullptr, -1,
         {"kestrelvault_server.exe Download fail___"}, "L", false, NoPlace, 0, false, 0, kv::InstallOutcome::DescriptorNotObtained},
        {"descriptor does not open", false, 0, ClaimsOnly(S_OK), Delivers(updater), nullptr, nullptr, -1,
         {"kestrelvault_server.exe Open fail___"}, "L", false, NoPlace, 0, false, 0, kv::InstallOutcome::DescriptorNotObtained},
        {"no < after the tag on its line", false, 0, Delivers("<servicename>Acme\r\n</servicename>\r\n"),
         Delivers(updater), nullptr, nullptr, -1, {"Wrong xml___"}, "L", true, NoPlace, 0, false, 0, kv::InstallOutcome::DescriptorNotObtained},
        {"SiteName reaching outside", false, 0, Delivers("<servicename>..\\..\\Windows</servicename>\n"),
         Delivers(updater), nullptr, nullptr, -1, {"SiteName: ..\\..\\Windows", "Invalid SiteName___"}, "LD", true,
         NoPlace, 0, false, 0, kv::InstallOutcome::SiteNameRefused},
        {"base directory cannot be created", false, 0, Delivers(acme), Delivers(updater),
         [](const std::wstring& pf) { ::RemoveDirectoryW(pf.c_str()); }, nullptr, -1,
         {"SiteName: Acme", "KestrelVault basedir create fail___"}, "LD", true, NoPlace, 0, false, 0, kv::InstallOutcome::SiteDirectoryNotPrepared},
        {"a file in place of the base directory", false, 0, Delivers(acme), Delivers(updater),
         [](const std::wstring& pf) { kvtest::WriteBytes(pf + L"\\KestrelVAULT", "file"); }, nullptr, -1,
         {"SiteName: Acme", "Site dir create fail___"}, "LD", true, NoPlace, 0, false, 0, kv::InstallOutcome::SiteDirectoryNotPrepared},
        {"descriptor copy fails", false, 0, Delivers(acme), Delivers(updater),
         [](const std::wstring& pf) {
             ::CreateDirectoryW((pf + L"\\KestrelVAULT").c_str(), nullptr);
             ::CreateDirectoryW((pf + L"\\KestrelVAULT\\Acme").c_str(), nullptr);
             ::CreateDirectoryW((pf + L"\\KestrelVAULT\\Acme\\kestrelvault_server.exe").c_str(), nullptr);
         },
         nullptr, -1, {"SiteName: Acme", "kestrelvault_server.exe Copy fail___"}, "LD", true, NoPlace, 0, false, 0, kv::InstallOutcome::SiteDirectoryNotPrepared},
        {"a directory in place of the updater's copy", false, 0, Delivers(acme), Delivers(updater),
         [](const std::wstring& pf) {
             ::CreateDirectoryW((pf + L"\\KestrelVAULT").c_str(), nullptr);
             ::CreateDirectoryW((pf + L"\\KestrelVAULT\\Acme").c_str(), nullptr);
             ::CreateDirectoryW((pf + L"\\KestrelVAULT\\Acme\\KVUpdate.exe").c_str(), nullptr);
         },
         nullptr, -1, {"SiteName: Acme", "KVUpdate.exe Copy fail___(err: 80)"}, "LD", false, SiteDir, 0, false, 0,
         kv::InstallOutcome::UpdaterNotObtained},
        {"updater download fails", false, 0, Delivers(acme), Fails(), nullptr, nullptr, -1,
         {"SiteName: Acme", updaterURL + " Download fail___"}, "LD", false, SiteDir, 0, false, 0, kv::InstallOutcome::UpdaterNotObtained},
        {"updater cannot be started, by hand: the error is logged and shown in a box", false, 0, Delivers(acme),
         Delivers(HeaderOnlyImage()), nullptr, nullptr, 0,
         {"SiteName: Acme", kUnsigned, "KVUpdate.exe CreateProcess fail___(err: 193)"}, "LDP", false, SiteDir, 1,
         false, 0, kv::InstallOutcome::UpdaterLaunchFailed},
        {"a sign-in page in place of the updater is refused before it starts", false, 0, Delivers(acme),
         Delivers(kSignInPage), nullptr, nullptr, -1,
         {"SiteName: Acme", "KVUpdate.exe not a program (no PE image), removed, not started___"}, "LD", false,
         SiteDir, 0, false, 0, kv::InstallOutcome::UpdaterNotObtained, 0, true},
        {"an empty updater is refused before it starts", false, 1, Delivers(acme), Delivers(""), nullptr, nullptr, -1,
         {"SiteName: Acme", "KVUpdate.exe not a program (no PE image), removed, not started___"}, "LD", false,
         SiteDir, 0, false, 0, kv::InstallOutcome::UpdaterNotObtained, 0, true},
        {"AutoMode: an updater that cannot be started shows no box and logs the start's error", false, 0,
         Delivers(acme), Delivers(HeaderOnlyImage()), nullptr, nullptr, 0,
         {"SiteName: Acme", kUnsigned, "KVUpdate.exe CreateProcess fail___(err: 193)"}, "LDP", false, SiteDir, 0, false, 1,
         kv::InstallOutcome::UpdaterLaunchFailed},
        {"a launch without process handle fails the wait", false, 0, Delivers(acme), Delivers(updater), nullptr,
         NoProcessHandle, 0, {"SiteName: Acme", kUnsigned, "KVUpdate.exe run Fail___"}, "LDP", false, SiteDir, 0, false, 0, kv::InstallOutcome::UpdaterLaunchFailed},
        {"complete run over https", false, 1, Delivers(acme), Delivers(updater), nullptr, nullptr, 0,
         {"SiteName: Acme", kUnsigned, "KVUpdate.exe run Success..."}, "LDP", false, SiteDir, 0, true},
        // A page in front of the server names no site: nothing is made under Program Files.
        {"no tag (an error page): no SiteName", false, 2, Delivers("<html>error page</html>\n"),
         Delivers(updater), nullptr, nullptr, -1, {"SiteName missing___"}, "L", true, NoPlace, 0, false, 0,
         kv::InstallOutcome::DescriptorNotObtained},
        {"no tag, a last line without line end (a sign-in page): no SiteName", false, 0,
         Delivers("<html><body>\nSign in"), Delivers(updater), nullptr, nullptr, -1, {"SiteName missing___"}, "L",
         true, NoPlace, 0, false, 0, kv::InstallOutcome::DescriptorNotObtained},
        {"an empty SiteName", false, 1, Delivers("<servicename></servicename>\n"), Delivers(updater), nullptr,
         nullptr, -1, {"SiteName: ", "SiteName empty___"}, "L", true, NoPlace, 0, false, 0,
         kv::InstallOutcome::DescriptorNotObtained},
        {"an empty file", false, 0, Delivers(""), Delivers(updater), nullptr, nullptr, -1, {"SiteName missing___"}, "L",
         true, NoPlace, 0, false, 0, kv::InstallOutcome::DescriptorNotObtained},
        {"publishers pinned: an unsigned updater is removed, not started, and the product value not set", false,
         0, Delivers(acme), Delivers(updater), nullptr, nullptr, -1,
         {"SiteName: Acme", kUnsigned, "KVUpdate.exe unsigned while publishers are pinned, removed, not started___"},
         "LD", false, SiteDir, 0, false, 0, kv::InstallOutcome::UpdaterNotObtained, 1},
    };

    kvtest::ScratchDir dir(L"update");
    const std::wstring records = dir / L"records.jsonl";
    kvtest::ScopedEnv record(L"KV_STANDIN_RECORD", records);
    kvtest::ScopedEnv runTime(L"KV_STANDIN_UPDATER_RUN_MS", L"300");
    kvtest::ScopedEnv exitCode(L"KV_STANDIN_UPDATER_EXIT", L"5");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveSiteKey(host);
        ::DeleteFileW(kDescriptorTemp.c_str());
        ::DeleteFileW(records.c_str());
        const std::wstring programFiles = dir / L"pf";
        kvtest::RemoveTree(programFiles);
        ::CreateDirectoryW(programFiles.c_str(), nullptr);
        if (c.before) c.before(programFiles);
        ScopedPins pins(c.pins);
        FakeServer server;
        server.files[L"kestrelvault_server.exe"] = {c.descriptor};
        server.files[L"KVUpdate.exe"] = {c.updater};
        InstallPlatform platform = server.Platform();
        platform.programFilesFolder = [&] { return programFiles; };
        if (c.start) platform.createProcess = c.start;
        kvtest::ScopedPlatform scoped(platform);
        StepRecorder page;
        const std::wstring updateURL = c.emptyURL ? L"" : host;

        int result = 99;
        int boxes = -1;
        kv::InstallOutcome outcome = kv::InstallOutcome::UserLeft;
        const auto log = CaptureTrace([&] {
            boxes = kvtest::RunOnWorker(
                [&] { result = RunKVUpdate(updateURL, Context(c.useHttps, c.autoMode), &page, &outcome); });
        });

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(static_cast<int>(outcome), static_cast<int>(c.outcome));
        EXPECT_EQ(OwnLines(log, kUpdateScope), c.log);
        EXPECT_EQ(PerSiteValues(host), c.registry);
        EXPECT_EQ(Exists(kDescriptorTemp), c.descriptorStays);
        EXPECT_EQ(boxes, c.boxes);

        const std::wstring scheme = c.useHttps == 1 ? L"https://" : L"http://";
        if (!c.emptyURL) {
            ASSERT_FALSE(server.addresses.empty());
            EXPECT_EQ(Narrow(server.addresses[0]), Narrow(scheme + host + L"/app/update/kestrelvault_server.exe"));
            EXPECT_EQ(Narrow(server.targets[0]), Narrow(kDescriptorTemp));
        }
        const std::wstring base = programFiles + L"\\KestrelVAULT";
        // The site directory as the step forms it: with an empty SiteName, the base directory
        // and a backslash.
        const std::wstring place = c.copyPlace == SiteDir ? base + L"\\Acme" : base + L"\\";
        if (c.copyPlace != NoPlace) {
            EXPECT_EQ(ReadBytes(place + L"\\kestrelvault_server.exe"), c.descriptor.bytes);
            ASSERT_EQ(server.addresses.size(), 2u);
            EXPECT_EQ(Narrow(server.addresses[1]), Narrow(scheme + host + L"/app/update/KVUpdate.exe"));
            // The transfer writes into the step's directory, never under the name in the site
            // directory that any user could have made a link meanwhile.
            EXPECT_EQ(Narrow(server.targets[1]), Narrow(kUpdaterTemp));
            EXPECT_FALSE(Exists(kUpdaterTemp)) << "the fetched updater does not stay in the temp directory";
            EXPECT_EQ(page.statusTexts, std::vector<std::wstring>{LoadResString(IDS_INSTALL_PRODUCT)});
            if (c.pins || c.updaterRemoved) {
                EXPECT_FALSE(Exists(place + L"\\KVUpdate.exe")) << "a refused updater is removed";
            }
        } else {
            EXPECT_TRUE(page.statusTexts.empty());
        }
        if (c.outcome == kv::InstallOutcome::DescriptorNotObtained) {
            EXPECT_FALSE(Exists(base)) << "nothing made under Program Files for a descriptor without a SiteName";
        }

        const std::vector<std::string> lines = kvtest::RecordLines(records);
        const std::string start = StartRecord(lines, "updater");
        if (!c.updaterRuns) {
            EXPECT_EQ(start, "");
            continue;
        }
        ASSERT_EQ(lines.size(), 2u) << "started once, and ended before the step returned";
        EXPECT_EQ(RecordField(lines[1], "event"), "end");
        EXPECT_EQ(RecordField(start, "args"), "-ou");
        EXPECT_EQ(Lower(RecordField(start, "cwd")), Lower(Narrow(place)));
        EXPECT_EQ(RecordField(start, "descriptor"), "true");
        // The three values were set before the updater started.
        const std::string sites = start.substr(start.find("\"sites\": "));
        EXPECT_NE(sites.find("\"" + Narrow(host) +
                             "\": {\"LANGUAGE\": 1, \"Update\\\\DontQuestionDesktopShortcut\": 1, \"PRODUCT\": 1}"),
                  std::string::npos)
            << sites;
    }
    RemoveSiteKey(host);
    ::DeleteFileW(kDescriptorTemp.c_str());
}

// The site directory below a Program Files folder of the test's own, as an earlier run made it.
std::wstring MakeSiteDirectory(const std::wstring& programFiles, const std::wstring& siteName) {
    const std::wstring site = programFiles + L"\\KestrelVAULT\\" + siteName;
    ::CreateDirectoryW(programFiles.c_str(), nullptr);
    ::CreateDirectoryW((programFiles + L"\\KestrelVAULT").c_str(), nullptr);
    ::CreateDirectoryW(site.c_str(), nullptr);
    return site;
}

TEST(RunKVUpdate, NamesPlantedInTheSiteDirectoryAreReplacedNotWrittenThrough) {
    // Any user may write the site directory. A hard link put there under the descriptor copy's
    // or the updater's name must not make the elevated step write into the file it links to.
    const std::string updater = kvtest::StandinBytes(L"KVUpdate.exe");
    const std::string descriptor = "<servicename>Linked</servicename>\n";
    const std::wstring host = L"kvunit-" + std::to_wstring(::GetCurrentProcessId()) + L"-linked.test";
    kvtest::ScratchDir dir(L"linked");
    kvtest::ScopedEnv record(L"KV_STANDIN_RECORD", dir / L"records.jsonl");
    const std::wstring programFiles = dir / L"pf";
    const std::wstring site = MakeSiteDirectory(programFiles, L"Linked");
    const std::wstring victims[] = {dir / L"victim-descriptor.dll", dir / L"victim-updater.dll"};
    const std::wstring names[] = {site + L"\\kestrelvault_server.exe", site + L"\\KVUpdate.exe"};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(kvtest::WriteBytes(victims[i], "a file of the system"));
        ASSERT_TRUE(::CreateHardLinkW(names[i].c_str(), victims[i].c_str(), nullptr)) << ::GetLastError();
    }

    FakeServer server;
    server.files[L"kestrelvault_server.exe"] = {Delivers(descriptor)};
    server.files[L"KVUpdate.exe"] = {Delivers(updater)};
    InstallPlatform platform = server.Platform();
    platform.programFilesFolder = [&] { return programFiles; };
    kvtest::ScopedPlatform scoped(platform);
    StepRecorder page;
    kv::InstallOutcome outcome = kv::InstallOutcome::UserLeft;
    kvtest::RunOnWorker([&] { RunKVUpdate(host, Context(0, 1), &page, &outcome); });
    RemoveSiteKey(host);

    EXPECT_EQ(outcome, kv::InstallOutcome::Done);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(Narrow(names[i]));
        const std::string victim = ReadBytes(victims[i]);
        EXPECT_TRUE(victim == "a file of the system") << "the linked file was written: " << victim.size() << " bytes";
    }
    EXPECT_EQ(ReadBytes(names[0]), descriptor);
    EXPECT_TRUE(ReadBytes(names[1]) == updater) << "the updater as served";
}

TEST(RunKVUpdate, ALinkPlantedWhileAFileComesIsNotWrittenThrough) {
    // A transfer takes seconds or minutes. A link that another user plants under the site
    // file's name meanwhile, after any check the step made before the transfer, must not
    // receive the file either.
    const std::string updater = kvtest::StandinBytes(L"KVUpdate.exe");
    const std::string descriptor = "<servicename>Raced</servicename>\n";
    const std::wstring host = L"kvunit-" + std::to_wstring(::GetCurrentProcessId()) + L"-raced.test";
    kvtest::ScratchDir dir(L"raced");
    kvtest::ScopedEnv record(L"KV_STANDIN_RECORD", dir / L"records.jsonl");
    const std::wstring programFiles = dir / L"pf";
    const std::wstring site = MakeSiteDirectory(programFiles, L"Raced");
    const std::wstring victim = dir / L"victim.dll";
    ASSERT_TRUE(kvtest::WriteBytes(victim, "a file of the system"));

    FakeServer server;
    server.files[L"kestrelvault_server.exe"] = {Delivers(descriptor)};
    server.files[L"KVUpdate.exe"] = {Delivers(updater)};
    InstallPlatform platform = server.Platform();
    platform.programFilesFolder = [&] { return programFiles; };
    std::vector<std::wstring> planted;
    platform.fetchServerFile = [&](int, StepReporter*, const std::wstring& address, const std::wstring& target,
                                   URLDownCallBack&, TransferState*) {
        // While the body comes: a hard link under the name the file takes in the site directory.
        const std::wstring name = site + address.substr(address.rfind(L'/')).replace(0, 1, L"\\");
        ::DeleteFileW(name.c_str());
        if (::CreateHardLinkW(name.c_str(), victim.c_str(), nullptr)) planted.push_back(name);
        return server.Fetch(address, target);
    };
    kvtest::ScopedPlatform scoped(platform);
    StepRecorder page;
    kv::InstallOutcome outcome = kv::InstallOutcome::UserLeft;
    kvtest::RunOnWorker([&] { RunKVUpdate(host, Context(0, 1), &page, &outcome); });
    RemoveSiteKey(host);

    EXPECT_EQ(planted.size(), 2u) << "a link under the descriptor copy's name and under the updater's";
    const std::string victimBytes = ReadBytes(victim);
    EXPECT_TRUE(victimBytes == "a file of the system") << "the linked file was written: " << victimBytes.size() << " bytes";
    EXPECT_EQ(outcome, kv::InstallOutcome::Done);
    EXPECT_EQ(ReadBytes(site + L"\\kestrelvault_server.exe"), descriptor);
    EXPECT_TRUE(ReadBytes(site + L"\\KVUpdate.exe") == updater) << "the updater as served";
}

// -- the private working directory of an elevated run ---------------------------------------

// What a security descriptor allows: one "<sid kind>:<ace type>:<flags>:<mask>" per entry, and
// whether the list is protected from the parent's.
struct ReadBack {
    bool daclPresent = false;
    bool protectedList = false;
    std::vector<std::string> entries;
};

ReadBack ReadDescriptor(PSECURITY_DESCRIPTOR descriptor) {
    ReadBack r;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!descriptor || !::GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) return r;
    r.daclPresent = present && acl;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (::GetSecurityDescriptorControl(descriptor, &control, &revision)) r.protectedList = control & SE_DACL_PROTECTED;
    if (!r.daclPresent) return r;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(acl, i, &raw)) {
            r.entries.push_back("unreadable");
            continue;
        }
        const ACE_HEADER* header = static_cast<ACE_HEADER*>(raw);
        std::string who = "other";
        char text[64];
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            PSID sid = &ace->SidStart;
            if (::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) who = "Administrators";
            else if (::IsWellKnownSid(sid, WinLocalSystemSid)) who = "SYSTEM";
            wsprintfA(text, "%s:%u:%u:0x%08x", who.c_str(), header->AceType, header->AceFlags,
                      static_cast<unsigned>(ace->Mask));
        } else {
            wsprintfA(text, "type %u", header->AceType);
        }
        r.entries.push_back(text);
    }
    return r;
}

TEST(StepWorkDirectory, TheAccessListGivenAtCreationLetsOnlyAdministratorsAndSystemIn) {
    AdminOnlySecurity security;
    ASSERT_TRUE(security.Ready());
    SECURITY_ATTRIBUTES* attributes = security.Attributes();
    ASSERT_NE(attributes, nullptr);
    EXPECT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(attributes->bInheritHandle);
    const ReadBack r = ReadDescriptor(attributes->lpSecurityDescriptor);
    EXPECT_TRUE(r.daclPresent);
    EXPECT_TRUE(r.protectedList) << "nothing of the temp directory's own list may come in";
    // Full access, inherited by files and directories inside (flags 3), and nobody else at all.
    EXPECT_EQ(r.entries, (std::vector<std::string>{"Administrators:0:3:0x001f01ff", "SYSTEM:0:3:0x001f01ff"}));
    EXPECT_TRUE(::IsValidSecurityDescriptor(attributes->lpSecurityDescriptor));
}

// The steps of an elevated run against the fake server, with every directory creation seen.
struct ElevatedRun {
    FakeServer server;
    std::vector<std::wstring> created;       // the paths asked for
    std::vector<ReadBack> requested;         // the security each was asked with
    std::vector<BOOL> results;               // what the creation gave
    std::vector<DWORD> failWith;             // errors to fail the first creations with
    InstallPlatform Platform() {
        InstallPlatform p = server.Platform();
        p.isElevated = [] { return true; };
        p.createDirectory = [this](const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
            created.push_back(path);
            requested.push_back(ReadDescriptor(attributes ? attributes->lpSecurityDescriptor : nullptr));
            BOOL ok = FALSE;
            if (failWith.size() >= created.size()) {
                ::SetLastError(failWith[created.size() - 1]);
            } else {
                ok = ::CreateDirectoryW(path.c_str(), attributes);
            }
            results.push_back(ok);
            return ok;
        };
        return p;
    }
};

TEST(StepWorkDirectory, ElevatedStepsFetchIntoAPrivateDirectoryAndRemoveIt) {
    const std::string activex = kvtest::StandinBytes(L"KestrelVAULT ActiveX 7i_ko.exe");
    const std::string updater = kvtest::StandinBytes(L"KVUpdate.exe");
    const std::wstring machineTemp = RealInstallPlatform().machineTempDirectory();
    const std::wstring host = L"kvunit-" + std::to_wstring(::GetCurrentProcessId()) + L"-private.test";
    const std::string descriptor = "<servicename>Private</servicename>\n";
    struct Case {
        const char* what;
        std::vector<Served> installer, descriptorFile;
        std::vector<DWORD> failWith;   // creation errors, in order
        size_t creations;              // directories asked for by the two steps
        bool installerRuns;
        kv::InstallOutcome installerOutcome, updateOutcome;
        std::vector<std::string> installerTail;  // the installer step's last lines
        uint32_t pins = 0;                       // publisher pins stamped
    } const cases[] = {
        {"a complete run", {Delivers(activex)}, {Delivers(descriptor)}, {}, 2, true, kv::InstallOutcome::Done,
         kv::InstallOutcome::Done, {kDownloadSuccess, kUnsigned, "KestrelVAULT ActiveX 7i_ko.exe run Success..."}},
        {"every download fails", {Fails()}, {Fails()}, {}, 2, false, kv::InstallOutcome::InstallerNotObtained,
         kv::InstallOutcome::DescriptorNotObtained, {kDownloadFail, kNotStarted}},
        {"a name that is taken is never used: another is drawn", {Delivers(activex)}, {Delivers(descriptor)},
         {ERROR_ALREADY_EXISTS}, 3, true, kv::InstallOutcome::Done, kv::InstallOutcome::Done,
         {kDownloadSuccess, kUnsigned, "KestrelVAULT ActiveX 7i_ko.exe run Success..."}},
        {"no directory, no download", {Delivers(activex)}, {Delivers(descriptor)},
         {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}, 2, false, kv::InstallOutcome::InstallerNotObtained,
         kv::InstallOutcome::DescriptorNotObtained, {"Work directory create fail___(err: 5)"}},
        {"publishers pinned: the refused installer goes with its directory", {Delivers(activex)},
         {Delivers(descriptor)}, {}, 2, false, kv::InstallOutcome::InstallerNotObtained,
         kv::InstallOutcome::UpdaterNotObtained,
         {kUnsigned, RefusalLines("KestrelVAULT ActiveX 7i_ko.exe", 1)[0], kNotStarted}, 1},
    };
    kvtest::ScratchDir dir(L"private");
    const std::wstring records = dir / L"records.jsonl";
    kvtest::ScopedEnv record(L"KV_STANDIN_RECORD", records);
    kvtest::ScopedEnv exitCode(L"KV_STANDIN_ACTIVEX_EXIT", L"0");
    const std::wstring programFiles = dir / L"pf";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::DeleteFileW(records.c_str());
        kvtest::RemoveTree(programFiles);
        ::CreateDirectoryW(programFiles.c_str(), nullptr);
        ScopedPins pins(c.pins);
        ElevatedRun run;
        run.server.files[L"KestrelVAULT ActiveX 7i_ko.exe"] = c.installer;
        run.server.files[L"kestrelvault_server.exe"] = c.descriptorFile;
        run.server.files[L"KVUpdate.exe"] = {Delivers(updater)};
        run.failWith = c.failWith;
        InstallPlatform platform = run.Platform();
        platform.programFilesFolder = [&] { return programFiles; };
        kvtest::ScopedPlatform scoped(platform);
        StepRecorder page;
        kv::InstallOutcome installer = kv::InstallOutcome::UserLeft, update = kv::InstallOutcome::UserLeft;
        const auto log = CaptureTrace([&] {
            kvtest::RunOnWorker([&] {
                InstallActiveX(host.c_str(), Context(0, 1), &page, &installer);
                RunKVUpdate(host, Context(0, 1), &page, &update);
            });
        });
        RemoveSiteKey(host);

        EXPECT_EQ(installer, c.installerOutcome);
        EXPECT_EQ(update, c.updateOutcome);
        ASSERT_EQ(run.created.size(), c.creations);
        for (size_t i = 0; i < run.created.size(); ++i) {
            SCOPED_TRACE(Narrow(run.created[i]));
            // A new name of 16 random hex digits under the machine's temp directory, each time.
            const std::wstring& path = run.created[i];
            EXPECT_EQ(Lower(Narrow(DirectoryOfPath(path))), Lower(Narrow(machineTemp)));
            const std::wstring name = path.substr(path.rfind(L'\\') + 1);
            EXPECT_EQ(name.size(), 18u);
            EXPECT_EQ(name.compare(0, 2, L"kv"), 0);
            for (size_t j = 0; j < i; ++j) EXPECT_NE(path, run.created[j]) << "a name drawn again";
            EXPECT_EQ(run.requested[i].entries,
                      (std::vector<std::string>{"Administrators:0:3:0x001f01ff", "SYSTEM:0:3:0x001f01ff"}))
                << "the access list is given at the creation";
            EXPECT_TRUE(run.requested[i].protectedList);
            EXPECT_FALSE(Exists(path)) << "the directory is gone when the step has ended";
        }
        // The step's directories: the last creation of each step.
        const std::wstring installerDir = run.created[c.creations - 2];
        const std::wstring descriptorDir = run.created[c.creations - 1];

        const std::vector<std::string> own = OwnLines(ScopeRun(log, kActiveXScope), kActiveXScope);
        ASSERT_GE(own.size(), c.installerTail.size());
        EXPECT_EQ(std::vector<std::string>(own.end() - c.installerTail.size(), own.end()), c.installerTail);
        const std::string down = "DownFilePath: " + Narrow(installerDir + L"\\KestrelVAULT ActiveX 7i_ko.exe");
        for (const std::string& line : own) {
            if (line.compare(0, 14, "DownFilePath: ") == 0) {
                EXPECT_EQ(line, down);
            }
        }
        if (!run.server.targets.empty()) {
            EXPECT_EQ(Narrow(run.server.targets.front()), Narrow(installerDir + L"\\KestrelVAULT ActiveX 7i_ko.exe"));
        }
        for (const std::wstring& t : run.server.targets) {
            if (t.find(L"kestrelvault_server.exe") != std::wstring::npos) {
                EXPECT_EQ(Narrow(t), Narrow(descriptorDir + L"\\kestrelvault_server.exe"));
            }
            if (t.find(L"KVUpdate.exe") != std::wstring::npos) {
                EXPECT_EQ(Narrow(t), Narrow(descriptorDir + L"\\KVUpdate.exe")) << "the updater comes in privately too";
            }
        }

        const std::vector<std::string> lines = kvtest::RecordLines(records);
        const std::string start = StartRecord(lines, "activex");
        if (!c.installerRuns) {
            EXPECT_EQ(start, "");
            continue;
        }
        // The installer ran from its private directory, as its working directory.
        EXPECT_EQ(Lower(RecordField(start, "exe")), Lower(Narrow(installerDir + L"\\KestrelVAULT ActiveX 7i_ko.exe")));
        EXPECT_EQ(Lower(RecordField(start, "cwd")), Lower(Narrow(installerDir)));
        // The descriptor reached the site directory before its private directory went.
        EXPECT_EQ(ReadBytes(programFiles + L"\\KestrelVAULT\\Private\\kestrelvault_server.exe"), descriptor);
        EXPECT_NE(StartRecord(lines, "updater"), "");
    }
}

}  // namespace
