#!/usr/bin/env bash
# Installs what building and testing both platforms needs (Debian 12, as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config python3
  libssl-dev openssl ca-certificates osslsigncode gcab msitools
  googletest libbenchmark-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine64
  dpkg-dev
  valgrind clang libclang-rt-14-dev clang-format
  npm
)

# The 32-bit Windows build runs under Wine's 32-bit half, an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync fails one index now and then. The i386
  # packages must match the amd64 ones version for version, which a stale or
  # missing i386 index breaks, so the update is tried a few times; after that
  # the lists already fetched serve, and a package truly missing fails below.
  for attempt in 1 2 3 4 5; do
    apt-get update && break
    echo "apt-get update reported errors (attempt $attempt)" >&2
    [ "$attempt" = 5 ] || sleep 15
  done
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Wine's 32-bit half runs the 32-bit Windows build. It needs a kernel that
# runs 32-bit programs, which some virtual machines do not: the 32-bit
# loader of the C library, a small package, tells. Without it the 32-bit
# build is still made and its machine code checked; its Wine tests are
# skipped with a message (tools/test.sh).
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends libc6:i386
  if /lib/ld-linux.so.2 --help >/dev/null 2>&1; then
    apt-get install -y --no-install-recommends wine32:i386
  else
    echo "this kernel runs no 32-bit programs: wine32:i386 is not installed" >&2
  fi
fi
