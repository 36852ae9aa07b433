"""What the demo (scripts/demo.py), the pictures (docs/make_pictures.py) and the wizard benchmark
(bench/wizard_bench.py) share: the demo's server (demo_server.py) with the stand-in programs,
the wizard in a Wine virtual desktop with a driver beside it, pictures of its window, and the
report of what a run left in the prefix.

The caller provides the environment as scripts/lib.sh makes it: KV_BUILD, WINEPREFIX (the
demo's own prefix), DISPLAY, a running wineserver. Everything started here is stopped here by
its own PID.
"""

import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

from kvtestkit import kvstandins, kvtest, kvwizard, pki
from kvtestkit.kvservers import trust_test_ca
from kvtestkit.kvwizard import EXE_NAME, SETTINGS_KEY
from kvtestkit.procs import start_server, stop_process

HERE = Path(__file__).resolve().parent
INSTALLER_NAME = kvstandins.ACTIVEX_NAME
SITE_NAME = "KestrelDemo"

# The wizard runs in a Wine virtual desktop of this name; the driver joins it through Wine's
# per-program desktop setting, under a name of its own so that no test's driver is moved.
DESKTOP = "KestrelVault"
DESKTOP_SIZE = "640x400"
DRIVER_NAME = "kvdemo_driver.exe"


def log(msg):
    print("[demo] " + msg, file=sys.stderr, flush=True)


def build_dir():
    return kvtest.build_dir()


# ------------------------------------------------------------------------------------------
# The run's folder and the server

class RunDir:
    """build/demo/<name>, emptied at the start: the server tree, the wizard's copy, its log,
    the server's request log, the stand-ins' record and the pictures."""

    def __init__(self, name):
        self.dir = build_dir() / "demo" / name
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        # The wizard's copy logs beside itself: the program makes the file only where every
        # local user may create files.
        kvtest.open_to_users(self.dir)
        self.www = self.dir / "www"
        (self.www / "app" / "update").mkdir(parents=True)
        self.records = self.dir / "standins.jsonl"
        self.server_log = self.dir / "server.log"

    def fill_server_tree(self):
        """The stand-in installer and updater and a descriptor naming SITE_NAME, at their server
        paths. Returns the size of the installer, or None when the stand-ins are not there."""
        if not (Path(kvstandins.standin_dir(build_dir())) / INSTALLER_NAME).is_file():
            log("the stand-in programs are not built: the server offers nothing")
            return None
        kvstandins.fill_server_tree(str(self.www), SITE_NAME, str(build_dir()))
        return (self.www / "app" / INSTALLER_NAME).stat().st_size

    def exe_copy(self, url=None):
        return kvwizard.product_copy(self.dir, url)

    def standin_env(self):
        """What the stand-ins need to know, handed down through the wizard's environment."""
        return kvstandins.standin_env(kvtest.windows_path(self.records))


class DemoServer:
    """demo_server.py on a free port (or `port`) of 127.0.0.1, serving the server tree www; its
    port file and request log (server.log) go into work. With tls, http and https on the same
    port (the test CA's certificate); see demo_server.py for gate and hold_bytes."""

    def __init__(self, www, work, tls=True, gate=False, hold_bytes=None, port=0):
        port_file = Path(work) / "server.port"
        cmd = [sys.executable, HERE / "demo_server.py", "--root", www, "--port-file", port_file, "--port", port]
        if tls:
            p = pki.ensure_pki(str(build_dir()))
            cmd += ["--cert", p.cert("good"), "--key", p.key("good")]
        if gate:
            cmd.append("--gate")
        if hold_bytes:
            cmd += ["--hold", "%s:%d" % (INSTALLER_NAME, hold_bytes)]
        self.log_path = Path(work) / "server.log"
        self.proc, ports = start_server(cmd, port_file, self.log_path, "the demo server")
        self.port = ports[0]
        self.host = "127.0.0.1:%d" % self.port

    def url(self, rel):
        return "http://%s/%s" % (self.host, rel)

    def open_gate(self):
        self.proc.send_signal(signal.SIGUSR1)

    def release(self):
        self.proc.send_signal(signal.SIGUSR2)

    def requests(self):
        return [line for line in self.log_path.read_text().splitlines() if line and line != "gate opened"]

    def stop(self):
        stop_process(self.proc)


def trust_demo_ca():
    """The test CA into the prefix's Root store, so https to the demo server is trusted there."""
    trust_test_ca(str(build_dir()), pki.ensure_pki(str(build_dir())))


# ------------------------------------------------------------------------------------------
# The prefix's state

def base_directory():
    return kvtest.program_files() / "KestrelVAULT"


def reset_prefix_state():
    """Forgets what earlier demo runs left in the demo's prefix (settings and per-site values,
    the base directory), so that the report shows this run only."""
    kvtest.reg_delete(SETTINGS_KEY)
    shutil.rmtree(base_directory(), ignore_errors=True)


# ------------------------------------------------------------------------------------------
# The virtual desktop, the wizard in it and the driver beside it

class Desktop:
    def __init__(self):
        self.driver_exe = build_dir() / "demo" / DRIVER_NAME
        shutil.copyfile(kvtest.driver_exe(), self.driver_exe)
        kvtest.reg_add(r"HKCU\Software\Wine\AppDefaults\%s\Explorer" % DRIVER_NAME, "Desktop", DESKTOP)
        kvtest.reg_add(r"HKCU\Software\Wine\Explorer\Desktops", DESKTOP, DESKTOP_SIZE)
        self.proc = None
        self.driver = None

    def start(self, exe, args=(), env=None):
        """Starts the wizard in the desktop (Wine's explorer, which ends with the program)."""
        cmd = kvtest.wine_command("explorer", "/desktop=%s,%s" % (DESKTOP, DESKTOP_SIZE), kvtest.windows_path(exe),
                                  *args)
        self.proc = subprocess.Popen(cmd, env=kvtest.wine_env(env), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.proc

    def connect(self):
        # A copy of the driver whose name Wine puts into the demo's desktop.
        self.driver = kvtest.Driver(self.driver_exe)
        return self.driver

    def first_page(self, timeout=30000):
        """The wizard's first page and the Windows process id of the wizard. Both are read
        without a message to the window, so they come also from a page that is not answering."""
        page = self.driver.wait_window(cls="#32770", owned=False, visible=True, timeout=timeout)
        pid = next(w["pid"] for w in self.driver.findall(cls="#32770") if w["hwnd"] == page.hwnd)
        return page, pid

    def wait_end(self, timeout_s, pid=None):
        """True when the wizard ended within timeout_s (None: no limit). The desktop stays as
        long as a program runs in it, the driver too: given the wizard's pid, this waits for
        that process through the driver and then ends the driver, so the desktop ends as well."""
        deadline = None if timeout_s is None else time.monotonic() + timeout_s
        if pid is not None and self.driver:
            try:
                # The driver waits at most 120 s per command.
                self.driver.wait_exit(pid, timeout=min(int(timeout_s * 1000), 120000))
            except kvtest.DriverError:
                return False
            self.driver.close()
            self.driver = None
        try:
            self.proc.wait(timeout=None if deadline is None else max(1.0, deadline - time.monotonic()))
            return True
        except subprocess.TimeoutExpired:
            return False

    def stop(self):
        if self.driver:
            self.driver.close()
            self.driver = None
        if self.proc:
            stop_process(self.proc)


def desktop_rect():
    """The virtual desktop on the screen: at its top-left corner, in the size asked for."""
    w, h = (int(n) for n in DESKTOP_SIZE.split("x"))
    return [0, 0, w, h]


def picture(window, path, rect=None, settle_s=10.0):
    """Saves the window's rectangle (or `rect`, in screen pixels) of the screen as a PNG, once two
    reads in a row agree. The virtual desktop lies at the screen's top-left corner, so its
    coordinates are the screen's."""
    x, y, w, h = rect or window.info()["rect"]
    cmd = ["import", "-silent", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", "png:-"]
    deadline = time.monotonic() + settle_s
    last = None
    while True:
        now = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=60).stdout
        if now == last or time.monotonic() > deadline:
            break
        last = now
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_bytes(now)
    log("picture: %s" % path)


def wait_hung(window, timeout_s=30.0):
    """Waits until the window's thread no longer answers (the driver's reply "busy"); True then.
    A page whose thread waits inside a call has painted everything it had to paint before."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        reply = window.driver.call("text", window.hwnd, "-")
        if not reply.get("ok") and reply.get("error") == "busy":
            return True
        if not reply.get("ok"):
            return False
        time.sleep(0.05)
    return False


# ------------------------------------------------------------------------------------------
# What a run left

def report(run, host, server, pictures=()):
    """Prints the log, the three per-site values, the site directory's files, how the stand-ins
    were started, what the server answered, and the pictures taken."""
    out = []
    section = lambda title: out.extend(["", "== " + title])  # noqa: E731

    logfile = run.dir / (EXE_NAME + ".log")
    section("Trace log (%s)" % logfile)
    if logfile.exists():
        # The log is written in the program's ANSI code page, 949 under the Korean locale.
        out.extend(logfile.read_bytes().decode("cp949", "replace").splitlines())
    else:
        out.append("(no log file)")

    key = SETTINGS_KEY + "\\" + host
    section("Registry, HKCU\\Software\\KestrelVAULT\\%s" % host)
    for sub, name in (("", "LANGUAGE"), ("\\Update", "DontQuestionDesktopShortcut"), ("", "PRODUCT")):
        values = kvtest.reg_values(key + sub) or {}
        shown = "%s (%s)" % (values[name][1], values[name][0]) if name in values else "(not set)"
        out.append("%-40s %s" % ((sub.lstrip("\\") + "\\" if sub else "") + name, shown))

    site = base_directory() / SITE_NAME
    section("Site directory (%s)" % (kvtest.win_program_files() + "\\KestrelVAULT\\" + SITE_NAME))
    if site.is_dir():
        for f in sorted(site.iterdir()):
            out.append("%-40s %d bytes" % (f.name, f.stat().st_size))
    else:
        out.append("(not there)")

    section("Stand-ins started (their own records)")
    records = kvstandins.read_records(run.records)
    for r in records:
        if r.get("event") == "start":
            out.append("%s: started as %s" % (r.get("role"), r.get("cmdline")))
            out.append("    in %s" % r.get("cwd"))
        elif r.get("event") == "end":
            out.append("%s: ended with exit code %s" % (r.get("role"), r.get("exit")))
    if not records:
        out.append("(none started)")

    section("Demo server on %s (http and https), requests" % host)
    out.extend(server.requests() or ["(none)"])

    if pictures:
        section("Pictures")
        out.extend(str(p) for p in pictures)
    print("\n".join(out), flush=True)

