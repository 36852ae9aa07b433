"""The program's ids, texts, settings and log, and what whole-run tests share: logging into a
test's own directory, stamped copies of the program, a served site with its cleanup, driving a
run by hand, and reading the log back. The benchmarks and the demo use the same.

    class MyTest(kvwizard.WholeRunTestCase):
        def test_x(self):
            host = self.serve_site(self.servers, "script", "Acme")   # also cleans the prefix
            page = self.start_wizard(exe=self.stamped_copy(host), env=self.env)
            ...
            self.log_lines()      # [(tid, text)], text "> scope", "< scope" or the message

Every test gets self.win_dir / self.dir (its own directory below the prefix's temp directory),
logging in mode 3 into setup.log there, and self.env, which makes the stand-ins record into
records.jsonl there.
"""

import datetime
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from kvtestkit import kvstandins, kvtest
from kvtestkit.kvservers import Servers

# First page
HOST, NEXT, CANCEL, HTTP, HTTPS, SCHEME = 1006, 1008, 2, 1011, 1012, 1013
# Download page
STATUS, PROGRESS, PREV, FINISH = 1000, 1001, 1010, 1008
FINISH_TEXT = "완료"                              # string 230
INSTALL_PRODUCT_TEXT = "케스트렐볼트를 설치합니다."  # string 162
UNREACHABLE_TEXT = "업데이트할 서버에 접속할 수 없습니다."  # string 199
# string 258: the download page's text, by hand, for a run that did not complete
INCOMPLETE_TEXT = "설치를 완료하지 못했습니다. (종료 코드 %1)\n로그 파일: %2"


def incomplete_text(code, log_path=None):
    """The download page's text for a run by hand that ended with code, and wrote the log at
    log_path (None: no log file, and no line for it)."""
    text = INCOMPLETE_TEXT if log_path else INCOMPLETE_TEXT.rsplit("\n", 1)[0]
    return text.replace("%1", str(code)).replace("%2", log_path or "")

SETTINGS_KEY = r"HKCU\Software\KestrelVAULT"
EXE_NAME = "KestrelVault_Setup.exe"
HEADER = re.compile(r"^\[(?P<stamp>[^\]]*)\]\[[^\]]*\((?P<pid>\d+)\), T:(?P<tid>\d+)\]")
ENTRY = "() " + "<" * 43
EXIT = "() " + ">" * 43


def kvstamp(exe, url, publishers=()):
    """Stamps url, and the publisher pins given (SHA-256 thumbprints in hex), into the program
    file exe (the native kvstamp of the build)."""
    cmd = [str(kvtest.build_dir() / "native" / "kvstamp"), "set", str(exe), url]
    for thumbprint in publishers:
        cmd += ["--publisher", thumbprint]
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
    if r.returncode != 0:
        raise AssertionError("kvstamp %s: %s" % (" ".join(cmd[1:]), r.stderr.decode("utf-8", "replace")))


def product_copy(directory, url=None, publishers=()):
    """A copy of the program in directory, under its own name; stamped with url (and the
    publisher pins given) if given, so that it runs unattended."""
    exe = Path(directory) / EXE_NAME
    shutil.copyfile(kvtest.product_exe(), exe)
    if url:
        kvstamp(exe, url, publishers)
    return exe


def read_log(path):
    """(time stamp, tid, text) per well-formed log line of the file: text is the message, or
    "> scope" / "< scope" for entry and exit lines."""
    out = []
    for line in Path(path).read_bytes().decode("cp949", errors="replace").split("\r\n"):
        m = HEADER.match(line)
        if not m:
            continue
        rest = line[m.end():]
        if rest.startswith(":    "):
            out.append((m["stamp"], m["tid"], rest[5:]))
        elif rest.endswith(ENTRY):
            out.append((m["stamp"], m["tid"], "> " + rest[:-len(ENTRY)]))
        elif rest.endswith(EXIT):
            out.append((m["stamp"], m["tid"], "< " + rest[:-len(EXIT)]))
    return out


def parse_log(path, stamped=False):
    """(tid, text) per well-formed log line of the file (see read_log); stamped: (time, tid,
    text), the time a datetime of the line's local time."""
    if stamped:
        return [(datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f"), tid, text)
                for stamp, tid, text in read_log(path)]
    return [(tid, text) for _, tid, text in read_log(path)]


def set_log(mode, win_log_path=None, exe_name=EXE_NAME):
    """The trace-log values of exe_name: mode (a file at win_log_path if given, else beside the
    executable), or None to remove them (logging off)."""
    if mode is None:
        kvtest.reg_delete(SETTINGS_KEY, exe_name + ".log")
        kvtest.reg_delete(SETTINGS_KEY, exe_name + ".log.path")
        return
    kvtest.reg_add(SETTINGS_KEY, exe_name + ".log", str(mode), "REG_DWORD")
    if win_log_path:
        kvtest.reg_add(SETTINGS_KEY, exe_name + ".log.path", win_log_path, "REG_SZ")


def log_to(testcase, win_log_path, mode=3, exe_name=EXE_NAME):
    """Turns the program's log on (mode) into win_log_path for the rest of the test."""
    set_log(mode, win_log_path, exe_name)
    testcase.addCleanup(set_log, None, exe_name=exe_name)


def forget_site(site, host):
    """Removes what a run for `site` from `host` leaves in the prefix: the key named by the
    host, the site's directory, the step files in the base and the temp directory."""
    kvtest.reg_delete(SETTINGS_KEY + "\\" + host)
    base = kvtest.program_files() / "KestrelVAULT"
    if site and not os.path.isabs(site) and ".." not in site.replace("\\", "/").split("/"):
        shutil.rmtree(base / site, ignore_errors=True)
    for name in (kvstandins.UPDATER_NAME, kvstandins.DESCRIPTOR_NAME):
        (base / name).unlink(missing_ok=True)
    if base.is_dir() and not any(base.iterdir()):
        base.rmdir()
    for name in (kvstandins.ACTIVEX_NAME, kvstandins.DESCRIPTOR_NAME):
        (kvtest.temp_dir() / name).unlink(missing_ok=True)


# What the page's worker writes, scope by scope, in a complete run: the installer fetched in
# one attempt and run, then the update step with its two transfers and the two grants.
def worker_scopes(https):
    fetch = ["> KVDownloadDlg::GetWebFileSize", "< KVDownloadDlg::GetWebFileSize"]
    if https:
        fetch += ["> KVDownloadDlg::URLDownloadToFileOnHttps", "< KVDownloadDlg::URLDownloadToFileOnHttps"]
    grant = ["> AddFileAccessAllowedRights", "< AddFileAccessAllowedRights"]
    return (["> KVDownloadDlg::InstallActiveX"] + fetch + ["< KVDownloadDlg::InstallActiveX",
             "> KVDownloadDlg::RunKVUpdate"] + fetch + grant + grant + fetch + ["< KVDownloadDlg::RunKVUpdate"])


class WholeRunTestCase(kvtest.WizardTestCase):
    """A WizardTestCase whose tests each get their own directory, log and stand-in records."""

    dir_prefix = "kvrun"
    # The servers the class's tests use (kvservers kinds), started once for the class as
    # cls.servers, and whether the prefix trusts the test CA for them.
    server_kinds = ()
    trust_servers = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if cls.server_kinds:
            cls.servers = Servers.for_class(cls, cls.server_kinds, cls.trust_servers)

    def setUp(self):
        super().setUp()
        self.win_dir, self.dir = kvtest.own_temp_dir(self.dir_prefix)
        self.addCleanup(shutil.rmtree, self.dir, True)
        log_to(self, self.win_dir + r"\setup.log")
        # Private directories that runs killed before this test left behind.
        self.private_before = kvtest.private_dirs()
        # What the stand-ins record, how long they run and with what code they exit.
        self.env = kvstandins.standin_env(self.win_dir + r"\records.jsonl", run_ms=300, activex_exit=3,
                                          updater_exit=5)

    def serve_site(self, servers, kind, site, descriptor=None, host=None):
        """Fills the server tree for `site` (or the descriptor bytes given); returns the host a
        user would type (the server's own unless `host` is given). The site's directory, the
        key named by the host and the step files in the temp directory are removed now and
        after the test."""
        self.site = site
        self.served = kvstandins.fill_server_tree(servers.www, site, kvtest.build_dir(), descriptor)
        host = host or servers.host(kind)
        self.site_key = SETTINGS_KEY + "\\" + host
        self.site_dir = kvtest.program_files() / "KestrelVAULT" / site
        forget_site(site, host)
        self.addCleanup(forget_site, site, host)
        return host

    def stamped_copy(self, url, publishers=()):
        """A copy of the program with url in its slot (and the publisher pins given), so that
        it runs unattended."""
        work = Path(tempfile.mkdtemp(prefix="wizard-", dir=kvtest.build_dir()))
        self.addCleanup(shutil.rmtree, work, True)
        return product_copy(work, url, publishers)

    def press_next(self, host, https, typed=False):
        """Starts the program, puts host into the host box (typed: key by key, as a user does;
        else set at once), picks the scheme and presses Next. Returns the page once the worker
        runs."""
        page = self.start_wizard(env=self.env)
        page.wait(SCHEME, "text", "http://")
        if typed:
            page.type(HOST, host)
        else:
            page.set_text(HOST, host)
        if https:
            page.click(HTTPS)
            page.wait(SCHEME, "text", "https://")
        page.wait(NEXT, "enabled")
        self.next_to_worker(page)
        return page

    def next_to_worker(self, page):
        """Presses Next on a first page and waits until the download page's worker runs."""
        page.click(NEXT)
        page.wait(PREV, "visible", timeout=20000)
        # Finish has the id of the first page's Next; the driver prefers the visible one, so the
        # first page's controls must be gone from view before Finish is looked at.
        page.wait(HOST, "hidden", timeout=20000)
        # Prev is disabled once the worker runs and stays so until its end.
        page.wait(PREV, "disabled", timeout=20000)

    def wait_worker_end(self, page, timeout=120000):
        """Waits for the update step's exit line in the log, then for Finish enabled: Finish can
        still be enabled for a moment after Prev is disabled, so the log marks the end."""
        deadline = time.monotonic() + timeout / 1000.0
        while self.worker_lines()[-1:] != ["< KVDownloadDlg::RunKVUpdate"]:
            if time.monotonic() > deadline:
                raise AssertionError("the update step did not end within %d ms" % timeout)
            time.sleep(0.1)
        page.wait(FINISH, "enabled", timeout=20000)

    def run_by_hand(self, host, https, timeout=120000, typed=False):
        """press_next, then wait_worker_end. Returns the page, still open."""
        page = self.press_next(host, https, typed)
        self.wait_worker_end(page, timeout)
        return page

    def finish(self, page, code=0):
        """Presses Finish and waits for the program to end with code (README: exit codes; the
        Linux side of Wine sees its low 8 bits)."""
        page.click(FINISH)
        page.wait_gone(timeout=20000)
        self.assertEqual(page.process.wait(30), code & 0xFF)

    def log_lines(self):
        return parse_log(self.dir / "setup.log")

    def worker_lines(self):
        """The texts of the page's worker: every thread but the start-up one."""
        log = self.log_lines()
        ui = log[0][0] if log else None
        return [text for tid, text in log if tid != ui]

    def fresh_run_files(self, keep_as=None):
        """Log and records afresh for the next run of the same test; the last run's are kept
        under the name prefix keep_as if given."""
        for name in ("setup.log", "records.jsonl"):
            path = self.dir / name
            if keep_as and path.exists():
                os.replace(path, self.dir / (keep_as + name))
            path.unlink(missing_ok=True)

    def records(self):
        return kvstandins.read_records(self.dir / "records.jsonl")

    def kvlog_run(self):
        """kvlog's reading (--json, the native build) of this test's log, which must hold one run."""
        r = subprocess.run([str(kvtest.build_dir() / "native" / "kvlog"), str(self.dir / "setup.log"), "--json"],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        runs = json.loads(r.stdout)["runs"]
        self.assertEqual(len(runs), 1)
        return runs[0]

    def new_private_dirs(self):
        """The steps' private directories that appeared during this test and are still there."""
        return kvtest.private_dirs() - getattr(self, "private_before", set())

    def assert_installed(self, host, https, silent):
        """What a complete run for self.site from host must leave (see test_wizard_install.py):
        both stand-ins started once in order, the private directory gone, the site's files and
        values, and the log's scopes and lines."""
        temp = kvtest.temp_dir()
        win_site = kvtest.win_program_files() + "\\KestrelVAULT\\" + self.site

        records = self.records()
        self.assertEqual([(r["role"], r["event"]) for r in records],
                         [("activex", "start"), ("activex", "end"), ("updater", "start"), ("updater", "end")],
                         "each program started once, the next only after the last had ended")
        installer, updater = records[0], records[2]
        self.assertEqual(installer["args"], "/verysilent" if silent else "")
        # Elevated, the run fetches into a new directory of its own that only Administrators and
        # SYSTEM may write, starts the installer there, and removes it when the step ends.
        private = installer["cwd"]
        self.assertTrue(kvtest.PRIVATE_DIR_RE.fullmatch(private), "started from %s" % private)
        self.assertEqual(installer["exe"].lower(), (private + "\\" + kvstandins.ACTIVEX_NAME).lower())
        self.assertFalse(kvtest.unix_path(private).exists(), "the private directory is removed")
        self.assertEqual(self.new_private_dirs(), set(), "no private directory stays")
        self.assertFalse((temp / kvstandins.ACTIVEX_NAME).exists(), "nothing in the user's temp directory")

        with open(self.served[kvstandins.DESCRIPTOR_PATH], "rb") as f:
            descriptor = f.read()
        with open(self.served[kvstandins.UPDATER_PATH], "rb") as f:
            updater_bytes = f.read()
        self.assertEqual((self.site_dir / kvstandins.DESCRIPTOR_NAME).read_bytes(), descriptor)
        self.assertEqual((self.site_dir / kvstandins.UPDATER_NAME).read_bytes(), updater_bytes)
        self.assertFalse((temp / kvstandins.DESCRIPTOR_NAME).exists(), "the descriptor left the temp directory")

        self.assertEqual(updater["args"], "-ou")
        self.assertEqual(updater["cwd"].rstrip("\\").lower(), win_site.lower())
        self.assertEqual(updater["exe"].lower(), (win_site + "\\" + kvstandins.UPDATER_NAME).lower())
        self.assertTrue(updater["descriptor"], "the descriptor copy was there when the updater started")
        self.assertEqual(updater["sites"].get(host),
                         {"LANGUAGE": 1, "Update\\DontQuestionDesktopShortcut": 1, "PRODUCT": 1})

        self.assertEqual(kvtest.reg_values(self.site_key), {"LANGUAGE": ("REG_DWORD", 1), "PRODUCT": ("REG_DWORD", 1)})
        self.assertEqual(kvtest.reg_values(self.site_key + "\\Update"),
                         {"DontQuestionDesktopShortcut": ("REG_DWORD", 1)})

        log = self.log_lines()
        self.assertEqual(log[0][1], "> CKestrelVault_SetupApp::InitInstance")
        self.assertEqual(log[-1][1], "< CKestrelVault_SetupApp::InitInstance")
        ui = log[0][0]
        workers = {tid for tid, _ in log if tid != ui}
        self.assertEqual(len(workers), 1, "one worker thread ran the steps")
        worker = [text for tid, text in log if tid in workers]
        self.assertEqual([t for t in worker if t[:2] in ("> ", "< ")], worker_scopes(https))
        self.assertIn("SiteName: " + self.site, worker)
        self.assertIn(("DownFilePath: %s\\%s" % (private, kvstandins.ACTIVEX_NAME)).lower(),
                      [t.lower() for t in worker], "the log shows the private path")
        self.assertIn("KestrelVAULT ActiveX 7i_ko.exe run Success...", worker)
        self.assertEqual(worker[-2], "KVUpdate.exe run Success...")
        # The worker started only after the check had handed the host over.
        first_worker = next(i for i, (tid, _) in enumerate(log) if tid in workers)
        ui_before = [text for tid, text in log[:first_worker] if tid == ui]
        self.assertEqual(ui_before[-1], "< CKestrelVault_SetupDlg::OnBnClickedNext")
        self.assertIn("ConnectionURL: %s://%s" % ("https" if https else "http", host), ui_before)
