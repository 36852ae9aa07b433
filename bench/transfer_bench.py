#!/usr/bin/env python3
"""Transfer benchmark: a 256 MiB file from nginx on 127.0.0.1, fetched over http and https
by FetchServerFile and by a bare WinINet loop under Wine (kv_transfer_bench.exe), by the bare
URL-moniker download for comparison, and by curl; then the program's peak memory for a 16 MiB
and a 256 MiB file.

    transfer_bench.py --build BUILD_DIR [--rounds N] [--json FILE] [--resume-only]

--resume-only runs only the rows of a transfer cut on every connection and resumed.

--json also writes the figures to FILE, for bench/run_all.py.

Run it through bench/run_transfer_bench.sh, which builds and starts Xvfb and wineserver.
"""

import argparse
import json
import os
import re
import subprocess
import time

from kvtestkit import kvtest
from kvtestkit import pki as pki_mod
from kvtestkit.kvservers import Servers

MIB = 1 << 20


def make_file(path, size):
    chunk = os.urandom(MIB)
    with open(path, "wb") as f:
        for _ in range(size // MIB):
            f.write(chunk)


def wine_output(*args):
    rc, out, _ = kvtest.wine_run(*args, merge=False, timeout=None)
    text = out.decode()
    if rc != 0:
        raise RuntimeError("%s failed (%d): %s" % (args[0], rc, text))
    return text


def curl(url, pki, target, https_port=None):
    cmd = ["curl", "-sS", "-o", target, "--no-progress-meter"]
    if https_port:
        # The certificate names the test host, so curl is told where that host lives.
        cmd += ["--cacert", pki.ca_pem, "--resolve", "%s:%d:127.0.0.1" % (pki_mod.SERVER_NAME, https_port)]
    start = time.monotonic()
    subprocess.run(cmd + [url], check=True)
    return time.monotonic() - start


def resume_rows(build, exe):
    """A 16 MiB file from the scripted server, which names its version (ETag) and, for the cut
    row, closes every connection once 40 % of the file has gone out: the attempts and the body
    bytes it sent per byte delivered, whole against cut and resumed."""
    resume = {}
    with Servers(build, kinds=("script",)) as s:
        os.makedirs(os.path.join(s.www, "app", "bench"))
        make_file(os.path.join(s.www, "app", "bench", "16m.bin"), 16 * MIB)
        for name, modes in (("uncut", "/_etag=b1"), ("cut_at_40_percent", "/_etag=b1/_cutpct=40")):
            s.script_reset()
            s.script_fault("16m.bin", modes)
            text = wine_output(exe, "resume", "0", s.url("script", "/app/bench/16m.bin"))
            attempts, delivered = int(text.split()[1]), int(text.split()[3])
            if delivered != 16 * MIB:
                raise RuntimeError("%s: %d bytes delivered" % (name, delivered))
            sent = sum(r["sent"] for r in s.script_requests() if r["path"].endswith("16m.bin"))
            resume[name] = {"attempts": attempts, "body_bytes_per_byte": sent / float(delivered)}
    return resume


def print_resume(resume):
    print("A 16 MiB file over http, cut at 40 % of its size on every connection and resumed:")
    print("  %-26s %9s %22s" % ("", "attempts", "body bytes / delivered"))
    for name in ("uncut", "cut_at_40_percent"):
        print("  %-26s %9d %22.3f" % (name, resume[name]["attempts"], resume[name]["body_bytes_per_byte"]))
    print("  ratio cut / uncut %.3f" % (resume["cut_at_40_percent"]["body_bytes_per_byte"] /
                                       resume["uncut"]["body_bytes_per_byte"]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--json")
    ap.add_argument("--resume-only", action="store_true")
    args = ap.parse_args()
    exe = os.path.join(args.build, "kv_transfer_bench.exe")
    pki = pki_mod.ensure_pki(args.build)
    if args.resume_only:
        print_resume(resume_rows(args.build, exe))
        return

    with Servers(args.build, kinds=("http", "https")) as s:
        big, small = "/app/bench/256m.bin", "/app/bench/16m.bin"
        os.makedirs(os.path.join(s.www, "app", "bench"))
        make_file(os.path.join(s.www, big.lstrip("/")), 256 * MIB)
        make_file(os.path.join(s.www, small.lstrip("/")), 16 * MIB)
        size = 256 * MIB

        https_port = s.ports["https"]
        curl_target = os.path.join(s.dir, "curl.bin")
        best = {}
        for _ in range(args.rounds):
            for name, url, port in (("curl_http", s.url("http", big), None),
                                    ("curl_https", "https://%s:%d%s" % (pki_mod.SERVER_NAME, https_port, big), https_port)):
                t = curl(url, pki, curl_target, port)
                assert os.path.getsize(curl_target) == size
                best[name] = min(best.get(name, t), t)
        os.remove(curl_target)

        out = wine_output(exe, "speed", s.url("http", big), s.url("https", big), str(args.rounds))
        # The body bytes nginx sent each runner, per run: its requests carry ?bench=NAME.
        sent = {}
        for r in s.nginx_requests():
            m = re.search(r"[?&]bench=([\w]+)", r["request"])
            if m:
                sent[m[1]] = sent.get(m[1], 0) + r["bytes"]
        server_bytes = {name: total // args.rounds for name, total in sent.items()}
        for line in out.splitlines():
            name, seconds, nbytes = line.split()
            if int(nbytes) != size:  # the file, or the size the query announced
                raise RuntimeError("%s fetched %s bytes, not %d" % (name, nbytes, size))
            best[name] = float(seconds)

        memory = {}
        for label, path in (("16 MiB", small), ("256 MiB", big)):
            for scheme, use_https in (("http", 0), ("https", 1)):
                text = wine_output(exe, "memory", s.url(scheme, path), str(use_https))
                memory[(label, scheme)] = dict(l.split() for l in text.splitlines())

    resume = resume_rows(args.build, exe)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rounds": args.rounds, "seconds": best, "server_bytes": server_bytes, "file_bytes": size,
                       "resume": resume,
                       "memory": {"%s %s" % key: {k: int(v) for k, v in m.items()} for key, m in memory.items()}}, f)

    print("Transfer of a 256 MiB file from nginx on 127.0.0.1 (best of %d rounds)" % args.rounds)
    print("%-28s %9s %10s %16s" % ("", "seconds", "MiB/s", "server bytes/run"))
    for name in ("curl_http", "bare_wininet_http", "bare_urlmon_http", "FetchServerFile_http",
                 "curl_https", "bare_wininet_https", "FetchServerFile_https"):
        print("%-28s %9.3f %10.1f %16s" % (name, best[name], 256 / best[name], server_bytes.get(name, "")))
    print("parts of FetchServerFile:")
    for name in ("GetWebFileSize_http", "GetWebFileSize_https", "URLDownloadToFileOnHttps",
                 "bare_wininet_https_0x1001"):
        print("  %-26s %9.3f %16s" % (name, best[name], server_bytes.get(name, "")))
    print()
    print("Ratios (time / time):")
    for a, b in (("FetchServerFile_https", "bare_wininet_https"), ("FetchServerFile_http", "bare_wininet_http"),
                 ("FetchServerFile_http", "bare_urlmon_http"), ("bare_urlmon_http", "bare_wininet_http"),
                 ("URLDownloadToFileOnHttps", "bare_wininet_https_0x1001"),
                 ("bare_wininet_https_0x1001", "bare_wininet_https"),
                 ("bare_wininet_https", "curl_https"), ("bare_wininet_http", "curl_http"),
                 ("FetchServerFile_https", "curl_https"), ("FetchServerFile_http", "curl_http")):
        print("  %-26s / %-26s %6.2f" % (a, b, best[a] / best[b]))
    print()
    print_resume(resume)
    print()
    print("Peak memory of one FetchServerFile run (GetProcessMemoryInfo, MiB):")
    print("  %-8s %-6s %18s %14s" % ("file", "scheme", "PeakWorkingSetSize", "PeakPagefileUsage"))
    for (label, scheme), m in memory.items():
        print("  %-8s %-6s %18.1f %14.1f" % (label, scheme, int(m["peak_working_set"]) / MIB,
                                             int(m["peak_pagefile"]) / MIB))


if __name__ == "__main__":
    main()
