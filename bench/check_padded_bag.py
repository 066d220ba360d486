#!/usr/bin/env python3
"""Times a verification of a signature whose certificate bag was padded by
someone who does not hold any of its keys: the certificates are outside what
the signature covers, so anyone can add them to a signed file.

Two files of about 4.3 MB, made from the fixtures' signed program:
  slow      4096 impostors of the intermediate (its subject name and key
            identifier, each with a key of its own whose RSA public exponent
            has 2046 bits) ahead of the real intermediate, and eight RFC 3161
            countersignatures whose signer is issued by the intermediate, so
            that each starts a chain search through the impostors;
  ordinary  the same with public exponent 65537.
The impostors are never checked themselves, only used to check the
certificate below them, so their own signatures are filler and their moduli
random odd numbers: no key is generated, and every impostor still costs one
public-key operation of its size.

A benchmark, not a test: prints the median processor time of each
(wintrust_leakcheck, which verifies through libwintrust.so as the tool
does), the verdicts and the ratio slow / ordinary; exits 1 when the ratio is above 2 or the ordinary file
takes 1 s or more.

Usage: check_padded_bag.py BUILD_DIR FIXTURE_DIR [--runs N]

FIXTURE_DIR is a directory made by tests/fixtures/make_fixtures.py. The files
are kept in BUILD_DIR/bench-padded-bag and made again only when missing.
"""

import argparse
import os
import random
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures"))
import make_fixtures  # noqa: E402  (the DER and PE helpers the fixtures are built with)
from make_fixtures import der_children, der_encode, der_header, der_oid  # noqa: E402

IMPOSTORS = 4096
COUNTERSIGNATURES = 8
RFC3161_ATTRIBUTE = der_oid("1.3.6.1.4.1.311.3.3.1")
SHA256_WITH_RSA = der_encode(0x30, der_oid("1.2.840.113549.1.1.11") + b"\x05\x00")
RSA_ENCRYPTION = der_encode(0x30, der_oid("1.2.840.113549.1.1.1") + b"\x05\x00")


def children(element):
    """The whole elements inside a constructed element."""
    _, start, end = der_header(element, 0)
    return [element[pos:stop] for _, pos, _, stop in der_children(element, start, end)]


def integer(value):
    body = value.to_bytes(value.bit_length() // 8 + 1, "big")
    return der_encode(0x02, body)


def certificate_der(path):
    with open(path) as handle:
        return make_fixtures.pem_to_der(handle.read())


def impostor(intermediate, serial, exponent, rng):
    """A certificate with the intermediate's subject and extensions (its key
    identifier among them) but a public key of its own, and a signature of
    filler."""
    tbs = children(children(intermediate)[0])
    # version, serial, signature, issuer, validity, subject, key, extensions
    modulus = rng.getrandbits(2048) | (1 << 2047) | 1
    key = der_encode(0x30, integer(modulus) + integer(exponent))
    spki = der_encode(0x30, RSA_ENCRYPTION + der_encode(0x03, b"\x00" + key))
    body = tbs[0] + integer(serial) + tbs[2] + tbs[3] + tbs[4] + tbs[5] + spki + b"".join(tbs[7:])
    filler = bytes(rng.getrandbits(8) for _ in range(256))
    return der_encode(0x30, der_encode(0x30, body) + SHA256_WITH_RSA + der_encode(0x03, b"\x00" + filler))


def pad(pkcs7, impostors):
    """The ContentInfo `pkcs7` with `impostors` ahead of its certificates and
    its RFC 3161 countersignature repeated COUNTERSIGNATURES times."""
    content_info = children(pkcs7)
    signed_data = children(children(content_info[1])[0])
    parts = []
    for part in signed_data:
        if part[0] == 0xA0:  # certificates
            part = der_encode(0xA0, b"".join(impostors) + b"".join(children(part)))
        elif part[0] == 0x31 and len(parts) > 3:  # signerInfos
            signer = children(children(part)[0])
            unsigned = children(signer[-1])
            assert signer[-1][0] == 0xA1, "the signer has no countersignature"
            attributes = []
            for attribute in unsigned:
                kind, values = children(attribute)
                if kind == RFC3161_ATTRIBUTE:
                    token = children(values)[0]
                    values = der_encode(0x31, token * COUNTERSIGNATURES)
                attributes.append(der_encode(0x30, kind + values))
            signer[-1] = der_encode(0xA1, b"".join(attributes))
            part = der_encode(0x31, der_encode(0x30, b"".join(signer)))
        parts.append(part)
    signed = der_encode(0x30, b"".join(parts))
    return der_encode(0x30, content_info[0] + der_encode(0xA0, signed))


def make_time_stamping_authority(pki, folder):
    """A time-stamping certificate issued by the intermediate, so that each
    countersignature's chain search meets the impostors too; returns the
    paths of its chain file and key."""
    key = os.path.join(folder, "tsa.key")
    request = os.path.join(folder, "tsa.csr")
    certificate = os.path.join(folder, "tsa.crt")
    extensions = os.path.join(folder, "tsa.ext")
    with open(extensions, "w") as handle:
        handle.write("basicConstraints = CA:FALSE\nextendedKeyUsage = critical, timeStamping\n")
    subprocess.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-subj", "/CN=sigreport padded bag time stamping", "-out", request],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "x509", "-req", "-in", request, "-days", "3650", "-set_serial", "77",
                    "-CA", os.path.join(pki, "intermediate.crt"), "-CAkey", os.path.join(pki, "intermediate.key"),
                    "-extfile", extensions, "-out", certificate],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    chain = os.path.join(folder, "tsa-chain.pem")
    with open(chain, "w") as out:
        for path in (certificate, os.path.join(pki, "intermediate.crt")):
            with open(path) as handle:
                out.write(handle.read())
    return chain, key


def make_files(fixtures, folder):
    pki = os.path.join(fixtures, "pki", "sha256")
    signed = os.path.join(folder, "signed.exe")
    tsa_chain, tsa_key = make_time_stamping_authority(pki, folder)
    subprocess.run(["osslsigncode", "sign", "-h", "sha256",
                    "-certs", os.path.join(pki, "leaf-rsa-chain.pem"),
                    "-key", os.path.join(pki, "leaf-rsa.key"),
                    "-TSA-certs", tsa_chain, "-TSA-key", tsa_key,
                    "-TSA-time", str(make_fixtures.SIGNING_TIME),
                    "-in", os.path.join(fixtures, "programs", "hello64.exe"), "-out", signed],
                   check=True, stdout=subprocess.DEVNULL)
    with open(signed, "rb") as handle:
        data = handle.read()
    start, end = make_fixtures.signature_blob(data)
    intermediate = certificate_der(os.path.join(pki, "intermediate.crt"))
    for name, exponent in (("slow", None), ("ordinary", 65537)):
        rng = random.Random(name)
        impostors = []
        for serial in range(1, IMPOSTORS + 1):
            value = exponent or (rng.getrandbits(2046) | (1 << 2045) | 1)
            impostors.append(impostor(intermediate, 0x5100000 + serial, value, rng))
        padded = make_fixtures.replace_signature(data, pad(data[start:end], impostors))
        with open(os.path.join(folder, name + ".exe"), "wb") as handle:
            handle.write(padded)
    os.remove(signed)


def verify(leakcheck, path, env):
    """The processor time (user and system) of one verification, which a
    machine shared with other work disturbs less than the elapsed time, and
    its verdict."""
    process = subprocess.Popen([leakcheck, "-f", path], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
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

    folder = os.path.join(args.build, "bench-padded-bag")
    files = {name: os.path.join(folder, name + ".exe") for name in ("slow", "ordinary")}
    if not all(os.path.exists(path) for path in files.values()):
        os.makedirs(folder, exist_ok=True)
        make_files(args.fixtures, folder)

    env = dict(os.environ, SSL_CERT_FILE=os.path.join(args.fixtures, "pki", "sha256", "root.crt"))
    leakcheck = os.path.join(args.build, "bin", "wintrust_leakcheck")
    times = {name: [] for name in files}
    verdicts = {}
    for index in range(args.runs + 1):  # the first round warms up
        for name, path in files.items():
            elapsed, verdicts[name] = verify(leakcheck, path, env)
            if index > 0:
                times[name].append(elapsed)
    slow = statistics.median(times["slow"])
    ordinary = statistics.median(times["ordinary"])
    size = os.path.getsize(files["slow"]) / 1e6
    print(f"padded bag, {IMPOSTORS} impostors and {COUNTERSIGNATURES} countersignatures, {size:.1f} MB, "
          f"{args.runs} runs each")
    print(f"slow keys (2046-bit exponent): {slow:.3f} s, verdict {verdicts['slow']}")
    print(f"ordinary keys (65537): {ordinary:.3f} s, verdict {verdicts['ordinary']} (goal under 1 s)")
    print(f"ratio slow / ordinary: {slow / ordinary:.2f} (goal at most 2)")
    return 0 if slow <= 2 * ordinary and ordinary < 1 else 1


if __name__ == "__main__":
    sys.exit(main())
