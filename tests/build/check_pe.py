#!/usr/bin/env python3
"""Checks what Sparlin.exe must be as a file: a PE32 GUI program whose entry
is wWinMain's startup code, that imports only system DLLs, and that carries
its resources under language 1033."""
import struct
import sys

# Everything else is bound on first use from the system directory, so that no
# DLL planted beside the launcher is loaded before its code can prevent it.
LOAD_TIME_DLLS = {"kernel32.dll", "msvcrt.dll"}
RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 14, 16, 24


class PE:
    def __init__(self, data):
        self.data = data
        check(data[:2] == b"MZ", "no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        check(data[pe:pe + 4] == b"PE\0\0", "no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        directories = opt + 96
        self.dirs = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError(f"rva {rva:#x} outside the sections")

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva = self.dirs[1][0]
        names = []
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                return names
            names.append(self.cstring(name).lower())
            rva += 20

    def resources(self):
        """{(type, name, language): bytes}; string names as str, ids as int."""
        base = self.dirs[2][0]
        found = {}

        def entries(rva):
            at = self.offset(base + rva)
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if key & 0x80000000:
                    s = self.offset(base + (key & 0x7FFFFFFF))
                    length = struct.unpack_from("<H", self.data, s)[0]
                    key = self.data[s + 2:s + 2 + 2 * length].decode("utf-16-le")
                yield key, target

        for rtype, t in entries(0):
            for name, n in entries(t & 0x7FFFFFFF):
                for lang, leaf in entries(n & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, self.offset(base + leaf))
                    at = self.offset(rva)
                    found[(rtype, name, lang)] = self.data[at:at + size]
        return found


def check(condition, message):
    if not condition:
        print(f"FAILED: {message}")
        sys.exit(1)


def strings(resources):
    texts = {}
    for (rtype, block, _), data in resources.items():
        if rtype != RT_STRING:
            continue
        at = 0
        for i in range(16):
            length = struct.unpack_from("<H", data, at)[0]
            texts[(block - 1) * 16 + i] = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            at += 2 + 2 * length
    return texts


def main(path):
    pe = PE(open(path, "rb").read())
    check(pe.machine == 0x14C and pe.magic == 0x10B, "not a PE32 i386 image")
    check(pe.subsystem == 2, f"subsystem {pe.subsystem}, expected GUI (2)")
    imports = pe.imports()
    check(set(imports) <= LOAD_TIME_DLLS, f"imports at load time: {sorted(set(imports) - LOAD_TIME_DLLS)}")
    resources = pe.resources()
    check(all(lang == 1033 for (_, _, lang) in resources), "a resource outside language 1033")
    keys = {(t, n) for (t, n, _) in resources}
    for wanted in [("EXE", "LZMA"), ("BIN32", "GUI"), ("BIN32", "HTMLAYOUT"), ("BIN64", "GUI"),
                   ("BIN64", "HTMLAYOUT"), (RT_GROUP_ICON, 101), (RT_VERSION, 1), (RT_MANIFEST, 1)]:
        check(wanted in keys, f"resource {wanted} missing")
    check(sum(1 for (t, _) in keys if t == RT_GROUP_ICON) == 1, "more than one icon group")
    for name in ("GUI", "HTMLAYOUT"):
        for bits in ("BIN32", "BIN64"):
            header = resources[(bits, name, 1033)][:13]
            props, dictionary, size = struct.unpack("<BIQ", header)
            check(props == 0x5D and dictionary == 1 << 23 and size != 2 ** 64 - 1,
                  f"{bits}/{name} header {header.hex()}")
    check(resources[("EXE", "LZMA", 1033)][:2] == b"MZ", "the LZMA tool is not stored as a plain program")
    texts = strings(resources)
    expected = {103: "Unknown exception", 104: "New version is available! Would you like to download it?",
                105: "Sorry, but CPUs without SSE are not supported!",
                106: "Sorry, but CPUs without SSE2 are not supported!"}
    for id_, text in expected.items():
        check(texts.get(id_) == text, f"string {id_} is {texts.get(id_)!r}")
    version = resources[(RT_VERSION, 1, 1033)]
    fixed = version.index(struct.pack("<I", 0xFEEF04BD))
    ms, ls, pms, pls = struct.unpack_from("<IIII", version, fixed + 8)
    check((ms, ls, pms, pls) == (0x00010002, 0x00230000, 0x00010002, 0x00230000), "version is not 1.2.35.0")
    for key in ("ProductName", "FileDescription"):
        entry = (key + "\0").encode("utf-16-le")
        at = version.index(entry) + len(entry)
        at += (4 - at % 4) % 4
        value = version[at:version.index(b"\0\0", at) + 1].decode("utf-16-le")
        check(value == "KOVA Sparlin", f"{key} is {value!r}")
    manifest = resources[(RT_MANIFEST, 1, 1033)].decode("utf-8")
    check('level="requireAdministrator"' in manifest, "manifest does not require administrator rights")
    check('name="Microsoft.Windows.Common-Controls"' in manifest and 'version="6.0.0.0"' in manifest,
          "manifest does not ask for Common Controls 6.0.0.0")
    print(f"{path}: PE32 GUI, imports {', '.join(imports)}; {len(resources)} resources under 1033")


if __name__ == "__main__":
    main(sys.argv[1])
