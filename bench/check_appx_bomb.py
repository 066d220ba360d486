#!/usr/bin/env python3
"""Times a verification of a package whose block map is a deflate bomb: one
attribute 66 MB long, deflated into about 64 KB, with a signature copied
from the fixtures' signed package (the digest is computed before the signer
is checked, so no key is needed to make it); against an ordinary package of
the same stored size (one stored payload file) with the same copied
signature.

A benchmark, not a test: prints the median processor time of each
(wintrust_leakcheck, which verifies through libwintrust.so as the tool
does), the verdicts and the ratio bomb / ordinary; exits 1 when the ratio is
above 2.

Usage: check_appx_bomb.py BUILD_DIR FIXTURE_DIR [--runs N]

FIXTURE_DIR is a directory made by tests/fixtures/make_fixtures.py. The files
are kept in BUILD_DIR/bench-appx-bomb and made again only when missing.
"""

import argparse
import os
import statistics
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures"))
import make_fixtures  # noqa: E402  (the package writer)

ATTRIBUTE_SIZE = 66 * 1000 * 1000


def make_files(fixtures, folder):
    with zipfile.ZipFile(os.path.join(fixtures, "files", "appx-rsa-sha256.appx")) as signed:
        signature = signed.read("AppxSignature.p7x")
    manifest = ("AppxManifest.xml", make_fixtures.APPX_MANIFEST.encode(), True)
    bomb_map = (b'<?xml version="1.0" encoding="UTF-8"?>'
                b'<BlockMap xmlns="http://schemas.microsoft.com/appx/2010/blockmap" '
                b'HashMethod="http://www.w3.org/2001/04/xmlenc#sha256">'
                b'<File Name="AppxManifest.xml" Size="1" LfhSize="46" Pad="' + b"p" * ATTRIBUTE_SIZE +
                b'"/></BlockMap>')
    bomb = os.path.join(folder, "bomb.appx")
    make_fixtures.write_appx(bomb, [manifest], block_map=bomb_map, signature=signature)
    payload = os.urandom(max(0, os.path.getsize(bomb) - 4096))
    ordinary = os.path.join(folder, "ordinary.appx")
    make_fixtures.write_appx(ordinary, [("payload.bin", payload, False), manifest], signature=signature)
    return {"bomb": bomb, "ordinary": ordinary}


def verify(leakcheck, path, env):
    """Processor time of one verification, and its verdict."""
    process = subprocess.Popen([leakcheck, "-f", path], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = process.stdout.read().decode(errors="replace")
    process.stdout.close()
    _, _, usage = os.wait4(process.pid, 0)
    return usage.ru_utime + usage.ru_stime, output.split()[0] if output else "?"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("fixtures")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    folder = os.path.join(args.build, "bench-appx-bomb")
    os.makedirs(folder, exist_ok=True)
    paths = {name: os.path.join(folder, name + ".appx") for name in ("bomb", "ordinary")}
    if not all(os.path.exists(path) for path in paths.values()):
        paths = make_files(args.fixtures, folder)
    env = dict(os.environ, SSL_CERT_FILE=os.path.join(args.fixtures, "trusted-roots.pem"))
    leakcheck = os.path.join(args.build, "bin", "wintrust_leakcheck")
    times = {name: [] for name in paths}
    verdicts = {}
    for _ in range(args.runs):
        for name, path in paths.items():
            seconds, verdicts[name] = verify(leakcheck, path, env)
            times[name].append(seconds)
    for name, path in paths.items():
        print(f"{name}: {os.path.getsize(path)} bytes stored, median {statistics.median(times[name]):.3f} s, "
              f"verdict {verdicts[name]}")
    ratio = statistics.median(times["bomb"]) / statistics.median(times["ordinary"])
    print(f"bomb / ordinary: {ratio:.2f} (bound 2)")
    return 0 if ratio <= 2 else 1


if __name__ == "__main__":
    sys.exit(main())
