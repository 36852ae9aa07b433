"""Next's access check and the download page, through the real program under Wine against the
scripted server on 127.0.0.1.

The host text may carry a path, and every server address is the scheme, the host text and
"/app/...": a host of "127.0.0.1:PORT/_hold=NAME" therefore makes the scripted server hold the
page's first request until the test releases NAME, which keeps the page in its running state
for as long as a test needs, without any timing.
"""

import os
import shutil
import time
import unittest
import urllib.parse

from kvtestkit import kvstandins, kvtest, kvwizard, scriptserver
from kvtestkit.kvwizard import (CANCEL, FINISH, FINISH_TEXT, HOST, HTTP, HTTPS, NEXT, PREV, PROGRESS, SCHEME,
                                STATUS, UNREACHABLE_TEXT)


SITE = "kvdl test"

# First page
FIRST_PAGE_IDS = (1011, 1012, 1006, 1008, 2, 1000, 1007, 1013, 0xFFFF)
# Download page
PREV_TEXT = "< 뒤로(&B)"  # string 212
STATUS_AT_START = "설치에 필요한 파일들을 다운로드 받습니다."  # string 206


class DownloadPageTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvdl"
    server_kinds = ("script",)
    trust_servers = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Real stand-ins, so that every run ends the way a real one does.
        kvstandins.fill_server_tree(cls.servers.www, SITE, kvtest.build_dir())
        cls.addClassCleanup(shutil.rmtree, kvtest.program_files() / "KestrelVAULT" / SITE, True)

    def setUp(self):
        super().setUp()
        self.servers.script_reset()

    # -- helpers -------------------------------------------------------------------------------
    def host(self, path=""):
        return self.servers.host("script") + path

    def log_messages(self):
        """The message texts of the log, and the scope lines as "ENTER name" / "LEAVE name"."""
        if not (self.dir / "setup.log").exists():
            return []
        names = {"> ": "ENTER ", "< ": "LEAVE "}
        return [names[text[:2]] + text[2:] if text[:2] in names else text for _, text in self.log_lines()]

    def requests(self):
        """The requests for files: the first page's access check (the site's root) left out."""
        paths = [urllib.parse.unquote(r["path"]) for r in self.servers.script_requests()]
        return [p for p in paths if scriptserver.parse_modes(p)[1].strip("/")]

    def start_page(self, *args, exe=None):
        page = self.start_wizard(*args, exe=exe)
        page.wait(SCHEME, "text", "http://")
        return page

    def press_next(self, page, host, https=False):
        if https:
            page.click(HTTPS)
            page.wait(SCHEME, "text", "https://")
        page.set_text(HOST, host)
        page.wait(NEXT, "enabled")
        page.click(NEXT)

    def wait_download_page(self, page):
        page.wait(PREV, "visible", timeout=15000)
        page.wait(PREV, "text", PREV_TEXT)

    def has_download_page(self, page):
        return any(c["id"] == PREV for c in page.children())

    def assert_first_page_shown(self, page):
        for ctl in FIRST_PAGE_IDS:
            if ctl == 0xFFFF:
                continue  # the etched line has no id of its own to find it by
            with self.subTest(ctl=ctl):
                self.assertTrue(page.visible(ctl), "control %d hidden" % ctl)
                self.assertTrue(page.enabled(ctl), "control %d disabled" % ctl)

    def finish_run(self, page, name):
        """Releases the held request and waits for the page to reach its end state."""
        self.servers.script_release(name)
        page.wait(FINISH, "enabled", timeout=60000)

    # -- the access check ----------------------------------------------------------------------
    def test_host_is_trimmed_and_handed_over_without_scheme(self):
        cases = [
            # typed host, expected ServerURL, expected path prefix of the requests
            ("  %s/_hold=a  " % self.host(), self.host() + "/_hold=a", "/_hold=a/app/"),
            ("%s/_hold=a/" % self.host(), self.host() + "/_hold=a/", "/_hold=a//app/"),
        ]
        for typed, trimmed, prefix in cases:
            with self.subTest(typed=typed):
                self.servers.script_reset()
                (self.dir / "setup.log").unlink(missing_ok=True)
                page = self.start_page()
                self.press_next(page, typed)
                self.wait_download_page(page)
                # The held request shows what the page was given.
                deadline = time.monotonic() + 20
                while not self.requests() and time.monotonic() < deadline:
                    time.sleep(0.05)
                paths = self.requests()
                self.assertTrue(paths, "no request reached the server")
                self.assertTrue(paths[0].startswith(prefix), paths[0])
                self.assertTrue(paths[0].endswith("/KestrelVAULT ActiveX 7i_ko.exe"), paths[0])
                log = self.log_messages()
                self.assertIn("ServerURL: " + trimmed, log)
                self.assertIn("ConnectionURL: http://" + trimmed, log)
                self.finish_run(page, "a")
                page.click(FINISH)
                page.wait_gone(timeout=15000)

    def test_unreachable_server_shows_the_message_and_changes_nothing(self):
        page = self.start_page()
        page.click(HTTPS)
        page.wait(SCHEME, "text", "https://")
        # Blanks around the host go; the check uses the selected scheme.
        page.set_text(HOST, " 127.0.0.1:9 ")
        page.click(NEXT)
        box = self.driver.msgbox(owner=page, timeout=20000)
        self.assertEqual(box["text"], UNREACHABLE_TEXT)
        self.assertEqual(box["caption"], "KestrelVault_Setup")
        box["window"].click(box["buttons"][0]["id"])
        box["window"].wait_gone()
        self.assertEqual(page.text(HOST), " 127.0.0.1:9 ")
        self.assertEqual(page.text(SCHEME), "https://")
        self.assertEqual((page.checked(HTTP), page.checked(HTTPS)), (0, 1))
        self.assertTrue(page.enabled(NEXT))
        self.assertTrue(page.enabled(CANCEL))
        self.assertFalse(self.has_download_page(page), "no download page after a failed check")
        log = self.log_messages()
        self.assertEqual(log[-5:], ["ENTER CKestrelVault_SetupDlg::OnBnClickedNext", "ServerURL: 127.0.0.1:9",
                                    "ConnectionURL: https://127.0.0.1:9", "Server web connect fail___",
                                    "LEAVE CKestrelVault_SetupDlg::OnBnClickedNext"])

    def test_scheme_typed_into_the_host_selects_it(self):
        page = self.start_page()
        page.set_text(HOST, "https://127.0.0.1:9")
        page.click(NEXT)
        box = self.driver.msgbox(owner=page, timeout=20000)
        box["window"].click(box["buttons"][0]["id"])
        box["window"].wait_gone()
        self.assertIn("ConnectionURL: https://127.0.0.1:9", self.log_messages())
        self.assertEqual((page.text(HOST), page.text(SCHEME), page.checked(HTTPS)), ("127.0.0.1:9", "https://", 1))

    def test_next_while_disabled_writes_only_the_scope(self):
        page = self.start_page()
        self.assertFalse(page.enabled(NEXT))
        before = len(self.log_messages())
        page.command(NEXT)  # as the default-button path would deliver it
        # The page must still be there and unchanged; the handler's lines tell it ran.
        deadline = time.monotonic() + 10
        while len(self.log_messages()) < before + 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.log_messages()[before:], ["ENTER CKestrelVault_SetupDlg::OnBnClickedNext",
                                                        "LEAVE CKestrelVault_SetupDlg::OnBnClickedNext"])
        self.assertFalse(self.has_download_page(page))

    # -- the download page ---------------------------------------------------------------------
    def test_buttons_within_the_first_300_ms(self):
        # Prev: back to the first page, nothing fetched.
        page = self.start_page()
        self.press_next(page, self.host("/_hold=b"))
        self.wait_download_page(page)
        page.click(PREV)
        page.wait(PREV, "gone")
        self.assert_first_page_shown(page)
        self.assertEqual(page.text(HOST), self.host("/_hold=b"))
        # Finish: the wizard ends at once, nothing fetched.
        self.press_next(page, self.host("/_hold=b"))
        self.wait_download_page(page)
        page.click(FINISH)
        page.wait_gone(timeout=15000)
        self.assertEqual(page.process.wait(20), 1602 & 0xFF, "left before the steps (Wine passes the low 8 bits)")
        time.sleep(0.5)  # a worker that started anyway would have asked by now
        self.assertEqual(self.requests(), [])

    def test_closing_is_refused_while_running_and_allowed_after(self):
        page = self.start_page()
        self.press_next(page, self.host("/_hold=c"))
        self.wait_download_page(page)
        page.wait(PREV, "disabled", timeout=15000)
        # The worker disables Prev and then Finish, one call after the other: Finish is waited
        # for rather than read at once.
        page.wait(FINISH, "disabled", timeout=15000)
        page.wait(STATUS, "text", "ActiveX 설치용 프로그램을 다운로드 중입니다.")  # string 120
        page.syscommand("close")
        page.key("escape")
        page.click(CANCEL, force=True)
        time.sleep(0.5)
        self.assertTrue(page.exists(), "the wizard closed while the steps ran")
        self.finish_run(page, "c")
        self.assertEqual(page.text(FINISH), FINISH_TEXT)
        self.assertFalse(page.enabled(PREV), "Prev stays disabled after the run")
        page.syscommand("close")
        page.wait_gone(timeout=15000)
        self.assertEqual(page.process.wait(20), 0)

    def test_back_and_next_again_runs_again_on_a_new_window(self):
        page = self.start_page()
        self.press_next(page, self.host("/_hold=d"))
        self.wait_download_page(page)
        first = page.info(PREV)["hwnd"]
        page.click(PREV)
        page.wait(PREV, "gone")
        page.click(NEXT)
        self.wait_download_page(page)
        self.assertNotEqual(first, page.info(PREV)["hwnd"])
        page.wait(PREV, "disabled", timeout=15000)
        self.finish_run(page, "d")
        self.assertTrue(self.requests(), "the second page window ran the steps")
        self.assertIn("ENTER KVDownloadDlg::InstallActiveX", self.log_messages())

    def test_progress_bar_follows_a_trickling_file(self):
        size = os.path.getsize(os.path.join(self.servers.www, kvstandins.ACTIVEX_PATH))
        page = self.start_page()
        self.press_next(page, self.host("/_slow=40"))
        self.wait_download_page(page)
        page.wait(PROGRESS, "pos_ge", 4096, timeout=30000)
        pos, low, high = page.progress(PROGRESS)
        self.assertEqual((low, high), (0, size), "the range is the announced size")
        self.assertLess(pos, size, "caught while the file trickles in")
        page.wait(PROGRESS, "pos_ge", size, timeout=60000)
        page.wait(FINISH, "enabled", timeout=60000)

    def test_auto_mode_ends_by_itself(self):
        page = self.start_wizard(exe=self.stamped_copy(self.host()))
        page.wait_gone(timeout=60000)
        self.assertEqual(page.process.wait(20), 0)
        log = self.log_messages()
        self.assertIn("ConnectionURL: http://" + self.host(), log)
        self.assertIn("ENTER KVDownloadDlg::InstallActiveX", log)
        self.assertTrue(self.requests(), "the unattended run fetched from the server")


if __name__ == "__main__":
    unittest.main(verbosity=2)
