#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite:
# the native builds (plain, sanitizers, fuzzers) of the logic that needs no
# Windows, then the Windows programs and end-to-end runs under Wine.
#
# The native checks need neither Wine nor the Windows build, and the Wine
# tests leave the processor idle much of the time, waiting for windows and
# processes: the native checks run beside them, at the lowest priority, so
# that the timed Wine tests still get the processor when they want it.
# SPARLIN_TEST_SERIAL=1 runs them first, one after another, instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "${1:-}" = --native-checks ]; then
    echo "== native: foundation logic (at $SECONDS s)"
    bash tests/native/run.sh
    echo "== native: LZMA codec and tool (at $SECONDS s)"
    bash lzma/run-tests.sh
    echo "== native: the packer (at $SECONDS s)"
    bash packer/run-tests.sh
    echo "== native checks passed in $SECONDS s"
    exit 0
fi

start=$SECONDS
bash scripts/setup.sh

mkdir -p build
native_log=$root/build/native-checks.log
native_pid=
if [ "${SPARLIN_TEST_SERIAL:-0}" = 1 ]; then
    bash "$0" --native-checks
else
    echo "== native checks beside the Windows ones, at the lowest priority (output: $native_log)"
    # A process group of their own, so that all of them can be ended at
    # once; not a session of their own, where the kernel's per-session
    # scheduling would give them half the processor whatever their nice value.
    set -m
    nice -n 19 bash "$0" --native-checks </dev/null >"$native_log" 2>&1 &
    native_pid=$!
    set +m
    trap 'kill -- -$native_pid 2>/dev/null || true' EXIT
fi

finish_native() {
    [ -n "$native_pid" ] || return 0
    local status=0
    wait "$native_pid" || status=$?
    trap - EXIT
    native_pid=
    cat "$native_log"
    if [ "$status" -ne 0 ]; then
        echo "== the native checks FAILED (exit code $status)" >&2
        exit "$status"
    fi
}

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
echo "== Windows tests passed in $((SECONDS - start)) s; waiting for the native checks"
finish_native
echo "== all tests passed in $((SECONDS - start)) s"
