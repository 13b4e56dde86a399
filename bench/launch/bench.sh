#!/usr/bin/env bash
# The launcher's own overhead under Wine, per application size, timed inside
# Windows by LaunchTimer.exe (this folder), which starts every program with
# CreateProcessW and reads QueryPerformanceCounter. Per interleaved run:
#   launcher: Sparlin.exe /hide until the application has written its report;
#   direct:   the already unpacked application until the same point;
#   decode:   the LZMA tool decoding both payloads at once, as the launcher does;
#   empty:    an empty program started and ended (the floor of any start);
#   args:     the same with the launcher's manifest, reading its command line through shell32 as the
#             launcher must (args - empty: the floor that library adds);
#   traced:   SparlinPhases.exe, the launcher with its phase trace: each phase,
#             its own work from the marks, and its decode of the application
#             against the benchmark's decode of the same stream.
#   minimal:  MinimalLauncher.exe, which only starts, decodes both streams at
#             once, reads its command line through shell32 meanwhile, and
#             starts the application: the decode and the application's start
#             as a launcher has them (here the children of a process that has
#             just used the processor run longer).
# overhead = launcher - direct - decode - empty, printed in ms and as a
# fraction of the decode time, also without the shell32 floor; the launcher's
# own work = launcher - minimal, likewise, also less the floors the phase
# marks show; then the launcher's peak memory against the largest compressed
# resource + 16 MiB.
# At the end a table with one row per size, and the SHA-256 rate in-process.
# The application is the demo (x64, in a 64-bit prefix) padded with stripped
# Wine DLLs to each size; the layout library is another one.
#   LAUNCH_BENCH_SIZES    application sizes in MB (default "3 50 200")
#   LAUNCH_BENCH_RUNS     runs per variant (default 31 up to 10 MB, where a start
#                         is short and the noise of Wine's process starts large;
#                         11 up to 100 MB; 9 above)
#   LAUNCH_BENCH_WARMUP   1 (default): one untimed round first; 0: none
#   LAUNCH_BENCH_WAIT     seconds any one program may take (default 600)
#   LAUNCH_BENCH_TIMEOUT  seconds the timing of one size may take (default 3600)
#   LAUNCH_BENCH_BASE     a git revision whose launcher is timed in the same
#                         rounds, with the same payload, for before/after figures
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
sizes=${LAUNCH_BENCH_SIZES:-3 50 200}
for size in $sizes; do
    [[ "$size" =~ ^[1-9][0-9]{0,3}$ ]] || { echo "bench: LAUNCH_BENCH_SIZES: \"$size\" is not a size in MB (1-9999)" >&2; exit 2; }
done
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
mkdir -p "$work/payload" "$work/direct" "$work/report"
win() { printf 'Z:%s' "${1//\//\\}"; } # a Linux path as Wine sees it
strip_dll() { # source, destination; the 32-bit ones with the 32-bit strip
    case $1 in
    */i386-windows/*) i686-w64-mingw32-strip -o "$2" "$1" 2>/dev/null ;;
    *) x86_64-w64-mingw32-strip -o "$2" "$1" 2>/dev/null ;;
    esac
}
quiet() { # runs a build step, shows its log only when it fails
    local log=$work/step.log
    "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "bench: failed: $*" >&2; exit 1; }
}

# The x64 demo and the tool, from a build of the bench's own.
quiet cmake --preset "$preset" -B "$work/payload-build" -DBUILD_TESTING=OFF
quiet cmake --build "$work/payload-build" -j 2 --target lzma_tool demo64 demo_gui demo_layout
demo=$work/payload-build/demo64/SparlinDemo.exe
gui=$work/payload/App64.exe layout=$work/payload/Layout64.dll
dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
x86_64-w64-mingw32-strip -o "$layout" "$dlls/msxml3.dll"
# Real executable code to pad the application with: stripped Wine DLLs, shell32
# first (the padding of earlier figures), then the others from the largest
# down (the small ones are mostly alignment), until the largest size is
# reached. Distinct files, so that the padding compresses like code.
largest_size=0
for size in $sizes; do ((size > largest_size)) && largest_size=$size; done
filler=$work/payload/filler.bin
mkdir -p "$work/filler"
: >"$filler"
mapfile -t by_size < <(ls -S "$dlls"/*.dll /usr/lib/i386-linux-gnu/wine/i386-windows/*.dll)
for dll in "$dlls/shell32.dll" "${by_size[@]}"; do
    (($(stat -c %s "$filler") >= largest_size * 1000000)) && break
    case $dll in */msxml3.dll | "$dlls/shell32.dll") [ -s "$filler" ] && continue ;; esac
    stripped=$work/filler/$(basename "$(dirname "$dll")")-$(basename "$dll")
    [ -s "$stripped" ] || strip_dll "$dll" "$stripped" || continue
    cat "$stripped" >>"$filler"
done
if (($(stat -c %s "$filler") < largest_size * 1000000)); then
    echo "bench: not enough Wine DLLs to pad the application to $largest_size MB" >&2
    exit 1
fi

# The timing helper, the empty programs and the SHA-256 rate, built like the launcher (static).
quiet "$cxx" -std=c++20 -O2 -static -municode -o "$work/LaunchTimer.exe" bench/launch/LaunchTimer.cpp
quiet "$cxx" -O2 -static -mwindows -s -o "$work/Empty.exe" bench/launch/Empty.cpp
# Reading its arguments, it carries the launcher's manifest: with it, loading
# shell32 also brings in the Common Controls 6 side-by-side assembly, a cost
# no launcher with that manifest can avoid.
printf '1 24 "%s"\n' "$root/resources/Sparlin.manifest" >"$work/EmptyArgs.rc"
quiet "${cxx%-g++-posix}-windres" -o "$work/EmptyArgs.res.o" "$work/EmptyArgs.rc"
quiet "$cxx" -O2 -static -mwindows -s -DREAD_COMMAND_LINE -o "$work/EmptyArgs.exe" bench/launch/Empty.cpp \
    "$work/EmptyArgs.res.o" -lshell32
quiet "$cxx" -std=c++20 -O2 -static -mwindows -s -o "$work/MinimalLauncher.exe" bench/launch/MinimalLauncher.cpp \
    "$work/EmptyArgs.res.o"
hash_sources=(bench/launch/HashRate.cpp Common/Kova/Security/Sha256.cpp Common/Kova/Security/Sha256Core.cpp
    Common/Kova/Security/Hash.cpp Common/Kova/Buffer.cpp tests/native/FileStandIn.cpp)
hash_builds=()
for arch in i686 x86_64; do
    [ "$arch" = i686 ] && [ "$preset" = windows-x64 ] && continue
    quiet "$arch-w64-mingw32-g++-posix" -std=c++20 -O3 -static -ICommon/Kova -ICommon \
        -o "$work/HashRate-$arch.exe" "${hash_sources[@]}"
    hash_builds+=("$work/HashRate-$arch.exe")
done

wine_dir=$work/wine
trap 'tests/wine/wine-env stop "$wine_dir"' EXIT
# A new prefix takes minutes on a busy machine; an existing one seconds.
if ! timeout 900 tests/wine/wine-env start "$wine_dir" 64 >/dev/null; then
    echo "bench: the Wine prefix did not come up within 900 s (see $wine_dir/*.log)" >&2
    exit 1
fi

if [ -n "${LAUNCH_BENCH_BASE:-}" ]; then
    # Its files carry the commit's time, older than the objects of another
    # revision's build: that build is made anew, not trusted to notice.
    rm -rf "$work/base-src" "$work/base-launcher"
    mkdir -p "$work/base-src"
    git archive "$LAUNCH_BENCH_BASE" | tar -x -C "$work/base-src"
fi
summary=$work/summary.txt
: >"$summary"
status=0
for size in $sizes; do
    runs=${LAUNCH_BENCH_RUNS:-$((size > 100 ? 9 : size > 10 ? 11 : 31))}
    head -c $((size * 1000000 - $(stat -c %s "$demo"))) "$filler" | cat "$demo" - >"$gui"
    # A PE file runs with data appended after its last section: the demo keeps
    # working at any size. The 32-bit set is never unpacked in the 64-bit
    # prefix: the demo's own, which the packer accepts as 32-bit files, stays small.
    payload=(-DSPARLIN_PAYLOAD_GUI32="$work/payload-build/demo/SparlinDemo.exe"
        -DSPARLIN_PAYLOAD_HTMLAYOUT32="$work/payload-build/demo/demolayout.dll"
        -DSPARLIN_PAYLOAD_GUI64="$gui" -DSPARLIN_PAYLOAD_HTMLAYOUT64="$layout")
    quiet cmake --preset "$preset" -B "$work/build" -DBUILD_TESTING=OFF -DSPARLIN_PHASE_TRACE_LAUNCHER=ON "${payload[@]}"
    quiet cmake --build "$work/build" -j 2 --target Sparlin SparlinPhases host_lzma
    base=()
    if [ -n "${LAUNCH_BENCH_BASE:-}" ]; then
        (cd "$work/base-src" && quiet cmake --preset "$preset" -B "$work/base-launcher" -DBUILD_TESTING=OFF "${payload[@]}")
        quiet cmake --build "$work/base-launcher" -j 2 --target Sparlin
        base=(--base-launcher "$(win "$work/base-launcher/Launcher/Sparlin.exe")")
    fi
    tool=$work/build/lzma/LZMA.exe
    # The very streams the launcher carries: the packer writes what the
    # tool's "e" command writes.
    packed=$work/payload/streams
    mkdir -p "$packed"
    "$work/build/host-lzma/lzma" e "$gui" "$packed/GUI64.lzma"
    "$work/build/host-lzma/lzma" e "$layout" "$packed/HTMLAYOUT64.lzma"
    cp "$gui" "$work/direct/App64.exe"
    cp "$layout" "$work/direct/Layout64.dll"

    printf '\n== application %s MB: %s bytes, layout library %s bytes (stored compressed: %s + %s), %s runs\n' \
        "$size" "$(stat -c %s "$gui")" "$(stat -c %s "$layout")" \
        "$(stat -c %s "$packed/GUI64.lzma")" "$(stat -c %s "$packed/HTMLAYOUT64.lzma")" "$runs"
    timeout --kill-after=10 "$limit" tests/wine/wine-run "$wine_dir" 64 "$work/LaunchTimer.exe" \
        --runs "$runs" --warmup "$warmup" --timeout-ms "$((wait_s * 1000))" \
        --report "$(win "$work/report/report.txt")" \
        --launcher "$(win "$work/build/Launcher/Sparlin.exe")" \
        --traced "$(win "$work/build/Launcher/SparlinPhases.exe")" "${base[@]}" \
        --app "$(win "$work/direct/App64.exe")" --layout "$(win "$work/direct/Layout64.dll")" \
        --tool "$(win "$tool")" \
        --packed "$(win "$packed/HTMLAYOUT64.lzma")" --packed "$(win "$packed/GUI64.lzma")" \
        --empty "$(win "$work/Empty.exe")" --empty-args "$(win "$work/EmptyArgs.exe")" \
        --minimal "$(win "$work/MinimalLauncher.exe")" \
        --summary "$(win "$summary")" --label "$size MB" </dev/null || status=$?
    if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        echo "bench: no result within $limit s (LAUNCH_BENCH_TIMEOUT); stopped" >&2
    fi
    [ "$status" = 0 ] || exit "$status"
done

printf '\n== summary (%s build%s; fractions of the decode time, both payloads at once; target: own work beyond the minimal launcher at most 0.10, at most 0.05 at 200 MB)\n' \
    "$preset" "$([ "$preset" = windows-x64 ] && echo ', NOT the shipped 32-bit launcher: this machine runs no 32-bit code')"
echo "| application | runs | decode ms | decode ms in the launcher / the minimal launcher / the benchmark | overhead of whole starts | of it beyond the shell32 floor | minimal launcher: its decode + application's start (ms); **the launcher's own work beyond it** (95 % interval of that median) | from the phase marks: the launcher's work before and after the application's decode | of it floors: private folder, tool written, tool checked, first stream written, application's stream removed, its digest; the rest | own work beyond the minimal launcher, less those floors (95 % interval) | base: overhead of whole starts beyond the shell32 floor; own work | peak private / working set of bound |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
cat "$summary"
for program in "${hash_builds[@]}"; do
    tests/wine/wine-run "$wine_dir" 64 "$program" </dev/null
done
exit "$status"
