"""The first wizard page under Wine, driven from outside through the driver."""

import unittest

from kvtestkit import kvtest
from kvtestkit.kvwizard import CANCEL, HOST, HTTP, HTTPS, NEXT, SCHEME

CAPTION = "설치 - 케스트렐볼트 통합 설치 프로그램"  # string 168
NEXT_TEXT = "다음(&N) >"  # string 193
CANCEL_TEXT = "취소"  # string 144
ABOUT_CAPTION = "About KestrelVault_Setup"

IDM_ABOUTBOX = 0x0010
IDOK = 1


class FirstPageTest(kvtest.WizardTestCase):

    def test_initial_state(self):
        page = self.start_wizard()
        # The posted click on "http" runs from the message loop, just after initialisation.
        page.wait(SCHEME, "text", "http://")
        self.assertEqual(page.text(), CAPTION)
        self.assertEqual((page.checked(HTTP), page.checked(HTTPS)), (1, 0))
        self.assertEqual(page.text(NEXT), NEXT_TEXT)
        self.assertEqual(page.text(CANCEL), CANCEL_TEXT)
        self.assertEqual(page.text(HOST), "")
        self.assertFalse(page.enabled(NEXT))
        self.assertTrue(page.enabled(CANCEL))

    def test_scheme_radios_switch_the_label_only(self):
        page = self.start_wizard()
        page.wait(SCHEME, "text", "http://")
        page.set_text(HOST, "vault.example.test/sub")
        for radio, other, label in [(HTTPS, HTTP, "https://"), (HTTP, HTTPS, "http://"), (HTTPS, HTTP, "https://")]:
            with self.subTest(radio=radio):
                page.click(radio)
                page.wait(SCHEME, "text", label)
                self.assertEqual((page.checked(radio), page.checked(other)), (1, 0))
                self.assertEqual(page.text(HOST), "vault.example.test/sub")

    def test_next_follows_the_host_text(self):
        page = self.start_wizard()
        page.wait(SCHEME, "text", "http://")
        # Any text enables Next, blanks too: the test is on the untrimmed text.
        cases = [
            ("vault.example.test", "enabled"),
            ("", "disabled"),
            ("   ", "enabled"),
            ("", "disabled"),
            ("케스트렐.예시", "enabled"),
            ("", "disabled"),
        ]
        for text, state in cases:
            with self.subTest(text=text):
                page.set_text(HOST, text)
                page.wait(NEXT, state)
                self.assertEqual(page.text(HOST), text)
        # Typed input takes the same path as a set text.
        page.type(HOST, " ")
        page.wait(NEXT, "enabled")
        self.assertEqual(page.text(HOST), " ")

    def test_each_way_out_ends_the_process(self):
        ways = [
            ("Cancel button", lambda page: page.click(CANCEL)),
            ("system menu Close", lambda page: page.syscommand("close")),
            ("Escape", lambda page: page.key("escape")),
        ]
        for name, leave in ways:
            with self.subTest(name):
                page = self.start_wizard()
                page.wait(SCHEME, "text", "http://")
                pid = page.pid()
                leave(page)
                page.wait_gone()
                page.process.wait(10)
                self.assertFalse(self.driver.alive(pid))

    def test_about_entry_opens_the_about_box(self):
        page = self.start_wizard()
        page.wait(SCHEME, "text", "http://")
        page.syscommand(IDM_ABOUTBOX)
        box = self.driver.msgbox(caption=ABOUT_CAPTION, owner=page)
        self.assertIn("KestrelVault_Setup, Version 1.0", box["statics"])
        self.assertEqual(box["buttons"], [{"id": IDOK, "text": "OK"}])
        self.assertEqual(box["pid"], page.pid())
        # Modal to the page.
        self.assertFalse(page.enabled())

        box["window"].click(IDOK)
        box["window"].wait_gone()
        page.wait(None, "enabled")
        self.assertTrue(page.process.alive())
        self.assertEqual(page.text(), CAPTION)


if __name__ == "__main__":
    unittest.main(verbosity=2)
