"""Processes and ports on the host: every child is stopped by the PID this process started,
never by name, and every wait is bounded."""

import os
import signal
import socket
import subprocess
import time


def stop_process(proc, pid=None, grace_s=10.0):
    """Ends a child if it still runs: SIGTERM to `pid` (the child itself unless given, e.g. the
    master a server names in its PID file), SIGKILL to the child after grace_s; reaps it."""
    if proc.poll() is not None:
        return
    try:
        os.kill(pid or proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        proc.wait(timeout=grace_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)


def free_port(preferred=0):
    """A port of 127.0.0.1 that is free now: `preferred` where it is, else any."""
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", preferred))
        except OSError:
            s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, what, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("%s exited with %s" % (what, proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s does not listen on %d" % (what, port))


def start_server(cmd, port_file, log_path, what, timeout=15.0):
    """Starts a server that writes its port(s) to port_file once it listens (whitespace apart,
    the file made whole at once); its output goes to log_path. Returns (Popen, [ports]); a server
    that ends or says nothing within timeout is stopped and raises RuntimeError with its log."""
    with open(log_path, "w") as log:
        proc = subprocess.Popen([str(c) for c in cmd], stdout=log, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + timeout
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            stop_process(proc)
            with open(log_path, errors="replace") as log:
                raise RuntimeError("%s did not start: %s" % (what, log.read()))
        time.sleep(0.02)
    with open(port_file) as f:
        return proc, [int(p) for p in f.read().split()]
