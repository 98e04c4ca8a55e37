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

for sample in lc_mono_8k.aac lc_stereo_44k.aac lc_51_48k.aac mp4/tags_cover.m4a mp4/frag_moof.mp4 streams/lc_stereo_44k.adif; do
    "$BIN" -p -f -o "$FIXTURES/$(basename "$sample").aaz" "$DATA/$sample"
done

words() { for i in $(seq 1 200); do printf 'note %d of the list\n' "$i"; done; }

# Unpack seeds: packed files of each method, and damaged ones.
cp "$FIXTURES/lc_mono_8k.aac.aaz" "$UNPACK/lc_mono_8k"
head -c 3000 "$DATA/lc_stereo_44k.aac" | "$BIN" -p - 2>/dev/null >"$UNPACK/stereo_head"
words | "$BIN" -p - 2>/dev/null >"$UNPACK/text"
head -c 700 /dev/zero | tr '\0' '\377' | "$BIN" -p - 2>/dev/null >"$UNPACK/ff_bytes"
printf '' | "$BIN" -p - 2>/dev/null >"$UNPACK/empty"
head -c 1500 "$UNPACK/stereo_head" >"$UNPACK/stereo_head_cut"
cp "$FIXTURES/tags_cover.m4a.aaz" "$UNPACK/m4a_units"
cp "$FIXTURES/lc_stereo_44k.adif.aaz" "$UNPACK/adif_units"

# Round-trip seeds: byte 0 odd asks for small chunks.
head -c 2000 "$DATA/lc_mono_8k.aac" >"$ROUND/mono_head"
{ printf '\001'; head -c 3000 "$DATA/lc_stereo_44k.aac"; } >"$ROUND/stereo_small_chunks"
{ printf '\003'; words; head -c 1200 "$DATA/pns_mono_32k.aac"; } >"$ROUND/text_then_frames"
printf '\001' >"$ROUND/one_byte"
# Containers and streams without frame headers: the byte after the first starts the file.
for sample in mp4/faststart.m4a mp4/tags_cover.m4a mp4/frag_moof.mp4 mp4/frag_duration.mp4 mp4/stereo.mov \
    mp4/mono_16k.3gp mp4/box_forms.m4a mp4/chapters.m4a mp4/cut_in_media.m4a mp4/video_two_tracks.mp4 \
    mp4/other_codecs.mp4 streams/lc_stereo_44k.adif \
    streams/lc_stereo_44k.raw; do
    name=$(basename "$sample")
    { printf '\000'; cat "$DATA/$sample"; } >"$ROUND/$name"
    { printf '\001'; cat "$DATA/$sample"; } >"$ROUND/small_chunks_$name"
done

ls -l "$FIXTURES" "$UNPACK" "$ROUND"
