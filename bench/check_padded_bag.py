#!/usr/bin/env python3
"""Times verifications of a signature whose certificate bag was padded by
someone who does not hold any of its keys: the certificates are outside what
the signature covers, so anyone can add them to a signed file. Every file is
made from the fixtures' signed program, with eight RFC 3161
countersignatures whose signer is issued by the intermediate, so that each
starts a chain through the same bag:
  slow       4096 impostors of the intermediate (its subject name and key
             identifier, each with a key of its own whose RSA public exponent
             has 2046 bits) ahead of the real intermediate, about 4.3 MB;
  ordinary   the same with public exponent 65537;
  unrelated  100,000 certificates of other names with P-256 keys, about 30 MB;
  widest     as many of the smallest impostors with ordinary keys (no
             extensions, an empty signature) as a 60 MiB bag holds, ahead of
             the real intermediate: the most ordinary checks a signature
             within the size cap can ask for, far past the budget;
  widest-ec  the same with distinct P-256 keys in compressed form, smaller
             than the RSA ones and slower to decode and check, so more of
             them fit and each costs more;
and a user roots file (SSL_CERT_FILE) of 136,000 certificates of other names
with the right root last, about 60 MiB, for the unpadded file.
The impostors are never checked themselves, only used to check the
certificate below them, so their own signatures are filler and their moduli
random odd numbers: no key is generated, and every impostor still costs one
public-key operation of its size.

A benchmark, not a test: prints the median processor time and the largest
resident size of each verification (wintrust_leakcheck, which verifies
through libwintrust.so as the tool does), its verdict, and the ratio slow /
ordinary; exits 1 when a goal is missed: every file trusted but widest,
which gets 80096004 (the budget runs out ahead of the real intermediate),
the ratio at most 2, ordinary and unrelated under 1 s, unrelated under
128 MB, the roots file under 2 s and 256 MB, the widest bags under 2 s and
256 MB.

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
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures"))
import make_fixtures  # noqa: E402  (the DER and PE helpers the fixtures are built with)
from make_fixtures import der_children, der_encode, der_header, der_oid  # noqa: E402

IMPOSTORS = 4096
COUNTERSIGNATURES = 8
UNRELATED = 100000
ROOTS = 136000
WIDEST_BAG = 60 << 20
RFC3161_ATTRIBUTE = der_oid("1.3.6.1.4.1.311.3.3.1")
SHA256_WITH_RSA = der_encode(0x30, der_oid("1.2.840.113549.1.1.11") + b"\x05\x00")
ECDSA_WITH_SHA256 = der_encode(0x30, der_oid("1.2.840.10045.4.3.2"))
EC_P256 = der_encode(0x30, der_oid("1.2.840.10045.2.1") + der_oid("1.2.840.10045.3.1.7"))
# P-256: the field prime and the base point.
P256_P = 2**256 - 2**224 + 2**192 + 2**96 - 1
P256_G = (0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296,
          0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5)
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


def smallest_impostor(intermediate, serial, rng):
    """An impostor with nothing but what makes it a candidate: no version, no
    extensions, an empty signature."""
    tbs = children(children(intermediate)[0])
    modulus = rng.getrandbits(2048) | (1 << 2047) | 1
    key = der_encode(0x30, integer(modulus) + integer(65537))
    spki = der_encode(0x30, RSA_ENCRYPTION + der_encode(0x03, b"\x00" + key))
    body = integer(serial) + tbs[2] + tbs[3] + tbs[4] + tbs[5] + spki
    return der_encode(0x30, der_encode(0x30, body) + SHA256_WITH_RSA + der_encode(0x03, b"\x00"))


def p256_points(count):
    """`count` distinct points of P-256 (the base point's multiples 2, 3,
    ...), compressed: no key pair is generated, each is a valid key."""
    x, y = P256_G
    for _ in range(count):
        slope = (y - P256_G[1]) * pow(x - P256_G[0], -1, P256_P) % P256_P if (x, y) != P256_G else \
            3 * (x * x - 1) * pow(2 * y, -1, P256_P) % P256_P
        next_x = (slope * slope - x - P256_G[0]) % P256_P
        y = (slope * (x - next_x) - y) % P256_P
        x = next_x
        yield bytes([2 + (y & 1)]) + x.to_bytes(32, "big")


def smallest_ec_impostor(intermediate, serial, point):
    """The smallest impostor with a P-256 key of its own."""
    tbs = children(children(intermediate)[0])
    spki = der_encode(0x30, EC_P256 + der_encode(0x03, b"\x00" + point))
    body = integer(serial) + tbs[2] + tbs[3] + tbs[4] + tbs[5] + spki
    return der_encode(0x30, der_encode(0x30, body) + SHA256_WITH_RSA + der_encode(0x03, b"\x00"))


def name_of(common_name):
    """A Name with one commonName."""
    attribute = der_encode(0x30, der_oid("2.5.4.3") + der_encode(0x0C, common_name.encode()))
    return der_encode(0x30, der_encode(0x31, attribute))


def unrelated(spki, serial, validity, rng):
    """A certificate of a name no chain asks for, with a real P-256 key and
    a signature of filler."""
    body = (der_encode(0xA0, integer(2)) + integer(serial) + ECDSA_WITH_SHA256 + name_of("unrelated issuer")
            + validity + name_of("unrelated certificate %d" % serial) + spki)
    filler = bytes(rng.getrandbits(8) for _ in range(70))
    return der_encode(0x30, der_encode(0x30, body) + ECDSA_WITH_SHA256 + der_encode(0x03, b"\x00" + filler))


def p256_public_key(folder):
    """The SubjectPublicKeyInfo of a fresh P-256 key."""
    key = os.path.join(folder, "unrelated.key")
    subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    spki = subprocess.run(["openssl", "ec", "-in", key, "-pubout", "-outform", "DER"], check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    os.remove(key)
    return spki


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
    def write(file_name, padding):
        with open(os.path.join(folder, file_name), "wb") as handle:
            handle.write(make_fixtures.replace_signature(data, pad(data[start:end], padding)))

    for label, exponent in (("slow", None), ("ordinary", 65537)):
        rng = random.Random(label)
        impostors = []
        for serial in range(1, IMPOSTORS + 1):
            value = exponent or (rng.getrandbits(2046) | (1 << 2045) | 1)
            impostors.append(impostor(intermediate, 0x5100000 + serial, value, rng))
        write(label + ".exe", impostors)

    rng = random.Random("widest")
    impostors, size = [], 0
    while size < WIDEST_BAG:
        impostors.append(smallest_impostor(intermediate, 0x100000 + len(impostors), rng))
        size += len(impostors[-1])
    write("widest.exe", impostors)

    impostors, size = [], 0
    points = p256_points(WIDEST_BAG // 150)
    while size < WIDEST_BAG:
        impostors.append(smallest_ec_impostor(intermediate, 0x100000 + len(impostors), next(points)))
        size += len(impostors[-1])
    write("widest-ec.exe", impostors)

    rng = random.Random("unrelated")
    spki = p256_public_key(folder)
    validity = children(children(intermediate)[0])[4]
    write("unrelated.exe", [unrelated(spki, serial, validity, rng) for serial in range(1, UNRELATED + 1)])
    write("plain.exe", [])
    with open(os.path.join(pki, "root.crt")) as handle:
        root = handle.read()
    with open(os.path.join(folder, "roots.pem"), "w") as out:
        for serial in range(1, ROOTS + 1):
            out.write(make_fixtures.der_to_pem(unrelated(spki, serial, validity, rng)))
        out.write(root)
    os.remove(signed)


def verify(leakcheck, path, env):
    """The processor time (user and system) of one verification, which a
    machine shared with other work disturbs less than the elapsed time, its
    largest resident size in MB as /usr/bin/time reports it (the rusage of
    a child forked from this process would count this process' own), and
    its verdict."""
    with tempfile.NamedTemporaryFile("r") as report:
        process = subprocess.Popen(["/usr/bin/time", "-f", "%U %S %M", "-o", report.name, leakcheck, "-f", path],
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = process.stdout.read().decode(errors="replace")
        process.stdout.close()
        process.wait()
        user, system, resident = report.read().split()[-3:]
    return float(user) + float(system), int(resident) / 1024, output.split()[0] if output else "?"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("fixtures")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    folder = os.path.join(args.build, "bench-padded-bag")
    names = ("slow", "ordinary", "unrelated", "widest", "widest-ec", "plain")
    files = {name: os.path.join(folder, name + ".exe") for name in names}
    roots = os.path.join(folder, "roots.pem")
    if not all(os.path.exists(path) for path in list(files.values()) + [roots]):
        os.makedirs(folder, exist_ok=True)
        make_files(args.fixtures, folder)

    root = os.path.join(args.fixtures, "pki", "sha256", "root.crt")
    runs = {name: (path, dict(os.environ, SSL_CERT_FILE=root)) for name, path in files.items() if name != "plain"}
    runs["roots file"] = (files["plain"], dict(os.environ, SSL_CERT_FILE=roots))
    leakcheck = os.path.join(args.build, "bin", "wintrust_leakcheck")
    times = {name: [] for name in runs}
    sizes = {name: 0.0 for name in runs}
    verdicts = {}
    for index in range(args.runs + 1):  # the first round warms up
        for name, (path, env) in runs.items():
            elapsed, size, verdicts[name] = verify(leakcheck, path, env)
            if index > 0:
                times[name].append(elapsed)
                sizes[name] = max(sizes[name], size)
    median = {name: statistics.median(values) for name, values in times.items()}
    goals = {"slow": (None, None), "ordinary": (1, None), "unrelated": (1, 128), "widest": (2, 256),
             "widest-ec": (2, 256), "roots file": (2, 256)}
    # Past the budget, among keys as cheap as the real intermediate's: not
    # trusted. The P-256 keys cost more than its RSA key, so it comes first.
    verdict_goals = {"widest": "80096004"}
    print(f"padded bags, {COUNTERSIGNATURES} countersignatures each, {args.runs} runs each")
    ok = True
    for name, (path, _) in runs.items():
        megabytes = os.path.getsize(roots if name == "roots file" else path) / 1e6
        seconds, resident = goals[name]
        goal = ", ".join(part for part in (seconds and f"under {seconds} s", resident and f"under {resident} MB") if part)
        print(f"{name:10} {megabytes:6.1f} MB: {median[name]:.3f} s, {sizes[name]:.0f} MB resident, "
              f"verdict {verdicts[name]}" + (f" (goal {goal})" if goal else ""))
        ok = ok and verdicts[name] == verdict_goals.get(name, "00000000")
        ok = ok and (seconds is None or median[name] < seconds)
        ok = ok and (resident is None or sizes[name] < resident)
    ratio = median["slow"] / median["ordinary"]
    print(f"ratio slow / ordinary: {ratio:.2f} (goal at most 2)")
    return 0 if ok and ratio <= 2 else 1


if __name__ == "__main__":
    sys.exit(main())
