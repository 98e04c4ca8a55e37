#!/bin/bash
# Writes the packed-form fixtures of every format version this build writes and reads
# (tests/data/packed-vN/<sample>.aaz, which a test unpacks and compares with its source, and
# packs again at its version to compare with the fixture) and the seeds of the two packed-form
# fuzz targets (fuzz/corpus/unpack, fuzz/corpus/pack_round_trip) from the bundled samples.
# Packing is deterministic, so running it twice with the same build gives the same files.
#
# A fixture once committed is never to change: the models of its version are frozen (the test
# codes each of its chunks again and compares), while the packer's choices of cuts and methods
# may improve. The script writes only the fixtures a version lacks. Each version's samples reach
# every branch of its models (the crafted ones, tools/make_crafted_samples.py, what no encoder
# at hand writes).
#
# Usage: tools/make_pack_fixtures.sh [path/to/build]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/aaczavrok
WRITE=$BUILD/aaczavrok_write_fixture
DATA=$ROOT/tests/data
UNPACK=$ROOT/fuzz/corpus/unpack
ROUND=$ROOT/fuzz/corpus/pack_round_trip
[ -x "$BIN" ] && [ -x "$WRITE" ] || { echo "no program at $BIN or $WRITE (build them first: make build)" >&2; exit 1; }
VERSION=$("$BIN" -V 2>&1 | sed -n 's/.*packed format version \([0-9]*\).*/\1/p')
[ -n "$VERSION" ] || { echo "cannot tell the format version of $BIN" >&2; exit 1; }

ADTS_SAMPLES="lc_mono_8k.aac lc_stereo_44k.aac lc_51_48k.aac is_ms_stereo_48k.aac pns_mono_32k.aac ltp_mono_22k.aac
  main_stereo_44k.aac lc_mono_fill_44k.aac tns_mono_44k.aac crafted/dense_lines_44k.aac crafted/odd_units.aac"
UNIT_SAMPLES="mp4/tags_cover.m4a mp4/frag_moof.mp4 streams/lc_stereo_44k.adif flv/video.flv mkv/live_video.mkv"
TS_SAMPLES="ts/ff_stereo.m2ts ts/video.ts ts/gst_mono.ts"
SPLIT_SAMPLES="mp4/other_codecs.mp4"
V7_SAMPLES="loas/lc_stereo_44k.loas ts/latm_mono.ts mp4/video_two_tracks.mp4"
V8_SAMPLES="ts/noise_video.ts mkv/noise_video.mkv mkv/gst_cues.mka video/noise_alone.ts video/noise_alone.mkv"
V9_SAMPLES="ts/ff_hls_segment.ts flv/ff_stereo.flv mkv/gst_mono.mka"
# chunks cut small, so that the later ones reach back to the repeats of the earlier ones: whole
# chunks of 4 KiB, and two split chunks of a clip joined to itself (its second half's runs)
V10_SAMPLES="crafted/reach_back.bin video/repeat_twice.mp4"
# an index after the media whose chunk offsets and video sample sizes follow from where the
# stretches of audio lie (tables of places)
V11_SAMPLES="video/one_sample_chunks.mp4"
TMP=$(mktemp)
trap 'rm -f "$TMP"' EXIT
for version in $(seq 2 "$VERSION"); do
    samples=$ADTS_SAMPLES
    [ "$version" -ge 3 ] && samples="$samples $UNIT_SAMPLES"  # version 2 has no chunks of units
    [ "$version" -ge 5 ] && samples="$samples $TS_SAMPLES"    # nor has version 4 chunks of packets
    [ "$version" -ge 6 ] && samples="$samples $SPLIT_SAMPLES" # nor version 5 split chunks
    [ "$version" -ge 7 ] && samples="$samples $V7_SAMPLES"    # nor version 6 LOAS streams and units' tracks
    [ "$version" -ge 8 ] && samples="$samples $V8_SAMPLES"    # nor version 7 LZMA2 and modelled side streams
    [ "$version" -ge 9 ] && samples="$samples $V9_SAMPLES"    # nor version 8 the gap memory and PES frames
    [ "$version" -ge 10 ] && samples="$samples $V10_SAMPLES"  # nor version 9 chunks that reach back
    [ "$version" -ge 11 ] && samples="$samples $V11_SAMPLES"  # nor version 10 tables of places
    mkdir -p "$DATA/packed-v$version"
    for sample in $samples; do
        fixture=$DATA/packed-v$version/$(basename "$sample").aaz
        [ -e "$fixture" ] && continue
        cap=""
        case $sample in
        crafted/reach_back.bin) cap=4096 ;;
        video/repeat_twice.mp4) cap=$(( $(stat -c %s "$DATA/$sample") / 2 + 100 )) ;;
        esac
        "$WRITE" "$version" "$DATA/$sample" "$TMP" $cap >/dev/null
        cp "$TMP" "$fixture"
        echo "wrote $fixture"
    done
done
FIXTURES=$DATA/packed-v$VERSION
mkdir -p "$UNPACK" "$ROUND"
rm -f "$UNPACK"/* "$ROUND"/*

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
cp "$FIXTURES/other_codecs.mp4.aaz" "$UNPACK/split_units"
"$BIN" -p - <"$DATA/flv/video.flv" 2>/dev/null >"$UNPACK/flv_units"
"$BIN" -p - <"$DATA/mkv/live_video.mkv" 2>/dev/null >"$UNPACK/mkv_units"
"$BIN" -p - <"$DATA/ts/video.ts" 2>/dev/null >"$UNPACK/ts_packets"
cp "$FIXTURES/lc_stereo_44k.loas.aaz" "$UNPACK/loas"
cp "$FIXTURES/latm_mono.ts.aaz" "$UNPACK/ts_latm"
cp "$FIXTURES/noise_video.ts.aaz" "$UNPACK/ts_modelled_side"
cp "$FIXTURES/noise_video.mkv.aaz" "$UNPACK/split_modelled_side"
cp "$FIXTURES/gst_cues.mka.aaz" "$UNPACK/lzma_chunks"
cp "$FIXTURES/ff_hls_segment.ts.aaz" "$UNPACK/ts_pes_frames"
cp "$FIXTURES/gst_mono.mka.aaz" "$UNPACK/mkv_gaps"
cp "$FIXTURES/one_sample_chunks.mp4.aaz" "$UNPACK/place_tables"

# Round-trip seeds: byte 0 odd asks for small chunks.
head -c 2000 "$DATA/lc_mono_8k.aac" >"$ROUND/mono_head"
{ printf '\001'; head -c 3000 "$DATA/lc_stereo_44k.aac"; } >"$ROUND/stereo_small_chunks"
{ printf '\003'; words; head -c 1200 "$DATA/pns_mono_32k.aac"; } >"$ROUND/text_then_frames"
printf '\001' >"$ROUND/one_byte"
# Containers and streams without frame headers: the byte after the first starts the file.
for sample in mp4/faststart.m4a mp4/tags_cover.m4a mp4/frag_moof.mp4 mp4/frag_duration.mp4 mp4/stereo.mov \
    mp4/mono_16k.3gp mp4/box_forms.m4a mp4/chapters.m4a mp4/cut_in_media.m4a mp4/video_two_tracks.mp4 \
    mp4/other_codecs.mp4 mp4/frag_av.mp4 streams/lc_stereo_44k.adif \
    streams/lc_stereo_44k.raw flv/ff_stereo.flv flv/gst_mono.flv flv/video.flv mkv/ff_stereo.mka \
    mkv/gst_mono.mka mkv/live_video.mkv ts/ff_stereo.ts ts/ff_stereo.m2ts ts/gst_mono.ts ts/video.ts \
    ts/latm_mono.ts loas/lc_stereo_44k.loas ts/noise_video.ts mkv/noise_video.mkv mkv/gst_cues.mka \
    video/noise_alone.ts video/noise_alone.mkv ts/ff_hls_segment.ts video/one_sample_chunks.mp4; do
    name=$(basename "$sample")
    { printf '\000'; cat "$DATA/$sample"; } >"$ROUND/$name"
    { printf '\001'; cat "$DATA/$sample"; } >"$ROUND/small_chunks_$name"
done

# A lone segment: the fragmented file from its first moof on.
at=$(grep -obUa moof "$DATA/mp4/frag_av.mp4" | head -1 | cut -d: -f1)
{ printf '\000'; tail -c +$((at - 3)) "$DATA/mp4/frag_av.mp4"; } >"$ROUND/segment.m4s"

ls -l "$UNPACK" "$ROUND"
