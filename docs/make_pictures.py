#!/usr/bin/env python3
"""Takes the pictures of the wizard in docs/: the first page, the first page with its message
for a server that cannot be reached, the download page while the installer trickles in, and
the finished page. Run through docs/make_pictures.sh, which provides Xvfb, the demo's Wine
prefix, a wineserver and PYTHONPATH.

One wizard session against the demo server (kvtestkit/demo_server.py), driven as a user would:
the host comes preset from the command line; a host where nothing listens gives the message;
the server holds the installer half-way until the picture is taken.
"""

import sys
from pathlib import Path

from kvtestkit import demo
from kvtestkit.kvwizard import FINISH, HOST, NEXT, PREV, PROGRESS
from kvtestkit.procs import free_port

NAMES = ("first-page.png", "first-page-unreachable.png", "download-page.png", "finished-page.png")
# The same port every time where it is free, so that the host box reads the same in every
# regeneration of the pictures.
PREFERRED_PORT = 18080


def union(a, b):
    x, y = min(a[0], b[0]), min(a[1], b[1])
    return [x, y, max(a[0] + a[2], b[0] + b[2]) - x, max(a[1] + a[3], b[1] + b[3]) - y]


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent)
    run = demo.RunDir("pictures")
    size = run.fill_server_tree()
    if not size:
        raise SystemExit("the stand-in programs are needed for the download pictures")
    demo.trust_demo_ca()
    demo.reset_prefix_state()
    server = demo.DemoServer(run.www, run.dir, hold_bytes=size // 2, port=free_port(PREFERRED_PORT))
    desktop = demo.Desktop()
    try:
        desktop.start(run.exe_copy(), [server.host], env=run.standin_env())
        desktop.connect()
        page, pid = desktop.first_page()
        page.wait(NEXT, "enabled")
        demo.picture(page, out / NAMES[0])

        # Nothing listens on a port that was just free.
        page.set_text(HOST, "127.0.0.1:%d" % free_port())
        page.click(NEXT)
        box = desktop.driver.msgbox(owner=page, timeout=30000)
        demo.picture(page, out / NAMES[1], rect=union(page.info()["rect"], box["window"].info()["rect"]))
        box["window"].click(box["buttons"][0]["id"])
        box["window"].wait_gone()

        page.set_text(HOST, server.host)
        page.click(NEXT)
        page.wait(PREV, "visible", timeout=30000)
        page.wait(PROGRESS, "pos_ge", size // 4, timeout=60000)
        demo.picture(page, out / NAMES[2])
        server.release()

        page.wait(FINISH, "enabled", timeout=120000)
        demo.picture(page, out / NAMES[3])
        page.click(FINISH)
        if not desktop.wait_end(60, pid):
            raise SystemExit("the wizard did not end after its finish button")
    finally:
        desktop.stop()
        server.stop()
    print("\n".join(str(out / n) for n in NAMES))


if __name__ == "__main__":
    main()
