"""kvcheck.exe under Wine against the test servers on 127.0.0.1: a healthy server passes over
http and https, every failure class gives its line and its exit code, and the programs' signatures
(the stand-ins signed in the tests' own PKI) are shown and judged with and without --publisher.

Run by ctest with the build directory in KV_BUILD and the project's Wine prefix (scripts/test.sh
provides it).
"""

import getpass
import os
import re
import sys
import unittest

from kvtestkit import kvtest
from kvtestkit import pki as pki_mod
from kvtestkit.kvproxy import PROXY_ONLY_HOST, Proxy, prefix_proxy
from kvtestkit.kvservers import Servers
from kvtestkit.kvstandins import (ACTIVEX_NAME, ACTIVEX_PATH, DESCRIPTOR_PATH, UPDATER_NAME, UPDATER_PATH,
                                  descriptor_bytes, place_program, standin_dir)
from kvtestkit.procs import free_port

BUILD = kvtest.build_dir()
PREFIX = kvtest.wine_prefix()
KVCHECK = BUILD / "kvcheck.exe"
CHECKS = ["address", "name", "connect", "access", "certificate", "installer", "descriptor", "updater", "SiteName"]
LINE = re.compile(r"^\[(PASS|WARN|FAIL|SKIP)\] (\S+) +(.*)$")


NOTE = " " * 20  # a line under a check's own, at its detail's column


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


def notes_of(text):
    """{check: {"signature": text, "issuers": text, "pins": text}} from the lines under each check."""
    notes, current = {}, None
    for line in text.splitlines():
        m = LINE.match(line)
        if m:
            current = notes.setdefault(m[2], {})
        elif current is not None and line.startswith(NOTE) and ": " in line:
            key, _, value = line[len(NOTE):].partition(": ")
            current[key] = value
        else:
            current = None
    return notes


# Server folders offering the stand-ins: (installer, updater), each as kvstandins.place_program
# writes it.
SIGNED_TREES = {
    "signed": ("publisher", "publisher-renewed"),
    "mixed": ("unsigned", "other-publisher"),
    "tampered": ("tampered", "publisher"),
}
# Pin sets given with --publisher: certificates of the test PKI (pki.cert names).
PIN_SETS = {
    "no pins": [],
    "the leaf": ["publisher"],
    "the issuer": ["ca"],
    "another certificate": ["good"],
    "the issuer and the other CA": ["ca", "other-ca"],
}
# What "pins:" says for each signing under each pin set ("" where no pins are given: no line).
PIN_VERDICTS = {
    "publisher": {"the leaf": "pass (the signer's own certificate <{publisher}> is pinned)",
                  "the issuer": "pass (its issuer <{ca}> is pinned)",
                  "another certificate": "FAIL (no pinned certificate in the signer's chain)",
                  "the issuer and the other CA": "pass (its issuer <{ca}> is pinned)"},
    # A renewed leaf passes a pin on its issuer, not one on the old leaf.
    "publisher-renewed": {"the leaf": "FAIL (no pinned certificate in the signer's chain)",
                          "the issuer": "pass (its issuer <{ca}> is pinned)",
                          "another certificate": "FAIL (no pinned certificate in the signer's chain)",
                          "the issuer and the other CA": "pass (its issuer <{ca}> is pinned)"},
    "other-publisher": {"the leaf": "FAIL (no pinned certificate in the signer's chain)",
                        "the issuer": "FAIL (no pinned certificate in the signer's chain)",
                        "another certificate": "FAIL (no pinned certificate in the signer's chain)",
                        "the issuer and the other CA": "pass (its issuer <{other-ca}> is pinned)"},
    "unsigned": dict.fromkeys(list(PIN_SETS)[1:], "FAIL (unsigned: with pins the setup starts only signed programs)"),
    "tampered": dict.fromkeys(list(PIN_SETS)[1:], "FAIL (the signature does not verify)"),
}


def with_colons(thumbprint):
    """The thumbprint as openssl prints it, in lower case: "12:a3:..."."""
    return ":".join(thumbprint[i:i + 2] for i in range(0, len(thumbprint), 2)).lower()


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
            # Programs of a few bytes: the signature check finds no signature in them, as in any
            # file that is no program (a file of one or two bytes, though, it cannot read at all).
            "unsafe/": {ACTIVEX_PATH: b"M" * 16, DESCRIPTOR_PATH: descriptor_bytes("..\\Windows"), UPDATER_PATH: b"U" * 16},
            "wrongxml/": {ACTIVEX_PATH: b"M" * 16, DESCRIPTOR_PATH: b"<kestrelvault>\n  <servicename>Acme\n",
                          UPDATER_PATH: b"U" * 16},
            "notag/": {ACTIVEX_PATH: b"M" * 16, DESCRIPTOR_PATH: b"<html><body>moved</body></html>\n",
                       UPDATER_PATH: b"U" * 16},
        }
        for folder, files in trees.items():
            for path, data in files.items():
                s.write_file(folder + path, data)
        # Servers whose programs are the stand-ins, offered each way the tests' PKI signs them.
        for folder, signings in SIGNED_TREES.items():
            s.write_file(folder + "/" + DESCRIPTOR_PATH, descriptor_bytes("Acme"))
            for (name, rel), signing in zip(((ACTIVEX_NAME, ACTIVEX_PATH), (UPDATER_NAME, UPDATER_PATH)), signings):
                place_program(os.path.join(standin_dir(BUILD), name), os.path.join(s.www, folder, rel), signing, BUILD)

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
        temp = PREFIX / "drive_c" / "users" / getpass.getuser() / "Temp"

        def own_folders():
            return {p.name for p in temp.iterdir() if p.name.startswith("kvcheck-")} if temp.is_dir() else set()
        # A kvcheck killed in an earlier run cannot remove its folder: only this test's count.
        before = own_folders()
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
        self.assertEqual(own_folders() - before, set())

    def test_program_signatures(self):
        pki = pki_mod.ensure_pki(str(BUILD))
        thumb = {name: pki_mod.sha256_thumbprint(pki.cert(name))
                 for name in ("publisher", "publisher-renewed", "other-publisher", "ca", "other-ca", "good")}
        subject = {"publisher": "CN=KestrelVault Test Publisher, O=KestrelVault Tests",
                   "publisher-renewed": "CN=KestrelVault Test Publisher Renewed, O=KestrelVault Tests",
                   "other-publisher": "CN=KestrelVault Other Publisher, O=KestrelVault Other Tests"}
        host = self.servers.host("http")
        for pin_set, pinned in PIN_SETS.items():
            args = []
            for n, name in enumerate(pinned):
                # The first pin as openssl prints a fingerprint, a second as the certificate
                # dialog shows one, blanks between bytes.
                spelled = (with_colons(thumb[name]), with_colons(thumb[name]).replace(":", " "))
                args += ["--publisher", spelled[n]]
            for folder, signings in SIGNED_TREES.items():
                with self.subTest(pins=pin_set, server=folder):
                    rc, checks, text = run_kvcheck(host + "/" + folder, *args)
                    notes = notes_of(text)
                    self.assertEqual(list(checks), CHECKS, text)
                    for name in pinned:
                        self.assertIn("Publisher pin: <%s>" % thumb[name], text)
                    codes = []
                    for check, signing in zip(("installer", "updater"), signings):
                        verdict, line = checks[check]
                        signature = notes[check]["signature"]
                        if signing == "unsigned":
                            self.assertEqual(signature, "unsigned", text)
                            self.assertNotIn("issuers", notes[check])
                        elif signing == "tampered":
                            self.assertTrue(signature.startswith("does not verify (0x80096010 (TRUST_E_BAD_DIGEST"),
                                            text)
                            self.assertIn("the setup removes the program and does not start it", signature)
                        else:
                            # The platform's rendering of the name may quote a value.
                            self.assertEqual(signature.replace('"', ""),
                                             "verified, signer %s <%s>" % (subject[signing], thumb[signing]), text)
                            issuer = pki_mod.CODE_SIGNERS[signing][0]
                            self.assertEqual(notes[check]["issuers"], "<%s>" % thumb[issuer], text)
                        if pinned:
                            self.assertEqual(notes[check]["pins"], PIN_VERDICTS[signing][pin_set].format(**thumb), text)
                        else:
                            self.assertNotIn("pins", notes[check])
                        # The setup refuses a signature that does not verify in any case, and with
                        # pins whatever does not pass them.
                        if signing == "tampered":
                            code, why = 13, "its signature does not verify"
                        elif pinned and notes[check]["pins"].startswith("FAIL"):
                            code, why = 14, "the pins refuse it"
                        else:
                            code, why = 0, None
                        codes.append(code)
                        self.assertEqual(verdict, "FAIL" if code else "PASS", text)
                        self.assertIn("status 200", line)
                        if why:
                            self.assertTrue(line.endswith("; " + why), line)
                    first = next((c for c in codes if c), 0)
                    self.assertEqual(rc, first, text)
                    if first:
                        failing = ("installer", "updater")[codes.index(first)]
                        self.assertIn("First failure: %s (exit code %d)." % (failing, first), text)
                    # The descriptor is no program: no signature line under it.
                    self.assertEqual(notes["descriptor"], {})

    def test_command_line(self):
        cases = [
            # arguments, exit code, words in the output
            ([], 2, "kvcheck: no HOST"),
            (["   "], 2, "kvcheck: HOST is empty"),
            (["a.example", "b.example"], 2, "more than one HOST"),
            (["a.example", "--htps"], 2, "unknown option --htps"),
            (["a.example", "--publisher"], 2, "--publisher needs a SHA-256 thumbprint"),
            (["a.example", "--publisher", "AB" * 31], 2, "is not a SHA-256 thumbprint (64 hex digits)"),
            (["a.example", "--publisher", "AB" * 33], 2, "is not a SHA-256 thumbprint"),
            (["a.example", "--publisher", "AB" * 31 + "AG"], 2, "is not a SHA-256 thumbprint"),
            (["a.example", "--publisher", "AB:" * 32], 2, "is not a SHA-256 thumbprint"),
            (["a.example", "--publisher", "A:B" + "AB" * 31], 2, "is not a SHA-256 thumbprint"),
            (["a.example", "--publisher", "AB::" + "AB" * 31], 2, "is not a SHA-256 thumbprint"),
            (["a.example", "--publisher", " " + "AB" * 32], 2, "is not a SHA-256 thumbprint"),
            (["a.example", "--publisher", "ab" * 32, "--publisher", "AB" * 32], 2, "--publisher %s is given twice" % ("AB" * 32)),
            (["a.example"] + [a for n in range(17) for a in ("--publisher", "%02X" % n * 32)], 2,
             "more than 16 --publisher pins"),
        ]
        for args, code, words in cases:
            with self.subTest(args=args):
                rc, _, text = run_kvcheck(*args)
                self.assertEqual(rc, code, text)
                self.assertIn(words, text)
                self.assertIn("Usage: kvcheck HOST [--https] [--publisher SHA256]...", text)
        rc, _, text = run_kvcheck("--help")
        self.assertEqual(rc, 0)
        table = text[text.index("Exit codes"):]
        for code in range(15):
            self.assertRegex(table, r"\n +%d  \S" % code, "exit code %d not in the table" % code)
        for name in CHECKS:
            self.assertIn("\n  %s " % name, text)


class KvcheckBehindAProxy(unittest.TestCase):
    """The prefix's proxy settings name squid, and the server's name is one only the proxy
    resolves: the access check goes through the proxy as the setup's does (both schemes); a
    proxy that asks for credentials fails it and says so."""

    @classmethod
    def setUpClass(cls):
        cls.servers = Servers.for_class(cls, kinds=("http", "https"))
        cls.servers.write_file(ACTIVEX_PATH, b"M" * 70001)
        cls.servers.write_file(DESCRIPTOR_PATH, descriptor_bytes("Acme"))
        cls.servers.write_file(UPDATER_PATH, b"U" * 5003)

    def run_behind(self, credentials):
        results = {}
        with Proxy(str(BUILD), credentials=credentials) as proxy, prefix_proxy(proxy.address):
            for kind, options in (("http", []), ("https", ["--https"])):
                host = "%s:%d" % (PROXY_ONLY_HOST, self.servers.ports[kind])
                results[kind] = (host,) + run_kvcheck(host, *options)
        return results

    def test_access_through_the_proxy(self):
        for kind, (host, rc, checks, text) in self.run_behind(False).items():
            with self.subTest(kind):
                self.assertIn("[INFO] proxy        the setup's requests go through 127.0.0.1:", text)
                verdict, line = checks["access"]
                self.assertEqual(verdict, "PASS", text)
                self.assertRegex(line, r"^a request for %s://%s is answered with HTTP status \d+: the first page goes on$"
                                 % (kind, re.escape(host)))
                for item in ("installer", "descriptor", "updater", "SiteName"):
                    self.assertEqual(checks[item][0], "PASS", text)
                self.assertEqual(rc, 0, text)

    def test_proxy_asking_for_credentials(self):
        for kind, (host, rc, checks, text) in self.run_behind(True).items():
            with self.subTest(kind):
                verdict, line = checks["access"]
                self.assertEqual(verdict, "FAIL", text)
                self.assertIn("Proxy asks for credentials (407)", line)
                self.assertIn("unattended it ends with 11 (the proxy refused the request)", line)
                self.assertIn("First failure: access (exit code 6).", text)
                self.assertEqual(rc, 6, text)
                # Every request would meet the same answer: nothing more is asked.
                for item in ("certificate", "installer", "descriptor", "updater", "SiteName"):
                    self.assertEqual(checks[item], ("SKIP", "the proxy asks for credentials (407)"), text)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[1:])
