#!/usr/bin/env python3
"""Starts a Windows program of the tests under Wine, reliably.

  wine_run.py PROGRAM.exe [ARGUMENT...]
  wine_run.py --can-run-32-bit     exit status 0 when 32-bit programs can run

Two things make a plain `wine PROGRAM` unreliable once Wine's 32-bit half is
installed beside its 64-bit one. `wine` then starts the 32-bit loader, which
hands a 64-bit program on to the 64-bit loader, and that hand-over now and
then fails before the program runs ("ShellExecuteEx failed"). And a prefix
made by one Wine installation does not work after the installation changed.
So the loader that fits the program's machine type is called directly, and the
prefix is keyed to the installed loaders: the prefix named by
SIGREPORT_WINEPREFIX_BASE with a key of the loaders' sizes and times appended.

Exit status: the program's, or 125 when it could not be started at all.
"""

import hashlib
import os
import struct
import subprocess
import sys

LOADER_DIR = "/usr/lib/wine"
# IMAGE_FILE_HEADER.Machine
MACHINE_I386 = 0x14C
MACHINE_AMD64 = 0x8664
LAUNCH_FAILED = 125


class LaunchError(RuntimeError):
    """Wine could not start the program: no fault of the program's."""


def machine_of(executable):
    """The PE machine type of `executable`."""
    with open(executable, "rb") as file:
        header = file.read(4096)
    (offset,) = struct.unpack_from("<I", header, 0x3C)
    if header[offset:offset + 4] != b"PE\0\0":
        raise ValueError(f"{executable} is not a PE image")
    (machine,) = struct.unpack_from("<H", header, offset + 4)
    return machine


def loader_for(executable):
    """The Wine loader that runs `executable` without a hand-over."""
    name = "wine64" if machine_of(executable) == MACHINE_AMD64 else "wine"
    path = os.path.join(LOADER_DIR, name)
    if not os.access(path, os.X_OK):
        raise LaunchError(f"{path} is missing: Wine's {'64' if name == 'wine64' else '32'}-bit half is not installed")
    return path


def installation_key():
    """Changes whenever a Wine loader is installed, removed or replaced."""
    identity = []
    for name in sorted(os.listdir(LOADER_DIR)):
        status = os.stat(os.path.join(LOADER_DIR, name))
        identity.append(f"{name} {status.st_size} {int(status.st_mtime)}")
    return hashlib.sha1("\n".join(identity).encode()).hexdigest()[:12]


def prefix():
    base = os.environ.get("SIGREPORT_WINEPREFIX_BASE")
    if not base:
        raise LaunchError("SIGREPORT_WINEPREFIX_BASE is not set")
    return f"{base}-{installation_key()}"


def environment(env=None):
    """`env` (or this process's) with the keyed prefix and quiet Wine."""
    result = dict(os.environ if env is None else env)
    result["WINEPREFIX"] = prefix()
    result.setdefault("WINEDEBUG", "-all")
    return result


def command(executable, *arguments):
    return [loader_for(executable), executable, *arguments]


def can_run_32_bit():
    """Whether Wine's 32-bit loader is installed and the kernel runs it."""
    try:
        return subprocess.run([os.path.join(LOADER_DIR, "wine"), "--version"], capture_output=True,
                              timeout=60).returncode == 0
    except OSError:
        return False


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    if argv[1] == "--can-run-32-bit":
        return 0 if can_run_32_bit() else 1
    try:
        return subprocess.run(command(argv[1], *argv[2:]), env=environment()).returncode
    except (LaunchError, OSError, ValueError) as error:
        sys.stderr.write(f"wine_run: {error}\n")
        return LAUNCH_FAILED


if __name__ == "__main__":
    sys.exit(main(sys.argv))
