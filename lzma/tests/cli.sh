#!/usr/bin/env bash
# Command-line behaviour of the tool: usage, headers, paths, and that every
# failure leaves no output file behind.
# Usage: cli.sh path/to/lzma
set -u
tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

usage='Usage:  LZMA <e|d> inputFile outputFile [<switches>...]'

# Expects a failure with a message on stderr and no file at $2.
expect_failure() {
    local what=$1 out=$2
    shift 2
    if "$@" >stdout.txt 2>stderr.txt; then
        fail "$what: exit code 0"
    fi
    [ -s stderr.txt ] || fail "$what: nothing on stderr"
    [ -e "$out" ] && fail "$what: output file left behind"
    rm -f "$out"
}

# --- wrong command lines
for args in "" "e" "d in" "x in out" "e in out -zz" "e in out -d" "e in out -lc9" "e in out -pb5" "e in out -fb4" "e in out -d31" "e in out -a2" "e in out -mt0" "e in out -mt3"; do
    echo hello >in
    # shellcheck disable=SC2086
    if "$tool" $args >stdout.txt 2>stderr.txt; then fail "'$args' accepted"; fi
    grep -qxF "$usage" stderr.txt || fail "'$args': no usage line"
    [ -e out ] && fail "'$args': created out"
    rm -f out
done

# --- headers written by e
head -c 5000 /dev/urandom >data
"$tool" e data def.lz || fail "e default"
got=$(od -An -tx1 -N13 def.lz | tr -d ' \n')
[ "$got" = "5d000080008813000000000000" ] || fail "default header $got"
"$tool" e data eos.lz -eos || fail "e -eos"
got=$(od -An -tx1 -N13 eos.lz | tr -d ' \n')
[ "$got" = "5d00008000ffffffffffffffff" ] || fail "-eos header $got"
"$tool" e data sw.lz -d16 -lc0 -lp2 -pb0 -fb128 -mc8 -a0 || fail "e with switches"
got=$(od -An -tx1 -N5 sw.lz | tr -d ' \n')
[ "$got" = "1200000100" ] || fail "switch header $got"
for f in def eos sw; do
    "$tool" d $f.lz $f.out && cmp -s data $f.out || fail "round trip $f"
done

# --- one thread and two give the same stream: a real executable (the tool's
# first MB), with the default window and with one that moves every 64 KiB
head -c 1000000 "$tool" >exe
for d in "" -d16; do
    # shellcheck disable=SC2086
    "$tool" e exe one.lz -mt1 $d && "$tool" e exe two.lz -mt2 $d && cmp -s one.lz two.lz ||
        fail "-mt1 and -mt2 differ ${d:-with the default window}"
done

# --- empty input
: >empty
"$tool" e empty empty.lz && "$tool" d empty.lz empty.out && [ -f empty.out ] && [ ! -s empty.out ] || fail "empty file"

# --- paths with spaces and non-ASCII characters
mkdir -p "dir with spaces/Übergröße ñ"
p="dir with spaces/Übergröße ñ/données é.bin"
cp data "$p"
"$tool" e "$p" "$p.lzma" && "$tool" d "$p.lzma" "$p.out" && cmp -s data "$p.out" || fail "unicode paths"

# --- failures leave nothing behind
expect_failure "missing input" out.bin "$tool" d does-not-exist out.bin
expect_failure "uncreatable output" no/such/dir/out.bin "$tool" d def.lz no/such/dir/out.bin
size=$(stat -c %s def.lz)
head -c $((size - 7)) def.lz >trunc.lz
expect_failure "truncated" out.bin "$tool" d trunc.lz out.bin
head -c 10 def.lz >short.lz
expect_failure "short header" out.bin "$tool" d short.lz out.bin
{ printf '\xe1'; tail -c +2 def.lz; } >props.lz
expect_failure "props byte 225" out.bin "$tool" d props.lz out.bin
# Corrupt the middle of a stream: either an error or exactly the declared size.
{ head -c 2000 def.lz; printf '\x55\xaa\x55'; tail -c +2004 def.lz; } >corrupt.lz
if "$tool" d corrupt.lz out.bin 2>/dev/null; then
    [ "$(stat -c %s out.bin)" = 5000 ] || fail "corrupt: wrong size kept"
else
    [ -e out.bin ] && fail "corrupt: output left behind"
fi
rm -f out.bin
# An existing output file is replaced on success and removed on failure.
echo old >out.bin
expect_failure "failure over existing output" out.bin "$tool" d trunc.lz out.bin
# Decoding a file onto itself must fail without destroying it.
cp def.lz same.lz
"$tool" d same.lz same.lz 2>/dev/null && fail "same input and output accepted"
cmp -s def.lz same.lz || fail "same input and output: input damaged"

# --- 4 GiB dictionary in the header of a small stream: decoded with little memory
{ head -c 1 def.lz; printf '\xff\xff\xff\xff'; tail -c +6 def.lz; } >bigdict.lz
"$tool" d bigdict.lz big.out && cmp -s data big.out || fail "4 GiB dictionary header"
# An absurd declared size with tiny data fails cleanly.
{ head -c 5 def.lz; printf '\x00\x00\x00\x00\x00\x00\x00\x10'; tail -c +14 def.lz; } >bigsize.lz
expect_failure "absurd size" out.bin "$tool" d bigsize.lz out.bin

if [ $fails -ne 0 ]; then
    echo "cli: $fails failure(s)"
    exit 1
fi
echo "cli: all passed"
