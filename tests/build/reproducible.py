#!/usr/bin/env python3
"""Builds Sparlin.exe twice, in build directories at different paths and the
second from a copy of the sources elsewhere, and checks that both are the
same bytes. On a difference, says where: offset, section, resource, and
which of the embedded inputs differ already. The test build's own directory,
when given, serves as the first build: it was made from the same sources.
A second build directory, when given, is the second build, made from a copy
of the sources elsewhere (signing.py's, last built unsigned).

usage: reproducible.py <source dir> <work dir> [first build dir [second build dir]]"""
import hashlib
import os
import shutil
import struct
import sys

import check_pe
import subbuild

# What the launcher is made of, relative to a build directory.
INPUTS = ["lzma/LZMA.exe", "demo/SparlinDemo.exe", "demo/demolayout.dll", "demo64/SparlinDemo.exe",
          "demo64/demolayout.dll", "Launcher/SparlinStub-resources/LZMA.exe", "Launcher/Sparlin-stub.exe",
          "host-pack/sparlin-pack"]


def copy_sources(source, target, work):
    work = os.path.realpath(work)

    def ignore(folder, names):
        skipped = set()
        for name in names:
            path = os.path.realpath(os.path.join(folder, name))
            top_level_build = os.path.realpath(folder) == os.path.realpath(source) and name in ("build", ".git")
            if top_level_build or work == path or work.startswith(path + os.sep):
                skipped.add(name)
        return skipped

    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target, symlinks=True, ignore=ignore)


def where(data, offset):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    fields = {pe + 8: "TimeDateStamp", pe + 24 + 64: "CheckSum"}
    for start, name in fields.items():
        if start <= offset < start + 4:
            return f"PE header, {name}"
    for name, start, size in subbuild.sections(data):
        if start <= offset < start + size:
            return f"section {name} +{offset - start:#x}"
    signature = subbuild.security_directory(data)
    if signature[0] <= offset < signature[0] + signature[1]:
        return "signature"
    return "headers" if offset < 0x400 else "outside the sections"


def differences(a, b):
    """[(offset, length)] of the differing runs, runs closer than 16 bytes merged."""
    runs = []
    for offset in range(min(len(a), len(b))):
        if a[offset] != b[offset]:
            if runs and offset - (runs[-1][0] + runs[-1][1]) < 16:
                runs[-1][1] = offset - runs[-1][0] + 1
            else:
                runs.append([offset, 1])
    return runs


def explain(a, b, build_a, build_b):
    print(f"Sparlin.exe differs: {len(a)} and {len(b)} bytes")
    runs = differences(a, b)
    for offset, length in runs[:25]:
        print(f"  offset {offset:#08x}, {length} bytes: {where(a, offset)}")
    if len(runs) > 25:
        print(f"  ... {len(runs) - 25} more differing runs")
    try:
        ra, rb = check_pe.PE(a).resources(), check_pe.PE(b).resources()
        for key in sorted(set(ra) | set(rb), key=str):
            if ra.get(key) != rb.get(key):
                print(f"  resource {key} differs")
    except Exception as error:  # a broken resource tree is itself the finding
        print(f"  resources unreadable: {error}")
    for path in INPUTS:
        pa, pb = os.path.join(build_a, path), os.path.join(build_b, path)
        if os.path.exists(pa) and os.path.exists(pb) and open(pa, "rb").read() != open(pb, "rb").read():
            print(f"  input differs already: {path}")


def main(source, work, built=None, built_elsewhere=None):
    source = os.path.realpath(source)
    if built:
        build_a = os.path.realpath(built)
        a = open(os.path.join(build_a, "Launcher", "Sparlin.exe"), "rb").read()
    else:
        build_a = os.path.join(work, "a")
        a = open(subbuild.build(source, build_a), "rb").read()
    if built_elsewhere:
        build_b = os.path.realpath(built_elsewhere)
        b = open(os.path.join(build_b, "Launcher", "Sparlin.exe"), "rb").read()
    else:
        copy = os.path.join(work, "another-checkout")
        build_b = os.path.join(work, "another-build-directory")
        copy_sources(source, copy, work)
        b = open(subbuild.build(copy, build_b), "rb").read()
    if a != b:
        explain(a, b, build_a, build_b)
        subbuild.fail("two builds of the same sources differ")
    print(f"identical: {len(a)} bytes, sha256 {hashlib.sha256(a).hexdigest()}")


if __name__ == "__main__":
    main(*sys.argv[1:5])
