"""Links planted in the site directory while the update step runs, with the real program under
Wine and driven by hand.

Every local user may write the site directory under Program Files, and the elevated program
puts the updater there. The scripted server sends the updater slowly; while its body still
comes in, the test puts a hard link under the updater's name in the site directory, pointing
at a file elsewhere. Nothing may be written through it: the file it points at keeps its bytes,
and the run installs completely, the updater in the site directory a file of its own (one name)
holding what the server sent, started from there.

A symbolic link cannot be shown here: Wine shows a host symbolic link as the file it points at
to every open, also to one that asks not to follow a reparse point, so removing the name
removes that file (Windows removes the link itself).
"""

import os
import time
import unittest

from kvtestkit import kvstandins, kvwizard
from kvtestkit.kvwizard import FINISH, INSTALL_PRODUCT_TEXT, PROGRESS, STATUS

# Milliseconds between the scripted server's 4096-byte pieces: the updater takes about 3 s.
SLOW_MS = 40
# The updater's bytes that must have come before the link is planted: the body flows.
STARTED = 16 * 1024
VICTIM_BYTES = b"a file of the system that the setup must never write\r\n"


class SiteLinkTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvlink"
    server_kinds = ("script", "script-https")

    def test_a_link_planted_while_the_updater_comes_receives_nothing(self):
        for https in (False, True):
            for kind in ("hard link",):
                with self.subTest(https=https, link=kind):
                    self.check_planted_link(https, kind)

    def wait_inside_updater(self, page, size, timeout=60.0):
        """Waits until the page shows the updater's status with the bar inside it: the body is
        flowing, neither before it nor after its end."""
        deadline = time.monotonic() + timeout
        while True:
            text, (pos, _, top) = page.text(STATUS), page.progress(PROGRESS)
            if text == INSTALL_PRODUCT_TEXT and top == size and STARTED <= pos < top:
                return pos
            if time.monotonic() > deadline:
                self.fail("the updater's transfer was not seen under way: status %r, bar %d of %d" % (text, pos, top))
            time.sleep(0.05)

    def check_planted_link(self, https, kind):
        host = self.serve_site(self.servers, "script-https" if https else "script", "Acme")
        self.servers.script_fault(kvstandins.UPDATER_NAME, "/_slow=%d" % SLOW_MS)
        self.addCleanup(self.servers.script_fault, kvstandins.UPDATER_NAME, "")
        self.fresh_run_files()
        victim = self.dir / ("victim-%s-%s.dll" % ("https" if https else "http", kind.split()[0]))
        victim.write_bytes(VICTIM_BYTES)
        size = os.path.getsize(self.served[kvstandins.UPDATER_PATH])
        name = self.site_dir / kvstandins.UPDATER_NAME

        page = self.press_next(host, https)
        try:
            self.wait_inside_updater(page, size)
            # Whatever stands under the name now goes first, as another user could remove it.
            if os.path.lexists(name):
                os.unlink(name)
            os.link(victim, name)
            pos = page.progress(PROGRESS)[0]
            self.assertLess(pos, size, "planted while the body still came")
            self.wait_worker_end(page)
            page.click(FINISH)
            page.wait_gone(timeout=20000)
            code = page.process.wait(30)
        finally:
            page.process.stop()

        self.assertEqual(victim.read_bytes(), VICTIM_BYTES, "written through the %s" % kind)
        self.assertEqual(code, 0, "the run installed completely: %s" % [t for t in self.worker_lines() if "fail" in t])
        self.assertFalse(name.is_symlink(), "the updater is a file of its own")
        self.assertEqual(name.stat().st_nlink, 1, "no other name reaches the updater")
        self.assertEqual(victim.stat().st_nlink, 1, "the link is gone, the file it pointed at stays")
        self.assert_installed(host, https=https, silent=False)


if __name__ == "__main__":
    unittest.main(verbosity=2)
