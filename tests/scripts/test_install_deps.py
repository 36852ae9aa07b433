"""scripts/install-deps.sh's decisions, without touching the machine: each row gives the packages
dpkg would call installed, the commands on PATH, the foreign architectures and the generated
locales, and what the script's plan must then be. The commands are there to show that a command
on PATH (localedef from libc-bin, python3 from python3-minimal, nginx off a user's PATH) never
stands in for the package the project needs."""

import os
import stat
import subprocess
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "install-deps.sh"
ALL = ("g++-mingw-w64-i686-posix mingw-w64-tools g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 "
       "qemu-user-static xvfb xauth x11-utils "
       "imagemagick fonts-nanum cmake g++ make python3 googletest nginx-light openssl curl "
       "squid osslsigncode locales").split()
# What a minbase Debian 12 has of the commands the old script looked for.
MINBASE_COMMANDS = ["localedef"]


def but(*missing):
    return [p for p in ALL if p not in missing]


# (name, installed packages, commands on PATH, foreign archs, locales,
#  expected packages to install, expect add-architecture i386, expect locale generated)
CASES = [
    ("minbase: nothing, localedef from libc-bin", [], MINBASE_COMMANDS, [], ["C.utf8", "POSIX"],
     ALL, True, True),
    ("everything there, no command on PATH", ALL, [], ["i386"], ["ko_KR.utf8"], [], False, False),
    ("locales missing, localedef present", but("locales"), ["localedef"], ["i386"], [],
     ["locales"], False, True),
    ("locales installed, locale not generated", ALL, ["localedef"], ["i386"], ["C.utf8"],
     [], False, True),
    ("python3-minimal only: python3 on PATH, package missing", but("python3"), ["python3"], ["i386"],
     ["ko_KR.utf8"], ["python3"], False, False),
    ("Xvfb on PATH, xauth missing", but("xauth"), ["Xvfb"], ["i386"], ["ko_KR.utf8"],
     ["xauth"], False, False),
    ("64-bit Wine only, no i386", but("wine32:i386"), ["wine", "wine64"], [], ["ko_KR.utf8"],
     ["wine32:i386"], True, False),
    ("wine32 missing, i386 already added", but("wine32:i386"), ["wine"], ["i386"], ["ko_KR.utf8"],
     ["wine32:i386"], False, False),
    ("cross compiler's win32 flavour only", but("g++-mingw-w64-i686-posix"),
     ["i686-w64-mingw32-g++-win32"], ["i386"], ["ko_KR.utf8"], ["g++-mingw-w64-i686-posix"],
     False, False),
    ("every command present, packages missing", but("nginx-light", "curl", "googletest"),
     ["nginx", "curl", "cmake", "ctest"], ["i386"], ["ko_KR.utf8"],
     ["googletest", "nginx-light", "curl"], False, False),
    ("signing tool missing, openssl there", but("osslsigncode"), ["openssl"], ["i386"], ["ko_KR.utf8"],
     ["osslsigncode"], False, False),
    ("32-bit tool chain only: no 64-bit compiler, no qemu", but("g++-mingw-w64-x86-64-posix", "qemu-user-static"),
     ["i686-w64-mingw32-g++-posix", "qemu-i386"], ["i386"], ["ko_KR.utf8"],
     ["g++-mingw-w64-x86-64-posix", "qemu-user-static"], False, False),
]


def plan(installed, commands, archs, locales):
    with tempfile.TemporaryDirectory() as tmp:
        bindir = Path(tmp)
        # Only what the script itself runs, plus the row's commands as stubs that fail loudly.
        for tool in ("grep", "id"):
            os.symlink(subprocess.check_output(["bash", "-c", f"command -v {tool}"], text=True).strip(),
                       bindir / tool)
        for name in commands:
            stub = bindir / name
            stub.write_text("#!/bin/sh\necho stub $0 ran >&2\nexit 99\n")
            stub.chmod(stub.stat().st_mode | stat.S_IXUSR)
        env = {"PATH": str(bindir), "KV_DEPS_FAKE": "1", "KV_DEPS_INSTALLED": " ".join(installed),
               "KV_DEPS_FOREIGN_ARCHS": " ".join(archs), "KV_DEPS_LOCALES": " ".join(locales)}
        r = subprocess.run(["/bin/bash", str(SCRIPT), "--plan"], env=env, capture_output=True,
                           text=True, timeout=30)
    return r


class InstallDepsPlan(unittest.TestCase):
    def test_table(self):
        for name, installed, commands, archs, locales, want, want_i386, want_locale in CASES:
            with self.subTest(name):
                r = plan(installed, commands, archs, locales)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, "")
                lines = r.stdout.splitlines()
                install = [l for l in lines if l.startswith("install:")]
                self.assertEqual(len(install), 1, r.stdout)
                self.assertEqual(install[0].split()[1:], want)
                self.assertEqual("add-architecture: i386" in lines, want_i386, r.stdout)
                self.assertEqual("generate-locale: ko_KR.UTF-8" in lines, want_locale, r.stdout)

    def test_fake_probes_refuse_a_real_install(self):
        env = dict(os.environ, KV_DEPS_FAKE="1")
        r = subprocess.run(["bash", str(SCRIPT)], env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 2)
        self.assertIn("needs --plan", r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
