"""Configures and builds Sparlin.exe in a build directory of its own, the way
a vendor would, and reads what the build tests need from PE files."""
import os
import shutil
import struct
import subprocess
import sys
import time

import check_pe


def build(source, binary, *definitions, fresh=True):
    """cmake --preset windows-x86 -B <binary> <definitions>, then the Sparlin
    target; returns the path of Sparlin.exe."""
    if fresh:
        shutil.rmtree(binary, ignore_errors=True)
    started = time.monotonic()
    run(["cmake", "--preset", "windows-x86", "-B", binary, "-DBUILD_TESTING=OFF", *definitions], cwd=source)
    run(["cmake", "--build", binary, "-j2", "--target", "Sparlin"], cwd=source)
    print(f"built {binary} in {time.monotonic() - started:.0f} s", flush=True)
    return os.path.join(binary, "Launcher", "Sparlin.exe")


def run(command, cwd=None):
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        print(done.stdout[-6000:])
        fail(f"{' '.join(command)} exited with {done.returncode}")
    return done.stdout


def fail(message):
    print(f"FAILED: {message}", flush=True)
    sys.exit(1)


def sections(data):
    """[(name, file offset, size in the file)] of a PE file's sections."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    found = []
    for i in range(count):
        name, _, _, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        found.append((name.rstrip(b"\0").decode("ascii", "replace"), rawptr, rawsize))
    return found


def security_directory(data):
    """(file offset, size) of the Authenticode signature; (0, 0) if unsigned."""
    return check_pe.PE(data).dirs[4]


def embedded_tool(data):
    return check_pe.PE(data).resources()[("EXE", "LZMA", 1033)]
