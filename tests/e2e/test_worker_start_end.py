"""Clicks and keys around the download page's worker, through the real program under Wine:
Prev, Finish, Enter, Escape and Close, each sent again and again from a moment near the start
timer (300 ms after Next) until the run has ended, with the first request held by the scripted
server for a while so that they also fall on the running worker and on its end; and, in
AutoMode, Next sent again to the first page (whose handler runs even with Next disabled). Every
run: at most one worker; a worker that started runs both steps to their end before the wizard
closes; and the process ends cleanly with the code of what happened (0 after the complete run,
1602 when the wizard was left before the steps).
"""

import shutil
import sys
import time
import unittest
from pathlib import Path

from kvtestkit import kvtest
from kvtestkit import kvwizard
from kvtestkit.kvwizard import FINISH, HOST, NEXT, PREV, SCHEME

from kvtestkit import kvstandins

SITE = "kvworker test"
# When the sending starts, in ms after Next was clicked (the worker starts at about 300).
STARTS = (250, 290, 310, 350)
# Between two sends.
SEND_PAUSE_S = 0.02


def first_page_next(page):
    """The first page's own Next (hidden behind the download page's Finish of the same id)."""
    return next(c["hwnd"] for c in page.children() if c["id"] == NEXT and c["parent"] == page.hwnd)


class WorkerStartEndTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvworker"
    server_kinds = ("script",)
    trust_servers = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        kvstandins.fill_server_tree(cls.servers.www, SITE, kvtest.build_dir())
        cls.addClassCleanup(shutil.rmtree, kvtest.program_files() / "KestrelVAULT" / SITE, True)
        cls.runs = 0

    def send(self, page, action, next_hwnd):
        try:
            if action == "Prev":
                page.click(PREV, force=True)
            elif action == "Finish":
                page.click(FINISH, force=True)
            elif action == "Enter":
                page.key("enter")
            elif action == "Escape":
                page.key("escape")
            elif action == "Close":
                page.syscommand("close")
            elif action == "Next":
                self.driver.check("command", page.hwnd, "@%d" % next_hwnd)
        except kvtest.DriverError:
            pass  # the control or the window is gone: that is one of the outcomes

    def run_with(self, action, start_ms, auto):
        self.servers.script_reset()
        self.fresh_run_files()
        type(self).runs += 1
        name = "w%d" % self.runs
        host = self.servers.host("script") + "/_hold=" + name
        if auto:
            page = self.start_wizard(exe=self.stamped_copy(host), env=self.env)
            next_hwnd = first_page_next(page)
            page.wait(PREV, "visible", timeout=20000)
        else:
            page = self.start_wizard(env=self.env)
            page.wait(SCHEME, "text", "http://")
            page.set_text(HOST, host)
            page.wait(NEXT, "enabled")
            next_hwnd = first_page_next(page)
            page.click(NEXT)
        clicked = time.monotonic()
        time.sleep(max(0.0, start_ms / 1000.0 - (time.monotonic() - clicked)))
        # Over the start, then the held request released, then on over the end.
        released = False
        deadline = clicked + 15
        while page.process.alive() and time.monotonic() < deadline:
            self.send(page, action, next_hwnd)
            # As fast as hands go, not faster: a queue that never empties holds back the page's
            # timers (Windows makes WM_TIMER only when nothing else waits), and so the worker's
            # start, for as long as the flood lasts. The 64-bit build's driver posts quickly
            # enough for that.
            time.sleep(SEND_PAUSE_S)
            if not released and time.monotonic() - clicked > start_ms / 1000.0 + 0.7:
                self.servers.script_release(name)
                released = True
            if released and "< KVDownloadDlg::RunKVUpdate" in self.worker_lines():
                # The end message may still be on its way: a little more, then stop sending.
                stop = time.monotonic() + 0.5
                while page.process.alive() and time.monotonic() < stop:
                    self.send(page, action, next_hwnd)
                break
            if released and "> KVDownloadDlg::InstallActiveX" not in self.worker_lines() and \
                    time.monotonic() - clicked > start_ms / 1000.0 + 1.5:
                break  # no worker will come
        if not released:
            self.servers.script_release(name)
        if page.process.alive():
            # Left on the first page (Prev) or on the finished page (Prev disabled).
            page.wait(NEXT, "exists")
            try:
                page.syscommand("close")
            except kvtest.DriverError:
                pass
        code = page.process.wait(30)

        log = self.log_lines()
        ui = log[0][0]
        starts = [tid for tid, text in log if text == "> KVDownloadDlg::InstallActiveX"]
        self.assertLessEqual(len(starts), 1, "two workers")
        self.assertEqual(log[-1], (ui, "< CKestrelVault_SetupApp::InitInstance"), "the program ended cleanly")
        if starts:
            worker = [text for tid, text in log if tid == starts[0]]
            self.assertEqual(worker[-2:], ["KVUpdate.exe run Success...", "< KVDownloadDlg::RunKVUpdate"],
                             "the steps ran to their end")
            self.assertEqual([r["event"] for r in self.records()], ["start", "end", "start", "end"])
        else:
            self.assertEqual(self.records(), [])
        return code, bool(starts)

    def test_buttons_and_keys_at_the_worker_start_and_end(self):
        seen = {}
        for action in ("Prev", "Finish", "Enter", "Escape", "Close"):
            for start_ms in STARTS:
                with self.subTest(action=action, start_ms=start_ms):
                    code, ran = self.run_with(action, start_ms, auto=False)
                    seen.setdefault(action, set()).add(ran)
                    # A run of the steps that ended decides; without one the user left (1602,
                    # of which Wine passes the low 8 bits).
                    self.assertEqual(code, 0 if ran else 1602 & 0xFF)
        print("worker started, by action:", {a: sorted(s) for a, s in seen.items()}, file=sys.stderr)
        # The starts reach both sides of the worker's start.
        self.assertEqual(set().union(*seen.values()), {False, True}, seen)

    def test_next_again_in_auto_mode(self):
        for start_ms in (0,) + STARTS:
            with self.subTest(start_ms=start_ms):
                code, ran = self.run_with("Next", start_ms, auto=True)
                self.assertTrue(ran, "the unattended run installs")
                self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
