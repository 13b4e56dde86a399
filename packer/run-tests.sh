#!/usr/bin/env bash
# Builds sparlin-pack natively and runs its tests under ASan+UBSan (the
# Windows build tests the plain build through the whole program), then
# fuzzes the PE and .ico readers and --inspect/--verify for a bounded time,
# with small inputs and then with the crafted large ones that reach the
# packer's limits.
#   PACK_FUZZ_SECONDS  time per fuzzer and input size (default 10, 0 skips)
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
    mkdir -p "$fuzz"/corpus/{,large/}{FuzzPe,FuzzIcon} "$fuzz/corpus/FuzzInspect"
    "$fuzz/pack_make_seeds" "$fuzz/corpus"
    # Small inputs run by the thousand a second; the crafted large ones, which
    # reach the packer's limits, by the few: each gets a run of its own. All
    # at once, each for as long as the cores give it the time it would have
    # had alone.
    runs=("FuzzPe 65536 corpus" "FuzzIcon 65536 corpus" "FuzzInspect 65536 corpus"
          "FuzzPe 3000000 corpus/large" "FuzzIcon 3000000 corpus/large")
    jobs=$(nproc 2>/dev/null || echo 2)
    each=$(( (fuzz_seconds * ${#runs[@]} + jobs - 1) / jobs ))
    pids=()
    for run in "${runs[@]}"; do
        read -r fuzzer max_len corpus <<<"$run"
        "$fuzz/$fuzzer" -max_total_time="$each" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
            -artifact_prefix="$fuzz/" -print_final_stats=1 "$fuzz/$corpus/$fuzzer" >"$fuzz/$fuzzer-$max_len.log" 2>&1 &
        pids+=($!)
    done
    status=0
    for i in "${!runs[@]}"; do
        read -r fuzzer max_len corpus <<<"${runs[$i]}"
        log=$fuzz/$fuzzer-$max_len.log
        if wait "${pids[$i]}"; then
            echo "$fuzzer (up to $max_len bytes): $(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}') executions, no failure"
        else
            echo "$fuzzer FAILED (reproducer in $fuzz):" >&2
            tail -n 40 "$log" >&2
            status=1
        fi
    done
    [ "$status" -eq 0 ] || exit 1
fi
echo "== packer: all tests passed"
