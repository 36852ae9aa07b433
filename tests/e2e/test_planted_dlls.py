"""DLLs planted beside the program. The program runs elevated from wherever the user saved it,
a folder every program of the user can write; a DLL there named like a system DLL that is not a
KnownDLL would run elevated. Wine loads its own built-in DLL by default even when such a file
lies beside the program, so the runs here tell it to prefer the native one (n,b) for each name
planted, and the folder holds a marker DLL of that name
(tests/e2e/planted): loaded into a process, a marker writes a line naming it.

Only names outside the KnownDLLs are planted: Windows maps a KnownDLL from the system directory
whatever the folder holds, while Wine's own built-in DLLs load some by name through the folder
(its imm32 delay-loads ole32 so), which says nothing about the program.

A probe program in the same folder loads each name under the default search first: every marker
must write its line, so the setup can see a planted DLL being loaded. Then a stamped copy there
installs unattended over http, which uses every one of those DLLs: no marker may write a line
from any other process, and the run must end normally (exit code 0, everything installed).
"""

import shutil
import unittest

from kvtestkit import kvtest, kvwizard
from test_built_file import KNOWN_DLLS

PLANTED = kvtest.build_dir() / "planted"
PROBE = "kv_planted_probe.exe"
# The DLLs outside the KnownDLLs whose functions the program calls (the import table showed
# them before they were delay-loaded); the build makes a marker for every DLL it delay-loads.
USED_BEYOND_KNOWN_DLLS = {"comctl32.dll", "crypt32.dll", "netapi32.dll", "urlmon.dll", "version.dll", "wininet.dll",
                          "wintrust.dll"}
# A program that imports a marker directly crashes on its stubs, or hangs: the run has a limit.
RUN_LIMIT_S = 180


def marker_lines(path):
    """(dll path, process path) per marker line in the file; [] when there is none."""
    if not path.exists():
        return []
    out = []
    for line in path.read_bytes().decode("utf-8", "replace").splitlines():
        parts = line.split("\t")
        if len(parts) == 4 and parts[0] == "marker":
            out.append((parts[2], parts[3]))
    return out


class PlantedDllTest(kvwizard.WholeRunTestCase):

    dir_prefix = "kvplant"
    server_kinds = ("http",)

    def setUp(self):
        super().setUp()
        self.markers = sorted(p.name.lower() for p in PLANTED.glob("*.dll") if p.name.lower() not in KNOWN_DLLS)
        if not self.markers:
            raise RuntimeError("no marker DLLs in %s: build first" % PLANTED)

    def overrides(self):
        names = ",".join(name[:-len(".dll")] for name in self.markers)
        return "mscoree,mshtml=;%s=n,b" % names

    def test_no_planted_dll_loads_into_the_program(self):
        self.assertEqual(sorted(USED_BEYOND_KNOWN_DLLS - set(self.markers)), [], "DLLs without a marker")

        host = self.serve_site(self.servers, "http", "Planted")
        exe = self.stamped_copy(host)
        folder = exe.parent
        for name in self.markers + [PROBE]:
            shutil.copyfile(PLANTED / name, folder / name)

        # The control: loaded by name under the default search, each planted file is taken.
        probe_log = self.dir / "probe-markers.txt"
        code, out, _ = kvtest.wine_run(folder / PROBE, *self.markers, timeout=60, env={
            "WINEDLLOVERRIDES": self.overrides(), "KV_MARKER_LOG": self.win_dir + r"\probe-markers.txt"})
        self.assertEqual(code, 0, out.decode("utf-8", "replace"))
        taken = sorted({dll.rsplit("\\", 1)[-1].lower() for dll, _ in marker_lines(probe_log)})
        self.assertEqual(taken, self.markers, "the probe did not load every marker: the setup shows nothing")

        env = dict(self.env, WINEDLLOVERRIDES=self.overrides(), KV_MARKER_LOG=self.win_dir + r"\markers.txt")
        process = kvtest.start_product(exe=exe, env=env)
        try:
            code = process.wait(RUN_LIMIT_S)
        except AssertionError:
            code = None
        finally:
            process.stop()

        loaded = marker_lines(self.dir / "markers.txt")
        self.assertEqual(loaded, [], "planted DLLs loaded (DLL, process)")
        self.assertEqual(code, 0, "the run did not end normally (None: still running after %d s)" % RUN_LIMIT_S)
        self.assert_installed(host, https=False, silent=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
