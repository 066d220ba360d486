#!/usr/bin/env python3
"""Compares the time the trust library takes to verify a 256 MiB signed PE
with the time `osslsigncode verify -CAfile root.pem` takes on the same file,
in the same run. A benchmark, not a test: it prints both times and their ratio.

Usage: bench_verify_speed.py LEAKCHECK_BINARY FIXTURE_DIR [--runs N] [--size MIB]

LEAKCHECK_BINARY is the wintrust_leakcheck program of the build, which verifies
named files through libwintrust.so exactly as the tool does; FIXTURE_DIR is
a directory made by tests/fixtures/make_fixtures.py (its PKI and program are
used). The large file is written into FIXTURE_DIR/bench and removed after.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time


def timed(command, env):
    start = time.perf_counter()
    result = subprocess.run(command, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    elapsed = time.perf_counter() - start
    return elapsed, result.returncode, result.stdout.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("leakcheck")
    parser.add_argument("fixtures")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--size", type=int, default=256, help="overlay size in MiB")
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
        subprocess.run(["osslsigncode", "sign", "-h", "sha256",
                        "-certs", os.path.join(pki, "leaf-rsa-chain.pem"),
                        "-key", os.path.join(pki, "leaf-rsa.key"),
                        "-in", unsigned, "-out", signed],
                       check=True, stdout=subprocess.DEVNULL)
        os.remove(unsigned)
        env = dict(os.environ, SSL_CERT_FILE=root)

        ours, theirs = [], []
        # Warm the page cache, then alternate so both see the same conditions.
        timed([args.leakcheck, "-f", signed], env)
        for _ in range(args.runs):
            elapsed, code, output = timed([args.leakcheck, "-f", signed], env)
            if code != 0 or not output.startswith("00000000"):
                sys.exit("library did not verify the file: " + output)
            ours.append(elapsed)
            elapsed, code, output = timed(
                ["osslsigncode", "verify", "-CAfile", root, "-in", signed], env)
            if code != 0:
                sys.exit("osslsigncode did not verify the file: " + output)
            theirs.append(elapsed)
    finally:
        shutil.rmtree(bench, ignore_errors=True)

    ours_median, theirs_median = statistics.median(ours), statistics.median(theirs)
    print("file: %d MiB signed PE32+, SHA-256 image digest, %d runs each" %
          (args.size, args.runs))
    print("libwintrust.so (verify + close): median %.3f s  (min %.3f)" %
          (ours_median, min(ours)))
    print("osslsigncode verify -CAfile:     median %.3f s  (min %.3f)" %
          (theirs_median, min(theirs)))
    print("ratio library / osslsigncode:    %.3f" % (ours_median / theirs_median))
    return 0 if ours_median <= theirs_median else 1


if __name__ == "__main__":
    sys.exit(main())
