#!/usr/bin/env bash
# Compares our LZMA tool with `xz --format=lzma` and with 7-Zip's `7zz` on
# stripped Windows PE files (Wine's DLLs, x86 and x64), on x86_64 and on
# 32-bit x86: decode and encode time ratios against each peer, compressed
# size against xz -6 and peak memory. Our 32-bit tool is a native -m32 build;
# the 32-bit peers come from Debian's i386 packages, unpacked into the work
# directory. Not a test: it exits 0 once it has measured (1 on a wrong decode
# or a missing tool). Run scripts/setup.sh first.
#   LZMA_BENCH_DIR         work directory (default <repo>/build/lzma-bench)
#   LZMA_BENCH_DEC_ROUNDS  decode rounds over the corpus (default 11)
#   LZMA_BENCH_ENC_ROUNDS  encode rounds over the corpus (default 3)
#   LZMA_BENCH_BASE        a git revision to measure in the same rounds as "base",
#                          for before/after figures (default: none)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
work=${LZMA_BENCH_DIR:-$repo/build/lzma-bench}
dec_rounds=${LZMA_BENCH_DEC_ROUNDS:-11}
enc_rounds=${LZMA_BENCH_ENC_ROUNDS:-3}
mkdir -p "$work/corpus"
work=$(cd "$work" && pwd)

for cmd in xz 7zz python3 /usr/bin/time apt-get dpkg-deb x86_64-w64-mingw32-strip i686-w64-mingw32-strip; do
    command -v "$cmd" >/dev/null || { echo "bench: $cmd is missing (run scripts/setup.sh)" >&2; exit 1; }
done

gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
build() { # dir, extra cmake arguments
    local dir=$1
    shift
    cmake -S "$repo/lzma" -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DLZMA_BUILD_TESTS=OFF "$@" >"$dir.log" 2>&1 &&
        cmake --build "$dir" --target lzma_tool -j"$(nproc)" >>"$dir.log" 2>&1 ||
        { cat "$dir.log" >&2; exit 1; }
}
mkdir -p "$work/x86_64" "$work/i686"
build "$work/x86_64"
build "$work/i686" -DCMAKE_CXX_FLAGS=-m32
base64=() base32=()
if [ -n "${LZMA_BENCH_BASE:-}" ]; then
    # Its files carry the commit's time, older than the objects of another
    # revision's build: that build is made anew, not trusted to notice.
    rm -rf "$work/base-src" "$work/base-x86_64" "$work/base-i686"
    mkdir -p "$work/base-src"
    git -C "$repo" archive "$LZMA_BENCH_BASE" lzma | tar -x -C "$work/base-src"
    mkdir -p "$work/base-x86_64" "$work/base-i686"
    repo_lzma=$work/base-src/lzma
    build_base() { local dir=$1; shift; cmake -S "$repo_lzma" -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DLZMA_BUILD_TESTS=OFF "$@" >"$dir.log" 2>&1 && cmake --build "$dir" --target lzma_tool >>"$dir.log" 2>&1 ||
        { cat "$dir.log" >&2; exit 1; }; }
    build_base "$work/base-x86_64"
    build_base "$work/base-i686" -DCMAKE_CXX_FLAGS=-m32
    base64=("base:$work/base-x86_64/lzma") base32=("base:$work/base-i686/lzma")
fi

# 32-bit peers: Debian's i386 builds and the libraries they need beyond the
# C library, unpacked here; nothing is installed for them.
peers=$work/i386-peers
if [ ! -x "$peers/usr/bin/xz" ] || [ ! -x "$peers/usr/bin/7zz" ]; then
    rm -rf "$peers" "$work/debs"
    mkdir -p "$work/debs"
    # apt drops privileges to _apt for downloads; let it write here.
    chmod 777 "$work/debs"
    (cd "$work/debs" && apt-get download -q xz-utils:i386 liblzma5:i386 7zip:i386 libstdc++6:i386 libgcc-s1:i386 >/dev/null)
    for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$peers"; done
fi
export PEER_LD_LIBRARY_PATH=$peers/lib/i386-linux-gnu:$peers/usr/lib/i386-linux-gnu

# --- corpus: a spread of sizes from both architectures, about 13.5 MB stripped
x64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
x86=/usr/lib/i386-linux-gnu/wine/i386-windows
picks=(
    "$x64/jscript.dll" "$x64/oleaut32.dll" "$x64/comctl32.dll" "$x64/user32.dll"
    "$x64/msxml3.dll" "$x64/regedit.exe"
    "$x86/d2d1.dll" "$x86/quartz.dll" "$x86/ole32.dll" "$x86/windowscodecs.dll" "$x86/winecfg.exe"
)
files=()
total=0
for src in "${picks[@]}"; do
    [ -f "$src" ] || continue
    case $src in
        "$x64"/*) arch=x64 strip=x86_64-w64-mingw32-strip ;;
        *) arch=x86 strip=i686-w64-mingw32-strip ;;
    esac
    dst=$work/corpus/$arch-$(basename "$src")
    [ -f "$dst" ] || "$strip" -o "$dst" "$src"
    files+=("$dst")
    total=$((total + $(stat -c %s "$dst")))
done
if [ "$total" -lt 10000000 ]; then
    echo "bench: the corpus has only $total bytes (is wine installed?)" >&2
    exit 1
fi

python3 "$here/measure.py" x86_64 "$work" "$enc_rounds" "$dec_rounds" \
    "ours:$work/x86_64/lzma" "xz:$(command -v xz)" "7zz:$(command -v 7zz)" "${base64[@]}" -- "${files[@]}"
echo
# Some kernels are built or booted without 32-bit support, and where qemu's
# binfmt handler is registered 32-bit programs run emulated; say so rather
# than print emulated times.
if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    echo "[i686] not measured: 32-bit x86 programs run under qemu emulation here (binfmt qemu-i386)"
elif "$work/i686/lzma" >/dev/null 2>&1 || [ $? -ne 126 ]; then
    python3 "$here/measure.py" i686 "$work" "$enc_rounds" "$dec_rounds" \
        "ours:$work/i686/lzma" "xz:$peers/usr/bin/xz" "7zz:$peers/usr/bin/7zz" "${base32[@]}" -- "${files[@]}"
else
    echo "[i686] not measured: this kernel does not run 32-bit x86 programs (ia32 emulation is off)"
fi
echo
echo "Targets: decode <= 0.75 of 7zz and <= 0.65 of xz, encode <= 1.5 of xz, size <= 1.005 of xz -6."
