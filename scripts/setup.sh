#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine (run as root).
# Idempotent: when every package is already there it only checks and returns.
set -euo pipefail

packages=(
  cmake make ninja-build git
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  googletest libgtest-dev
  wine wine64 wine32:i386
  xvfb xdotool x11-utils imagemagick
  xz-utils clang libclang-rt-14-dev
  nginx-light python3 python3-pefile osslsigncode openssl libssl-dev time
  g++-multilib hyperfine 7zip linux-perf valgrind qemu-user
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# Nginx is started by the tests on loopback only; the packaged service must not hold port 80.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now nginx >/dev/null 2>&1 || true; fi
if [ -x /etc/init.d/nginx ]; then /etc/init.d/nginx stop >/dev/null 2>&1 || true; fi
