#!/usr/bin/env python3
"""Every benchmark in one run, then one table of ratios, each measured side by side in this
run: transfer, trace log, start-up, the unattended wizard, the program check, and the program
file.

    run_all.py [--only NAMES] [--transfer-rounds N] [--startup-rounds N] [--wizard-rounds N]
               [--json FILE] [--markdown FILE]

NAMES: a comma-separated choice of transfer, log, startup, wizard, check, size. Run it through
bench/run_all.sh, which builds and starts Xvfb and the wineserver. KV_BUILD names the build.
--markdown writes the table and the machine as the README's "Performance" section shows them.
"""

import argparse
import json
import os
import shutil
import platform
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import size_report
import startup_bench
import wizard_bench
from kvtestkit import kvstandins, kvtest, pki

HERE = Path(__file__).resolve().parent

ALL = ("transfer", "log", "startup", "wizard", "check", "size")
SIZE_AIM = 1.3e6


def section(title):
    print("\n=== %s" % title, flush=True)


def run_transfer(rounds):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        path = f.name
    try:
        subprocess.run([sys.executable, str(HERE / "transfer_bench.py"), "--build", str(kvtest.build_dir()),
                        "--rounds", str(rounds), "--json", path], check=True)
        with open(path) as f:
            return json.load(f)
    finally:
        os.unlink(path)


LOG_CALL = re.compile(r"^mode 0\s+message call\s+([\d.]+) ns/call\s+empty call\s+([\d.]+) ns/call\s+ratio ([\d.]+)")
LOG_LINES = re.compile(r"^mode (\d)\s+(\d) threads?\s+log\s+(\d+) lines/s\s+plain\s+(\d+) lines/s\s+ratio ([\d.]+)")


def run_log():
    # The benchmark writes its table to stderr (the log owns stdout while it runs).
    rc, _, err = kvtest.wine_run(kvtest.build_dir() / "kv_log_bench.exe", merge=False, timeout=None)
    text = err.decode(errors="replace")
    print(text, end="")
    if rc != 0:
        raise RuntimeError("kv_log_bench failed (%d)" % rc)
    figures = {}
    for line in text.splitlines():
        m = LOG_CALL.match(line)
        if m:
            figures["mode0"] = {"log_ns": float(m[1]), "plain_ns": float(m[2]), "ratio": float(m[3])}
        m = LOG_LINES.match(line)
        if m:
            figures["mode%s_%st" % (m[1], m[2])] = {"log_lines_s": int(m[3]), "plain_lines_s": int(m[4]),
                                                    "ratio": float(m[5])}
    if len(figures) != 5:
        raise RuntimeError("unexpected kv_log_bench output:\n" + text)
    return figures


CHECK_LINE = re.compile(r"^check (\S+) (\d+) B ([a-z ]+?)  check ([\d.]+) s  read ([\d.]+) s  sha256 ([\d.]+) s  "
                        r"ratio ([\d.]+)")
# The programs the start check is timed on: the installer stand-in as built and signed, and a
# large installer (the stand-in with 64 MiB appended) signed.
CHECK_FILES = (("installer", 0, False), ("installer", 0, True), ("installer-64MiB", 64 << 20, True))


def run_check():
    work = Path(tempfile.mkdtemp(prefix="check-bench-", dir=kvtest.build_dir()))
    try:
        keys = pki.ensure_pki(kvtest.build_dir())
        standin = Path(kvstandins.standin_dir(kvtest.build_dir())) / kvstandins.ACTIVEX_NAME
        files = []
        for name, padding, signed in CHECK_FILES:
            plain = work / ("%s-unsigned.exe" % name)
            plain.write_bytes(standin.read_bytes() + bytes(padding))
            target = plain
            if signed:
                target = work / ("%s-signed.exe" % name)
                pki.sign_program(keys, plain, target, "publisher")
            files.append(target)
        rc, out, _ = kvtest.wine_run(kvtest.build_dir() / "kv_check_bench.exe",
                                     *[kvtest.windows_path(f) for f in files], timeout=None)
        text = out.decode(errors="replace")
        print(text, end="")
        if rc != 0:
            raise RuntimeError("kv_check_bench failed (%d)" % rc)
        figures = {}
        for line in text.splitlines():
            m = CHECK_LINE.match(line.strip())
            if m:
                figures[m[1]] = {"bytes": int(m[2]), "state": m[3], "check_s": float(m[4]), "read_s": float(m[5]),
                                 "sha256_s": float(m[6]), "ratio": float(m[7])}
        if len(figures) != len(files):
            raise RuntimeError("unexpected kv_check_bench output:\n" + text)
        return figures
    finally:
        shutil.rmtree(work, ignore_errors=True)


def machine():
    def first(cmd):
        try:
            return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                  env=dict(os.environ, LC_ALL="C")).stdout.strip()
        except OSError:
            return ""
    cpu = ""
    for line in first(["lscpu"]).splitlines():
        if line.startswith("Model name:"):
            cpu = line.split(":", 1)[1].strip()
    mem_kb = 0
    try:
        with open("/proc/meminfo") as f:
            mem_kb = int(f.readline().split()[1])
    except (OSError, ValueError, IndexError):
        pass
    distro = ""
    try:
        with open("/etc/os-release") as f:
            distro = dict(l.rstrip("\n").split("=", 1) for l in f if "=" in l).get("PRETTY_NAME", "").strip('"')
    except OSError:
        pass
    return {"cpu": cpu, "nproc": os.cpu_count(), "memory_gib": round(mem_kb / 1048576, 1),
            "load_average": " ".join("%.2f" % x for x in os.getloadavg()),
            "kernel": platform.release(), "os": distro, "wine": first([kvtest.wine_loader(), "--version"]),
            "compiler": first([kvtest.mingw_tool("g++-posix", kvtest.variant_bits()), "--version"]).splitlines()[0:1],
            "date": time.strftime("%Y-%m-%d")}


def rows_of(r):
    """(group, figure, ours, reference, ratio, aim, met) for the table; met None: no aim."""
    rows = []
    if "transfer" in r:
        s = r["transfer"]["seconds"]
        mib = 256
        def t(name):
            return "%.2f s (%.0f MiB/s)" % (s[name], mib / s[name])
        for ours, ref, aim in (("FetchServerFile_https", "bare_wininet_https", 1.1),
                               ("FetchServerFile_http", "bare_wininet_http", 1.1),
                               ("FetchServerFile_http", "bare_urlmon_http", None),
                               ("bare_urlmon_http", "bare_wininet_http", None),
                               ("FetchServerFile_https", "curl_https", None),
                               ("FetchServerFile_http", "curl_http", None),
                               ("bare_wininet_https", "curl_https", None)):
            ratio = s[ours] / s[ref]
            rows.append(("transfer 256 MiB", "%s / %s" % (ours, ref), t(ours), t(ref), ratio,
                         "<= %.1f" % aim if aim else "", ratio <= aim if aim else None))
        sent = r["transfer"].get("server_bytes", {})
        size = r["transfer"].get("file_bytes", 256 << 20)
        for name in ("FetchServerFile_https", "FetchServerFile_http", "bare_urlmon_http", "bare_wininet_https"):
            if name in sent:
                ratio = sent[name] / size
                aim = name.startswith("FetchServerFile")
                rows.append(("server bytes", "%s: body bytes sent / file size" % name, "%d B" % sent[name],
                             "%d B" % size, ratio, "<= 1.01" if aim else "", ratio <= 1.01 if aim else None))
        m = r["transfer"]["memory"]
        for scheme in ("https", "http"):
            big = m["256 MiB %s" % scheme]["peak_working_set"]
            small = m["16 MiB %s" % scheme]["peak_working_set"]
            ratio = big / small
            rows.append(("peak memory", "FetchServerFile %s: 256 MiB / 16 MiB file" % scheme,
                         "%.1f MiB" % (big / 2**20), "%.1f MiB" % (small / 2**20), ratio, "~1.0",
                         ratio <= 1.1))
    if "log" in r:
        g = r["log"]
        rows.append(("trace log", "mode 0 message call / empty call", "%.2f ns" % g["mode0"]["log_ns"],
                     "%.2f ns" % g["mode0"]["plain_ns"], g["mode0"]["ratio"], "", None))
        for key, label, plain in (("mode2_1t", "mode 2, 1 thread", "fwrite+fflush"),
                                  ("mode2_4t", "mode 2, 4 threads", "fwrite+fflush"),
                                  ("mode3_1t", "mode 3, 1 thread", "fopen/fwrite/fclose"),
                                  ("mode3_4t", "mode 3, 4 threads", "fopen/fwrite/fclose")):
            f = g[key]
            rows.append(("trace log", "%s / %s per line (time)" % (label, plain), "%d lines/s" % f["log_lines_s"],
                         "%d lines/s" % f["plain_lines_s"], f["ratio"], "", None))
    if "startup" in r:
        s = r["startup"]
        ref = s["reference"]
        for key, label in (("log_off", "log off"), ("log_mode3", "log mode 3")):
            f = s[key]
            rows.append(("start-up", "first page visible+enabled, %s / minimal dialog" % label,
                         "%.3f s" % f["median"], "%.3f s" % ref["median"], f["ratio"], "<= 1.3",
                         f["ratio"] <= 1.3))
    if "wizard" in r:
        w = r["wizard"]
        parts = w["median"]["transfers"] + 2 * w["run_ms"] / 1000.0
        wall = w["median"]["wall"]
        rows.append(("unattended wizard", "wall time / sum of parts (2 stand-in runs of %d ms + 3 transfers)"
                     % w["run_ms"], "%.3f s" % wall, "%.3f s" % parts, wall / parts, "", None))
        rows.append(("unattended wizard", "program's own overhead (wall - parts)", "%.3f s" % w["median"]["overhead"],
                     "", None, "< 0.5 s", w["median"]["overhead"] < 0.5))
        for scheme, b in sorted(w.get("server_bytes", {}).items()):
            ratio = b / w["file_bytes"]
            rows.append(("unattended wizard", "server's body bytes for one run over %s / sum of the 3 files" % scheme,
                         "%d B" % b, "%d B" % w["file_bytes"], ratio, "<= 1.01", ratio <= 1.01))
        rows.append(("unattended wizard", "overhead less the wizard's timers (100 + 300 + 100 ms)",
                     "%.3f s" % (w["median"]["overhead"] - w["timers"]), "", None, "", None))
    if "check" in r:
        for name, f in sorted(r["check"].items()):
            size = "%.0f KiB" % (f["bytes"] / 1024.0) if f["bytes"] < (1 << 20) else "%.0f MiB" % (f["bytes"] / 2.0 ** 20)
            what = "%s (%s, %s)" % (name.replace(".exe", ""), size, f["state"])
            if f["state"] == "verified":
                ratio = f["ratio"]
                # A large signed program: the check should cost no more than hashing it once.
                large = f["bytes"] >= (1 << 20)
                rows.append(("program check", "%s: check / SHA-256 of the file" % what, "%.4f s" % f["check_s"],
                             "%.4f s" % f["sha256_s"], ratio, "<= 1.1" if large else "",
                             (ratio <= 1.1) if large else None))
            else:
                rows.append(("program check", "%s: check / reading the file" % what, "%.4f s" % f["check_s"],
                             "%.4f s" % f["read_s"], f["check_s"] / f["read_s"], "", None))
    if "size" in r:
        z = r["size"]
        ratio = z["stripped_size"] / SIZE_AIM
        rows.append(("program file", "stripped size / aim", "%d B" % z["stripped_size"], "%d B" % SIZE_AIM, ratio,
                     "< 1.0", ratio < 1.0))
        rows.append(("program file", "imported DLLs not the system's", ", ".join(z["foreign_dlls"]) or "none",
                     "%d DLLs imported" % (len(z["imports"]) + len(z["delay_imports"])), None, "none",
                     not z["foreign_dlls"]))
    return rows


def print_table(rows):
    print("\n=== All figures (ratio = ours / reference)")
    print("%-7s %-18s %-66s %-24s %-24s %7s %-7s %s" % ("variant", "group", "figure", "ours", "reference", "ratio",
                                                         "aim", "met"))
    for variant, group, figure, ours, ref, ratio, aim, met in rows:
        print("%-7s %-18s %-66s %-24s %-24s %7s %-7s %s" % (variant, group, figure, ours, ref,
                                                             "%.2f" % ratio if ratio is not None else "", aim,
                                                             {True: "yes", False: "NO", None: ""}[met]))


def how_measured(r, args):
    """One sentence on which figure of the rounds each group shows."""
    parts = []
    if "transfer" in r:
        parts.append("transfer: best of %d rounds" % args.transfer_rounds)
    if "log" in r:
        parts.append("trace log: best of 5 rounds")
    if "startup" in r:
        parts.append("start-up: medians of %d rounds, the ratio the median of each round's own ratio"
                     % args.startup_rounds)
    if "wizard" in r:
        parts.append("unattended wizard: medians of %d rounds" % args.wizard_rounds)
    if "check" in r:
        parts.append("program check: best of 11 rounds, the signed rows' ratio the median of each round's own ratio")
    return "Times: " + "; ".join(parts) + "." if parts else ""


def markdown(rows, m, command, note):
    out = ["| Variant | Group | Figure | Ours | Reference | Ratio | Aim | Met |", "|---|---|---|---|---|---|---|---|"]
    for variant, group, figure, ours, ref, ratio, aim, met in rows:
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (variant, group, figure, ours, ref,
                                                             "%.2f" % ratio if ratio is not None else "", aim,
                                                             {True: "yes", False: "**no**", None: ""}[met]))
    out.append("")
    if note:
        out.append(note)
        out.append("")
    out.append("Command: `%s`. Machine: %s, %s CPUs (nproc), %s GiB; %s, kernel %s; %s; %s; load average "
               "at the end %s; %s." % (command, m["cpu"], m["nproc"], m["memory_gib"], m["os"], m["kernel"], m["wine"],
                                      (m["compiler"] or ["?"])[0], m["load_average"], m["date"]))
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default=",".join(ALL))
    ap.add_argument("--transfer-rounds", type=int, default=3)
    ap.add_argument("--startup-rounds", type=int, default=25)
    ap.add_argument("--wizard-rounds", type=int, default=5)
    ap.add_argument("--run-ms", type=int, default=500)
    ap.add_argument("--json")
    ap.add_argument("--markdown")
    args = ap.parse_args()
    chosen = [n.strip() for n in args.only.split(",") if n.strip()]
    unknown = set(chosen) - set(ALL)
    if unknown:
        ap.error("unknown benchmark(s): %s (choose from %s)" % (", ".join(sorted(unknown)), ", ".join(ALL)))

    results = {}
    if "size" in chosen:
        section("program file")
        results["size"] = size_report.report(kvtest.product_exe(), str(kvtest.product_exe().with_suffix(".map")))
        size_report.print_report(results["size"])
    if "log" in chosen:
        section("trace log")
        results["log"] = run_log()
    if "startup" in chosen:
        section("start-up")
        results["startup"] = startup_bench.run(args.startup_rounds)
        for name in ("reference", "log_off", "log_mode3"):
            f = results["startup"][name]
            print("  %-10s best %.3f s  median %.3f s  ratio %.2f" % (name, f["best"], f["median"], f["ratio"]))
    if "wizard" in chosen:
        section("unattended wizard")
        results["wizard"] = wizard_bench.run(args.wizard_rounds, args.run_ms)
        w = results["wizard"]
        print("  wall best %.3f s median %.3f s; transfers best %.3f s median %.3f s; overhead best %.3f s median "
              "%.3f s" % (w["best"]["wall"], w["median"]["wall"], w["best"]["transfers"], w["median"]["transfers"],
                          w["best"]["overhead"], w["median"]["overhead"]))
        wizard_bench.print_breakdown(w)
    if "check" in chosen:
        section("program check")
        results["check"] = run_check()
    if "transfer" in chosen:
        section("transfer")
        results["transfer"] = run_transfer(args.transfer_rounds)

    # Which build every figure is of: the shipped 32-bit program, or the 64-bit build where the
    # host runs no 32-bit code (bench/run_all.sh chooses).
    variant = "%d-bit" % kvtest.variant_bits()
    rows = [(variant,) + row for row in rows_of(results)]
    print_table(rows)
    print(how_measured(results, args))
    m = machine()
    print("\nMachine: %s" % json.dumps(m))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"results": results, "machine": m}, f, indent=1)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(markdown(rows, m, "bash bench/run_all.sh", how_measured(results, args)))
    if any(met is False for *_, met in rows):
        print("\nSome aims are missed (see bench/README.md for where the time and the bytes go).")


if __name__ == "__main__":
    main()
