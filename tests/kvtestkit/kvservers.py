"""Test servers on 127.0.0.1 for every test that talks to a KestrelVault server.

    from kvtestkit.kvservers import Servers
    with Servers(build_dir) as s:             # nginx (all schemes) and the scripted server
        s.write_file("app/update/KVUpdate.exe", data)
        s.host("http")                         # "127.0.0.1:PORT", what a user types as address
        s.url("https", "/app/x.bin")           # "https://127.0.0.1:PORT/app/x.bin"
        s.script_requests()                    # what the scripted server received
        s.script_fault("KVUpdate.exe", "/_drop=100")   # one file answered with a fault
        s.nginx_requests()                     # what nginx received, from its access log

s.full_disk_file is a path whose writes fail as on a full disk (see start()).
s.host("unaccepted") is an address whose connections are never accepted: a client's connect
waits (see start()).

Servers (the `kind` names):
    http             nginx, plain http
    https            nginx, certificate for "kestrel.test" from the test CA (trusted in the
                     project's Wine prefix by trust_test_ca())
    https-untrusted  nginx, certificate from a CA trusted nowhere
    https-expired    nginx, expired certificate from the test CA
    https-notyet     nginx, not-yet-valid certificate from the test CA
    https-self       nginx, certificate for the address itself (127.0.0.1) from the test CA
    https-close      as https, but closing the connection after every answer (no keep-alive),
                     so that no request rides on a connection another request's check let in
    redirect-CODE-KIND  nginx, plain http, answering every request with status CODE (301,
                     302, ...) to the same host and path on the server KIND (which must be
                     started too), as `return CODE https://$host$request_uri;` does with the
                     port of KIND in place of the scheme's default
    tls-redirect-CODE-KIND  the same over https, with the good certificate
    script           scriptserver.py, plain http, answers chosen by path (see its docstring)
    script-https     the same server over https, with the good certificate

All of them serve one server tree, `s.www`, that starts with empty app/ and app/update/
folders. Everything lives in a fresh folder under <build>/testservers/ and is removed at stop
(kept when KV_KEEP_SERVERS is set). Every process is started here and stopped by its own PID.
"""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.request

from kvtestkit import kvtest
from kvtestkit import pki as pki_mod
from kvtestkit.procs import free_port, start_server, stop_process, wait_listening

HERE = os.path.dirname(os.path.abspath(__file__))

NGINX_KINDS = {
    # kind: certificate name (None: plain http)
    "http": None,
    "https": "good",
    "https-untrusted": "untrusted",
    "https-expired": "expired",
    "https-notyet": "notyet",
    "https-self": "self",
    "https-close": "good",
}
SCRIPT_KINDS = ("script", "script-https")
ALL_KINDS = tuple(NGINX_KINDS) + SCRIPT_KINDS


def redirect_of(kind):
    """(code, target kind) of a [tls-]redirect-CODE-KIND server, else None."""
    for prefix in ("redirect-", "tls-redirect-"):
        if kind.startswith(prefix):
            code, target = kind[len(prefix):].split("-", 1)
            return int(code), target
    return None


def is_nginx(kind):
    return kind in NGINX_KINDS or redirect_of(kind) is not None


def certificate_of(kind):
    if redirect_of(kind):
        return "good" if kind.startswith("tls-") else None
    return NGINX_KINDS[kind]


# The environment variables run_with_servers.py gives a test: KV_<KIND>_HOST.
def env_name(kind):
    return "KV_%s_HOST" % kind.upper().replace("-", "_")


def trust_test_ca(build_dir, pki=None):
    """Adds the test CA to the Root store of the project's Wine prefix; doing it again
    changes nothing. Needs the kv_trust_test_ca.exe helper of the build."""
    pki = pki or pki_mod.ensure_pki(build_dir)
    helper = os.path.join(build_dir, "kv_trust_test_ca.exe")
    rc, out, _ = kvtest.wine_run(helper, pki.ca_der)
    if rc != 0:
        raise RuntimeError("kv_trust_test_ca failed (%d): %s" % (rc, out.decode(errors="replace")))


class Servers:
    def __init__(self, build_dir, kinds=ALL_KINDS, trust=True):
        self.build_dir = os.path.abspath(build_dir)
        self.kinds = tuple(kinds)
        self.trust = trust
        self.ports = {}
        self.dir = None
        self.www = None
        self._nginx = None
        self._script = None

    # -- life cycle ------------------------------------------------------------------------
    @classmethod
    def for_class(cls, testclass, kinds=ALL_KINDS, trust=True):
        """Servers of the build under test for a whole test class (from its setUpClass), stopped
        by the class's cleanup."""
        servers = cls(kvtest.build_dir(), kinds, trust)
        servers.start()
        testclass.addClassCleanup(servers.stop)
        return servers

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        base = os.path.join(self.build_dir, "testservers")
        os.makedirs(base, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix="run-", dir=base)
        self.www = os.path.join(self.dir, "www")
        os.makedirs(os.path.join(self.www, "app", "update"))
        # A file on a "full disk": a link to a device whose every write fails with ENOSPC
        # (ERROR_DISK_FULL under Wine). Deleting it removes only the link.
        self.full_disk_file = os.path.join(self.dir, "fulldisk.bin")
        os.symlink("/dev/full", self.full_disk_file)
        # A listener with no room in its queue, filled by a connection of our own that nobody
        # accepts: the system drops every later SYN, so a client's connect waits as it would
        # for a host that does not answer at all.
        self._unaccepted = socket.socket()
        self._unaccepted.bind(("127.0.0.1", 0))
        self._unaccepted.listen(0)
        self._unaccepted_fill = socket.create_connection(self._unaccepted.getsockname(), timeout=5)
        self.ports["unaccepted"] = self._unaccepted.getsockname()[1]
        try:
            nginx_kinds = [k for k in self.kinds if is_nginx(k)]
            if any(certificate_of(k) for k in nginx_kinds) or "script-https" in self.kinds:
                self._pki = pki_mod.ensure_pki(self.build_dir)
                if self.trust:
                    trust_test_ca(self.build_dir, self._pki)
            if nginx_kinds:
                self._start_nginx(nginx_kinds)
            if any(k in SCRIPT_KINDS for k in self.kinds):
                self._start_script("script-https" in self.kinds)
        except BaseException:
            self.stop()
            raise

    def stop(self):
        for sock in (getattr(self, "_unaccepted_fill", None), getattr(self, "_unaccepted", None)):
            if sock:
                sock.close()
        if self._script:
            stop_process(self._script)
            self._script = None
        if self._nginx:
            # nginx names its master in its PID file; with "daemon off" that is our child.
            pid = self._nginx.pid
            try:
                with open(os.path.join(self.dir, "nginx", "nginx.pid")) as f:
                    pid = int(f.read().strip() or pid)
            except (OSError, ValueError):
                pass
            stop_process(self._nginx, pid)
            self._nginx = None
        if self.dir and not os.environ.get("KV_KEEP_SERVERS"):
            shutil.rmtree(self.dir, ignore_errors=True)

    def _start_nginx(self, kinds):
        ndir = os.path.join(self.dir, "nginx")
        os.makedirs(os.path.join(ndir, "tmp"))
        for attempt in range(3):
            ports = {k: free_port() for k in kinds}
            conf = os.path.join(ndir, "nginx.conf")
            with open(conf, "w") as f:
                f.write(self._nginx_conf(ndir, ports))
            log = open(os.path.join(ndir, "stderr.log"), "w")
            proc = subprocess.Popen(["nginx", "-p", ndir, "-c", conf, "-e", os.path.join(ndir, "error.log")],
                                    stdout=log, stderr=log, start_new_session=True)
            log.close()
            try:
                for k in kinds:
                    wait_listening(ports[k], proc, "nginx")
            except RuntimeError:
                stop_process(proc)
                if attempt == 2:
                    with open(os.path.join(ndir, "error.log")) as f:
                        raise RuntimeError("nginx did not start:\n" + f.read())
                continue  # a port was taken between choosing and binding it
            self._nginx = proc
            self.ports.update(ports)
            return

    def _nginx_conf(self, ndir, ports):
        user = "user root root;\n" if os.geteuid() == 0 else ""
        servers = []
        for kind, port in ports.items():
            cert = certificate_of(kind)
            tls = ""
            if cert:
                tls = ("        ssl_certificate %s;\n        ssl_certificate_key %s;\n"
                       % (self._pki.cert(cert), self._pki.key(cert)))
            if redirect_of(kind):
                code, target = redirect_of(kind)
                scheme = "https" if certificate_of(target) else "http"
                tls += "        return %d %s://$host:%d$request_uri;\n" % (code, scheme, ports[target])
            if kind.endswith("-close"):
                tls += "        keepalive_timeout 0;\n"
            servers.append(
                "    server {\n"
                "        listen 127.0.0.1:%d%s;\n"
                "        server_name %s;\n%s"
                "        root %s;\n"
                "    }\n" % (port, " ssl" if cert else "", pki_mod.SERVER_NAME, tls, self.www))
        t = os.path.join(ndir, "tmp")
        return (
            "daemon off;\n%s"
            "worker_processes 1;\n"
            "pid %s/nginx.pid;\n"
            "error_log %s/error.log warn;\n"
            "events { worker_connections 128; }\n"
            "http {\n"
            "    log_format kv '$server_port \"$request\" $status $body_bytes_sent \"$http_user_agent\"';\n"
            "    access_log %s/access.log kv;\n"
            "    client_body_temp_path %s/client;\n    proxy_temp_path %s/proxy;\n"
            "    fastcgi_temp_path %s/fastcgi;\n    uwsgi_temp_path %s/uwsgi;\n    scgi_temp_path %s/scgi;\n"
            "    default_type application/octet-stream;\n"
            "    sendfile on;\n"
            "    keepalive_timeout 30s;\n"
            "%s"
            "}\n" % (user, ndir, ndir, ndir, t, t, t, t, t, "".join(servers)))

    def _start_script(self, tls):
        port_file = os.path.join(self.dir, "script.port")
        cmd = [sys.executable, os.path.join(HERE, "scriptserver.py"), "--root", self.www, "--port-file", port_file]
        if tls:
            cmd += ["--tls-cert", self._pki.cert("good"), "--tls-key", self._pki.key("good")]
        self._script, ports = start_server(cmd, port_file, os.path.join(self.dir, "script.log"), "scriptserver")
        self.ports["script"] = ports[0]
        if tls:
            self.ports["script-https"] = ports[1]
        for port in ports:
            wait_listening(port, self._script, "scriptserver")

    # -- addresses -------------------------------------------------------------------------
    def host(self, kind):
        """The server's address as a user would type it: "127.0.0.1:PORT"."""
        return "127.0.0.1:%d" % self.ports[kind]

    def url(self, kind, path="/"):
        scheme = "http" if kind == "script" or (is_nginx(kind) and not certificate_of(kind)) else "https"
        return "%s://%s%s" % (scheme, self.host(kind), path)

    def env(self):
        """KV_<KIND>_HOST for each server, KV_WWW for the server tree and KV_FULL_DISK_FILE
        for the full-disk file (Unix paths)."""
        e = {env_name(k): self.host(k) for k in self.ports}
        e["KV_WWW"] = self.www
        e["KV_FULL_DISK_FILE"] = self.full_disk_file
        return e

    # -- server tree -----------------------------------------------------------------------
    def write_file(self, relpath, data):
        path = os.path.join(self.www, relpath)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    # -- what the servers received ---------------------------------------------------------
    def _script_control(self, what):
        with urllib.request.urlopen(self.url("script", "/_kv/" + what), timeout=10) as r:
            return r.read()

    def script_requests(self):
        """[{method, path, agent}, ...] in the order received."""
        return json.loads(self._script_control("requests"))

    def script_reset(self):
        self._script_control("reset")

    def script_release(self, name):
        self._script_control("release/" + urllib.request.quote(name, safe=""))

    def script_fault(self, name, modes=""):
        """Makes the scripted server answer every request for a file called `name` (the last
        path segment) as if `modes` ("/_drop=100/_x", see scriptserver.py) stood before its
        path; "" drops the rule. script_reset() drops them all."""
        self._script_control("fault/" + urllib.request.quote(name, safe="") + "/" + modes.strip("/"))

    def script_tls_stall(self, skip, count, name):
        """Makes the scripted https server stall `count` TLS handshakes, after letting `skip`
        through, until `name` is released (see scriptserver.py, /_kv/tlsstall)."""
        self._script_control("tlsstall/%d/%d/%s" % (skip, count, urllib.request.quote(name, safe="")))

    def nginx_requests(self, kind=None):
        """[{port, request, status, bytes, agent}, ...] from nginx's access log (written as each
        request ends), optionally only those of one server."""
        out = []
        try:
            with open(os.path.join(self.dir, "nginx", "access.log")) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return out
        for line in lines:
            port, rest = line.split(" ", 1)
            request, rest = rest[1:].split('" ', 1)
            status, nbytes, agent = rest.split(" ", 2)
            if kind and int(port) != self.ports[kind]:
                continue
            out.append({"port": int(port), "request": request, "status": int(status),
                        "bytes": int(nbytes), "agent": agent.strip('"')})
        return out
