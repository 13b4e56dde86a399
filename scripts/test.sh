#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite:
# the native builds (plain, sanitizers, fuzzers) of the logic that needs no
# Windows, then the Windows programs and end-to-end runs under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
start=$SECONDS
bash scripts/setup.sh

echo "== native: foundation logic"
bash tests/native/run.sh
echo "== native: LZMA codec and tool"
bash lzma/run-tests.sh
echo "== native: the packer"
bash packer/run-tests.sh

echo "== Windows build"
cmake --preset windows-x86 >/dev/null
if bash tests/wine/wine-loader x86-runs; then
    cmake --build --preset windows-x86
else
    # Its Windows tests cannot run here (they are disabled): only what the
    # checks of the shipped file need is built, which is also the stub and
    # payloads the 64-bit build's Windows packer test packs.
    cmake --build --preset windows-x86 --target Sparlin
fi
echo "== Windows tests under Wine"
ctest --preset windows-x86 -j2
if ! bash tests/wine/wine-loader x86-runs; then
    # This kernel runs no 32-bit x86 code, so Wine cannot start the 32-bit
    # programs above (their Windows tests were disabled); the same sources
    # built as 64-bit programs run them in the 64-bit prefix instead.
    echo "== this machine runs no 32-bit x86 code: the Windows tests again, built as 64-bit programs"
    cmake --preset windows-x64 >/dev/null
    cmake --build --preset windows-x64
    ctest --preset windows-x64 -j2
fi
echo "== all tests passed in $((SECONDS - start)) s"
