"""No box waits for nobody in an unattended run: a stamped copy whose server is down shows the
unreachable box, which closes itself after 30 seconds, and the process then ends by itself; a
stamped copy whose server delivers programs that cannot start shows no shell box at all, logs
each launch's error, and ends by itself. (By hand the boxes stay: the server-fault and
hostile-input tests dismiss them.)
"""

import sys
import time
import unittest
from pathlib import Path

from kvtestkit import kvtest
from kvtestkit import kvwizard
from kvtestkit.kvwizard import UNREACHABLE_TEXT

from kvtestkit import kvstandins

BOX_TIMEOUT_S = 30


class UnattendedNoBoxTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvnobox"
    server_kinds = ("http",)

    def test_unreachable_box_closes_itself_and_the_run_ends(self):
        page = self.start_wizard(exe=self.stamped_copy("127.0.0.1:9"), env=self.env)
        box = self.driver.msgbox(owner=page, timeout=20000)
        shown = time.monotonic()
        self.assertEqual(box["text"], UNREACHABLE_TEXT)
        # Nobody answers. The box must still be there well before its time...
        time.sleep(BOX_TIMEOUT_S - 5)
        self.assertTrue(box["window"].exists(), "the box waits its 30 seconds for someone to read it")
        # ...and gone, with the whole program, soon after it.
        self.assertEqual(page.process.wait(BOX_TIMEOUT_S + 15 - (time.monotonic() - shown)), 10,
                         "server unreachable at the check")
        waited = time.monotonic() - shown
        self.assertGreaterEqual(waited, BOX_TIMEOUT_S - 1)
        messages = [text for _, text in self.log_lines()]
        i = messages.index("Server web connect fail___")
        self.assertEqual(messages[i + 1], "Server web connect box not answered; the unattended run ends___")
        self.assertEqual(messages[-1], "< CKestrelVault_SetupApp::InitInstance")

    def test_programs_that_cannot_start_show_no_box(self):
        host = self.serve_site(self.servers, "http", "Acme")
        for rel in (kvstandins.ACTIVEX_PATH, kvstandins.UPDATER_PATH):
            Path(self.served[rel]).write_bytes(kvstandins.HEADER_ONLY_IMAGE)
        page = self.start_wizard(exe=self.stamped_copy(host), env=self.env)
        pid = page.pid()
        # Watch for any other window of the program until it has ended by itself.
        boxes = []
        deadline = time.monotonic() + 120
        while page.process.alive() and time.monotonic() < deadline:
            reply = self.driver.call("msgbox", timeout=200, pid=pid, exclude=str(page.hwnd))
            if reply.get("ok"):
                boxes.append(reply["text"])
                break
        self.assertEqual(boxes, [], "a box appeared in an unattended run")
        self.assertEqual(page.process.wait(120), 21, "installer launch failed")
        worker = self.worker_lines()
        self.assertIn("KestrelVAULT ActiveX 7i_ko.exe CreateProcess fail___(err: 193)", worker)
        self.assertEqual(worker[-2:], ["KVUpdate.exe CreateProcess fail___(err: 193)", "< KVDownloadDlg::RunKVUpdate"])
        self.assertEqual(self.records(), [], "neither program ran")


if __name__ == "__main__":
    unittest.main(verbosity=2)
