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

from kvtestkit import kvstandins, kvtest, kvwizard
from kvtestkit.kvwizard import FINISH, FINISH_TEXT, HOST, HTTPS, INSTALL_PRODUCT_TEXT, NEXT, PREV, PROGRESS, SCHEME, STATUS


# What the page's worker writes, scope by scope, in a complete run: the installer fetched in
# one attempt and run, then the update step with its two transfers and the two grants.
def worker_scopes(https):
    fetch = ["> KVDownloadDlg::GetWebFileSize", "< KVDownloadDlg::GetWebFileSize"]
    if https:
        fetch += ["> KVDownloadDlg::URLDownloadToFileOnHttps", "< KVDownloadDlg::URLDownloadToFileOnHttps"]
    grant = ["> AddFileAccessAllowedRights", "< AddFileAccessAllowedRights"]
    return (["> KVDownloadDlg::InstallActiveX"] + fetch + ["< KVDownloadDlg::InstallActiveX",
             "> KVDownloadDlg::RunKVUpdate"] + fetch + grant + grant + fetch + ["< KVDownloadDlg::RunKVUpdate"])


class WholeWizardTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvwiz"
    server_kinds = ("http", "https")

    def assert_installed(self, host, https, silent):
        temp = kvtest.temp_dir()
        win_site = "C:\\Program Files (x86)\\KestrelVAULT\\" + self.site

        records = self.records()
        self.assertEqual([(r["role"], r["event"]) for r in records],
                         [("activex", "start"), ("activex", "end"), ("updater", "start"), ("updater", "end")],
                         "each program started once, the next only after the last had ended")
        installer, updater = records[0], records[2]
        self.assertEqual(installer["args"], "/verysilent" if silent else "")
        # Elevated, the run fetches into a new directory of its own that only Administrators and
        # SYSTEM may write, starts the installer there, and removes it when the step ends.
        private = installer["cwd"]
        self.assertTrue(kvtest.PRIVATE_DIR_RE.fullmatch(private), "started from %s" % private)
        self.assertEqual(installer["exe"].lower(), (private + "\\" + kvstandins.ACTIVEX_NAME).lower())
        self.assertFalse(kvtest.unix_path(private).exists(), "the private directory is removed")
        self.assertEqual(self.new_private_dirs(), set(), "no private directory stays")
        self.assertFalse((temp / kvstandins.ACTIVEX_NAME).exists(), "nothing in the user's temp directory")

        with open(self.served[kvstandins.DESCRIPTOR_PATH], "rb") as f:
            descriptor = f.read()
        with open(self.served[kvstandins.UPDATER_PATH], "rb") as f:
            updater_bytes = f.read()
        self.assertEqual((self.site_dir / kvstandins.DESCRIPTOR_NAME).read_bytes(), descriptor)
        self.assertEqual((self.site_dir / kvstandins.UPDATER_NAME).read_bytes(), updater_bytes)
        self.assertFalse((temp / kvstandins.DESCRIPTOR_NAME).exists(), "the descriptor left the temp directory")

        self.assertEqual(updater["args"], "-ou")
        self.assertEqual(updater["cwd"].rstrip("\\").lower(), win_site.lower())
        self.assertEqual(updater["exe"].lower(), (win_site + "\\" + kvstandins.UPDATER_NAME).lower())
        self.assertTrue(updater["descriptor"], "the descriptor copy was there when the updater started")
        self.assertEqual(updater["sites"].get(host),
                         {"LANGUAGE": 1, "Update\\DontQuestionDesktopShortcut": 1, "PRODUCT": 1})

        self.assertEqual(kvtest.reg_values(self.site_key), {"LANGUAGE": ("REG_DWORD", 1), "PRODUCT": ("REG_DWORD", 1)})
        self.assertEqual(kvtest.reg_values(self.site_key + "\\Update"),
                         {"DontQuestionDesktopShortcut": ("REG_DWORD", 1)})

        log = self.log_lines()
        self.assertEqual(log[0][1], "> CKestrelVault_SetupApp::InitInstance")
        self.assertEqual(log[-1][1], "< CKestrelVault_SetupApp::InitInstance")
        ui = log[0][0]
        workers = {tid for tid, _ in log if tid != ui}
        self.assertEqual(len(workers), 1, "one worker thread ran the steps")
        worker = [text for tid, text in log if tid in workers]
        self.assertEqual([t for t in worker if t[:2] in ("> ", "< ")], worker_scopes(https))
        self.assertIn("SiteName: " + self.site, worker)
        self.assertIn(("DownFilePath: %s\\%s" % (private, kvstandins.ACTIVEX_NAME)).lower(),
                      [t.lower() for t in worker], "the log shows the private path")
        self.assertIn("KestrelVAULT ActiveX 7i_ko.exe run Success...", worker)
        self.assertEqual(worker[-2], "KVUpdate.exe run Success...")
        # The worker started only after the check had handed the host over.
        first_worker = next(i for i, (tid, _) in enumerate(log) if tid in workers)
        ui_before = [text for tid, text in log[:first_worker] if tid == ui]
        self.assertEqual(ui_before[-1], "< CKestrelVault_SetupDlg::OnBnClickedNext")
        self.assertIn("ConnectionURL: %s://%s" % ("https" if https else "http", host), ui_before)

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
