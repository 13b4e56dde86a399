#!/usr/bin/env bash
# Where the decoder's time goes, on the streams bench.sh decodes (run it
# first: the streams are its xz-made files in <work>/out-x86_64).
#   1. symbols and bytes per kind, and match copies per distance class,
#      from a build with LZMA_DECODE_STATS (exact counts);
#   2. CPU time per region of the symbol loop (literal, matched literal, rep,
#      match, copy, normalisation, kernel), from `perf record -e cpu-clock`
#      samples of whole tool runs, each address placed by its inline chain;
#      cycles come from that time and a clock probe (a chain of adds);
#   3. instructions and branch misses per region from callgrind with
#      --branch-sim=yes: the misses are those of valgrind's simulated
#      predictor, not the processor's.
# The hardware counters are left alone: virtual machines often lack them.
#   LZMA_BENCH_DIR       work directory of bench.sh (default <repo>/build/lzma-bench)
#   LZMA_PROFILE_REPEAT  passes over the streams under perf (default 10)
#   LZMA_PROFILE_M32     1: also profile a -m32 build (where the machine runs
#                        32-bit code; valgrind and perf must handle it)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
work=${LZMA_BENCH_DIR:-$repo/build/lzma-bench}
repeat=${LZMA_PROFILE_REPEAT:-10}
streams=("$work"/out-x86_64/*.xz.lzma)
[ -f "${streams[0]}" ] || { echo "profile: no streams in $work/out-x86_64 (run bench.sh first)" >&2; exit 1; }
for cmd in perf valgrind addr2line python3 cc; do
    command -v "$cmd" >/dev/null || { echo "profile: $cmd is missing" >&2; exit 1; }
done

gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
build() { # dir, extra cmake arguments
    local dir=$1
    shift
    mkdir -p "$dir"
    cmake -S "$repo/lzma" -B "$dir" "${gen[@]}" -DLZMA_BUILD_TESTS=OFF "$@" >"$dir.log" 2>&1 &&
        nice -n 10 cmake --build "$dir" --target lzma_tool >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
}
# The codec keeps its -O2; debug information only adds the line tables.
build "$work/prof-x86_64" -DCMAKE_BUILD_TYPE=RelWithDebInfo
build "$work/stats-x86_64" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-DLZMA_DECODE_STATS
if [ "${LZMA_PROFILE_M32:-0}" = 1 ]; then
    build "$work/prof-i686" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-m32
fi

printf '#include <stdio.h>\n#include <time.h>\nint main(void) { struct timespec a, b; unsigned long x = 0, n = 500000000UL;\n'\
'clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);\nfor (unsigned long i = 0; i < n; i++) __asm__ volatile("add $1,%%0\\n\\tadd $1,%%0\\n\\tadd $1,%%0\\n\\tadd $1,%%0" : "+r"(x));\n'\
'clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);\nprintf("%%.3f\\n", 4.0 * n / ((b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) * 1e-9) / 1e9); return 0; }\n' \
    >"$work/clock.c"
cc -O2 "$work/clock.c" -o "$work/clock"

python3 "$here/profile.py" "$work" "$repeat" "$repo/lzma/codec/LzmaDecoder.cpp" x86_64 -- "${streams[@]}"
if [ "${LZMA_PROFILE_M32:-0}" = 1 ]; then
    echo
    if "$work/prof-i686/lzma" >/dev/null 2>&1 || [ $? -ne 126 ]; then
        python3 "$here/profile.py" "$work" "$repeat" "$repo/lzma/codec/LzmaDecoder.cpp" i686 -- "${streams[@]}"
    else
        echo "[i686] not profiled: this kernel does not run 32-bit x86 programs"
    fi
fi
