#!/bin/bash
# Builds SparlinDemo.exe and demolayout.dll for x86 and x64 and checks the
# test-mode report under Wine.
#   DEMO_WORK  scratch folder (default /tmp/demo-selftest)
#   DEMO_WP64  64-bit Wine prefix (default /tmp/demo-wp64)
#   DEMO_WP32  32-bit Wine prefix (default /tmp/demo-wp32, "none" to skip)
set -u
here=$(cd "$(dirname "$0")" && pwd)
toolchains=$here/../cmake/toolchains
work=${DEMO_WORK:-/tmp/demo-selftest}
wp64=${DEMO_WP64:-/tmp/demo-wp64}
wp32=${DEMO_WP32:-/tmp/demo-wp32}
export WINEDEBUG=-all
fails=0

for bits in 32 64; do
    arch=$([ $bits = 32 ] && echo i686 || echo x86_64)
    cmake -S "$here" -B "$work/build-$bits" -DCMAKE_TOOLCHAIN_FILE="$toolchains/$arch-w64-mingw32.cmake" >/dev/null &&
        cmake --build "$work/build-$bits" >/dev/null || { echo "FAIL: build $bits"; exit 1; }
done

prefixes=("$wp64")
[ "$wp32" != none ] && prefixes+=("$wp32")
# A persistent server per prefix saves most of Wine's start-up time.
for prefix in "${prefixes[@]}"; do
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1
done
trap 'for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null; done' EXIT

winpath() { echo "Z:${1//\//\\}"; }
value() { grep -m1 "^$2=" "$1" | cut -d= -f2-; }
expect() { # case report key expected
    local got
    got=$(value "$2" "$3")
    [ "$got" == "$4" ] || { echo "FAIL $1: $3='$got', expected '$4'"; fails=$((fails + 1)); }
}

# Runs a fresh copy (a successful delete probe really deletes) from a folder
# with a space in its name. Extra variables come before "--".
run() { # case prefix exe-bits layout-bits [VAR=value...] -- args...
    local name=$1 prefix=$2 exe=$3 layout=$4
    shift 4
    local env=()
    while [ "$1" != -- ]; do env+=("$1"); shift; done
    shift
    local dir="$work/run $name"
    rm -rf "$dir" && mkdir -p "$dir"
    cp "$work/build-$exe/SparlinDemo.exe" "$dir/" && cp "$work/build-$layout/demolayout.dll" "$dir/"
    report="$dir/report.txt"
    local start=$(date +%s%N)
    env WINEPREFIX="$prefix" SPARLIN_DEMO_REPORT="$report" "${env[@]}" \
        wine "$dir/SparlinDemo.exe" "$(winpath "$dir/demolayout.dll")" "$@"
    status=$?
    echo "$name: exit $status, $((($(date +%s%N) - start) / 1000000)) ms"
    [ -f "$report" ] || { echo "FAIL $name: no report"; fails=$((fails + 1)); }
}

args=("a b" "Ünï€ 😀" /lang en)
check_args() { # case
    expect "$1" "$report" argc 6
    expect "$1" "$report" arg2 "a b"
    expect "$1" "$report" arg3 "Ünï€ 😀"
    expect "$1" "$report" arg5 en
    expect "$1" "$report" arg1 "$(winpath "$work/run $1/demolayout.dll")"
    expect "$1" "$report" self_path "$(winpath "$work/run $1/SparlinDemo.exe")"
    grep -q '^cmdline=.* "a b" ' "$report" || { echo "FAIL $1: cmdline"; fails=$((fails + 1)); }
}

run x64 "$wp64" 64 64 SPARLIN_DEMO_EXIT=42 -- "${args[@]}"
expect x64 "$report" bitness x64
expect x64 "$report" wow64 no
expect x64 "$report" layout_result "demolayout x64 1.0"
expect x64 "$report" layout_error 0
[ $status = 42 ] || { echo "FAIL x64: exit code $status"; fails=$((fails + 1)); }
check_args x64

run x86-wow64 "$wp64" 32 32 -- "${args[@]}"
expect x86-wow64 "$report" bitness x86
expect x86-wow64 "$report" wow64 yes
expect x86-wow64 "$report" layout_result "demolayout x86 1.0"
[ $status = 0 ] || { echo "FAIL x86-wow64: exit code $status"; fails=$((fails + 1)); }
check_args x86-wow64

if [ "$wp32" != none ]; then
    run x86-win32 "$wp32" 32 32 WINEARCH=win32 -- "${args[@]}"
    expect x86-win32 "$report" wow64 no
    expect x86-win32 "$report" layout_result "demolayout x86 1.0"
    check_args x86-win32
fi

# A library of the other bitness must fail to load, not be reported as loaded.
run mismatch "$wp64" 64 32 --
expect mismatch "$report" layout_result ""
expect mismatch "$report" layout_error 193
expect mismatch "$report" argc 2

echo "$([ $fails = 0 ] && echo PASS || echo "FAILED ($fails)")"
[ $fails = 0 ]
