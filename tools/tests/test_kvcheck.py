"""kvcheck.exe under Wine against the test servers on 127.0.0.1: a healthy server passes over
http and https, and every failure class gives its line and its exit code.

Run by ctest with the build directory in KV_BUILD and the project's Wine prefix (scripts/test.sh
provides it).
"""

import getpass
import re
import sys
import unittest

from kvtestkit import kvtest
from kvtestkit.kvservers import Servers
from kvtestkit.kvstandins import ACTIVEX_PATH, DESCRIPTOR_PATH, UPDATER_PATH, descriptor_bytes
from kvtestkit.procs import free_port

BUILD = kvtest.build_dir()
PREFIX = kvtest.wine_prefix()
KVCHECK = BUILD / "kvcheck.exe"
CHECKS = ["address", "name", "connect", "access", "certificate", "installer", "descriptor", "updater", "SiteName"]
LINE = re.compile(r"^\[(PASS|WARN|FAIL|SKIP)\] (\S+) +(.*)$")


def run_kvcheck(*args):
    """(exit code, {check: (verdict, text)} in output order, whole output)."""
    rc, out, _ = kvtest.wine_run(KVCHECK, *args, timeout=180)
    text = out.decode("utf-8").replace("\r\n", "\n")
    checks = {}
    for line in text.splitlines():
        m = LINE.match(line)
        if m:
            checks[m[2]] = (m[1], m[3])
    return rc, checks, text


class KvcheckTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not KVCHECK.exists():
            raise RuntimeError("%s is missing: build first" % KVCHECK)
        if not (PREFIX / "system.reg").exists():
            raise RuntimeError("no Wine prefix at %s: run through scripts/test.sh" % PREFIX)
        cls.servers = Servers.for_class(cls, kinds=("http", "https", "https-untrusted",
                                                    "https-expired", "https-notyet", "script"))
        s = cls.servers
        cls.sizes = {"installer": 70001, "descriptor": len(descriptor_bytes("Acme")), "updater": 5003}
        # The server tree at the top serves a healthy server; the folders below it serve servers
        # with one fault each (a host text may carry a path: "127.0.0.1:PORT/folder").
        trees = {
            "": {ACTIVEX_PATH: b"M" * 70001, DESCRIPTOR_PATH: descriptor_bytes("Acme"), UPDATER_PATH: b"U" * 5003},
            "noupdater/": {ACTIVEX_PATH: b"M" * 100, DESCRIPTOR_PATH: descriptor_bytes("Acme")},
            "unsafe/": {ACTIVEX_PATH: b"M", DESCRIPTOR_PATH: descriptor_bytes("..\\Windows"), UPDATER_PATH: b"U"},
            "wrongxml/": {ACTIVEX_PATH: b"M", DESCRIPTOR_PATH: b"<kestrelvault>\n  <servicename>Acme\n", UPDATER_PATH: b"U"},
            "notag/": {ACTIVEX_PATH: b"M", DESCRIPTOR_PATH: b"<html><body>moved</body></html>\n", UPDATER_PATH: b"U"},
        }
        for folder, files in trees.items():
            for path, data in files.items():
                s.write_file(folder + path, data)

    def assert_first_failure(self, rc, checks, text, code, check, words):
        self.assertEqual(list(checks), CHECKS, text)
        self.assertEqual(rc, code, text)
        for name in CHECKS[:CHECKS.index(check)]:
            self.assertIn(checks[name][0], ("PASS", "WARN", "SKIP"), "%s before %s\n%s" % (name, check, text))
        verdict, line = checks[check]
        self.assertEqual(verdict, "FAIL", text)
        self.assertIn(words, line)
        self.assertIn("First failure: %s (exit code %d)." % (check, code), text)

    def test_failure_classes(self):
        s = self.servers
        refused = "127.0.0.1:%d" % free_port()  # nothing listens there
        cases = [
            # why, HOST, --https, exit code, first failing check, words in its line
            ("unresolvable name", "nosuchhost.invalid", False, 4, "name", "nosuchhost.invalid does not resolve"),
            ("connection refused", refused, False, 5, "connect", "error 10061 (connection refused"),
            ("untrusted certificate", s.host("https-untrusted"), True, 7, "certificate",
             'by "KestrelVault Untrusted Test CA", valid'),
            ("expired certificate", s.host("https-expired"), True, 8, "certificate", "to 2021-01-01: expired;"),
            ("certificate not valid yet", s.host("https-notyet"), True, 8, "certificate", ": not valid yet;"),
            ("missing file", s.host("http") + "/noupdater", False, 9, "updater", "the server answers 404 (not found)"),
            ("no Content-Length", s.host("script") + "/_chunked", False, 10, "installer", "no Content-Length:"),
            ("Content-Length not a number", s.host("script") + "/_cl=12abc", False, 10, "installer",
             'Content-Length "12abc" is not a number: the setup reads it as 12'),
            ("short body", s.host("script") + "/_drop=10", False, 11, "installer",
             "the setup's transfer fails with 0x80002eff (error 12031: connection reset); "
             "status 200, Content-Length 70001"),
            ("unsafe SiteName", s.host("http") + "/unsafe", False, 12, "SiteName",
             '"..\\Windows" is not a plain folder name'),
            ("descriptor without its closing tag", s.host("http") + "/wrongxml", False, 12, "SiteName", "Wrong xml___"),
            ("descriptor without the tag", s.host("http") + "/notag", False, 12, "SiteName",
             "no <servicename> line: the setup takes \"\" by its no-tag rule"),
        ]
        for why, host, https, code, check, words in cases:
            with self.subTest(why):
                rc, checks, text = run_kvcheck(host, *(["--https"] if https else []))
                self.assert_first_failure(rc, checks, text, code, check, words)
                if code in (4, 5):
                    # Without a connection the setup's first page refuses too, and nothing else runs.
                    self.assertEqual(checks["access"][0], "FAIL")
                    self.assertIn("업데이트할 서버에 접속할 수 없습니다.", checks["access"][1])
                    self.assertEqual([checks[n][0] for n in CHECKS[4:]], ["SKIP"] * 5)
                if code in (7, 8):
                    # The setup's own transfers meet the same refusal.
                    self.assertIn("the setup's requests fail with error", checks["certificate"][1])
                    self.assertEqual(checks["installer"][0], "FAIL")
                    self.assertIn("the request fails with error", checks["installer"][1])

    def test_healthy_server(self):
        # (scheme, HOST as given, options): a scheme in front of HOST chooses it, as in the setup.
        runs = [("http", self.servers.host("http"), []), ("https", self.servers.host("https"), ["--https"]),
                ("https", "HTTPS://" + self.servers.host("https"), []),
                ("http", "http://" + self.servers.host("http"), ["--https"])]
        for scheme, host, options in runs:
            with self.subTest(host=host, options=options):
                rc, checks, text = run_kvcheck(host, *options)
                self.assertEqual(checks["address"][0], "PASS", text)
                self.assertTrue(checks["address"][1].startswith("%s://%s:" % (scheme, "127.0.0.1")), checks["address"])
                self.assertEqual(rc, 0, text)
                self.assertEqual(list(checks), CHECKS)
                for item, size in self.sizes.items():
                    self.assertEqual(checks[item][0], "PASS", text)
                    self.assertIn("status 200, Content-Length %d, transfer result 0x00000000, %d bytes received"
                                  % (size, size), checks[item][1])
                self.assertEqual(checks["SiteName"], ("PASS", '"Acme": the site folder is KestrelVAULT\\Acme under Program Files'))
                self.assertIn("\nSummary: ", text)
                self.assertIn("The setup can work with this server", text)
                if scheme == "http":
                    self.assertEqual(checks["certificate"], ("SKIP", "http: no certificate"))
                else:
                    # Issued for kestrel.test, reached as 127.0.0.1: only a warning, as the setup accepts it.
                    verdict, line = checks["certificate"]
                    self.assertEqual(verdict, "WARN", text)
                    self.assertIn('issued to kestrel.test by "KestrelVault Test CA"', line)
                    self.assertIn("does not name 127.0.0.1; the setup accepts this", line)
        # The fetched files went into a folder of kvcheck's own, which is gone again.
        temp = PREFIX / "drive_c" / "users" / getpass.getuser() / "Temp"
        if temp.is_dir():
            self.assertEqual([p.name for p in temp.iterdir() if p.name.startswith("kvcheck-")], [])

    def test_command_line(self):
        cases = [
            # arguments, exit code, words in the output
            ([], 2, "kvcheck: no HOST"),
            (["   "], 2, "kvcheck: HOST is empty"),
            (["a.example", "b.example"], 2, "more than one HOST"),
            (["a.example", "--htps"], 2, "unknown option --htps"),
        ]
        for args, code, words in cases:
            with self.subTest(args=args):
                rc, _, text = run_kvcheck(*args)
                self.assertEqual(rc, code, text)
                self.assertIn(words, text)
                self.assertIn("Usage: kvcheck HOST [--https]", text)
        rc, _, text = run_kvcheck("--help")
        self.assertEqual(rc, 0)
        table = text[text.index("Exit codes"):]
        for code in range(13):
            self.assertRegex(table, r"\n +%d  \S" % code, "exit code %d not in the table" % code)
        for name in CHECKS:
            self.assertIn("\n  %s " % name, text)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[1:])
