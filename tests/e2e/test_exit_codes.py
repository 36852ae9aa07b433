"""Every exit code of the README's table from a real run of the program under Wine, and kvlog
reading the same outcome from that run's log (and the program's own "ExitCode:" line).

Unattended runs (a stamped copy) against nginx, the served tree changed for the failure: a
missing file, a file that is no program, a SiteName that climbs out, a file where the site
directory belongs; by hand: Cancel on the first page, and a failed check then Cancel.
"""

import os
import sys
import unittest
from pathlib import Path

from kvtestkit import kvstandins, kvtest, kvwizard
from kvtestkit.kvwizard import CANCEL, HOST, NEXT, SCHEME


class ExitCodeTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvexit"
    server_kinds = ("http",)

    def kvlog_outcome(self):
        return self.kvlog_run()["outcome"]

    def unattended(self, site="Acme", change=None, env=None):
        """A stamped run against the served site after change(served paths); its exit code."""
        host = self.serve_site(self.servers, "http", site,
                               descriptor=kvstandins.descriptor_bytes(site) if site != "Acme" else None)
        if change:
            change(self.served)
        page = self.start_wizard(exe=self.stamped_copy(host), env=dict(self.env, **(env or {})))
        page.windows_pid = page.pid()
        return self.exit_code(page)

    def exit_code(self, page):
        """The whole exit code, as a Windows program sees it; the Linux side of Wine gets only
        its low 8 bits (3010 arrives as 194)."""
        code = self.driver.wait_exit(page.windows_pid, timeout=120000)
        self.assertEqual(page.process.wait(30), code & 0xFF)
        return code

    def by_hand(self, host=None):
        """By hand: with host, a press of Next whose check fails and the box answered; then
        Cancel. The exit code."""
        page = self.start_wizard(env=self.env)
        # Taken now: the window is gone once the program ends.
        page.windows_pid = page.pid()
        page.wait(SCHEME, "text", "http://")
        if host:
            page.set_text(HOST, host)
            page.click(NEXT)
            box = self.driver.msgbox(owner=page, timeout=20000)
            box["window"].click(box["buttons"][0]["id"])
            box["window"].wait_gone()
        page.click(CANCEL)
        return self.exit_code(page)

    def test_every_code(self):
        def remove(rel):
            return lambda served: os.remove(served[rel])

        # A program that does not start (a file that is no program at all is refused before
        # its start, and counts as not obtained: the sign-in page cases below).
        def not_a_program(rel):
            return lambda served: Path(served[rel]).write_bytes(kvstandins.HEADER_ONLY_IMAGE)

        def sign_in_page(rel):
            return lambda served: Path(served[rel]).write_bytes(b"<html><body>Sign in</body></html>\n")

        in_the_way = kvtest.program_files() / "KestrelVAULT" / "Acme"

        def file_as_site_directory(served):
            in_the_way.parent.mkdir(parents=True, exist_ok=True)
            in_the_way.write_bytes(b"a file where the site directory belongs")

        def remove_file_in_the_way():
            if in_the_way.is_file():
                in_the_way.unlink()
        self.addCleanup(remove_file_in_the_way)

        cases = [
            # code, name, run
            (0, "done", lambda: self.unattended()),
            (3010, "done, restart needed", lambda: self.unattended(env={"KV_STANDIN_ACTIVEX_EXIT": "3010"})),
            (1602, "left by the user", lambda: self.by_hand()),
            (10, "server unreachable at the check", lambda: self.by_hand("127.0.0.1:9")),
            (20, "installer not obtained", lambda: self.unattended(change=remove(kvstandins.ACTIVEX_PATH))),
            (20, "installer not obtained", lambda: self.unattended(change=sign_in_page(kvstandins.ACTIVEX_PATH))),
            (21, "installer launch failed", lambda: self.unattended(change=not_a_program(kvstandins.ACTIVEX_PATH))),
            (30, "site descriptor not obtained or unreadable",
             lambda: self.unattended(change=remove(kvstandins.DESCRIPTOR_PATH))),
            (31, "SiteName refused", lambda: self.unattended(site="..\\..\\evil")),
            (32, "site directory not prepared", lambda: self.unattended(change=file_as_site_directory)),
            (30, "site descriptor not obtained or unreadable",
             lambda: self.unattended(change=sign_in_page(kvstandins.DESCRIPTOR_PATH))),
            (40, "updater not obtained", lambda: self.unattended(change=remove(kvstandins.UPDATER_PATH))),
            (40, "updater not obtained", lambda: self.unattended(change=sign_in_page(kvstandins.UPDATER_PATH))),
            (41, "updater launch failed", lambda: self.unattended(change=not_a_program(kvstandins.UPDATER_PATH))),
        ]
        for code, name, run in cases:
            with self.subTest(code=code, name=name):
                self.fresh_run_files()
                try:
                    self.assertEqual(run(), code)
                finally:
                    remove_file_in_the_way()
                log = self.log_lines()
                self.assertEqual(log[-2:], [(log[0][0], "ExitCode: %d" % code),
                                            (log[0][0], "< CKestrelVault_SetupApp::InitInstance")])
                outcome = self.kvlog_outcome()
                self.assertEqual((outcome["exit_code"], outcome["name"], outcome["logged_exit_code"]), (code, name, code))
                if code == 3010:
                    self.assertIn("KestrelVAULT ActiveX 7i_ko.exe asks for a restart (exit code 3010).",
                                  self.worker_lines())


if __name__ == "__main__":
    unittest.main(verbosity=2)
