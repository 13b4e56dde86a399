#!/usr/bin/env bash
# Builds the release artefacts into dist/:
#   Sparlin-stub.exe   the launcher without an application, for sparlin-pack
#   sparlin-pack       the packer for Linux x86_64 (static)
#   sparlin-pack.exe   the packer for Windows x64 (console, static)
#   SHA256SUMS         of the three
# Arguments go to CMake's configuration of the stub, e.g. the signing
# settings (-DSPARLIN_SIGN_CERTIFICATE=... signs the LZMA tool inside the
# stub) or -DSPARLIN_UPDATE_HOST=... for the stub's default hosts.
# The same tree gives the same bytes on every run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

build=$root/build/release
dist=$root/dist
quiet() { # runs a command, shows its output only when it fails
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then cat "$log"; rm -f "$log"; return 1; fi
    rm -f "$log"
}

echo "== stub"
quiet cmake --preset windows-x86 -B "$build/stub" -DBUILD_TESTING=OFF "$@"
quiet cmake --build "$build/stub" -j2 --target SparlinStub
echo "== sparlin-pack for Linux"
quiet cmake -S packer -B "$build/packer-linux" -DCMAKE_BUILD_TYPE=Release -DPACK_BUILD_TESTS=OFF
quiet cmake --build "$build/packer-linux" -j2 --target sparlin_pack
echo "== sparlin-pack for Windows"
quiet cmake -S packer -B "$build/packer-windows" -DCMAKE_BUILD_TYPE=Release -DPACK_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/x86_64-w64-mingw32.cmake"
quiet cmake --build "$build/packer-windows" -j2 --target sparlin_pack

mkdir -p "$dist"
rm -f "$dist/Sparlin-stub.exe" "$dist/sparlin-pack" "$dist/sparlin-pack.exe" "$dist/SHA256SUMS"
install -m 0644 "$build/stub/Launcher/Sparlin-stub.exe" "$dist/Sparlin-stub.exe"
install -m 0755 "$build/packer-linux/sparlin-pack" "$dist/sparlin-pack"
install -m 0644 "$build/packer-windows/sparlin-pack.exe" "$dist/sparlin-pack.exe"
(cd "$dist" && sha256sum Sparlin-stub.exe sparlin-pack sparlin-pack.exe >SHA256SUMS)
cat "$dist/SHA256SUMS"
