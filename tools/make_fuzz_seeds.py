#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets into fuzz/corpus/<target>/ from the bundled
samples: the AAC files themselves (compress), and the data blocks the program makes of them
(the .swp container, and the .bin/.csv files packed with the 2-byte length header of
fuzz/targets.h).

Usage: python3 tools/make_fuzz_seeds.py [path/to/aaczavrok]
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "aaczavrok")
BIN_SUFFIX = ["_ADTS.bin", "_FAACStr.bin", "_STC.bin", "_GG.bin", "_ICSI.bin", "_SBN.bin", "_SCF.bin",
              "_TNS.bin", "_QMDCT.bin"]
CSV_SUFFIX = ["_ADTS.csv", "_FAACStr.csv", "_STC.csv", "_GG.csv", "_ICSI.csv", "_SBN.csv", "_SCF.csv",
              "_TNS.csv", "_QMDCT_0.csv", "_QMDCT_1.csv"]
SAMPLES = ["lc_mono_8k.aac", "pns_mono_32k.aac", "lc_stereo_44k.aac", "ltp_mono_22k.aac", "tns_mono_44k.aac"]
LIMIT = 12000  # keep each seed small so the fuzzer stays fast


def pack(flags, parts):
    parts = [p[:max(0, min(len(p), 65535))] for p in parts]
    head = bytes([flags]) + b"".join(len(p).to_bytes(2, "little") for p in parts)
    return head + b"".join(parts)


def first_frames(data, limit):
    """The first ADTS frames of data that fit in limit bytes."""
    pos = 0
    while pos + 7 <= len(data):
        length = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        if length < 7 or pos + length > limit:
            break
        pos += length
    return data[:pos]


def main():
    out = {t: os.path.join(ROOT, "fuzz", "corpus", t)
           for t in ("compress", "decompress_swp", "decompress_bin", "decompress_csv")}
    for d in out.values():
        os.makedirs(d, exist_ok=True)
    for sample in SAMPLES:
        stem = os.path.splitext(sample)[0]
        with open(os.path.join(ROOT, "tests", "data", sample), "rb") as f:
            aac = first_frames(f.read(), 3000)
        for flags, tag in ((0, "swp"), (1, "m"), (2, "s")):
            with open(os.path.join(out["compress"], f"{stem}-{tag}"), "wb") as f:
                f.write(bytes([flags]) + aac)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "x.aac")
            with open(path, "wb") as f:
                f.write(aac)
            subprocess.run([BIN, "x.aac"], cwd=tmp, capture_output=True)
            subprocess.run([BIN, "-m", "x.aac"], cwd=tmp, capture_output=True)
            with open(os.path.join(tmp, "x.swp"), "rb") as f:
                swp = f.read()
            with open(os.path.join(out["decompress_swp"], stem), "wb") as f:
                f.write(bytes([0]) + swp[:LIMIT])
            bins = [open(os.path.join(tmp, "x" + s), "rb").read() for s in BIN_SUFFIX]
            with open(os.path.join(out["decompress_bin"], stem), "wb") as f:
                f.write(pack(1, bins))
            csvs = [open(os.path.join(tmp, "x" + s), "rb").read() for s in CSV_SUFFIX]
            with open(os.path.join(out["decompress_csv"], stem), "wb") as f:
                f.write(pack(1, csvs))


if __name__ == "__main__":
    main()
