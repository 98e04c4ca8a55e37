#!/usr/bin/env python3
"""Crafted inputs that name a million access units (or as many packets) in each stream form
the packer walks, for the memory bound: python3 bench/make_million_units.py OUTDIR writes
million.flv, million.mkv, million.m4s (a lone segment), million.loas and packets.ts (100,000
packets, each the start of a PES packet of one tiny ADTS frame)."""
import os
import struct
import sys

N = 1_000_000
out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def write(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


# FLV: an AAC sequence header (LC, 44.1 kHz, stereo), then a million one-byte units.
def tag(kind, body):
    return bytes([kind]) + len(body).to_bytes(3, "big") + bytes(7) + body + struct.pack(">I", 11 + len(body))


write("million.flv", b"FLV\x01\x04" + struct.pack(">I", 9) + bytes(4) + tag(8, b"\xaf\x00\x12\x10") +
      tag(8, b"\xaf\x01\x21") * N)

# Matroska: a segment and a cluster of unknown size, a million SimpleBlocks of one byte.
UNKNOWN = b"\x01" + b"\xff" * 7


def el(ident, body):
    return ident.to_bytes((ident.bit_length() + 7) // 8, "big") + b"\x01" + len(body).to_bytes(7, "big") + body


track = el(0xAE, el(0xD7, b"\x01") + el(0x86, b"A_AAC") + el(0x63A2, b"\x12\x10"))
block = bytes([0xA3, 0x85, 0x81, 0, 0, 0x80, 0x21])
write("million.mkv", el(0x1A45DFA3, el(0x4282, b"matroska")) + b"\x18\x53\x80\x67" + UNKNOWN +
      el(0x1654AE6B, track) + b"\x1f\x43\xb6\x75" + UNKNOWN + block * N)


# A lone fragmented-MP4 segment: one run of a million one-byte samples.
def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def full(kind, flags, payload):
    return box(kind, struct.pack(">I", flags) + payload)


moof = b""
for _ in range(2):  # the second pass knows the moof's size, where the media starts
    trun = full(b"trun", 0x201, struct.pack(">Ii", N, len(moof) + 8) + struct.pack(">I", 1) * N)
    moof = box(b"moof", full(b"mfhd", 0, struct.pack(">I", 1)) +
               box(b"traf", full(b"tfhd", 0x020000, struct.pack(">I", 1)) + trun))
write("million.m4s", box(b"styp", b"msdh" + bytes(4)) + moof + box(b"mdat", b"\x21" * N))

# MPEG-TS: 100,000 packets of PID 0x100, each a PES start of one 8-byte ADTS frame behind
# adaptation-field stuffing.
pes = b"\x00\x00\x01\xc0\x00\x00\x80\x80\x05\x21\x00\x01\x00\x01" + bytes([0xFF, 0xF1, 0x50, 0x80, 0x01, 0x1F, 0xFC, 0x21])
stuffing = 183 - len(pes)
packets = bytearray()
for k in range(100_000):
    packets += bytes([0x47, 0x41, 0x00, 0x30 | (k & 15), stuffing, 0x00]) + b"\xff" * (stuffing - 1) + pes
write("packets.ts", bytes(packets))

# LOAS: a frame with the stream mux configuration (LC, 44.1 kHz, stereo), then a million frames
# that keep it, each of a one-byte payload.


def bits(fields):
    value, count = 0, 0
    for v, n in fields:
        value, count = value << n | v, count + n
    value <<= -count % 8
    return value.to_bytes((count + 7) // 8, "big")


def loas_frame(element):
    return bytes([0x56, 0xE0 | len(element) >> 8, len(element) & 0xFF]) + element


config = [(0, 1), (0, 1), (1, 1), (0, 6), (0, 4), (0, 3), (2, 5), (4, 4), (2, 4), (0, 3), (0, 3), (0xFF, 8), (0, 1),
          (0, 1)]
first = loas_frame(bits([(0, 1)] + config + [(1, 8), (0x21, 8)]))
write("million.loas", first + loas_frame(bits([(1, 1), (1, 8), (0x21, 8)])) * N)
