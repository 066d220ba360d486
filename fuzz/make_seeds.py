#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora and their regression inputs.

Usage: make_seeds.py FIXTURE_DIR OUTDIR [INDEXER]

FIXTURE_DIR is a directory made by tests/fixtures/make_fixtures.py; the
files its manifest.tsv lists seed the PE and whole-verification targets, its
cabinets, scripts, MSI and APPX packages and catalogs the cabinet, script,
compound-file, APPX and catalog targets, and the PKCS#7 blobs inside them
(and the catalogs, which are PKCS#7 blobs) seed the PKCS#7 reader. INDEXER,
the build's make_root_index, indexes the fixtures' test trust list (four
roots, each with limits of its own) to seed the root index reader. Small
hand-made seeds are added for every target. OUTDIR is rebuilt:

  OUTDIR/<target>/              seeds, one file each
  OUTDIR/regressions/<target>/  the inputs of fuzz/regressions/<target>/*.hex,
                                as bytes; run_fuzzers.sh replays them first

A regression file is hexadecimal text; '#' starts a comment, whitespace is
ignored. Nothing binary is kept in the repository.
"""

import hashlib
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures"))
import make_fixtures  # noqa: E402  (the DER helpers the fixtures are built with)

TARGETS = ["fuzz_pe_image", "fuzz_cabinet", "fuzz_powershell_script",
           "fuzz_compound_file", "fuzz_catalog", "fuzz_signed_data", "fuzz_verify_file",
           "fuzz_format", "fuzz_sha1", "fuzz_appx", "fuzz_root_index"]


# ---- DER ------------------------------------------------------------------

der = make_fixtures.der_encode
oid = make_fixtures.der_oid


SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SHA256 = "2.16.840.1.101.3.4.2.1"
MESSAGE_DIGEST = "1.2.840.113549.1.9.4"


def algorithm(dotted):
    return der(0x30, oid(dotted) + b"\x05\x00")


def pss_algorithm():
    """id-RSASSA-PSS with SHA-256, MGF1 with SHA-256 and a 32-byte salt."""
    return der(0x30, oid("1.2.840.113549.1.1.10") + der(0x30, (
        der(0xA0, algorithm(SHA256)) +
        der(0xA1, der(0x30, oid("1.2.840.113549.1.1.8") + algorithm(SHA256))) +
        der(0xA2, der(0x02, b"\x20")))))


def signer_info(by_key_id, signature_algorithm=None):
    if by_key_id:
        identifier = der(0x80, b"\x01\x02\x03\x04")
    else:
        identifier = der(0x30, der(0x30, der(0x31, der(0x30, oid("2.5.4.3") +
                                                       der(0x0C, b"CA")))) +
                         der(0x02, b"\x01"))
    attributes = der(0xA0, der(0x30, oid(MESSAGE_DIGEST) +
                               der(0x31, der(0x04, bytes(32)))))
    return der(0x30, der(0x02, b"\x01") + identifier + algorithm(SHA256) +
               attributes +
               (signature_algorithm or algorithm("1.2.840.113549.1.1.1")) +
               der(0x04, bytes(16)))


def content_info(signers, certificates=b"", content="sequence"):
    """SignedData over an SpcIndirectDataContent carried as `content`:
    "sequence" (version 1), "octets" (version 3, an OCTET STRING eContent),
    "segments" (the same in two segments, BER), or None."""
    indirect = der(0x30, der(0x30, oid("1.3.6.1.4.1.311.2.1.15") + der(0x30, b"")) +
                   der(0x30, algorithm(SHA256) + der(0x04, bytes(32))))
    encapsulated = oid(SPC_INDIRECT_DATA)
    if content == "sequence":
        encapsulated += der(0xA0, indirect)
    elif content == "octets":
        encapsulated += der(0xA0, der(0x04, indirect))
    elif content == "segments":
        encapsulated += der(0xA0, make_fixtures.ber_encode(
            0x24, der(0x04, indirect[:10]) + der(0x04, indirect[10:])))
    version = b"\x01" if content in ("sequence", None) else b"\x03"
    body = (der(0x02, version) + der(0x31, algorithm(SHA256)) +
            der(0x30, encapsulated))
    if certificates:
        body += der(0xA0, certificates)
    body += der(0x31, signers)
    return der(0x30, oid(SIGNED_DATA) + der(0xA0, der(0x30, body)))


def hand_made_pkcs7():
    junk_certificate = der(0x30, der(0x30, der(0x02, b"\x05")))
    seeds = {
        "minimal": content_info(b""),
        "signer-by-name": content_info(signer_info(False), junk_certificate),
        "signer-by-key-id": content_info(signer_info(True)),
        "no-content": content_info(signer_info(False), content=None),
        "octet-string-content": content_info(signer_info(False), content="octets"),
        "octet-string-segments": content_info(signer_info(False), content="segments"),
        "pss-signer": content_info(signer_info(False, pss_algorithm()), junk_certificate),
        "indefinite": b"\x30\x80" + oid(SIGNED_DATA) + b"\xA0\x80\x30\x80\x00\x00\x00\x00\x00\x00",
        "indefinite-outer-layers": make_fixtures.ber_outer_layers(
            content_info(signer_info(False), junk_certificate)),
        "indefinite-past-the-cap": b"\x30\x80" * 70 + b"\x00\x00" * 70,
        "long-length": b"\x30\x84\x00\x00\x00\x05" + oid("1.2"),
        "nested": b"\x30\x02" * 64,
    }
    return seeds


# ---- PE -------------------------------------------------------------------

def synthetic_pe(plus, table):
    """DOS header, PE headers with 16 directories, one 0x200-byte section,
    and `table` appended as the certificate table."""
    data = bytearray(0x400)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x80)
    data[0x80:0x84] = b"PE\0\0"
    coff = 0x84
    struct.pack_into("<HH", data, coff, 0x8664 if plus else 0x14C, 1)
    optional_size = 240 if plus else 224
    struct.pack_into("<H", data, coff + 16, optional_size)
    optional = coff + 20
    struct.pack_into("<H", data, optional, 0x20B if plus else 0x10B)
    rva_count = optional + (108 if plus else 92)
    struct.pack_into("<I", data, rva_count, 16)
    security = rva_count + 4 + 4 * 8
    section = optional + optional_size
    data[section:section + 5] = b".text"
    struct.pack_into("<II", data, section + 16, 0x200, 0x200)
    for index in range(0x200, 0x400):
        data[index] = (index * 7) & 0xFF
    if table:
        struct.pack_into("<II", data, security, len(data), len(table))
        data += table
    return bytes(data)


def win_certificate(revision, kind, content):
    entry = struct.pack("<IHH", 8 + len(content), revision, kind) + content
    return entry + bytes(-len(entry) % 8)


def hand_made_pe():
    blob = content_info(signer_info(False))
    return {
        "empty": b"",
        "mz": b"MZ",
        "dos-only": b"MZ" + bytes(0x3E),
        "pe32-unsigned": synthetic_pe(False, b""),
        "pe32plus-unsigned": synthetic_pe(True, b""),
        "pe32-signed": synthetic_pe(False, win_certificate(0x200, 2, blob)),
        "pe32plus-signed": synthetic_pe(True, win_certificate(0x200, 2, blob)),
        "pe32plus-two-entries": synthetic_pe(
            True, win_certificate(0x200, 1, b"x509") + win_certificate(0x200, 2, blob)),
        "pe32plus-short-entries": synthetic_pe(True, struct.pack("<IHH", 8, 0x200, 1) * 6),
    }


def pkcs7_of(data):
    """The signature blob of a signed cabinet, the first WIN_CERTIFICATE's
    content of a PE file, or None."""
    if data[:4] == b"MSCF" and len(data) >= 52:
        offset, size = struct.unpack_from("<II", data, make_fixtures.CAB_SIGNATURE_LOCATOR)
        return data[offset:offset + size] if 0 < offset and offset + size == len(data) else None
    try:
        lfanew = struct.unpack_from("<I", data, 0x3C)[0]
        optional = lfanew + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        security = optional + (144 if magic == 0x20B else 128)
        offset, size = struct.unpack_from("<II", data, security)
        length = struct.unpack_from("<I", data, offset)[0]
    except struct.error:
        return None
    if offset == 0 or size < 8 or length < 8 or offset + length > len(data):
        return None
    return data[offset + 8:offset + length]


# ---- compound files -------------------------------------------------------

COMPOUND_FILE_MAGIC = bytes.fromhex("D0CF11E0A1B11AE1")


# ---- catalogs --------------------------------------------------------------

def hand_made_catalogs():
    """An unsigned catalog of an empty trust list, the same with its outer
    layer of indefinite length, and one whose content is an OCTET STRING
    (CMS form) holding no list."""
    trust_list = der(0x30, der(0x30, oid("1.3.6.1.4.1.311.12.1.1")) +
                     der(0x17, b"240102000000Z") +
                     algorithm("1.3.6.1.4.1.311.12.1.2"))
    unsigned = make_fixtures.pkcs7_catalog(trust_list, [], None, None, None)
    octets = make_fixtures.pkcs7_catalog(der(0x04, b"not a list"), [], None, None, None)
    return {
        "unsigned.cat": unsigned,
        "unsigned-indefinite.cat": make_fixtures.ber_encode(0x30, make_fixtures.der_content(unsigned)),
        "octets.cat": octets,
    }


# ---- formatter and SHA-1 --------------------------------------------------

def format_input(capacity, arguments, tokens):
    """The byte layout fuzz_format.cc reads: capacity, count, arguments,
    format tokens. An argument is (kind, word, units) with units for texts."""
    out = struct.pack("<H", capacity - 1) + bytes([len(arguments)])
    for kind, word, units in arguments:
        out += bytes([kind]) + struct.pack("<Q", word)
        for unit in units:
            out += struct.pack("<H", unit)
    return out + bytes(tokens)


def hand_made_format():
    text = [ord(c) for c in "Signer"] + [0xD83D, 0xDE00]
    # Token numbers: 0 %s, 1 %d, 2 %02d, 3 %8.8x, 4 %0, 5 %8.8, 6 %, 7 pair,
    # 8 lone high surrogate (+1 byte), 9 literal unit (+2 bytes).
    literal = [9, ord("="), 0]
    return {
        "all-conversions": format_input(
            600, [(0, len(text), text), (1, (1 << 32) - 5, []), (2, 7, []),
                  (4, 0xDEADBEEF, [])],
            [0] + literal + [1] + literal + [2] + literal + [3]),
        "cut-in-pair": format_input(8, [(0, len(text), text)], [0, 7, 7]),
        "cut-after-lone-high": format_input(6, [], [9, 65, 0, 9, 66, 0, 9, 67, 0, 8, 0x10, 7]),
        "stray-percent": format_input(40, [(3, 42, [])], [6, 6, 0, 4, 5, 1]),
        "missing-arguments": format_input(30, [], [0, 1, 2, 3]),
        "capacity-one": format_input(1, [(0, 2, [65, 66])], [0]),
    }


def hand_made_sha1():
    seeds = {}
    for length in (0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000):
        message = bytes((index * 31 + 7) & 0xFF for index in range(length))
        seeds["message-%d" % length] = bytes([0x5B]) + message
    return seeds


# ---- root index -------------------------------------------------------------

def empty_root_index():
    """An index of no roots, as the indexer writes one: the header of format
    2 with the SHA-256 of the empty table."""
    return b"SGRROOTS" + struct.pack("<II", 2, 0) + hashlib.sha256(b"").digest()


def root_index_seeds(fixtures, indexer):
    seeds = {"empty.idx": empty_root_index()}
    if indexer:
        program = os.path.join(fixtures, "pki", "program")
        output = os.path.join(program, "seed-root-program.idx")
        subprocess.run([indexer, os.path.join(program, "authroot.stl"),
                        os.path.join(program, "roots.pem"),
                        os.path.join(program, "required-roots.txt"), output], check=True)
        with open(output, "rb") as handle:
            seeds["test-list.idx"] = handle.read()
        os.remove(output)
    return seeds


# ---- output ---------------------------------------------------------------

def write_all(directory, seeds):
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as handle:
            handle.write(data)


def regression_inputs(source_dir):
    """{target: {name: bytes}} from fuzz/regressions/<target>/*.hex."""
    found = {}
    if not os.path.isdir(source_dir):
        return found
    for target in sorted(os.listdir(source_dir)):
        folder = os.path.join(source_dir, target)
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            if not name.endswith(".hex"):
                continue
            with open(os.path.join(folder, name)) as handle:
                text = "".join(line.split("#", 1)[0] for line in handle)
            found.setdefault(target, {})[name[:-4]] = bytes.fromhex("".join(text.split()))
    return found


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(__doc__)
    fixtures, outdir = argv[1], argv[2]
    indexer = argv[3] if len(argv) == 4 else None
    shutil.rmtree(outdir, ignore_errors=True)

    files = {}
    with open(os.path.join(fixtures, "manifest.tsv")) as manifest:
        for line in manifest:
            relative = line.split("\t", 1)[0]
            with open(os.path.join(fixtures, relative), "rb") as handle:
                files[os.path.basename(relative)] = handle.read()
    if not files:
        sys.exit("no fixtures listed in " + fixtures)

    pe_seeds = dict(files)
    pe_seeds.update(hand_made_pe())
    pkcs7_seeds = {name.rsplit(".", 1)[0] + ".p7": blob for name, blob in
                   ((name, pkcs7_of(data)) for name, data in files.items()) if blob}
    pkcs7_seeds.update(hand_made_pkcs7())
    catalog_seeds = {name: data for name, data in files.items() if name.endswith(".cat")}
    catalog_seeds.update(hand_made_catalogs())
    pkcs7_seeds.update(catalog_seeds)

    write_all(os.path.join(outdir, "fuzz_pe_image"), pe_seeds)
    write_all(os.path.join(outdir, "fuzz_cabinet"),
              {name: data for name, data in files.items() if name.endswith(".cab")})
    write_all(os.path.join(outdir, "fuzz_powershell_script"),
              {name: data for name, data in files.items()
               if name.endswith((".ps1", ".psm1", ".psd1"))})
    write_all(os.path.join(outdir, "fuzz_verify_file"), pe_seeds)
    write_all(os.path.join(outdir, "fuzz_compound_file"),
              {name: data for name, data in files.items()
               if data.startswith(COMPOUND_FILE_MAGIC)})
    write_all(os.path.join(outdir, "fuzz_appx"),
              {name: data for name, data in files.items() if name.endswith(".appx")})
    write_all(os.path.join(outdir, "fuzz_catalog"), catalog_seeds)
    write_all(os.path.join(outdir, "fuzz_signed_data"), pkcs7_seeds)
    write_all(os.path.join(outdir, "fuzz_format"), hand_made_format())
    write_all(os.path.join(outdir, "fuzz_sha1"), hand_made_sha1())
    write_all(os.path.join(outdir, "fuzz_root_index"), root_index_seeds(fixtures, indexer))

    here = os.path.dirname(os.path.abspath(__file__))
    regressions = regression_inputs(os.path.join(here, "regressions"))
    for target in TARGETS:
        write_all(os.path.join(outdir, "regressions", target), regressions.get(target, {}))
    for target in regressions:
        if target not in TARGETS:
            sys.exit("regressions for an unknown target: " + target)
    counts = ", ".join("%s %d" % (target, len(os.listdir(os.path.join(outdir, target))))
                       for target in TARGETS)
    print("seeds: " + counts)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
