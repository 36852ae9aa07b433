"""A small reader of PE files (Windows executables) in plain Python: headers, sections, import
tables, the resource tree and version resources. Enough to check what the build produced and
where things sit in the file; no writing.
"""

import struct
from collections import namedtuple

# DLLs every Windows installation has; the runtime libraries of the compiler are not among them.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "advapi32.dll", "shell32.dll",
    "wininet.dll", "urlmon.dll", "ole32.dll", "oleaut32.dll", "version.dll", "netapi32.dll",
    "msvcrt.dll", "shlwapi.dll", "ws2_32.dll", "crypt32.dll", "comdlg32.dll", "secur32.dll",
    "ntdll.dll", "userenv.dll", "rpcrt4.dll", "winmm.dll", "uxtheme.dll", "psapi.dll", "wintrust.dll",
}


Section = namedtuple("Section", "name virtual_address virtual_size raw_offset raw_size characteristics")
Resource = namedtuple("Resource", "type name lang codepage rva size offset data")

DIR_IMPORT, DIR_RESOURCE, DIR_DELAY_IMPORT = 1, 2, 13
RT_VERSION, RT_MANIFEST = 16, 24


class PEError(ValueError):
    pass


class PEFile:
    """A parsed PE image held in memory. Offsets are file offsets, RVAs relative virtual addresses."""

    def __init__(self, data):
        self.data = bytes(data)
        if self.data[:2] != b"MZ":
            raise PEError("no MZ header")
        self.pe_offset = self._u32(0x3C)
        if self.data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise PEError("no PE signature")
        coff = self.pe_offset + 4
        (self.machine, nsections, self.timestamp, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, coff)
        self.optional_offset = coff + 20
        opt = self.optional_offset
        self.magic = self._u16(opt)
        if self.magic == 0x10B:
            self.image_base = self._u32(opt + 28)
            dirs = opt + 96
        elif self.magic == 0x20B:
            self.image_base = struct.unpack_from("<Q", self.data, opt + 24)[0]
            dirs = opt + 112
        else:
            raise PEError("unknown optional header magic 0x%x" % self.magic)
        self.subsystem = self._u16(opt + 68)
        self.dll_characteristics = self._u16(opt + 70)
        count = self._u32(dirs - 4)
        self.directories = [struct.unpack_from("<II", self.data, dirs + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + opt_size
        for i in range(nsections):
            name, vsize, va, rsize, roff = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            chars = self._u32(table + 40 * i + 36)
            self.sections.append(Section(name.rstrip(b"\0").decode("latin-1"), va, vsize, roff, rsize, chars))

    @classmethod
    def open(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    # -- low level

    def _u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def _u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def offset(self, rva):
        """The file offset of an RVA; PEError when no section's file data holds it."""
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                if rva - s.virtual_address < s.raw_size:
                    return s.raw_offset + rva - s.virtual_address
                raise PEError("RVA 0x%x is in %s but not in its file data" % (rva, s.name))
        headers_end = min((s.raw_offset for s in self.sections if s.raw_offset), default=len(self.data))
        if rva < headers_end:
            return rva
        raise PEError("RVA 0x%x is not in the file" % rva)

    def cstring(self, rva):
        off = self.offset(rva)
        return self.data[off:self.data.index(b"\0", off)].decode("latin-1")

    def directory(self, index):
        """(rva, size) of a data directory, (0, 0) when absent."""
        return self.directories[index] if index < len(self.directories) else (0, 0)

    # -- imports

    def imports(self):
        """[(dll name, [function names or "#ordinal"])] of the import directory, in file order."""
        rva, _ = self.directory(DIR_IMPORT)
        out = []
        if not rva:
            return out
        off = self.offset(rva)
        while True:
            lookup, _, _, name_rva, first_thunk = struct.unpack_from("<IIIII", self.data, off)
            if not (lookup or name_rva or first_thunk):
                break
            out.append((self.cstring(name_rva), self._thunk_names(lookup or first_thunk)))
            off += 20
        return out

    def delay_imports(self):
        """DLL names of the delay-load import directory."""
        rva, _ = self.directory(DIR_DELAY_IMPORT)
        out = []
        if not rva:
            return out
        off = self.offset(rva)
        while True:
            attrs, name = struct.unpack_from("<II", self.data, off)
            if not name:
                break
            # Old-style descriptors hold virtual addresses instead of RVAs.
            out.append(self.cstring(name if attrs & 1 else name - self.image_base))
            off += 32
        return out

    def _thunk_names(self, rva):
        wide = self.magic == 0x20B
        size, fmt, flag = (8, "<Q", 1 << 63) if wide else (4, "<I", 1 << 31)
        names = []
        off = self.offset(rva)
        while True:
            value = struct.unpack_from(fmt, self.data, off)[0]
            if not value:
                break
            names.append("#%d" % (value & 0xFFFF) if value & flag else self.cstring((value & 0x7FFFFFFF) + 2))
            off += size
        return names

    # -- resources

    def resources(self):
        """Every resource as Resource(type, name, lang, codepage, rva, size, offset, data); type
        and name are ints for numeric ids, strings for named ones."""
        rva, _ = self.directory(DIR_RESOURCE)
        if not rva:
            return []
        base = self.offset(rva)
        out = []
        for rtype, type_dir in self._res_entries(base, 0):
            for name, name_dir in self._res_entries(base, type_dir):
                for lang, leaf in self._res_entries(base, name_dir):
                    data_rva, size, codepage = struct.unpack_from("<III", self.data, base + leaf)
                    off = self.offset(data_rva)
                    out.append(Resource(rtype, name, lang, codepage, data_rva, size, off,
                                        self.data[off:off + size]))
        return out

    def _res_entries(self, base, dir_off):
        named, ids = struct.unpack_from("<HH", self.data, base + dir_off + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, base + dir_off + 16 + 8 * i)
            if name & 0x80000000:
                soff = base + (name & 0x7FFFFFFF)
                n = self._u16(soff)
                name = self.data[soff + 2:soff + 2 + 2 * n].decode("utf-16-le")
            yield name, target & 0x7FFFFFFF

    def resource(self, rtype, name, lang=None):
        """The first resource of that type and name (and language, if given), or None."""
        for r in self.resources():
            if r.type == rtype and r.name == name and (lang is None or r.lang == lang):
                return r
        return None


# -- version resources

VersionInfo = namedtuple("VersionInfo", "file_version product_version fixed strings translations")


def _version_block(data, off):
    """(key, value bytes, value type, children [(offset, end)], end) of one version block."""
    length, value_len, vtype = struct.unpack_from("<HHH", data, off)
    end = off + length
    key_end = off + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[off + 6:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_size = value_len * 2 if vtype == 1 else value_len
    value = data[pos:pos + value_size]
    pos = (pos + value_size + 3) & ~3
    children = []
    while pos < end:
        child_len = struct.unpack_from("<H", data, pos)[0]
        if not child_len:
            break
        children.append(pos)
        pos = (pos + child_len + 3) & ~3
    return key, value, vtype, children


def _dotted(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def parse_version(data):
    """A VS_VERSIONINFO resource: the fixed file and product versions as dotted strings, the
    fixed block's fields, the string tables {table key (e.g. "041204e4"): {name: value}} and the
    translations [(language, code page)]."""
    key, value, _, children = _version_block(data, 0)
    if key != "VS_VERSION_INFO" or len(value) < 52:
        raise PEError("not a version resource")
    fields = struct.unpack_from("<13I", value)
    if fields[0] != 0xFEEF04BD:
        raise PEError("bad VS_FIXEDFILEINFO signature")
    names = ("signature", "struc_version", "file_version_ms", "file_version_ls", "product_version_ms",
             "product_version_ls", "file_flags_mask", "file_flags", "file_os", "file_type", "file_subtype",
             "file_date_ms", "file_date_ls")
    fixed = dict(zip(names, fields))
    strings, translations = {}, []
    for child in children:
        ckey, _, _, grandchildren = _version_block(data, child)
        for g in grandchildren:
            gkey, gvalue, _, items = _version_block(data, g)
            if ckey == "StringFileInfo":
                table = strings.setdefault(gkey, {})
                for item in items:
                    ikey, ivalue, _, _ = _version_block(data, item)
                    table[ikey] = ivalue.decode("utf-16-le").split("\0", 1)[0]
            elif ckey == "VarFileInfo" and gkey == "Translation":
                translations += [struct.unpack_from("<HH", gvalue, i) for i in range(0, len(gvalue) - 3, 4)]
    return VersionInfo(_dotted(fixed["file_version_ms"], fixed["file_version_ls"]),
                       _dotted(fixed["product_version_ms"], fixed["product_version_ls"]),
                       fixed, strings, translations)
