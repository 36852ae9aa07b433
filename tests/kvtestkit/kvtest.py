"""The build, Wine, programs under Wine (one way to start them, one way to run them to their
end), a driver session that reads and works the program's windows from outside, the prefix's
registry and paths, and command-line tools in their native and Windows builds.

Everything a test starts is a child process of the test, ended by its own handle; every wait
is bounded, so a test fails instead of hanging. See tests/e2e/README.md.
"""

import atexit
import getpass
import json
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path, PureWindowsPath

from kvtestkit import kvpe
from kvtestkit.procs import stop_process

HERE = Path(__file__).resolve().parent

# Default bound of a driver wait, in milliseconds.
DEFAULT_TIMEOUT_MS = 5000
# What a driver reply may take beyond the command's own timeout: starting up, bounded sends.
REPLY_GRACE_S = 20.0


# --------------------------------------------------------------------------------------------
# Build and environment

def build_dir():
    """The build directory: $KV_BUILD, else build/ at the top of the source tree."""
    return Path(os.environ.get("KV_BUILD") or (HERE / ".." / ".." / "build")).resolve()


def product_exe():
    return build_dir() / "KestrelVault_Setup.exe"


def driver_exe():
    return build_dir() / "kvdriver.exe"


def wine_prefix():
    """$WINEPREFIX, else the project's own prefix under the build directory (never ~/.wine)."""
    return Path(os.environ.get("WINEPREFIX") or (build_dir() / "wineprefix")).resolve()


def require_environment():
    """Raises with a clear message when the tests cannot run here: they need an X display and
    the project's Wine prefix, which scripts/test.sh provides."""
    if not os.environ.get("DISPLAY"):
        raise RuntimeError("DISPLAY is not set: the end-to-end tests need an X display; "
                           "run them through scripts/test.sh")
    if not (wine_prefix() / "system.reg").exists():
        raise RuntimeError("no Wine prefix at %s: run the tests through scripts/test.sh" % wine_prefix())
    for exe in (product_exe(), driver_exe()):
        if not exe.exists():
            raise RuntimeError("%s is missing: build first (cmake --build build)" % exe)


def prepare_prefix():
    """Makes Wine hide windows at once. Under Xvfb there is no window manager, and for windows
    that X11 manages Wine waits up to 2 s on every hide (EndDialog, a closed box) for one to
    answer; unmanaged windows behave the same to the program and hide at once.
    Run before any other wine command of a test: in a fresh session the first wine process
    starts Wine's services, which keep its stderr, and reg's goes to a file."""
    key = r"HKCU\Software\Wine\X11 Driver"
    if reg_query(key, "Managed") != "N":
        reg_add(key, "Managed", "N")


KOREAN = "ko_KR.UTF-8"


def wine_env(extra=None, lang=KOREAN):
    """The environment of a wine command: the project's prefix and the Korean locale (code page
    949) for the Windows side only (lang None: the caller's locale); `extra` adds or replaces
    variables."""
    env = dict(os.environ)
    env["WINEPREFIX"] = str(wine_prefix())
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    # The loader a program's children start from (Wine adds or strips "64" for the other bitness).
    env["WINELOADER"] = loader_of(variant_bits())
    if lang:
        env["LANG"] = lang
        env["LC_ALL"] = lang
    if extra:
        env.update(extra)
    return env


def windows_path(path):
    """A host path as the prefix's programs see it, through drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def run_to_files(cmd, env=None, timeout=120, merge=True):
    """Runs cmd to its end: (exit code, stdout bytes, stderr bytes; b"" with merge, where stderr
    goes into stdout). Output goes to files, not pipes: the first wine process of a session
    starts Wine's services, which inherit its handles and would hold a pipe open long after the
    program has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        r = subprocess.run([str(c) for c in cmd], env=env, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.STDOUT if merge else err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return r.returncode, out.read(), err.read()


# The two Wine loaders; /usr/bin/wine would take the 32-bit one whenever wine32 is installed,
# also where the kernel refuses 32-bit code.
WINE32_LOADER = os.environ.get("KV_WINE32_LOADER") or "/usr/lib/wine/wine"
WINE64_LOADER = os.environ.get("KV_WINE64_LOADER") or "/usr/lib/wine/wine64"


def pe_bits(path):
    """32 for a PE32 program, 64 for PE32+, None for anything else (no file, not PE)."""
    try:
        return {0x10B: 32, 0x20B: 64}[kvpe.PEFile.open(path).magic]
    except (OSError, kvpe.PEError, struct.error):
        return None


def loader_of(bits):
    """The Wine loader of programs of that bitness."""
    return WINE64_LOADER if bits == 64 else WINE32_LOADER


def mingw_tool(name, bits):
    """A mingw-w64 binutils or compiler command of that bitness (e.g. "strip")."""
    return ("x86_64" if bits == 64 else "i686") + "-w64-mingw32-" + name


def variant_bits():
    """The bitness the build under test was configured for (32: the shipped program, 64: the
    64-bit build): $KV_VARIANT_BITS, which ctest's entries get, else the build's CMakeCache.txt."""
    given = os.environ.get("KV_VARIANT_BITS")
    if given:
        return int(given)
    try:
        cache = (build_dir() / "CMakeCache.txt").read_text(errors="replace")
    except OSError:
        return 32
    m = re.search(r"^KV_VARIANT_BITS:INTERNAL=(\d+)$", cache, re.M)
    return int(m.group(1)) if m else 32


def wine_loader(exe=None):
    """The loader that starts `exe`: by its PE header (the 64-bit loader for PE32+, the 32-bit
    one for PE32). Wine's own programs (reg, wineboot: no file) run in the build's bitness, so
    they see the registry and file-system views of the program under test. scripts/lib.sh
    (kv_wine_loader) makes the same decision for the shell."""
    bits = pe_bits(exe) if exe is not None else None
    return loader_of(bits or builtin_bits())


def builtin_bits():
    """The bitness Wine's own programs (reg, wineboot) run in: the build's, unless
    $KV_WINE_BUILTIN_BITS says otherwise (the qemu run: its 64-bit reg runs natively and sees
    the same HKCU, where a 32-bit one would cost a minute under qemu)."""
    given = os.environ.get("KV_WINE_BUILTIN_BITS")
    return int(given) if given else variant_bits()


def wine_command(exe, *args):
    """The command line that starts `exe` (a path, or a Wine program's name) under Wine."""
    return [wine_loader(exe), str(exe)] + [str(a) for a in args]


def run_wine_to_files(cmd, env, timeout=120, merge=True):
    """run_to_files for a Wine program that always says why it fails (reg, the project's tools).
    A failure with no word at all is Wine's, not the program's: the run is made once more, and a
    warning quotes the exit code and what the wineserver said, so the blip stays on record."""
    mark = wineserver_log_mark()
    rc, out, err = run_to_files(cmd, env, timeout, merge)
    if rc != 0 and not out.strip() and not err.strip():
        sys.stderr.write("warning: %s ended with exit code %d and said nothing%s%s; run again\n"
                         % (" ".join(str(c) for c in cmd[1:]), rc, wineserver_state(), wineserver_said(mark)))
        sys.stderr.flush()
        rc, out, err = run_to_files(cmd, env, timeout, merge)
    return rc, out, err


def wine_run(exe, *args, env=None, lang=KOREAN, timeout=120, merge=True):
    """A Windows program (or a Wine command such as reg) run to its end in the project's prefix;
    what run_to_files returns. Only for programs that always say why they fail
    (run_wine_to_files)."""
    return run_wine_to_files(wine_command(exe, *args), wine_env(env, lang), timeout, merge)


# --------------------------------------------------------------------------------------------
# Programs under Wine

# Programs started here and not yet stopped: ended at exit too, should a test leave early.
_started = []


@atexit.register
def _stop_started():
    for process in list(_started):
        process.stop()


class WineProcess:
    """A Windows program started under wine as a child of this process. The wine loader becomes
    the Windows process itself, so the child's end is the program's end."""

    def __init__(self, exe, args=(), env=None, cwd=None, lang=KOREAN, stdin=subprocess.DEVNULL,
                 stdout=None):
        self.exe = Path(exe)
        self.args = [str(a) for a in args]
        self.proc = subprocess.Popen(wine_command(self.exe, *self.args), env=wine_env(env, lang),
                                     cwd=str(cwd) if cwd else None, stdin=stdin, stdout=stdout)
        _started.append(self)

    def alive(self):
        return self.proc.poll() is None

    def wait(self, timeout_s=10.0):
        """The exit code; raises AssertionError when the program is still running after timeout_s."""
        try:
            return self.proc.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s still running after %.1f s" % (self.exe.name, timeout_s))

    def stop(self):
        """Ends the program if it still runs: SIGTERM, then SIGKILL; reaps it either way."""
        stop_process(self.proc, grace_s=3)
        for f in (self.proc.stdin, self.proc.stdout):
            if f:
                f.close()
        if self in _started:
            _started.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def start_product(*args, exe=None, env=None, cwd=None, lang=KOREAN):
    """Starts the program (or another build of it, `exe`) under Wine with the given arguments.
    Non-ASCII arguments reach the program intact only where the host has the glibc locale of
    `lang` (see README.md)."""
    return WineProcess(exe or product_exe(), args, env=env, cwd=cwd, lang=lang)


# --------------------------------------------------------------------------------------------
# The driver

class DriverError(AssertionError):
    """A driver reply with ok false; `reply` is the whole reply (error, and seen for timeouts)."""

    def __init__(self, command, reply):
        self.command = command
        self.reply = reply
        super().__init__("%s -> %s" % (command, json.dumps(reply, ensure_ascii=False)))


def _word(value):
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return str(value)
    return json.dumps(str(value), ensure_ascii=False)


def _ctl(ctl):
    """A control reference: None is the window itself, an int a control id, a Window a handle."""
    if ctl is None:
        return "-"
    if isinstance(ctl, Window):
        return "@%d" % ctl.hwnd
    return str(int(ctl))


_FILTER_NAMES = {"caption": "caption", "caption_has": "caption~", "cls": "class", "pid": "pid",
                 "owner": "owner", "owned": "owned", "enabled": "enabled", "visible": "visible",
                 "exclude": "exclude"}


def _filters(filters):
    opts = {}
    for key, value in filters.items():
        if value is None:
            continue
        if key not in _FILTER_NAMES:
            raise TypeError("unknown window filter %r" % key)
        if isinstance(value, Window):
            value = value.hwnd
        if key == "exclude":
            value = ",".join(str(int(h)) for h in value) or "0"
        opts[_FILTER_NAMES[key]] = value
    return opts


def wineserver_log_mark():
    """Where the wineserver's log (scripts/test.sh keeps it) ends now: wineserver_said's start."""
    try:
        return os.path.getsize(os.environ.get("KV_WINESERVER_LOG") or "")
    except OSError:
        return 0


def wineserver_said(mark=0):
    """"; the wineserver said: ..." with what its log gained after `mark`, else "". The server
    ends a client that breaks its protocol with exit code 1, and says why only there."""
    try:
        with open(os.environ.get("KV_WINESERVER_LOG") or "", "rb") as f:
            f.seek(mark)
            text = f.read().decode("utf-8", "replace").strip()
    except OSError:
        return ""
    if not text:
        return ""
    return "; the wineserver said: " + (text if len(text) <= 2000 else "..." + text[-2000:])


def wineserver_state():
    """Whether the wineserver that scripts/test.sh started still runs: a Wine program whose server
    ends goes with it, with exit code 0."""
    pid = os.environ.get("KV_WINESERVER_PID")
    if not pid:
        return ""
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return "; the wineserver (PID %s) has ended" % pid
    except OSError:
        pass
    return "; the wineserver (PID %s) still runs" % pid


class Driver:
    """One kvdriver.exe process under Wine, talked to over pipes: one command line out, one JSON
    reply line back. `exe`: another copy of the driver (by default the build's)."""

    def __init__(self, exe=None):
        self.proc = subprocess.Popen(wine_command(exe or driver_exe()), env=wine_env(), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        self._buf = b""
        self.call("ping")

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc.stdin.close()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- raw commands

    def call(self, verb, *args, **opts):
        """Sends one command and returns its reply as a dict, whatever `ok` says. Positional
        arguments are words (strings are quoted); options become name=value."""
        words = [verb] + [_word(a) for a in args]
        words += ["%s=%s" % (k, _word(v)) for k, v in opts.items()]
        line = " ".join(words)
        self.proc.stdin.write(line.encode("utf-8") + b"\n")
        self.proc.stdin.flush()
        timeout_ms = opts.get("timeout", DEFAULT_TIMEOUT_MS)
        return json.loads(self._read_line(line, timeout_ms / 1000.0 + REPLY_GRACE_S))

    def check(self, verb, *args, **opts):
        """As call, but raises DriverError for a reply with ok false."""
        reply = self.call(verb, *args, **opts)
        if not reply.get("ok"):
            raise DriverError(" ".join([verb] + [str(a) for a in args]), reply)
        return reply

    def _read_line(self, line, timeout_s):
        deadline = time.monotonic() + timeout_s
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0:
                self.proc.kill()
                raise AssertionError("driver gave no reply to %r within %.0f s" % (line, timeout_s))
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise AssertionError("driver ended (exit %s%s) on %r" % (self.proc.poll(), wineserver_state(), line))
                self._buf += chunk
        raw, self._buf = self._buf.split(b"\n", 1)
        return raw.decode("utf-8")

    # -- top-level windows

    def find(self, **filters):
        """The first top-level window (in z order) that matches, or None. Filters: caption (exact),
        caption_has (substring), cls, pid, owner, owned, enabled, visible, exclude (handles)."""
        reply = self.call("find", **_filters(filters))
        return Window(self, reply["hwnd"]) if reply.get("ok") else None

    def findall(self, **filters):
        """Summaries (hwnd, caption, class, pid, tid, owner, visible, enabled) of all matches."""
        return self.check("findall", **_filters(filters))["windows"]

    def wait_window(self, timeout=DEFAULT_TIMEOUT_MS, **filters):
        """The first matching window once there is one; DriverError after `timeout` ms."""
        reply = self.check("wait_window", timeout=timeout, **_filters(filters))
        return Window(self, reply["hwnd"])

    def wait_gone(self, window=None, timeout=DEFAULT_TIMEOUT_MS, **filters):
        """Waits until `window` (or every window matching the filters) no longer exists."""
        if window is not None:
            self.check("wait_gone", int(window.hwnd if isinstance(window, Window) else window), timeout=timeout)
        else:
            self.check("wait_gone", timeout=timeout, **_filters(filters))

    def msgbox(self, timeout=DEFAULT_TIMEOUT_MS, **filters):
        """Waits for a visible dialog-class window (by default #32770) and returns its reply:
        hwnd, caption, text, statics, pid, owner, buttons [{id, text}]; `window` is added."""
        reply = self.check("msgbox", timeout=timeout, **_filters(filters))
        reply["window"] = Window(self, reply["hwnd"])
        return reply

    def alive(self, pid):
        """Whether the Windows process `pid` still runs."""
        return self.check("alive", pid)["alive"]

    def wait_exit(self, pid, timeout=DEFAULT_TIMEOUT_MS):
        """The exit code of the Windows process `pid` once it has ended (None if unknown)."""
        return self.check("wait_exit", pid, timeout=timeout)["exit_code"]


class Window:
    """A top-level window seen through the driver. `ctl` arguments: None for the window itself,
    a control id (found anywhere below the window, a visible one first), or a Window."""

    def __init__(self, driver, hwnd, process=None):
        self.driver = driver
        self.hwnd = int(hwnd)
        self.process = process

    def __repr__(self):
        return "Window(0x%x)" % self.hwnd

    def _check(self, verb, *args, **opts):
        return self.driver.check(verb, self.hwnd, *args, **opts)

    def exists(self):
        return self.driver.call("info", self.hwnd).get("ok", False)

    def info(self, ctl=None):
        """hwnd, id, class, text, visible, enabled, pid, tid, owner, parent, style, exstyle,
        rect ([x, y, w, h]: screen for the window, its client pixels for a control), client."""
        return self._check("info", _ctl(ctl))

    def children(self):
        """Every window below this one: hwnd, parent, id, class, text, visible, enabled, rect."""
        return self._check("children")["children"]

    def text(self, ctl=None):
        return self._check("text", _ctl(ctl))["text"]

    def set_text(self, ctl, text):
        """WM_SETTEXT; an edit control answers it with EN_CHANGE to its parent."""
        self._check("settext", _ctl(ctl), text)

    def type(self, ctl, text):
        """Posts one WM_CHAR per UTF-16 unit to the control, as typing would."""
        self._check("type", _ctl(ctl), text)

    def enabled(self, ctl=None):
        return self._check("enabled", _ctl(ctl))["value"]

    def visible(self, ctl=None):
        return self._check("visible", _ctl(ctl))["value"]

    def checked(self, ctl):
        """BM_GETCHECK: 0, 1 or 2."""
        return self._check("checked", _ctl(ctl))["value"]

    def set_check(self, ctl, state):
        """BM_SETCHECK, which tells the parent nothing; click() for what a user does."""
        self._check("check", _ctl(ctl), int(state))

    def click(self, ctl, force=False):
        """Posts BM_CLICK to the control. A disabled or hidden control gives DriverError, as a user
        could not press it, unless force."""
        opts = {"force": True} if force else {}
        self._check("click", _ctl(ctl), **opts)

    def command(self, cmd_id, code=0):
        """Posts WM_COMMAND (cmd_id, code) to the control's parent, or to this window."""
        self._check("command", int(cmd_id), code=code)

    def syscommand(self, cmd):
        """Posts WM_SYSCOMMAND; cmd is a number (0x0010 the About entry) or "close"."""
        self._check("syscommand", cmd if isinstance(cmd, str) else int(cmd))

    def key(self, vk, ctl=None):
        """Posts WM_KEYDOWN and WM_KEYUP of `vk` (a number or escape, enter, tab, space, left,
        right, up, down, back, delete) to `ctl`, else to the focused control of this window."""
        self._check("key", vk, *([] if ctl is None else [_ctl(ctl)]))

    def focus(self):
        return self._check("focus")

    def progress(self, ctl):
        """(pos, min, max) of a progress bar."""
        r = self._check("progress", _ctl(ctl))
        return r["pos"], r["min"], r["max"]

    def pid(self):
        """The Windows process id that owns the window."""
        return self._check("pid")["pid"]

    def wait(self, ctl, cond, arg=None, timeout=DEFAULT_TIMEOUT_MS):
        """Waits until the condition holds and returns what was seen last; DriverError on timeout
        with reply["seen"]. Conditions: text (equals arg), text_has (contains arg), enabled,
        disabled, visible, hidden, checked, unchecked, exists, gone, pos_ge (arg: a number)."""
        args = [_ctl(ctl), cond] + ([] if arg is None else [arg])
        return self._check("wait", *args, timeout=timeout)["seen"]

    def wait_gone(self, timeout=DEFAULT_TIMEOUT_MS):
        self.driver.wait_gone(self, timeout=timeout)


# --------------------------------------------------------------------------------------------
# Test case base

WIZARD_CLASS = "#32770"


class WizardTestCase(unittest.TestCase):
    """One driver per test class; each test starts its own program with start_wizard, which is
    ended again when the test ends."""

    driver = None
    # False for a class that only runs programs to their end and reads what they left, without
    # the driver (the qemu run, where every Windows process start costs a minute).
    use_driver = True

    @classmethod
    def setUpClass(cls):
        require_environment()
        prepare_prefix()
        if cls.use_driver:
            cls.driver = Driver()
            cls.addClassCleanup(cls.driver.close)

    def start_wizard(self, *args, exe=None, env=None, cwd=None, timeout=10000):
        """Starts the program and returns its first page (an unowned visible dialog window that
        did not exist before), with `process` set to the WineProcess."""
        before = [w["hwnd"] for w in self.driver.findall(cls=WIZARD_CLASS)]
        mark = wineserver_log_mark()
        process = start_product(*args, exe=exe, env=env, cwd=cwd)
        self.addCleanup(process.stop)
        try:
            page = self.driver.wait_window(cls=WIZARD_CLASS, owned=False, visible=True, exclude=before,
                                           timeout=timeout)
        except DriverError as e:
            raise AssertionError("the first page did not show (program %s%s): %s"
                                 % ("running" if process.alive() else "exited %s" % process.proc.returncode,
                                    wineserver_said(mark), e))
        page.process = process
        return page


# --------------------------------------------------------------------------------------------
# The prefix's registry, through wine reg

def _reg(*args):
    rc, out, _ = wine_run("reg", *args, timeout=60)
    # reg writes through the console code page, 949 under the Korean locale.
    return rc, out.decode("cp949", "replace")


def reg_add(key, name, data, kind="REG_SZ"):
    """Sets value `name` (None: the key's default value) of `key` (e.g. r"HKCU\\Software\\X"),
    creating the key. kind: REG_SZ, REG_DWORD (data an int), REG_EXPAND_SZ, ..."""
    args = ["add", key] + (["/ve"] if name is None else ["/v", name]) + ["/t", kind, "/d", str(data), "/f"]
    rc, out = _reg(*args)
    if rc != 0:
        raise RuntimeError("reg %s failed: %s" % (" ".join(args), out.strip()))


def reg_add_key(key):
    rc, out = _reg("add", key, "/f")
    if rc != 0:
        raise RuntimeError("reg add %s failed: %s" % (key, out.strip()))


# How reg shows a key's default value: its text is localised.
_DEFAULT_VALUE_NAMES = {"(Default)", "(기본)", "(기본값)"}


def reg_values(key):
    """{name: (kind, data)} of the values directly in `key` ("" is the default value); None when
    the key does not exist. REG_DWORD data is an int, other data the text reg shows."""
    rc, out = _reg("query", key)
    if rc != 0:
        return None
    values = {}
    keys_seen = 0
    for line in out.splitlines():
        if not line.strip():
            continue
        if not line.startswith("    "):
            # Key lines: `key` itself, then its subkeys, whose values are not ours.
            keys_seen += 1
            continue
        if keys_seen != 1:
            continue
        parts = line[4:].split("    ", 2)
        if len(parts) < 2:
            continue
        name, kind = parts[0], parts[1]
        data = parts[2] if len(parts) > 2 else ""
        if name in _DEFAULT_VALUE_NAMES:
            name = ""
        if kind in ("REG_DWORD", "REG_QWORD"):
            data = int(data, 16)
        values[name] = (kind, data)
    return values


def reg_subkeys(key):
    """Names of the keys directly below `key` ([] when it is missing)."""
    _, out = _reg("query", key)
    # reg names the hive in full.
    prefix = key.replace("HKCU\\", "HKEY_CURRENT_USER\\", 1).lower() + "\\"
    return sorted(line[len(prefix):] for line in out.splitlines() if line.lower().startswith(prefix))


def reg_query(key, name):
    """The data of value `name` ("" for the default value) of `key`, or None when absent."""
    values = reg_values(key)
    if values is None or name not in values:
        return None
    return values[name][1]


def reg_delete(key, name=None):
    """Deletes value `name`, or the whole key with its subkeys when name is None. Returns False
    when there was nothing to delete."""
    args = ["delete", key] + ([] if name is None else ["/v", name]) + ["/f"]
    rc, _ = _reg(*args)
    return rc == 0


# --------------------------------------------------------------------------------------------
# Paths in the prefix

def _resolve_nocase(base, parts):
    """`base` joined with `parts`, each part matched case-insensitively against what exists (as
    Windows matches names); parts that do not exist yet are kept as written."""
    path = base
    for part in parts:
        exact = path / part
        if not exact.exists() and path.is_dir():
            for entry in path.iterdir():
                if entry.name.lower() == part.lower():
                    exact = entry
                    break
        path = exact
    return path


def unix_path(win_path):
    """The host path of a Windows path of the prefix, e.g. "C:\\users\\root\\Temp\\x.exe"."""
    p = PureWindowsPath(win_path)
    if not p.drive:
        raise ValueError("not an absolute Windows path: %r" % win_path)
    drive = wine_prefix() / "dosdevices" / p.drive.lower()
    return _resolve_nocase(drive.resolve(), p.parts[1:])


def windows_user():
    """The Windows user name inside the prefix: Wine names the profile after the host user."""
    return getpass.getuser()


def win_temp_dir():
    """The user's temporary directory as GetTempPathW gives it, C:\\users\\<user>\\Temp."""
    return "C:\\users\\%s\\Temp" % windows_user()


def temp_dir():
    """Host path of the user's temporary directory."""
    return unix_path(win_temp_dir())


def win_machine_temp_dir():
    """The machine's temporary directory, the Windows directory's Temp: an elevated run fetches
    its programs into a private directory of its own below it."""
    return "C:\\windows\\Temp"


def machine_temp_dir():
    """Host path of the machine's temporary directory."""
    return unix_path(win_machine_temp_dir())


# A step's private directory as an elevated run names it: "kv" and 16 random hex digits.
PRIVATE_DIR_RE = re.compile(r"C:\\windows\\Temp\\kv[0-9a-f]{16}", re.IGNORECASE)


def private_dirs():
    """Names of the steps' private directories now in the machine's temporary directory."""
    return {p.name for p in machine_temp_dir().iterdir() if re.fullmatch(r"kv[0-9a-f]{16}", p.name)}


def own_temp_dir(name, under=None):
    """(Windows path, host path) of a fresh directory of this process, named `name`_<pid>, in
    the Windows directory `under` (by default the user's temporary directory); its owner
    removes it. Every local user may create files in it (open_to_users), so that the program
    makes its log there."""
    win_dir = "%s\\%s_%d" % (under or win_temp_dir(), name, os.getpid())
    path = unix_path(win_dir)
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    open_to_users(path)
    return win_dir, path


def open_to_users(path):
    """Lets every local user create files in the directory at host path `path`, as far as the
    program can see: Wine makes a file's access list up from its Unix mode, and the bits for
    others become the entry for Everyone. The program creates a missing log file only where
    that entry (or one for Users or Authenticated Users) allows it."""
    os.chmod(path, 0o777)


def win_program_files():
    """The Program Files folder the program under test gets (CSIDL_PROGRAM_FILES): a 32-bit
    program on 64-bit Windows gets "Program Files (x86)", a 64-bit one "Program Files"."""
    return "C:\\Program Files (x86)" if variant_bits() == 32 else "C:\\Program Files"


def program_files():
    """Host path of the Program Files folder the program under test gets."""
    return unix_path(win_program_files())


# --------------------------------------------------------------------------------------------
# Command-line tools, native or under Wine

class Tool:
    """One build of a command-line tool: the native program, or the Windows one under Wine
    (in the caller's locale, as a user's shell runs it)."""

    def __init__(self, name, command, to_arg, env=None):
        self.name = name
        self.command = command
        self.to_arg = to_arg
        self.env = env

    @classmethod
    def native(cls, path):
        return cls("native", [str(path)], str)

    @classmethod
    def windows(cls, exe):
        # The Windows build sees the host's root as drive Z: in the prefix.
        return cls("windows", wine_command(exe), windows_path, wine_env(lang=None))

    def run(self, *args):
        """(exit code, stdout, stderr); Paths among args are given in the build's own form."""
        argv = [self.to_arg(a) if isinstance(a, Path) else a for a in args]
        run = run_wine_to_files if self.name == "windows" else run_to_files
        rc, out, err = run(self.command + argv, self.env, merge=False)
        # The Windows build writes its line ends in text mode: CR LF.
        return (rc, out.decode("utf-8").replace("\r\n", "\n"),
                err.decode("utf-8", "replace").replace("\r\n", "\n"))

    def json(self, path):
        rc, out, err = self.run(path, "--json")
        assert rc == 0, "%s %s --json %s: exit %d: %s" % (self.name, Path(self.command[-1]).name, path, rc, err)
        return json.loads(out)
