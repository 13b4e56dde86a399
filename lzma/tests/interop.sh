#!/usr/bin/env bash
# Interoperability with xz-utils in both directions: whatever our `e` writes
# must decode with `xz --format=lzma -d`, and whatever `xz --format=lzma`
# writes must decode with our `d`, byte for byte.
# Usage: interop.sh path/to/lzma
set -u
tool=$(realpath "$1")
command -v xz >/dev/null || { echo "interop: xz not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

# --- inputs
: >empty
printf 'x' >one
python3 - <<'EOF'
import random
r = random.Random(1234)
open("random", "wb").write(bytes(r.getrandbits(8) for _ in range(1 << 20)))
open("runs", "wb").write(b"\0" * 1500000 + b"ab" * 300000 + bytes(range(256)) * 2000)
EOF
cat /usr/share/common-licenses/* >text 2>/dev/null
[ -s text ] || python3 -c "print('lorem ipsum dolor sit amet ' * 40000)" >text
# A few MB of real executable code, as the launcher's payloads are.
big=""
for d in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/i386-linux-gnu/wine/i386-windows \
         /usr/lib/x86_64-linux-gnu/wine/i386-windows; do
    for f in shell32.dll comctl32.dll user32.dll; do
        [ -f "$d/$f" ] && { big="$d/$f"; break 2; }
    done
done
if [ -n "$big" ]; then
    head -c 3500000 "$big" >binary
else
    python3 -c "
import random
r = random.Random(5)
words = [bytes(r.getrandbits(8) for _ in range(r.randint(2, 12))) for _ in range(3000)]
open('binary', 'wb').write(b''.join(r.choice(words) for _ in range(500000))[:3500000])"
fi
small="empty one random runs text"
all="$small binary"

check_ours_to_xz() {
    local f=$1
    shift
    local tag="$f [$*]"
    rm -f c.lzma back
    "$tool" e "$f" c.lzma "$@" || { fail "ours e $tag"; return; }
    xz --format=lzma -dc c.lzma >back 2>xz.err || { fail "xz -d of ours $tag: $(cat xz.err)"; return; }
    cmp -s "$f" back || fail "xz -d of ours differs $tag"
}

check_xz_to_ours() {
    local f=$1
    shift
    local tag="$f [$*]"
    rm -f c.lzma back
    xz --format=lzma -c "$@" "$f" >c.lzma || { fail "xz $tag"; return; }
    "$tool" d c.lzma back || { fail "ours d of xz $tag"; return; }
    cmp -s "$f" back || fail "ours d of xz differs $tag"
}

# --- ours -> xz
for f in $all; do
    check_ours_to_xz "$f"
    check_ours_to_xz "$f" -eos
    check_ours_to_xz "$f" -d16 -lc0 -lp2 -pb0
done
for f in $small; do
    check_ours_to_xz "$f" -lc4 -lp0 -pb4 -fb273
    check_ours_to_xz "$f" -a0 -d20 -fb32 -eos
    check_ours_to_xz "$f" -lc1 -lp3 -pb1 -mc4 -d12
done
check_ours_to_xz binary -a0 -lc4 -pb0

# --- xz -> ours
for f in $small; do
    for level in 0 1 6 9; do
        check_xz_to_ours "$f" -$level
    done
    check_xz_to_ours "$f" --lzma1=preset=6,lc=0,lp=4,pb=0
    check_xz_to_ours "$f" --lzma1=preset=1,lc=4,lp=0,pb=4,dict=4KiB
done
for level in 0 1 2 3 4 5 6 7 8 9; do
    check_xz_to_ours binary -$level
done
check_xz_to_ours binary -6e
check_xz_to_ours binary -9e

if [ $fails -ne 0 ]; then
    echo "interop: $fails failure(s)"
    exit 1
fi
echo "interop: all passed"
