"""The stand-ins for a KestrelVault server's programs, and a server tree that offers them.

    from kvtestkit.kvstandins import fill_server_tree, read_records, standin_env
    fill_server_tree(www, "Acme", build_dir)   # www: a kvservers server tree (s.www)
    fill_server_tree(www, "Acme", build_dir, sign="publisher")                  # both signed
    fill_server_tree(www, "Acme", build_dir, sign={ACTIVEX_NAME: "tampered"})   # one of them
    env = standin_env(win_path)                 # given to the setup program, inherited by both
    ...
    records = read_records(unix_path)           # [{"event": "start", "role": ..., ...}, ...]

The stand-ins ("KestrelVAULT ActiveX 7i_ko.exe" and "KVUpdate.exe", built into <build>/standins/
from standin.cpp) record every start and end as one JSON line in the file named by
KV_STANDIN_RECORD; KV_STANDIN_<ROLE>_RUN_MS and KV_STANDIN_<ROLE>_EXIT (ROLE ACTIVEX or
UPDATER) choose how long each runs and its exit code. See standin.cpp for the record fields.
"""

import json
import os
import shutil

from kvtestkit import pki as pki_mod

ACTIVEX_NAME = "KestrelVAULT ActiveX 7i_ko.exe"
UPDATER_NAME = "KVUpdate.exe"
DESCRIPTOR_NAME = "kestrelvault_server.exe"

# Where each item lies below the server tree (the server's "/app/" paths).
ACTIVEX_PATH = "app/" + ACTIVEX_NAME
UPDATER_PATH = "app/update/" + UPDATER_NAME
DESCRIPTOR_PATH = "app/update/" + DESCRIPTOR_NAME


def standin_dir(build_dir):
    return os.path.join(str(build_dir), "standins")


def descriptor_bytes(site_name, newline="\r\n"):
    """A site descriptor naming site_name (UTF-8), in the form a server publishes it."""
    lines = ['<?xml version="1.0" encoding="utf-8"?>', "<kestrelvault>",
             "  <servicename>%s</servicename>" % site_name, "  <version>7.0</version>", "</kestrelvault>"]
    return (newline.join(lines) + newline).encode("utf-8")


# How a program is offered: unsigned as built, signed by one of the tests' code signers
# (pki.CODE_SIGNERS: "publisher", "publisher-renewed", "other-publisher"), or signed by
# "publisher" and then changed in one byte, so that its signature no longer verifies.
# A file that begins as a program does ("MZ", e_lfanew, "PE\0\0" there) and is nothing more: it
# passes the check that a fetched file is a program at all, and then fails to start.
HEADER_ONLY_IMAGE = b"MZ" + b"\0" * 0x3A + b"\x40\0\0\0" + b"PE\0\0" + b"\0" * 20

UNSIGNED = "unsigned"
TAMPERED = "tampered"
SIGNINGS = (UNSIGNED, TAMPERED) + tuple(pki_mod.CODE_SIGNERS)


def place_program(source, target, signing, build_dir):
    """Writes the program source to target as `signing` (one of SIGNINGS; None: unsigned)."""
    os.makedirs(os.path.dirname(str(target)), exist_ok=True)
    if signing in (None, UNSIGNED):
        shutil.copyfile(str(source), str(target))
        return
    if signing not in SIGNINGS:
        raise ValueError("unknown signing %r (one of %s)" % (signing, ", ".join(SIGNINGS)))
    pki = pki_mod.ensure_pki(str(build_dir))
    if signing == TAMPERED:
        pki_mod.sign_program(pki, source, str(target) + ".signed", "publisher")
        pki_mod.tampered_copy(str(target) + ".signed", target)
        os.unlink(str(target) + ".signed")
    else:
        pki_mod.sign_program(pki, source, target, signing)


def fill_server_tree(www, site_name, build_dir, descriptor=None, sign=None):
    """Puts both stand-ins and a descriptor for site_name (or the bytes `descriptor`) at their
    server paths below www. sign says how the stand-ins are offered (see SIGNINGS): one value
    for both, or {ACTIVEX_NAME or UPDATER_NAME: value} (a program not named stays unsigned);
    None: both unsigned. Returns {relative path: host path} of what it wrote."""
    if not isinstance(sign, dict):
        sign = {ACTIVEX_NAME: sign, UPDATER_NAME: sign}
    unknown = set(sign) - {ACTIVEX_NAME, UPDATER_NAME}
    if unknown:
        raise ValueError("no stand-in named %s" % ", ".join(sorted(unknown)))
    written = {}
    for name, rel in ((ACTIVEX_NAME, ACTIVEX_PATH), (UPDATER_NAME, UPDATER_PATH)):
        source = os.path.join(standin_dir(build_dir), name)
        if not os.path.isfile(source):
            raise RuntimeError("%s is missing: build the project first" % source)
        target = os.path.join(str(www), rel)
        place_program(source, target, sign.get(name), build_dir)
        written[rel] = target
    target = os.path.join(str(www), DESCRIPTOR_PATH)
    with open(target, "wb") as f:
        f.write(descriptor if descriptor is not None else descriptor_bytes(site_name))
    written[DESCRIPTOR_PATH] = target
    return written


def standin_env(record, run_ms=None, activex_exit=None, updater_exit=None):
    """The environment that tells both stand-ins where to record (a Windows path), and if given
    how long each runs and the exit code of each."""
    env = {"KV_STANDIN_RECORD": record}
    for role, run, code in (("ACTIVEX", run_ms, activex_exit), ("UPDATER", run_ms, updater_exit)):
        if run is not None:
            env["KV_STANDIN_%s_RUN_MS" % role] = str(run)
        if code is not None:
            env["KV_STANDIN_%s_EXIT" % role] = str(code)
    return env


def read_records(path):
    """The stand-ins' records in the order written; [] when none has run."""
    try:
        with open(str(path), "rb") as f:
            data = f.read().decode("utf-8")
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in data.splitlines() if line.strip()]
