#!/usr/bin/env bash
# Installs what building and testing both platforms needs (Debian 12, as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config python3
  libssl-dev openssl ca-certificates osslsigncode
  googletest libbenchmark-dev
  g++-mingw-w64-x86-64 gcc-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64
  valgrind clang libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
