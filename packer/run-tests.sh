#!/usr/bin/env bash
# Builds sparlin-pack natively and runs its tests under ASan+UBSan (the
# Windows build tests the plain build through the whole program), then
# fuzzes the PE and .ico readers and --inspect/--verify for a bounded time.
#   PACK_FUZZ_SECONDS  time per fuzzer (default 10, 0 skips)
#   BUILD_ROOT         where the build trees go (default <repository>/build)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=${BUILD_ROOT:-$(cd "$here/.." && pwd)/build}
fuzz_seconds=${PACK_FUZZ_SECONDS:-10}
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)

build() { # directory, cmake arguments...
    local dir=$1
    shift
    cmake -S "$here" -B "$dir" "${gen[@]}" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j2 >"$dir.build.log" 2>&1 || { cat "$dir.build.log"; return 1; }
    if grep -q 'warning:' "$dir.build.log"; then grep -A3 'warning:' "$dir.build.log"; fi
}
mkdir -p "$root"

echo "== packer: tests under AddressSanitizer and UndefinedBehaviorSanitizer"
build "$root/packer-asan" -DCMAKE_BUILD_TYPE=Debug -DPACK_SANITIZE=ON
(cd "$root/packer-asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j2)

if [ "$fuzz_seconds" -gt 0 ]; then
    command -v clang++ >/dev/null || { echo "clang++ is needed for the fuzzers" >&2; exit 1; }
    fuzz=$root/packer-fuzz
    build "$fuzz" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPACK_FUZZ=ON
    mkdir -p "$fuzz/corpus/FuzzPe" "$fuzz/corpus/FuzzIcon" "$fuzz/corpus/FuzzInspect"
    "$fuzz/pack_make_seeds" "$fuzz/corpus"
    for fuzzer in FuzzPe FuzzIcon FuzzInspect; do
        if "$fuzz/$fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
                -artifact_prefix="$fuzz/" -print_final_stats=1 "$fuzz/corpus/$fuzzer" >"$fuzz/$fuzzer.log" 2>&1; then
            echo "$fuzzer: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$fuzz/$fuzzer.log" | awk '{print $2}') executions, no failure"
        else
            echo "$fuzzer FAILED (reproducer in $fuzz):" >&2
            tail -n 40 "$fuzz/$fuzzer.log" >&2
            exit 1
        fi
    done
fi
echo "== packer: all tests passed"
