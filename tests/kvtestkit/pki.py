"""The tests' own certificates, made once with openssl into <build>/testpki/.

A test CA (trusted inside the project's Wine prefix only, see trust_test_ca.cpp) issues the
good server certificate, an expired one and a not-yet-valid one; a second CA, trusted nowhere,
issues the untrusted one. Those server certificates name SERVER_NAME, never 127.0.0.1, so a
client that connects by address meets a certificate for another host; only "self" names the
address itself (SELF_NAME), for the case where the name is right.

The same test CA issues the code-signing certificates of the server's publisher ("publisher",
and "publisher-renewed": another key from the same issuer, as after a renewal); a third CA
issues another publisher's ("other-publisher"). The programs are signed with osslsigncode:

    pki = ensure_pki(build_dir)
    sign_program(pki, "standin.exe", "signed.exe", "publisher")
    tampered_copy("signed.exe", "tampered.exe")     # the signature no longer verifies
    sha256_thumbprint(pki.cert("publisher"))        # 64 upper-case hex digits, what pins hold
    sha256_thumbprint(pki.issuer_cert("publisher")) # the issuing CA's
"""

import datetime
import fcntl
import hashlib
import os
import struct
import subprocess
import tempfile
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
CAS = {"ca": "KestrelVault Test CA", "untrusted-ca": "KestrelVault Untrusted Test CA",
       "other-ca": "KestrelVault Other Publisher CA"}

# Code-signing leaves: name -> (issuing CA, subject). Each has a key of its own.
CODE_SIGNERS = {
    "publisher": ("ca", "/CN=KestrelVault Test Publisher/O=KestrelVault Tests"),
    "publisher-renewed": ("ca", "/CN=KestrelVault Test Publisher Renewed/O=KestrelVault Tests"),
    "other-publisher": ("other-ca", "/CN=KestrelVault Other Publisher/O=KestrelVault Other Tests"),
}


class Pki:
    """Paths of the test PKI. Attributes: dir, ca_pem, ca_der; cert(name) and key(name) for the
    server certificates named in LEAVES, the code signers in CODE_SIGNERS and the CAs in CAS;
    issuer_cert(signer) for a code signer's CA, chain(signer) for its certificate followed by
    the CA's (what a signature carries)."""

    def __init__(self, directory):
        self.dir = directory
        self.ca_pem = os.path.join(directory, "ca.pem")
        self.ca_der = os.path.join(directory, "ca.der")

    def cert(self, name):
        return os.path.join(self.dir, name + ".pem")

    def key(self, name):
        return os.path.join(self.dir, name + ".key")

    def issuer_cert(self, signer):
        return self.cert(CODE_SIGNERS[signer][0])

    def chain(self, signer):
        return os.path.join(self.dir, signer + ".chain.pem")


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
            organizationName = optional
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
            [codesign]
            basicConstraints = critical, CA:FALSE
            keyUsage = critical, digitalSignature
            extendedKeyUsage = codeSigning
            subjectKeyIdentifier = hash
            authorityKeyIdentifier = keyid
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


def _make_code_signer(d, name, ca, subject):
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", subject,
             "-keyout", name + ".key", "-out", name + ".csr", cwd=d)
    yesterday = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=1)
    _openssl("ca", "-batch", "-notext", "-config", os.path.join(d, ca + ".db", "ca.cnf"),
             "-extensions", "codesign", "-startdate", yesterday.strftime("%Y%m%d%H%M%SZ"),
             "-days", "3650", "-in", name + ".csr", "-out", name + ".pem.new", cwd=d)
    with open(os.path.join(d, name + ".chain.pem"), "wb") as chain:
        for part in (name + ".pem.new", ca + ".pem"):
            with open(os.path.join(d, part), "rb") as f:
                chain.write(f.read())
    # Last, so that a certificate present means its chain is there too.
    os.replace(os.path.join(d, name + ".pem.new"), os.path.join(d, name + ".pem"))


def _complete(pki):
    names = list(CAS) + list(LEAVES) + list(CODE_SIGNERS)
    return (os.path.exists(os.path.join(pki.dir, "complete")) and os.path.exists(pki.ca_der)
            and all(os.path.exists(pki.cert(n)) for n in names))


def ensure_pki(build_dir):
    """Makes the PKI under build_dir/testpki unless it is complete, or what an older PKI there
    lacks; safe when several test processes ask at once. Returns a Pki."""
    d = os.path.join(build_dir, "testpki")
    os.makedirs(d, exist_ok=True)
    pki = Pki(d)
    done = os.path.join(d, "complete")
    with open(os.path.join(d, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if _complete(pki):
            return pki
        fresh = not os.path.exists(done)
        for name, subject in CAS.items():
            if fresh or not os.path.exists(pki.cert(name)):
                _make_ca(d, name, subject)
            else:
                # The CA configuration holds every leaf's extensions: rewrite it, keeping the CA.
                _write_ca_config(d, name)
        for name, (ca, nb, na) in LEAVES.items():
            if not os.path.exists(pki.cert(name)):
                _make_leaf(d, name, ca, nb, na)
        for name, (ca, subject) in CODE_SIGNERS.items():
            if not os.path.exists(pki.cert(name)):
                _make_code_signer(d, name, ca, subject)
        _openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=d)
        open(done, "w").close()
    return pki


# ----------------------------------------------------------------------------------------------
# Code signing


def sha256_thumbprint(pem_path):
    """The certificate's SHA-256 thumbprint (of its DER form): 64 upper-case hex digits, the form
    kvstamp's --publisher takes and ThumbprintHex prints."""
    der = subprocess.run(["openssl", "x509", "-in", str(pem_path), "-outform", "DER"], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout
    return hashlib.sha256(der).hexdigest().upper()


def sign_program(pki, src, dst, signer):
    """Writes src, signed by the code signer `signer` (a name in CODE_SIGNERS), to dst: SHA-256,
    the signer's certificate and its issuer's in the signature, so that the chain can be built
    from the file alone, and no time stamp (no network)."""
    if signer not in CODE_SIGNERS:
        raise ValueError("no code signer %r in the test PKI" % signer)
    dst = str(dst)
    # osslsigncode refuses to write over a file; a temporary name beside dst also keeps a
    # half-written file from ever standing at dst.
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(dst)), suffix=".signing")
    os.close(fd)
    os.unlink(tmp)
    try:
        r = subprocess.run(["osslsigncode", "sign", "-h", "sha256", "-certs", pki.chain(signer),
                            "-key", pki.key(signer), "-in", str(src), "-out", tmp],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            raise RuntimeError("osslsigncode failed for %s:\n%s" % (src, r.stdout.decode(errors="replace")))
        os.replace(tmp, dst)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return dst


def _pe_layout(data):
    """(offset of the checksum field, offset and size of the signature) of a PE file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    security_offset, security_size = struct.unpack_from("<II", data, directories + 4 * 8)
    return optional + 64, security_offset, security_size


def tampered_copy(src, dst):
    """Copies the signed program src to dst with one byte of its signed content changed: a letter
    of the DOS stub's message, which the signature's digest covers and which nothing reads when
    the program runs under Windows. The signature and the header's checksum stay as they were,
    so the signature is still there and only its digest no longer matches. Returns the offset."""
    with open(str(src), "rb") as f:
        data = bytearray(f.read())
    checksum, sig_offset, sig_size = _pe_layout(data)
    if not sig_size:
        raise ValueError("%s carries no signature" % src)
    stub = data.find(b"This program", 0x40, struct.unpack_from("<I", data, 0x3C)[0])
    if stub < 0:
        raise ValueError("%s has no DOS stub message to change" % src)
    offset = stub
    assert not (checksum <= offset < checksum + 4) and not (sig_offset <= offset < sig_offset + sig_size)
    data[offset] ^= 0x20  # "T" becomes "t"
    with open(str(dst), "wb") as f:
        f.write(data)
    return offset
