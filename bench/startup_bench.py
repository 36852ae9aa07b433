#!/usr/bin/env python3
"""Start-up benchmark: from the start of the process to its first dialog being visible and
enabled, as the end-to-end driver sees it (kvdriver's wait_window polls every 10 ms), for the
program and for kv_ref_dialog.exe, a minimal dialog program of the same build started the
same way. The program runs with its trace log off and in mode 3 (appended line by line).

    startup_bench.py [--rounds N] [--json FILE]

Needs DISPLAY, the project's Wine prefix and a running wineserver: run it through
bench/run_all.sh (or with the environment scripts/test.sh sets up). KV_BUILD names the build.
"""

import argparse
import json
import shutil
import statistics
import time

from kvtestkit import kvtest
from kvtestkit.kvwizard import CANCEL, set_log

DIALOG_CLASS = kvtest.WIZARD_CLASS


def reference_exe():
    return kvtest.build_dir() / "kv_ref_dialog.exe"


def time_to_first_dialog(driver, exe):
    """Seconds from starting exe under wine to its first unowned dialog being visible and
    enabled; the program is then ended with Cancel and reaped."""
    before = [w["hwnd"] for w in driver.findall(cls=DIALOG_CLASS)]
    start = time.monotonic()
    process = kvtest.WineProcess(exe)
    try:
        page = driver.wait_window(cls=DIALOG_CLASS, owned=False, visible=True, enabled=True, exclude=before,
                                  timeout=60000)
        seconds = time.monotonic() - start
        page.click(CANCEL)
        code = process.wait(30)
        # 1602, a user who left, arrives on this side as its low 8 bits.
        if code not in (0, CANCEL, 1602 & 0xFF):
            raise RuntimeError("%s exited with %s" % (exe.name, code))
        return seconds
    finally:
        process.stop()


def run(rounds):
    kvtest.require_environment()
    ref = reference_exe()
    if not ref.exists():
        raise RuntimeError("%s is missing: build the project first" % ref)
    kvtest.prepare_prefix()
    work_win, work = kvtest.own_temp_dir("kvbench_startup")
    times = {"reference": [], "log_off": [], "log_mode3": []}
    try:
        with kvtest.Driver() as driver:
            # One start of each, not counted: the first start after a build reads the files cold.
            set_log(None)
            time_to_first_dialog(driver, ref)
            time_to_first_dialog(driver, kvtest.product_exe())
            # In turns, so that a busy moment of the machine hits all three.
            for _ in range(rounds):
                times["reference"].append(time_to_first_dialog(driver, ref))
                set_log(None)
                times["log_off"].append(time_to_first_dialog(driver, kvtest.product_exe()))
                set_log(3, work_win + r"\setup.log")
                times["log_mode3"].append(time_to_first_dialog(driver, kvtest.product_exe()))
                set_log(None)
    finally:
        set_log(None)
        shutil.rmtree(work, ignore_errors=True)
    figures = {name: {"best": min(t), "median": statistics.median(t), "all": t} for name, t in times.items()}
    # The ratio of each round's own pair, then their median: a busy moment of the machine
    # lands on both sides of a pair, and the median leaves out the rounds it spoiled anyway.
    for name in ("log_off", "log_mode3"):
        pairs = [ours / base for ours, base in zip(times[name], times["reference"])]
        figures[name]["ratio"] = statistics.median(pairs)
    figures["reference"]["ratio"] = 1.0
    return figures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=25)
    ap.add_argument("--json")
    args = ap.parse_args()
    figures = run(args.rounds)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rounds": args.rounds, "seconds": figures}, f)
    print("Start-up: process start to the first dialog visible and enabled (%d rounds)" % args.rounds)
    print("  %-34s %8s %8s %8s" % ("", "best s", "median s", "ratio"))
    for name, label in (("reference", "kv_ref_dialog (minimal dialog)"), ("log_off", "KestrelVault_Setup, log off"),
                        ("log_mode3", "KestrelVault_Setup, log mode 3")):
        f = figures[name]
        print("  %-34s %8.3f %8.3f %8.2f" % (label, f["best"], f["median"], f["ratio"]))
    print("  ratio: the median over the rounds of each round's time / the reference's in that round")


if __name__ == "__main__":
    main()
