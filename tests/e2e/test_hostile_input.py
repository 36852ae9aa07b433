"""Hostile input through the real program under Wine, against nginx on 127.0.0.1.

- Hosts that cannot be reached but are made to hurt: 2,000 characters typed and set, 2,000
  Hangul syllables, Hangul in a path, control characters typed and set, characters that code
  page 949 cannot hold. Each is pressed through Next on one running first page: the program
  lives on, the box of string 199 comes, the log shows the trimmed host and the URL as the
  box held them (or "(Convert to ansi fail)" where code page 949 cannot hold them), the page
  stays as it was, nothing appears under the per-site keys or the Program Files folder, and the
  same page then installs from the real server and ends normally.
- An address longer than a registry key name may be (the server's own address followed by
  slashes, which the transfers keep and nginx merges), 300 characters unattended and 2,000 by
  hand: the run ends normally and does everything but the three per-site values, whose key
  cannot be created.
- A served descriptor whose SiteName climbs out of the base directory: the run ends with
  "Invalid SiteName___", nothing is created outside, and the updater is never fetched.
"""

import os
import sys
import time
import unittest
from pathlib import Path

from kvtestkit import kvstandins, kvtest, kvwizard
from kvtestkit.kvwizard import HOST, NEXT, PREV, SCHEME, SETTINGS_KEY, UNREACHABLE_TEXT

# The white space the runtime's iswspace trims from the host, as far as these hosts use it.
BLANKS = " \t\n\v\f\r"
CONVERT_FAIL = "(Convert to ansi fail)"


def log_text(text):
    """What a "%S" argument becomes in the log: the text in code page 949, or the whole message
    replaced when that code page cannot hold it."""
    try:
        text.encode("cp949")
        return text
    except UnicodeEncodeError:
        return None


def printable(text):
    return "".join(c for c in text if c >= " " and c != "\x7f")


def tree(path):
    """Every path below `path` (relative), or None when it does not exist."""
    if not path.exists():
        return None
    return sorted(str(p.relative_to(path)) for p in path.rglob("*"))


class HostileInputTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvhostile"
    server_kinds = ("http",)

    def setUp(self):
        super().setUp()
        self.drive_c = kvtest.unix_path("C:\\")
        self.before = self.places()
        self.requests_before = len(self.servers.nginx_requests())

    def places(self):
        """What a run must not touch beyond its own site: the per-site keys, the Program Files
        folder, the top of drive C."""
        return {"keys": kvtest.reg_subkeys(SETTINGS_KEY),
                "program files": sorted(os.listdir(kvtest.program_files())),
                "base": tree(kvtest.program_files() / "KestrelVAULT"),
                "drive c": sorted(os.listdir(self.drive_c))}

    def requests(self):
        """The request lines nginx answered during this test."""
        return [r["request"] for r in self.servers.nginx_requests()[self.requests_before:]]

    def next_and_wait_for_the_end(self, page):
        """Presses Next on a filled first page and waits until the worker has ended."""
        self.next_to_worker(page)
        self.wait_worker_end(page)

    # -- the first page ----------------------------------------------------------------------
    def test_unreachable_hostile_hosts_fail_the_check_and_leave_the_page_usable(self):
        closed = "127.0.0.1:9"   # the discard port: nothing listens there, the refusal is at once
        hangul = "".join(chr(0xAC00 + (i * 37) % 11172) for i in range(2000))
        rows = [
            # (what, how the text gets in, text)
            ("2,000 letters typed", "type", "h" * 2000),
            ("2,000 characters set: a closed port and a long path", "set", closed + "/" + "p" * (2000 - 12)),
            ("2,000 Hangul syllables set", "set", hangul),
            ("Hangul in the path, typed", "type", closed + "/케스트렐/시험"),
            ("control characters set, blanks of each kind at both ends",
             "set", " \t\v\f" + closed + "/\x01\x02\x1b\x7f\x1f" + "\t \r\n"),
            ("control characters typed", "type", closed + "/\x02\x04\x05\x1b\x1f\x7fz"),
            ("format directives, typed", "type", closed + "/%s%n%S%x%%%1$s"),
            ("a character code page 949 cannot hold", "set", closed + "/\U0001F600\u0B95"),
            ("2,000 characters with a character code page 949 cannot hold", "set",
             closed + "/" + "\u0B95" * (2000 - 12)),
        ]
        page = self.start_wizard(env=self.env)
        page.wait(SCHEME, "text", "http://")
        for what, how, text in rows:
            with self.subTest(what):
                page.set_text(HOST, "")
                if how == "type":
                    # Typing is posted: wait until the box has taken every character. Wine's
                    # edit control drops typed characters below the blank and DEL; it has no
                    # length limit near 2,000, and the page sets none.
                    page.type(HOST, text)
                    page.wait(HOST, "text", printable(text), timeout=30000)
                else:
                    page.set_text(HOST, text)
                held = page.text(HOST)
                self.assertEqual(held, printable(text) if how == "type" else text,
                                 "the host box holds what was put in")
                page.wait(NEXT, "enabled")
                lines_before = len(self.log_lines())

                started = time.monotonic()
                page.click(NEXT)
                box = self.driver.msgbox(owner=page, timeout=60000)
                took = time.monotonic() - started
                self.assertEqual(box["text"], UNREACHABLE_TEXT)
                self.assertTrue(page.process.alive())
                box["window"].click(box["buttons"][0]["id"])
                box["window"].wait_gone()
                print("  %s: %d characters, check failed after %.2f s" % (what, len(held), took), file=sys.stderr)

                # The box is gone a moment before the handler returns and logs its exit.
                deadline = time.monotonic() + 10
                while self.log_lines()[-1:] and self.log_lines()[-1][1] != "< CKestrelVault_SetupDlg::OnBnClickedNext" \
                        and time.monotonic() < deadline:
                    time.sleep(0.05)
                trimmed = held.strip(BLANKS)
                host_text = log_text(trimmed)
                url_text = log_text("http://" + trimmed)
                self.assertEqual([t for _, t in self.log_lines()[lines_before:]], [
                    "> CKestrelVault_SetupDlg::OnBnClickedNext",
                    "ServerURL: " + host_text if host_text is not None else CONVERT_FAIL,
                    "ConnectionURL: " + url_text if url_text is not None else CONVERT_FAIL,
                    "Server web connect fail___",
                    "< CKestrelVault_SetupDlg::OnBnClickedNext",
                ])
                # The page as it was before the press, the second page never made.
                self.assertEqual(page.text(HOST), held)
                self.assertTrue(page.enabled(NEXT))
                self.assertTrue(page.visible(HOST))
                self.assertEqual(page.text(SCHEME), "http://")
                self.assertFalse(any(c["id"] == PREV for c in page.children()))

        self.assertEqual(self.places(), self.before, "nothing written under the site keys, Program Files or C:\\")

        # The same page then installs from a real server and ends normally.
        host = self.serve_site(self.servers, "http", "Acme")
        page.set_text(HOST, host)
        self.next_and_wait_for_the_end(page)
        self.finish(page)
        worker = self.worker_lines()
        self.assertIn("SiteName: Acme", worker)
        self.assertEqual(worker[-2:], ["KVUpdate.exe run Success...", "< KVDownloadDlg::RunKVUpdate"])
        self.assertEqual(self.log_lines()[-1][1], "< CKestrelVault_SetupApp::InitInstance")

    # -- an address longer than a key name ---------------------------------------------------
    def test_an_address_longer_than_a_key_name_runs_to_the_end_without_the_per_site_values(self):
        port_host = self.servers.host("http")
        rows = [
            # (what, address length, unattended)
            ("unattended, 300 characters", 300, True),
            ("by hand, 2,000 characters", 2000, False),
        ]
        for what, length, unattended in rows:
            with self.subTest(what):
                self.run_long_address(port_host + "/" * (length - len(port_host)), unattended)

    def run_long_address(self, host, unattended):
        self.assertGreater(len(host), 255)
        self.serve_site(self.servers, "http", "Acme", host=host)
        (self.dir / "records.jsonl").unlink(missing_ok=True)
        (self.dir / "setup.log").unlink(missing_ok=True)
        requests_before = len(self.servers.nginx_requests())
        if unattended:
            page = self.start_wizard(exe=self.stamped_copy(host), env=self.env)
            page.wait_gone(timeout=120000)
            self.assertEqual(page.process.wait(30), 0)
        else:
            page = self.start_wizard(env=self.env)
            page.wait(SCHEME, "text", "http://")
            page.set_text(HOST, host)
            self.next_and_wait_for_the_end(page)
            self.finish(page)

        # Everything of the run happened: both programs ran, the site directory holds both files.
        records = self.records()
        self.assertEqual([(r["role"], r["event"]) for r in records],
                         [("activex", "start"), ("activex", "end"), ("updater", "start"), ("updater", "end")])
        self.assertEqual(records[2]["args"], "-ou")
        self.assertEqual(set(records[2]["sites"]) - set(self.before["keys"]), set(),
                         "the updater found no per-site key of this run")
        self.assertEqual((self.site_dir / kvstandins.DESCRIPTOR_NAME).read_bytes(),
                         Path(self.served[kvstandins.DESCRIPTOR_PATH]).read_bytes())
        self.assertTrue((self.site_dir / kvstandins.UPDATER_NAME).is_file())

        worker = self.worker_lines()
        self.assertIn("SiteName: Acme", worker)
        self.assertIn("KestrelVAULT ActiveX 7i_ko.exe run Success...", worker)
        self.assertEqual(worker[-2:], ["KVUpdate.exe run Success...", "< KVDownloadDlg::RunKVUpdate"])
        self.assertIn("ConnectionURL: http://" + host, [t for _, t in self.log_lines()])
        self.assertFalse([t for t in worker if t.endswith("fail___")])

        # The three values failed without a word, and no shorter key stands in for the long one.
        self.assertEqual(kvtest.reg_subkeys(SETTINGS_KEY), self.before["keys"])
        # Every file was asked for with the address's slashes kept (nginx merges them).
        paths = [r["request"].split(" ")[1] for r in self.servers.nginx_requests()[requests_before:]]
        for name in ("/app/" + kvstandins.ACTIVEX_NAME.replace(" ", "%20"),
                     "/app/update/" + kvstandins.DESCRIPTOR_NAME, "/app/update/" + kvstandins.UPDATER_NAME):
            self.assertIn(host[len(host.rstrip("/")):] + name, paths)

    # -- a SiteName that leaves the base directory ------------------------------------------
    def test_a_site_name_climbing_out_of_the_base_directory_is_refused(self):
        site = "..\\..\\evil"
        host = self.serve_site(self.servers, "http", site, descriptor=kvstandins.descriptor_bytes(site))
        page = self.start_wizard(exe=self.stamped_copy(host), env=self.env)
        page.wait_gone(timeout=120000)
        self.assertEqual(page.process.wait(30), 31, "the run ends by itself, with SiteName refused")

        worker = self.worker_lines()
        self.assertEqual(worker[-3:], ["SiteName: " + site, "Invalid SiteName___", "< KVDownloadDlg::RunKVUpdate"])
        self.assertNotIn("> AddFileAccessAllowedRights", worker)
        self.assertEqual([(r["role"], r["event"]) for r in self.records()], [("activex", "start"), ("activex", "end")])
        asked = self.requests()
        self.assertTrue([a for a in asked if kvstandins.DESCRIPTOR_NAME in a], "the descriptor was fetched")
        self.assertFalse([a for a in asked if kvstandins.UPDATER_NAME in a], "the updater is never fetched")
        after = self.places()
        self.assertEqual(after["program files"], self.before["program files"])
        self.assertEqual(after["base"], self.before["base"], "nothing created in or as the base directory")
        self.assertEqual(after["drive c"], self.before["drive c"], "no C:\\evil")
        self.assertFalse((self.drive_c / "evil").exists())
        # The values before the directories are written; the one after the updater is not.
        self.assertEqual(kvtest.reg_values(self.site_key), {"LANGUAGE": ("REG_DWORD", 1)})
        self.assertEqual(kvtest.reg_values(self.site_key + "\\Update"), {"DontQuestionDesktopShortcut": ("REG_DWORD", 1)})


if __name__ == "__main__":
    unittest.main(verbosity=2)
