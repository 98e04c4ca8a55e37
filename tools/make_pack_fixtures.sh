#!/bin/bash
# Writes the packed-form fixtures of the current format version (tests/data/packed-vN/<sample>.aaz,
# which a test unpacks and compares with tests/data/<sample>; the folders of earlier versions
# stay as they are) and the seeds of the two packed-form fuzz targets
# (fuzz/corpus/unpack, fuzz/corpus/pack_round_trip) from the bundled samples. Packing is
# deterministic, so running it twice with the same build gives the same files; run it again
# whenever the packed format or the chunk codec changes, and commit what it writes.
#
# Usage: tools/make_pack_fixtures.sh [path/to/aaczavrok]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/aaczavrok}
DATA=$ROOT/tests/data
VERSION=$("$BIN" -V 2>&1 | sed -n 's/.*packed format version \([0-9]*\).*/\1/p')
[ -n "$VERSION" ] || { echo "cannot tell the format version of $BIN" >&2; exit 1; }
FIXTURES=$DATA/packed-v$VERSION
UNPACK=$ROOT/fuzz/corpus/unpack
ROUND=$ROOT/fuzz/corpus/pack_round_trip
[ -x "$BIN" ] || { echo "no program at $BIN (build it first: make build)" >&2; exit 1; }

mkdir -p "$FIXTURES" "$UNPACK" "$ROUND"
rm -f "$FIXTURES"/*.aaz "$UNPACK"/* "$ROUND"/*

for sample in lc_mono_8k.aac lc_stereo_44k.aac lc_51_48k.aac; do
    "$BIN" -p -f -o "$FIXTURES/$sample.aaz" "$DATA/$sample"
done

words() { for i in $(seq 1 200); do printf 'note %d of the list\n' "$i"; done; }

# Unpack seeds: packed files of each method, and damaged ones.
cp "$FIXTURES/lc_mono_8k.aac.aaz" "$UNPACK/lc_mono_8k"
head -c 3000 "$DATA/lc_stereo_44k.aac" | "$BIN" -p - 2>/dev/null >"$UNPACK/stereo_head"
words | "$BIN" -p - 2>/dev/null >"$UNPACK/text"
head -c 700 /dev/zero | tr '\0' '\377' | "$BIN" -p - 2>/dev/null >"$UNPACK/ff_bytes"
printf '' | "$BIN" -p - 2>/dev/null >"$UNPACK/empty"
head -c 1500 "$UNPACK/stereo_head" >"$UNPACK/stereo_head_cut"

# Round-trip seeds: byte 0 odd asks for small chunks.
head -c 2000 "$DATA/lc_mono_8k.aac" >"$ROUND/mono_head"
{ printf '\001'; head -c 3000 "$DATA/lc_stereo_44k.aac"; } >"$ROUND/stereo_small_chunks"
{ printf '\003'; words; head -c 1200 "$DATA/pns_mono_32k.aac"; } >"$ROUND/text_then_frames"
printf '\001' >"$ROUND/one_byte"

ls -l "$FIXTURES" "$UNPACK" "$ROUND"
