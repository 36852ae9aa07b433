"""kvstamp on copies of the built setup program: the native Linux build and the Windows build
(under Wine) read back what they write (the address and the publisher pins), give back the
file as built, keep the PE checksum valid and leave the file byte for byte unchanged whenever
they refuse.

Run by ctest with the build directory in KV_BUILD; the Windows build needs the project's Wine
prefix (scripts/test.sh provides it).
"""

import hashlib
import shutil
import struct
import sys
import tempfile
import unittest
from pathlib import Path

from kvtestkit import kvtest

BUILD = kvtest.build_dir()
SETUP = BUILD / "KestrelVault_Setup.exe"
NATIVE = BUILD / "native" / "kvstamp"
WINDOWS = BUILD / "kvstamp.exe"
PREFIX = kvtest.wine_prefix()

MARKER = "20150611_{1AE5E6A6-F03B-424b-BC04-6570B78FA9A2}_{73918AC7-D49B-4336-A54C-E9F5B876E24B}"
END_MARKER = "KestrelVault.UpdateURLSlot.End.{6B48BEC3-635F-4429-8BDB-411624AF0C02}"
SLOT_BYTES = 2048
PIN_END_MARKER = "KestrelVault.PublisherPinSlot.End.{0D7C5E2B-9A41-4F3E-B6D8-2C5A7E91F043}"
PIN_SLOT_BYTES = 4 + 32 * 16

# Thumbprints as certificates have them, and the same in the forms an administrator may paste.
PIN_A = hashlib.sha256(b"KestrelVault test publisher A").digest()
PIN_B = hashlib.sha256(b"KestrelVault test issuer B").digest()
PIN_C = hashlib.sha256(b"KestrelVault test publisher C").digest()


def hex_upper(pin):
    return pin.hex().upper()


def hex_colons(pin):
    return ":".join("%02x" % b for b in pin)


def hex_spaces(pin):
    return " ".join("%02X" % b for b in pin)


# ---------------------------------------------------------------------------------------------
# The file format, read independently of the tool

def utf16(text):
    return text.encode("utf-16-le")


def slot_offset(data):
    """Offset of the slot, found by its end marker (the way that survives stamping)."""
    hits = []
    at = data.find(utf16(END_MARKER + "\0"))
    while at != -1:
        hits.append(at - SLOT_BYTES)
        at = data.find(utf16(END_MARKER + "\0"), at + 1)
    assert len(hits) == 1, "expected one slot, found %d" % len(hits)
    return hits[0]


def optional_header(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    opt = pe + 24
    # The build under test: PE32 for the shipped program, PE32+ for the 64-bit build. The
    # checksum lies at the same offset in both.
    want = {32: 0x10B, 64: 0x20B}[kvtest.variant_bits()]
    assert struct.unpack_from("<H", data, opt)[0] == want, "a %d-bit image" % kvtest.variant_bits()
    return opt


def checksum_field(data):
    return struct.unpack_from("<I", data, optional_header(data) + 64)[0]


def with_checksum_field(data, value):
    out = bytearray(data)
    struct.pack_into("<I", out, optional_header(data) + 64, value)
    return bytes(out)


def pe_checksum(data):
    """The standard image checksum: 16-bit words summed with end-around carry, the checksum
    field counted as zero, plus the file length."""
    b = bytearray(data)
    off = optional_header(data) + 64
    b[off:off + 4] = b"\0\0\0\0"
    if len(b) % 2:
        b += b"\0"
    total = sum(struct.unpack("<%dH" % (len(b) // 2), b))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def signed_copy(data):
    """data with a certificate table in its security directory, as signing leaves it."""
    opt = optional_header(data)
    # The data directories follow the optional header's fixed part: 96 bytes in PE32, 112 in
    # PE32+ (its image base and stack and heap sizes are 64-bit).
    directories = opt + (112 if kvtest.variant_bits() == 64 else 96)
    cert = struct.pack("<IHH", 8, 0x0200, 0x0002)  # WIN_CERTIFICATE header, no content
    out = bytearray(data) + cert
    struct.pack_into("<II", out, directories + 4 * 8, len(data), len(cert))
    return bytes(out)


def slot_text(data):
    slot = data[slot_offset(data):][:SLOT_BYTES]
    return slot.decode("utf-16-le").split("\0", 1)[0]


def pin_slot_offsets(data):
    """Offsets of the pin slots, found by their end marker."""
    marker = utf16(PIN_END_MARKER + "\0")
    hits = []
    at = data.find(marker)
    while at != -1:
        hits.append(at - PIN_SLOT_BYTES)
        at = data.find(marker, at + 1)
    return hits


def pin_slot(data):
    hits = pin_slot_offsets(data)
    assert len(hits) == 1, "expected one pin slot, found %d" % len(hits)
    return data[hits[0]:][:PIN_SLOT_BYTES]


def pin_slot_holding(pins, count=None):
    """The slot's bytes with these pins: the count, the thumbprints, zeros."""
    body = struct.pack("<I", len(pins) if count is None else count) + b"".join(pins)
    return body + bytes(PIN_SLOT_BYTES - len(body))


def with_valid_checksum(data):
    return with_checksum_field(data, pe_checksum(data))


def with_pin_slot(data, slot):
    at = pin_slot_offsets(data)[0]
    return with_valid_checksum(data[:at] + slot + data[at + PIN_SLOT_BYTES:])


def without_pin_slot(data):
    """data as a setup program built before pins existed: no pin end marker, and a checksum
    as its linker would have made it."""
    marker = utf16(PIN_END_MARKER + "\0")
    at = data.find(marker)
    return with_valid_checksum(data[:at] + bytes(len(marker)) + data[at + len(marker):])


# ---------------------------------------------------------------------------------------------
# The two builds of the tool

NATIVE_TOOL = kvtest.Tool.native(NATIVE)
WINDOWS_TOOL = kvtest.Tool.windows(WINDOWS)
TOOLS = [NATIVE_TOOL, WINDOWS_TOOL]


class KvstampTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for f in (SETUP, NATIVE, WINDOWS):
            if not f.exists():
                raise RuntimeError("%s is missing: build first" % f)
        if not (PREFIX / "system.reg").exists():
            raise RuntimeError("no Wine prefix at %s: run through scripts/test.sh" % PREFIX)
        cls.built = SETUP.read_bytes()

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="kvstamp-test-"))
        self.addCleanup(shutil.rmtree, self.dir)

    def copy(self, name="setup.exe", data=None):
        path = self.dir / name
        path.write_bytes(self.built if data is None else data)
        return path

    def ok(self, tool, *args):
        rc, out, err = tool.run(*args)
        self.assertEqual(rc, 0, "%s %s: %s" % (tool.name, args, err))
        return out, err

    # -- the build itself

    def test_build_carries_one_slot_as_built(self):
        slot = self.built[slot_offset(self.built):][:SLOT_BYTES]
        self.assertEqual(slot[:2], b"\0\0")
        self.assertEqual(slot[2:2 + 172], utf16(MARKER), "marker at code units 1 to 86")
        self.assertEqual(slot[174:], bytes(SLOT_BYTES - 174))
        # The linker gave the image a checksum: the reference agrees with it, which checks the
        # reference that the tests below hold the tool's checksums against.
        self.assertNotEqual(checksum_field(self.built), 0)
        self.assertEqual(checksum_field(self.built), pe_checksum(self.built))

    def test_build_carries_one_empty_pin_slot(self):
        self.assertEqual(pin_slot(self.built), bytes(PIN_SLOT_BYTES), "count 0, zeros")

    def test_tools_carry_no_slot_of_their_own(self):
        # They widen the markers at run time; a wide copy in their files would be a slot.
        for path in (NATIVE, WINDOWS):
            data = path.read_bytes()
            with self.subTest(path.name):
                self.assertEqual(pin_slot_offsets(data), [])
                self.assertNotIn(utf16(END_MARKER + "\0"), data)

    # -- set, show, clear

    def test_set_show_clear_round_trip(self):
        for tool in TOOLS:
            with self.subTest(tool.name):
                f = self.copy()
                out, _ = self.ok(tool, "show", f)
                self.assertIn("empty", out)

                self.ok(tool, "set", f, "kv.example.com:8080/long/path")
                self.assertEqual(self.ok(tool, "show", f)[0], "kv.example.com:8080/long/path\n")

                # A shorter URL leaves nothing of the longer one: the file equals a fresh stamp.
                self.ok(tool, "set", f, "kv.example.com")
                self.assertEqual(self.ok(tool, "show", f)[0], "kv.example.com\n")
                fresh = self.copy("fresh.exe")
                self.ok(tool, "set", fresh, "kv.example.com")
                self.assertEqual(f.read_bytes(), fresh.read_bytes())
                slot = f.read_bytes()[slot_offset(f.read_bytes()):][:SLOT_BYTES]
                self.assertEqual(slot, utf16("kv.example.com") + bytes(SLOT_BYTES - 28))

                data = f.read_bytes()
                self.assertEqual(checksum_field(data), pe_checksum(data), "checksum recomputed")

                self.ok(tool, "clear", f)
                self.assertEqual(f.read_bytes(), self.built, "clear gives back the file as built")
                self.assertIn("empty", self.ok(tool, "show", f)[0])
                self.assertEqual(sorted(p.name for p in self.dir.iterdir()), ["fresh.exe", "setup.exe"],
                                 "no temporary file left behind")

    def test_longest_url_fits(self):
        f = self.copy()
        url = "h" * 1023
        self.ok(NATIVE_TOOL, "set", f, url)
        self.assertEqual(slot_text(f.read_bytes()), url)
        self.assertEqual(f.read_bytes()[slot_offset(f.read_bytes()) + 2046:][:2], b"\0\0", "its NUL is the last unit")

    def test_output_copy_leaves_the_input(self):
        for tool in TOOLS:
            with self.subTest(tool.name):
                f = self.copy()
                out = self.dir / "stamped.exe"
                self.ok(tool, "set", f, "kv.example.com", "-o", out)
                self.assertEqual(f.read_bytes(), self.built)
                self.assertEqual(slot_text(out.read_bytes()), "kv.example.com")
                self.ok(tool, "clear", out, "-o", self.dir / "cleared.exe")
                self.assertEqual((self.dir / "cleared.exe").read_bytes(), self.built)

    def test_native_build_keeps_the_executable_bit(self):
        f = self.copy()
        f.chmod(0o755)
        self.ok(NATIVE_TOOL, "set", f, "kv.example.com")
        self.assertEqual(f.stat().st_mode & 0o777, 0o755)

    def test_zero_checksum_stays_zero(self):
        f = self.copy(data=with_checksum_field(self.built, 0))
        self.ok(NATIVE_TOOL, "set", f, "kv.example.com")
        self.assertEqual(checksum_field(f.read_bytes()), 0)

    def test_address_with_a_scheme_is_stored_and_shown_as_given(self):
        # The program reads the scheme from the slot's text, so the text goes in unchanged.
        for tool in TOOLS:
            for url in ("https://vault.example.com", "HTTP://vault.example.com:8080/x", "hTTpS://10.0.0.1"):
                with self.subTest(tool=tool.name, url=url):
                    f = self.copy()
                    _, err = self.ok(tool, "set", f, url)
                    self.assertEqual(err, "", "no warning for a scheme")
                    self.assertEqual(slot_text(f.read_bytes()), url)
                    self.assertEqual(self.ok(tool, "show", f)[0], url + "\n")

    def test_non_ascii_url_is_written_with_a_warning(self):
        f = self.copy()
        out, err = self.ok(NATIVE_TOOL, "set", f, "저장소.example.kr")
        self.assertIn("ASCII", err)
        self.assertIn("code page", err)
        self.assertEqual(slot_text(f.read_bytes()), "저장소.example.kr")
        self.assertEqual(self.ok(NATIVE_TOOL, "show", f)[0], "저장소.example.kr\n")
        _, err = self.ok(NATIVE_TOOL, "set", f, "kv.example.com")
        self.assertEqual(err, "", "no warning for an ASCII host")

    def test_signed_file_only_with_force(self):
        for tool in TOOLS:
            with self.subTest(tool.name):
                signed = signed_copy(self.built)
                f = self.copy(data=signed)
                rc, _, err = tool.run("set", f, "kv.example.com")
                self.assertEqual(rc, 1)
                self.assertIn("signature", err)
                self.assertEqual(f.read_bytes(), signed)

                _, err = self.ok(tool, "set", f, "kv.example.com", "--force")
                self.assertIn("signature", err)
                self.assertEqual(slot_text(f.read_bytes()), "kv.example.com")
                self.assertEqual(self.ok(tool, "show", f)[0], "kv.example.com\n", "show reads a signed file")

    # -- publisher pins

    def test_publisher_pins_round_trip(self):
        cases = [
            ("one pin", [PIN_A], [hex_upper(PIN_A)]),
            ("two pins, lower case with colons and upper case with spaces", [PIN_B, PIN_A],
             [hex_colons(PIN_B), hex_spaces(PIN_A)]),
        ]
        for tool in TOOLS:
            for why, pins, given in cases:
                with self.subTest(tool=tool.name, case=why):
                    f = self.copy()
                    args = [a for text in given for a in ("--publisher", text)]
                    self.ok(tool, "set", f, "kv.example.com", *args)
                    listed = "".join("Publisher: %s\n" % hex_upper(p) for p in pins)
                    self.assertEqual(self.ok(tool, "show", f)[0], "kv.example.com\n" + listed, "in the order given")
                    data = f.read_bytes()
                    self.assertEqual(pin_slot(data), pin_slot_holding(pins))
                    self.assertEqual(slot_text(data), "kv.example.com", "the address beside them")
                    self.assertEqual(checksum_field(data), pe_checksum(data), "checksum recomputed")

                    # Again without --publisher: the pins go, and the tool says which.
                    _, err = self.ok(tool, "set", f, "kv.example.com")
                    self.assertIn("%d publisher pin" % len(pins), err)
                    self.assertIn("removed", err)
                    self.assertIn("pass --publisher again", err)
                    for p in pins:
                        self.assertIn(hex_upper(p), err)
                    self.assertEqual(pin_slot(f.read_bytes()), bytes(PIN_SLOT_BYTES))
                    self.assertEqual(self.ok(tool, "show", f)[0], "kv.example.com\n", "no pin lines")

                    self.ok(tool, "set", f, "kv.example.com", *args)
                    self.ok(tool, "clear", f)
                    self.assertEqual(f.read_bytes(), self.built, "clear gives back both slots as built")

    def test_replacing_pins_warns_only_of_those_dropped(self):
        for tool in TOOLS:
            with self.subTest(tool.name):
                f = self.copy()
                self.ok(tool, "set", f, "kv.example.com", "--publisher", hex_upper(PIN_A),
                        "--publisher", hex_upper(PIN_B))
                _, err = self.ok(tool, "set", f, "kv.example.com", "--publisher", hex_upper(PIN_B),
                                 "--publisher", hex_upper(PIN_C))
                self.assertIn("1 publisher pin removed", err)
                self.assertIn(hex_upper(PIN_A), err)
                self.assertNotIn(hex_upper(PIN_B), err, "a pin given again is kept, not removed")
                self.assertEqual(pin_slot(f.read_bytes()), pin_slot_holding([PIN_B, PIN_C]))
                _, err = self.ok(tool, "set", f, "other.example.com", "--publisher", hex_upper(PIN_B),
                                 "--publisher", hex_upper(PIN_C))
                self.assertEqual(err, "", "the same pins again: nothing to warn of")

    def test_full_slot(self):
        pins = [hashlib.sha256(b"pin %d" % i).digest() for i in range(16)]
        f = self.copy()
        self.ok(NATIVE_TOOL, "set", f, "kv.example.com", *[a for p in pins for a in ("--publisher", p.hex())])
        self.assertEqual(pin_slot(f.read_bytes()), pin_slot_holding(pins))
        self.assertEqual(self.ok(WINDOWS_TOOL, "show", f)[0].splitlines()[1:],
                         ["Publisher: %s" % hex_upper(p) for p in pins])

    def test_bad_publishers_are_usage_errors(self):
        good = hex_upper(PIN_A)
        seventeen = [hashlib.sha256(b"pin %d" % i).hexdigest() for i in range(17)]
        cases = [
            ("63 digits", [good[:63]]),
            ("65 digits", [good + "0"]),
            ("31 bytes with colons", [hex_colons(PIN_A)[:-3]]),
            ("not hex", ["G" + good[1:]]),
            ("a colon inside a byte", [good[:1] + ":" + good[1:]]),
            ("two colons between bytes", [good[:2] + "::" + good[2:]]),
            ("colon at the end", [hex_colons(PIN_A) + ":"]),
            ("blank in front", [" " + good]),
            ("0x prefix", ["0x" + good]),
            ("empty", [""]),
            ("17 pins", seventeen),
            ("duplicate", [good, hex_upper(PIN_B), good]),
            ("duplicate in another form", [good, hex_colons(PIN_A)]),
        ]
        for tool in TOOLS:
            for why, given in cases:
                with self.subTest(tool=tool.name, case=why):
                    f = self.copy()
                    out = self.dir / "out.exe"
                    args = [a for text in given for a in ("--publisher", text)]
                    rc, _, err = tool.run("set", f, "kv.example.com", *args, "-o", out)
                    self.assertEqual(rc, 2, err)
                    self.assertIn("--publisher", err)
                    self.assertEqual(f.read_bytes(), self.built, "file changed")
                    self.assertFalse(out.exists(), "copy written")

    def test_file_without_pin_slot(self):
        # A setup program built before pins existed: the address as before, no word of pins.
        older = without_pin_slot(self.built)
        self.assertEqual(pin_slot_offsets(older), [])
        for tool in TOOLS:
            with self.subTest(tool.name):
                f = self.copy(data=older)
                rc, _, err = tool.run("set", f, "kv.example.com", "--publisher", hex_upper(PIN_A))
                self.assertEqual(rc, 1, err)
                self.assertIn("no publisher pin slot", err)
                self.assertEqual(f.read_bytes(), older)

                _, err = self.ok(tool, "set", f, "kv.example.com")
                self.assertEqual(err, "")
                self.assertEqual(slot_text(f.read_bytes()), "kv.example.com")
                self.assertEqual(self.ok(tool, "show", f)[0], "kv.example.com\n")
                self.ok(tool, "clear", f)
                self.assertEqual(f.read_bytes(), older)

    # -- refusals

    def refusal_cases(self):
        """(why, file content, arguments after the file, text expected in the message)."""
        slot = slot_offset(self.built)
        two_slots = self.built + self.built[slot:slot + SLOT_BYTES + len(utf16(END_MARKER + "\0"))]
        no_end = bytearray(self.built)
        no_end[slot + SLOT_BYTES] ^= 0xFF
        stamped = self.built
        pins = pin_slot_offsets(self.built)[0]
        two_pin_slots = self.built + self.built[pins:pins + PIN_SLOT_BYTES + len(utf16(PIN_END_MARKER + "\0"))]
        count_17 = with_pin_slot(self.built, pin_slot_holding([PIN_A] * 16, count=17))
        return [
            ("text file", b"[updateurl]\nurl=kv.example.com\n", ["set", "kv.example.com"], "not a PE image"),
            ("MZ without PE header", self.built[:64] + bytes(100), ["set", "kv.example.com"], "not a PE image"),
            ("empty file", b"", ["clear"], "not a PE image"),
            ("PE image without a slot", WINDOWS.read_bytes(), ["set", "kv.example.com"], "no URL slot"),
            ("two slots", two_slots, ["set", "kv.example.com"], "2 URL slots"),
            ("two slots, show", two_slots, ["show"], "2 URL slots"),
            ("marker without end marker", bytes(no_end), ["set", "kv.example.com"], "end marker"),
            ("URL of 1024 code units", stamped, ["set", "u" * 1024], "1024 UTF-16 code units"),
            ("URL of 1024 code units with a surrogate pair", stamped, ["set", "u" * 1022 + "\U0001F600"],
             "1024 UTF-16 code units"),
            ("empty URL", stamped, ["set", ""], "empty"),
            ("signed", signed_copy(self.built), ["clear"], "signature"),
            ("signed, pins given", signed_copy(self.built), ["set", "kv.example.com", "--publisher", hex_upper(PIN_A)],
             "signature"),
            ("two pin slots", two_pin_slots, ["set", "kv.example.com"], "2 publisher pin slots"),
            ("two pin slots, show", two_pin_slots, ["show"], "2 publisher pin slots"),
            ("pin count 17, show", count_17, ["show"], "count of 17"),
        ]

    def test_refusals_leave_the_file_unchanged(self):
        for tool in TOOLS:
            for why, content, args, message in self.refusal_cases():
                if tool is WINDOWS_TOOL and any(ord(c) > 0x7F for a in args for c in a):
                    continue  # non-ASCII arguments reach a Wine program only with a host locale
                with self.subTest(tool=tool.name, case=why):
                    f = self.copy(data=content)
                    out = self.dir / "out.exe"
                    for extra in ([], ["-o", out]) if args[0] != "show" else ([],):
                        rc, _, err = tool.run(args[0], f, *args[1:], *extra)
                        self.assertEqual(rc, 1, err)
                        self.assertIn(message, err)
                        self.assertEqual(f.read_bytes(), content, "file changed")
                        self.assertFalse(out.exists(), "copy written")
                        self.assertEqual([p.name for p in self.dir.iterdir()], ["setup.exe"], "stray file")

    def test_missing_file_and_bad_command_lines(self):
        cases = [
            (["show", self.dir / "missing.exe"], 1, "cannot open"),
            ([], 2, "no command"),
            (["stamp", self.dir / "x.exe"], 2, "unknown command"),
            (["set", self.dir / "x.exe"], 2, "wrong number of arguments"),
            (["show", self.dir / "x.exe", "-o", self.dir / "y.exe"], 2, "show takes neither"),
            (["set", self.dir / "x.exe", "kv", "-o"], 2, "-o needs"),
            (["set", self.dir / "x.exe", "kv", "--frce"], 2, "unknown option"),
            (["set", self.dir / "x.exe", "kv", "--publisher"], 2, "--publisher needs"),
            (["clear", self.dir / "x.exe", "--publisher", hex_upper(PIN_A)], 2, "only set takes --publisher"),
            (["show", self.dir / "x.exe", "--publisher", hex_upper(PIN_A)], 2, "only set takes --publisher"),
        ]
        for tool in TOOLS:
            for args, code, message in cases:
                with self.subTest(tool=tool.name, args=[str(a) for a in args]):
                    rc, _, err = tool.run(*args)
                    self.assertEqual(rc, code, err)
                    self.assertIn(message, err)

    def test_help(self):
        for tool in TOOLS:
            with self.subTest(tool.name):
                out, _ = self.ok(tool, "--help")
                for word in ("kvstamp set", "kvstamp show", "kvstamp clear", "--force", "-o OUT.exe",
                             "--publisher SHA256"):
                    self.assertIn(word, out)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[1:])
