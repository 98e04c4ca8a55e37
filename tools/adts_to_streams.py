#!/usr/bin/env python3
# Writes the access units of an ADTS file as a headerless raw stream and as an ADIF file (an
# ADIF header with one program config element in front of the same blocks), for the bench and
# the test samples of streams without frame headers. Usage: adts_to_streams.py IN.aac OUT.raw OUT.adif
import sys
data = open(sys.argv[1], "rb").read()
payloads, pos, first = [], 0, None
while pos + 7 <= len(data) and data[pos] == 0xFF and (data[pos + 1] & 0xF6) == 0xF0:
    n = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
    head = 7 if data[pos + 1] & 1 else 9
    first = first or data[pos:pos + 7]
    payloads.append(data[pos + head:pos + n])
    pos += n
raw = b"".join(payloads)
open(sys.argv[2], "wb").write(raw)
profile, sf, channels = first[2] >> 6, (first[2] >> 2) & 15, ((first[2] & 1) << 2) | (first[3] >> 6)
bits = []
def put(v, n): bits.extend((v >> (n - 1 - i)) & 1 for i in range(n))
for c in b"ADIF": put(c, 8)
put(0, 1); put(0, 1); put(0, 1); put(1, 1); put(0, 23); put(0, 4)        # no copyright id, VBR, one PCE
put(0, 4); put(profile, 2); put(sf, 4); put(1, 4); put(0, 4); put(0, 4)   # one front element
put(0, 2); put(0, 3); put(0, 4); put(0, 1); put(0, 1); put(0, 1)
put(1 if channels == 2 else 0, 1); put(0, 4)
while len(bits) % 8: put(0, 1)
put(0, 8)                                                                 # no comment
header = bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
open(sys.argv[3], "wb").write(header + raw)
