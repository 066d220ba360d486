#!/usr/bin/env bash
# Installs what building and testing both platforms needs (Debian 12, as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config python3
  libssl-dev openssl ca-certificates osslsigncode gcab msitools
  zlib1g-dev libexpat1-dev
  googletest libbenchmark-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine64
  dpkg-dev lintian man-db
  valgrind clang libclang-rt-14-dev clang-format
)
# npm fetches the real-world programs some tests check. A Node.js from
# elsewhere that already brings npm is kept: Debian's npm conflicts with it.
command -v npm >/dev/null || packages+=(npm)

export DEBIAN_FRONTEND=noninteractive
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  # A mirror in the middle of a sync fails one index now and then; the lists
  # already fetched still serve, and a package truly missing fails below.
  apt-get update || echo "apt-get update reported errors; installing from the lists it has" >&2
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Whether this kernel runs 32-bit x86 programs (some virtual machines do
# not): a three-instruction program assembled here, needing no i386 package.
runs_32_bit_programs() {
  local dir status
  dir=$(mktemp -d)
  printf '.globl _start\n_start: movl $1, %%eax\nxorl %%ebx, %%ebx\nint $0x80\n' >"$dir/exit.s"
  as --32 -o "$dir/exit.o" "$dir/exit.s" && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" && "$dir/exit" 2>/dev/null
  status=$?
  rm -rf "$dir"
  return $status
}

# Wine's 32-bit half runs the 32-bit Windows build's tests. Without a kernel
# that runs 32-bit programs it cannot start, and once installed it would make
# plain `wine` fail for 64-bit programs too, so it is installed only where it
# works; elsewhere the 32-bit build is still made and its machine code
# checked, and its Wine tests are skipped with a message (tools/test.sh).
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  :
elif runs_32_bit_programs; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # The i386 packages must match the amd64 ones version for version, which a
  # stale i386 index breaks, so the update is tried a few times.
  for attempt in 1 2 3 4 5; do
    apt-get update && break
    echo "apt-get update reported errors (attempt $attempt)" >&2
    [ "$attempt" = 5 ] || sleep 15
  done
  apt-get install -y --no-install-recommends wine32:i386
else
  echo "this kernel runs no 32-bit programs: wine32:i386 is not installed" >&2
fi
