#!/usr/bin/env bash
# Builds and runs the native tests plainly and under ASan+UBSan, then runs each
# fuzzer for a bounded time. Exits non-zero on the first failure.
#   FUZZ_SECONDS  time per fuzzer (default 20)
#   BUILD_ROOT    where the build trees go (default <repository>/build)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build_root=${BUILD_ROOT:-$root/build}
fuzz_seconds=${FUZZ_SECONDS:-20}
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n== %s\n' "$*"; }

configure_and_build() { # directory, cmake arguments...
    local dir=$1
    shift
    cmake -S "$here" -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$jobs" >"$dir.build.log" 2>&1 || { cat "$dir.build.log"; return 1; }
    if grep -q 'warning:' "$dir.build.log"; then grep -A3 'warning:' "$dir.build.log"; fi
}

mkdir -p "$build_root"

step "native tests"
configure_and_build "$build_root/native" -DCMAKE_BUILD_TYPE=Debug -DKOVA_FUZZ=OFF
ctest --test-dir "$build_root/native" --output-on-failure -j "$jobs"

step "native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build "$build_root/native-sanitize" -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=ON -DKOVA_FUZZ=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$build_root/native-sanitize" --output-on-failure -j "$jobs"

step "fuzzers, ${fuzz_seconds} s of a core each, all at once"
command -v clang++ >/dev/null || { echo "clang++ is needed for the fuzzers (packages clang, libclang-rt-14-dev)" >&2; exit 1; }
fuzz_dir=$build_root/native-fuzz
configure_and_build "$fuzz_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKOVA_BUILD_TESTS=OFF -DKOVA_FUZZ=ON

# Seeds: a few meaningful inputs per target; the corpus grows across runs.
seed() { # target, name, printf format
    mkdir -p "$fuzz_dir/corpus/$1"
    printf "$3" >"$fuzz_dir/corpus/$1/seed-$2"
}
seed FuzzVersion lines '\000\n0.9\n1.2.36.0\r\n'
seed FuzzVersion page '\000\n<html>\r\n<title>404 Not Found</title>\r\n'
seed FuzzVersion long '\001<>release 1.2.99999999999<>4294967296..3<>'
seed FuzzVersion zero '\000\n1.2.35\000.9\n1.2.35.0.1'
seed FuzzHash abc 'abc'
seed FuzzHash block 'abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq'
seed FuzzHash long '%0200d'
seed FuzzArgumentList switches 'prog\000a\000/x\000b c\000-y\000--z\000-\000/'
seed FuzzArgumentList paths 'C:\\Temp dir\\g.exe\000x\000\000"quoted arg" y\000tab\there'

# All at once, each for as long as the cores give it the time it would have
# had alone: the same fuzzing in a fraction of the wait.
fuzzers=(FuzzVersion FuzzHash FuzzArgumentList)
each=$(( (fuzz_seconds * ${#fuzzers[@]} + jobs - 1) / jobs ))
pids=()
for fuzzer in "${fuzzers[@]}"; do
    (cd "$fuzz_dir" && exec ./"$fuzzer" -max_total_time="$each" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 "corpus/$fuzzer") >"$fuzz_dir/$fuzzer.log" 2>&1 &
    pids+=($!)
done
status=0
for i in "${!fuzzers[@]}"; do
    fuzzer=${fuzzers[$i]}
    log=$fuzz_dir/$fuzzer.log
    if wait "${pids[$i]}"; then
        echo "$fuzzer: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}') executions, no failure"
    else
        echo "$fuzzer FAILED (reproducer in $fuzz_dir):" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
done
exit $status
