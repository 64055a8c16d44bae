#!/usr/bin/env python3
"""Generates the seed corpus of every fuzz target into the folder given."""
import gzip
import io
import os
import random
import struct
import sys
import zlib

out = sys.argv[1]
rng = random.Random(20261208)


def put(target, name, data):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def samples():
    text = b"".join(b"line %d of some text, repeated words words words\n" % i for i in range(300))
    yield "empty", b""
    yield "byte", b"A"
    yield "text", text
    yield "run", b"\0" * 5000
    yield "random", bytes(rng.getrandbits(8) for _ in range(3000))
    yield "mixed", text[:2000] + bytes(rng.getrandbits(8) for _ in range(500)) + text[:1000]


def gzip_member(payload, level, name=b"m.txt", flags=0x08, extra=None, comment=None, hcrc=False):
    raw = zlib.compressobj(level, zlib.DEFLATED, -15)
    body = raw.compress(payload) + raw.flush()
    header = bytearray(b"\x1f\x8b\x08")
    flg = flags | (0x04 if extra is not None else 0) | (0x10 if comment else 0) | (0x02 if hcrc else 0)
    header += bytes([flg]) + struct.pack("<I", 1700000000) + b"\x00\x03"
    if extra is not None:
        header += struct.pack("<H", len(extra)) + extra
    if flg & 0x08:
        header += name + b"\0"
    if comment:
        header += comment + b"\0"
    if hcrc:
        header += struct.pack("<H", zlib.crc32(bytes(header)) & 0xFFFF)
    return bytes(header) + body + struct.pack("<II", zlib.crc32(payload), len(payload) & 0xFFFFFFFF)


for name, payload in samples():
    for level in (0, 1, 6, 9):
        member = gzip_member(payload, level)
        put("scan", f"{name}-{level}", member)
        put("extract", f"{name}-{level}-new", b"\0" + member)
        put("extract", f"{name}-{level}-old", b"\1" + member)
        raw = zlib.compressobj(level, zlib.DEFLATED, -15)
        put("inflate", f"{name}-{level}", raw.compress(payload) + raw.flush())
    put("roundtrip", name, payload)
    put("scan", f"{name}-fields", gzip_member(payload, 6, extra=b"ab\x02\x00xy", comment=b"note", hcrc=True))
    put("scan", f"{name}-noname", gzip_member(payload, 6, flags=0))
    put("extract", f"{name}-py", b"\0" + gzip.compress(payload))

# Members that fill the decoder's buffer of windows, in many small blocks,
# with the host cancelling at one progress call or another: the written
# windows must be replayed as if each had been written when it filled.
many = b"".join(b"%d " % i + b"x" * (i % 300) for i in range(6000))
for memlevel in (1, 9):
    raw = zlib.compressobj(1, zlib.DEFLATED, -15, memlevel)
    body = raw.compress(many) + raw.flush()
    member = gzip_member(b"", 1)[:-8 - 2] + body + struct.pack("<II", zlib.crc32(many), len(many))
    for cancel in (0, 1, 3, 9, 15):
        put("extract", f"blocks-{memlevel}-cancel-{cancel}", bytes([cancel << 1]) + member)

put("inflate", "stored-empty", b"\x01\x00\x00\xff\xff")
put("inflate", "fixed-empty", b"\x03\x00")
# Every block form, many small blocks, and bytes after the last block (which
# the decoders must refuse alike).
text = b"".join(b"%d: the window slides, %d\n" % (i, i * i) for i in range(800))
for name, strategy in (("filtered", zlib.Z_FILTERED), ("huffman", zlib.Z_HUFFMAN_ONLY),
                       ("rle", zlib.Z_RLE), ("fixed", zlib.Z_FIXED)):
    raw = zlib.compressobj(6, zlib.DEFLATED, -15, 1, strategy)
    put("inflate", f"strategy-{name}", raw.compress(text) + raw.flush())
raw = zlib.compressobj(6, zlib.DEFLATED, -15)
put("inflate", "trailing", raw.compress(text) + raw.flush() + b"\x00\x1f")
put("scan", "tiny", b"\x1f\x8b\x08")
put("masks", "all", b"*.*\nSUB\\A.TXT")
put("masks", "folder", b"DOCS\\*.*\nX\\DOCS\\C.TXT")
put("masks", "qmarks", b"A?C.TXT\n*.T*\nabc.txt")
put("masks", "drive", b"C:\\DATA\\REPORT.TXT\nC:/data/report.txt")
put("masks", "long", b"*" * 300 + b"\n" + b"n" * 400)
