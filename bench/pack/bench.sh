#!/usr/bin/env bash
# sparlin-pack against `xz --format=lzma -6` compressing the same four files
# one after another, and against 7-Zip's two-thread LZMA at the packer's own
# settings (`7zz a -t7z -m0=lzma:d=8m:fb=128:mf=bt4 -mmt=2`, the four files in
# one archive): wall time, CPU time, and the packer's peak memory against its
# bound (the compressed outputs plus 128 MiB per stream compressed at once).
# Two payloads: the demo, and a 200 MB application (the x64 demo followed by
# stripped Wine DLLs: real machine code, then zeros up to 200 MB).
#   usage: bench/pack/bench.sh [build directory with the stub and the demo, default build/windows-x86]
#   PACK_BENCH_ROUNDS  rounds (default 3); each figure is the best of its rounds
#   PACK_BENCH_BASE    a git revision whose packer is timed in the same rounds and
#                      whose output is compared byte for byte
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

base=
if [ -n "${PACK_BENCH_BASE:-}" ]; then
    rm -rf "$work/base-src" && mkdir -p "$work/base-src"
    # The packer's sources at that revision, with the shared code it may use.
    parts=()
    for p in packer lzma Common CMakeLists.txt; do
        git -C "$root" cat-file -e "$PACK_BENCH_BASE:$p" 2>/dev/null && parts+=("$p")
    done
    git -C "$root" archive "$PACK_BENCH_BASE" "${parts[@]}" | tar -x -C "$work/base-src"
    cmake -S "$work/base-src/packer" -B "$work/base-packer" -DCMAKE_BUILD_TYPE=Release -DPACK_BUILD_TESTS=OFF >/dev/null
    cmake --build "$work/base-packer" -j2 --target sparlin_pack >/dev/null
    base=$work/base-packer/sparlin-pack
fi
command -v 7zz >/dev/null || { echo "bench: 7zz is missing (run scripts/setup.sh)" >&2; exit 1; }

# elapsed s, CPU s (user + system) and peak KiB of a command, from GNU time
measure() {
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null
    awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$work/time.txt"
}
min() { echo "$1 $2" | awk '{print ($1 < $2) ? $1 : $2}'; }
ratio() { echo "$1 $2" | awk '{printf "%.2f", $1 / $2}'; }

# The machine may be shared: rounds alternate the packer, xz and 7-Zip, and
# each figure is the best of its rounds.
rounds=${PACK_BENCH_ROUNDS:-3}
cores=$(nproc)
run() { # name, gui32 layout32 gui64 layout64
    local name=$1 inputs=("$2" "$3" "$4" "$5")
    local pe=1e9 pc=1e9 xe=1e9 xc=1e9 se=1e9 sc=1e9 be=1e9 bc=1e9 pack_kb=0 compressed=0
    # 7-Zip refuses two files of the same name (the demos' 32- and 64-bit builds).
    local seven_in=() i=0
    rm -rf "$work/seven-in" && mkdir -p "$work/seven-in"
    for f in "${inputs[@]}"; do
        i=$((i + 1))
        ln -f "$f" "$work/seven-in/$i-$(basename "$f")" 2>/dev/null || cp "$f" "$work/seven-in/$i-$(basename "$f")"
        seven_in+=("$work/seven-in/$i-$(basename "$f")")
    done
    for ((round = 0; round < rounds; round++)); do
        read -r e c kb < <(measure "$pack" --quiet --stub "$stub" --gui32 "$2" --layout32 "$3" --gui64 "$4" --layout64 "$5" \
            -o "$work/$name.exe")
        pe=$(min "$pe" "$e") pc=$(min "$pc" "$c")
        [ "$kb" -gt "$pack_kb" ] && pack_kb=$kb
        local xz_e=0 xz_c=0
        compressed=0
        for f in "${inputs[@]}"; do
            read -r e c kb < <(measure sh -c 'xz --format=lzma -6 -c "$1" >"$2"' sh "$f" "$work/one.lzma")
            xz_e=$(echo "$xz_e + $e" | bc) xz_c=$(echo "$xz_c + $c" | bc)
            compressed=$((compressed + $(stat -c %s "$work/one.lzma")))
        done
        xe=$(min "$xe" "$xz_e") xc=$(min "$xc" "$xz_c")
        if [ -n "$base" ]; then
            read -r e c kb < <(measure "$base" --quiet --stub "$stub" --gui32 "$2" --layout32 "$3" --gui64 "$4" \
                --layout64 "$5" -o "$work/$name-base.exe")
            be=$(min "$be" "$e") bc=$(min "$bc" "$c")
        fi
        rm -f "$work/seven.7z"
        read -r e c kb < <(measure 7zz a -t7z -m0=lzma:d=8m:fb=128:mf=bt4 -mmt=2 "$work/seven.7z" "${seven_in[@]}")
        se=$(min "$se" "$e") sc=$(min "$sc" "$c")
    done
    local streams=$((cores < 4 ? cores : 4))
    local bound_kb=$((compressed / 1024 + streams * 131072))
    printf '%-5s wall:  packer %6.2f s, xz %6.2f s, 7zz %6.2f s; packer/xz %s, packer/7zz %s\n' \
        "$name" "$pe" "$xe" "$se" "$(ratio "$pe" "$xe")" "$(ratio "$pe" "$se")"
    printf '%-5s CPU:   packer %6.2f s, xz %6.2f s, 7zz %6.2f s; packer/xz %s\n' \
        "$name" "$pc" "$xc" "$sc" "$(ratio "$pc" "$xc")"
    printf '%-5s size:  packed %d bytes, xz streams %d bytes, 7zz archive %d bytes\n' \
        "$name" "$(stat -c %s "$work/$name.exe")" "$compressed" "$(stat -c %s "$work/seven.7z")"
    printf '%-5s peak memory: packer %d MiB, bound %d MiB (compressed outputs + 128 MiB x %d streams at once)\n' \
        "$name" $((pack_kb / 1024)) $((bound_kb / 1024)) "$streams"
    if [ -n "$base" ]; then
        printf '%-5s base:  %s packer %6.2f s wall, %6.2f s CPU; packer/base %s wall, %s CPU\n' "$name" \
            "$PACK_BENCH_BASE" "$be" "$bc" "$(ratio "$pe" "$be")" "$(ratio "$pc" "$bc")"
        if cmp -s "$work/$name.exe" "$work/$name-base.exe"; then
            echo "$name  packed bytes: the same as $PACK_BENCH_BASE's"
        else
            echo "$name  packed bytes: DIFFER from $PACK_BENCH_BASE's"
        fi
    fi
}

echo "$cores cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
run demo "$build/demo/SparlinDemo.exe" "$build/demo/demolayout.dll" "$build/demo64/SparlinDemo.exe" "$build/demo64/demolayout.dll"
run big "$build/demo/SparlinDemo.exe" "$build/demo/demolayout.dll" "$big" "$build/demo64/demolayout.dll"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
