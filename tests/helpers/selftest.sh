#!/bin/bash
# Builds BoxHelper.exe and BoxDemo.exe and checks them against each other
# under Wine on a private Xvfb display.
#   HELPERS_WORK     scratch folder (default /tmp/helpers-selftest)
#   HELPERS_PREFIX   Wine prefix (default /tmp/demo-wp64)
#   HELPERS_DISPLAY  X display number to start Xvfb on (default 57)
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=${HELPERS_WORK:-/tmp/helpers-selftest}
export WINEPREFIX=${HELPERS_PREFIX:-/tmp/demo-wp64} WINEDEBUG=-all DISPLAY=:${HELPERS_DISPLAY:-57}
fails=0

cmake -S "$here" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$here/../../cmake/toolchains/i686-w64-mingw32.cmake" >/dev/null &&
    cmake --build "$work/build" >/dev/null || { echo "FAIL: build"; exit 1; }
bin=$work/build

Xvfb "$DISPLAY" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
wineserver -p >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null; kill $xvfb 2>/dev/null' EXIT
# Without a window manager, winex11 waits 2 s for every managed window to be
# withdrawn; unmanaged windows close at once.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

value() { grep -m1 "^$2=" "$1" | cut -d= -f2-; }
expect() { # case file key expected
    local got
    got=$(value "$2" "$3")
    [ "$got" == "$4" ] || { echo "FAIL $1: $3='$got', expected '$4'"; fails=$((fails + 1)); }
}
expect_code() { # case got expected
    [ "$2" == "$3" ] || { echo "FAIL $1: exit code $2, expected $3"; fails=$((fails + 1)); }
}

# Shows a box in the background; its exit code lands in $work/box.rc.
box() {
    rm -f "$work/box.rc"
    (wine "$bin/BoxDemo.exe" "$@" >/dev/null; echo $? >"$work/box.rc") &
    box_pid=$!
}
box_code() { wait $box_pid; cat "$work/box.rc"; }
helper() { # case args... ; output in $out
    out=$work/$1.txt
    local name=$1 start=$(date +%s%N)
    shift
    wine "$bin/BoxHelper.exe" "$@" --out "$out" >/dev/null
    code=$?
    echo "$name: exit $code, $((($(date +%s%N) - start) / 1000000)) ms"
}

# The launcher's error box: text as given (no CR LF added or dropped), the
# folder listed while the box is still up.
rm -rf "$work/dir" && mkdir -p "$work/dir" && touch "$work/dir/left over.tmp" "$work/dir/ü.exe"
box --text $'Schlüssel fehlt.\r\n' --style 'OK|ICONERROR'
helper error --caption "KOVA Sparlin" --press OK --list-dir "$work/dir"
expect_code error $code 0
expect error "$out" text 'Schlüssel fehlt.%0D%0A'
expect error "$out" icon yes
expect error "$out" buttons OK
expect error "$out" button_ids 1
expect error "$out" dir_count 2
grep -qx 'dir_entry=left over.tmp' "$out" && grep -qx 'dir_entry=ü.exe' "$out" || { echo "FAIL error: dir entries"; fails=$((fails + 1)); }
expect error "$out" closed yes
expect_code error-box "$(box_code)" 1

# The update question, answered both ways.
for answer in Yes:6 No:7; do
    box --text "New version?" --style 'YESNO|ICONQUESTION'
    helper "question-${answer%:*}" --caption "KOVA Sparlin" --press "${answer%:*}"
    expect_code question $code 0
    expect question "$out" buttons Yes,No
    expect question "$out" button_ids 6,7
    expect question "$out" icon yes
    expect_code question-box "$(box_code)" "${answer#*:}"
done

# Asking for a button the box lacks must leave the box alone.
box --caption "Ünï box" --style OKCANCEL
helper missing-button --caption "Ünï box" --press Yes
expect_code missing-button $code 3
expect missing-button "$out" icon no
helper still-there --caption "Ünï box" --press Cancel --timeout-ms 3000
expect_code still-there $code 0
expect_code missing-button-box "$(box_code)" 2

# Only the exact caption counts.
box --caption "KOVA Sparlin 2"
helper timeout --caption "KOVA Sparlin" --timeout-ms 700
expect_code timeout $code 2
expect timeout "$out" error timeout
grep -qx 'seen=KOVA Sparlin 2|#32770' "$out" || { echo "FAIL timeout: the other box was not up yet"; fails=$((fails + 1)); }
helper cleanup --caption "KOVA Sparlin 2" --press OK --timeout-ms 3000
expect_code timeout-box "$(box_code)" 1

echo "$([ $fails = 0 ] && echo PASS || echo "FAILED ($fails)")"
[ $fails = 0 ]
