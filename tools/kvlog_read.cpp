#include "tools/kvlog_read.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace kvlog {

namespace {

const char kStartScope[] = "CKestrelVault_SetupApp::InitInstance";
const char kNextScope[] = "CKestrelVault_SetupDlg::OnBnClickedNext";
const char kInstallerScope[] = "KVDownloadDlg::InstallActiveX";
const char kUpdateScope[] = "KVDownloadDlg::RunKVUpdate";
const char kSizeScope[] = "KVDownloadDlg::GetWebFileSize";
const char kHttpsScope[] = "KVDownloadDlg::URLDownloadToFileOnHttps";
// The http path's scope: only a status it refused is logged there.
const char kHttpScope[] = "KVDownloadDlg::URLDownloadToFile";
const char kStatusPrefix[] = "HTTP status ";
const char kProxyCredentials[] = "Proxy asks for credentials (407)";
const char kSignerPrefix[] = "Signer: ";

// "() " and 43 marker signs: what ends an entry or exit line.
const size_t kMarkerLength = 46;
// "[YYYY-MM-DD hh:mm:ss.mmm][": the fixed start of every header.
const size_t kStampLength = 25;

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0; }

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int Digits(const std::string& s, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) value = value * 10 + (s[i] - '0');
    return value;
}

// Whether raw holds "[YYYY-MM-DD hh:mm:ss.mmm][" at `at`.
bool StampAt(const std::string& raw, size_t at) {
    static const char kShape[] = "[dddd-dd-dd dd:dd:dd.ddd][";
    if (raw.size() < at + kStampLength + 1) return false;
    for (size_t i = 0; kShape[i]; ++i) {
        const char c = raw[at + i];
        if (kShape[i] == 'd' ? !IsDigit(c) : c != kShape[i]) return false;
    }
    return true;
}

bool ParseUnsigned(const std::string& s, size_t from, size_t to, uint32_t& out) {
    if (from >= to || to - from > 10) return false;
    uint64_t value = 0;
    for (size_t i = from; i < to; ++i) {
        if (!IsDigit(s[i])) return false;
        value = value * 10 + static_cast<uint64_t>(s[i] - '0');
    }
    if (value > 0xFFFFFFFFu) return false;
    out = static_cast<uint32_t>(value);
    return true;
}

// The first position after `from` where a whole log line starts inside raw, or npos. A line
// that the file got cut in, and that the next write went on after, carries the next line
// inside it.
size_t FindEmbeddedLine(const std::string& raw, size_t from) {
    for (size_t at = raw.find('[', from); at != std::string::npos; at = raw.find('[', at + 1)) {
        if (StampAt(raw, at) && ParseLogLine(raw.substr(at))) return at;
    }
    return std::string::npos;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::string Rest(const std::string& s, const char* prefix) { return s.substr(std::char_traits<char>::length(prefix)); }

// The check of a fetched program before its start refuses it with one line, after the program's
// name; every such line says the program was not started.
bool IsRefusal(const std::string& m) {
    return EndsWith(m, ", removed, not started___") ||
           (m.find(" could not be held for its check (err: ") != std::string::npos && EndsWith(m, "), not started___"));
}

// A program that did not start: builds that started programs through the shell logged
// "ShellExecuteEx fail___" (unattended only), later ones "CreateProcess fail___" (both modes).
bool IsLaunchFailure(const std::string& m) {
    return m.find(" ShellExecuteEx fail___") != std::string::npos || m.find(" CreateProcess fail___") != std::string::npos;
}

// A signer whose revocation cannot be told on an offline machine is accepted; the log says so.
bool IsRevocationNote(const std::string& m) {
    return m.find(" signer's revocation not known offline (") != std::string::npos && EndsWith(m, "), accepted");
}

// Walks the lines in order and keeps, per process, the run it belongs to and, per thread, the
// scopes open on it, so that every message is read in the scope that wrote it.
class Reader {
public:
    explicit Reader(Report& report) : m_report(report) {}

    void Add(const LogLine& line) {
        Run& run = RunFor(line);
        Cursor& cur = m_cursors[&run - m_report.runs.data()];
        if (!run.lineCount) {
            run.firstLine = line.number;
            run.start = line.stamp;
        }
        run.lastLine = line.number;
        run.end = line.stamp;
        ++run.lineCount;
        switch (line.kind) {
            case LineKind::Entry: Entry(run, cur, line); break;
            case LineKind::Exit: Exit(run, cur, line); break;
            case LineKind::Message: Message(run, cur, line); break;
        }
    }

    void Finish() {
        for (size_t i = 0; i < m_report.runs.size(); ++i) {
            Run& run = m_report.runs[i];
            Cursor& cur = m_cursors[i];
            for (const Failure& f : cur.failures) {
                if (f.recovered) continue;
                run.firstFailureLine = f.line;
                run.firstFailure = f.message;
                break;
            }
        }
    }

private:
    struct Failure {
        size_t line;
        std::string message;
        bool recovered;
    };

    // What the reader keeps about one run while it goes through the lines.
    struct Cursor {
        std::map<uint32_t, std::vector<size_t>> stacks;  // per thread: indices into run.scopes
        int transfer = -1;          // the transfer that the size and download scopes belong to
        int pending = -1;           // an update-step transfer whose outcome the step tells next
        int updateTransfers = 0;    // transfers begun in the current update step
        bool updateFailed = false;  // the current update step logged a failure
        std::vector<Failure> failures;
        std::string lastMessage;    // the previous message of the same scope, for the recovery rule
        size_t lastScope = SIZE_MAX;
        // The run of the install steps under way: its first failure and what it got done.
        struct Steps {
            std::optional<kv::InstallOutcome> failure;
            size_t failureLine = 0;
            bool installerObtained = false, installerRan = false, restart = false, updaterRan = false;
            void Fail(kv::InstallOutcome o, size_t line) {
                if (failure) return;
                failure = o;
                failureLine = line;
            }
        } steps;
        std::optional<kv::InstallOutcome> lastSteps;  // the last run of the steps that ended
        size_t lastStepsLine = 0;
        size_t failedCheckLine = 0;                   // the first failed access check
        // Whether the last failed access check was a proxy asking for credentials, and its line:
        // the program's code then says so.
        bool proxyRefused = false;
        size_t proxyRefusedLine = 0;
    };

    // A run of the steps has ended at line: it now decides the run's outcome.
    static void EndSteps(Cursor& cur, size_t line) {
        Cursor::Steps& st = cur.steps;
        cur.lastSteps = st.failure ? *st.failure
                                   : st.restart ? kv::InstallOutcome::RestartNeeded : kv::InstallOutcome::Done;
        cur.lastStepsLine = st.failure ? st.failureLine : line;
    }

    Run& RunFor(const LogLine& line) {
        const bool starts = line.kind == LineKind::Entry && line.text == kStartScope;
        auto open = m_open.find(line.pid);
        if (open != m_open.end() && !starts) return m_report.runs[open->second];
        if (open != m_open.end()) CloseRun(m_report.runs[open->second], m_cursors[open->second]);
        m_report.runs.emplace_back();
        m_cursors.emplace_back();
        Run& run = m_report.runs.back();
        run.process = line.process;
        run.pid = line.pid;
        run.startInLog = starts;
        m_open[line.pid] = m_report.runs.size() - 1;
        return run;
    }

    // A run that the log leaves: a new start in the same process id, or the end of its start-up
    // scope.
    void CloseRun(Run& run, Cursor& cur) {
        ResolvePending(run, cur, "unknown");
        m_open.erase(run.pid);
    }

    static const std::string* TopName(const Run& run, const std::vector<size_t>& stack) {
        return stack.empty() ? nullptr : &run.scopes[stack.back()].name;
    }

    void ResolvePending(Run& run, Cursor& cur, const char* outcome, const std::string& url = std::string()) {
        if (cur.pending < 0) return;
        Transfer& t = run.transfers[cur.pending];
        t.outcome = outcome;
        if (!url.empty()) t.url = url;
        cur.pending = -1;
    }

    Transfer& NewTransfer(Run& run, const char* item, int attempt, size_t line) {
        run.transfers.emplace_back();
        Transfer& t = run.transfers.back();
        t.item = item;
        t.attempt = attempt;
        t.line = line;
        return t;
    }

    int CountItem(const Run& run, const char* item) const {
        int n = 0;
        for (const Transfer& t : run.transfers) n += t.item == item;
        return n;
    }

    void Entry(Run& run, Cursor& cur, const LogLine& line) {
        std::vector<size_t>& stack = cur.stacks[line.tid];
        const std::string parent = stack.empty() ? std::string() : run.scopes[stack.back()].name;

        if (line.text == kSizeScope || line.text == kHttpsScope || line.text == kHttpScope) {
            // The size query opens every transfer; the https download follows it in the same one.
            if (line.text == kSizeScope) {
                if (parent == kInstallerScope) {
                    if (cur.transfer < 0 || run.transfers[cur.transfer].item != "installer" ||
                        run.transfers[cur.transfer].size || !run.transfers[cur.transfer].sizeNote.empty()) {
                        cur.transfer = static_cast<int>(run.transfers.size());
                        NewTransfer(run, "installer", CountItem(run, "installer") + 1, line.number);
                    }
                } else if (parent == kUpdateScope) {
                    ResolvePending(run, cur, "done");
                    cur.transfer = cur.pending = static_cast<int>(run.transfers.size());
                    NewTransfer(run, cur.updateTransfers++ == 0 ? "descriptor" : "updater", 1, line.number);
                } else {
                    cur.transfer = static_cast<int>(run.transfers.size());
                    NewTransfer(run, "file", 1, line.number);
                }
            } else if (cur.transfer < 0) {
                cur.transfer = static_cast<int>(run.transfers.size());
                NewTransfer(run, "file", 1, line.number);
            }
        } else if (parent == kUpdateScope) {
            // Any other scope inside the update step comes after the transfer ended well.
            ResolvePending(run, cur, "done");
        }

        if (line.text == kNextScope) {
            run.accessChecks.emplace_back();
            run.accessChecks.back().line = line.number;
        } else if (line.text == kInstallerScope) {
            run.installer = ProgramRun{"unknown", 0, ""};
            cur.transfer = -1;
            cur.steps = Cursor::Steps();
        } else if (line.text == kUpdateScope) {
            run.updater = ProgramRun{"unknown", 0, ""};
            cur.transfer = cur.pending = -1;
            cur.updateTransfers = 0;
            cur.updateFailed = false;
        }

        ScopeRecord scope;
        scope.name = line.text;
        scope.tid = line.tid;
        scope.depth = static_cast<int>(stack.size());
        scope.entryLine = line.number;
        scope.start = scope.end = line.stamp;
        stack.push_back(run.scopes.size());
        run.scopes.push_back(scope);
    }

    void Exit(Run& run, Cursor& cur, const LogLine& line) {
        std::vector<size_t>& stack = cur.stacks[line.tid];
        size_t found = stack.size();
        for (size_t i = stack.size(); i-- > 0;) {
            if (run.scopes[stack[i]].name == line.text) {
                found = i;
                break;
            }
        }
        if (found == stack.size()) {
            // The log begins inside this scope: its entry is not in the file.
            ScopeRecord scope;
            scope.name = line.text;
            scope.tid = line.tid;
            scope.depth = static_cast<int>(stack.size());
            scope.start = scope.end = line.stamp;
            scope.exitLine = line.number;
            run.scopes.push_back(scope);
        } else {
            // Scopes above the one that ends lost their exit lines; they end with it.
            for (size_t i = stack.size(); i-- > found;) run.scopes[stack[i]].end = line.stamp;
            run.scopes[stack[found]].exitLine = line.number;
            stack.resize(found);
        }

        if (line.text == kNextScope && !run.accessChecks.empty()) {
            AccessCheck& check = run.accessChecks.back();
            if (check.result == "unknown") check.result = check.host.empty() && check.url.empty() ? "not run" : "ok";
        } else if (line.text == kInstallerScope) {
            Cursor::Steps& st = cur.steps;
            if (!st.installerObtained)
                st.Fail(kv::InstallOutcome::InstallerNotObtained, line.number);
            else if (!st.installerRan)
                st.Fail(kv::InstallOutcome::InstallerLaunchFailed, line.number);
            // Without an access host the step returns at once and the update step never runs.
            if (st.failure == kv::InstallOutcome::NoAccessAddress) EndSteps(cur, line.number);
            if (run.installer.status == "unknown") {
                if (CountItem(run, "installer") > 0) {
                    run.installer.status = "not started";
                    run.installer.note = "no run line: the launch failed";
                } else {
                    run.installer.status = "not reached";
                    if (run.installer.note.empty()) run.installer.note = "the step ended before its downloads";
                }
                run.installer.line = line.number;
            }
        } else if (line.text == kUpdateScope) {
            ResolvePending(run, cur, "done");
            if (!cur.steps.updaterRan) cur.steps.Fail(kv::InstallOutcome::UpdaterLaunchFailed, line.number);
            EndSteps(cur, line.number);
            if (run.updater.status == "unknown") {
                const bool fetched = !run.transfers.empty() && run.transfers.back().item == "updater" &&
                                     run.transfers.back().outcome == "done";
                if (fetched && !cur.updateFailed) {
                    run.updater.status = "not started";
                    run.updater.note = "no run line: the launch failed";
                } else {
                    run.updater.status = "not reached";
                    if (run.updater.note.empty()) run.updater.note = "the update step ended before the launch";
                }
                run.updater.line = line.number;
            }
        } else if (line.text == kStartScope) {
            run.ended = true;
            if (cur.lastSteps) {
                run.outcome = cur.lastSteps;
                run.outcomeLine = cur.lastStepsLine;
            } else if (cur.failedCheckLine && cur.proxyRefused) {
                run.outcome = kv::InstallOutcome::ProxyRefused;
                run.outcomeLine = cur.proxyRefusedLine;
            } else if (cur.failedCheckLine) {
                run.outcome = kv::InstallOutcome::ServerUnreachable;
                run.outcomeLine = cur.failedCheckLine;
            } else {
                run.outcome = kv::InstallOutcome::UserLeft;
                run.outcomeLine = line.number;
            }
            CloseRun(run, cur);
        }
    }

    void Message(Run& run, Cursor& cur, const LogLine& line) {
        const std::vector<size_t>& stack = cur.stacks[line.tid];
        const size_t scopeIndex = stack.empty() ? SIZE_MAX : stack.back();
        const std::string scope = scopeIndex == SIZE_MAX ? std::string() : run.scopes[scopeIndex].name;
        const std::string& m = line.text;

        // A missing compatibility key is the normal first run: the next line creates it.
        if (m == "regKey.Create success." && scopeIndex == cur.lastScope && StartsWith(cur.lastMessage, "regKey.Open fail_") &&
            !cur.failures.empty()) {
            cur.failures.back().recovered = true;
        }
        if (IsFailureMessage(m)) cur.failures.push_back({line.number, m, false});
        cur.lastMessage = m;
        cur.lastScope = scopeIndex;

        if (scope == kStartScope) {
            if (StartsWith(m, "ModulePath: ")) run.modulePath = Rest(m, "ModulePath: ");
            if (StartsWith(m, "ModuleVersion: ")) {
                run.moduleVersion = Rest(m, "ModuleVersion: ");
                run.hasModuleVersion = true;
            }
            if (StartsWith(m, "ExitCode: ")) run.loggedExitCode = std::atoi(Rest(m, "ExitCode: ").c_str());
        } else if (scope == kNextScope && !run.accessChecks.empty()) {
            AccessCheck& check = run.accessChecks.back();
            if (StartsWith(m, "ServerURL: ")) check.host = Rest(m, "ServerURL: ");
            if (StartsWith(m, "ConnectionURL: ")) check.url = Rest(m, "ConnectionURL: ");
            if (m == "Proxy asks for credentials (407)") {
                check.result = "proxy refused";
                cur.proxyRefusedLine = line.number;
            }
            if (m == "Server web connect fail___") {
                cur.proxyRefused = check.result == "proxy refused";
                if (!cur.proxyRefused) check.result = "failed";
                if (!cur.failedCheckLine) cur.failedCheckLine = line.number;
            }
        } else if ((scope == kInstallerScope || scope == kUpdateScope) && AttemptFact(run, cur, m)) {
        } else if (scope == kInstallerScope) {
            InstallerMessage(run, cur, line);
        } else if (scope == kUpdateScope) {
            UpdateMessage(run, cur, line);
        } else if ((scope == kSizeScope || scope == kHttpsScope || scope == kHttpScope) && cur.transfer >= 0 &&
                   (StartsWith(m, kStatusPrefix) || m == kProxyCredentials)) {
            // An answer refused for its status: why there is no size, or no file.
            Transfer& t = run.transfers[cur.transfer];
            if (m == kProxyCredentials) {
                t.proxyCredentials = true;
            } else {
                if (t.statusNote.empty()) t.statusNote = m;
                if (scope == kSizeScope) {
                    if (t.sizeNote.empty()) t.sizeNote = m;
                } else if (t.downloadNote.empty() || StartsWith(t.downloadNote, "HttpStatus fail___")) {
                    t.downloadNote = m;
                }
            }
        } else if (scope == kSizeScope && cur.transfer >= 0) {
            Transfer& t = run.transfers[cur.transfer];
            if (StartsWith(m, "ServerFileSize: ")) {
                t.size = std::strtoll(Rest(m, "ServerFileSize: ").c_str(), nullptr, 10);
            } else if (IsFailureMessage(m) && t.sizeNote.empty()) {
                t.sizeNote = m;
            }
        } else if (scope == kHttpsScope && cur.transfer >= 0) {
            Transfer& t = run.transfers[cur.transfer];
            if (IsFailureMessage(m) && t.downloadNote.empty()) t.downloadNote = m;
        }
    }

    // A line of the check before a program's start, kept with the transfer that fetched the
    // program (the step's last one, when it is of that item). Returns whether m is one.
    static bool CheckLine(Run& run, const Cursor& cur, const LogLine& line, const char* item) {
        const std::string& m = line.text;
        Transfer* t = cur.transfer >= 0 && run.transfers[cur.transfer].item == item ? &run.transfers[cur.transfer] : nullptr;
        if (StartsWith(m, kSignerPrefix)) {
            if (t) {
                t->signer = Rest(m, kSignerPrefix);
                t->signerLine = line.number;
            }
        } else if (IsRevocationNote(m)) {
            if (t) t->revocationNote = m;
        } else if (IsRefusal(m)) {
            if (t) {
                t->outcome = "refused";
                t->refusal = m;
                t->refusalLine = line.number;
            }
        } else {
            return false;
        }
        return true;
    }

    // A line about the attempts at the step's current transfer: where it resumed, the wait
    // after it, an end under the rate floor. Returns whether m is one.
    static bool AttemptFact(Run& run, const Cursor& cur, const std::string& m) {
        static const char kResumed[] = "Transfer resumed at ";
        static const char kWait[] = "Next attempt in ";
        static const char kFloor[] = "Transfer rate under ";
        Transfer* t = cur.transfer >= 0 ? &run.transfers[cur.transfer] : nullptr;
        if (StartsWith(m, kResumed)) {
            if (t) t->resumedAt.push_back(std::strtoll(Rest(m, kResumed).c_str(), nullptr, 10));
        } else if (StartsWith(m, kWait)) {
            if (t) t->waitsMs.push_back(std::strtoll(Rest(m, kWait).c_str(), nullptr, 10));
        } else if (StartsWith(m, kFloor)) {
            if (t) t->underRateFloor = true;
        } else {
            return false;
        }
        return true;
    }

    void InstallerMessage(Run& run, Cursor& cur, const LogLine& line) {
        const std::string& m = line.text;
        if (CheckLine(run, cur, line, "installer")) {
            // A refused file is a failed attempt: the step goes on to the next one.
            if (IsRefusal(m)) cur.steps.installerObtained = false;
            return;
        }
        if (StartsWith(m, "ServerFilePath: ")) {
            cur.transfer = static_cast<int>(run.transfers.size());
            NewTransfer(run, "installer", CountItem(run, "installer") + 1, line.number).url = Rest(m, "ServerFilePath: ");
        } else if (StartsWith(m, "DownFilePath: ") && cur.transfer >= 0) {
            run.transfers[cur.transfer].target = Rest(m, "DownFilePath: ");
        } else if (StartsWith(m, "URLDownloadToFile ret: ") && cur.transfer >= 0) {
            Transfer& t = run.transfers[cur.transfer];
            t.result = Rest(m, "URLDownloadToFile ret: ");
            const uint32_t value = static_cast<uint32_t>(std::strtoul(t.result.c_str(), nullptr, 16));
            t.outcome = value == 0 ? "done" : (value & 0x80000000u) ? "failed" : "not 0";
            if (value == 0) cur.steps.installerObtained = true;
        } else if (m == "UpdateURL is null___" || m == "UpdateURL is empty___") {
            run.installer.note = m;
            cur.steps.Fail(kv::InstallOutcome::NoAccessAddress, line.number);
        } else if (EndsWith(m, " run Success...")) {
            run.installer = ProgramRun{"ran", line.number, m};
            cur.steps.installerRan = true;
        } else if (EndsWith(m, " run Fail___")) {
            run.installer = ProgramRun{"wait failed", line.number, m};
        } else if (IsLaunchFailure(m) || EndsWith(m, " not obtained, not started___")) {
            run.installer = ProgramRun{"not started", line.number, m};
        } else if (EndsWith(m, " asks for a restart (exit code 3010).")) {
            cur.steps.restart = true;
        }
    }

    void UpdateMessage(Run& run, Cursor& cur, const LogLine& line) {
        const std::string& m = line.text;
        static const std::string kDownloadFail = " Download fail___";
        // The step's next line tells how its last transfer ended: a failure names it, anything
        // else comes after a transfer that went well.
        if (m == "kestrelvault_server.exe Download fail___") {
            ResolvePending(run, cur, "failed");
        } else if (EndsWith(m, kDownloadFail)) {
            ResolvePending(run, cur, "failed", m.substr(0, m.size() - kDownloadFail.size()));
        } else {
            ResolvePending(run, cur, "done");
        }
        if (CheckLine(run, cur, line, "updater")) {
            // A refused updater ends the step: it was not obtained, and nothing is launched.
            if (IsRefusal(m)) {
                cur.updateFailed = true;
                run.updater = ProgramRun{"refused", line.number, m};
                cur.steps.Fail(kv::InstallOutcome::UpdaterNotObtained, line.number);
            }
            return;
        }
        if (IsFailureMessage(m)) {
            cur.updateFailed = true;
            if (run.updater.note.empty()) run.updater.note = m;
        }
        // Which class each of the step's failure lines stands for.
        using kv::InstallOutcome;
        if (m == "UpdateURL is empty___") {
            cur.steps.Fail(InstallOutcome::NoAccessAddress, line.number);
        } else if (m == "kestrelvault_server.exe Download fail___" || m == "kestrelvault_server.exe Open fail___" ||
                   m == "Wrong xml___" || m == "SiteName missing___" || m == "SiteName empty___") {
            cur.steps.Fail(InstallOutcome::DescriptorNotObtained, line.number);
        } else if (m == "Invalid SiteName___") {
            cur.steps.Fail(InstallOutcome::SiteNameRefused, line.number);
        } else if (m == "KestrelVault basedir create fail___" || m == "Site dir create fail___" ||
                   m == "kestrelvault_server.exe Copy fail___") {
            cur.steps.Fail(InstallOutcome::SiteDirectoryNotPrepared, line.number);
        } else if (EndsWith(m, kDownloadFail) || StartsWith(m, "KVUpdate.exe Copy fail___")) {
            // The updater came, but no new file in the site directory could take it.
            cur.steps.Fail(InstallOutcome::UpdaterNotObtained, line.number);
        }
        if (StartsWith(m, "SiteName: ")) {
            run.siteName = Rest(m, "SiteName: ");
            run.siteNameLine = line.number;
        } else if (m == "kestrelvault_server.exe Open fail___" || m == "Wrong xml___" || m == "Invalid SiteName___" ||
                   m == "SiteName missing___" || m == "SiteName empty___") {
            run.siteNameNote = m;
            if (!run.siteName) run.siteNameLine = line.number;
        } else if (EndsWith(m, " run Success...")) {
            run.updater = ProgramRun{"ran", line.number, m};
            cur.steps.updaterRan = true;
        } else if (EndsWith(m, " run Fail___")) {
            run.updater = ProgramRun{"wait failed", line.number, m};
        } else if (IsLaunchFailure(m)) {
            run.updater = ProgramRun{"not started", line.number, m};
        }
    }

    Report& m_report;
    std::vector<Cursor> m_cursors;      // one per run, same index
    std::map<uint32_t, size_t> m_open;  // process id -> its run that the log has not left yet
};

}  // namespace

int64_t Stamp::Millis() const {
    const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    return ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000 + milli;
}

std::string Stamp::Text() const {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day, hour, minute, second,
                  milli);
    return buffer;
}

std::string Stamp::TimeOfDay() const { return Text().substr(11); }

namespace {
const AccessCheck* DecidingCheck(const Run& run) {
    for (size_t i = run.accessChecks.size(); i-- > 0;) {
        if (run.accessChecks[i].result == "ok") return &run.accessChecks[i];
    }
    for (size_t i = run.accessChecks.size(); i-- > 0;) {
        if (!run.accessChecks[i].url.empty()) return &run.accessChecks[i];
    }
    return nullptr;
}
}  // namespace

std::string Run::UpdateURL() const {
    const AccessCheck* check = DecidingCheck(*this);
    return check ? check->host : std::string();
}

std::string Run::Scheme() const {
    // The prefix the first page put in front: a scheme the user typed into the host box follows
    // it and does not count.
    const AccessCheck* check = DecidingCheck(*this);
    const std::string url = check ? check->url : std::string();
    if (StartsWith(url, "https://")) return "https";
    if (StartsWith(url, "http://")) return "http";
    return std::string();
}

std::optional<LogLine> ParseLogLine(const std::string& raw) {
    if (!StampAt(raw, 0)) return std::nullopt;
    LogLine line;
    line.stamp.year = Digits(raw, 1, 4);
    line.stamp.month = Digits(raw, 6, 2);
    line.stamp.day = Digits(raw, 9, 2);
    line.stamp.hour = Digits(raw, 12, 2);
    line.stamp.minute = Digits(raw, 15, 2);
    line.stamp.second = Digits(raw, 18, 2);
    line.stamp.milli = Digits(raw, 21, 3);
    const Stamp& s = line.stamp;
    if (s.month < 1 || s.month > 12 || s.day < 1 || s.day > 31 || s.hour > 23 || s.minute > 59 || s.second > 60)
        return std::nullopt;

    // "NAME(PID), T:TID]": the name is a file name and may itself hold parentheses, so the
    // process id is the number in the last parentheses before ", T:".
    const size_t nameAt = kStampLength + 1;
    const size_t thread = raw.find("), T:", nameAt);
    if (thread == std::string::npos) return std::nullopt;
    const size_t close = raw.find(']', thread);
    if (close == std::string::npos || !ParseUnsigned(raw, thread + 5, close, line.tid)) return std::nullopt;
    const size_t open = raw.rfind('(', thread);
    if (open == std::string::npos || open < nameAt || !ParseUnsigned(raw, open + 1, thread, line.pid)) return std::nullopt;
    line.process = raw.substr(nameAt, open - nameAt);

    const std::string rest = raw.substr(close + 1);
    static const std::string kEntry = "() " + std::string(43, '<');
    static const std::string kExit = "() " + std::string(43, '>');
    if (StartsWith(rest, ":    ")) {
        line.kind = LineKind::Message;
        line.text = rest.substr(5);
    } else if (rest.size() > kMarkerLength && EndsWith(rest, kEntry)) {
        line.kind = LineKind::Entry;
        line.text = rest.substr(0, rest.size() - kMarkerLength);
    } else if (rest.size() > kMarkerLength && EndsWith(rest, kExit)) {
        line.kind = LineKind::Exit;
        line.text = rest.substr(0, rest.size() - kMarkerLength);
    } else {
        return std::nullopt;
    }
    line.raw = raw;
    return line;
}

Report ReadLog(const std::string& bytes) {
    Report report;
    Reader reader(report);
    report.lastLineCut = !bytes.empty() && bytes.back() != '\n';

    size_t start = 0;
    size_t number = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        const bool cut = end == std::string::npos;
        if (cut) end = bytes.size();
        std::string raw = bytes.substr(start, end - start);
        start = end + 1;
        ++number;
        // The setup writes CR LF; a copy that lost the CR reads the same.
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();

        if (cut) {
            // Every line the setup writes ends with its line end: one without it is incomplete
            // (the file was cut, or copied while the setup was writing), so it is not read.
            report.foreign.push_back({number, "cut off: the file ends inside this line", raw});
            continue;
        }
        // A line that holds the start of another line was cut short where that one begins.
        for (;;) {
            const size_t inner = FindEmbeddedLine(raw, 1);
            if (inner == std::string::npos) break;
            report.foreign.push_back({number,
                                      StampAt(raw, 0) ? "cut off: the next line starts inside it"
                                                      : "not in the log format (before a line that starts inside it)",
                                      raw.substr(0, inner)});
            raw.erase(0, inner);
        }
        if (std::optional<LogLine> line = ParseLogLine(raw)) {
            line->number = number;
            ++report.logLineCount;
            reader.Add(*line);
        } else {
            report.foreign.push_back({number, StampAt(raw, 0) ? "line header without a valid rest" : "no line header", raw});
        }
    }
    report.lineCount = number;
    reader.Finish();
    return report;
}

bool IsFailureMessage(const std::string& m) {
    // A signer's subject is the certificate's text, not the setup's: it may hold anything.
    if (StartsWith(m, kSignerPrefix)) return false;
    return m.find("fail_") != std::string::npos || m.find("Fail___") != std::string::npos || EndsWith(m, "___") ||
           StartsWith(m, "Exception: ");
}

}  // namespace kvlog
