"""What the demo (scripts/demo.py) and the pictures (docs/make_pictures.py) share: the demo's
server with the stand-in programs, the wizard in a Wine virtual desktop with a driver beside it,
pictures of its window, and the report of what a run left in the prefix.

The caller provides the environment as scripts/lib.sh makes it: KV_BUILD, WINEPREFIX (the
demo's own prefix), DISPLAY, a running wineserver. Everything started here is stopped here by
its own PID.
"""

import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for sub in ("tests/e2e", "tests/servers", "tests/standins"):
    sys.path.insert(0, str(ROOT / sub))

import kvtest  # noqa: E402
import pki  # noqa: E402
from kvservers import trust_test_ca  # noqa: E402

try:
    import kvstandins  # noqa: E402
except ImportError:  # a tree without the stand-ins: the server then offers nothing to install
    kvstandins = None

EXE_NAME = "KestrelVault_Setup.exe"
INSTALLER_NAME = "KestrelVAULT ActiveX 7i_ko.exe"
SITE_NAME = "KestrelDemo"
SETTINGS_KEY = r"HKCU\Software\KestrelVAULT"

# The wizard runs in a Wine virtual desktop of this name; the driver joins it through Wine's
# per-program desktop setting, under a name of its own so that no test's driver is moved.
DESKTOP = "KestrelVault"
DESKTOP_SIZE = "640x400"
DRIVER_NAME = "kvdemo_driver.exe"

# Controls: first page, download page.
HOST, NEXT, CANCEL, SCHEME = 1006, 1008, 2, 1013
STATUS, PROGRESS, PREV, FINISH = 1000, 1001, 1010, 1008

# scripts/wine-run (used by trust_test_ca) takes its prefix from this variable.
if os.environ.get("WINEPREFIX"):
    os.environ["WINEPREFIX_OVERRIDE"] = os.environ["WINEPREFIX"]


def log(msg):
    print("[demo] " + msg, file=sys.stderr, flush=True)


def build_dir():
    return kvtest.build_dir()


def windows_path(path):
    """The path of a host file as the prefix's programs see it, through drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# ------------------------------------------------------------------------------------------
# The run's folder and the server

class RunDir:
    """build/demo/<name>, emptied at the start: the server tree, the wizard's copy, its log,
    the server's request log, the stand-ins' record and the pictures."""

    def __init__(self, name):
        self.dir = build_dir() / "demo" / name
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        self.www = self.dir / "www"
        (self.www / "app" / "update").mkdir(parents=True)
        self.records = self.dir / "standins.jsonl"
        self.server_log = self.dir / "server.log"

    def fill_server_tree(self):
        """The stand-in installer and updater and a descriptor naming SITE_NAME, at their server
        paths. Returns the size of the installer, or None when the stand-ins are not there."""
        if kvstandins is None:
            log("the stand-in programs are not in this tree (tests/standins): the server offers nothing")
            return None
        kvstandins.fill_server_tree(str(self.www), SITE_NAME, str(build_dir()))
        return (self.www / "app" / INSTALLER_NAME).stat().st_size

    def exe_copy(self):
        exe = self.dir / EXE_NAME
        shutil.copyfile(kvtest.product_exe(), exe)
        return exe

    def standin_env(self):
        """What the stand-ins need to know, handed down through the wizard's environment."""
        return {"KV_STANDIN_RECORD": windows_path(self.records)}


class DemoServer:
    """scripts/demo_server.py on a free port of 127.0.0.1, http and https on the same port."""

    def __init__(self, run, gate=False, hold_bytes=None, port=0):
        p = pki.ensure_pki(str(build_dir()))
        port_file = run.dir / "server.port"
        cmd = [sys.executable, str(ROOT / "scripts" / "demo_server.py"), "--root", str(run.www),
               "--port-file", str(port_file), "--port", str(port), "--cert", p.cert("good"), "--key", p.key("good")]
        if gate:
            cmd.append("--gate")
        if hold_bytes:
            cmd += ["--hold", "%s:%d" % (INSTALLER_NAME, hold_bytes)]
        self.log_path = run.server_log
        out = open(self.log_path, "w")
        self.proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        out.close()
        deadline = time.monotonic() + 15
        while not port_file.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the demo server did not start: " + self.log_path.read_text())
            time.sleep(0.02)
        self.port = int(port_file.read_text())
        self.host = "127.0.0.1:%d" % self.port

    def open_gate(self):
        self.proc.send_signal(signal.SIGUSR1)

    def release(self):
        self.proc.send_signal(signal.SIGUSR2)

    def requests(self):
        return [line for line in self.log_path.read_text().splitlines() if line and line != "gate opened"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def trust_demo_ca():
    """The test CA into the prefix's Root store, so https to the demo server is trusted there."""
    trust_test_ca(str(build_dir()), pki.ensure_pki(str(build_dir())))


# ------------------------------------------------------------------------------------------
# The prefix's state

def site_key(host):
    return SETTINGS_KEY + "\\" + host


def base_directory():
    return kvtest.program_files() / "KestrelVAULT"


def reset_prefix_state():
    """Forgets what earlier demo runs left in the demo's prefix (settings and per-site values,
    the base directory), so that the report shows this run only."""
    kvtest.reg_delete(SETTINGS_KEY)
    shutil.rmtree(base_directory(), ignore_errors=True)


def set_logging(on):
    """Mode 3 (a file beside the executable, appended line by line) for EXE_NAME, or off."""
    if on:
        kvtest.reg_add(SETTINGS_KEY, EXE_NAME + ".log", 3, "REG_DWORD")
    else:
        kvtest.reg_delete(SETTINGS_KEY, EXE_NAME + ".log")


# ------------------------------------------------------------------------------------------
# The virtual desktop, the wizard in it and the driver beside it

class DesktopDriver(kvtest.Driver):
    """kvtest's driver, run from a copy whose name Wine puts into the demo's desktop."""

    def __init__(self, exe):
        self.proc = subprocess.Popen(["wine", str(exe)], env=kvtest.wine_env(), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        self._buf = b""
        self.call("ping")


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
        cmd = ["wine", "explorer", "/desktop=%s,%s" % (DESKTOP, DESKTOP_SIZE), windows_path(exe)] + list(args)
        self.proc = subprocess.Popen(cmd, env=kvtest.wine_env(env), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.proc

    def connect(self):
        self.driver = DesktopDriver(self.driver_exe)
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
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


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

    key = site_key(host)
    section("Registry, HKCU\\Software\\KestrelVAULT\\%s" % host)
    for sub, name in (("", "LANGUAGE"), ("\\Update", "DontQuestionDesktopShortcut"), ("", "PRODUCT")):
        values = kvtest.reg_values(key + sub) or {}
        shown = "%s (%s)" % (values[name][1], values[name][0]) if name in values else "(not set)"
        out.append("%-40s %s" % ((sub.lstrip("\\") + "\\" if sub else "") + name, shown))

    site = base_directory() / SITE_NAME
    section("Site directory (%s)" % ("C:\\Program Files (x86)\\KestrelVAULT\\" + SITE_NAME))
    if site.is_dir():
        for f in sorted(site.iterdir()):
            out.append("%-40s %d bytes" % (f.name, f.stat().st_size))
    else:
        out.append("(not there)")

    section("Stand-ins started (their own records)")
    records = kvstandins.read_records(run.records) if kvstandins else []
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

