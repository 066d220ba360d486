#!/usr/bin/env python3
"""Times the whole check against the usual command-line tools, in one run,
alternating the two sides so both see the same machine:

1. verifying a 256 MiB signed PE through the trust library against
   `osslsigncode verify -CAfile root.pem` on the same file, and the same for
   a 256 MiB signed cabinet (one stored file, made by gcab), a signed MSI
   package holding a 256 MiB stream (made by msitools' msibuild) and a signed
   APPX package of two 128 MiB files, one deflated and one stored (written by
   the fixture generator's package writer) against bench/appx_hashing.py,
   the hashing its verification must do;
2. a whole `sigreport` run on that file against `sha1sum` followed by
   `osslsigncode verify`;
3. a whole `sigreport` run on a 1 GiB file against `sha1sum` on it;
4. with --baseline, a whole `sigreport` run on a small signed file (17 KB)
   against the same run by another build, an earlier version: what loading
   the trust anchors and the rest of a run cost now, against then.

A benchmark, not a test: it prints the medians and their ratios, and the
system time of sigreport's runs, and exits 1 when a ratio is above its
bound: 1, but 1.3 for the 1 GiB file, where sigreport reads the whole file
into one buffer before hashing it and sha1sum streams it through a small one,
1.2 for the comparison with the baseline, and 1.25 for the APPX package,
timed against the hashing its verification must do (appx_hashing.py:
SHA-256 over the records and over every uncompressed block, and inflating),
not against osslsigncode, which leaves the block check out.

Usage: check_speed.py BUILD_DIR FIXTURE_DIR [--runs N] [--size MIB]
                      [--baseline OTHER_BUILD_DIR]

BUILD_DIR is a Linux build tree (a Release build measures what users get);
its wintrust_leakcheck program verifies named files through libwintrust.so
exactly as the tool does. FIXTURE_DIR is a directory made by
tests/fixtures/make_fixtures.py (its PKI and program are used). The large
files are written into FIXTURE_DIR/bench and removed after.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures"))
import make_fixtures  # noqa: E402  (the APPX package writer)


def timed(command, env):
    """Runs `command`; returns its wall time, its system time, its exit code
    and its output."""
    start = time.perf_counter()
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
    output = process.stdout.read()
    process.stdout.close()
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_stime, process.returncode, output.decode(errors="replace")


def alternate(runs, first, second):
    """Runs both command lists `runs` times, alternating, after one warm-up
    each; returns the median elapsed times and the first side's median
    system time."""
    times = ([], [])
    system = []
    for index in range(runs + 1):
        for side, commands in enumerate((first, second)):
            elapsed = 0.0
            system_time = 0.0
            for command, env in commands:
                seconds, system_seconds, code, output = timed(command, env)
                if code != 0:
                    sys.exit(f"{command[0]} failed: {output}")
                elapsed += seconds
                system_time += system_seconds
            if index > 0:
                times[side].append(elapsed)
                if side == 0:
                    system.append(system_time)
    return statistics.median(times[0]), statistics.median(times[1]), statistics.median(system)


def sign(pki, unsigned, signed):
    subprocess.run(["osslsigncode", "sign", "-h", "sha256",
                    "-certs", os.path.join(pki, "leaf-rsa-chain.pem"),
                    "-key", os.path.join(pki, "leaf-rsa.key"),
                    "-in", unsigned, "-out", signed],
                   check=True, stdout=subprocess.DEVNULL)
    os.remove(unsigned)


def verified_by_library(leakcheck, path, env):
    _, _, _, output = timed([leakcheck, "-f", path], env)
    if not output.startswith("00000000"):
        sys.exit(f"the library did not verify {path}: {output}")


def report(label, ours, theirs, system, bound=1.0):
    print(f"{label}: {ours:.3f} s against {theirs:.3f} s, ratio {ours / theirs:.3f} "
          f"(bound {bound}); system time of the first {system:.3f} s")
    return ours <= theirs * bound


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("fixtures")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--size", type=int, default=256, help="overlay size in MiB")
    parser.add_argument("--baseline", help="another Linux build tree to compare whole runs on a small file with")
    args = parser.parse_args()

    bench = os.path.join(args.fixtures, "bench")
    os.makedirs(bench, exist_ok=True)
    unsigned = os.path.join(bench, "large-unsigned.exe")
    signed = os.path.join(bench, "large-signed.exe")
    pki = os.path.join(args.fixtures, "pki", "sha256")
    root = os.path.join(pki, "root.crt")
    try:
        with open(os.path.join(args.fixtures, "programs", "hello64.exe"), "rb") as handle:
            program = handle.read()
        # The program followed by data that the image digest covers.
        block = bytes(range(256)) * 4096
        with open(unsigned, "wb") as out:
            out.write(program)
            for _ in range(args.size):
                out.write(block)
        sign(pki, unsigned, signed)

        # A cabinet holding one stored file of the same size.
        content = os.path.join(bench, "content.bin")
        with open(content, "wb") as out:
            for _ in range(args.size):
                out.write(block)
        unsigned_cabinet = os.path.join(bench, "large-unsigned.cab")
        cabinet = os.path.join(bench, "large-signed.cab")
        subprocess.run(["gcab", "-c", "-n", unsigned_cabinet, content], check=True)
        # An MSI package holding the same bytes as its stream "payload".
        unsigned_package = os.path.join(bench, "large-unsigned.msi")
        package = os.path.join(bench, "large-signed.msi")
        subprocess.run(["msibuild", unsigned_package, "-s", "sigreport benchmark package"], check=True)
        subprocess.run(["msibuild", unsigned_package, "-a", "payload", content], check=True)
        os.remove(content)
        unsigned_appx = os.path.join(bench, "large-unsigned.appx")
        appx = os.path.join(bench, "large-signed.appx")
        half = block * (args.size // 2)
        make_fixtures.write_appx(unsigned_appx, [("deflated.bin", half, True), ("stored.bin", half, False),
                                                 ("AppxManifest.xml", make_fixtures.APPX_MANIFEST.encode(), True)])
        del half
        sign(pki, unsigned_cabinet, cabinet)
        sign(pki, unsigned_appx, appx)
        sign(pki, unsigned_package, package)

        env = dict(os.environ, SSL_CERT_FILE=root)
        leakcheck = os.path.join(args.build, "bin", "wintrust_leakcheck")
        sigreport = os.path.join(args.build, "bin", "sigreport")
        osslsigncode = (["osslsigncode", "verify", "-CAfile", root, "-in", signed], env)

        verified_by_library(leakcheck, signed, env)
        verified_by_library(leakcheck, cabinet, env)
        verified_by_library(leakcheck, package, env)
        verified_by_library(leakcheck, appx, env)
        timed([sigreport, signed], env)
        with open(os.path.join(args.build, "bin", "result.txt"), "rb") as result:
            if not result.read().endswith("CHECK SUCCESS".encode("utf-16-le")):
                sys.exit("sigreport did not verify the file")

        big = os.path.join(bench, "one-gib.bin")
        with open(big, "wb") as out:
            block = os.urandom(1 << 20)
            for _ in range(1024):
                out.write(block)

        print(f"{args.runs} runs each; {args.size} MiB signed PE32+, cabinet, MSI and APPX package (SHA-256 digests), "
              "1 GiB file")
        fine = True
        if args.baseline:
            small = os.path.join(args.fixtures, "files", "pe64-rsa-sha256.exe")
            baseline = os.path.join(args.baseline, "bin", "sigreport")
            fine &= report("small signed PE: sigreport / baseline sigreport",
                           *alternate(args.runs, [([sigreport, small], env)], [([baseline, small], env)]), 1.2)
        fine &= report("verification: libwintrust.so / osslsigncode verify",
                      *alternate(args.runs, [([leakcheck, "-f", signed], env)], [osslsigncode]))
        fine &= report("cabinet verification: libwintrust.so / osslsigncode verify",
                       *alternate(args.runs, [([leakcheck, "-f", cabinet], env)],
                                  [(["osslsigncode", "verify", "-CAfile", root, "-in", cabinet], env)]))
        fine &= report("MSI verification: libwintrust.so / osslsigncode verify",
                       *alternate(args.runs, [([leakcheck, "-f", package], env)],
                                  [(["osslsigncode", "verify", "-CAfile", root, "-in", package], env)]))
        # The block check is kept (it catches files that disagree with the
        # block map), so the bound is the hashing it needs, not osslsigncode,
        # which does not compare the files with the block map.
        hashing = os.path.join(os.path.dirname(os.path.abspath(__file__)), "appx_hashing.py")
        fine &= report("APPX verification: libwintrust.so / the hashing it must do (appx_hashing.py)",
                       *alternate(args.runs, [([leakcheck, "-f", appx], env)],
                                  [([sys.executable, hashing, appx], env)]), bound=1.25)
        fine &= report("signed PE: sigreport / (sha1sum + osslsigncode verify)",
                       *alternate(args.runs, [([sigreport, signed], env)],
                                  [(["sha1sum", signed], env), osslsigncode]))
        fine &= report("1 GiB: sigreport / sha1sum",
                       *alternate(args.runs, [([sigreport, big], env)], [(["sha1sum", big], env)]), bound=1.3)
    finally:
        shutil.rmtree(bench, ignore_errors=True)
    return 0 if fine else 1


if __name__ == "__main__":
    sys.exit(main())
