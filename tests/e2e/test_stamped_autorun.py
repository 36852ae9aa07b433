"""A copy of the program stamped with kvstamp runs unattended under Wine; the command line and
the INI file beside the executable preset the host box without that. Also the compatibility
value that start-up writes for the executable's own path.
"""

import shutil
import tempfile
import unittest
from pathlib import Path

from kvtestkit import kvtest
from kvtestkit.kvwizard import CANCEL, HOST, NEXT, SCHEME, kvstamp

LAYERS = r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\AppCompatFlags\Layers"

# Nothing listens on the discard port of the loopback address, so the automatic check fails
# at once and the page says so in its message box.
UNREACHABLE = "127.0.0.1:9"


class StampedProgramTest(kvtest.WizardTestCase):

    def setUp(self):
        # Inside the build directory, which the prefix reaches through drive Z:.
        self.dir = Path(tempfile.mkdtemp(prefix="stamped-", dir=kvtest.build_dir()))
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.exe = self.dir / "KestrelVault_Setup.exe"
        shutil.copyfile(kvtest.product_exe(), self.exe)

    def write_ini(self, url):
        (self.dir / "KestrelVault_Setup.ini").write_bytes(b"[updateurl]\r\nurl=" + url.encode("ascii") + b"\r\n")

    def test_stamped_copy_runs_unattended(self):
        kvstamp(self.exe, UNREACHABLE)
        # The slot wins over the INI file beside the executable.
        self.write_ini("ini.example.test")
        page = self.start_wizard(exe=self.exe)
        self.assertEqual(page.text(HOST), UNREACHABLE)
        self.assertFalse(page.enabled(NEXT))
        self.assertFalse(page.enabled(CANCEL))
        # Next pressed by itself: the check of "http://" + host fails and says so.
        box = self.driver.msgbox(owner=page, timeout=15000)
        self.assertEqual(page.text(SCHEME), "http://")
        self.assertFalse(page.enabled(NEXT))
        self.assertFalse(page.enabled(CANCEL), "nothing enables Cancel again after the failed check")
        box["window"].click(box["buttons"][0]["id"])
        box["window"].wait_gone()
        self.assertEqual(page.text(HOST), UNREACHABLE)

    def test_presets_without_the_slot(self):
        cases = [
            ("INI file only", None, "ini.example.test", [], "ini.example.test"),
            ("command line over slot and INI", UNREACHABLE, "ini.example.test", ["cmd.example.test"],
             "cmd.example.test"),
        ]
        for why, slot, ini, args, expected in cases:
            with self.subTest(why):
                shutil.copyfile(kvtest.product_exe(), self.exe)
                if slot:
                    kvstamp(self.exe, slot)
                self.write_ini(ini)
                page = self.start_wizard(*args, exe=self.exe)
                page.wait(SCHEME, "text", "http://")
                self.assertEqual(page.text(HOST), expected)
                # Not in AutoMode: both buttons as a user finds them.
                self.assertTrue(page.enabled(NEXT))
                self.assertTrue(page.enabled(CANCEL))
                page.click(CANCEL)
                page.wait_gone()
                page.process.wait(10)

    def test_start_up_registers_the_compatibility_layer(self):
        page = self.start_wizard(exe=self.exe)
        windows_path = kvtest.windows_path(self.exe)
        self.addCleanup(kvtest.reg_delete, LAYERS, windows_path)
        values = kvtest.reg_values(LAYERS) or {}
        found = {name.lower(): v for name, v in values.items()}
        self.assertEqual(found.get(windows_path.lower()), ("REG_SZ", "WINXPSP2"))
        page.click(CANCEL)
        page.wait_gone()


if __name__ == "__main__":
    unittest.main()
