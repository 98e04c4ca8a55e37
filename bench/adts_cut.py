#!/usr/bin/env python3
"""Walks the ADTS frames of a file and optionally writes its first SECONDS of them.

    adts_cut.py IN                  prints "frames rate seconds" of IN
    adts_cut.py IN SECONDS OUT      writes the first ceil(SECONDS * rate / 1024) frames of IN
                                    (all of them when IN is shorter) to OUT, then prints as above
                                    for OUT

The file must be ADTS frames from its first byte to its last: a missing sync word, a frame
length shorter than its header or running past the end, or a change of sampling rate is an
error (exit status 1), so the walk also checks that a file is plain ADTS.
"""
import math
import sys

RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350]


def frames(data):
    """Yields (offset, length, rate) of every frame; raises ValueError where the walk fails."""
    pos = 0
    while pos < len(data):
        h = data[pos:pos + 7]
        if len(h) < 7 or h[0] != 0xFF or (h[1] & 0xF6) != 0xF0:
            raise ValueError(f"no ADTS header at byte {pos}")
        index = (h[2] >> 2) & 0x0F
        if index >= len(RATES):
            raise ValueError(f"sampling-frequency index {index} at byte {pos}")
        length = ((h[3] & 0x03) << 11) | (h[4] << 3) | (h[5] >> 5)  # header bits 30..42
        header = 7 if h[1] & 0x01 else 9
        if length < header or pos + length > len(data):
            raise ValueError(f"frame at byte {pos} declares {length} bytes")
        yield pos, length, RATES[index]
        pos += length


def describe(data):
    count, rate = 0, None
    for _, _, r in frames(data):
        if rate is not None and r != rate:
            raise ValueError(f"sampling rate changes from {rate} to {r} at frame {count}")
        count, rate = count + 1, r
    if not count:
        raise ValueError("no frames")
    return f"{count} {rate} {count * 1024 / rate:.2f}"


def main(argv):
    if len(argv) not in (2, 4):
        sys.exit(__doc__)
    data = open(argv[1], "rb").read()
    try:
        if len(argv) == 4:
            end, wanted = 0, None
            for i, (pos, length, rate) in enumerate(frames(data)):
                if wanted is None:
                    wanted = math.ceil(float(argv[2]) * rate / 1024)
                if i == wanted:
                    break
                end = pos + length
            data = data[:end]
            open(argv[3], "wb").write(data)
        print(describe(data))
    except ValueError as e:
        sys.exit(f"{argv[1]}: {e}")


if __name__ == "__main__":
    main(sys.argv)
