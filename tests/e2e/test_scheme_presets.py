"""An address that names its scheme ("https://" or "http://", any letter case) through every
source of the first page: the command line, the INI file, the embedded slot and the host box.
The page selects that scheme, the host box keeps the host alone, and the check goes to the
named scheme. Against a port nobody listens on, so each run ends in the unreachable box.
(The stamped "https://" address that installs end to end is in test_wizard_install.py.)
"""

import shutil
import tempfile
import unittest
from pathlib import Path

from kvtestkit import kvtest
from kvtestkit import kvwizard
from kvtestkit.kvwizard import CANCEL, HOST, HTTP, HTTPS, NEXT, SCHEME

UNREACHABLE = "127.0.0.1:9"
# (address prefix, scheme the page must select)
ADDRESSES = [("https://", "https"), ("HTTP://", "http"), ("hTtPs://", "https")]
SOURCES = ["command line", "INI file", "slot", "host box"]


class SchemePresetTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvscheme"

    def program_with(self, source, address):
        """A copy of the program in a directory of its own with address in source; the
        program's arguments."""
        work = Path(tempfile.mkdtemp(prefix="scheme-", dir=kvtest.build_dir()))
        self.addCleanup(shutil.rmtree, work, True)
        exe = work / kvwizard.EXE_NAME
        shutil.copyfile(kvtest.product_exe(), exe)
        if source == "INI file":
            (work / "KestrelVault_Setup.ini").write_bytes(b"[updateurl]\r\nurl=" + address.encode() + b"\r\n")
        elif source == "slot":
            kvwizard.kvstamp(exe, address)
        return exe, [address] if source == "command line" else []

    def test_every_source_selects_the_named_scheme(self):
        for source in SOURCES:
            for prefix, scheme in ADDRESSES:
                address = prefix + UNREACHABLE
                with self.subTest(source=source, address=address):
                    self.fresh_run_files()
                    exe, args = self.program_with(source, address)
                    page = self.start_wizard(*args, exe=exe, env=self.env)
                    if source == "host box":
                        page.wait(SCHEME, "text", "http://")
                        page.set_text(HOST, address)
                    else:
                        page.wait(SCHEME, "text", scheme + "://")
                        self.assertEqual(page.text(HOST), UNREACHABLE)
                    if source != "slot":  # the slot's run presses Next by itself
                        page.click(NEXT)
                    box = self.driver.msgbox(owner=page, timeout=20000)
                    self.assertEqual(page.text(SCHEME), scheme + "://")
                    self.assertEqual((page.checked(HTTP), page.checked(HTTPS)),
                                     (0, 1) if scheme == "https" else (1, 0))
                    self.assertEqual(page.text(HOST), UNREACHABLE)
                    messages = [text for _, text in self.log_lines()]
                    self.assertIn("ServerURL: " + UNREACHABLE, messages)
                    self.assertIn("ConnectionURL: %s://%s" % (scheme, UNREACHABLE), messages)
                    box["window"].click(box["buttons"][0]["id"])
                    box["window"].wait_gone()
                    # Cancel is disabled in AutoMode; its command still ends the idle wizard.
                    page.command(CANCEL)
                    page.wait_gone()
                    page.process.wait(10)


if __name__ == "__main__":
    unittest.main(verbosity=2)
