"""kvlog over logs that the real program writes under Wine, with its trace log on in append mode
(3), against the test servers: a complete run over http, a run over https whose server
certificate is refused (five failed installer attempts, the update step stopped at the
descriptor), a run cancelled on the first page, and two runs appended in one file.

    python3 test_kvlog.py                  the test (ctest: e2e_kvlog)
    python3 test_kvlog.py --capture DIR    the same, and each log with its facts is written to
                                           DIR as real-<name>.log and real-<name>.json: how
                                           tools/tests/logs/ is refreshed

The facts (see kvtestkit/kvlogfacts.py) come from how each run was made; kvlog's report of the
log is checked against them.
"""

import json
import os
import shutil
import sys
import time
import unittest
from pathlib import Path

from kvtestkit import kvlogfacts, kvpe, kvtest, kvwizard
from kvtestkit.kvservers import Servers
from kvtestkit.kvstandins import ACTIVEX_PATH, DESCRIPTOR_PATH, UPDATER_PATH, fill_server_tree
from kvtestkit.kvwizard import CANCEL, EXE_NAME, HOST, HTTPS, NEXT, SCHEME, SETTINGS_KEY

ROOT = Path(__file__).resolve().parents[2]

PREV, FINISH = 1010, 1008
SITE_NAME = "케스트렐 본사"  # Hangul: the log holds it in code page 949, kvlog gives UTF-8
UPDATE_STEP_END = b"KVDownloadDlg::RunKVUpdate() " + b">" * 43

CAPTURE_DIR = None


class KvlogOnRealLogsTest(kvtest.WizardTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.kvlog = kvlogfacts.native_kvlog(kvtest.build_dir())
        cls.servers = Servers.for_class(cls, kinds=("http", "https-untrusted"), trust=False)
        written = fill_server_tree(cls.servers.www, SITE_NAME, kvtest.build_dir())
        cls.sizes = {item: os.path.getsize(written[path]) for item, path in
                     (("installer", ACTIVEX_PATH), ("descriptor", DESCRIPTOR_PATH), ("updater", UPDATER_PATH))}
        pe = kvpe.PEFile.open(kvtest.product_exe())
        cls.version = kvpe.parse_version(pe.resource(kvpe.RT_VERSION, 1).data).file_version

    def setUp(self):
        self.win_dir, self.dir = kvtest.own_temp_dir("kvlog")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.addCleanup(kvwizard.set_log, None)
        kvwizard.set_log(3)

    # -- the runs ------------------------------------------------------------------------------
    def facts(self, kind, server=None):
        f = {"kind": kind, "process": EXE_NAME, "module_version": self.version}
        if server:
            f["host"] = self.servers.host(server)
            f["scheme"] = "https" if server.startswith("https") else "http"
        if kind == "complete":
            f["site_name"] = SITE_NAME
            f["sizes"] = self.sizes
            # The stand-ins are not signed, and no publishers are pinned: both start.
            f["signers"] = {"installer": "none", "updater": "none"}
        return f

    def run_setup(self, log_name, kind, server=None):
        """One run of the program that logs into log_name; returns the run's facts."""
        kvtest.reg_add(SETTINGS_KEY, EXE_NAME + ".log.path", self.win_dir + "\\" + log_name)
        log = self.dir / log_name
        page = self.start_wizard()
        pid = page.pid()
        page.wait(SCHEME, "text", "http://")
        if kind == "cancelled":
            page.click(CANCEL)
        else:
            if server.startswith("https"):
                page.click(HTTPS)
                page.wait(SCHEME, "text", "https://")
            page.set_text(HOST, self.servers.host(server))
            page.wait(NEXT, "enabled")
            page.click(NEXT)
            page.wait(PREV, "visible", timeout=15000)
            # With no installer fetched nothing is started: no shell box waits for the user, and
            # the steps run to their end by themselves.
            deadline = time.monotonic() + 60
            while UPDATE_STEP_END not in (log.read_bytes() if log.exists() else b""):
                self.assertLess(time.monotonic(), deadline, "the update step did not end")
                time.sleep(0.1)
            page.wait(FINISH, "enabled", timeout=30000)
            page.click(FINISH)
        page.wait_gone(timeout=15000)
        facts = self.facts(kind, server)
        # The whole code, as Windows programs see it; the Linux side gets its low 8 bits.
        facts["exit_code"] = self.driver.wait_exit(pid, timeout=20000)
        self.assertEqual(page.process.wait(20), facts["exit_code"] & 0xFF)
        return facts

    def check(self, log_name, facts_of_runs):
        path = self.dir / log_name
        data = path.read_bytes()
        kvlogfacts.check_log(self, self.kvlog.json(path), facts_of_runs, data)
        if CAPTURE_DIR:
            stem = "real-" + Path(log_name).stem
            shutil.copyfile(path, CAPTURE_DIR / (stem + ".log"))
            with open(CAPTURE_DIR / (stem + ".json"), "w", encoding="utf-8") as f:
                json.dump({"runs": facts_of_runs}, f, ensure_ascii=False, indent=2)
                f.write("\n")

    # -- the tests -----------------------------------------------------------------------------
    def test_complete_run(self):
        self.check("complete.log", [self.run_setup("complete.log", "complete", "http")])

    def test_run_with_five_failed_attempts(self):
        self.check("failed.log", [self.run_setup("failed.log", "failed", "https-untrusted")])

    def test_run_cancelled_on_the_first_page(self):
        self.check("cancelled.log", [self.run_setup("cancelled.log", "cancelled")])

    def test_two_runs_appended(self):
        facts = [self.run_setup("appended.log", "cancelled"), self.run_setup("appended.log", "complete", "http")]
        self.check("appended.log", facts)


if __name__ == "__main__":
    argv = sys.argv[:1]
    args = sys.argv[1:]
    if args[:1] == ["--capture"]:
        CAPTURE_DIR = Path(args[1]).resolve()
        CAPTURE_DIR.mkdir(parents=True, exist_ok=True)
        args = args[2:]
    unittest.main(argv=argv + args, verbosity=2)
