"""The program behind a mandatory forward proxy (squid on 127.0.0.1, named in the prefix user's
Internet Settings): the server's host name is one only the proxy resolves, so nothing reaches
the server unless it goes through the proxy.

- The first page's check goes through the proxy, both schemes (CONNECT for https), stamped and
  by hand, and the run installs with exit code 0.
- A proxy that asks for credentials (407) every time: the stamped run ends by itself with 11
  and the log line that names the answer; by hand the box says so in the program's language.
- While the check waits (a server that never accepts the connection), the page keeps
  answering its messages and Next stays disabled.
"""

import time
import unittest

from kvtestkit import kvtest, kvwizard
from kvtestkit.kvproxy import PROXY_ONLY_HOST, Proxy, prefix_proxy
from kvtestkit.kvwizard import CANCEL, HOST, NEXT, SCHEME

PROXY_REFUSED_TEXT = "프록시 서버가 인증을 요구하여 업데이트할 서버에 접속할 수 없습니다."  # string 300
NEXT_SCOPE = "CKestrelVault_SetupDlg::OnBnClickedNext"
POLICY_KEY = r"HKLM\SOFTWARE\Policies\KestrelVAULT\Setup"
STALL_S = 5


def next_lines(log):
    """The messages of the first page's check, in order."""
    out, inside = [], False
    for _, text in log:
        if text == "> " + NEXT_SCOPE:
            inside = True
        elif text == "< " + NEXT_SCOPE:
            inside = False
        elif inside:
            out.append(text)
    return out


class ProxiedTestCase(kvwizard.WholeRunTestCase):
    """Servers for the class, the proxy named in the prefix for each test."""

    dir_prefix = "kvproxy"
    server_kinds = ("http", "https")
    credentials = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.proxy = Proxy.for_class(cls, credentials=cls.credentials)

    def setUp(self):
        super().setUp()
        settings = prefix_proxy(self.proxy.address)
        settings.__enter__()
        self.addCleanup(settings.__exit__, None, None, None)

    def proxied_host(self, kind):
        """The server `kind` under the name only the proxy resolves, its site served."""
        host = "%s:%d" % (PROXY_ONLY_HOST, self.servers.ports[kind])
        return self.serve_site(self.servers, kind, "Acme", host=host)


class ThroughTheProxy(ProxiedTestCase):

    def assert_check_went_through_proxy(self, host, https):
        checks = [r for r in self.proxy.requests()
                  if (r["method"], r["url"]) in (("GET", "http://%s/" % host), ("CONNECT", host))]
        self.assertTrue(checks, "the proxy saw no request for %s: %s" % (host, self.proxy.requests()))
        self.assertEqual(checks[0]["method"], "CONNECT" if https else "GET")
        lines = next_lines(self.log_lines())
        self.assertNotIn("Server web connect fail___", lines)
        self.assertIn("ConnectionURL: %s://%s" % ("https" if https else "http", host), lines)

    def test_stamped_both_schemes(self):
        for https in (False, True):
            with self.subTest(https=https):
                self.fresh_run_files()
                host = self.proxied_host("https" if https else "http")
                page = self.start_wizard(exe=self.stamped_copy(("https://" if https else "") + host), env=self.env)
                pid = page.pid()
                self.assertEqual(self.driver.wait_exit(pid, timeout=120000), 0)
                self.assert_check_went_through_proxy(host, https)
                self.assert_installed(host, https, silent=True)

    def test_by_hand_both_schemes(self):
        for https in (False, True):
            with self.subTest(https=https):
                self.fresh_run_files()
                host = self.proxied_host("https" if https else "http")
                page = self.run_by_hand(host, https)
                self.finish(page, 0)
                # squid logs a CONNECT when its tunnel closes, at the program's end at the latest.
                self.assert_check_went_through_proxy(host, https)


class ProxyAsksForCredentials(ProxiedTestCase):

    credentials = True

    def assert_refused_in_log(self):
        lines = next_lines(self.log_lines())
        self.assertIn("Proxy asks for credentials (407)", lines)
        self.assertEqual(lines[lines.index("Proxy asks for credentials (407)") + 1], "Server web connect fail___")
        outcome = self.kvlog_run()["outcome"]
        self.assertEqual((outcome["exit_code"], outcome["name"]), (11, "the proxy refused the request"))
        self.assertTrue(self.proxy.requests())
        self.assertEqual({r["status"] for r in self.proxy.requests()}, {407})

    def test_stamped_run_ends_by_itself_with_11(self):
        for https in (False, True):
            with self.subTest(https=https):
                self.fresh_run_files()
                host = self.proxied_host("https" if https else "http")
                page = self.start_wizard(exe=self.stamped_copy(("https://" if https else "") + host), env=self.env)
                pid = page.pid()
                box = self.driver.msgbox(owner=page, timeout=30000)
                self.assertEqual(box["text"], PROXY_REFUSED_TEXT)
                # Nobody answers: the box closes itself and the run ends.
                self.assertEqual(self.driver.wait_exit(pid, timeout=90000), 11)
                self.assertEqual(page.process.wait(30), 11)
                self.assert_refused_in_log()
                self.assertEqual(self.records(), [], "nothing was started")

    def test_by_hand_box_names_the_proxy(self):
        host = self.proxied_host("http")
        page = self.start_wizard(env=self.env)
        pid = page.pid()
        page.wait(SCHEME, "text", "http://")
        page.set_text(HOST, host)
        page.click(NEXT)
        box = self.driver.msgbox(owner=page, timeout=30000)
        self.assertEqual(box["text"], PROXY_REFUSED_TEXT)
        box["window"].click(box["buttons"][0]["id"])
        box["window"].wait_gone()
        # The first page stays, ready for another try.
        self.assertTrue(page.visible(HOST))
        self.assertTrue(page.enabled(NEXT))
        page.click(CANCEL)
        self.assertEqual(self.driver.wait_exit(pid, timeout=30000), 11)
        self.assert_refused_in_log()


class PageAnswersDuringTheCheck(kvwizard.WholeRunTestCase):

    dir_prefix = "kvcheckwait"

    def setUp(self):
        super().setUp()
        before = kvtest.reg_query(POLICY_KEY, "StallTimeoutSeconds")
        kvtest.reg_add(POLICY_KEY, "StallTimeoutSeconds", str(STALL_S), kind="REG_DWORD")
        if before is None:
            self.addCleanup(kvtest.reg_delete, POLICY_KEY, "StallTimeoutSeconds")
        else:
            self.addCleanup(kvtest.reg_add, POLICY_KEY, "StallTimeoutSeconds", str(before), "REG_DWORD")

    def test_page_keeps_answering(self):
        from kvtestkit.kvservers import Servers
        with Servers(kvtest.build_dir(), kinds=()) as servers:
            page = self.start_wizard(env=self.env)
            page.wait(SCHEME, "text", "http://")
            page.set_text(HOST, servers.host("unaccepted"))
            page.click(NEXT)
            # The check waits for a connection that is never accepted, up to the stall limit;
            # meanwhile every message the driver sends is answered at once ("busy" otherwise).
            page.wait(NEXT, "disabled", timeout=5000)
            answered = 0
            deadline = time.monotonic() + STALL_S - 1.5
            while time.monotonic() < deadline:
                reply = self.driver.call("text", page.hwnd, HOST)
                self.assertTrue(reply["ok"], reply)
                self.assertFalse(page.enabled(NEXT), "Next stays disabled while the check runs")
                answered += 1
                time.sleep(0.3)
            self.assertGreater(answered, 0)
            box = self.driver.msgbox(owner=page, timeout=(STALL_S + 20) * 1000)
            self.assertEqual(box["text"], kvwizard.UNREACHABLE_TEXT)
            box["window"].click(box["buttons"][0]["id"])
            box["window"].wait_gone()
            self.assertTrue(page.enabled(NEXT))
            page.click(CANCEL)
            page.wait_gone(timeout=20000)
            self.assertEqual(page.process.wait(30), 10)


if __name__ == "__main__":
    unittest.main(verbosity=2)
