#!/usr/bin/env python3
"""The demo that scripts/run.sh runs once the program is built: a demo server on 127.0.0.1 with
the stand-in installer and updater and a site descriptor, and the wizard in a Wine virtual
desktop with its host box preset to that server.

    --interactive   (a display is there) the user clicks through; the host comes from the
                    command line, so the first page waits for Next
    --auto          (no display, under Xvfb) a copy stamped with the server's address runs
                    unattended; a picture of each page is saved on the way

Either way it then prints what the run left: the trace log, the three per-site registry values,
the files in the site directory, how the stand-ins were started, and what the server answered.
It stops what it started; scripts/run.sh stops Xvfb and the wineserver.
"""

import argparse
import sys

from kvtestkit import demo, kvwizard
from kvtestkit.demo import log
from kvtestkit.kvwizard import NEXT, PREV, PROGRESS

RUN_TIMEOUT_S = 120


def run_auto(run, server, exe, desktop, installer_size):
    """The stamped copy from start to end, with a picture of each page. Returns the pictures and
    whether the wizard ended by itself."""
    pictures = []
    desktop.start(exe, env=run.standin_env())
    desktop.connect()
    page, pid = desktop.first_page()
    # In AutoMode both buttons are disabled and Next is pressed 100 ms after the page shows.
    # Its connection check then waits at the server's gate, and the page's thread with it: the
    # page is painted and stays as it is until the gate opens.
    page.wait(NEXT, "disabled")
    if demo.wait_hung(page):
        pictures.append(run.dir / "pictures" / "1-first-page.png")
        demo.picture(page, pictures[-1], rect=demo.desktop_rect())
    else:
        log("the first page went on before it could be pictured")
    server.open_gate()
    if installer_size:
        # The installer stands part-way until the server lets the rest go.
        page.wait(PREV, "visible", timeout=60000)
        page.wait(PROGRESS, "pos_ge", installer_size // 4, timeout=60000)
        pictures.append(run.dir / "pictures" / "2-download-page.png")
        demo.picture(page, pictures[-1], rect=demo.desktop_rect())
        server.release()
    else:
        log("no stand-ins: the download page runs through at once, so it is not pictured")
    ended = desktop.wait_end(RUN_TIMEOUT_S, pid)
    return pictures, ended


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = ap.add_mutually_exclusive_group(required=True)
    mode.add_argument("--interactive", action="store_true")
    mode.add_argument("--auto", action="store_true")
    args = ap.parse_args()

    run = demo.RunDir("run")
    installer_size = run.fill_server_tree()
    demo.trust_demo_ca()
    demo.reset_prefix_state()
    kvwizard.set_log(3)
    hold = installer_size // 2 if args.auto and installer_size else None
    server = demo.DemoServer(run.www, run.dir, gate=args.auto, hold_bytes=hold)
    log("demo server on %s (http and https), serving %s" % (server.host, run.www))
    # Stamped with the server's address for the unattended run.
    exe = run.exe_copy(server.host if args.auto else None)
    desktop = demo.Desktop()
    pictures, ended = [], False
    try:
        if args.auto:
            pictures, ended = run_auto(run, server, exe, desktop, installer_size)
        else:
            desktop.start(exe, [server.host], env=run.standin_env())
            log("the wizard is open in the Wine desktop \"%s\"; its host box holds %s. Choose http or "
                "https, press Next, then finish the wizard." % (demo.DESKTOP, server.host))
            ended = desktop.wait_end(None)
    finally:
        desktop.stop()
        server.stop()
        kvwizard.set_log(None)
    demo.report(run, server.host, server, pictures)
    if not ended:
        log("the wizard did not end within %d s" % RUN_TIMEOUT_S)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
