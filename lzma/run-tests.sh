#!/usr/bin/env bash
# Builds the codec natively and runs its tests: a normal build (unit, command
# line, xz interop, mingw import check), an ASan+UBSan build (unit and command
# line), a 32-bit build (unit) and, with clang, the fuzzers for a bounded time.
# Build trees go to $LZMA_BUILD_ROOT (default: <repo>/build). Exit non-zero on any failure.
#   LZMA_FUZZ_SECONDS  total fuzzing time (default 60, 0 skips)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=${LZMA_BUILD_ROOT:-$(cd "$here/.." && pwd)/build}
fuzz_seconds=${LZMA_FUZZ_SECONDS:-60}
jobs=$(nproc 2>/dev/null || echo 2)
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
start=$SECONDS

step() { echo "== lzma: $* ($((SECONDS - start)) s)"; }

configure() {
    local dir=$1
    shift
    cmake -S "$here" -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
}
mkdir -p "$root"

step "native build"
configure "$root/lzma-native"
cmake --build "$root/lzma-native" -j"$jobs" >/dev/null
step "native tests"
(cd "$root/lzma-native" && ctest --output-on-failure -j"$jobs")

step "sanitizer build"
configure "$root/lzma-asan" -DLZMA_SANITIZE=ON
cmake --build "$root/lzma-asan" -j"$jobs" --target lzma_tests lzma_tool >/dev/null
step "sanitizer tests"
(cd "$root/lzma-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$jobs" -L unit)

# The shipped tool is a 32-bit program and the decoder has x86 assembly of
# its own: the unit tests also run as a -m32 build, under qemu where this
# kernel runs no 32-bit programs.
if echo 'int main() {}' | g++ -m32 -x c++ - -o "$root/m32-probe" 2>/dev/null; then
    step "32-bit build"
    configure "$root/lzma-m32" -DCMAKE_CXX_FLAGS=-m32
    cmake --build "$root/lzma-m32" -j"$jobs" --target lzma_tests >/dev/null
    run32=()
    if ! "$root/m32-probe" 2>/dev/null && command -v qemu-i386 >/dev/null; then run32=(qemu-i386); fi
    if [ ${#run32[@]} -gt 0 ] || "$root/m32-probe" 2>/dev/null; then
        step "32-bit unit tests ${run32[*]}"
        "${run32[@]}" "$root/lzma-m32/tests/lzma_tests" --gtest_brief=1
    else
        step "32-bit unit tests skipped: this kernel runs no 32-bit programs and qemu-i386 is missing"
    fi
else
    step "32-bit build skipped (no g++ -m32)"
fi

if [ "$fuzz_seconds" -gt 0 ] && command -v clang++ >/dev/null; then
    step "fuzzer build"
    configure "$root/lzma-fuzz" -DCMAKE_CXX_COMPILER=clang++ -DLZMA_FUZZ=ON -DLZMA_BUILD_TESTS=OFF
    cmake --build "$root/lzma-fuzz" -j"$jobs" --target lzma_fuzz_decode lzma_fuzz_roundtrip >/dev/null

    # Seeds: small streams from our encoder with assorted switches and from xz.
    tool=$root/lzma-native/lzma
    seeds=$root/lzma-fuzz/seeds
    rm -rf "$seeds" && mkdir -p "$seeds/decode" "$seeds/roundtrip" "$root/lzma-fuzz/corpus-decode" "$root/lzma-fuzz/corpus-roundtrip"
    printf 'abracadabra abracadabra abracadabra' >"$seeds/roundtrip/words"
    head -c 3000 "$here/codec/LzmaDecoder.cpp" >"$seeds/roundtrip/code"
    head -c 1500 /dev/urandom >"$seeds/roundtrip/noise"
    printf '\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\1' >"$seeds/roundtrip/zeros"
    i=0
    for f in "$seeds"/roundtrip/*; do
        "$tool" e "$f" "$seeds/decode/$i.a"
        "$tool" e "$f" "$seeds/decode/$i.b" -eos -lc0 -lp2 -pb0
        "$tool" e "$f" "$seeds/decode/$i.c" -a0 -lc8 -lp4 -pb4 -d12
        if command -v xz >/dev/null; then xz --format=lzma -c "$f" >"$seeds/decode/$i.x"; fi
        i=$((i + 1))
    done
    decode_time=$((fuzz_seconds * 2 / 3))
    roundtrip_time=$((fuzz_seconds - decode_time))
    # Both at once, on a core each.
    step "fuzzing the decoder for ${decode_time} s and encode/decode round trips for ${roundtrip_time} s"
    "$root/lzma-fuzz/fuzz/lzma_fuzz_decode" -max_total_time="$decode_time" -max_len=8192 -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$root/lzma-fuzz/" -print_final_stats=1 \
        "$root/lzma-fuzz/corpus-decode" "$seeds/decode" >"$root/lzma-fuzz/decode.log" 2>&1 &
    decode_pid=$!
    "$root/lzma-fuzz/fuzz/lzma_fuzz_roundtrip" -max_total_time="$roundtrip_time" -max_len=20000 -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$root/lzma-fuzz/" -print_final_stats=1 \
        "$root/lzma-fuzz/corpus-roundtrip" "$seeds/roundtrip" >"$root/lzma-fuzz/roundtrip.log" 2>&1 ||
        { tail -40 "$root/lzma-fuzz/roundtrip.log"; kill "$decode_pid" 2>/dev/null; exit 1; }
    wait "$decode_pid" || { tail -40 "$root/lzma-fuzz/decode.log"; exit 1; }
else
    step "fuzzing skipped"
fi
step "all lzma tests passed"
