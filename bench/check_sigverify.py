#!/usr/bin/env python3
"""Times the sigverify command, in one run:

1. 500 small signed PE files (each the test program with a distinct byte
   appended, signed by osslsigncode): `sigverify -j 1` over all of them
   against `osslsigncode verify` run once per file, bound 1/5;
2. `sigverify -j 2` against `sigverify -j 1` on the same files, bound 0.6
   (on a machine with at least two processors);
3. the peak resident set size (`/usr/bin/time -v`) of `sigverify` on a signed
   PE of about 4 GiB, most of it a sparse hole, bound 64 MiB.

A benchmark, not a test: it prints the medians, the ratios and the peak,
and exits 1 when one is above its bound. The machine may be shared, so it
also prints the load average before and after, and for each side its
processor time (user and system, of the processes it ran) over its wall
time: a side that got less than the processors it asked for shows it there.

Usage: check_sigverify.py BUILD_DIR FIXTURE_DIR [--runs N] [--files N]
                          [--no-large]

BUILD_DIR is a Linux build tree (a Release build measures what users get);
FIXTURE_DIR a directory made by tests/fixtures/make_fixtures.py (its PKI,
roots and program are used). The files are written into
FIXTURE_DIR/bench-sigverify and removed after.
"""

import argparse
import os
import resource
import re
import shutil
import statistics
import subprocess
import sys
import time

FOUR_GIB = 4 << 30


def sign(pki, unsigned, signed):
    subprocess.run(["osslsigncode", "sign", "-h", "sha256", "-certs", os.path.join(pki, "leaf-rsa-chain.pem"),
                    "-key", os.path.join(pki, "leaf-rsa.key"), "-in", unsigned, "-out", signed],
                   check=True, stdout=subprocess.DEVNULL)
    os.remove(unsigned)


def processor_seconds():
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def elapsed(commands, env):
    """The wall time and the processor time the commands took."""
    start, start_processor = time.perf_counter(), processor_seconds()
    for command in commands:
        run = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if run.returncode != 0:
            sys.exit(f"{command[:3]} failed with {run.returncode}: {run.stderr[-400:]!r}")
    return time.perf_counter() - start, processor_seconds() - start_processor


def medians(runs, sides, env):
    """Runs each list of commands `runs` times, alternating, after one
    warm-up each; returns their median wall times and, for each side, the
    median of processor time over wall time."""
    times = [[] for _ in sides]
    shares = [[] for _ in sides]
    for index in range(runs + 1):
        for side, commands in enumerate(sides):
            seconds, processor = elapsed(commands, env)
            if index > 0:
                times[side].append(seconds)
                shares[side].append(processor / seconds)
    return [statistics.median(t) for t in times], [statistics.median(s) for s in shares]


def load_average():
    with open("/proc/loadavg") as file:
        return " ".join(file.read().split()[:3])


def verdict(label, ours, theirs, bound, shares):
    ratio = ours / theirs
    print(f"{label}: {ours:.3f} s against {theirs:.3f} s, ratio {ratio:.3f} (bound {bound}); "
          f"processor time over wall time {shares[0]:.2f} and {shares[1]:.2f}")
    return ratio <= bound


def peak_rss_kib(command, env):
    run = subprocess.run(["/usr/bin/time", "-v"] + command, env=env, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"{command[0]} failed: {run.stdout}{run.stderr[-600:]}")
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr).group(1)), run.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("fixtures")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--files", type=int, default=500)
    parser.add_argument("--no-large", action="store_true", help="skip the 4 GiB file")
    args = parser.parse_args()
    sigverify = os.path.join(args.build, "bin", "sigverify")
    pki = os.path.join(args.fixtures, "pki", "sha256")
    roots = os.path.join(args.fixtures, "trusted-roots.pem")
    env = dict(os.environ, SSL_CERT_FILE=roots, SSL_CERT_DIR=os.path.join(args.fixtures, "no-such-dir"))
    work = os.path.join(args.fixtures, "bench-sigverify")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    within = True
    try:
        with open(os.path.join(args.fixtures, "programs", "hello64.exe"), "rb") as handle:
            program = handle.read()
        paths = []
        for index in range(args.files):
            unsigned = os.path.join(work, f"small-{index:04d}.unsigned")
            paths.append(os.path.join(work, f"small-{index:04d}.exe"))
            with open(unsigned, "wb") as handle:
                handle.write(program + index.to_bytes(4, "little"))
            sign(pki, unsigned, paths[-1])

        one_job = [[sigverify, "-q", "-j", "1"] + paths]
        two_jobs = [[sigverify, "-q", "-j", "2"] + paths]
        per_file = [["osslsigncode", "verify", "-CAfile", roots, "-in", path] for path in paths]
        print(f"load average before: {load_average()}")
        (ours, theirs), shares = medians(args.runs, [one_job, per_file], env)
        within &= verdict(f"{args.files} files, sigverify -j 1 against osslsigncode verify per file", ours, theirs,
                          0.2, shares)
        if os.cpu_count() and os.cpu_count() >= 2:
            (two, one), shares = medians(args.runs, [two_jobs, one_job], env)
            within &= verdict(f"{args.files} files, sigverify -j 2 against -j 1", two, one, 0.6, shares)
        print(f"load average after: {load_average()}")

        if not args.no_large:
            unsigned = os.path.join(work, "large.unsigned")
            large = os.path.join(work, "large.exe")
            with open(unsigned, "wb") as handle:
                handle.write(program)
                # Room for the signature below 4 GiB: the certificate table's
                # offset is 32 bits.
                handle.truncate(FOUR_GIB - (1 << 20))
            sign(pki, unsigned, large)
            kib, output = peak_rss_kib([sigverify, large], env)
            if ": trusted," not in output:
                sys.exit(f"the large file did not verify: {output}")
            size = os.path.getsize(large)
            print(f"peak RSS on a {size / (1 << 30):.2f} GiB signed PE: {kib / 1024:.1f} MiB (bound 64 MiB)")
            within &= kib <= 64 * 1024
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if within else 1


if __name__ == "__main__":
    sys.exit(main())
