#!/usr/bin/env python3
"""Runs one command with every test server up, then stops them.

    run_with_servers.py --build BUILD_DIR [--kinds http,https,...] -- COMMAND ARGS...

The command gets KV_<KIND>_HOST ("127.0.0.1:PORT") for each server, KV_WWW (the server
tree) and KV_FULL_DISK_FILE (a file whose writes fail as on a full disk), both Unix paths
that a program under Wine reaches as Z: plus the path. Its exit code is the runner's.
"""

import argparse
import os
import subprocess
import sys

from kvtestkit.kvservers import ALL_KINDS, Servers


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--kinds", default=",".join(ALL_KINDS))
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        ap.error("no command")
    with Servers(args.build, kinds=args.kinds.split(",")) as servers:
        env = dict(os.environ, **servers.env())
        return subprocess.run(command, env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
