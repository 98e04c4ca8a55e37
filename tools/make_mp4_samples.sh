#!/usr/bin/env bash
# Regenerates the small MP4-family samples of tests/data/mp4 with ffmpeg, each beside
# NAME.adts, the ADTS copy of the very same access units that the container walk's tests
# compare against: an M4A with its index first, one with its index last carrying tags and
# cover art, fragmented files (moof-relative and explicit base offsets), a MOV, a mono 3GP
# at a low rate, an M4A with a chapter text track, and a file cut inside its media data.
# The tests never run ffmpeg. Usage: tools/make_mp4_samples.sh [OUTDIR]
set -eu
out=${1:-$(cd "$(dirname "$0")/.." && pwd)/tests/data/mp4}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y -bitexact "$@"; }
# A chord with a little noise: tonal enough to code like music, never silent.
src=(-f lavfi -i "aevalsrc=0.3*sin(2*PI*440*t)+0.2*sin(2*PI*660*t+1)+0.05*(random(0)-0.5)|0.3*sin(2*PI*550*t)+0.05*(random(1)-0.5):s=44100:d=1.5")
ff -f lavfi -i "testsrc=s=16x16" -frames:v 1 "$tmp/cover.png"
cat > "$tmp/chapters.txt" <<'META'
;FFMETADATA1
title=Chapters
[CHAPTER]
TIMEBASE=1/1000
START=0
END=700
title=One
[CHAPTER]
TIMEBASE=1/1000
START=700
END=1500
title=Two
META
ff "${src[@]}" -c:a aac -b:a 64k -movflags +faststart "$out/faststart.m4a"
ff "${src[@]}" -i "$tmp/cover.png" -map 0 -map 1 -c:a aac -b:a 64k -c:v copy -disposition:v attached_pic \
   -metadata title="Sample" -metadata artist="Tests" "$out/tags_cover.m4a"
ff "${src[@]}" -c:a aac -b:a 64k -movflags +frag_keyframe+empty_moov+default_base_moof "$out/frag_moof.mp4"
ff "${src[@]}" -c:a aac -b:a 64k -movflags +frag_keyframe+empty_moov -frag_duration 300000 "$out/frag_duration.mp4"
ff "${src[@]}" -c:a aac -b:a 64k "$out/stereo.mov"
ff "${src[@]}" -c:a aac -ac 1 -ar 16000 -b:a 24k "$out/mono_16k.3gp"
ff "${src[@]}" -i "$tmp/chapters.txt" -map 0 -map_metadata 1 -map_chapters 1 -c:a aac -b:a 64k "$out/chapters.m4a"
for f in faststart.m4a tags_cover.m4a frag_moof.mp4 frag_duration.mp4 stereo.mov mono_16k.3gp chapters.m4a; do
  ff -i "$out/$f" -map 0:a -c copy -f adts "$out/$f.adts"
done
# Cut inside the media data: its index (first) is whole, its last access units are not.
head -c 9000 "$out/faststart.m4a" > "$out/cut_in_media.m4a"
ls -l "$out"
