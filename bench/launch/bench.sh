#!/usr/bin/env bash
# The launcher's own overhead under Wine, timed inside Windows by
# LaunchTimer.exe (this folder), which starts every program with
# CreateProcessW and reads QueryPerformanceCounter. Per interleaved run:
#   launcher: Sparlin.exe /hide until the application has written its report;
#   direct:   the already unpacked application until the same point;
#   tool:     the LZMA tool decoding both payloads, started as the launcher does;
#   empty:    an empty program started and ended (the floor of any start);
#   args:     the same, reading its command line through shell32 as the
#             launcher must (args - empty: the floor that library adds).
# overhead = launcher - direct - tool - empty, printed in ms and as a fraction
# of the decode time (the tool's), also without the shell32 floor; then the
# launcher's peak memory against the largest compressed resource + 16 MiB,
# and the time of each phase of a start from SparlinPhases.exe, a build of
# the launcher with its phase trace.
# The application is the demo (x64, in a 64-bit prefix) padded with a
# stripped Wine DLL to a realistic size; the layout library is another one.
#   LAUNCH_BENCH_RUNS     runs per variant (default 7)
#   LAUNCH_BENCH_WARMUP   1 (default): one untimed round first; 0: none
#   LAUNCH_BENCH_WAIT     seconds any one program may take (default 600)
#   LAUNCH_BENCH_TIMEOUT  seconds the timing may take in all (default 3600)
#   LAUNCH_BENCH_BASE     a git revision whose launcher is timed in the same
#                         rounds, with the same payload, for before/after figures
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
runs=${LAUNCH_BENCH_RUNS:-7}
limit=${LAUNCH_BENCH_TIMEOUT:-3600}
wait_s=${LAUNCH_BENCH_WAIT:-600}
warmup=${LAUNCH_BENCH_WARMUP:-1}
bash scripts/setup.sh
# The shipped launcher is 32-bit. Where this machine runs no 32-bit x86 code,
# the same sources built for x64 are measured instead, and the figures say so.
if bash tests/wine/wine-loader x86-runs; then
    preset=windows-x86 cxx=i686-w64-mingw32-g++-posix
else
    preset=windows-x64 cxx=x86_64-w64-mingw32-g++-posix
    echo "bench: this machine runs no 32-bit x86 code, so Wine cannot start the shipped 32-bit launcher;"
    echo "bench: measuring the same sources built for x64 (launcher, tool, timer and empty program)"
fi

work=$root/build/bench-launch
mkdir -p "$work/payload" "$work/direct" "$work/report" "$work/out"
win() { printf 'Z:%s' "${1//\//\\}"; } # a Linux path as Wine sees it
quiet() { # runs a build step, shows its log only when it fails
    local log=$work/step.log
    "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "bench: failed: $*" >&2; exit 1; }
}

# The x64 demo and the tool, from a build of the bench's own.
quiet cmake --preset "$preset" -B "$work/payload-build" -DBUILD_TESTING=OFF
quiet cmake --build "$work/payload-build" -j 2 --target lzma_tool demo64
dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
gui=$work/payload/App64.exe layout=$work/payload/Layout64.dll
x86_64-w64-mingw32-strip -o "$work/payload/filler.dll" "$dlls/shell32.dll"
# A PE file runs with data appended after its last section: the demo keeps
# working at a realistic size.
cat "$work/payload-build/demo64/SparlinDemo.exe" "$work/payload/filler.dll" >"$gui"
x86_64-w64-mingw32-strip -o "$layout" "$dlls/msxml3.dll"

quiet cmake --preset "$preset" -B "$work/build" -DBUILD_TESTING=OFF -DSPARLIN_PHASE_TRACE_LAUNCHER=ON \
    -DSPARLIN_PAYLOAD_GUI32="$gui" -DSPARLIN_PAYLOAD_HTMLAYOUT32="$layout" \
    -DSPARLIN_PAYLOAD_GUI64="$gui" -DSPARLIN_PAYLOAD_HTMLAYOUT64="$layout"
quiet cmake --build "$work/build" -j 2 --target Sparlin SparlinPhases
base=()
if [ -n "${LAUNCH_BENCH_BASE:-}" ]; then
    rm -rf "$work/base-src"
    mkdir -p "$work/base-src"
    git archive "$LAUNCH_BENCH_BASE" | tar -x -C "$work/base-src"
    (cd "$work/base-src" && quiet cmake --preset "$preset" -B "$work/base-launcher" -DBUILD_TESTING=OFF \
        -DSPARLIN_PAYLOAD_GUI32="$gui" -DSPARLIN_PAYLOAD_HTMLAYOUT32="$layout" \
        -DSPARLIN_PAYLOAD_GUI64="$gui" -DSPARLIN_PAYLOAD_HTMLAYOUT64="$layout")
    quiet cmake --build "$work/base-launcher" -j 2 --target Sparlin
    base=(--base-launcher "$(win "$work/base-launcher/Launcher/Sparlin.exe")")
fi
tool=$work/build/lzma/LZMA.exe
"$work/build/host-lzma/lzma" e "$gui" "$work/payload/App64.lzma"
"$work/build/host-lzma/lzma" e "$layout" "$work/payload/Layout64.lzma"
cp "$gui" "$work/direct/App64.exe"
cp "$layout" "$work/direct/Layout64.dll"

# The timing helper and the empty program, built like the launcher (static).
quiet "$cxx" -std=c++20 -O2 -static -municode -o "$work/LaunchTimer.exe" bench/launch/LaunchTimer.cpp
quiet "$cxx" -O2 -static -mwindows -s -o "$work/Empty.exe" bench/launch/Empty.cpp
quiet "$cxx" -O2 -static -mwindows -s -DREAD_COMMAND_LINE -o "$work/EmptyArgs.exe" bench/launch/Empty.cpp -lshell32

wine_dir=$work/wine
trap 'tests/wine/wine-env stop "$wine_dir"' EXIT
# A new prefix takes minutes on a busy machine; an existing one seconds.
if ! timeout 900 tests/wine/wine-env start "$wine_dir" 64 >/dev/null; then
    echo "bench: the Wine prefix did not come up within 900 s (see $wine_dir/*.log)" >&2
    exit 1
fi

printf 'payload: application %s bytes, layout library %s bytes (stored compressed: %s + %s)\n' \
    "$(stat -c %s "$gui")" "$(stat -c %s "$layout")" \
    "$(stat -c %s "$work/payload/App64.lzma")" "$(stat -c %s "$work/payload/Layout64.lzma")"
status=0
timeout --kill-after=10 "$limit" tests/wine/wine-run "$wine_dir" 64 "$work/LaunchTimer.exe" \
    --runs "$runs" --warmup "$warmup" --timeout-ms "$((wait_s * 1000))" \
    --report "$(win "$work/report/report.txt")" \
    --launcher "$(win "$work/build/Launcher/Sparlin.exe")" \
    --traced "$(win "$work/build/Launcher/SparlinPhases.exe")" "${base[@]}" \
    --app "$(win "$work/direct/App64.exe")" --layout "$(win "$work/direct/Layout64.dll")" \
    --tool "$(win "$tool")" \
    --packed "$(win "$work/payload/Layout64.lzma")" --packed "$(win "$work/payload/App64.lzma")" \
    --empty "$(win "$work/Empty.exe")" --empty-args "$(win "$work/EmptyArgs.exe")" --out-dir "$(win "$work/out")" </dev/null || status=$?
if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "bench: no result within $limit s (LAUNCH_BENCH_TIMEOUT); stopped" >&2
fi
exit "$status"
