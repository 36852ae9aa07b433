"""What kvlog must say about a log, checked against what is known about the runs that wrote it.

A run's facts come from how the run was made, never from kvlog: the server's address and
scheme, the site name in the descriptor, the sizes of the files the server offers, and what
kind of run it was. The tests of kvlog over real logs (tools/tests/test_kvlog.py, and
tests/e2e/test_kvlog.py, which makes the logs) share these checks.

Facts of one run (a dict):
    kind            "complete", "failed" (every transfer refused) or "cancelled" (first page)
    process         the executable's file name
    module_version  the file version of the executable
    host, scheme    what was typed and chosen on the first page (complete and failed runs)
    site_name       the descriptor's site name (complete runs)
    sizes           {"installer": n, "descriptor": n, "updater": n} (complete runs)
    signers         {"installer": s, "updater": s}: what the log gives after "Signer: " for each
                    program, "none" for an unsigned one (complete runs; logs of builds from
                    before the check have no such line and their facts no such entry)
    exit_code       the process's exit code, where the run was made by the test (optional)
"""

from pathlib import Path

from kvtestkit.kvtest import Tool

START_SCOPE = "CKestrelVault_SetupApp::InitInstance"


def native_kvlog(build):
    return Tool.native(Path(build) / "native" / "kvlog")


def windows_kvlog(build):
    return Tool.windows(Path(build) / "kvlog.exe")


def log_lines(data):
    """The lines of a log file as kvlog numbers them (from 1), decoded as the setup wrote them."""
    return [line.rstrip("\r") for line in data.decode("cp949", "replace").split("\n")]


def check_lines(test, run, lines):
    """Every line number kvlog gives points at a line that says what kvlog says it does."""
    def at(number):
        test.assertIsNotNone(number)
        return lines[number - 1]
    for scope in run["scopes"]:
        if scope["entry_line"]:
            test.assertTrue(at(scope["entry_line"]).endswith(scope["name"] + "() " + "<" * 43), scope)
        if scope["exit_line"]:
            test.assertTrue(at(scope["exit_line"]).endswith(scope["name"] + "() " + ">" * 43), scope)
    for check in run["access_checks"]:
        test.assertIn("CKestrelVault_SetupDlg::OnBnClickedNext() <", at(check["line"]))
    if run["first_failure"]:
        test.assertTrue(at(run["first_failure"]["line"]).endswith(":    " + run["first_failure"]["message"]))
    test.assertIn("(%d), T:" % run["pid"], at(run["first_line"]))
    test.assertIn("(%d), T:" % run["pid"], at(run["last_line"]))


def check_scopes(test, run):
    """Scopes nest on their thread within the run's time, each with its duration."""
    scopes = run["scopes"]
    test.assertEqual(scopes[0]["name"], START_SCOPE)
    test.assertEqual((scopes[0]["depth"], scopes[0]["entry_line"]), (0, run["first_line"]))
    if run["ended"]:
        test.assertEqual(scopes[0]["exit_line"], run["last_line"])
        test.assertEqual(scopes[0]["duration_ms"], run["duration_ms"])
    open_by_thread = {}
    for scope in scopes:
        stack = open_by_thread.setdefault(scope["thread"], [])
        while stack and stack[-1]["exit_line"] and stack[-1]["exit_line"] < (scope["entry_line"] or 0):
            stack.pop()
        test.assertEqual(scope["depth"], len(stack), scope)
        if scope["entry_line"] and scope["exit_line"]:
            test.assertGreaterEqual(scope["duration_ms"], 0)
            test.assertLessEqual(scope["duration_ms"], run["duration_ms"])
            test.assertLess(scope["entry_line"], scope["exit_line"])
        stack.append(scope)


def check_run(test, run, facts, lines=None):
    """Checks one run of kvlog's JSON against the facts of the run that wrote it."""
    test.assertEqual(run["process"], facts["process"])
    test.assertTrue(run["start_in_log"])
    test.assertTrue(run["ended"])
    test.assertEqual(run["module_version"], facts["module_version"])
    test.assertTrue(run["module_path"].lower().endswith("\\" + facts["process"].lower()), run["module_path"])
    check_scopes(test, run)
    if lines is not None:
        check_lines(test, run, lines)
    names = [s["name"] for s in run["scopes"]]
    kind = facts["kind"]

    # The outcome and exit code that such a run gives (README: exit codes); the program's own
    # "ExitCode:" line where the log has one, and the process's code where the facts know it.
    code, name = {"complete": (0, "done"), "failed": (20, "installer not obtained"),
                  "cancelled": (1602, "left by the user")}[kind]
    outcome = run["outcome"]
    test.assertEqual((outcome["exit_code"], outcome["name"]), (code, name))
    if outcome["logged_exit_code"] is not None:
        test.assertEqual(outcome["logged_exit_code"], code)
    if "exit_code" in facts:
        test.assertEqual(facts["exit_code"], code)

    if kind == "cancelled":
        test.assertEqual(run["access_checks"], [])
        test.assertIsNone(run["update_url"])
        test.assertIsNone(run["scheme"])
        test.assertEqual(run["transfers"], [])
        test.assertIsNone(run["site_name"])
        test.assertEqual((run["installer"]["status"], run["updater"]["status"]), ("not reached", "not reached"))
        test.assertIsNone(run["first_failure"])
        test.assertNotIn("KVDownloadDlg::InstallActiveX", names)
        return

    url = "%s://%s" % (facts["scheme"], facts["host"])
    test.assertEqual([(c["host"], c["url"], c["result"]) for c in run["access_checks"]], [(facts["host"], url, "ok")])
    test.assertEqual((run["update_url"], run["scheme"]), (facts["host"], facts["scheme"]))
    installer_url = url + "/app/KestrelVAULT ActiveX 7i_ko.exe"
    transfers = run["transfers"]

    if kind == "complete":
        test.assertEqual([(t["item"], t["attempt"], t["outcome"], t["size"]) for t in transfers],
                         [("installer", 1, "done", facts["sizes"]["installer"]),
                          ("descriptor", 1, "done", facts["sizes"]["descriptor"]),
                          ("updater", 1, "done", facts["sizes"]["updater"])])
        test.assertEqual((transfers[0]["url"], transfers[0]["result"]), (installer_url, "0x00000000"))
        test.assertEqual(run["site_name"], facts["site_name"])
        test.assertIsNone(run["site_name_failure"])
        test.assertEqual((run["installer"]["status"], run["updater"]["status"]), ("ran", "ran"))
        test.assertIsNone(run["first_failure"])
        signers = facts.get("signers", {})
        for t in transfers:
            test.assertIsNone(t["refusal"], t)
            test.assertEqual(t["signer"], signers.get(t["item"]), t)
    elif kind == "failed":
        # Five attempts at the installer, each refused; the update step stops at the descriptor.
        test.assertEqual([(t["item"], t["attempt"], t["outcome"]) for t in transfers],
                         [("installer", n, "failed") for n in range(1, 6)] + [("descriptor", 1, "failed")])
        for t in transfers[:5]:
            test.assertEqual(t["url"], installer_url)
            test.assertTrue(t["result"].startswith("0x8"), t)
            test.assertIsNone(t["size"])
            test.assertTrue(t["size_failure"], t)
        # No file arrived: nothing was checked.
        for t in transfers:
            test.assertEqual((t["signer"], t["refusal"]), (None, None), t)
        test.assertIsNone(run["site_name"])
        test.assertEqual(run["installer"]["status"], "not started")
        test.assertEqual((run["updater"]["status"], run["updater"]["note"]),
                         ("not reached", "kestrelvault_server.exe Download fail___"))
        test.assertEqual(run["first_failure"]["message"], transfers[0]["size_failure"])
        test.assertGreater(run["first_failure"]["line"], transfers[0]["line"])
    else:
        raise ValueError("unknown kind of run %r" % kind)


def check_log(test, report, facts_of_runs, data=None):
    """A whole clean log: every line read, and one run per entry of facts_of_runs."""
    test.assertEqual(report["foreign_lines"], [])
    test.assertFalse(report["last_line_cut"])
    test.assertEqual(report["log_lines"], report["lines"])
    test.assertEqual(len(report["runs"]), len(facts_of_runs))
    lines = log_lines(data) if data is not None else None
    for run, facts in zip(report["runs"], facts_of_runs):
        with test.subTest(run=facts["kind"]):
            check_run(test, run, facts, lines)
