#!/usr/bin/env python3
"""Starts a Windows program of the tests under Wine, reliably.

  wine_run.py PROGRAM.exe [ARGUMENT...]
  wine_run.py --can-run-32-bit     exit status 0 when 32-bit programs can run
  wine_run.py --emulates-32-bit    exit status 0 when they run through an emulator

Two things make a plain `wine PROGRAM` unreliable once Wine's 32-bit half is
installed beside its 64-bit one. `wine` then starts the 32-bit loader, which
hands a 64-bit program on to the 64-bit loader, and that hand-over now and
then fails before the program runs ("ShellExecuteEx failed"). And a prefix
made by one Wine installation does not work after the installation changed.
So the loader that fits the program's machine type is called directly, and the
prefix is keyed to the installed loaders: the prefix named by
SIGREPORT_WINEPREFIX_BASE with a key of the loaders' sizes and times appended.

Where the kernel runs no 32-bit programs itself, an emulator registered with
binfmt_misc (qemu-user) may run Wine's 32-bit half: then every 32-bit start
costs about a minute of processor time, and the time allowed grows to match.

Exit status: the program's, or 125 when it could not be started at all: the
loader could not be executed, or it (or the emulator under it) was killed by
a signal. Nothing is retried.
"""

import hashlib
import os
import struct
import subprocess
import sys

LOADER_DIR = "/usr/lib/wine"
BINFMT_DIR = "/proc/sys/fs/binfmt_misc"
# IMAGE_FILE_HEADER.Machine
MACHINE_I386 = 0x14C
MACHINE_AMD64 = 0x8664
LAUNCH_FAILED = 125
# Seconds one run may take: a native start takes seconds, an emulated 32-bit
# one about a minute of processor time, several on a busy machine.
NATIVE_TIMEOUT = 300
EMULATED_TIMEOUT = 1200


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


def loader(machine):
    """The Wine loader for programs of `machine` type."""
    name = "wine64" if machine == MACHINE_AMD64 else "wine"
    path = os.path.join(LOADER_DIR, name)
    if not os.access(path, os.X_OK):
        raise LaunchError(f"{path} is missing: Wine's {'64' if name == 'wine64' else '32'}-bit half is not installed")
    return path


def loader_for(executable):
    """The Wine loader that runs `executable` without a hand-over."""
    return loader(machine_of(executable))


def emulates_32_bit():
    """Whether binfmt_misc hands 32-bit x86 programs to an emulator: an
    enabled entry matching the header of an i386 ELF program."""
    try:
        names = os.listdir(BINFMT_DIR)
    except OSError:
        return False
    for name in names:
        try:
            with open(os.path.join(BINFMT_DIR, name)) as file:
                lines = file.read().splitlines()
        except OSError:
            continue  # "register" cannot be read
        fields = dict(line.split(" ", 1) for line in lines[1:] if " " in line)
        magic = bytes.fromhex(fields.get("magic", ""))
        # ELF, 32-bit class, e_machine EM_386 (3) at byte 18.
        if lines[:1] == ["enabled"] and fields.get("offset") == "0" and magic[:5] == b"\x7fELF\x01" \
                and magic[18:20] == b"\x03\x00":
            return True
    return False


def timeout_for(executable):
    """The seconds one run of `executable` may take here."""
    emulated = machine_of(executable) != MACHINE_AMD64 and emulates_32_bit()
    return EMULATED_TIMEOUT if emulated else NATIVE_TIMEOUT


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


def run(executable, *arguments, env=None, **options):
    """Runs `executable` under Wine in the prefix like subprocess.run, and
    raises LaunchError when Wine did not start it."""
    try:
        completed = subprocess.run(command(executable, *arguments), env=environment(env), **options)
    except OSError as error:
        raise LaunchError(f"cannot execute the Wine loader: {error}") from error
    if completed.returncode < 0:
        raise LaunchError(f"the Wine loader of {executable} was killed by signal {-completed.returncode}")
    return completed


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
    if argv[1] == "--emulates-32-bit":
        return 0 if emulates_32_bit() else 1
    try:
        return run(argv[1], *argv[2:]).returncode
    except (LaunchError, OSError, ValueError) as error:
        sys.stderr.write(f"wine_run: {error}\n")
        return LAUNCH_FAILED


if __name__ == "__main__":
    sys.exit(main(sys.argv))
