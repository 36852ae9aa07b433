"""The tests' own certificates, made once with openssl into <build>/testpki/.

A test CA (trusted inside the project's Wine prefix only, see trust_test_ca.cpp) issues the
good server certificate, an expired one and a not-yet-valid one; a second CA, trusted nowhere,
issues the untrusted one. Those server certificates name SERVER_NAME, never 127.0.0.1, so a
client that connects by address meets a certificate for another host; only "self" names the
address itself (SELF_NAME), for the case where the name is right.
"""

import datetime
import fcntl
import os
import subprocess
import textwrap

SERVER_NAME = "kestrel.test"
SELF_NAME = "127.0.0.1"

# name -> (issuing CA, notBefore, notAfter); None means "now" / "now + 10 years".
LEAVES = {
    "good": ("ca", None, None),
    "expired": ("ca", "20200101000000Z", "20210101000000Z"),
    "notyet": ("ca", "20900101000000Z", "20910101000000Z"),
    "untrusted": ("untrusted-ca", None, None),
    "self": ("ca", None, None),
}
CAS = {"ca": "KestrelVault Test CA", "untrusted-ca": "KestrelVault Untrusted Test CA"}


class Pki:
    """Paths of the test PKI. Attributes: dir, ca_pem, ca_der; cert(name) and key(name) for the
    server certificates named in LEAVES."""

    def __init__(self, directory):
        self.dir = directory
        self.ca_pem = os.path.join(directory, "ca.pem")
        self.ca_der = os.path.join(directory, "ca.der")

    def cert(self, name):
        return os.path.join(self.dir, name + ".pem")

    def key(self, name):
        return os.path.join(self.dir, name + ".key")


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _make_ca(d, name, subject):
    cadir = os.path.join(d, name + ".db")
    os.makedirs(os.path.join(cadir, "new"), exist_ok=True)
    open(os.path.join(cadir, "index.txt"), "w").close()
    with open(os.path.join(cadir, "serial"), "w") as f:
        f.write("1000\n")
    _write_ca_config(d, name)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
             "-subj", "/CN=" + subject, "-keyout", name + ".key", "-out", name + ".pem",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)


def _write_ca_config(d, name):
    cadir = os.path.join(d, name + ".db")
    with open(os.path.join(cadir, "ca.cnf"), "w") as f:
        f.write(textwrap.dedent(f"""\
            [ca]
            default_ca = this
            [this]
            dir = {cadir}
            database = $dir/index.txt
            new_certs_dir = $dir/new
            serial = $dir/serial
            certificate = {d}/{name}.pem
            private_key = {d}/{name}.key
            default_md = sha256
            default_days = 3650
            policy = anything
            unique_subject = no
            copy_extensions = copy
            [anything]
            commonName = supplied
            [leaf]
            basicConstraints = critical, CA:FALSE
            keyUsage = critical, digitalSignature, keyEncipherment
            extendedKeyUsage = serverAuth
            subjectAltName = DNS:{SERVER_NAME}
            [leaf-self]
            basicConstraints = critical, CA:FALSE
            keyUsage = critical, digitalSignature, keyEncipherment
            extendedKeyUsage = serverAuth
            subjectAltName = IP:{SELF_NAME}, DNS:{SELF_NAME}
            """))


def _make_leaf(d, name, ca, not_before, not_after):
    subject = SELF_NAME if name == "self" else SERVER_NAME
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + subject,
             "-keyout", name + ".key", "-out", name + ".csr", cwd=d)
    # A day's margin, so that a clock a little behind still finds the certificate valid.
    yesterday = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=1)
    dates = ["-startdate", not_before or yesterday.strftime("%Y%m%d%H%M%SZ")]
    dates += ["-enddate", not_after] if not_after else ["-days", "3650"]
    _openssl("ca", "-batch", "-notext", "-config", os.path.join(d, ca + ".db", "ca.cnf"),
             "-extensions", "leaf-self" if name == "self" else "leaf", *dates, "-in", name + ".csr", "-out", name + ".pem", cwd=d)


def ensure_pki(build_dir):
    """Makes the PKI under build_dir/testpki unless it is complete, or what an older PKI there
    lacks; safe when several test processes ask at once. Returns a Pki."""
    d = os.path.join(build_dir, "testpki")
    os.makedirs(d, exist_ok=True)
    pki = Pki(d)
    done = os.path.join(d, "complete")
    with open(os.path.join(d, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(done) and all(os.path.exists(pki.cert(n)) for n in LEAVES):
            return pki
        if not os.path.exists(done):
            for name, subject in CAS.items():
                _make_ca(d, name, subject)
        else:
            # The CA configuration holds every leaf's extensions: rewrite it, keeping the CAs.
            for name in CAS:
                _write_ca_config(d, name)
        for name, (ca, nb, na) in LEAVES.items():
            if not os.path.exists(pki.cert(name)):
                _make_leaf(d, name, ca, nb, na)
        _openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=d)
        open(done, "w").close()
    return pki
