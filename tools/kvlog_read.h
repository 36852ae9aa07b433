// kvlog's reading of a setup trace log: the lines, the runs they belong to, and what each run
// did. Portable C++17 with no platform calls, shared by the native Linux build and the Windows
// console build. Texts stay in the log's own bytes (the setup writes code page 949); the
// caller converts them for output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "install/InstallOutcome.h"

namespace kvlog {

// The local time at which the setup formatted a line, as its header gives it.
struct Stamp {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    // Milliseconds since 1970-01-01 of this local time, for durations only.
    int64_t Millis() const;
    std::string Text() const;  // "YYYY-MM-DD hh:mm:ss.mmm"
    std::string TimeOfDay() const;  // "hh:mm:ss.mmm"
};

enum class LineKind { Entry, Exit, Message };

// One line in the log's format.
struct LogLine {
    size_t number = 0;  // 1-based line number in the file
    Stamp stamp;
    std::string process;
    uint32_t pid = 0;
    uint32_t tid = 0;
    LineKind kind = LineKind::Message;
    std::string text;  // the scope name of an entry or exit line, the message of a message line
    std::string raw;   // the whole line as it stands in the file
};

// The whole of raw as one log line, or nothing when it is not exactly in the log's format.
std::optional<LogLine> ParseLogLine(const std::string& raw);

// A line, or the part of one, that is not in the log's format.
struct ForeignLine {
    size_t number = 0;
    std::string reason;
    std::string text;
};

struct ScopeRecord {
    std::string name;
    uint32_t tid = 0;
    int depth = 0;                 // nesting on its thread, 0 for the outermost
    size_t entryLine = 0;          // 0 when the log does not show the entry
    size_t exitLine = 0;           // 0 when the log does not show the exit
    Stamp start, end;
    int64_t DurationMillis() const { return end.Millis() - start.Millis(); }
};

// One press of Next on the first page (or its unattended press).
struct AccessCheck {
    size_t line = 0;
    std::string host;  // "ServerURL: %S"
    std::string url;   // "ConnectionURL: %S"
    // "ok", "failed" ("Server web connect fail___"), "proxy refused" (the same after "Proxy asks
    // for credentials (407)"), "not run" (Next disabled: no message),
    // "unknown" (the log ends inside the check).
    std::string result = "unknown";
};

// One fetch of a server file: a size query, for https the download's own lines, and what the
// step made of it.
struct Transfer {
    std::string item;      // "installer", "descriptor", "updater" or "file" when the step is unknown
    int attempt = 0;       // 1..5 for the installer, else 1
    size_t line = 0;       // first line of the transfer
    std::string url;       // where the log names it
    std::string target;    // "DownFilePath: %S", installer only
    std::optional<int64_t> size;  // "ServerFileSize: %d"
    std::string sizeNote;  // why there is no size: the size query's failure line
    std::string downloadNote;  // the https download's failure line, if any
    // The first "HTTP status N[, Retry-After: V]" line of the transfer (size query or download):
    // an answer refused for its status; empty when none. proxyCredentials: a proxy answered 407.
    std::string statusNote;
    bool proxyCredentials = false;
    std::string result;    // "0x%08x" where the step logs it (installer)
    // "done", "failed", "not 0" (a positive result, counted as a failed attempt), "refused" (the
    // program arrived, but its check before the start refused it), "unknown".
    std::string outcome = "unknown";
    // A program's check before its start (installer and updater only), empty where the log has
    // none: the text after "Signer: " (subject and thumbprint, or "none"), the line that accepts
    // a signer whose revocation could not be told offline, and the line that refused the file.
    std::string signer;
    size_t signerLine = 0;
    std::string revocationNote;
    std::string refusal;
    size_t refusalLine = 0;
    // Where a cut transfer was taken up ("Transfer resumed at N of M": N, one per resumed
    // attempt), the waits its step logged after it ("Next attempt in N ms": N), and whether it
    // ended under the rate floor.
    std::vector<int64_t> resumedAt;
    std::vector<int64_t> waitsMs;
    bool underRateFloor = false;
};

// A started program: the web-control installer or the updater.
struct ProgramRun {
    // "ran" (waited until it exited), "wait failed", "not started" (the step reached the launch
    // but no run line followed, so the launch failed), "refused" (its check before the start
    // refused it: the note is that line), "not reached", "unknown" (the log ends inside the step).
    std::string status = "not reached";
    size_t line = 0;
    std::string note;
};

struct Run {
    std::string process;
    uint32_t pid = 0;
    bool startInLog = false;  // the start-up scope's entry line is in the log
    bool ended = false;       // the start-up scope's exit line is in the log
    size_t firstLine = 0, lastLine = 0, lineCount = 0;
    Stamp start, end;
    std::string modulePath, moduleVersion;
    bool hasModuleVersion = false;
    std::vector<AccessCheck> accessChecks;
    std::vector<ScopeRecord> scopes;  // in the order of their entries
    std::vector<Transfer> transfers;
    std::optional<std::string> siteName;
    // The step's failure line about it: why there is none ("Wrong xml___", ...), or why the
    // name read was refused ("Invalid SiteName___").
    std::string siteNameNote;
    size_t siteNameLine = 0;
    ProgramRun installer, updater;
    size_t firstFailureLine = 0;
    std::string firstFailure;  // the message of that line
    // What the run came to, by the rule the program's exit code follows: the last run of the
    // install steps that ended (its first failure, else done or restart needed); without one, a
    // failed access check; else the user left. Empty when the log does not show the run's end.
    std::optional<kv::InstallOutcome> outcome;
    size_t outcomeLine = 0;  // the line that decided it; the run's last line for "left by the user"
    std::optional<int> loggedExitCode;  // "ExitCode: %d", which the program logs at its end
    // The access host and scheme of the last access check that passed, else of the last one.
    std::string UpdateURL() const;
    std::string Scheme() const;  // "http", "https" or "" when no check is in the log
};

struct Report {
    size_t lineCount = 0;      // lines in the file, a cut last line included
    size_t logLineCount = 0;   // lines read as log lines
    std::vector<ForeignLine> foreign;  // every line or fragment not in the log's format
    bool lastLineCut = false;  // the file does not end with a line end
    std::vector<Run> runs;
};

// Reads a whole log. Never fails: what it cannot read it counts in foreign.
Report ReadLog(const std::string& bytes);

// Whether a message reports a failure, by the setup's conventions ("fail_", "Fail___", a
// trailing "___", "Exception: "). A "Signer: " line never does: its subject is the
// certificate's own text.
bool IsFailureMessage(const std::string& message);

}  // namespace kvlog
