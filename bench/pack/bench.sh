#!/usr/bin/env bash
# sparlin-pack against `xz --format=lzma -6` compressing the same four files:
# time, and the packer's peak memory against its bound (the largest input
# plus the compressed outputs plus 64 MiB). Two payloads: the demo, and a
# 200 MB application (the x64 demo followed by stripped Wine DLLs: real
# machine code, not padding).
#   usage: bench/pack/bench.sh [build directory with the stub and the demo, default build/windows-x86]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${1:-$root/build/windows-x86}")
work=$root/build/bench-pack
stub=$build/Launcher/Sparlin-stub.exe
for f in "$stub" "$build/demo/SparlinDemo.exe" "$build/demo64/SparlinDemo.exe"; do
    [ -f "$f" ] || { echo "missing $f: build the windows-x86 preset first" >&2; exit 1; }
done
mkdir -p "$work/payload"
cmake -S "$root/packer" -B "$work/packer" -DCMAKE_BUILD_TYPE=Release -DPACK_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/packer" -j2 --target sparlin_pack >/dev/null
pack=$work/packer/sparlin-pack

big=$work/payload/App64.exe
if [ ! -f "$big" ]; then
    dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
    cp "$build/demo64/SparlinDemo.exe" "$big"
    for dll in "$dlls"/*.dll; do
        x86_64-w64-mingw32-strip -o "$work/payload/part.dll" "$dll" 2>/dev/null || continue
        cat "$work/payload/part.dll" >>"$big"
        [ "$(stat -c %s "$big")" -ge 200000000 ] && break
    done
    truncate -s 200000000 "$big"
    rm -f "$work/payload/part.dll"
fi

# elapsed s, CPU s (user + system) and peak KiB of a command, from GNU time
measure() {
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null
    awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$work/time.txt"
}
min() { echo "$1 $2" | awk '{print ($1 < $2) ? $1 : $2}'; }

# The machine may be shared: rounds alternate packer and xz, and each
# figure is the best of its rounds; CPU time is the fairer comparison.
rounds=${PACK_BENCH_ROUNDS:-3}
run() { # name, gui32 layout32 gui64 layout64
    local name=$1 inputs=("$2" "$3" "$4" "$5")
    local best_pack_e=1e9 best_pack_c=1e9 best_xz_e=1e9 best_xz_c=1e9 pack_kb=0 xz_kb=0 largest=0 compressed=0
    for ((round = 0; round < rounds; round++)); do
        read -r e c kb < <(measure "$pack" --stub "$stub" --gui32 "$2" --layout32 "$3" --gui64 "$4" --layout64 "$5" \
            -o "$work/$name.exe")
        best_pack_e=$(min "$best_pack_e" "$e") best_pack_c=$(min "$best_pack_c" "$c")
        [ "$kb" -gt "$pack_kb" ] && pack_kb=$kb
        local xz_e=0 xz_c=0
        largest=0 compressed=0
        for f in "${inputs[@]}"; do
            read -r e c kb < <(measure sh -c 'xz --format=lzma -6 -c "$1" >"$2"' sh "$f" "$work/one.lzma")
            xz_e=$(echo "$xz_e + $e" | bc) xz_c=$(echo "$xz_c + $c" | bc)
            [ "$kb" -gt "$xz_kb" ] && xz_kb=$kb
            size=$(stat -c %s "$f")
            [ "$size" -gt "$largest" ] && largest=$size
            compressed=$((compressed + $(stat -c %s "$work/one.lzma")))
        done
        best_xz_e=$(min "$best_xz_e" "$xz_e") best_xz_c=$(min "$best_xz_c" "$xz_c")
    done
    bound_kb=$(((largest + compressed) / 1024 + 65536))
    printf '%-5s elapsed: packer %6.2f s, xz %6.2f s, ratio %.2f; CPU: packer %6.2f s, xz %6.2f s, ratio %.2f (target <= 1.2)\n' \
        "$name" "$best_pack_e" "$best_xz_e" "$(echo "$best_pack_e / $best_xz_e" | bc -l)" \
        "$best_pack_c" "$best_xz_c" "$(echo "$best_pack_c / $best_xz_c" | bc -l)"
    printf '%-5s peak memory: packer %d MiB, bound %d MiB (largest input + compressed outputs + 64 MiB); xz %d MiB\n' \
        "$name" $((pack_kb / 1024)) $((bound_kb / 1024)) $((xz_kb / 1024))
}

run demo "$build/demo/SparlinDemo.exe" "$build/demo/demolayout.dll" "$build/demo64/SparlinDemo.exe" "$build/demo64/demolayout.dll"
run big "$build/demo/SparlinDemo.exe" "$build/demo/demolayout.dll" "$big" "$build/demo64/demolayout.dll"
