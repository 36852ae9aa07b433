"""The built program file: a 32-bit GUI executable that needs only the system's DLLs, with the
manifest and version resource it is shipped with."""

import unittest
import xml.etree.ElementTree as ET

from kvtestkit import kvpe, kvtest
from kvtestkit.kvpe import SYSTEM_DLLS

# What each build is, by the bitness of the build under test: the shipped 32-bit program, or
# the 64-bit build of the same code.
HEADERS = {32: (0x14C, 0x10B, "x86"),      # IMAGE_FILE_MACHINE_I386, PE32
           64: (0x8664, 0x20B, "amd64")}   # IMAGE_FILE_MACHINE_AMD64, PE32+
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000

# Windows maps a KnownDLL from the system directory whatever lies beside the program; any other
# DLL named in the import table is looked for in the program's own folder first, before main
# (Microsoft's documentation "Dynamic-link library search order", and the KnownDLLs key it names:
# HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs). The key's values differ by
# version (Windows 7 still has urlmon and wininet, which Windows 8 dropped); these are the ones
# Windows 7 SP1 through 11 all list, in the 32-bit (KnownDlls32) and 64-bit lists alike.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll",
    "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll",
    "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
    "wldap32.dll", "ws2_32.dll",
}
# What the program imports directly, so loads before main, before start-up restricts the DLL
# search: kernel32 (the delay-load helper's own) and the C runtime. Everything else, KnownDLLs
# too, is delay-loaded: a KnownDLL may load others by name as it starts (user32 loads imm32).
LOADED_BEFORE_MAIN = {"kernel32.dll", "msvcrt.dll"}

def local(tag):
    return tag.rsplit("}", 1)[-1]


def find_all(root, name):
    return [e for e in root.iter() if local(e.tag) == name]


class BuiltFileTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        path = kvtest.product_exe()
        if not path.exists():
            raise RuntimeError("%s is missing: build first (cmake --build build)" % path)
        cls.pe = kvpe.PEFile.open(path)

    def test_headers(self):
        pe = self.pe
        machine, magic, _ = HEADERS[kvtest.variant_bits()]
        self.assertEqual(pe.magic, magic)
        self.assertEqual(pe.machine, machine)
        self.assertEqual(pe.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)
        self.assertTrue(pe.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE)
        self.assertFalse(pe.characteristics & IMAGE_FILE_DLL)

    def test_imports_only_system_dlls(self):
        dlls = [name for name, _ in self.pe.imports()] + self.pe.delay_imports()
        self.assertIn("kernel32.dll", [d.lower() for d in dlls])
        foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
        self.assertEqual(foreign, [], "imports DLLs that a plain Windows does not have")

    def test_imports_directly_only_known_dlls(self):
        # Everything else is delay-loaded, after start-up has restricted the search (the
        # planted-DLL test shows the loads); the runtime linked in statically counts as well.
        direct = [name for name, _ in self.pe.imports()]
        self.assertEqual([d for d in direct if d.lower() not in KNOWN_DLLS], [],
                         "imported directly, so looked for beside the program before main")
        self.assertEqual([d for d in direct if d.lower() not in LOADED_BEFORE_MAIN], [],
                         "loaded before start-up restricts the search")

    def test_manifest(self):
        res = self.pe.resource(kvpe.RT_MANIFEST, 1)
        self.assertIsNotNone(res, "no manifest resource (type 24, id 1)")
        root = ET.fromstring(res.data)

        levels = find_all(root, "requestedExecutionLevel")
        self.assertEqual([(e.get("level"), e.get("uiAccess")) for e in levels],
                         [("requireAdministrator", "false")])

        identities = [e.attrib for d in find_all(root, "dependentAssembly") for e in find_all(d, "assemblyIdentity")]
        common = [a for a in identities if a.get("name") == "Microsoft.Windows.Common-Controls"]
        self.assertEqual(len(common), 1, identities)
        for attr, want in [("type", "win32"), ("version", "6.0.0.0"), ("processorArchitecture", HEADERS[kvtest.variant_bits()][2]),
                           ("publicKeyToken", "6595b64144ccf1df")]:
            with self.subTest(attr=attr):
                self.assertEqual(common[0].get(attr), want)

    def test_fixed_version(self):
        res = self.pe.resource(kvpe.RT_VERSION, 1)
        self.assertIsNotNone(res, "no version resource")
        info = kvpe.parse_version(res.data)
        self.assertEqual(info.file_version, "70.17.4.1201")
        self.assertEqual(info.product_version, "6.0.0.1")


if __name__ == "__main__":
    unittest.main(verbosity=2)
