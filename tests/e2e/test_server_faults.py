"""What a failing server does to a whole run: the real program under Wine, driven by hand
through the driver, against the scripted server (tests/kvtestkit/scriptserver.py), with one of
the three files the wizard fetches answered with a fault while the other two come as usual.

For each scheme (http and https: our WinINet download, which logs its lines over https) and each file
(the installer, the site descriptor, the updater), each fault of FAULTS: connection refused,
an error status, no Content-Length (chunked), the connection dropped in the middle of the
body, a body much longer or much shorter than its Content-Length, an empty body. A run must
end in the page's end state ("완료" enabled, the program exits 0 after it), and leave:

- the log lines of the fetch, in order: the size query's, our https download's, and the
  step's own (the installer step tries five times, then starts nothing; the update step stops
  at the first file that fails, with its line);
- no installer and no partial file in the user's temp directory, no private directory of the
  run left under the machine's temp directory (the elevated program fetches there), and in the
  site directory only whole files;
- the programs started (stand-in records) and the per-site values that the outcome allows;
- no error box: an empty "program" is refused before it starts, an empty descriptor names no
  site (nothing is made under Program Files for it);
- the page's status text: by hand, a run that failed says so with its exit code and its log.

A server that stalls: one that accepts and never answers, and over https one that never
completes the TLS handshake, at a file's size query or at its transfer (and, the rule standing
for every later request of that file, at every attempt after it). With the machine's stall
limit set to STALL_S seconds (the policy value StallTimeoutSeconds), each stalled request ends
after the limit and within a few seconds more, as a time-out (12002): "Exception: 12002" from
the size query and our https download, 0x80002ee2 from the http path's transfer; the steps take it
as any other failed attempt. The default run stalls the descriptor's size query (and with it
its transfer) under both schemes and in the handshake; with KV_LONG_TESTS=1 every file is
stalled at its size query and at its transfer, both ways.
"""

import os
import re
import socket
import sys
import time
import unittest
from pathlib import Path

from kvtestkit import kvstandins, kvtest, kvwizard
from kvtestkit.kvwizard import FINISH, FINISH_TEXT, PREV, STATUS
from kvtestkit.scriptserver import ERROR_PAGE

LONG = os.environ.get("KV_LONG_TESTS") == "1"
# The stall limit these runs set, the least the policy allows, and how much later than the
# limit a stalled request may end on a loaded machine.
STALL_S = 5
STALL_MARGIN_S = 3.0
POLICY_KEY = r"HKLM\SOFTWARE\Policies\KestrelVAULT\Setup"
POLICY_VALUE = "StallTimeoutSeconds"

SITE = "Acme"
STATUS_INSTALL_PRODUCT = kvwizard.INSTALL_PRODUCT_TEXT    # string 162

SIZE_SCOPE = "KVDownloadDlg::GetWebFileSize"
HTTPS_SCOPE = "KVDownloadDlg::URLDownloadToFileOnHttps"
HTTP_SCOPE = "KVDownloadDlg::URLDownloadToFile"
INSTALL_SCOPE = "KVDownloadDlg::InstallActiveX"
UPDATE_SCOPE = "KVDownloadDlg::RunKVUpdate"
GRANT_SCOPE = "AddFileAccessAllowedRights"


ERROR_INTERNET_CANNOT_CONNECT = 12029
ERROR_INTERNET_CONNECTION_RESET = 12031
ERROR_HTTP_HEADER_NOT_FOUND = 12150
ERROR_INTERNET_TIMEOUT = 12002
INET_E_DOWNLOAD_FAILURE = 0x800C0008
ERROR_PAGE_STATUS = 404


def wininet_result(error):
    return 0x80000000 | (error & 0xFFFF)


def _open(flags):
    return "openFlag: 0x%x" % flags


class File:
    def __init__(self, key, name, rel):
        self.key, self.name, self.rel = key, name, rel
        self.url_path = "/" + rel


INSTALLER = File("installer", kvstandins.ACTIVEX_NAME, kvstandins.ACTIVEX_PATH)
DESCRIPTOR = File("descriptor", kvstandins.DESCRIPTOR_NAME, kvstandins.DESCRIPTOR_PATH)
UPDATER = File("updater", kvstandins.UPDATER_NAME, kvstandins.UPDATER_PATH)
FILES = (INSTALLER, DESCRIPTOR, UPDATER)


class Fetch:
    """What one fetch of the faulted file must give: the size query's message lines, our https
    download's (https only), the transfer result (an int, or None: any negative), the
    outcome: "whole" (the file as served), "empty" (an empty file, result 0) or "fail", and the
    http path's own lines (a scope of their own, only for an answer refused for its status)."""

    def __init__(self, size_lines, https_lines, result, outcome, http_lines=()):
        self.size_lines, self.https_lines, self.result, self.outcome = size_lines, https_lines, result, outcome
        self.http_lines = list(http_lines)


# A connection closed without any answer: no Content-Length for the size query, and no file.
HANGUP = Fetch(["HttpFile QueryInfo fail___(LaseErr:%d)" % ERROR_HTTP_HEADER_NOT_FOUND],
               ["HttpStatus fail___(status: 0)"], INET_E_DOWNLOAD_FAILURE, "fail")

# The faults: how the scripted server answers every request for the file (given the file's
# size and the refusing port), and what each fetch must give (given whether it is https, the
# file's size and the error page's). One promise for both paths: 0 only for the whole file as
# the server announced it.
FAULTS = [
    # Redirected to a port where nothing listens: that file's connection is refused.
    ("refused", lambda size, dead: "/_refuse=%d" % dead,
     lambda https, size, page: Fetch(
         ["Exception: %d" % ERROR_INTERNET_CANNOT_CONNECT],
         ["Exception: %d" % ERROR_INTERNET_CANNOT_CONNECT],
         wininet_result(ERROR_INTERNET_CANNOT_CONNECT) if https else None, "fail")),
    # The request read and the connection closed without a byte of answer.
    ("closed without an answer", lambda size, dead: "/_hangup",
     lambda https, size, page: HANGUP),
    # A missing file: status 404 with the server's error page, which is neither a size nor a file.
    ("error status", lambda size, dead: "/_status=%d/_page" % ERROR_PAGE_STATUS,
     lambda https, size, page: Fetch(
         ["HTTP status %d" % ERROR_PAGE_STATUS],
         ["HttpStatus fail___(status: %d)" % ERROR_PAGE_STATUS, "HTTP status %d" % ERROR_PAGE_STATUS],
         INET_E_DOWNLOAD_FAILURE, "fail", ["HTTP status %d" % ERROR_PAGE_STATUS])),
    ("no Content-Length (chunked)", lambda size, dead: "/_chunked",
     lambda https, size, page: Fetch(
         ["HttpFile QueryInfo fail___(LaseErr:%d)" % ERROR_HTTP_HEADER_NOT_FOUND], ["Local file open success."],
         0, "whole")),
    # The whole size announced, half the body sent, then the connection closed.
    ("connection dropped mid-body", lambda size, dead: "/_drop=%d" % (size // 2),
     lambda https, size, page: Fetch(
         ["ServerFileSize: %d" % size],
         ["Local file open success.", "Exception: %d" % ERROR_INTERNET_CONNECTION_RESET],
         wininet_result(ERROR_INTERNET_CONNECTION_RESET), "fail")),
    # The file as announced, then 200000 bytes more on the same connection.
    ("body much longer than Content-Length", lambda size, dead: "/_extra=200000",
     lambda https, size, page: Fetch(["ServerFileSize: %d" % size], ["Local file open success."], 0, "whole")),
    # Content-Length three times the file and 100000 more; the whole file, then the close.
    ("body much shorter than Content-Length", lambda size, dead: "/_cl=%d" % (3 * size + 100000),
     lambda https, size, page: Fetch(
         ["ServerFileSize: %d" % (3 * size + 100000)],
         ["Local file open success.", "Exception: %d" % ERROR_INTERNET_CONNECTION_RESET],
         wininet_result(ERROR_INTERNET_CONNECTION_RESET), "fail")),
    ("empty body", lambda size, dead: "/_empty",
     lambda https, size, page: Fetch(["ServerFileSize: 0"], ["Local file open success."], 0, "empty")),
]

# A request that stalled until the limit passed.
STALL = Fetch(["Exception: %d" % ERROR_INTERNET_TIMEOUT], ["Exception: %d" % ERROR_INTERNET_TIMEOUT],
              wininet_result(ERROR_INTERNET_TIMEOUT), "fail")

ERROR_PAGE_LEN = len(ERROR_PAGE % ERROR_PAGE_STATUS)


def matches(actual, expected):
    """Lists of log texts; an expected item may be a compiled pattern."""
    if len(actual) != len(expected):
        return False
    return all(e.fullmatch(a) if hasattr(e, "fullmatch") else a == e for a, e in zip(actual, expected))


class ServerFaultsTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvfault"
    server_kinds = ("script", "script-https")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Bound and never listening: a connection to it is refused, and no one else takes it.
        cls.dead = socket.socket()
        cls.dead.bind(("127.0.0.1", 0))
        cls.addClassCleanup(cls.dead.close)
        cls.dead_port = cls.dead.getsockname()[1]
        kvtest.reg_add(POLICY_KEY, POLICY_VALUE, STALL_S, "REG_DWORD")
        cls.addClassCleanup(kvtest.reg_delete, POLICY_KEY, POLICY_VALUE)

    # -- one run -----------------------------------------------------------------------------
    def start_run(self, https):
        """Forgets the scripted server's requests and rules and serves a fresh site; returns
        the host a user types."""
        self.servers.script_reset()
        kind = "script-https" if https else "script"
        host = self.serve_site(self.servers, kind, SITE)
        self.fresh_run_files()
        self.temp_before = self.temp_files()
        self.host = host
        self.scheme = "https" if https else "http"
        return host

    def wait_end(self, page, timeout_s=120):
        """Waits for the end of the worker (the update step's exit line and Finish enabled),
        dismissing the error boxes the program shows meanwhile; returns their texts. (The
        worker disables Prev before Next: an enabled Next alone can still be the start.)"""
        boxes = []
        pid = page.pid()
        deadline = time.monotonic() + timeout_s
        while True:
            try:
                page.wait(FINISH, "enabled", timeout=500)
                if self.worker_lines()[-1:] == ["< " + UPDATE_SCOPE]:
                    return boxes
            except kvtest.DriverError:
                pass
            reply = self.driver.call("msgbox", timeout=300, pid=pid, exclude=str(page.hwnd))
            if reply.get("ok"):
                boxes.append((reply["caption"], reply["text"]))
                box = kvtest.Window(self.driver, reply["hwnd"])
                box.click(reply["buttons"][0]["id"])
                box.wait_gone()
            if time.monotonic() > deadline:
                raise AssertionError("the run did not end within %d s" % timeout_s)

    def finish(self, page, code=0):
        self.assertEqual(page.text(FINISH), FINISH_TEXT)
        self.assertFalse(page.enabled(PREV), "Prev stays disabled after the run")
        super().finish(page, code)

    @staticmethod
    def exit_code(file, fetch):
        """The program's exit code for a run whose `file` fetched as `fetch` says: the file not
        obtained, or obtained empty: an empty program is no program and is refused before it
        starts, an empty descriptor names no site."""
        failed = fetch.outcome in ("fail", "empty")
        return {INSTALLER: 20, DESCRIPTOR: 30, UPDATER: 40}[file] if failed else 0

    @staticmethod
    def temp_files():
        return {p.name for p in kvtest.temp_dir().iterdir() if p.is_file()}

    # -- what a run must give ------------------------------------------------------------------
    def url(self, file):
        return "%s://%s%s" % (self.scheme, self.host, file.url_path)

    def fetch_lines(self, https, size_lines, https_lines, http_lines=()):
        flags = 0x4001001 if https else 0x4000001
        lines = ["> " + SIZE_SCOPE, _open(flags)] + size_lines + ["< " + SIZE_SCOPE]
        if https:
            lines += ["> " + HTTPS_SCOPE, _open(0x4001001)] + https_lines + ["< " + HTTPS_SCOPE]
        elif http_lines:
            lines += ["> " + HTTP_SCOPE] + list(http_lines) + ["< " + HTTP_SCOPE]
        return lines

    def whole_fetch_lines(self, https, file):
        size = os.path.getsize(self.served[file.rel])
        return self.fetch_lines(https, ["ServerFileSize: %d" % size], ["Local file open success."])

    def expected_run(self, https, file, fetches):
        """The worker's log lines, the stand-ins' records, whether the program shows its error
        box, and which per-site values stand, for a run whose `file` fetched as `fetches` say
        (one per attempt, the last one for the attempts after it)."""
        fetch = fetches[0]
        faulted = self.fetch_lines(https, fetch.size_lines, fetch.https_lines, fetch.http_lines)
        lines = ["> " + INSTALL_SCOPE]
        records = []
        box = False
        server_path = self.url(INSTALLER)
        # The elevated run fetches into a private directory of its own under the machine's temp
        # directory, one for all five attempts.
        down_path = re.compile(re.escape("DownFilePath: ") + kvtest.PRIVATE_DIR_RE.pattern
                               + re.escape("\\" + INSTALLER.name), re.IGNORECASE)
        if file is INSTALLER and fetch.outcome in ("fail", "empty"):
            for attempt in range(5):
                each = fetches[min(attempt, len(fetches) - 1)]
                # Each attempt after a failed one comes after its back-off (2, 4, 8, 16 s).
                if attempt:
                    lines.append(re.compile(r"Next attempt in \d+ ms"))
                lines += ["ServerFilePath: " + server_path, down_path]
                lines += self.fetch_lines(https, each.size_lines, each.https_lines, each.http_lines)
                lines.append("URLDownloadToFile ret: 0x%08x" % each.result if each.result is not None
                             else re.compile(r"URLDownloadToFile ret: 0x8[0-9a-f]{7}"))
                if each.outcome == "empty":
                    # An empty file is no program: refused before its check, a failed attempt.
                    lines += ["KestrelVAULT ActiveX 7i.exe Download Success...",
                              "KestrelVAULT ActiveX 7i_ko.exe not a program (no PE image), removed, not started___"]
                else:
                    lines.append("KestrelVAULT ActiveX 7i.exe Download fail_ and continue loop.")
            # Nothing of this run to start: nothing starts, so the shell has nothing to say.
            lines.append("KestrelVAULT ActiveX 7i_ko.exe not obtained, not started___")
        else:
            lines += ["ServerFilePath: " + server_path, down_path]
            lines += faulted if file is INSTALLER else self.whole_fetch_lines(https, INSTALLER)
            lines += ["URLDownloadToFile ret: 0x00000000", "KestrelVAULT ActiveX 7i.exe Download Success...",
                      "Signer: none", "KestrelVAULT ActiveX 7i_ko.exe run Success..."]
            records += [("activex", "start"), ("activex", "end")]
        lines += ["< " + INSTALL_SCOPE, "> " + UPDATE_SCOPE]
        values = {"LANGUAGE"}
        lines += faulted if file is DESCRIPTOR else self.whole_fetch_lines(https, DESCRIPTOR)
        if file is DESCRIPTOR and fetch.outcome == "fail":
            return lines + ["kestrelvault_server.exe Download fail___", "< " + UPDATE_SCOPE], records, box, values
        # An empty descriptor has no tag: no site is named, and nothing is made for one.
        if file is DESCRIPTOR and fetch.outcome == "empty":
            return lines + ["SiteName missing___", "< " + UPDATE_SCOPE], records, box, values
        lines += ["SiteName: " + SITE] + ["> " + GRANT_SCOPE, "< " + GRANT_SCOPE] * 2
        values.add("Update\\DontQuestionDesktopShortcut")
        lines += faulted if file is UPDATER else self.whole_fetch_lines(https, UPDATER)
        if file is UPDATER and fetch.outcome == "fail":
            return lines + ["%s Download fail___" % self.url(UPDATER), "< " + UPDATE_SCOPE], records, box, values
        if file is UPDATER and fetch.outcome == "empty":
            # No program: removed before its check, and the product's value never comes.
            return (lines + ["KVUpdate.exe not a program (no PE image), removed, not started___", "< " + UPDATE_SCOPE],
                    records, box, values)
        values.add("PRODUCT")
        lines += ["Signer: none", "KVUpdate.exe run Success..."]
        records += [("updater", "start"), ("updater", "end")]
        return lines + ["< " + UPDATE_SCOPE], records, box, values

    def assert_run(self, https, file, fetches, boxes):
        """Everything a finished run leaves, against what `fetches` of `file` allow."""
        lines, records, box, values = self.expected_run(https, file, fetches)
        fetch = fetches[0]
        worker = self.worker_lines()
        self.assertTrue(matches(worker, lines), "worker log:\n  %s\nexpected:\n  %s"
                        % ("\n  ".join(worker), "\n  ".join(str(getattr(l, "pattern", l)) for l in lines)))

        self.assertEqual([(r["role"], r["event"]) for r in self.records()], records)
        self.assertEqual(bool(boxes), box, "the error box for a launch that fails: %s" % boxes)

        # The temp directory keeps nothing of the run: the installer is deleted after its
        # launch, the descriptor moved, and a failed transfer leaves nothing behind.
        self.assertEqual(self.temp_files() - self.temp_before, set(), "left in the temp directory")
        self.assertEqual(self.new_private_dirs(), set(), "a private directory of the run stays")

        # The site directory holds only whole files: the descriptor once read, the updater once
        # fetched and cleared; a descriptor without a site name leaves the base directory alone.
        site_dir = self.site_dir
        expected_files = {}
        if not (file is DESCRIPTOR and fetch.outcome in ("fail", "empty")):
            expected_files[DESCRIPTOR.name] = Path(self.served[DESCRIPTOR.rel]).read_bytes()
            if "PRODUCT" in values:
                expected_files[UPDATER.name] = Path(self.served[UPDATER.rel]).read_bytes()
        for name in (DESCRIPTOR.name, UPDATER.name):
            self.assertFalse((site_dir.parent / name).exists(), "%s in the base directory" % name)
        actual_files = {}
        if site_dir.is_dir():
            actual_files = {p.name: p.read_bytes() for p in site_dir.iterdir() if p.is_file()}
        self.assertEqual(sorted(actual_files), sorted(expected_files), "files in %s" % site_dir)
        for name, data in expected_files.items():
            self.assertTrue(actual_files[name] == data, "%s is not the file as served (%d bytes, served %d)"
                            % (name, len(actual_files[name]), len(data)))

        # The per-site values written before the step stopped stay; the later ones never come.
        top = kvtest.reg_values(self.site_key) or {}
        update = kvtest.reg_values(self.site_key + "\\Update") or {}
        stood = {n for n in top if n in ("LANGUAGE", "PRODUCT")} | {"Update\\" + n for n in update}
        self.assertEqual(stood, values)

    # -- the faults ---------------------------------------------------------------------------
    def test_faults_of_one_file(self):
        for https in (False, True):
            for file in FILES:
                for name, modes, expect in FAULTS:
                    with self.subTest(scheme="https" if https else "http", file=file.key, fault=name):
                        self.run_fault(https, file, modes, expect)

    def run_fault(self, https, file, modes, expect):
        host = self.start_run(https)
        size = os.path.getsize(self.served[file.rel])
        self.servers.script_fault(file.name, modes(size, self.dead_port))
        started = time.monotonic()
        page = self.press_next(host, https)
        try:
            boxes = self.wait_end(page)
            fetch = expect(https, size, ERROR_PAGE_LEN)
            sys.stderr.write("\n    %s, %s, %s: %.1f s, %s%s" % (
                self.scheme, file.key, modes(size, self.dead_port), time.monotonic() - started,
                [l for l in self.worker_lines() if l.startswith("URLDownloadToFile ret") or "fail___" in l][:2],
                " box %s" % boxes if boxes else ""))
            self.assert_run(https, file, [fetch], boxes)
            code = self.exit_code(file, fetch)
            # By hand a run that failed says so, with its code and the log it wrote.
            self.assertEqual(page.text(STATUS), kvwizard.incomplete_text(code, self.win_dir + "\\setup.log")
                             if code else STATUS_INSTALL_PRODUCT)
            self.finish(page, code)
        finally:
            page.process.stop()

    # -- a server that stalls -------------------------------------------------------------------
    def test_stalled_descriptor(self):
        for https, handshake in ((False, False), (True, False), (True, True)):
            with self.subTest(scheme="https" if https else "http", stall="handshake" if handshake else "answer"):
                self.run_stall(https, DESCRIPTOR, at_transfer=False, handshake=handshake)

    @unittest.skipUnless(LONG, "stalls every file at its size query and its transfer: set KV_LONG_TESTS=1")
    def test_stalled_every_file_and_request(self):
        for https, handshake in ((False, False), (True, False), (True, True)):
            for file in FILES:
                for at_transfer in (False, True):
                    with self.subTest(scheme="https" if https else "http", stall="handshake" if handshake else "answer",
                                      file=file.key, request="transfer" if at_transfer else "size query"):
                        self.run_stall(https, file, at_transfer, handshake)

    def run_stall(self, https, file, at_transfer, handshake):
        """The file's size query (or its transfer) and every later request for that file meet a
        server that accepts and never answers, or (handshake) never completes the TLS
        handshake. Every such request must end as a time-out after the limit."""
        host = self.start_run(https)
        # Requests of a run, in order: a size query and a transfer per file; the installer's
        # failing fetch is tried five times, the others once (a stalled answer names no version
        # to resume).
        first = 2 * FILES.index(file) + (1 if at_transfer else 0)
        stalls = (10 if file is INSTALLER else 2) - (1 if at_transfer else 0)
        if handshake:
            # Every https request makes a handshake of its own while this rule stands; the
            # handshakes of the first page's access check and of the earlier files go through,
            # the stalled ones wait for a release that never comes.
            self.servers.script_tls_stall(1 + first, stalls, "never%d" % time.monotonic_ns())
        else:
            self.servers.script_fault(file.name, ("/_skip=1" if at_transfer else "") + "/_mute")
        started = time.monotonic()
        page = self.press_next(host, https)
        try:
            boxes = self.wait_end(page, timeout_s=stalls * (STALL_S + STALL_MARGIN_S) + 120)
            took = time.monotonic() - started
            size = os.path.getsize(self.served[file.rel])
            head = Fetch(["ServerFileSize: %d" % size], STALL.https_lines, STALL.result, "fail") if at_transfer else STALL
            self.assert_run(https, file, [head, STALL], boxes)

            waits = self.stall_waits(https)
            sys.stderr.write("\n    %s, %s, stalled %s at the %s: %d time-outs after %s s; run %.1f s"
                             % (self.scheme, file.key, "handshake" if handshake else "answer",
                                "transfer" if at_transfer else "size query", len(waits),
                                ", ".join("%.1f" % w for w in waits), took))
            self.assertEqual(len(waits), stalls)
            for wait in waits:
                self.assertGreaterEqual(wait, STALL_S - 0.1)
                self.assertLessEqual(wait, STALL_S + STALL_MARGIN_S)
            self.finish(page, self.exit_code(file, head))
        finally:
            page.process.stop()

    def stall_waits(self, https):
        """How long each stalled request of the run waited, in seconds, from the worker's log:
        from the line before its time-out line (the flags its request logs at its start, or the
        size query's exit before the http path's transfer) to that line."""
        log = kvwizard.parse_log(self.dir / "setup.log", stamped=True)
        ui = log[0][1] if log else None
        worker = [(stamp, text) for stamp, tid, text in log if tid != ui]
        timeout_line = "Exception: %d" % ERROR_INTERNET_TIMEOUT
        moniker_ret = "URLDownloadToFile ret: 0x%08x" % wininet_result(ERROR_INTERNET_TIMEOUT)
        waits = []
        for (before, prev), (at, text) in zip(worker, worker[1:]):
            moniker = not https and prev == "< " + SIZE_SCOPE and (text == moniker_ret or text.endswith("Download fail___"))
            if text == timeout_line or moniker:
                waits.append((at - before).total_seconds())
        return waits

if __name__ == "__main__":
    unittest.main(verbosity=2)
