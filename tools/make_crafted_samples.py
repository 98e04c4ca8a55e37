#!/usr/bin/env python3
"""Writes the crafted ADTS samples of tests/data/crafted, which reach what the packed form's
models and chunk codec do with input no encoder at hand writes, so that the packed fixtures of
every format version cover them:

  dense_lines_44k.aac  mono frames whose 1024 lines are all +1 in codebook 1: a line context
                       met so often that its symbol counts are halved, more than once
  odd_units.aac        an ID3v2 tag, frames of lc_mono_8k.aac, bytes that are no frame, a
                       frame with a CRC and two raw data blocks (which the frame record does
                       not describe, so it is carried as bytes), and more frames

The tests never run this. Usage: tools/make_crafted_samples.py [OUTDIR]
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Bits:
    def __init__(self):
        self.value = 0
        self.count = 0

    def put(self, v, n):
        self.value = (self.value << n) | (v & ((1 << n) - 1))
        self.count += n
        return self

    def bytes(self):
        pad = -self.count % 8
        return (self.value << pad).to_bytes((self.count + pad) // 8, "big")


def adts(payload, channels=1, sf_index=4, crc=None, raw_blocks=0):
    """An ADTS header (LC) for the payload, with a CRC word when given."""
    header = 7 if crc is None else 9
    b = Bits().put(0xFFF, 12).put(0, 1).put(0, 2).put(1 if crc is None else 0, 1).put(1, 2).put(sf_index, 4)
    b.put(0, 1).put(channels, 3).put(0, 4).put(header + len(payload), 13).put(0x7FF, 11).put(raw_blocks, 2)
    if crc is not None:
        b.put(crc, 16)
    return b.bytes() + payload


# Codebook 1's codeword for the quad (1, 1, 1, 1), index 80 (11 bits), and the scale-factor
# codeword for no change (index 60, the single bit 0): from the codebook tables.
QUAD_ONES = (0x7F4, 11)
BANDS_44K = 49


def dense_frame(global_gain):
    b = Bits().put(0, 3).put(0, 4).put(global_gain, 8)  # SCE 0, global_gain
    b.put(0, 1).put(0, 2).put(0, 1).put(BANDS_44K, 6).put(0, 1)  # ics_info: long window, max_sfb
    b.put(1, 4).put(31, 5).put(BANDS_44K - 31, 5)  # one section of book 1 over every band
    for _ in range(BANDS_44K):
        b.put(0, 1)  # scale factors: no change
    b.put(0, 1).put(0, 1).put(0, 1)  # no pulse, TNS or gain control
    for _ in range(1024 // 4):
        b.put(*QUAD_ONES)
    b.put(7, 3)  # END
    return adts(b.bytes())


def frames_of(data):
    out = []
    pos = 0
    while pos + 7 <= len(data):
        length = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        out.append(data[pos:pos + length])
        pos += length
    return out


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "tests", "data", "crafted")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "dense_lines_44k.aac"), "wb") as f:
        for k in range(12):
            f.write(dense_frame(100 + k % 2))
    with open(os.path.join(ROOT, "tests", "data", "lc_mono_8k.aac"), "rb") as f:
        frames = frames_of(f.read())
    tag = b"TIT2\x00\x00\x00\x07\x00\x00\x03crafted"
    id3 = b"ID3\x03\x00\x00" + bytes([0, 0, 0, len(tag)]) + tag
    odd = frames[5]
    payload = odd[7:]
    with open(os.path.join(out, "odd_units.aac"), "wb") as f:
        f.write(id3 + b"".join(frames[:4]) + b"no frame here\n")
        f.write(adts(payload, sf_index=11, crc=0x1234, raw_blocks=1))
        f.write(b"".join(frames[6:12]))


main()
