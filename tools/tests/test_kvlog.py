"""kvlog, native and Windows builds, over logs of the real program (tools/tests/logs/real-*.log,
written by tests/e2e/test_kvlog.py --capture with the facts of each run beside it), over those
logs damaged (a cut last line, a line cut where the next run was appended, foreign lines, LF
line ends), over logs of the check before a program starts (tools/tests/logs/checked-*.log:
signers, refusals under publisher pins, a revocation not known offline), and over small logs
built here line by line for the cases the real program gives only on a bad day.

Run by ctest with the build directory in KV_BUILD; the Windows build needs the project's Wine
prefix (scripts/test.sh provides it).
"""

import datetime
import json
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

from kvtestkit import kvlogfacts, kvtest

HERE = Path(__file__).resolve().parent
BUILD = kvtest.build_dir()
PREFIX = kvtest.wine_prefix()
LOGS = HERE / "logs"
NATIVE = kvlogfacts.native_kvlog(BUILD)
WINDOWS = kvlogfacts.windows_kvlog(BUILD)
TOOLS = [NATIVE, WINDOWS]

ENTRY = "() " + "<" * 43
EXIT = "() " + ">" * 43


def real_logs():
    """{name: (bytes, [facts of each run])} of the captured logs."""
    out = {}
    for facts_file in sorted(LOGS.glob("real-*.json")):
        with open(facts_file, encoding="utf-8") as f:
            facts = json.load(f)["runs"]
        out[facts_file.stem[len("real-"):]] = (facts_file.with_suffix(".log").read_bytes(), facts)
    return out


class LogBuilder:
    """A log of one process, line by line in the setup's format, each line 1 ms after the last
    unless told otherwise."""

    def __init__(self, process="KestrelVault_Setup.exe", pid=500, main_thread=504, worker=512,
                 start=datetime.datetime(2024, 5, 2, 9, 30, 0)):
        self.process, self.pid, self.main, self.worker = process, pid, main_thread, worker
        self.time = start
        self.lines = []  # (time, text)

    def _add(self, tid, rest, ms):
        self.time += datetime.timedelta(milliseconds=ms)
        stamp = self.time.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (self.time.microsecond // 1000)
        self.lines.append((self.time, "[%s][%s(%d), T:%d]%s" % (stamp, self.process, self.pid, tid, rest)))
        return len(self.lines)

    def enter(self, scope, tid=None, ms=1):
        return self._add(tid or self.main, scope + ENTRY, ms)

    def leave(self, scope, tid=None, ms=1):
        return self._add(tid or self.main, scope + EXIT, ms)

    def msg(self, text, tid=None, ms=1):
        return self._add(tid or self.main, ":    " + text, ms)

    def start(self, version="70.17.4.1201"):
        self.enter("CKestrelVault_SetupApp::InitInstance")
        self.msg("ModulePath: C:\\setup\\" + self.process)
        self.msg("ModuleVersion: " + version)

    def next_pressed(self, host, scheme="http", ok=True, proxy_refused=False):
        self.enter("CKestrelVault_SetupDlg::OnBnClickedNext")
        self.msg("ServerURL: " + host)
        self.msg("ConnectionURL: %s://%s" % (scheme, host))
        if proxy_refused:
            self.msg("Proxy asks for credentials (407)", ms=20)
        if not ok:
            self.msg("Server web connect fail___", ms=20)
        self.leave("CKestrelVault_SetupDlg::OnBnClickedNext")

    def size_query(self, outcome, flag="0x1"):
        """outcome: a size, or a failure line."""
        w = self.worker
        self.enter("KVDownloadDlg::GetWebFileSize", w)
        self.msg("openFlag: " + flag, w)
        self.msg("ServerFileSize: %d" % outcome if isinstance(outcome, int) else outcome, w, ms=5)
        self.leave("KVDownloadDlg::GetWebFileSize", w)

    def https_download(self, failure=None):
        w = self.worker
        self.enter("KVDownloadDlg::URLDownloadToFileOnHttps", w)
        self.msg("openFlag: 0x1001", w)
        self.msg(failure or "Local file open success.", w, ms=7)
        self.leave("KVDownloadDlg::URLDownloadToFileOnHttps", w)

    def data(self, line_end="\r\n"):
        return "".join(text + line_end for _, text in self.lines).encode("cp949")


def interleave(*builders):
    """Lines of several processes in the order of their stamps, as an append-mode log gets them."""
    merged = sorted((t, i, n, text) for i, b in enumerate(builders) for n, (t, text) in enumerate(b.lines))
    return "".join(text + "\r\n" for _, _, _, text in merged).encode("cp949")


class KvlogTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for f in (BUILD / "native" / "kvlog", BUILD / "kvlog.exe"):
            if not f.exists():
                raise RuntimeError("%s is missing: build first" % f)
        if not (PREFIX / "system.reg").exists():
            raise RuntimeError("no Wine prefix at %s: run through scripts/test.sh" % PREFIX)
        cls.real = real_logs()
        if set(cls.real) != {"complete", "failed", "cancelled", "appended"}:
            raise RuntimeError("tools/tests/logs lacks some real logs: %s" % sorted(cls.real))

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="kvlog-test-"))
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, data):
        path = self.dir / name
        path.write_bytes(data)
        return path

    def report(self, data, tool=NATIVE):
        return tool.json(self.write("log.txt", data))

    # -- real logs -----------------------------------------------------------------------------

    def test_real_logs_both_builds(self):
        for name, (data, facts) in self.real.items():
            reports = {}
            for tool in TOOLS:
                with self.subTest(log=name, build=tool.name):
                    reports[tool.name] = self.report(data, tool)
                    kvlogfacts.check_log(self, reports[tool.name], facts, data)
            with self.subTest(log=name, compare="builds"):
                for r in reports.values():
                    r.pop("file")
                self.assertEqual(reports["native"], reports["windows"])

    def test_text_report_tells_the_same(self):
        data, facts = self.real["appended"]
        path = self.write("appended.log", data)
        for tool in TOOLS:
            with self.subTest(build=tool.name):
                rc, out, err = tool.run(path)
                self.assertEqual((rc, err), (0, ""))
                self.assertIn(": 2 runs in %d lines; 0 not in the log format\n" % len(data.splitlines()), out)
                self.assertIn("\nRun 1 of 2: KestrelVault_Setup.exe, process ", out)
                run2 = out[out.index("\nRun 2 of 2:"):]
                complete = facts[1]
                self.assertIn('  Update URL:     "%s", scheme http\n' % complete["host"], run2)
                self.assertIn('  SiteName:       "%s" (line ' % complete["site_name"], run2)
                self.assertIn("  Installer:      ran (waited until it exited)", run2)
                self.assertIn("  Updater:        ran (waited until it exited)", run2)
                self.assertIn("  First failure:  none\n", run2)
                self.assertIn("descriptor: done; size %d\n" % complete["sizes"]["descriptor"], run2)
                self.assertIn("  Installer:      not reached\n", out[:out.index("\nRun 2 of 2:")])

    # -- the outcome and its exit code ---------------------------------------------------------

    def test_outcome_of_a_run_follows_the_exit_code_rule(self):
        w = 512
        update_fails = {
            "descriptor": ["kestrelvault_server.exe Download fail___"],
            "open": ["kestrelvault_server.exe Open fail___"],
            "xml": ["Wrong xml___"],
            "sitename": ["SiteName: ..\\x", "Invalid SiteName___"],
            "basedir": ["SiteName: Acme", "KestrelVault basedir create fail___"],
            "sitedir": ["SiteName: Acme", "Site dir create fail___"],
            "copy": ["SiteName: Acme", "kestrelvault_server.exe Copy fail___"],
            "updater": ["SiteName: Acme", "http://h/app/update/KVUpdate.exe Download fail___"],
            "updater copy": ["SiteName: Acme", "KVUpdate.exe Copy fail___(err: 80)"],
            "updater refused": ["SiteName: Acme", "Signer: none",
                                "KVUpdate.exe unsigned while publishers are pinned, removed, not started___"],
            "updater not started": ["SiteName: Acme"],
            "updater no box": ["SiteName: Acme", "KVUpdate.exe ShellExecuteEx fail___(err: 193)"],
            # Builds that start programs with CreateProcessW log a failed start in both modes.
            "updater start failed": ["SiteName: Acme", "Signer: none", "KVUpdate.exe CreateProcess fail___(err: 193)"],
            "updater held after a retry": ["SiteName: Acme",
                                           "KVUpdate.exe in use by another program (err: 32), held again in 250 ms (retry 1 of 5)",
                                           "Signer: none", "KVUpdate.exe run Success..."],
            "updater wait failed": ["SiteName: Acme", "KVUpdate.exe run Fail___"],
            "updater not a program": ["SiteName: Acme", "KVUpdate.exe not a program (no PE image), removed, not started___"],
            # A page in front of the server: no value line, or an empty value.
            "sitename missing": ["SiteName missing___"],
            "sitename empty": ["SiteName: ", "SiteName empty___"],
            "ran": ["SiteName: Acme", "KVUpdate.exe run Success..."],
        }
        installer_ends = {
            "ran": ["KestrelVAULT ActiveX 7i_ko.exe run Success..."],
            "restart": ["KestrelVAULT ActiveX 7i_ko.exe run Success...",
                        "KestrelVAULT ActiveX 7i_ko.exe asks for a restart (exit code 3010)."],
            "not started": [],
            "no box": ["KestrelVAULT ActiveX 7i_ko.exe ShellExecuteEx fail___(err: 2)"],
            "start failed": ["Signer: none", "KestrelVAULT ActiveX 7i_ko.exe CreateProcess fail___(err: 193)"],
            "held after retries": [
                "KestrelVAULT ActiveX 7i_ko.exe in use by another program (err: 32), held again in 250 ms (retry 1 of 5)",
                "KestrelVAULT ActiveX 7i_ko.exe in use by another program (err: 33), held again in 500 ms (retry 2 of 5)",
                "Signer: none", "KestrelVAULT ActiveX 7i_ko.exe run Success..."],
            "wait failed": ["KestrelVAULT ActiveX 7i_ko.exe run Fail___"],
        }

        def steps(b, installer="ran", update="ran", obtained=True, refused=0):
            b.enter("KVDownloadDlg::InstallActiveX", w, ms=300)
            if installer == "no address":
                b.msg("UpdateURL is empty___", w)
                b.leave("KVDownloadDlg::InstallActiveX", w)
                return
            # refused: attempts whose file arrived (result 0) and was refused by its check.
            for k in range(refused + 1 if obtained else 5):
                b.msg("ServerFilePath: http://h/app/KestrelVAULT ActiveX 7i_ko.exe", w)
                b.msg("URLDownloadToFile ret: " + ("0x00000000" if obtained or k < refused else "0x800c0005"), w)
                if k < refused:
                    b.msg("Signer: CN=Other Publisher " + "AB" * 32, w)
                    b.msg("KestrelVAULT ActiveX 7i_ko.exe signer not pinned, removed, not started___", w)
            for line in installer_ends[installer]:
                b.msg(line, w)
            b.leave("KVDownloadDlg::InstallActiveX", w)
            b.enter("KVDownloadDlg::RunKVUpdate", w)
            for line in update_fails[update]:
                b.msg(line, w)
            b.leave("KVDownloadDlg::RunKVUpdate", w)

        def log(*parts, ended=True, logged=None):
            b = LogBuilder()
            b.start()
            for part in parts:
                if part == "check fails":
                    b.next_pressed("h", ok=False)
                elif part == "proxy refuses":
                    b.next_pressed("h", ok=False, proxy_refused=True)
                elif part is not None:
                    b.next_pressed("h")
                    steps(b, **part)
            if logged is not None:
                b.msg("ExitCode: %d" % logged)
            if ended:
                b.leave("CKestrelVault_SetupApp::InitInstance")
            return b.data()

        SU = "site directory not prepared"
        cases = [
            ("cancelled on the first page", log(), 1602, "left by the user"),
            ("a failed check, then left", log("check fails"), 10, "server unreachable at the check"),
            ("the proxy asks for credentials, then left", log("proxy refuses"), 11, "the proxy refused the request"),
            ("unreachable, then the proxy asks for credentials", log("check fails", "proxy refuses"), 11,
             "the proxy refused the request"),
            ("the proxy asks for credentials, then unreachable", log("proxy refuses", "check fails"), 10,
             "server unreachable at the check"),
            ("the proxy asks for credentials, then a complete run", log("proxy refuses", {}), 0, "done"),
            ("a failed check, then a complete run", log("check fails", {}), 0, "done"),
            ("complete", log({}), 0, "done"),
            ("the installer asks for a restart", log({"installer": "restart"}), 3010, "done, restart needed"),
            ("a restart does not hide a later failure", log({"installer": "restart", "update": "updater"}), 40,
             "updater not obtained"),
            ("five failed attempts decide although the update step went on",
             log({"installer": "not started", "obtained": False}), 20, "installer not obtained"),
            ("an old file ran after five failed attempts", log({"obtained": False}), 20, "installer not obtained"),
            ("five files that arrived, each refused by its check",
             log({"installer": "not started", "obtained": False, "refused": 5}), 20, "installer not obtained"),
            ("five failed attempts, the first two refused by their check",
             log({"installer": "not started", "obtained": False, "refused": 2}), 20, "installer not obtained"),
            ("two files refused by their check, the third cleared and run", log({"refused": 2}), 0, "done"),
            ("a refused file, then a cleared one that does not start", log({"installer": "no box", "refused": 1}),
             21, "installer launch failed"),
            ("the launch failed by hand (no line)", log({"installer": "not started"}), 21, "installer launch failed"),
            ("the launch failed unattended", log({"installer": "no box"}), 21, "installer launch failed"),
            ("the start failed (CreateProcess)", log({"installer": "start failed"}), 21, "installer launch failed"),
            ("a retried hold is no failure", log({"installer": "held after retries"}), 0, "done"),
            ("no process to wait for", log({"installer": "wait failed"}), 21, "installer launch failed"),
            ("no access address", log({"installer": "no address"}), 10, "no access address"),
        ] + [("update step: " + k, log({"update": k}), code, name) for k, code, name in [
            ("descriptor", 30, "site descriptor not obtained or unreadable"),
            ("open", 30, "site descriptor not obtained or unreadable"),
            ("xml", 30, "site descriptor not obtained or unreadable"),
            ("sitename", 31, "SiteName refused"),
            ("basedir", 32, SU), ("sitedir", 32, SU), ("copy", 32, SU),
            ("updater", 40, "updater not obtained"),
            ("updater copy", 40, "updater not obtained"),
            ("updater refused", 40, "updater not obtained"),
            ("updater not started", 41, "updater launch failed"),
            ("updater no box", 41, "updater launch failed"),
            ("updater start failed", 41, "updater launch failed"),
            ("updater held after a retry", 0, "done"),
            ("updater wait failed", 41, "updater launch failed"),
            ("updater not a program", 40, "updater not obtained"),
            ("sitename missing", 30, "site descriptor not obtained or unreadable"),
            ("sitename empty", 30, "site descriptor not obtained or unreadable"),
        ]] + [
            ("back after a failed run, then a complete one", log({"obtained": False, "installer": "not started"}, {}),
             0, "done"),
            ("the last run of the steps decides", log({}, {"update": "descriptor"}), 30,
             "site descriptor not obtained or unreadable"),
        ]
        for why, data, code, name in cases:
            with self.subTest(why):
                outcome = self.report(data)["runs"][0]["outcome"]
                self.assertEqual((outcome["exit_code"], outcome["name"], outcome["logged_exit_code"]), (code, name, None))
                line = kvlogfacts.log_lines(data)[outcome["line"] - 1]
                self.assertIn("(500), T:", line)

        with self.subTest("a failed start's error is explained in the text"):
            for tool in TOOLS:
                rc, out, _ = tool.run(self.write("start.log", log({"installer": "start failed"})))
                self.assertIn(": KestrelVAULT ActiveX 7i_ko.exe CreateProcess fail___(err: 193) "
                              "(not a valid program for Windows)\n", out)
        with self.subTest("a check the proxy refused is named as such, in both reports"):
            data = log("check fails", "proxy refuses")
            checks = self.report(data)["runs"][0]["access_checks"]
            self.assertEqual([c["result"] for c in checks], ["failed", "proxy refused"])
            for tool in TOOLS:
                rc, out, _ = tool.run(self.write("proxy.log", data))
                self.assertIn(": http://h: proxy refused\n", out)
        with self.subTest("a run whose end is not in the log has no outcome"):
            self.assertIsNone(self.report(log({}, ended=False))["runs"][0]["outcome"])
        with self.subTest("the program's own exit code line, and a disagreement told in the text"):
            data = log({}, logged=0)
            self.assertEqual(self.report(data)["runs"][0]["outcome"]["logged_exit_code"], 0)
            for tool in TOOLS:
                rc, out, _ = tool.run(self.write("disagree.log", log({"update": "xml"}, logged=0)))
                self.assertIn("  Outcome:        exit code 30: site descriptor not obtained or unreadable (line ", out)
                self.assertIn("; but the program logged exit code 0\n", out)

    def test_answers_refused_for_their_status(self):
        """The size query's and the downloads' "HTTP status N" lines (with Retry-After, and a
        proxy's 407) are the transfer's reason, in the JSON and the text, both builds."""
        w = 512
        b = LogBuilder()
        b.start()
        b.next_pressed("h", scheme="https")
        b.enter("KVDownloadDlg::InstallActiveX", w, ms=300)
        b.msg("ServerFilePath: https://h/app/KestrelVAULT ActiveX 7i_ko.exe", w)
        b.enter("KVDownloadDlg::GetWebFileSize", w)
        b.msg("openFlag: 0x4001001", w)
        b.msg("HTTP status 407", w)
        b.msg("Proxy asks for credentials (407)", w)
        b.leave("KVDownloadDlg::GetWebFileSize", w)
        b.https_download("HttpStatus fail___(status: 407)")
        b.msg("URLDownloadToFile ret: 0x800c0008", w)
        b.msg("KestrelVAULT ActiveX 7i.exe Download fail_ and continue loop.", w)
        b.msg("KestrelVAULT ActiveX 7i_ko.exe not obtained, not started___", w)
        b.leave("KVDownloadDlg::InstallActiveX", w)
        b.enter("KVDownloadDlg::RunKVUpdate", w)
        b.size_query(1234)
        # The http path's own scope, for the status of the answer it refused.
        b.enter("KVDownloadDlg::URLDownloadToFile", w)
        b.msg("HTTP status 503, Retry-After: 20", w)
        b.leave("KVDownloadDlg::URLDownloadToFile", w)
        b.msg("kestrelvault_server.exe Download fail___", w)
        b.leave("KVDownloadDlg::RunKVUpdate", w)
        b.leave("CKestrelVault_SetupApp::InitInstance")
        data = b.data()
        for tool in TOOLS:
            with self.subTest(tool=str(tool)):
                run = self.report(data, tool)["runs"][0]
                installer, descriptor = run["transfers"]
                self.assertEqual((installer["item"], installer["http_status"], installer["proxy_credentials"]),
                                 ("installer", "HTTP status 407", True))
                self.assertEqual(installer["size_failure"], "HTTP status 407")
                self.assertIsNone(installer["size"])
                self.assertEqual((descriptor["item"], descriptor["size"], descriptor["http_status"],
                                  descriptor["download_failure"], descriptor["proxy_credentials"]),
                                 ("descriptor", 1234, "HTTP status 503, Retry-After: 20",
                                  "HTTP status 503, Retry-After: 20", False))
                self.assertEqual(run["outcome"]["exit_code"], 20)
                rc, out, _ = tool.run(self.write("status.log", data))
                self.assertEqual(rc, 0)
                self.assertIn("size query: HTTP status 407", out)
                self.assertIn("the proxy asks for credentials (407)", out)
                self.assertIn("download: HTTP status 503, Retry-After: 20", out)

    # -- the check before a program starts ----------------------------------------------------

    def test_signers_and_refusals(self):
        pub = "CN=KestrelVault Test Publisher, O=Kestrel Test, C=KR " \
              "6D1F0C2B9A7E43F58812C0DE5B7A9E31F04C6A2D8B3E9F1075C4A1D2E3F4B5C6"
        other = "CN=Other Publisher, O=Elsewhere Ltd, C=US " \
                "A0B1C2D3E4F5061728394A5B6C7D8E9FA0B1C2D3E4F5061728394A5B6C7D8E9F"
        ax = "KestrelVAULT ActiveX 7i_ko.exe"
        not_verified = ax + " signature does not verify (0x80096010), removed, not started___"
        offline = " signer's revocation not known offline (0x80092013), accepted"
        # fixture: ([(item, attempt, outcome, signer, revocation note, refusal)], installer (status, note),
        #           updater (status, note), (exit code, name), the refusal the text report explains)
        cases = {
            "installer-refused-twice": (
                [("installer", 1, "refused", other, None, ax + " signer not pinned, removed, not started___"),
                 ("installer", 2, "refused", "none", None, ax + " unsigned while publishers are pinned, removed, not started___"),
                 ("installer", 3, "done", pub, None, None),
                 ("descriptor", 1, "done", None, None, None),
                 ("updater", 1, "done", pub, None, None)],
                ("ran", ax + " run Success..."), ("ran", "KVUpdate.exe run Success..."), (0, "done"), None),
            "five-refused": (
                [("installer", 1, "refused", None, None, ax + " could not be held for its check (err: 32), not started___")] +
                [("installer", n, "refused", pub, None, not_verified) for n in range(2, 6)] +
                [("descriptor", 1, "done", None, None, None), ("updater", 1, "done", pub, None, None)],
                ("not started", ax + " not obtained, not started___"), ("ran", "KVUpdate.exe run Success..."),
                (20, "installer not obtained"),
                not_verified + " (TRUST_E_BAD_DIGEST: the file was changed after it was signed)"),
            "updater-refused": (
                [("installer", 1, "done", pub, None, None), ("descriptor", 1, "done", None, None, None),
                 ("updater", 1, "refused", other, None, "KVUpdate.exe signer not pinned, removed, not started___")],
                ("ran", ax + " run Success..."), ("refused", "KVUpdate.exe signer not pinned, removed, not started___"),
                (40, "updater not obtained"), None),
            "revocation-offline": (
                [("installer", 1, "done", pub, ax + offline, None), ("descriptor", 1, "done", None, None, None),
                 ("updater", 1, "done", pub, "KVUpdate.exe" + offline, None)],
                ("ran", ax + " run Success..."), ("ran", "KVUpdate.exe run Success..."), (0, "done"), None),
        }
        for name, (transfers, installer, updater, outcome, explained) in cases.items():
            data = (LOGS / ("checked-%s.log" % name)).read_bytes()
            lines = kvlogfacts.log_lines(data)
            reports = {}
            for tool in TOOLS:
                with self.subTest(log=name, build=tool.name):
                    report = reports[tool.name] = self.report(data, tool)
                    self.assertEqual(report["foreign_lines"], [])
                    run, = report["runs"]
                    self.assertEqual([(t["item"], t["attempt"], t["outcome"], t["signer"], t["revocation_note"],
                                       t["refusal"] and t["refusal"]["message"]) for t in run["transfers"]], transfers)
                    for t in run["transfers"]:
                        if t["signer"] is not None:
                            self.assertTrue(lines[t["signer_line"] - 1].endswith(":    Signer: " + t["signer"]), t)
                        if t["refusal"]:
                            self.assertTrue(lines[t["refusal"]["line"] - 1].endswith(":    " + t["refusal"]["message"]), t)
                            self.assertGreater(t["refusal"]["line"], t["line"])
                    self.assertEqual((run["installer"]["status"], run["installer"]["note"]), installer)
                    self.assertEqual((run["updater"]["status"], run["updater"]["note"]), updater)
                    self.assertEqual((run["outcome"]["exit_code"], run["outcome"]["name"]), outcome)
                    self.assertEqual(run["outcome"]["logged_exit_code"], outcome[0], "the program's own line agrees")
                    refusals = [t["refusal"] for t in run["transfers"] if t["refusal"]]
                    if refusals:
                        self.assertEqual(run["first_failure"], refusals[0], "the first refusal is the first failure")
                    else:
                        self.assertIsNone(run["first_failure"])
                    kvlogfacts.check_lines(self, run, lines)
                    kvlogfacts.check_scopes(self, run)

                    # The text report shows each program's signer and refusal under its transfer.
                    rc, out, err = tool.run(self.write("checked.log", data))
                    self.assertEqual((rc, err), (0, ""))
                    shown = out[out.index("  Transfers:\n"):out.index("  SiteName:")]
                    for t in run["transfers"]:
                        if t["signer"] is not None:
                            self.assertIn("      Signer: %s (line %d)\n" % (t["signer"], t["signer_line"]), shown)
                        if t["revocation_note"]:
                            self.assertIn("      %s (CRYPT_E_REVOCATION_OFFLINE: " % t["revocation_note"], shown)
                        if t["refusal"]:
                            self.assertIn("      Refused: %s" % t["refusal"]["message"], shown)
                            self.assertIn(" (line %d)\n" % t["refusal"]["line"], shown)
                    self.assertEqual(shown.count("Signer: "), sum(t["signer"] is not None for t in run["transfers"]))
                    self.assertEqual(shown.count("Refused: "), len(refusals))
                    if explained:
                        self.assertIn("      Refused: %s (line " % explained, shown)
                    self.assertIn("  Outcome:        exit code %d: %s (line " % outcome, out)
                    if updater[0] == "refused":
                        self.assertIn("  Updater:        refused: %s (line %d)\n" % (updater[1], run["updater"]["line"]), out)
            with self.subTest(log=name, compare="builds"):
                for r in reports.values():
                    r.pop("file")
                self.assertEqual(reports["native"], reports["windows"])

    # -- damaged logs --------------------------------------------------------------------------

    def test_last_line_cut_off(self):
        data, facts = self.real["complete"]
        clean = self.report(data)["runs"][0]
        lines = data.split(b"\r\n")[:-1]
        cut = b"\r\n".join(lines[:-1]) + b"\r\n" + lines[-1][:len(lines[-1]) // 2]
        report = self.report(cut)
        self.assertTrue(report["last_line_cut"])
        self.assertEqual([(f["line"], f["reason"]) for f in report["foreign_lines"]],
                         [(len(lines), "cut off: the file ends inside this line")])
        run = report["runs"][0]
        self.assertFalse(run["ended"])
        self.assertIsNone(run["scopes"][0]["exit_line"], "the start-up scope's exit was in the cut line")
        for key in ("update_url", "scheme", "access_checks", "transfers", "site_name", "installer", "updater",
                    "first_failure", "module_version"):
            self.assertEqual(run[key], clean[key], key)

    def test_line_cut_where_the_next_run_was_appended(self):
        # A run killed while writing leaves half a line; the next run appends right after it.
        failed, failed_facts = self.real["failed"]
        complete, complete_facts = self.real["complete"]
        lines = failed.split(b"\r\n")
        k = next(i for i, line in enumerate(lines) if line.count(b"ServerFilePath") and i > len(lines) // 3)
        fragment = lines[k][:len(lines[k]) // 2]
        glued = b"\r\n".join(lines[:k]) + b"\r\n" + fragment + complete
        report = self.report(glued)
        self.assertEqual([(f["line"], f["reason"]) for f in report["foreign_lines"]],
                         [(k + 1, "cut off: the next line starts inside it")])
        self.assertEqual(report["foreign_lines"][0]["text"], fragment.decode("cp949"))
        first, second = report["runs"]
        self.assertFalse(first["ended"])
        self.assertEqual([t["outcome"] for t in first["transfers"]], ["failed"] * len(first["transfers"]))
        self.assertEqual(len(first["transfers"]), sum(b"URLDownloadToFile ret" in line for line in lines[:k]))
        self.assertEqual(first["installer"]["status"], "unknown")
        kvlogfacts.check_run(self, second, complete_facts[0], kvlogfacts.log_lines(glued))

    def test_foreign_lines_are_counted_and_skipped(self):
        data, facts = self.real["complete"]
        lines = data.split(b"\r\n")[:-1]
        inserts = [
            # position in the damaged file (1-based), line, reason kvlog gives
            (1, b"Setup log of the 3rd floor, collected by IT", "no line header"),
            (5, b"", "no line header"),
            (9, b"\0\0\0\0\0\0\0\0", "no line header"),
            (12, b"[2024-05-02 09:30:00.000][other.exe(1), T:2]SomeScope() <<<<<", "line header without a valid rest"),
            (len(lines) + 5, "세션 종료".encode("cp949"), "no line header"),
        ]
        damaged = list(lines)
        for at, line, _ in inserts:
            damaged.insert(at - 1, line)
        damaged_data = b"\r\n".join(damaged) + b"\r\n"
        report = self.report(damaged_data)
        self.assertEqual([(f["line"], f["reason"]) for f in report["foreign_lines"]],
                         [(at, reason) for at, _, reason in inserts])
        self.assertEqual(report["foreign_lines"][-1]["text"], "세션 종료")
        self.assertEqual(report["log_lines"], len(lines))
        kvlogfacts.check_run(self, report["runs"][0], facts[0], kvlogfacts.log_lines(damaged_data))

        # The text report shows them with their line numbers.
        rc, out, _ = NATIVE.run(self.write("damaged.log", damaged_data))
        self.assertEqual(rc, 0)
        self.assertIn("; 5 not in the log format\n", out)
        self.assertIn('  line 1: no line header: "Setup log of the 3rd floor, collected by IT"\n', out)

    def test_lf_line_ends_read_the_same(self):
        data, facts = self.real["appended"]
        report = self.report(data.replace(b"\r\n", b"\n"))
        kvlogfacts.check_log(self, report, facts)

    def test_log_of_foreign_text_only(self):
        for tool in TOOLS:
            with self.subTest(build=tool.name):
                rc, out, err = tool.run(self.write("notes.txt", b"not a log\r\nat all\r\n"))
                self.assertEqual(rc, 3)
                self.assertIn("holds no line in the setup's log format", err)
                self.assertIn("0 runs in 2 lines; 2 not in the log format", out)

    # -- logs built line by line ---------------------------------------------------------------

    def test_edge_cases(self):
        for name, build, check in self.edge_cases():
            with self.subTest(name):
                data = build()
                report = self.report(data)
                self.assertEqual(report["foreign_lines"], [])
                check(report["runs"], kvlogfacts.log_lines(data))

    def edge_cases(self):
        """(what, builder of the log bytes, check of the runs kvlog reads)."""
        cases = []

        def steps_with_refusals():
            b = LogBuilder()
            b.start()
            b.next_pressed("vault.example.test")
            w = b.worker
            b.enter("KVDownloadDlg::InstallActiveX", w, ms=300)
            for result in ("0x00000001", "0x00000000"):
                b.msg("ServerFilePath: http://vault.example.test/app/KestrelVAULT ActiveX 7i_ko.exe", w)
                b.msg("DownFilePath: C:\\Temp\\KestrelVAULT ActiveX 7i_ko.exe", w)
                b.size_query(42)
                b.msg("URLDownloadToFile ret: " + result, w, ms=30)
                b.msg("KestrelVAULT ActiveX 7i.exe Download Success...", w)
            self.wait_fail = b.msg("KestrelVAULT ActiveX 7i_ko.exe run Fail___", w)
            b.leave("KVDownloadDlg::InstallActiveX", w)
            b.enter("KVDownloadDlg::RunKVUpdate", w)
            b.size_query(17)
            b.msg("SiteName: ..\\elsewhere", w)
            b.msg("Invalid SiteName___", w)
            b.leave("KVDownloadDlg::RunKVUpdate", w)
            b.leave("CKestrelVault_SetupApp::InitInstance", ms=500)
            return b.data()

        def check_refusals(runs, lines):
            run, = runs
            self.assertEqual([(t["item"], t["attempt"], t["outcome"], t["size"]) for t in run["transfers"]],
                             [("installer", 1, "not 0", 42), ("installer", 2, "done", 42), ("descriptor", 1, "done", 17)])
            self.assertEqual(run["installer"]["status"], "wait failed")
            self.assertEqual((run["site_name"], run["site_name_failure"]), ("..\\elsewhere", "Invalid SiteName___"))
            self.assertEqual((run["updater"]["status"], run["updater"]["note"]), ("not reached", "Invalid SiteName___"))
            self.assertEqual(run["first_failure"], {"line": self.wait_fail, "message": "KestrelVAULT ActiveX 7i_ko.exe run Fail___"})
            kvlogfacts.check_lines(self, run, lines)
        cases.append(("a result that is not 0, a failed wait, a refused SiteName", steps_with_refusals, check_refusals))

        def signer_like_a_failure():
            b = LogBuilder()
            b.start()
            b.next_pressed("vault.example.test")
            w = b.worker
            b.enter("KVDownloadDlg::InstallActiveX", w, ms=300)
            b.msg("ServerFilePath: http://vault.example.test/app/KestrelVAULT ActiveX 7i_ko.exe", w)
            b.size_query(42)
            b.msg("URLDownloadToFile ret: 0x00000000", w)
            self.odd_signer = "CN=Fail___ fail_ Exception: Corp " + "0F" * 32
            b.msg("Signer: " + self.odd_signer, w)
            b.msg("KestrelVAULT ActiveX 7i_ko.exe run Success...", w)
            b.leave("KVDownloadDlg::InstallActiveX", w)
            b.leave("CKestrelVault_SetupApp::InitInstance")
            return b.data()

        def check_odd_signer(runs, lines):
            run, = runs
            t, = run["transfers"]
            self.assertEqual((t["outcome"], t["signer"], t["refusal"]), ("done", self.odd_signer, None))
            self.assertEqual(run["installer"]["status"], "ran")
            self.assertIsNone(run["first_failure"], "a signer's subject is no failure line")
        cases.append(("a signer whose subject reads like a failure line", signer_like_a_failure, check_odd_signer))

        def three_presses():
            b = LogBuilder()
            b.start()
            b.next_pressed("vault.example.tset", ok=False)
            b.enter("CKestrelVault_SetupDlg::OnBnClickedNext")  # Next disabled: nothing but the scope
            b.leave("CKestrelVault_SetupDlg::OnBnClickedNext")
            b.next_pressed("vault.example.test:8443", scheme="https")
            b.leave("CKestrelVault_SetupApp::InitInstance")
            return b.data()

        def check_presses(runs, lines):
            run, = runs
            self.assertEqual([(c["host"], c["result"]) for c in run["access_checks"]],
                             [("vault.example.tset", "failed"), ("", "not run"), ("vault.example.test:8443", "ok")])
            self.assertEqual((run["update_url"], run["scheme"]), ("vault.example.test:8443", "https"))
            self.assertEqual(run["first_failure"]["message"], "Server web connect fail___")
            kvlogfacts.check_lines(self, run, lines)
        cases.append(("a failed access check, Next while disabled, then a good one", three_presses, check_presses))

        def compatibility(second):
            def build():
                b = LogBuilder()
                b.enter("CKestrelVault_SetupApp::InitInstance")
                b.enter("CKestrelVault_SetupApp::WriteRegcompatibility")
                self.open_fail = b.msg("regKey.Open fail_(funcRet: 0x2)")
                b.msg(second)
                b.leave("CKestrelVault_SetupApp::WriteRegcompatibility")
                b.msg("(Convert to ansi fail)")
                b.leave("CKestrelVault_SetupApp::InitInstance")
                return b.data()
            return build

        def check_recovered(runs, lines):
            self.assertIsNone(runs[0]["first_failure"], "a created key is the normal first run")

        def check_not_recovered(runs, lines):
            self.assertEqual(runs[0]["first_failure"], {"line": self.open_fail, "message": "regKey.Open fail_(funcRet: 0x2)"})
        cases.append(("missing compatibility key, created", compatibility("regKey.Create success."), check_recovered))
        cases.append(("missing compatibility key, not created", compatibility("regKey.Create fail_(funcRet: 0x5)"),
                      check_not_recovered))

        def https_updater_refused():
            b = LogBuilder(process="설치 (2).exe")
            b.start()
            b.next_pressed("vault.example.test", scheme="https")
            w = b.worker
            b.enter("KVDownloadDlg::RunKVUpdate", w)
            b.size_query(17, "0x1001")
            b.https_download()
            b.msg("SiteName: 케스트렐", w)
            for _ in range(2):
                b.enter("AddFileAccessAllowedRights", w)
                b.leave("AddFileAccessAllowedRights", w)
            b.size_query("HttpFile QueryInfo fail___(LaseErr:12150)", "0x1001")
            b.https_download("Exception: 12029")
            b.msg("https://vault.example.test/app/update/KVUpdate.exe Download fail___", w)
            b.leave("KVDownloadDlg::RunKVUpdate", w)
            b.leave("CKestrelVault_SetupApp::InitInstance")
            return b.data()

        def check_https(runs, lines):
            run, = runs
            self.assertEqual(run["process"], "설치 (2).exe")
            self.assertEqual(run["site_name"], "케스트렐")
            descriptor, updater = run["transfers"]
            self.assertEqual((descriptor["item"], descriptor["outcome"], descriptor["size"]), ("descriptor", "done", 17))
            self.assertEqual((updater["item"], updater["outcome"], updater["url"]),
                             ("updater", "failed", "https://vault.example.test/app/update/KVUpdate.exe"))
            self.assertEqual((updater["size_failure"], updater["download_failure"]),
                             ("HttpFile QueryInfo fail___(LaseErr:12150)", "Exception: 12029"))
            self.assertEqual(run["updater"]["status"], "not reached")
            self.assertEqual(run["first_failure"]["message"], "HttpFile QueryInfo fail___(LaseErr:12150)")
            kvlogfacts.check_lines(self, run, lines)
        cases.append(("https, updater refused, Hangul name and parentheses in the process name",
                      https_updater_refused, check_https))

        def resumed_waited_and_too_slow():
            b = LogBuilder()
            b.start()
            b.next_pressed("vault.example.test")
            w = b.worker
            b.enter("KVDownloadDlg::InstallActiveX", w, ms=300)
            for attempt, (facts, result) in enumerate(((["Transfer rate under 1024 bytes/s over 60 s___"], "0x80002ee2"),
                                                       (["Transfer resumed at 120 of 300"], "0x80002f1f"),
                                                       (["Transfer resumed at 240 of 300"], "0x00000000"))):
                if attempt:
                    b.msg("Next attempt in %d ms%s" % (2000 * attempt, " (Retry-After: 3)" if attempt == 2 else ""), w)
                b.msg("ServerFilePath: http://vault.example.test/app/KestrelVAULT ActiveX 7i_ko.exe", w)
                b.msg("DownFilePath: C:\\Temp\\KestrelVAULT ActiveX 7i_ko.exe", w)
                b.size_query(300)
                for fact in facts:
                    b.msg(fact, w)
                b.msg("URLDownloadToFile ret: " + result, w, ms=30)
                b.msg("KestrelVAULT ActiveX 7i.exe Download %s" % ("Success..." if result == "0x00000000"
                                                                   else "fail_ and continue loop."), w)
            b.msg("Signer: none", w)
            b.msg("KestrelVAULT ActiveX 7i_ko.exe run Success...", w)
            b.leave("KVDownloadDlg::InstallActiveX", w)
            b.leave("CKestrelVault_SetupApp::InitInstance", ms=500)
            return b.data()

        def check_resumed(runs, lines):
            run, = runs
            self.assertEqual([(t["attempt"], t["outcome"], t["resumed_at"], t["waits_ms"], t["under_rate_floor"])
                              for t in run["transfers"]],
                             [(1, "failed", [], [2000], True), (2, "failed", [120], [4000], False),
                              (3, "done", [240], [], False)])
            kvlogfacts.check_lines(self, run, lines)
        cases.append(("a transfer under the rate floor, waits, resumed attempts", resumed_waited_and_too_slow,
                      check_resumed))

        def launch_failed():
            b = LogBuilder()
            b.start()
            b.next_pressed("vault.example.test")
            w = b.worker
            b.enter("KVDownloadDlg::RunKVUpdate", w)
            b.size_query(17)
            b.msg("SiteName: Acme", w)
            b.size_query(99)
            b.leave("KVDownloadDlg::RunKVUpdate", w)
            b.leave("CKestrelVault_SetupApp::InitInstance")
            return b.data()

        def check_launch(runs, lines):
            run, = runs
            self.assertEqual([(t["item"], t["outcome"]) for t in run["transfers"]], [("descriptor", "done"), ("updater", "done")])
            self.assertEqual(run["updater"]["status"], "not started")
            self.assertIsNone(run["first_failure"])
        cases.append(("updater fetched but not started", launch_failed, check_launch))

        def begins_and_ends_inside_runs():
            # The file was emptied while one run went on; the next run was killed mid-transfer.
            a = LogBuilder()
            w = a.worker
            a.msg("KestrelVAULT ActiveX 7i_ko.exe run Success...", w)
            a.leave("KVDownloadDlg::InstallActiveX", w)
            a.leave("CKestrelVault_SetupApp::InitInstance")
            b = LogBuilder(pid=600, start=a.time + datetime.timedelta(seconds=5))
            b.start()
            b.next_pressed("vault.example.test")
            b.enter("KVDownloadDlg::RunKVUpdate", b.worker)
            b.size_query(17)
            return a.data() + b.data()

        def check_partial(runs, lines):
            first, second = runs
            self.assertFalse(first["start_in_log"])
            self.assertTrue(first["ended"])
            self.assertEqual([(s["name"], s["entry_line"], s["depth"]) for s in first["scopes"]],
                             [("KVDownloadDlg::InstallActiveX", None, 0), ("CKestrelVault_SetupApp::InitInstance", None, 0)])
            self.assertEqual(first["installer"]["status"], "not reached", "the step's entry is not in the log")
            self.assertTrue(second["start_in_log"])
            self.assertFalse(second["ended"])
            self.assertEqual([(t["item"], t["outcome"]) for t in second["transfers"]], [("descriptor", "unknown")])
            self.assertEqual(second["updater"]["status"], "unknown")
            self.assertEqual([s["exit_line"] for s in second["scopes"] if s["name"] == "KVDownloadDlg::RunKVUpdate"], [None])
        cases.append(("a log that begins inside one run and ends inside the next", begins_and_ends_inside_runs,
                      check_partial))

        def two_processes():
            a = LogBuilder(pid=700, main_thread=704, worker=710)
            b = LogBuilder(pid=800, main_thread=804, worker=810, start=a.time + datetime.timedelta(milliseconds=2))
            for builder, host in ((a, "a.example.test"), (b, "b.example.test")):
                builder.start()
                builder.next_pressed(host)
                builder.enter("KVDownloadDlg::RunKVUpdate", builder.worker)
                builder.size_query(len(host))
                builder.msg("SiteName: " + host.split(".")[0], builder.worker)
                builder.leave("KVDownloadDlg::RunKVUpdate", builder.worker)
                builder.leave("CKestrelVault_SetupApp::InitInstance")
            return interleave(a, b)

        def check_two(runs, lines):
            self.assertEqual([(r["pid"], r["update_url"], r["site_name"], [t["size"] for t in r["transfers"]]) for r in runs],
                             [(700, "a.example.test", "a", [14]), (800, "b.example.test", "b", [14])])
            for run in runs:
                self.assertTrue(run["ended"])
                kvlogfacts.check_lines(self, run, lines)
                kvlogfacts.check_scopes(self, run)
        cases.append(("two processes writing into one file at once", two_processes, check_two))
        return cases

    # -- command line --------------------------------------------------------------------------

    def test_command_line(self):
        log = self.write("run.log", self.real["cancelled"][0])
        cases = [
            # arguments, exit code, text in stderr
            ([self.dir / "missing.log"], 1, "cannot open"),
            ([], 2, "no log file"),
            ([log, log], 2, "more than one log file"),
            ([log, "--jsn"], 2, "unknown option --jsn"),
        ]
        for tool in TOOLS:
            for args, code, message in cases:
                with self.subTest(build=tool.name, args=[str(a) for a in args]):
                    rc, _, err = tool.run(*args)
                    self.assertEqual(rc, code, err)
                    self.assertIn(message, err)
            with self.subTest(build=tool.name, args="--help"):
                rc, out, _ = tool.run("--help")
                self.assertEqual(rc, 0)
                for text in ("kvlog LOGFILE [--json]", "--json", "Exit codes:", "  3  no line of the file"):
                    self.assertIn(text, out)

    def test_standard_input(self):
        import subprocess
        data = self.real["complete"][0]
        r = subprocess.run([str(BUILD / "native" / "kvlog"), "-", "--json"], input=data, stdout=subprocess.PIPE,
                           timeout=60)
        self.assertEqual(r.returncode, 0)
        kvlogfacts.check_log(self, json.loads(r.stdout), self.real["complete"][1], data)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[1:])
