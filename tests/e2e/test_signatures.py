"""Signatures and publisher pins through the real program under Wine, against nginx on
127.0.0.1: the served stand-ins unsigned, signed in the tests' own PKI, signed then changed by
one byte, signed by a renewed leaf of the same issuer, and signed by another publisher; each
run unattended from a copy stamped with the address and no pins, a pin on the publisher's
leaf, or a pin on its issuing CA.

For each: the exit code, the "Signer:" and refusal lines, whether the stand-ins started, and
what is left on disk (the private directories gone, the updater in the site directory only
when it was cleared). Then a signed installer beside a changed updater: the update step alone
fails.
"""

import unittest
from pathlib import Path

from kvtestkit import kvstandins, kvtest, kvwizard, pki

ACTIVEX = "KestrelVAULT ActiveX 7i_ko.exe"
UPDATER = "KVUpdate.exe"
# What WinVerifyTrust answers for a digest that no longer matches.
BAD_DIGEST = "0x80096010"


class SignatureTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvsign"
    server_kinds = ("http",)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.pki = pki.ensure_pki(kvtest.build_dir())
        cls.thumbprints = {
            "leaf": pki.sha256_thumbprint(cls.pki.cert("publisher")),
            "issuer": pki.sha256_thumbprint(cls.pki.ca_pem),
        }
        cls.signer_thumbprints = {name: pki.sha256_thumbprint(cls.pki.cert(name))
                                  for name in ("publisher", "publisher-renewed", "other-publisher")}

    def make_variant(self, variant, path):
        """Turns the stand-in at path (as built) into the variant, in place."""
        path = Path(path)
        if variant == "unsigned":
            return
        signer = {"signed": "publisher", "tampered": "publisher", "renewed": "publisher-renewed",
                  "other": "other-publisher"}[variant]
        signed = path.with_name(path.name + ".signed")
        pki.sign_program(self.pki, path, signed, signer)
        if variant == "tampered":
            pki.tampered_copy(signed, path)
            signed.unlink()
        else:
            signed.replace(path)

    def run_unattended(self, installer, updater, pins):
        """A stamped run against the site served with the two variants; its exit code."""
        host = self.serve_site(self.servers, "http", "Acme")
        self.make_variant(installer, self.served[kvstandins.ACTIVEX_PATH])
        self.make_variant(updater, self.served[kvstandins.UPDATER_PATH])
        exe = self.stamped_copy(host, [self.thumbprints[p] for p in pins])
        page = self.start_wizard(exe=exe, env=self.env)
        windows_pid = page.pid()
        code = self.driver.wait_exit(windows_pid, timeout=120000)
        self.assertEqual(page.process.wait(30), code & 0xFF)
        return code

    def started(self):
        return sorted({r["role"] for r in self.records() if r["event"] == "start"})

    def assert_signer_lines(self, lines, variant, count):
        signers = [line for line in lines if line.startswith("Signer: ")]
        self.assertEqual(len(signers), count, lines)
        for line in signers:
            if variant == "unsigned":
                self.assertEqual(line, "Signer: none")
            elif variant != "tampered":
                signer = {"signed": "publisher", "renewed": "publisher-renewed", "other": "other-publisher"}[variant]
                self.assertTrue(line.endswith(" " + self.signer_thumbprints[signer]), line)
                self.assertIn("CN=", line)

    def test_variants_with_and_without_pins(self):
        # variant -> the pin sets under which it is cleared to start
        cleared = {
            "unsigned": {()},
            "signed": {(), ("leaf",), ("issuer",)},
            "tampered": set(),
            "renewed": {(), ("issuer",)},
            "other": {()},
        }
        for variant, passes in cleared.items():
            for pins in ((), ("leaf",), ("issuer",)):
                with self.subTest(variant=variant, pins=pins):
                    self.fresh_run_files()
                    code = self.run_unattended(variant, variant, pins)
                    lines = self.worker_lines()
                    starts = pins in passes
                    if variant == "tampered":
                        refusal = " signature does not verify (%s), removed, not started___" % BAD_DIGEST
                    elif variant == "unsigned":
                        refusal = " unsigned while publishers are pinned, removed, not started___"
                    else:
                        refusal = " signer not pinned, removed, not started___"
                    refusals = [line for line in lines if line.endswith("not started___")]
                    if starts:
                        self.assertEqual(code, 0)
                        self.assertEqual(refusals, [])
                        self.assertEqual(self.started(), ["activex", "updater"])
                        self.assert_signer_lines(lines, variant, 2)
                        self.assertTrue((self.site_dir / UPDATER).is_file())
                    else:
                        # Five refused attempts are five failed attempts: the installer step
                        # ends as not obtained, and its code decides the run's.
                        self.assertEqual(code, 20)
                        self.assertEqual(refusals, [ACTIVEX + refusal] * 5 +
                                         [ACTIVEX + " not obtained, not started___", UPDATER + refusal])
                        self.assertEqual(self.started(), [])
                        self.assert_signer_lines(lines, variant, 6)
                        self.assertFalse((self.site_dir / UPDATER).exists(), "the refused updater is removed")
                        self.assertNotIn(UPDATER + " run Success...", lines)
                    self.assertEqual(self.new_private_dirs(), set(), "the private directories are gone")
                    # kvlog reads the same outcome, and each program's signer, from the real log.
                    run = self.kvlog_run()
                    self.assertEqual(run["outcome"]["exit_code"], code)
                    programs = [t for t in run["transfers"] if t["item"] in ("installer", "updater")]
                    self.assertEqual(len(programs), 2 if starts else 6)
                    self.assertTrue(all(t["signer"] for t in programs), programs)
                    self.assertEqual([t["outcome"] == "refused" for t in programs], [not starts] * len(programs))

    def test_a_changed_updater_beside_a_signed_installer_fails_the_update_step_only(self):
        code = self.run_unattended("signed", "tampered", ("issuer",))
        lines = self.worker_lines()
        self.assertEqual(code, 40)
        self.assertEqual(self.started(), ["activex"])
        self.assertIn(UPDATER + " signature does not verify (%s), removed, not started___" % BAD_DIGEST, lines)
        self.assertFalse((self.site_dir / UPDATER).exists())
        self.assertTrue((self.site_dir / kvstandins.DESCRIPTOR_NAME).is_file(), "the site is prepared")
        self.assertEqual(self.new_private_dirs(), set())
        self.assertEqual(self.kvlog_run()["outcome"]["exit_code"], 40)


if __name__ == "__main__":
    unittest.main(verbosity=2)
