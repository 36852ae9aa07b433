"""The whole wizard under Wine against real servers (nginx on 127.0.0.1): a stamped copy that
runs unattended over http, the same run by hand through the driver over https with the
server certificate issued for another host, a stamped "https://" address that runs
unattended over https, and a stamped copy whose preset host fails the
check and that is then sent to the https server, which finishes unattended as well.

The server offers the stand-in programs and a site descriptor (tests/standins). Each run must
leave: the installer stand-in started once from a private directory of the run under the
machine's temp directory, as the program runs elevated ("/verysilent" only when unattended),
and that directory gone with it, the one of the descriptor too, the user's temp directory
untouched; the site directory under Program Files holding the descriptor
copy and the updater; the updater started there with "-ou", seeing the descriptor and the
three per-site values; the values under the key named by the host; no descriptor in the temp
directory; the log's scopes in order; and the program ended.
"""

import os
import unittest

from kvtestkit import kvstandins, kvwizard
from kvtestkit.kvwizard import FINISH, FINISH_TEXT, HOST, HTTPS, INSTALL_PRODUCT_TEXT, NEXT, PREV, PROGRESS, SCHEME, STATUS


class WholeWizardTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvwiz"
    server_kinds = ("http", "https")

    # -- the runs ---------------------------------------------------------------------------------
    def test_stamped_copy_installs_unattended_over_http(self):
        host = self.serve_site(self.servers, "http", "케스트렐 시험")
        page = self.start_wizard(exe=self.stamped_copy(host), env=self.env)
        page.wait_gone(timeout=120000)
        self.assertEqual(page.process.wait(30), 0)
        self.assert_installed(host, https=False, silent=True)

    def test_stamped_https_address_installs_unattended_over_https(self):
        # The scheme comes from the slot's text; the certificate names another host.
        host = self.serve_site(self.servers, "https", "Acme")
        page = self.start_wizard(exe=self.stamped_copy("HTTPS://" + host), env=self.env)
        page.wait_gone(timeout=120000)
        self.assertEqual(page.process.wait(30), 0)
        self.assert_installed(host, https=True, silent=True)

    def test_by_hand_over_https_with_a_certificate_for_another_host(self):
        host = self.serve_site(self.servers, "https", "Acme")
        page = self.run_by_hand(host, https=True, typed=True)
        self.assertEqual(page.text(FINISH), FINISH_TEXT)
        self.assertEqual(page.text(STATUS), INSTALL_PRODUCT_TEXT)
        self.assertFalse(page.enabled(PREV))
        size = os.path.getsize(self.served[kvstandins.UPDATER_PATH])
        self.assertEqual(page.progress(PROGRESS), (size, 0, size), "the bar ends at the updater's size")
        self.finish(page)
        self.assert_installed(host, https=True, silent=False)

    def test_stamped_copy_sent_to_https_after_a_failed_check_finishes_unattended(self):
        host = self.serve_site(self.servers, "https", "Acme")
        page = self.start_wizard(exe=self.stamped_copy("127.0.0.1:9"), env=self.env)
        box = self.driver.msgbox(owner=page, timeout=20000)
        box["window"].click(box["buttons"][0]["id"])
        box["window"].wait_gone()
        page.click(HTTPS)
        page.wait(SCHEME, "text", "https://")
        page.set_text(HOST, host)
        # Next stays disabled in AutoMode; its command still reaches the page.
        page.command(NEXT)
        page.wait_gone(timeout=120000)
        self.assertEqual(page.process.wait(30), 0)
        self.assert_installed(host, https=True, silent=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
