#!/usr/bin/env python3
"""The program file's size and imports, and where its bytes go.

    size_report.py [--exe FILE] [--map FILE] [--json FILE]

Size as built and stripped (a stripped copy made with the cross toolchain's strip), the DLLs
it imports (plain and delay-loaded) and whether each is one that every Windows has, and, from
the link map the build writes beside the program (KestrelVault_Setup.map), the bytes of each
output section by the library or object they came from, with the largest members of
libstdc++. KV_BUILD names the build.
"""

import argparse
import collections
import json
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

from kvtestkit import kvpe, kvtest
from kvtestkit.kvpe import SYSTEM_DLLS

SECTIONS = (".text", ".rdata", ".eh_frame", ".data", ".rsrc")


def stripped_size(exe):
    with tempfile.TemporaryDirectory() as d:
        copy = os.path.join(d, "stripped.exe")
        shutil.copyfile(exe, copy)
        # The binutils of the file's own kind: PE32 or PE32+.
        subprocess.run([kvtest.mingw_tool("strip", kvtest.pe_bits(exe)), copy], check=True)
        return os.path.getsize(copy)


def map_contributions(map_path):
    """{output section: Counter(origin: bytes)} and Counter(libstdc++ member: bytes) from a GNU
    ld map. Origins are archives (libkvcore.a is our code), or members of the program's own
    archive (main and the compiled resources)."""
    by_section = collections.defaultdict(collections.Counter)
    members = collections.Counter()
    in_map = False
    section = None
    pending = None
    with open(map_path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("Linker script and memory map"):
                in_map = True
                continue
            if not in_map:
                continue
            m = re.match(r"^(\.\S+)\s+0x[0-9a-f]+\s+0x[0-9a-f]+", line)
            if m:
                section = m.group(1)
                continue
            m = re.match(r"^ (\.\S+)\s*$", line)
            if m:
                # An input section whose name is too long: address, size and file follow.
                pending = m.group(1)
                continue
            m = re.match(r"^ (\.\S+)?\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$", line)
            if m and (m.group(1) or pending) and section:
                size = int(m.group(2), 16)
                origin = m.group(3)
                a = re.search(r"([^/]+\.a)\((.*)\)$", origin)
                # The program's own archive holds main and the compiled resources: name the member.
                name = (a.group(2) if a.group(1) == "objects.a" else a.group(1)) if a else os.path.basename(origin)
                by_section[section][name] += size
                if a and a.group(1) == "libstdc++.a":
                    members[a.group(2)] += size
            pending = None
    return by_section, members


def report(exe, map_path):
    pe = kvpe.PEFile.open(exe)
    imports = [name for name, _ in pe.imports()]
    delayed = pe.delay_imports()
    result = {
        "file": str(exe),
        "size": os.path.getsize(exe),
        "stripped_size": stripped_size(exe),
        "imports": imports,
        "delay_imports": delayed,
        "foreign_dlls": [d for d in imports + delayed if d.lower() not in SYSTEM_DLLS],
        "sections": {s.name: s.raw_size for s in pe.sections},
    }
    if map_path and os.path.exists(map_path):
        by_section, members = map_contributions(map_path)
        result["map"] = {s: dict(by_section[s].most_common()) for s in SECTIONS if s in by_section}
        result["libstdcxx_members"] = dict(members.most_common(15))
    return result


def print_report(r):
    print("Program file %s" % r["file"])
    print("  size as built %d bytes, stripped %d bytes (%.2f MB)" % (r["size"], r["stripped_size"],
                                                                      r["stripped_size"] / 1e6))
    print("  imports: %s" % ", ".join(r["imports"]))
    if r["delay_imports"]:
        print("  delay-loaded: %s" % ", ".join(r["delay_imports"]))
    print("  DLLs that are not the system's: %s" % (", ".join(r["foreign_dlls"]) or "none"))
    print("  sections (bytes in the file): %s" % ", ".join("%s %d" % kv for kv in r["sections"].items()))
    if "map" in r:
        print("  where the bytes go (link map; bytes per output section by origin):")
        for section, origins in r["map"].items():
            total = sum(origins.values())
            top = sorted(origins.items(), key=lambda kv: -kv[1])[:5]
            print("    %-10s %8d  %s" % (section, total, ", ".join("%s %d" % kv for kv in top)))
        print("  largest members of libstdc++.a (all sections):")
        for member, size in r["libstdcxx_members"].items():
            print("    %8d  %s" % (size, member))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", default=None)
    ap.add_argument("--map", default=None)
    ap.add_argument("--json")
    args = ap.parse_args()
    exe = Path(args.exe) if args.exe else kvtest.product_exe()
    map_path = args.map or str(exe.with_suffix(".map"))
    r = report(exe, map_path)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(r, f)
    print_report(r)


if __name__ == "__main__":
    main()
