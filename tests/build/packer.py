#!/usr/bin/env python3
"""sparlin-pack as a vendor uses it, checked with tools that share no code
with it: pefile reads the packed file, xz decompresses its payloads, hashlib
checks its digests, osslsigncode signs and verifies it; --inspect and --verify
must say what these tools found.

usage: packer.py linux --pack P --stub S --sparlin E --gui32 ... --work W
       packer.py windows --pack P --pack-exe X --wine-run R --wine-dir D ... --work W
       packer.py sign-any-machine --pack P --stub S --gui32 ... --work W
The first writes W/Signed.exe (the demo with another icon, signed) for the
runs under Wine; the second packs with the Windows packer under Wine; the
third writes W/Signed.exe from a 64-bit test stub (the test-only packer).
Options may come from a file named @FILE, one a line."""
import argparse
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import zlib

import pefile

import signing
import subbuild

ENTRIES = [("gui32", "BIN32", "GUI", "GUI32"), ("layout32", "BIN32", "HTMLAYOUT", "HTMLAYOUT32"),
           ("gui64", "BIN64", "GUI", "GUI64"), ("layout64", "BIN64", "HTMLAYOUT", "HTMLAYOUT64")]
RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 14, 16, 24


def pack(args, *options, program=None, expect_ok=True):
    named = {"--stub": args.stub, **{"--" + option: getattr(args, option) for option, *_ in ENTRIES}}
    rest = []
    options = list(options)
    while options:  # an option named here replaces the default one
        option = options.pop(0)
        if option in named:
            named[option] = options.pop(0)
        else:
            rest.append(option)
    command = [program or args.pack] + [x for pair in named.items() for x in pair] + rest
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if expect_ok and done.returncode != 0:
        subbuild.fail(f"{' '.join(command)}: {done.stderr}")
    return done


def tree(path):
    """{(type, name, language): bytes} as pefile reads it."""
    pe = pefile.PE(path)
    found = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                key = (str(t.name) if t.name else t.id, str(n.name) if n.name else n.id, lang.id)
                found[key] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
    warnings = [w for w in pe.get_warnings() if "Byte 0x00 makes up" not in w]
    if warnings:
        subbuild.fail(f"{path}: pefile warns: {warnings}")
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        subbuild.fail(f"{path}: CheckSum {pe.OPTIONAL_HEADER.CheckSum:#x}, pefile computes {pe.generate_checksum():#x}")
    last = pe.sections[-1]
    align = pe.OPTIONAL_HEADER.SectionAlignment
    if pe.OPTIONAL_HEADER.SizeOfImage != (last.VirtualAddress + last.Misc_VirtualSize + align - 1) // align * align:
        subbuild.fail(f"{path}: SizeOfImage does not end with the last section")
    return found


def check_payload(args, path, work):
    resources = tree(path)
    stub = tree(args.stub)
    expected = set(stub) | {(bits, name, 1033) for _, bits, name, _ in ENTRIES} | {
        ("SHA256", entry, 1033) for *_, entry in ENTRIES}
    if set(resources) != expected:
        subbuild.fail(f"resources {sorted(map(str, set(resources) ^ expected))} differ from the stub's plus the payload")
    for option, bits, name, entry in ENTRIES:
        original = open(getattr(args, option), "rb").read()
        stream = os.path.join(work, entry + ".lzma")
        with open(stream, "wb") as out:
            out.write(resources[(bits, name, 1033)])
        done = subprocess.run(["xz", "--format=lzma", "-dc", stream], stdout=subprocess.PIPE)
        if done.returncode != 0 or done.stdout != original:
            subbuild.fail(f"{bits}/{name} does not decompress with xz to {getattr(args, option)}")
        if resources[("SHA256", entry, 1033)] != hashlib.sha256(original).hexdigest().encode():
            subbuild.fail(f"the digest of {entry} is not the file's SHA-256")
    for key in stub:
        if key != (RT_STRING, 7, 1033) and resources[key] != stub[key]:
            subbuild.fail(f"resource {key} is not the stub's")
    print(f"{path}: pefile reads the stub's resources plus the payload; xz and hashlib agree", flush=True)


def icon_file(path):
    """An .ico with a 16x16 bitmap and a 256x256 PNG (stored as 0)."""
    dib = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0) + bytes([0, 0x80, 0xFF, 0xFF]) * 256 + bytes(64)
    rows = b"".join(b"\0" + bytes([x % 256, 0x40, 0xC0, 0xFF]) * 256 for x in range(256))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 256, 256, 8, 6, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
    header = struct.pack("<HHH", 0, 1, 2)
    first = 6 + 32
    entries = struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(dib), first)
    entries += struct.pack("<BBBBHHII", 0, 0, 0, 0, 0, 0, len(png), first + len(dib))
    with open(path, "wb") as out:
        out.write(header + entries + dib + png)
    return [dib, png]


def check_icon(path, images):
    resources = tree(path)
    group = resources[(RT_GROUP_ICON, 101, 1033)]
    count = struct.unpack_from("<H", group, 4)[0]
    if count != len(images):
        subbuild.fail(f"the icon group holds {count} images, the .ico {len(images)}")
    for i, image in enumerate(images):
        width, height, _, _, planes, bits, size, nid = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        if resources.get((RT_ICON, nid, 1033)) != image or size != len(image) or (planes, bits) != (1, 32):
            subbuild.fail(f"icon image {i} is not the .ico's ({width}x{height}, id {nid})")
    others = {k for k in resources if k[0] == RT_ICON} - {(RT_ICON, struct.unpack_from("<H", group, 18 + 14 * i)[0], 1033)
                                                          for i in range(count)}
    if others:
        subbuild.fail(f"old icon images stayed: {others}")
    print(f"{path}: the icon group holds the .ico's images only", flush=True)


def check_inspection(args, packed, signed, work):
    """--inspect/--verify against pefile and hashlib, on the packed demo, the
    signed one and a tampered copy; a file that is no launcher is refused."""
    def run(*options):
        return subprocess.run([args.pack, *options], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    resources = tree(packed)
    done = run("--json", "--verify", packed)
    if done.returncode != 0 or done.stderr:
        subbuild.fail(f"--verify {packed}: exit {done.returncode}, {done.stderr!r}")
    report = json.loads(done.stdout)
    pe = pefile.PE(packed)
    info = pe.VS_FIXEDFILEINFO[0]
    strings = resources[(RT_STRING, 7, 1033)]
    texts = []
    while len(texts) < 16:
        length = struct.unpack_from("<H", strings)[0]
        texts.append(strings[2:2 + 2 * length].decode("utf-16-le"))
        strings = strings[2 + 2 * length:]
    group = resources[(RT_GROUP_ICON, 101, 1033)]
    expected = {
        "machine": "x86", "signed": False, "verified": True, "mismatches": [], "updateHost": texts[14],
        "downloadHost": texts[15],
        "version": f"{info.FileVersionMS >> 16}.{info.FileVersionMS & 0xFFFF}.{info.FileVersionLS >> 16}."
                   f"{info.FileVersionLS & 0xFFFF}",
        "icon": [{"width": w or 256, "height": h or 256, "bitCount": bits} for w, h, _, _, _, bits, _, _ in
                 (struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(struct.unpack_from("<H", group, 4)[0]))],
        "tool": {"entry": "LZMA", "present": True, "machine": "x86", "kind": "program",
                 "storedSize": len(resources[("EXE", "LZMA", 1033)]), "unpackedSize": len(resources[("EXE", "LZMA", 1033)]),
                 "sha256": hashlib.sha256(resources[("EXE", "LZMA", 1033)]).hexdigest(), "matches": True},
        "payloads": [{"entry": entry, "present": True, "machine": "x86" if entry.endswith("32") else "x64",
                      "kind": "DLL" if name == "HTMLAYOUT" else "program", "storedSize": len(resources[(bits, name, 1033)]),
                      "unpackedSize": os.path.getsize(getattr(args, option)),
                      "sha256": hashlib.sha256(open(getattr(args, option), "rb").read()).hexdigest(), "matches": True}
                     for option, bits, name, entry in ENTRIES],
    }
    for key, value in expected.items():
        if report.get(key) != value:
            subbuild.fail(f"--verify --json says {key} is {report.get(key)!r}, pefile and hashlib {value!r}")
    done = run("--inspect", signed, "--json")
    if done.returncode != 0 or not json.loads(done.stdout)["signed"] or run("--verify", signed).returncode != 0:
        subbuild.fail(f"{signed}: not inspected as signed, or does not verify")

    # A payload's stream, another's digest and the tool changed: one line each.
    data = bytearray(open(packed, "rb").read())
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in entry.directory.entries:
            leaf = n.directory.entries[0].data.struct
            at = pe.get_offset_from_rva(leaf.OffsetToData)
            key = (str(entry.name), str(n.name))
            if key == ("BIN64", "GUI"):
                data[at + leaf.Size // 2] ^= 0xFF
            elif key == ("SHA256", "HTMLAYOUT32"):
                data[at] = ord("0") if data[at] != ord("0") else ord("1")
            elif key == ("EXE", "LZMA"):
                data[at + leaf.Size // 2] ^= 1
    tampered = os.path.join(work, "Tampered.exe")
    with open(tampered, "wb") as out:
        out.write(data)
    done = run("--verify", tampered)
    lines = done.stderr.splitlines()
    named = sorted(next((w for w in ("GUI64", "HTMLAYOUT32", "LZMA tool") if w in line), line) for line in lines)
    if done.returncode != 1 or named != ["GUI64", "HTMLAYOUT32", "LZMA tool"] or \
            not all(line.startswith("sparlin-pack: ") for line in lines):
        subbuild.fail(f"--verify {tampered}: exit {done.returncode}, stderr {done.stderr!r} (one line per change expected)")
    if run("--inspect", tampered).returncode != 0:
        subbuild.fail("--inspect refuses a launcher whose payload was changed")

    cut = os.path.join(work, "Cut.exe")
    with open(cut, "wb") as out:
        out.write(data[:len(data) // 2])
    for what, path in (("a text file", os.path.join(work, "not-a-pe.txt")), ("a cut launcher", cut),
                       ("a program that is no launcher", args.gui64)):
        for mode in ("--inspect", "--verify"):
            done = run(mode, path)
            if done.returncode == 0 or done.stdout or len(done.stderr.splitlines()) != 1:
                subbuild.fail(f"{mode} {what}: exit {done.returncode}, stdout {done.stdout!r}, stderr {done.stderr!r}")
    print("--inspect and --verify agree with pefile and hashlib, find each change and refuse what is no launcher",
          flush=True)


def check_refusals(args, work):
    """Each bad input: one line on stderr, a non-zero exit, and the existing output untouched."""
    folder = os.path.join(work, "refusals")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    out = os.path.join(folder, "Out.exe")
    with open(out, "wb") as f:
        f.write(b"an earlier output")
    text = os.path.join(work, "not-a-pe.txt")
    with open(text, "w") as f:
        f.write("MZ but nothing more\n")
    signed_stub = os.path.join(work, "signed-stub.exe")
    subbuild.run(["osslsigncode", "sign", "-certs", args.cert, "-key", args.key, "-h", "sha256",
                  "-in", args.stub, "-out", signed_stub + ".new"])
    os.replace(signed_stub + ".new", signed_stub)
    cases = [
        ("a missing file", ["--gui32", os.path.join(work, "missing.exe")], "cannot open"),
        ("a folder", ["--layout64", work], "folder"),
        ("not a PE image", ["--gui64", text], "not an x64 program"),
        ("a 64-bit program as --gui32", ["--gui32", args.gui64], "not a 32-bit x86 program"),
        ("a program as --layout32", ["--layout32", args.gui32], "not a 32-bit x86 DLL"),
        ("a DLL as --gui64", ["--gui64", args.layout64], "not an x64 program"),
        ("a stub that is not the launcher", ["--stub", args.gui32], "not a Sparlin launcher stub"),
        ("a signed stub", ["--stub", signed_stub], "sign the packed file after packing"),
        ("a host with a port", ["--update-host", "updates.example:80"], "not a host name"),
        ("a download host with a path", ["--download-host", "https://www.example/x"], "not a download host"),
        ("an icon that is no .ico", ["--icon", text], "not an .ico file"),
        ("a truncated icon", ["--icon", args.icon_cut], "icon"),
        ("an output folder that does not exist", ["-o", os.path.join(folder, "missing", "Out.exe")], "does not exist"),
    ]
    for what, options, message in cases:
        if "-o" not in options:
            options = options + ["-o", out]
        done = pack(args, *options, expect_ok=False)
        lines = done.stderr.splitlines()
        if done.returncode == 0 or len(lines) != 1 or not lines[0].startswith("sparlin-pack: ") or message not in lines[0]:
            subbuild.fail(f"{what}: exit {done.returncode}, stderr {done.stderr!r} (expected one line with {message!r})")
        if os.listdir(folder) != ["Out.exe"] or open(out, "rb").read() != b"an earlier output":
            subbuild.fail(f"{what}: the folder now holds {os.listdir(folder)}, or the earlier output changed")
    # Stripped, the signed stub packs to what the unsigned one gives.
    pack(args, "--stub", signed_stub, "--strip-signature", "-o", out)
    print(f"{len(cases)} bad inputs refused with one line each, nothing written", flush=True)
    return out


def check_outputs(args, work, packed, icon):
    """An output that is an input, by any name, is refused with the input intact; a
    launcher packs again in place; partial files of runs that are over go, no others."""
    folder = os.path.join(work, "outputs")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "sub"))
    app = os.path.join(folder, "App.exe")
    shutil.copyfile(args.gui64, app)
    os.link(app, os.path.join(folder, "Hard.exe"))
    os.symlink("App.exe", os.path.join(folder, "Link.exe"))
    for options in (["-o", app], ["-o", os.path.join(folder, "Hard.exe")], ["-o", os.path.join(folder, "Link.exe")],
                    ["-o", os.path.join(folder, "sub", "..", "App.exe")], ["--icon", icon, "-o", icon]):
        done = pack(args, "--gui64", app, *options, expect_ok=False)
        lines = done.stderr.splitlines()
        if done.returncode == 0 or len(lines) != 1 or "would replace it" not in lines[0]:
            subbuild.fail(f"-o {options[-1]}: exit {done.returncode}, stderr {done.stderr!r}")
    if open(app, "rb").read() != open(args.gui64, "rb").read():
        subbuild.fail("an output replaced its input")

    ended = subprocess.Popen(["true"])
    ended.wait()
    partial = ".Out.exe.sparlin-pack-{}-0.partial"
    stale, running = partial.format(ended.pid), partial.format(os.getpid())
    others = [running, stale + ".keep", "Out.exe.sparlin-pack-1-0.partial"]
    for name in [stale] + others:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"partial")
    out = os.path.join(folder, "Out.exe")
    shutil.copyfile(packed, out)
    pack(args, "--stub", out, "-o", out)
    if open(out, "rb").read() != open(packed, "rb").read():
        subbuild.fail("packing a launcher in place gives other bytes")
    left = sorted(set(os.listdir(folder)) - {"App.exe", "Hard.exe", "Link.exe", "sub", "Out.exe"})
    if left != sorted(others):
        subbuild.fail(f"partial files left {left}, expected {sorted(others)}")
    print("outputs naming an input refused; packed in place; only the ended run's partial file removed", flush=True)


def linux(args):
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    args.cert, args.key = signing.certificate(work, "Sparlin Test Vendor")

    # By hand, from the same inputs: the build's own Sparlin.exe, byte for byte.
    by_hand = os.path.join(work, "ByHand.exe")
    done = pack(args, "-o", by_hand)
    if open(by_hand, "rb").read() != open(args.sparlin, "rb").read():
        subbuild.fail(f"{by_hand} differs from the build's {args.sparlin}")
    # stderr is no terminal here: a line per input once it is done.
    names = sorted(f"'{getattr(args, option)}'" for option, *_ in ENTRIES)
    if sorted(line.split("  ")[0] for line in done.stderr.splitlines()) != names or " -> " not in done.stderr:
        subbuild.fail(f"expected a line per input when done, got {done.stderr!r}")
    # Threads never change the bytes: one, and more than the inputs (each with a second encoder thread).
    for threads in ("1", "9"):
        out = os.path.join(work, f"Threads{threads}.exe")
        done = pack(args, "--threads", threads, "--quiet", "-o", out)
        if open(out, "rb").read() != open(by_hand, "rb").read() or done.stderr:
            subbuild.fail(f"--threads {threads} --quiet: other bytes, or stderr {done.stderr!r}")
    again = os.path.join(work, "Again.exe")
    pack(args, "--stub", by_hand, "-o", again)
    if open(again, "rb").read() != open(by_hand, "rb").read():
        subbuild.fail("packing a packed launcher gives other bytes than packing the stub")
    print(f"packed by hand = {args.sparlin} = packed again: sha256 {hashlib.sha256(open(again, 'rb').read()).hexdigest()}")
    check_payload(args, by_hand, work)

    icon = os.path.join(work, "vendor.ico")
    images = icon_file(icon)
    args.icon_cut = os.path.join(work, "cut.ico")
    with open(args.icon_cut, "wb") as out:
        out.write(open(icon, "rb").read()[:500])
    check_outputs(args, work, by_hand, icon)
    stripped = check_refusals(args, work)
    if open(stripped, "rb").read() != open(by_hand, "rb").read():
        subbuild.fail("a stub packed after --strip-signature differs from the unsigned stub packed")

    sign_vendor(args, work, icon, images)
    check_inspection(args, by_hand, os.path.join(work, "Signed.exe"), work)


def sign_vendor(args, work, icon, images, *options):
    """The vendor's icon and hosts, then signed: what runs under Wine next."""
    vendor = os.path.join(work, "Vendor.exe")
    pack(args, *options, "--icon", icon, "--update-host", "updates.vendor.invalid", "-o", vendor)
    check_icon(vendor, images)
    signed = os.path.join(work, "Signed.exe")
    subbuild.run(["osslsigncode", "sign", "-certs", args.cert, "-key", args.key, "-h", "sha256",
                  "-in", vendor, "-out", signed + ".new"])
    os.replace(signed + ".new", signed)
    signing.verify(signed, args.cert, "Sparlin Test Vendor")
    print(f"{signed}: signed and verified", flush=True)


def sign_any_machine(args):
    """For the 64-bit test build: its x64 stub and demo, signed with the vendor's icon."""
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    args.cert, args.key = signing.certificate(args.work, "Sparlin Test Vendor")
    icon = os.path.join(args.work, "vendor.ico")
    sign_vendor(args, args.work, icon, icon_file(icon), "--any-machine")


def windows(args):
    os.makedirs(args.work, exist_ok=True)
    linux_out = os.path.join(args.work, "Linux.exe")
    # Paths that are not ASCII, as a vendor's may be, and an output path past 260 characters.
    deep = os.path.join(args.work, "d" * 120, "e" * 120)
    os.makedirs(deep, exist_ok=True)
    windows_out = os.path.join(deep, "Windows \u00e4.exe")
    stub = os.path.join(args.work, "stub \u00f6.exe")
    shutil.copyfile(args.stub, stub)
    for path in (linux_out, windows_out):
        if os.path.exists(path):
            os.remove(path)
    pack(args, "--update-host", "127.0.0.1", "-o", linux_out)

    def win(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def run(*options, **inputs):
        inputs = {**{option: getattr(args, option) for option, *_ in ENTRIES}, **inputs}
        command = [args.wine_run, args.wine_dir, "64", args.pack_exe, "--stub", win(stub)] + [
            x for option, path in inputs.items() for x in ("--" + option, win(path))] + [
            "--update-host", "127.0.0.1", *options]
        return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300,
                              env={**os.environ, "LC_ALL": "C.UTF-8"})
    done = run("-o", win(windows_out))
    if done.returncode != 0 or not os.path.exists(windows_out):
        subbuild.fail(f"the Windows packer failed ({done.returncode}): {done.stdout}")
    if open(windows_out, "rb").read() != open(linux_out, "rb").read():
        subbuild.fail("the Windows packer and the Linux packer give different bytes")
    # An input named in other letter case is the same file.
    app = os.path.join(args.work, "app \u00fc.exe")
    shutil.copyfile(args.gui64, app)
    same = run("-o", win(os.path.join(args.work, "APP \u00fc.exe")), gui64=app)
    if same.returncode == 0 or "would replace it" not in same.stdout or open(app, "rb").read() != open(args.gui64, "rb").read():
        subbuild.fail(f"an output naming an input in other letter case: exit {same.returncode}, {same.stdout!r}")
    print(f"the Windows packer under Wine (paths not in ASCII, output path of {len(win(windows_out))} characters) and "
          "the Linux packer give the same bytes; an input in other letter case is refused as the output")


def main():
    # @FILE: options one a line, as the 32-bit build lists its stub and payload.
    for arg in sys.argv[1:]:
        if arg.startswith("@") and not os.path.isfile(arg[1:]):
            subbuild.fail(f"no {arg[1:]}: configure the build that lists these inputs first")
    parser = argparse.ArgumentParser(fromfile_prefix_chars="@")
    parser.add_argument("mode", choices=["linux", "windows", "sign-any-machine"])
    for option in ("pack", "stub", "work", "gui32", "layout32", "gui64", "layout64"):
        parser.add_argument("--" + option, required=True)
    for option in ("sparlin", "pack-exe", "wine-run", "wine-dir"):
        parser.add_argument("--" + option)
    args = parser.parse_args()
    {"linux": linux, "windows": windows, "sign-any-machine": sign_any_machine}[args.mode](args)


if __name__ == "__main__":
    main()
