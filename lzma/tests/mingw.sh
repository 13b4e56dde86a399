#!/usr/bin/env bash
# Builds the tool for 32-bit Windows the way the project's cross build does
# and checks that LZMA.exe is a static i386 console program that imports
# nothing but system DLLs. Exits 77 (skipped) without a mingw compiler.
# Usage: mingw.sh lzma-source-dir build-dir
set -u
src=$(realpath "$1")
mkdir -p "$2"
build=$(realpath "$2")
cxx=$(command -v i686-w64-mingw32-g++-posix || true)
objdump=$(command -v i686-w64-mingw32-objdump || true)
if [ -z "$cxx" ] || [ -z "$objdump" ]; then
    echo "mingw: i686-w64-mingw32-g++-posix not found, skipped"
    exit 77
fi

cat >"$build/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S "$src" -B "$build" "${gen[@]}" -DCMAKE_TOOLCHAIN_FILE="$build/toolchain.cmake" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; echo "FAIL: configure"; exit 1; }
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { tail -30 "$build/build.log"; echo "FAIL: build"; exit 1; }

fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
exe=$build/LZMA.exe
[ -f "$exe" ] || { echo "FAIL: no LZMA.exe"; exit 1; }
# Nothing but the library and the tool in this configuration.
targets=$(cmake --build "$build" --target help 2>/dev/null | grep -oE 'lzma_[a-z_]+' | sort -u | tr '\n' ' ')
[ "$targets" = "lzma_codec lzma_tool " ] || fail "unexpected targets: $targets"

dump=$("$objdump" -p "$exe")
grep -q 'file format pei-i386' <<<"$dump" || fail "not an i386 PE image"
grep -qE '^Subsystem[[:space:]]+0*3' <<<"$dump" || fail "not a console program"
dlls=$(grep -oE 'DLL Name: .*' <<<"$dump" | sed 's/DLL Name: //' | tr 'A-Z' 'a-z' | sort -u)
for dll in $dlls; do
    case "$dll" in
        kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | advapi32.dll | user32.dll | ntdll.dll | shell32.dll) ;;
        *) fail "imports non-system DLL $dll" ;;
    esac
done
[ -n "$dlls" ] || fail "no imports found"
if [ $fails -ne 0 ]; then
    echo "mingw: $fails failure(s)"
    exit 1
fi
echo "mingw: LZMA.exe imports only:" $dlls
