"""A site descriptor of hundreds of megabytes through the real program under Wine, against the
scripted server, which makes the descriptor's filler while it sends it (/_pad, /_padline in
tests/servers/scriptserver.py), so that neither side needs the body on disk or in memory.

Each row runs the stamped program unattended: the descriptor is fetched whole (the size query
and the transfer), read, and the run goes on as the descriptor allows, then the program ends
by itself with 0 and the log's last line is the start-up scope's exit. While it runs, the
program's peak resident memory (the kernel's high-water mark of the Wine process) is followed
and must stay far below the descriptor's size.

- Filler lines, the value line at the end: the run installs, with the descriptor copied whole
  into the site directory.
- One line of blanks ending in the value line: the same.
- One line without the tag and without a line end: the name it would give cannot be a
  directory; the update step stops with "Wrong xml___".
"""

import re
import sys
import time
import unittest
from pathlib import Path

from kvtestkit import kvstandins, kvtest, kvwizard

MIB = 1 << 20
SIZE = 400 * MIB
SITE = "Acme"
UPDATE_SCOPE = "KVDownloadDlg::RunKVUpdate"
INSTALLED = ["KVUpdate.exe run Success...", "< " + UPDATE_SCOPE]


def peak_resident(pid):
    """The process's VmHWM in bytes, or None once it is gone."""
    try:
        status = Path("/proc/%d/status" % pid).read_text()
    except OSError:
        return None
    m = re.search(r"^VmHWM:\s+(\d+) kB", status, re.M)
    return int(m.group(1)) * 1024 if m else None


class LargeDescriptorTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvlarge"
    server_kinds = ("script",)

    def test_a_descriptor_of_hundreds_of_megabytes_ends_the_run_normally(self):
        one_line = b"<servicename>%s</servicename>" % SITE.encode()
        rows = [
            # (what, scripted server's modes, file served after the filler, the worker's last lines)
            ("filler lines, the value line at the end", "/_pad=%d" % SIZE, kvstandins.descriptor_bytes(SITE),
             INSTALLED),
            ("one line of blanks ending in the value line", "/_padline=%d" % SIZE, one_line, INSTALLED),
            ("one line without the tag and without a line end", "/_padline=%d" % SIZE, b"end",
             ["Wrong xml___", "< " + UPDATE_SCOPE]),
        ]
        for what, modes, served, last in rows:
            with self.subTest(what):
                self.fresh_run_files()
                host = self.serve_site(self.servers, "script", SITE, descriptor=served)
                self.servers.script_fault(kvstandins.DESCRIPTOR_NAME, modes)
                self.addCleanup(self.servers.script_fault, kvstandins.DESCRIPTOR_NAME, "")
                started = time.monotonic()
                page = self.start_wizard(exe=self.stamped_copy(host), env=self.env)
                pid = page.process.proc.pid
                peak = peak_resident(pid) or 0
                while page.process.alive():
                    peak = max(peak, peak_resident(pid) or 0)
                    self.assertLess(time.monotonic() - started, 240, "the run did not end within 240 s")
                    time.sleep(0.2)
                # 30 for a descriptor refused as "Wrong xml___" (README, exit codes).
                code = 0 if last == INSTALLED else 30
                self.assertEqual(page.process.wait(30), code, "the program ends by itself with %d" % code)
                print("  %s: %d MiB descriptor, run of %.1f s, peak resident %.1f MiB"
                      % (what, SIZE // MIB, time.monotonic() - started, peak / MIB), file=sys.stderr)

                worker = self.worker_lines()
                self.assertEqual(worker[-len(last):], last)
                self.assertEqual(self.log_lines()[-1][1], "< CKestrelVault_SetupApp::InitInstance")
                self.assertIn("KestrelVAULT ActiveX 7i_ko.exe run Success...", worker)
                roles = [(r["role"], r["event"]) for r in self.records()]
                if last == INSTALLED:
                    self.assertIn("SiteName: " + SITE, worker)
                    # The step copies the fetched descriptor into the site directory and deletes it.
                    self.assertEqual((self.site_dir / kvstandins.DESCRIPTOR_NAME).stat().st_size, SIZE + len(served),
                                     "the descriptor was fetched whole")
                    self.assertEqual(roles[2:], [("updater", "start"), ("updater", "end")])
                else:
                    self.assertFalse([t for t in worker if t.startswith("SiteName:")])
                    # The refused descriptor went with the step's private directory; it was
                    # read to its verdict (the last line) only after a whole transfer.
                    self.assertEqual(self.new_private_dirs(), set(), "the private directory is removed")
                    self.assertFalse((kvtest.temp_dir() / kvstandins.DESCRIPTOR_NAME).exists())
                    self.assertEqual(roles, [("activex", "start"), ("activex", "end")])
                    self.assertFalse(self.site_dir.exists())
                # Far below the descriptor's size: the program reads it a block at a time.
                self.assertLess(peak, SIZE / 8)


if __name__ == "__main__":
    unittest.main(verbosity=2)
