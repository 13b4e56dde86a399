#!/usr/bin/env bash
# Launch overhead of Sparlin.exe under Wine, measured side by side in one run:
#   launcher: from starting Sparlin.exe until the application has started;
#   direct:   from starting the already unpacked application until the same point;
#   decode:   the LZMA tool decoding both payloads, started the way the launcher does.
# The application is the demo (x64, in the 64-bit prefix) padded with a
# stripped Wine DLL to a realistic size; the layout library is another
# stripped Wine DLL. "Started" is when the demo has written its report, which
# it does first thing. Prints medians of N runs and the launcher's own
# overhead (launcher - direct - decode) as a ratio of the decode time.
#   LAUNCH_BENCH_RUNS  runs per variant (default 7)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
runs=${LAUNCH_BENCH_RUNS:-7}
bash scripts/setup.sh
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 --target Sparlin lzma_tool demo_gui >/dev/null

work=$root/build/bench-launch
mkdir -p "$work/payload"
wine_dir=$work/wine
dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
gui=$work/payload/App64.exe layout=$work/payload/Layout64.dll
x86_64-w64-mingw32-strip -o "$work/payload/filler.dll" "$dlls/shell32.dll"
# A PE file runs with data appended after its last section: the demo keeps
# working at a realistic size.
cat build/windows-x86/demo64/SparlinDemo.exe "$work/payload/filler.dll" >"$gui"
x86_64-w64-mingw32-strip -o "$layout" "$dlls/msxml3.dll"
cmake --preset windows-x86 -B "$work/build" -DBUILD_TESTING=OFF \
    -DSPARLIN_PAYLOAD_GUI32="$gui" -DSPARLIN_PAYLOAD_HTMLAYOUT32="$layout" \
    -DSPARLIN_PAYLOAD_GUI64="$gui" -DSPARLIN_PAYLOAD_HTMLAYOUT64="$layout" >/dev/null
cmake --build "$work/build" --target Sparlin >/dev/null
launcher=$work/build/Launcher/Sparlin.exe
tool=$root/build/windows-x86/lzma/LZMA.exe
"$work/build/host-lzma/lzma" e "$gui" "$work/payload/App64.lzma"
"$work/build/host-lzma/lzma" e "$layout" "$work/payload/Layout64.lzma"

tests/wine/wine-env start "$wine_dir" 64 >/dev/null
trap 'tests/wine/wine-env stop "$wine_dir"' EXIT
run() { tests/wine/wine-run "$wine_dir" 64 "$@"; }
temp_windows=$(run cmd /c 'echo %TEMP%' | tr -d '\r')
temp_unix=$(run winepath.exe -u "$temp_windows" | tr -d '\r')

# Seconds from now until the file exists.
until_report() {
    local report=$1 start=$2
    while [ ! -e "$report" ]; do sleep 0.002; done
    python3 -c "import time,sys; print(f'{time.time() - float(sys.argv[1]):.4f}')" "$start"
}

measure_launcher() {
    local report=$work/report.txt start
    rm -f "$report"
    start=$(date +%s.%N)
    SPARLIN_DEMO_REPORT=$report run "$launcher" -hide &
    until_report "$report" "$start"
    wait
}

measure_direct() {
    local report=$work/report.txt start
    cp "$gui" "$temp_unix/bench-app.exe"
    cp "$layout" "$temp_unix/bench-layout.tmp"
    rm -f "$report"
    start=$(date +%s.%N)
    SPARLIN_DEMO_REPORT=$report run "$temp_windows\\bench-app.exe" "$temp_windows\\bench-layout.tmp" &
    until_report "$report" "$start"
    wait
    rm -f "$temp_unix/bench-app.exe" "$temp_unix/bench-layout.tmp"
}

measure_decode() {
    local start end
    start=$(date +%s.%N)
    run "$tool" d "$work/payload/Layout64.lzma" "$work/out1" >/dev/null
    run "$tool" d "$work/payload/App64.lzma" "$work/out2" >/dev/null
    end=$(date +%s.%N)
    cmp -s "$work/out2" "$gui" || { echo "decode produced wrong bytes" >&2; exit 1; }
    python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.4f}')" "$start" "$end"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

launcher_times=() direct_times=() decode_times=()
measure_launcher >/dev/null # warm the caches of all three alike
for _ in $(seq 1 "$runs"); do
    launcher_times+=("$(measure_launcher)")
    direct_times+=("$(measure_direct)")
    decode_times+=("$(measure_decode)")
done
l=$(printf '%s\n' "${launcher_times[@]}" | median)
d=$(printf '%s\n' "${direct_times[@]}" | median)
z=$(printf '%s\n' "${decode_times[@]}" | median)
printf 'payload: application %s bytes, layout library %s bytes (stored compressed: %s + %s)\n' \
    "$(stat -c %s "$gui")" "$(stat -c %s "$layout")" \
    "$(stat -c %s "$work/payload/App64.lzma")" "$(stat -c %s "$work/payload/Layout64.lzma")"
python3 - "$l" "$d" "$z" "$runs" <<'PY'
import sys
launcher, direct, decode, runs = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
overhead = launcher - direct - decode
print(f"median of {runs} runs: launcher {launcher:.3f} s, direct start {direct:.3f} s, decode alone {decode:.3f} s")
print(f"launcher / (direct + decode) = {launcher / (direct + decode):.2f}")
print(f"launcher's own overhead = {overhead:.3f} s = {overhead / decode:.2f} of the decode time")
PY
