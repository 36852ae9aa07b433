"""Answers that are no file: the real program under Wine, by hand, against the scripted server,
with one of the three files answered by a status that does not carry it (a proxy's 407, a
refusal, a loaded server's 503 with Retry-After), by a sign-in page behind a redirect (302 to
an HTML page with 200), at every request for the file or at its transfer only.

Each such answer must be no size and no file: the size query and the transfer log "HTTP status
N" (with the server's Retry-After, and for 407 the proxy's line), nothing of the answer lands in
the temp directory, the site directory or the base directory, no program starts from it, and the
run ends with the code of the file's step. A sign-in page that arrives as a whole file is no
descriptor (no SiteName: 30, nothing made under Program Files) and no program (refused before it
starts: for the installer a failed attempt). By hand the page then says that the installation
did not complete, with the code and the log file. kvlog reads the status lines.

Most of the status table (every status at both requests, both schemes) is proven in-process
against the same server (tests/net/transfer_test.cpp, FetchServerFile.AnswersWhoseStatusIsNoFile);
these runs take a representative case of each kind through the whole program.
"""

import os
import unittest

from kvtestkit import kvstandins, kvtest, kvwizard
from kvtestkit.kvwizard import FINISH, FINISH_TEXT, PREV, STATUS

SITE = "Acme"
SIZE_SCOPE = "KVDownloadDlg::GetWebFileSize"
HTTPS_SCOPE = "KVDownloadDlg::URLDownloadToFileOnHttps"
HTTP_SCOPE = "KVDownloadDlg::URLDownloadToFile"
INSTALL_SCOPE = "KVDownloadDlg::InstallActiveX"
UPDATE_SCOPE = "KVDownloadDlg::RunKVUpdate"
PROXY_LINE = "Proxy asks for credentials (407)"
NOT_A_PROGRAM = " not a program (no PE image), removed, not started___"

INSTALLER = ("installer", kvstandins.ACTIVEX_NAME, kvstandins.ACTIVEX_PATH, 20)
DESCRIPTOR = ("descriptor", kvstandins.DESCRIPTOR_NAME, kvstandins.DESCRIPTOR_PATH, 30)
UPDATER = ("updater", kvstandins.UPDATER_NAME, kvstandins.UPDATER_PATH, 40)


def status_lines(code, retry_after=None):
    line = "HTTP status %d" % code + (", Retry-After: %s" % retry_after if retry_after else "")
    return [line] + ([PROXY_LINE] if code == 407 else [])


# (what, https, file, the fault rule's modes, the refused answer's status lines (None: a sign-in
# page, which arrives whole), at the transfer only)
CASES = [
    ("a proxy asking for credentials at every request", True, INSTALLER, "/_status=407", status_lines(407), False),
    ("a loaded server's 503 with Retry-After", False, DESCRIPTOR, "/_status=503/_retryafter=20",
     status_lines(503, "20"), False),
    ("a proxy refusing the transfer only", False, UPDATER, "/_skip=1/_status=403", status_lines(403), True),
    ("a server error at every request", True, UPDATER, "/_status=500", status_lines(500), False),
    ("a missing file at the transfer only", True, DESCRIPTOR, "/_skip=1/_status=404/_page", status_lines(404), True),
    ("a sign-in page in front of the descriptor", True, DESCRIPTOR, "/_signin", None, False),
    ("a sign-in page in front of the installer", False, INSTALLER, "/_signin", None, False),
    ("a sign-in page in front of the updater", False, UPDATER, "/_signin", None, False),
]


def occurrences(lines, block):
    """How often block stands in lines as a whole, without overlaps."""
    n, i = 0, 0
    while i + len(block) <= len(lines):
        if lines[i:i + len(block)] == block:
            n, i = n + 1, i + len(block)
        else:
            i += 1
    return n


class StatusAnswersTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvstatus"
    server_kinds = ("script", "script-https")

    def base_dir_entries(self):
        base = kvtest.program_files() / "KestrelVAULT"
        return sorted(str(p.relative_to(base)) for p in base.rglob("*")) if base.is_dir() else []

    def refused_fetch(self, https, lines, transfer_only, size):
        """The size query's and the transfer's lines for one fetch of the faulted file."""
        open_line = "openFlag: 0x%x" % (0x4001001 if https else 0x4000001)
        sized = ["ServerFileSize: %d" % size] if transfer_only else lines
        block = ["> " + SIZE_SCOPE, open_line] + sized + ["< " + SIZE_SCOPE]
        code = int(lines[0].split()[2].rstrip(","))
        if https:
            return block + ["> " + HTTPS_SCOPE, "openFlag: 0x4001001", "HttpStatus fail___(status: %d)" % code] + \
                lines + ["< " + HTTPS_SCOPE]
        return block + ["> " + HTTP_SCOPE] + lines + ["< " + HTTP_SCOPE]

    def test_answers_that_are_no_file(self):
        for what, https, file, modes, lines, transfer_only in CASES:
            with self.subTest(what, scheme="https" if https else "http", file=file[0]):
                self.run_case(https, file, modes, lines, transfer_only)

    def run_case(self, https, file, modes, lines, transfer_only):
        key, name, rel, code = file
        self.servers.script_reset()
        host = self.serve_site(self.servers, "script-https" if https else "script", SITE)
        self.fresh_run_files()
        base_before = self.base_dir_entries()
        temp_before = {p.name for p in kvtest.temp_dir().iterdir() if p.is_file()}
        size = os.path.getsize(self.served[rel])
        self.servers.script_fault(name, modes)
        page = self.run_by_hand(host, https)
        try:
            worker = self.worker_lines()
            attempts = 5 if file is INSTALLER else 1
            if lines is not None:
                block = self.refused_fetch(https, lines, transfer_only, size)
                self.assertEqual(occurrences(worker, block), attempts, "the refused answers in:\n  %s\nexpected:\n  %s"
                                 % ("\n  ".join(worker), "\n  ".join(block)))
            else:
                # The sign-in page arrives whole, as a 200 after the redirect.
                self.assertEqual([l for l in worker if l.startswith("HTTP status")], [])
                if file is DESCRIPTOR:
                    self.assertEqual(worker[-2:], ["SiteName missing___", "< " + UPDATE_SCOPE])
                else:
                    program = name if file is UPDATER else kvstandins.ACTIVEX_NAME
                    self.assertEqual(worker.count(program + NOT_A_PROGRAM), attempts)
            if file is DESCRIPTOR:
                self.assertFalse([l for l in worker if l.startswith("SiteName: ")], "no site name goes on")

            # Nothing of the answer anywhere, nothing made for it, nothing started from it.
            self.assertEqual({p.name for p in kvtest.temp_dir().iterdir() if p.is_file()} - temp_before, set())
            self.assertEqual(self.new_private_dirs(), set(), "a private directory of the run stays")
            roles = [r["role"] for r in self.records() if r["event"] == "start"]
            # A failed installer step lets the update step run all the same.
            self.assertEqual(roles, ["updater"] if file is INSTALLER else ["activex"])
            if file is DESCRIPTOR:
                self.assertEqual(self.base_dir_entries(), base_before, "nothing written into the base directory")
                self.assertEqual(kvtest.reg_values(self.site_key), {"LANGUAGE": ("REG_DWORD", 1)})
            elif file is UPDATER:
                self.assertFalse((self.site_dir / name).exists(), "no updater in the site directory")
                self.assertNotIn("PRODUCT", kvtest.reg_values(self.site_key) or {})

            # By hand the page says so, with the code and the log.
            self.assertEqual(page.text(STATUS), kvwizard.incomplete_text(code, self.win_dir + "\\setup.log"))
            self.assertEqual(page.text(FINISH), FINISH_TEXT)
            self.assertFalse(page.enabled(PREV))

            self.finish(page, code)

            # kvlog reads the same from the ended run's log: the outcome, and the status line
            # with the faulted file's fetch.
            run = self.kvlog_run()
            self.assertEqual(run["outcome"]["exit_code"], code)
            if lines is not None:
                faulted = [t for t in run["transfers"] if t["item"] == key]
                self.assertEqual(len(faulted), attempts)
                for t in faulted:
                    self.assertEqual(t["http_status"], lines[0])
                    self.assertEqual(t["proxy_credentials"], PROXY_LINE in lines)
                    self.assertEqual(t["size"], size if transfer_only else None)
        finally:
            page.process.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
