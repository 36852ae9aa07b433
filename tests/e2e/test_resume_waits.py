"""Cut transfers taken up where they stopped, the waits between attempts and the floor under a
transfer's rate: the real program under Wine against the scripted server
(tests/kvtestkit/scriptserver.py), which names each file's version with an ETag, cuts bodies,
answers 503 with Retry-After or drips a body.

- Every file cut once 40 % of its size has gone out on each connection: the run installs, each
  file's body bytes sent stay within 1.05 times its size, and each resumed attempt asked for
  the rest (Range, If-Range with the first answer's tag) and is logged "resumed at N of M".
- A server that ignores Range, and one whose tag changes between attempts: the next attempt
  starts over (no "resumed" line) and the run installs.
- A signed installer whose bytes change on the server between two attempts: the resumed file
  is refused by the signature check, nothing starts, exit 20.
- 503 with Retry-After 3 on the installer, by hand: the page's status line says it waits and
  how long, the attempts are at least 3 s apart; 500 without it: the waits of the log follow
  2, 4, 8, 16 s within a quarter, and the attempts' times in the log follow them.
- A body dripping 1 byte every 2 s, and 1 KiB every 3 s, with the stall limit at 5 s: neither
  is cut as a stall; the rate floor ends each after 60 s, with its line, as a time-out.
"""

import os
import time
import unittest
import urllib.parse

from kvtestkit import kvstandins, kvtest, kvwizard
from kvtestkit.kvwizard import STATUS

SITE = "Acme"
POLICY_KEY = r"HKLM\SOFTWARE\Policies\KestrelVAULT\Setup"
STALL_VALUE = "StallTimeoutSeconds"
STALL_S = 5
# How much later than its due time a wait or a floor may end on a loaded machine.
MARGIN_S = 4.0
INSTALL_SCOPE = "KVDownloadDlg::InstallActiveX"
WAIT_TEXT_3S = "서버가 응답하지 않아 3초 후에 다시 시도합니다."
FILES = {"installer": kvstandins.ACTIVEX_NAME, "descriptor": kvstandins.DESCRIPTOR_NAME,
         "updater": kvstandins.UPDATER_NAME}
RELS = {"installer": kvstandins.ACTIVEX_PATH, "descriptor": kvstandins.DESCRIPTOR_PATH,
        "updater": kvstandins.UPDATER_PATH}


class ResumeAndWaitsTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvresume"
    server_kinds = ("script",)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        kvtest.reg_add(POLICY_KEY, STALL_VALUE, STALL_S, "REG_DWORD")
        cls.addClassCleanup(kvtest.reg_delete, POLICY_KEY, STALL_VALUE)

    # -- one run -----------------------------------------------------------------------------
    def serve(self, faults, sign=None):
        self.servers.script_reset()
        host = self.servers.host("script")
        self.site = SITE
        self.served = kvstandins.fill_server_tree(self.servers.www, SITE, kvtest.build_dir(), sign=sign)
        self.site_key = kvwizard.SETTINGS_KEY + "\\" + host
        self.site_dir = kvtest.program_files() / "KestrelVAULT" / SITE
        kvwizard.forget_site(SITE, host)
        self.addCleanup(kvwizard.forget_site, SITE, host)
        self.fresh_run_files()
        for key, modes in faults.items():
            self.servers.script_fault(FILES[key], modes)
        return host

    def run_unattended(self, host, timeout_s=240):
        exe = self.stamped_copy(host)
        page = self.start_wizard(exe=exe, env=self.env)
        code = self.driver.wait_exit(page.pid(), timeout=timeout_s * 1000)
        self.assertEqual(page.process.wait(30), code & 0xFF)
        return code

    def requests_for(self, key):
        return [r for r in self.servers.script_requests()
                if urllib.parse.unquote(r["path"]).endswith("/" + FILES[key])]

    def stamped_worker(self):
        log = kvwizard.parse_log(self.dir / "setup.log", stamped=True)
        ui = log[0][1] if log else None
        return [(stamp, text) for stamp, tid, text in log if tid != ui]

    def size(self, key):
        return os.path.getsize(self.served[RELS[key]])

    def started(self):
        return [r["role"] for r in self.records() if r["event"] == "start"]

    # -- resume ------------------------------------------------------------------------------
    def test_every_file_cut_at_forty_percent_installs_with_each_byte_sent_about_once(self):
        host = self.serve({key: "/_etag=%s1/_cutpct=40" % key for key in FILES})
        self.assertEqual(self.run_unattended(host), 0, "\n".join(self.worker_lines()))
        self.assertEqual(self.started(), ["activex", "updater"])
        lines = self.worker_lines()
        resumed = [l for l in lines if " resumed at " in l]
        for key in FILES:
            with self.subTest(file=key):
                size = self.size(key)
                requests = self.requests_for(key)
                sent = sum(r["sent"] for r in requests)
                sys_note = "%s: %d body bytes sent for %d (%.3fx)" % (key, sent, size, sent / float(size))
                print(sys_note)
                self.assertLessEqual(sent, 1.05 * size, sys_note)
                # The transfers: a whole one cut at 40 %, then the rest asked for from where
                # each stopped, under the first answer's tag (each connection carries 40 % of
                # the file at most).
                asked = [r.get("range") for r in requests if r.get("range") != "bytes=0-0"]
                at40 = (size * 40 + 99) // 100
                at80 = 2 * at40
                self.assertEqual(asked, [None, "bytes=%d-" % at40, "bytes=%d-" % at80], requests)
                self.assertEqual({r.get("ifrange") for r in requests if r.get("range", "").endswith("-")
                                  and r.get("range") != "bytes=0-0"}, {'"%s1"' % key})
                for at in (at40, at80):
                    self.assertIn("Transfer resumed at %d of %d" % (at, size), resumed)
        self.assertEqual(len(resumed), 6, resumed)
        # The files as served, in place.
        self.assertEqual((self.site_dir / kvstandins.UPDATER_NAME).read_bytes(),
                         open(self.served[RELS["updater"]], "rb").read())
        self.assertEqual(self.new_private_dirs(), set())

    def test_a_server_that_ignores_the_range_or_changes_the_version_starts_over(self):
        for name, modes in (("ignores Range", "/_etag=v1/_norange/_cutpct=40/_cutcount=1"),
                            ("tag changes", "/_etag=*/_cutpct=40/_cutcount=1")):
            with self.subTest(server=name):
                host = self.serve({"installer": modes, "updater": modes})
                self.assertEqual(self.run_unattended(host), 0, "\n".join(self.worker_lines()))
                self.assertEqual(self.started(), ["activex", "updater"])
                self.assertFalse([l for l in self.worker_lines() if " resumed at " in l])
                for key in ("installer", "updater"):
                    requests = [r for r in self.requests_for(key) if r.get("range") != "bytes=0-0"]
                    # The second transfer asked for the rest and got the whole file instead.
                    self.assertEqual(len(requests), 2, requests)
                    self.assertTrue(requests[1].get("range", "").startswith("bytes="), requests)
                    self.assertEqual(requests[1]["sent"], self.size(key))

    def test_a_file_changed_on_the_server_between_attempts_is_refused_by_its_signature(self):
        host = self.serve({"installer": "/_etag=v1/_cutpct=40/_cutcount=2/_changed"},
                          sign={kvstandins.ACTIVEX_NAME: "publisher"})
        self.assertEqual(self.run_unattended(host), 20, "\n".join(self.worker_lines()))
        lines = self.worker_lines()
        self.assertTrue([l for l in lines if " resumed at " in l], lines)
        self.assertTrue([l for l in lines if "0x80096010" in l], "the digest no longer matches:\n" + "\n".join(lines))
        self.assertIn("KestrelVAULT ActiveX 7i_ko.exe not obtained, not started___", lines)
        # The update step goes on as after any installer that was not obtained.
        self.assertEqual(self.started(), ["updater"])

    # -- waits -------------------------------------------------------------------------------
    def attempt_times(self):
        return [stamp for stamp, text in self.stamped_worker() if text.startswith("ServerFilePath: ")
                and text.endswith(kvstandins.ACTIVEX_NAME)]

    def test_a_loaded_server_is_left_alone_as_long_as_it_asks_and_the_page_says_so(self):
        host = self.serve({"installer": "/_status=503/_retryafter=3"})
        page = self.press_next(host, False)
        seen = page.wait(STATUS, "text", WAIT_TEXT_3S, timeout=30000)
        # Buttons as during a transfer: nothing to press.
        self.assertFalse(page.enabled(kvwizard.PREV))
        self.assertFalse(page.enabled(kvwizard.FINISH))
        self.wait_worker_end(page, timeout=120000)
        self.finish(page, 20)
        waits = [t for s, t in self.stamped_worker() if t.startswith("Next attempt in ")]
        self.assertEqual(waits, ["Next attempt in 3000 ms (Retry-After: 3)"] * 4)
        times = self.attempt_times()
        self.assertEqual(len(times), 5)
        gaps = [(b - a).total_seconds() for a, b in zip(times, times[1:])]
        print("503 Retry-After 3: attempts %s s apart" % ", ".join("%.2f" % g for g in gaps))
        for gap in gaps:
            self.assertGreaterEqual(gap, 3.0)
            self.assertLessEqual(gap, 3.0 + MARGIN_S)

    def test_other_failures_back_off_two_four_eight_sixteen_seconds(self):
        host = self.serve({"installer": "/_status=500"})
        self.assertEqual(self.run_unattended(host), 20)
        waits = [int(t.split()[3]) for s, t in self.stamped_worker() if t.startswith("Next attempt in ")]
        times = self.attempt_times()
        gaps = [(b - a).total_seconds() for a, b in zip(times, times[1:])]
        print("500: waits %s ms, attempts %s s apart" % (waits, ", ".join("%.2f" % g for g in gaps)))
        self.assertEqual(len(waits), 4)
        for base, wait, gap in zip((2000, 4000, 8000, 16000), waits, gaps):
            self.assertGreaterEqual(wait, base * 3 // 4)
            self.assertLessEqual(wait, base * 5 // 4)
            self.assertGreaterEqual(gap, wait / 1000.0)
            self.assertLessEqual(gap, wait / 1000.0 + MARGIN_S)

    # -- the rate floor ------------------------------------------------------------------------
    def test_a_dripping_body_ends_under_the_floor_not_as_a_stall(self):
        for drip in ("1:2000", "1024:3000"):
            with self.subTest(drip=drip):
                # The size query goes through; the transfer drips.
                host = self.serve({"updater": "/_skip=1/_drip=%s" % drip})
                started = time.monotonic()
                self.assertEqual(self.run_unattended(host), 40)
                lines = self.stamped_worker()
                texts = [t for s, t in lines]
                self.assertIn("Transfer rate under 1024 bytes/s over 60 s___", texts)
                # From the transfer's start (the size query's end) to its end under the floor.
                begin = [s for s, t in lines if t == "< KVDownloadDlg::GetWebFileSize"][-1]
                end = [s for s, t in lines if t == "Transfer rate under 1024 bytes/s over 60 s___"][0]
                took = (end - begin).total_seconds()
                print("drip %s: ended after %.1f s (run %.1f s)" % (drip, took, time.monotonic() - started))
                self.assertGreaterEqual(took, 60.0)
                self.assertLessEqual(took, 60.0 + MARGIN_S)
                self.assertGreater(self.requests_for("updater")[-1]["sent"], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
