#!/usr/bin/env bash
# Compares our LZMA tool with `xz --format=lzma -6` on stripped Windows PE
# files (Wine's DLLs, x86 and x64, 0.5 to 10 MB), in one run side by side:
# compressed size, encode time, decode time (both tools writing to a file)
# and peak memory. Not a test: it always exits 0 once it has measured.
#   LZMA_BENCH_DIR  work directory (default <repo>/build/lzma-bench)
#   LZMA_BENCH_REPS timing repetitions, the fastest counts (default 3)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
work=${LZMA_BENCH_DIR:-$repo/build/lzma-bench}
reps=${LZMA_BENCH_REPS:-3}
mkdir -p "$work/corpus" "$work/out"

for cmd in xz /usr/bin/time x86_64-w64-mingw32-strip i686-w64-mingw32-strip; do
    command -v "$cmd" >/dev/null || { echo "bench: $cmd is missing" >&2; exit 1; }
done

gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S "$repo/lzma" -B "$work/build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DLZMA_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/build" --target lzma_tool -j"$(nproc)" >/dev/null
tool=$work/build/lzma

# --- corpus: a spread of sizes from both architectures
x64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
x86=/usr/lib/i386-linux-gnu/wine/i386-windows
picks=(
    "$x64/jscript.dll" "$x64/oleaut32.dll" "$x64/comctl32.dll" "$x64/user32.dll"
    "$x64/msxml3.dll" "$x64/kernelbase.dll" "$x64/shell32.dll"
    "$x86/d2d1.dll" "$x86/quartz.dll" "$x86/ole32.dll" "$x86/windowscodecs.dll"
    "$x86/mshtml.dll" "$x86/wined3d.dll" "$x86/shell32.dll"
)
files=()
for src in "${picks[@]}"; do
    [ -f "$src" ] || continue
    case $src in
        "$x64"/*) arch=x64 strip=x86_64-w64-mingw32-strip ;;
        *) arch=x86 strip=i686-w64-mingw32-strip ;;
    esac
    dst=$work/corpus/$arch-$(basename "$src")
    [ -f "$dst" ] || "$strip" -o "$dst" "$src"
    size=$(stat -c %s "$dst")
    if [ "$size" -ge 500000 ] && [ "$size" -le 10485760 ]; then files+=("$dst"); fi
done
[ ${#files[@]} -gt 0 ] || { echo "bench: no Wine DLLs found (is wine installed?)" >&2; exit 1; }

# Runs a command $reps times; prints the fastest wall time in seconds and the peak RSS in KiB.
measure() {
    local best="" rss=0 t0 t1 el
    for ((i = 0; i < reps; i++)); do
        t0=$EPOCHREALTIME
        /usr/bin/time -f %M -o "$work/rss" "$@"
        t1=$EPOCHREALTIME
        el=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
        if [ -z "$best" ] || awk -v a="$el" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$el; fi
        local r
        r=$(tail -1 "$work/rss")
        [ "$r" -gt "$rss" ] && rss=$r
    done
    echo "$best $rss"
}

o=$work/out
printf '%-22s %9s | %9s %9s %6s | %7s %7s %5s | %6s %6s %5s | %7s %7s | %6s %6s\n' \
    file bytes ours xz-6 size enc enc-xz ratio dec dec-xz ratio encRSS xzRSS decRSS xzRSS
tot_in=0 tot_ours=0 tot_xz=0
tot_e=0 tot_ex=0 tot_d=0 tot_dx=0
max_er=0 max_exr=0 max_dr=0 max_dxr=0
for f in "${files[@]}"; do
    name=$(basename "$f")
    read -r e er < <(measure "$tool" e "$f" "$o/ours.lzma")
    read -r ex exr < <(measure sh -c 'xz --format=lzma -6 -c "$1" >"$2"' sh "$f" "$o/xz.lzma")
    read -r d dr < <(measure "$tool" d "$o/xz.lzma" "$o/ours.out")
    read -r dx dxr < <(measure sh -c 'xz --format=lzma -dc "$1" >"$2"' sh "$o/xz.lzma" "$o/xz.out")
    cmp -s "$f" "$o/ours.out" || echo "bench: WARNING: our decode of $name differs" >&2
    xz --format=lzma -dc "$o/ours.lzma" | cmp -s "$f" - || echo "bench: WARNING: xz cannot decode our $name" >&2
    in=$(stat -c %s "$f")
    so=$(stat -c %s "$o/ours.lzma")
    sx=$(stat -c %s "$o/xz.lzma")
    printf '%-22s %9d | %9d %9d %6.4f | %7.3f %7.3f %5.2f | %6.3f %6.3f %5.2f | %7d %7d | %6d %6d\n' \
        "$name" "$in" "$so" "$sx" "$(awk -v a="$so" -v b="$sx" 'BEGIN{print a/b}')" \
        "$e" "$ex" "$(awk -v a="$e" -v b="$ex" 'BEGIN{print a/b}')" \
        "$d" "$dx" "$(awk -v a="$d" -v b="$dx" 'BEGIN{print a/b}')" "$er" "$exr" "$dr" "$dxr"
    tot_in=$((tot_in + in)) tot_ours=$((tot_ours + so)) tot_xz=$((tot_xz + sx))
    tot_e=$(awk -v a="$tot_e" -v b="$e" 'BEGIN{print a+b}')
    tot_ex=$(awk -v a="$tot_ex" -v b="$ex" 'BEGIN{print a+b}')
    tot_d=$(awk -v a="$tot_d" -v b="$d" 'BEGIN{print a+b}')
    tot_dx=$(awk -v a="$tot_dx" -v b="$dx" 'BEGIN{print a+b}')
    [ "$er" -gt "$max_er" ] && max_er=$er
    [ "$exr" -gt "$max_exr" ] && max_exr=$exr
    [ "$dr" -gt "$max_dr" ] && max_dr=$dr
    [ "$dxr" -gt "$max_dxr" ] && max_dxr=$dxr
done

size_ratio=$(awk -v a="$tot_ours" -v b="$tot_xz" 'BEGIN{printf "%.4f", a/b}')
enc_ratio=$(awk -v a="$tot_e" -v b="$tot_ex" 'BEGIN{printf "%.3f", a/b}')
dec_ratio=$(awk -v a="$tot_d" -v b="$tot_dx" 'BEGIN{printf "%.3f", a/b}')
printf '%-22s %9d | %9d %9d %6s | %7.3f %7.3f %5s | %6.3f %6.3f %5s | %7d %7d | %6d %6d\n' \
    TOTAL "$tot_in" "$tot_ours" "$tot_xz" "$size_ratio" "$tot_e" "$tot_ex" "$enc_ratio" \
    "$tot_d" "$tot_dx" "$dec_ratio" "$max_er" "$max_exr" "$max_dr" "$max_dxr"
echo
verdict() { awk -v a="$2" -v b="$3" 'BEGIN { exit !(a <= b) }' && echo "  $1: $2 (target <= $3) met" || echo "  $1: $2 (target <= $3) MISSED"; }
echo "Totals, ours / xz -6 (times: fastest of $reps runs, sizes in bytes, RSS in KiB, max over files):"
verdict "compressed size" "$size_ratio" 1.03
verdict "encode time    " "$enc_ratio" 1.5
verdict "decode time    " "$dec_ratio" 1.0
