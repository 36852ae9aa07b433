"""A forward proxy on 127.0.0.1 for the company-network tests, and the Wine prefix's proxy
settings that send the program through it.

    from kvtestkit.kvproxy import Proxy, PROXY_ONLY_HOST, prefix_proxy
    with Proxy(build_dir) as p:                    # squid, every request allowed
        p.port                                     # its port on 127.0.0.1
        p.requests()                               # [{method, url, status}, ...] it answered
    with Proxy(build_dir, credentials=True):       # answers 407 to every request
        ...
    with prefix_proxy("127.0.0.1:%d" % p.port):    # the user's Internet Settings, restored after
        ...

The proxy resolves PROXY_ONLY_HOST to 127.0.0.1 through a hosts file of its own; nothing else
on the machine knows that name, so a request for it that does not go through the proxy fails
at the name lookup.

squid runs in the foreground under its own configuration in a fresh folder under
<build>/testproxy/ (PID file, logs, no cache directory), is started here and stopped by its
own PID, and removed at stop (kept when KV_KEEP_SERVERS is set). Run as root, squid drops to
its unprivileged user: the folder is handed to that user first.
"""

import os
import pwd
import shutil
import subprocess
import tempfile
import time
from contextlib import contextmanager

from kvtestkit import kvtest
from kvtestkit.procs import free_port, stop_process, wait_listening

PROXY_ONLY_HOST = "vault.proxyonly.test"
SQUID = "/usr/sbin/squid"
SQUID_USER = "proxy"
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


class Proxy:
    def __init__(self, build_dir, credentials=False):
        self.build_dir = os.path.abspath(build_dir)
        self.credentials = credentials
        self.dir = None
        self.port = None
        self._proc = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    @classmethod
    def for_class(cls, testclass, credentials=False):
        proxy = cls(kvtest.build_dir(), credentials)
        proxy.start()
        testclass.addClassCleanup(proxy.stop)
        return proxy

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def start(self):
        if not os.path.exists(SQUID):
            raise RuntimeError("squid is not installed (bash scripts/install-deps.sh installs it)")
        base = os.path.join(self.build_dir, "testproxy")
        os.makedirs(base, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix="run-", dir=base)
        with open(os.path.join(self.dir, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n127.0.0.1 %s\n" % PROXY_ONLY_HOST)
        # Nobody can sign in: the program never sends credentials, and a file with no user
        # makes the helper refuse whoever tries.
        open(os.path.join(self.dir, "passwd"), "w").close()
        if os.geteuid() == 0:
            user = pwd.getpwnam(SQUID_USER)
            os.chmod(self.dir, 0o755)
            os.chown(self.dir, user.pw_uid, user.pw_gid)
        try:
            for attempt in range(3):
                self.port = free_port()
                conf = os.path.join(self.dir, "squid.conf")
                with open(conf, "w") as f:
                    f.write(self._conf())
                log = open(os.path.join(self.dir, "stderr.log"), "w")
                proc = subprocess.Popen([SQUID, "-N", "-f", conf], stdout=log, stderr=log,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
                log.close()
                try:
                    wait_listening(self.port, proc, "squid", timeout=30)
                except RuntimeError:
                    stop_process(proc, grace_s=5)
                    if attempt == 2:
                        raise RuntimeError("squid did not start:\n" + self._log_text())
                    continue  # the port was taken between choosing and binding it
                self._proc = proc
                return
        except BaseException:
            self.stop()
            raise

    def stop(self):
        if self._proc:
            stop_process(self._proc, grace_s=10)
            self._proc = None
        if self.dir and not os.environ.get("KV_KEEP_SERVERS"):
            shutil.rmtree(self.dir, ignore_errors=True)

    def _log_text(self):
        out = []
        for name in ("stderr.log", "cache.log"):
            try:
                with open(os.path.join(self.dir, name), errors="replace") as f:
                    out.append(f.read())
            except OSError:
                pass
        return "\n".join(out)

    def _conf(self):
        d = self.dir
        if self.credentials:
            access = (
                "auth_param basic program /usr/lib/squid/basic_ncsa_auth %s/passwd\n"
                "auth_param basic children 1 startup=1 idle=1\n"
                "auth_param basic realm kestrel-test-proxy\n"
                "acl signed_in proxy_auth REQUIRED\n"
                "http_access allow signed_in\n" % d)
        else:
            access = "http_access allow localhost\n"
        return (
            "http_port 127.0.0.1:%d\n"
            "pid_filename %s/squid.pid\n"
            "cache_log %s/cache.log\n"
            "logformat kv %%rm %%ru %%>Hs\n"
            "access_log stdio:%s/access.log kv\n"
            "cache_store_log none\n"
            "coredump_dir %s\n"
            "cache deny all\n"
            "cache_mem 8 MB\n"
            "hosts_file %s/hosts\n"
            "dns_nameservers 127.0.0.1\n"
            "pinger_enable off\n"
            "netdb_filename none\n"
            "shutdown_lifetime 0 seconds\n"
            "logfile_rotate 0\n"
            "%s"
            "http_access deny all\n" % (self.port, d, d, d, d, d, access))

    def requests(self):
        """[{method, url, status}, ...] in the order the proxy finished them (squid writes a
        line as each request ends; a moment is given for the last one to arrive)."""
        time.sleep(0.3)
        out = []
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                for line in f.read().splitlines():
                    method, url, status = line.split(" ")
                    if method == "-":
                        continue  # a connection that sent no request (the start-up probe)
                    out.append({"method": method, "url": url, "status": int(status)})
        except FileNotFoundError:
            pass
        return out


@contextmanager
def prefix_proxy(server):
    """The prefix user's Internet Settings naming `server` ("127.0.0.1:PORT") as the proxy for
    every scheme, with nothing bypassed; the values there before are put back afterwards."""
    before = kvtest.reg_values(INTERNET_SETTINGS) or {}
    names = ("ProxyEnable", "ProxyServer", "ProxyOverride")
    try:
        kvtest.reg_add(INTERNET_SETTINGS, "ProxyEnable", "1", kind="REG_DWORD")
        kvtest.reg_add(INTERNET_SETTINGS, "ProxyServer", server)
        kvtest.reg_delete(INTERNET_SETTINGS, "ProxyOverride")
        yield
    finally:
        for name in names:
            if name in before:
                kind, data = before[name]
                kvtest.reg_add(INTERNET_SETTINGS, name, str(data), kind=kind)
            else:
                kvtest.reg_delete(INTERNET_SETTINGS, name)
