#!/usr/bin/env bash
# Installs what building and testing both platforms needs (Debian 12, as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config python3
  libssl-dev openssl ca-certificates osslsigncode gcab msitools
  googletest libbenchmark-dev
  g++-mingw-w64-x86-64 gcc-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64
  valgrind clang libclang-rt-14-dev clang-format
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync fails one index now and then; the lists
  # already fetched still serve, and a package truly missing fails below.
  apt-get update || echo "apt-get update reported errors; installing from the lists it has" >&2
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
