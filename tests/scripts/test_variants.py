"""scripts/variants.sh's decisions: which variants the test command runs on a host, and why.
The table fakes the host through the environment (32-bit code runs, is refused, or a binfmt_misc
registration takes it over); the probes themselves run against a loader and a binfmt_misc
directory of the test's own."""

import os
import stat
import subprocess
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "variants.sh"
REFUSED = "/usr/lib/wine/wine: Exec format error"
QEMU = "qemu-i386 /usr/bin/qemu-i386-static"

# (name, 32-bit code runs, host registration, KV_VARIANTS,
#  expected exit code, variants, words in the why line, the qemu32 line's start)
CASES = [
    ("runs 32-bit code", "yes", "", "", 0, "32 64", ["runs 32-bit code"], "not needed"),
    ("refuses 32-bit code", REFUSED, "", "", 0, "64 qemu32",
     ["this host runs no 32-bit code", "Exec format error"], "own"),
    ("refuses, with a registration of its own", REFUSED, QEMU, "", 0, "64 qemu32",
     ["qemu-i386-static", "qemu-i386"], "host qemu-i386"),
    # Registered, every 32-bit program runs under qemu: no whole suite there.
    ("runs 32-bit code, but a registration takes it over", "yes", QEMU, "", 0, "64 qemu32",
     ["binfmt_misc registration qemu-i386"], "host qemu-i386"),
    ("by hand: 64 where 32 runs", "yes", "", "64", 0, "64", ["KV_VARIANTS=64", "runs 32-bit code"],
     "not run"),
    ("by hand: both, in either order", "yes", "", "64,32", 0, "32 64", ["KV_VARIANTS=64,32"], "not run"),
    ("by hand: the qemu run forced where 32 runs", "yes", "", "qemu32", 0, "qemu32", ["KV_VARIANTS=qemu32"],
     "own"),
    ("by hand: qemu last whatever the order", "yes", "", "qemu32 64 64", 0, "64 qemu32", [], "own"),
    ("by hand: 32 where it is refused", REFUSED, "", "32,64", 2, None, [], None),
    ("by hand: 32 where qemu takes it over", "yes", QEMU, "32", 2, None, [], None),
    ("by hand: an unknown variant", "yes", "", "64,arm", 2, None, [], None),
]


def plan(env):
    full = {"PATH": os.environ["PATH"]}
    full.update(env)
    r = subprocess.run(["bash", str(SCRIPT), "--plan"], env=full, capture_output=True, text=True, timeout=60)
    lines = dict(l.split(": ", 1) for l in r.stdout.splitlines() if ": " in l)
    return r, lines


class VariantPlan(unittest.TestCase):
    def test_table(self):
        for name, runs32, binfmt, wanted, rc, variants, why, qemu in CASES:
            with self.subTest(name):
                env = {"KV_HOST_FAKE": "1", "KV_HOST_RUNS32": runs32, "KV_HOST_BINFMT": binfmt}
                if wanted:
                    env["KV_VARIANTS"] = wanted
                r, lines = plan(env)
                self.assertEqual(r.returncode, rc, r.stdout + r.stderr)
                if rc:
                    self.assertIn("KV_VARIANTS", r.stderr)
                    self.assertNotIn("variants", lines)
                    continue
                self.assertEqual(lines["variants"], variants)
                for word in why:
                    self.assertIn(word, lines["why"])
                self.assertTrue(lines["qemu32"].startswith(qemu), lines["qemu32"])

    def test_probes(self):
        """The real probes: a 32-bit loader that the kernel refuses or runs, and binfmt_misc
        entries of which only an enabled i386 ELF one counts."""
        i386 = "7f454c4601010100000000000000000002000300"
        arm = "7f454c4601010100000000000000000002002800"
        with tempfile.TemporaryDirectory() as tmp:
            tmp = Path(tmp)
            binfmt = tmp / "binfmt"
            binfmt.mkdir()
            (binfmt / "status").write_text("enabled\n")
            (binfmt / "register").write_text("")

            def entry(name, state, magic):
                (binfmt / name).write_text("%s\ninterpreter /usr/bin/%s-static\nflags: F\noffset 0\nmagic %s\n"
                                           "mask ffffffffffffff00fffffffffffffffffeffffff\n" % (state, name, magic))

            entry("qemu-arm", "enabled", arm)
            entry("old-i386", "disabled", i386)
            refusing = tmp / "wine32"
            refusing.write_text("#!/bin/sh\necho \"$0: cannot execute binary file: Exec format error\" >&2\nexit 126\n")
            refusing.chmod(refusing.stat().st_mode | stat.S_IXUSR)
            running = tmp / "wine32ok"
            running.write_text("#!/bin/sh\necho wine-8.0\n")
            running.chmod(running.stat().st_mode | stat.S_IXUSR)

            cases = [
                ("refused, no i386 entry enabled", refusing, False, "64 qemu32", "Exec format error", "own"),
                ("runs, no i386 entry enabled", running, False, "32 64", "runs 32-bit code", "not needed"),
                ("loader not installed", tmp / "missing", False, "64 qemu32", "is not installed", "own"),
                ("runs, an enabled i386 entry", running, True, "64 qemu32", "my-i386", "host my-i386"),
            ]
            for name, loader, add, variants, why, qemu in cases:
                with self.subTest(name):
                    if add:
                        entry("my-i386", "enabled", i386)
                    r, lines = plan({"KV_WINE32_LOADER": str(loader), "KV_BINFMT_DIR": str(binfmt)})
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(lines["variants"], variants)
                    self.assertIn(why, lines["why"])
                    self.assertTrue(lines["qemu32"].startswith(qemu), lines["qemu32"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
