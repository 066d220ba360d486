#!/usr/bin/env bash
# Installs what building and testing both platforms needs (Debian 12, as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config python3
  libssl-dev openssl ca-certificates osslsigncode gcab msitools
  zlib1g-dev libexpat1-dev nlohmann-json3-dev
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

binfmt=/proc/sys/fs/binfmt_misc
# Hands i386 ELF programs to qemu-user: the header binfmt_misc matches (ELF,
# 32-bit, little-endian, an executable or shared object for EM_386) and its
# mask. F opens the emulator now, so it also serves other mount namespaces.
i386_handler=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_handler+=':\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
i386_handler+=':/usr/bin/qemu-i386-static:F'

# Where the kernel runs no 32-bit programs (some virtual machines), an
# emulator registered with binfmt_misc runs them, slowly: enough for the
# 32-bit build's core tests (tools/test.sh). A registration lasts until the
# machine restarts, so it is checked on every run.
emulate_32_bit_programs() {
  dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed" ||
    apt-get install -y --no-install-recommends qemu-user-static || return
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" || return
  [ -e "$binfmt/qemu-i386" ] || printf '%s\n' "$i386_handler" >"$binfmt/register"
}

if ! runs_32_bit_programs; then
  echo "this kernel runs no 32-bit programs: registering qemu-user-static to run them" >&2
  emulate_32_bit_programs || echo "qemu-user-static could not be registered for 32-bit programs" >&2
fi

# Wine's 32-bit half runs the 32-bit Windows build's tests. Without 32-bit
# programs, even emulated, it cannot start, and once installed it would make
# plain `wine` fail for 64-bit programs too, so it is installed only where it
# works. Where it is not installed the 32-bit build is still made and its
# machine code checked, and its Wine tests are skipped with a message
# (tools/test.sh): that alone never fails this script.
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  :
elif runs_32_bit_programs; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # The i386 packages must match the amd64 ones version for version, which a
  # stale i386 index breaks, so the update is tried a few times (and
  # install-wine32.sh fetches the twins a stale index still lacks).
  for attempt in 1 2 3 4 5; do
    apt-get update && break
    echo "apt-get update reported errors (attempt $attempt)" >&2
    [ "$attempt" = 5 ] || sleep 15
  done
  "$(dirname "$0")/install-wine32.sh" ||
    echo "wine32:i386 could not be installed without removing or downgrading installed packages" \
      "(see above); the 32-bit build's Wine tests will be skipped" >&2
else
  echo "32-bit programs cannot run here, not even emulated: wine32:i386 is not installed" >&2
fi
