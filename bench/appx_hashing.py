#!/usr/bin/env python3
"""The hashing a package's verification must do, and nothing else: SHA-256
over the file up to the signature's local header, and each file inflated
(or read as stored) with SHA-256 over every 64 KiB block of its
uncompressed bytes. check_speed.py times the library's verification against
this; hashlib is OpenSSL's SHA-256 and zlib the library's inflater, so the
two sides do the same work with the same code, here without any checks.

Usage: appx_hashing.py PACKAGE
"""

import hashlib
import struct
import sys
import zipfile
import zlib

BLOCK = 64 * 1024
PIECE = 1 << 20


def main():
    path = sys.argv[1]
    with zipfile.ZipFile(path) as package:
        infos = package.infolist()
    signature = next(info for info in infos if info.filename == "AppxSignature.p7x")
    with open(path, "rb") as handle:
        records = hashlib.sha256()
        remaining = signature.header_offset
        while remaining:
            records.update(handle.read(min(PIECE, remaining)))
            remaining -= min(PIECE, remaining)
        for info in infos:
            if info is signature:
                continue
            handle.seek(info.header_offset + 26)
            name_size, extra_size = struct.unpack("<HH", handle.read(4))
            handle.seek(info.header_offset + 30 + name_size + extra_size)
            inflater = zlib.decompressobj(-15) if info.compress_type == zipfile.ZIP_DEFLATED else None
            left = info.compress_size
            block = hashlib.sha256()
            in_block = 0
            while left or (inflater and inflater.unconsumed_tail):
                if inflater and inflater.unconsumed_tail:
                    data = inflater.decompress(inflater.unconsumed_tail, PIECE)
                else:
                    data = handle.read(min(PIECE, left))
                    left -= len(data)
                    if inflater:
                        data = inflater.decompress(data, PIECE)
                view = memoryview(data)
                while view:
                    take = min(BLOCK - in_block, len(view))
                    block.update(view[:take])
                    view = view[take:]
                    in_block += take
                    if in_block == BLOCK:
                        block.digest()
                        block = hashlib.sha256()
                        in_block = 0
            if in_block:
                block.digest()
    records.digest()
    return 0


if __name__ == "__main__":
    sys.exit(main())
