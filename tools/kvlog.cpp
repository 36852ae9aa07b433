// kvlog: reads a trace log of the KestrelVault setup program (one run, or several appended one
// after the other) and tells per run what happened, as text or as JSON for deployment tools.
// One source for the native Linux build and the Windows console build.
//
//   kvlog LOGFILE [--json]
//
// Exit codes: 0 read, 1 the file cannot be read, 2 bad command line, 3 no line of the file is in
// the log's format.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <iconv.h>
#endif

#include "tools/kvlog_codes.h"
#include "tools/textout.h"
#include "tools/kvlog_read.h"

namespace {

using namespace kvlog;

const char kUsage[] =
    "Usage: kvlog LOGFILE [--json]\n"
    "\n"
    "Reads a trace log of the KestrelVault setup program and prints, for every run in it (a log\n"
    "in append mode holds one run after the other): when it started and ended, the module\n"
    "version, the update URL and scheme, every access check, every transfer and attempt with\n"
    "its result (for the installer and the updater also the signer and any refusal of the\n"
    "check before the start), the SiteName, whether the web-control installer and the updater\n"
    "ran, the first failure line, and every function scope with its duration.\n"
    "\n"
    "  --json      the same as one JSON object (UTF-8), for deployment tools.\n"
    "  -h, --help  this text.\n"
    "\n"
    "LOGFILE \"-\" reads standard input. The log's text is read as code page 949, as the setup\n"
    "writes it, and printed as UTF-8. Lines that are not in the log's format (foreign text, a\n"
    "line cut off by a crash or a copy taken while the setup was writing) are counted and\n"
    "shown, and never stop the reading.\n"
    "\n"
    "Exit codes:\n"
    "  0  the log was read (whatever its runs say)\n"
    "  1  the file cannot be read\n"
    "  2  bad command line\n"
    "  3  no line of the file is in the log's format\n";

struct UsageError {
    std::string message;
};

// ----------------------------------------------------------------------------------------------
// Text: the log's code page in, UTF-8 out

using kvtools::AppendUtf8;
using kvtools::Utf8FromUtf16;

bool IsAscii(const std::string& s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

#ifdef _WIN32
// One character of code page 949 (one byte, or a lead byte and its trail), or nothing when the
// bytes are not one.
bool DecodeOne(const char* p, int count, std::u16string& out) {
    wchar_t w[2];
    const int n = ::MultiByteToWideChar(949, MB_ERR_INVALID_CHARS, p, count, w, 2);
    if (n <= 0) return false;
    out.append(w, w + n);
    return true;
}

#endif

// The log's bytes as UTF-8. A byte that is no character of code page 949 (a damaged line,
// foreign text) becomes U+FFFD and the conversion goes on with the next byte.
std::string Utf8FromLog(const std::string& bytes) {
    if (IsAscii(bytes)) return bytes;
#ifdef _WIN32
    std::u16string wide;
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        const bool lead = b >= 0x81 && b <= 0xFE && i + 1 < bytes.size();
        if (lead && DecodeOne(&bytes[i], 2, wide)) {
            i += 2;
        } else if (DecodeOne(&bytes[i], 1, wide) && b < 0x80) {
            i += 1;
        } else {
            wide.push_back(u'\xFFFD');
            i += 1;
        }
    }
    return Utf8FromUtf16(wide);
#else
    static iconv_t cd = iconv_open("UTF-8", "CP949");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::string out;
        for (char c : bytes) static_cast<unsigned char>(c) < 0x80 ? out.push_back(c) : AppendUtf8(out, 0xFFFD);
        return out;
    }
    std::string out;
    std::vector<char> buffer(bytes.size() * 4 + 16);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    while (inLeft) {
        char* outp = buffer.data();
        size_t outLeft = buffer.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
        out.append(buffer.data(), static_cast<size_t>(outp - buffer.data()));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL (a lead byte at the end): skip one byte.
            AppendUtf8(out, 0xFFFD);
            ++in;
            --inLeft;
        }
    }
    return out;
#endif
}

// ----------------------------------------------------------------------------------------------
// Output

void Write(FILE* stream, const std::string& utf8) { kvtools::WriteUtf8(stream, utf8); }

std::string Duration(int64_t ms) {
    char buffer[48];
    if (ms < 1000 && ms > -1000) {
        std::snprintf(buffer, sizeof buffer, "%lld ms", static_cast<long long>(ms));
    } else {
        std::snprintf(buffer, sizeof buffer, "%lld.%03lld s", static_cast<long long>(ms / 1000),
                      static_cast<long long>((ms < 0 ? -ms : ms) % 1000));
    }
    return buffer;
}

// The number that follows `key` in a message, if any.
bool NumberAfter(const std::string& m, const char* key, int base, uint32_t& value) {
    const size_t at = m.find(key);
    if (at == std::string::npos) return false;
    const char* start = m.c_str() + at + std::strlen(key);
    char* end = nullptr;
    const long long v = std::strtoll(start, &end, base);
    if (end == start) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// What an error code in a failure line means, or "".
std::string Meaning(const std::string& m) {
    static const struct {
        const char* key;
        int base;
    } kKeys[] = {{"Exception: ", 10}, {"LaseErr:", 10}, {"lastErr: ", 10}, {"ret: 0x", 16}, {"status: ", 10},
                  {"(err: ", 10}, {"(0x", 16}};
    for (const auto& k : kKeys) {
        uint32_t code = 0;
        if (!NumberAfter(m, k.key, k.base, code)) continue;
        if (std::strcmp(k.key, "status: ") == 0) return "the server answered with status " + std::to_string(code);
        return ExplainCode(code);
    }
    return std::string();
}

std::string WithMeaning(const std::string& m) {
    const std::string meaning = Meaning(m);
    return meaning.empty() ? m : m + " (" + meaning + ")";
}

std::string ItemName(const Transfer& t) {
    if (t.item == "installer") return "installer attempt " + std::to_string(t.attempt);
    return t.item;
}

std::string TransferSummary(const Transfer& t) {
    // Each meaning once: the result, the size query and the download usually tell of one error.
    std::string explained;
    auto note = [&](const std::string& m) {
        const std::string meaning = Meaning(m);
        if (meaning.empty() || explained.find(meaning) != std::string::npos) return m;
        explained += meaning + "\n";
        return m + " (" + meaning + ")";
    };
    std::string s = t.outcome == "not 0" ? std::string("not 0, counted as a failed attempt") : t.outcome;
    if (!t.result.empty()) s += ", result " + note("ret: " + t.result).substr(5);
    if (t.size) {
        s += "; size " + std::to_string(*t.size);
    } else if (!t.sizeNote.empty()) {
        s += "; size query: " + note(Utf8FromLog(t.sizeNote));
    } else {
        s += "; size not in the log";
    }
    if (!t.downloadNote.empty()) s += "; download: " + note(Utf8FromLog(t.downloadNote));
    if (t.proxyCredentials) s += "; the proxy asks for credentials (407)";
    for (int64_t at : t.resumedAt) s += "; resumed at " + std::to_string(at);
    if (t.underRateFloor) s += "; ended under the rate floor";
    for (int64_t ms : t.waitsMs) s += "; then waited " + std::to_string(ms) + " ms";
    return s;
}

std::string JsonNumbers(const std::vector<int64_t>& numbers) {
    std::string o = "[";
    for (size_t i = 0; i < numbers.size(); ++i) o += (i ? ", " : "") + std::to_string(numbers[i]);
    return o + "]";
}

std::string ProgramSummary(const ProgramRun& p) {
    std::string s = p.status;
    if (p.status == "ran") s += " (waited until it exited)";
    if (p.status == "unknown") s += ": the log ends inside the step";
    if (!p.note.empty() && p.status != "ran") s += ": " + Utf8FromLog(p.note);
    if (p.line) s += " (line " + std::to_string(p.line) + ")";
    return s;
}

std::string Shorten(const std::string& utf8, size_t max) {
    if (utf8.size() <= max) return utf8;
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    return utf8.substr(0, cut) + "...";
}

const size_t kForeignShown = 10;

// ----------------------------------------------------------------------------------------------
// The run's outcome and its exit code

// "exit code N: name (line L)", and the program's own logged code where it differs.
std::string OutcomeSummary(const kvlog::Run& run) {
    if (!run.outcome) return "unknown: the log does not show the run's end";
    const kv::InstallOutcomeRow& row = kv::OutcomeRow(*run.outcome);
    std::string o = "exit code " + std::to_string(row.exitCode) + ": " + row.name + " (line " +
                    std::to_string(run.outcomeLine) + ")";
    if (run.loggedExitCode && *run.loggedExitCode != row.exitCode)
        o += "; but the program logged exit code " + std::to_string(*run.loggedExitCode);
    return o;
}

std::string TextReport(const std::string& name, const Report& r) {
    std::string o;
    o += name + ": " + std::to_string(r.runs.size()) + (r.runs.size() == 1 ? " run" : " runs") + " in " +
         std::to_string(r.lineCount) + (r.lineCount == 1 ? " line" : " lines") + "; " +
         std::to_string(r.foreign.size()) + " not in the log format";
    if (r.lastLineCut) o += "; the last line is cut off";
    o += "\n";
    for (size_t i = 0; i < r.foreign.size() && i < kForeignShown; ++i) {
        const ForeignLine& f = r.foreign[i];
        o += "  line " + std::to_string(f.number) + ": " + f.reason + ": \"" + Shorten(Utf8FromLog(f.text), 100) + "\"\n";
    }
    if (r.foreign.size() > kForeignShown) o += "  ... and " + std::to_string(r.foreign.size() - kForeignShown) + " more\n";

    for (size_t i = 0; i < r.runs.size(); ++i) {
        const Run& run = r.runs[i];
        o += "\nRun " + std::to_string(i + 1) + " of " + std::to_string(r.runs.size()) + ": " + Utf8FromLog(run.process) +
             ", process " + std::to_string(run.pid) + ", lines " + std::to_string(run.firstLine) + " to " +
             std::to_string(run.lastLine) + "\n";
        o += "  Start:          " + run.start.Text();
        if (!run.startInLog) o += " (the run's start is not in the log: first line shown)";
        o += "\n";
        o += "  End:            " + run.end.Text() + " (" + Duration(run.end.Millis() - run.start.Millis()) + "), " +
             (run.ended ? "the run ended" : "the log ends before the run does") + "\n";
        o += "  Module version: " + (run.hasModuleVersion ? (run.moduleVersion.empty() ? "(empty)" : Utf8FromLog(run.moduleVersion)) : "not in the log") + "\n";
        if (!run.modulePath.empty()) o += "  Module path:    " + Utf8FromLog(run.modulePath) + "\n";
        const std::string url = run.UpdateURL();
        o += "  Update URL:     " + (run.accessChecks.empty() ? std::string("not in the log (no access check)") :
                                     "\"" + Utf8FromLog(url) + "\", scheme " + (run.Scheme().empty() ? "unknown" : run.Scheme())) + "\n";
        for (const kvlog::AccessCheck& c : run.accessChecks) {
            o += "  Access check:   line " + std::to_string(c.line) + ": " +
                 (c.url.empty() ? std::string("(no address)") : Utf8FromLog(c.url)) + ": " + c.result + "\n";
        }
        if (run.transfers.empty()) {
            o += "  Transfers:      none in the log\n";
        } else {
            o += "  Transfers:\n";
            for (const Transfer& t : run.transfers) {
                o += "    line " + std::to_string(t.line) + ": " + ItemName(t) + ": " + TransferSummary(t) + "\n";
                if (!t.url.empty()) o += "      " + Utf8FromLog(t.url) + "\n";
                if (t.signerLine) o += "      Signer: " + Utf8FromLog(t.signer) + " (line " + std::to_string(t.signerLine) + ")\n";
                if (!t.revocationNote.empty()) o += "      " + WithMeaning(Utf8FromLog(t.revocationNote)) + "\n";
                if (t.refusalLine)
                    o += "      Refused: " + WithMeaning(Utf8FromLog(t.refusal)) + " (line " + std::to_string(t.refusalLine) + ")\n";
            }
        }
        if (run.siteName) {
            o += "  SiteName:       \"" + Utf8FromLog(*run.siteName) + "\"" +
                 (run.siteNameNote.empty() ? std::string() : ", refused: " + Utf8FromLog(run.siteNameNote)) + " (line " +
                 std::to_string(run.siteNameLine) + ")\n";
        } else if (!run.siteNameNote.empty()) {
            o += "  SiteName:       none: " + Utf8FromLog(run.siteNameNote) + " (line " + std::to_string(run.siteNameLine) + ")\n";
        } else {
            o += "  SiteName:       not in the log\n";
        }
        o += "  Installer:      " + ProgramSummary(run.installer) + "\n";
        o += "  Updater:        " + ProgramSummary(run.updater) + "\n";
        o += "  First failure:  " + (run.firstFailureLine ? "line " + std::to_string(run.firstFailureLine) + ": " + WithMeaning(Utf8FromLog(run.firstFailure))
                                                          : std::string("none")) + "\n";
        o += "  Outcome:        " + OutcomeSummary(run) + "\n";
        o += "  Scopes:\n";
        for (const ScopeRecord& s : run.scopes) {
            std::string when = s.entryLine ? s.start.TimeOfDay() : std::string("(before the log)");
            std::string took = s.entryLine && s.exitLine ? Duration(s.DurationMillis())
                               : !s.exitLine        ? std::string("no exit line")
                                                    : std::string("-");
            char head[96];
            std::snprintf(head, sizeof head, "    line %-6zu %-16s %12s  ", s.entryLine ? s.entryLine : s.exitLine, when.c_str(),
                          took.c_str());
            o += head + std::string(static_cast<size_t>(s.depth) * 2, ' ') + Utf8FromLog(s.name) + " (T:" +
                 std::to_string(s.tid) + ")\n";
        }
    }
    return o;
}

// ----------------------------------------------------------------------------------------------
// JSON

std::string Json(const std::string& utf8) {
    std::string o = "\"";
    for (char ch : utf8) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': o += "\\\""; break;
            case '\\': o += "\\\\"; break;
            case '\n': o += "\\n"; break;
            case '\r': o += "\\r"; break;
            case '\t': o += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    o += buffer;
                } else {
                    o += ch;
                }
        }
    }
    return o + "\"";
}

std::string JsonLog(const std::string& logText) { return Json(Utf8FromLog(logText)); }

std::string JsonLine(size_t line) { return line ? std::to_string(line) : "null"; }

// {"exit_code", "name", "line", "logged_exit_code"}, or null when the run's end is not in the
// log. exit_code is what the program ends with for such a run (README: exit codes).
std::string JsonOutcome(const kvlog::Run& run) {
    if (!run.outcome) return "null";
    const kv::InstallOutcomeRow& row = kv::OutcomeRow(*run.outcome);
    return "{\"exit_code\": " + std::to_string(row.exitCode) + ", \"name\": " + Json(row.name) +
           ", \"line\": " + std::to_string(run.outcomeLine) + ", \"logged_exit_code\": " +
           (run.loggedExitCode ? std::to_string(*run.loggedExitCode) : std::string("null")) + "}";
}

std::string JsonProgram(const ProgramRun& p) {
    return "{\"status\": " + Json(p.status) + ", \"line\": " + JsonLine(p.line) + ", \"note\": " +
           (p.note.empty() ? std::string("null") : JsonLog(p.note)) + "}";
}

std::string JsonReport(const std::string& name, const Report& r) {
    std::string o = "{\n  \"file\": " + Json(name) + ",\n";
    o += "  \"lines\": " + std::to_string(r.lineCount) + ",\n";
    o += "  \"log_lines\": " + std::to_string(r.logLineCount) + ",\n";
    o += "  \"last_line_cut\": " + std::string(r.lastLineCut ? "true" : "false") + ",\n";
    o += "  \"foreign_lines\": [";
    for (size_t i = 0; i < r.foreign.size(); ++i) {
        const ForeignLine& f = r.foreign[i];
        o += std::string(i ? "," : "") + "\n    {\"line\": " + std::to_string(f.number) + ", \"reason\": " + Json(f.reason) +
             ", \"text\": " + JsonLog(f.text) + "}";
    }
    o += r.foreign.empty() ? "],\n" : "\n  ],\n";
    o += "  \"runs\": [";
    for (size_t i = 0; i < r.runs.size(); ++i) {
        const Run& run = r.runs[i];
        o += std::string(i ? "," : "") + "\n    {\n";
        o += "      \"process\": " + JsonLog(run.process) + ",\n";
        o += "      \"pid\": " + std::to_string(run.pid) + ",\n";
        o += "      \"first_line\": " + std::to_string(run.firstLine) + ",\n";
        o += "      \"last_line\": " + std::to_string(run.lastLine) + ",\n";
        o += "      \"start\": " + Json(run.start.Text()) + ",\n";
        o += "      \"end\": " + Json(run.end.Text()) + ",\n";
        o += "      \"duration_ms\": " + std::to_string(run.end.Millis() - run.start.Millis()) + ",\n";
        o += "      \"start_in_log\": " + std::string(run.startInLog ? "true" : "false") + ",\n";
        o += "      \"ended\": " + std::string(run.ended ? "true" : "false") + ",\n";
        o += "      \"module_path\": " + (run.modulePath.empty() ? std::string("null") : JsonLog(run.modulePath)) + ",\n";
        o += "      \"module_version\": " + (run.hasModuleVersion ? JsonLog(run.moduleVersion) : std::string("null")) + ",\n";
        o += "      \"update_url\": " + (run.accessChecks.empty() ? std::string("null") : JsonLog(run.UpdateURL())) + ",\n";
        o += "      \"scheme\": " + (run.Scheme().empty() ? std::string("null") : Json(run.Scheme())) + ",\n";
        o += "      \"access_checks\": [";
        for (size_t k = 0; k < run.accessChecks.size(); ++k) {
            const kvlog::AccessCheck& c = run.accessChecks[k];
            o += std::string(k ? ", " : "") + "{\"line\": " + std::to_string(c.line) + ", \"host\": " + JsonLog(c.host) +
                 ", \"url\": " + JsonLog(c.url) + ", \"result\": " + Json(c.result) + "}";
        }
        o += "],\n      \"transfers\": [";
        for (size_t k = 0; k < run.transfers.size(); ++k) {
            const Transfer& t = run.transfers[k];
            o += std::string(k ? "," : "") + "\n        {\"item\": " + Json(t.item) + ", \"attempt\": " + std::to_string(t.attempt) +
                 ", \"line\": " + std::to_string(t.line) + ", \"url\": " + (t.url.empty() ? "null" : JsonLog(t.url)) +
                 ", \"target\": " + (t.target.empty() ? "null" : JsonLog(t.target)) +
                 ", \"size\": " + (t.size ? std::to_string(*t.size) : "null") +
                 ", \"size_failure\": " + (t.sizeNote.empty() ? "null" : JsonLog(t.sizeNote)) +
                 ", \"download_failure\": " + (t.downloadNote.empty() ? "null" : JsonLog(t.downloadNote)) +
                 ", \"http_status\": " + (t.statusNote.empty() ? "null" : JsonLog(t.statusNote)) +
                 ", \"proxy_credentials\": " + (t.proxyCredentials ? "true" : "false") +
                 ", \"resumed_at\": " + JsonNumbers(t.resumedAt) + ", \"waits_ms\": " + JsonNumbers(t.waitsMs) +
                 ", \"under_rate_floor\": " + (t.underRateFloor ? "true" : "false") +
                 ", \"result\": " + (t.result.empty() ? "null" : Json(t.result)) + ", \"outcome\": " + Json(t.outcome) +
                 ", \"signer\": " + (t.signerLine ? JsonLog(t.signer) : "null") + ", \"signer_line\": " + JsonLine(t.signerLine) +
                 ", \"revocation_note\": " + (t.revocationNote.empty() ? "null" : JsonLog(t.revocationNote)) +
                 ", \"refusal\": " +
                 (t.refusalLine ? "{\"line\": " + std::to_string(t.refusalLine) + ", \"message\": " + JsonLog(t.refusal) + "}"
                                : std::string("null")) + "}";
        }
        o += run.transfers.empty() ? "],\n" : "\n      ],\n";
        o += "      \"site_name\": " + (run.siteName ? JsonLog(*run.siteName) : std::string("null")) + ",\n";
        o += "      \"site_name_failure\": " + (run.siteNameNote.empty() ? std::string("null") : JsonLog(run.siteNameNote)) + ",\n";
        o += "      \"installer\": " + JsonProgram(run.installer) + ",\n";
        o += "      \"updater\": " + JsonProgram(run.updater) + ",\n";
        o += "      \"first_failure\": " +
             (run.firstFailureLine ? "{\"line\": " + std::to_string(run.firstFailureLine) + ", \"message\": " + JsonLog(run.firstFailure) + "}"
                                   : std::string("null")) + ",\n";
        o += "      \"outcome\": " + JsonOutcome(run) + ",\n";
        o += "      \"scopes\": [";
        for (size_t k = 0; k < run.scopes.size(); ++k) {
            const ScopeRecord& s = run.scopes[k];
            o += std::string(k ? "," : "") + "\n        {\"name\": " + JsonLog(s.name) + ", \"thread\": " + std::to_string(s.tid) +
                 ", \"depth\": " + std::to_string(s.depth) + ", \"entry_line\": " + JsonLine(s.entryLine) +
                 ", \"exit_line\": " + JsonLine(s.exitLine) + ", \"start\": " + (s.entryLine ? Json(s.start.Text()) : "null") +
                 ", \"end\": " + (s.exitLine ? Json(s.end.Text()) : "null") + ", \"duration_ms\": " +
                 (s.entryLine && s.exitLine ? std::to_string(s.DurationMillis()) : "null") + "}";
        }
        o += run.scopes.empty() ? "]\n" : "\n      ]\n";
        o += "    }";
    }
    o += r.runs.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return o;
}

// ----------------------------------------------------------------------------------------------
// Command line

struct Options {
    bool json = false;
    bool help = false;
    int file = -1;  // index of the log file argument
};

Options ParseArgs(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            o.json = true;
        } else if (a == "-h" || a == "--help" || a == "/?") {
            o.help = true;
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError{"unknown option " + a};
        } else if (o.file >= 0) {
            throw UsageError{"more than one log file"};
        } else {
            o.file = static_cast<int>(i);
        }
    }
    if (!o.help && o.file < 0) throw UsageError{"no log file"};
    return o;
}

bool ReadAll(FILE* f, std::string& out) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    return !std::ferror(f);
}

// args: the arguments as UTF-8; open: opens argument i for binary reading.
template <typename Open>
int Main(const std::vector<std::string>& args, Open open) {
    Options o;
    try {
        o = ParseArgs(args);
    } catch (const UsageError& e) {
        Write(stderr, "kvlog: " + e.message + "\n\n" + kUsage);
        return 2;
    }
    if (o.help) {
        Write(stdout, kUsage);
        return 0;
    }
    const std::string name = args[static_cast<size_t>(o.file)];
    std::string bytes;
    if (name == "-") {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        if (!ReadAll(stdin, bytes)) {
            Write(stderr, "kvlog: cannot read standard input\n");
            return 1;
        }
    } else {
        FILE* f = open(static_cast<size_t>(o.file));
        if (!f) {
            Write(stderr, "kvlog: cannot open " + name + ": " + std::strerror(errno) + "\n");
            return 1;
        }
        const bool ok = ReadAll(f, bytes);
        std::fclose(f);
        if (!ok) {
            Write(stderr, "kvlog: cannot read " + name + "\n");
            return 1;
        }
    }

    const Report report = ReadLog(bytes);
    Write(stdout, o.json ? JsonReport(name, report) : TextReport(name, report));
    std::fflush(stdout);
    if (report.logLineCount == 0) {
        Write(stderr, "kvlog: " + name + " holds no line in the setup's log format\n");
        return 3;
    }
    return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::wstring w(argv[i]);
        args.push_back(Utf8FromUtf16(std::u16string(w.begin(), w.end())));
    }
    return Main(args, [&](size_t i) { return _wfopen(argv[i + 1], L"rb"); });
}
#else
int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return Main(args, [&](size_t i) { return std::fopen(argv[i + 1], "rb"); });
}
#endif
