"""The program's own name on its command line, as a command prompt or Wine's loader passes it:
a bare name, a relative path, other letter case, quoted or not. Whatever form it has, the host
box gets the argument alone. Wine's cmd passes each command line on as typed (checked with a
program that prints GetCommandLineW; it does not start a quoted program name, so quoted forms
are left to the unit tables); Wine's loader quotes the full path in the letter case it was given.
"""

import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from kvtestkit import kvtest
from kvtestkit.kvwizard import CANCEL, EXE_NAME, HOST, NEXT, SCHEME

ARGUMENT = "vault.example.com"


class ProgramNameTest(kvtest.WizardTestCase):

    def test_program_part_in_every_form_leaves_the_argument(self):
        work = Path(tempfile.mkdtemp(prefix="cmdline-", dir=kvtest.build_dir()))
        self.addCleanup(shutil.rmtree, work, True)
        shutil.copyfile(kvtest.product_exe(), work / EXE_NAME)
        cases = [
            ("bare name without extension", ["cmd", "/c", "KestrelVault_Setup " + ARGUMENT]),
            ("relative path", ["cmd", "/c", ".\\KestrelVault_Setup.exe " + ARGUMENT]),
            ("other letter case", ["cmd", "/c", "kestrelvault_SETUP.EXE " + ARGUMENT]),
            ("full path quoted by the loader, other letter case", ["kestrelvault_setup.exe", ARGUMENT]),
        ]
        for why, command in cases:
            with self.subTest(why):
                before = [w["hwnd"] for w in self.driver.findall(cls=kvtest.WIZARD_CLASS)]
                process = subprocess.Popen(kvtest.wine_command(*command), cwd=str(work), env=kvtest.wine_env(),
                                           stdin=subprocess.DEVNULL)
                self.addCleanup(lambda p=process: p.poll() is None and p.kill())
                page = self.driver.wait_window(cls=kvtest.WIZARD_CLASS, owned=False, visible=True, exclude=before,
                                               timeout=15000)
                page.wait(SCHEME, "text", "http://")
                self.assertEqual(page.text(HOST), ARGUMENT)
                # A command-line preset is no unattended run.
                self.assertTrue(page.enabled(NEXT))
                self.assertTrue(page.enabled(CANCEL))
                page.click(CANCEL)
                page.wait_gone()
                process.wait(20)


if __name__ == "__main__":
    unittest.main(verbosity=2)
