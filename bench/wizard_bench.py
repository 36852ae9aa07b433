#!/usr/bin/env python3
"""The whole unattended wizard: a copy of the program stamped (kvstamp) with the address of the
demo server on 127.0.0.1 (kvtestkit's demo_server.py, serving the stand-in installer and updater
and a site descriptor: small files) runs from its start to its exit. Its wall time is set beside the
sum of its parts: the stand-ins' run time (each is told to run --run-ms) and the three
transfers (FetchServerFile of the same files in a process of their own, kv_transfer_bench
fetch); the rest is the program's own overhead.

One more run with the trace log in mode 3 shows where that overhead goes, from the log's
time stamps.

    wizard_bench.py [--rounds N] [--run-ms MS] [--json FILE]

Needs DISPLAY, the project's Wine prefix and a running wineserver: run it through
bench/run_all.sh. KV_BUILD names the build.
"""

import argparse
import json
import os
import shutil
import statistics
import tempfile
import time
from datetime import datetime
from pathlib import Path

from kvtestkit import kvstandins, kvtest, kvwizard
from kvtestkit.demo import DemoServer, trust_demo_ca

SITE = "BenchSite"
# The wizard's own timers on the way of an unattended run: the first page's automatic Next
# (100 ms), the download page's start (300 ms) and its automatic finish (100 ms).
TIMERS_S = 0.5


def fetch_seconds(urls):
    """Seconds of FetchServerFile for each URL, in order, in a fresh process (as the wizard
    fetches them, first use of WinINet and URL monikers included)."""
    rc, out, _ = kvtest.wine_run(kvtest.build_dir() / "kv_transfer_bench.exe", "fetch", "0", *urls, merge=False)
    text = out.decode()
    if rc != 0:
        raise RuntimeError("kv_transfer_bench fetch failed (%d): %s" % (rc, text))
    return [float(line.split()[1]) for line in text.splitlines() if line.startswith("fetch ")]


class Bench:
    def __init__(self, run_ms):
        self.run_ms = run_ms
        self.work = Path(tempfile.mkdtemp(prefix="wizard-bench-", dir=kvtest.build_dir()))
        www = self.work / "www"
        self.served = kvstandins.fill_server_tree(str(www), SITE, kvtest.build_dir())
        # The timed runs over plain http, as the transfers they are set beside; one more run over
        # https (the same port) counts the bytes of that scheme.
        self.server = DemoServer(www, self.work, tls=True)
        self.host = self.server.host
        # The files in the order the steps fetch them, under the addresses they form.
        self.urls = [self.server.url(rel) for rel in
                     (kvstandins.ACTIVEX_PATH, kvstandins.DESCRIPTOR_PATH, kvstandins.UPDATER_PATH)]
        self.exe = kvwizard.product_copy(self.work, self.host)
        (self.work / "https").mkdir()
        self.https_exe = kvwizard.product_copy(self.work / "https", "https://" + self.host)
        # What one run must fetch: the three files, once each.
        self.file_bytes = sum(os.path.getsize(self.served[rel]) for rel in
                              (kvstandins.ACTIVEX_PATH, kvstandins.DESCRIPTOR_PATH, kvstandins.UPDATER_PATH))
        self.win_dir, self.dir = kvtest.own_temp_dir("kvbench_wizard")
        self.env = kvstandins.standin_env(self.win_dir + r"\records.jsonl", run_ms=run_ms, activex_exit=0,
                                          updater_exit=0)
        self.base = kvtest.program_files() / "KestrelVAULT"

    def clean(self):
        kvwizard.forget_site(SITE, self.host)
        (self.dir / "records.jsonl").unlink(missing_ok=True)

    def close(self):
        self.server.stop()
        self.clean()
        shutil.rmtree(self.work, ignore_errors=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def sent_bytes(self, since):
        """The body bytes the server sent for the requests after the first `since` of its log."""
        return sum(int(line.split()[-1]) for line in self.server.requests()[since:])

    def run_wizard(self, exe=None):
        """One unattended run: (wall seconds, wall-clock time of the start); the body bytes the
        server sent for it in self.last_sent."""
        self.clean()
        before = len(self.server.requests())
        started_at = time.time()
        start = time.monotonic()
        process = kvtest.WineProcess(exe or self.exe, env=self.env)
        try:
            code = process.wait(180)
        finally:
            process.stop()
        wall = time.monotonic() - start
        if code != 0:
            raise RuntimeError("the stamped program exited with %s" % code)
        # It must have done the whole job, or the figure means nothing.
        events = [(r["role"], r["event"]) for r in kvstandins.read_records(self.dir / "records.jsonl")]
        if events != [("activex", "start"), ("activex", "end"), ("updater", "start"), ("updater", "end")]:
            raise RuntimeError("the unattended run did not start both programs in turn: %s" % events)
        if not (self.base / SITE / kvstandins.UPDATER_NAME).is_file():
            raise RuntimeError("the unattended run left no updater in the site directory")
        self.last_sent = self.sent_bytes(before)
        return wall, started_at

    def standin_alone(self):
        """Seconds from starting the stand-in installer under wine from here to its exit, with
        no run time of its own: what starting and ending one program costs under Wine."""
        exe = Path(kvstandins.standin_dir(kvtest.build_dir())) / kvstandins.ACTIVEX_NAME
        env = dict(self.env, KV_STANDIN_ACTIVEX_RUN_MS="0")
        start = time.monotonic()
        process = kvtest.WineProcess(exe, env=env)
        try:
            process.wait(60)
        finally:
            process.stop()
        return time.monotonic() - start

    def logged_phases(self):
        """The phases of one run with the trace log in mode 3, from the log's time stamps."""
        kvwizard.set_log(3, self.win_dir + r"\setup.log")
        try:
            (self.dir / "setup.log").unlink(missing_ok=True)
            wall, started_at = self.run_wizard()
            ended_at = started_at + wall
        finally:
            kvwizard.set_log(None)
        lines = [(datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f").timestamp(), text)
                 for stamp, _, text in kvwizard.read_log(self.dir / "setup.log")]
        return phases_of(lines, started_at, ended_at, self.run_ms), wall


def phases_of(lines, started_at, ended_at, run_ms):
    """(label, seconds) of the spans between landmarks of the log, from the start to the exit."""
    def at(predicate, after=0):
        for i in range(after, len(lines)):
            if predicate(lines[i][1]):
                return i
        raise RuntimeError("log lacks an expected line (after line %d)" % after)

    i_init = at(lambda s: s == "> CKestrelVault_SetupApp::InitInstance")
    i_next = at(lambda s: s == "> CKestrelVault_SetupDlg::OnBnClickedNext", i_init)
    i_next_end = at(lambda s: s == "< CKestrelVault_SetupDlg::OnBnClickedNext", i_next)
    i_activex = at(lambda s: s == "> KVDownloadDlg::InstallActiveX", i_next_end)
    i_activex_ret = at(lambda s: s.startswith("URLDownloadToFile ret:"), i_activex)
    i_activex_run = at(lambda s: s.startswith("KestrelVAULT ActiveX 7i_ko.exe run "), i_activex_ret)
    i_update = at(lambda s: s == "> KVDownloadDlg::RunKVUpdate", i_activex_run)
    i_site = at(lambda s: s.startswith("SiteName:"), i_update)
    i_updater_fetch = at(lambda s: s == "> KVDownloadDlg::GetWebFileSize", i_site)
    i_updater_run = at(lambda s: s.startswith("KVUpdate.exe run "), i_updater_fetch)
    i_init_end = at(lambda s: s == "< CKestrelVault_SetupApp::InitInstance", i_updater_run)
    t = [x[0] for x in lines]
    run_s = run_ms / 1000.0
    # Landmarks in the order of the run; the spans between them add up to the wall time.
    marks = [started_at, t[i_init], t[i_next], t[i_next_end], t[i_activex], t[i_activex_ret], t[i_activex_run],
             t[i_update], t[i_site], t[i_updater_fetch], t[i_updater_run], t[i_init_end], ended_at]
    labels = [
        "process start, static init, log set-up",
        "first page up + its 100 ms timer",
        "access check (InternetCheckConnection)",
        "second page's 300 ms start timer",
        "installer transfer",
        "installer start and exit (beyond its run time)",
        "installer file deleted, update step begins",
        "descriptor transfer, registry, descriptor read",
        "site directories, grants, descriptor copy",
        "updater transfer, start and exit (beyond its run time)",
        "finish: 100 ms timer, pages closed",
        "process exit",
    ]
    spans = [[label, marks[i + 1] - marks[i]] for i, label in enumerate(labels)]
    for span in spans:
        if "beyond its run time" in span[0]:
            span[1] -= run_s
    return [tuple(span) for span in spans] + [("stand-ins' run time (2 x %d ms)" % run_ms, 2 * run_s)]


def run(rounds, run_ms):
    kvtest.require_environment()
    kvtest.prepare_prefix()
    walls, transfers, overheads, alone = [], [], [], []
    bench = Bench(run_ms)
    try:
        sizes = {os.path.basename(rel): os.path.getsize(path) for rel, path in bench.served.items()}
        bench_file_bytes = bench.file_bytes
        # Not counted: the first run after a build reads the files cold.
        bench.run_wizard()
        fetch_seconds(bench.urls)
        # In turns, so that a busy moment of the machine hits both.
        sent = {}
        for _ in range(rounds):
            wall, _ = bench.run_wizard()
            sent["http"] = bench.last_sent
            fetched = sum(fetch_seconds(bench.urls))
            walls.append(wall)
            transfers.append(fetched)
            overheads.append(wall - fetched - 2 * run_ms / 1000.0)
            alone.append(bench.standin_alone())
        phases, logged_wall = bench.logged_phases()
        trust_demo_ca()
        bench.run_wizard(bench.https_exe)
        sent["https"] = bench.last_sent
    finally:
        bench.close()
    return {
        "rounds": rounds, "run_ms": run_ms, "file_sizes": sizes,
        "server_bytes": sent, "file_bytes": bench_file_bytes,
        "wall": walls, "transfers": transfers, "overhead": overheads,
        "best": {"wall": min(walls), "transfers": min(transfers), "overhead": min(overheads)},
        "median": {"wall": statistics.median(walls), "transfers": statistics.median(transfers),
                   "overhead": statistics.median(overheads)},
        "logged_wall": logged_wall, "logged_phases": phases,
        "timers": TIMERS_S, "standin_alone": statistics.median(alone),
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--run-ms", type=int, default=500)
    ap.add_argument("--json")
    args = ap.parse_args()
    r = run(args.rounds, args.run_ms)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(r, f)
    stand_ins = 2 * args.run_ms / 1000.0
    print("Unattended wizard, stamped copy against the demo server on 127.0.0.1 (%d rounds; files: %s)"
          % (args.rounds, ", ".join("%s %d B" % (k, v) for k, v in r["file_sizes"].items())))
    print("  %-44s %8s %8s" % ("", "best s", "median s"))
    for label, key in (("wall time, process start to exit", "wall"), ("transfers (FetchServerFile, 3 files)", "transfers")):
        print("  %-44s %8.3f %8.3f" % (label, r["best"][key], r["median"][key]))
    print("  %-44s %8.3f %8.3f" % ("stand-ins' run time (2 x %d ms)" % args.run_ms, stand_ins, stand_ins))
    print("  %-44s %8.3f %8.3f" % ("program's own overhead (wall - parts)", r["best"]["overhead"],
                                   r["median"]["overhead"]))
    print_breakdown(r)


def print_breakdown(r):
    print("  of the overhead, the wizard's three timers: %.3f s; a stand-in started and ended alone under Wine "
          "(median): %.3f s" % (r["timers"], r["standin_alone"]))
    print("  where it goes, one run with the log in mode 3 (wall %.3f s):" % r["logged_wall"])
    for label, seconds in r["logged_phases"]:
        print("    %-56s %7.3f" % (label, seconds))


if __name__ == "__main__":
    main()
