#!/usr/bin/env bash
# Regenerates the small MP4-family samples of tests/data/mp4 with ffmpeg, each beside
# NAME.adts, the ADTS copy of the very same access units that the container walk's tests
# compare against: an M4A with its index first, one with its index last carrying tags and
# cover art, fragmented files (moof-relative and explicit base offsets), a MOV, a mono 3GP
# at a low rate, an M4A with a chapter text track, two AAC tracks beside video, AAC beside
# other codecs, a file cut inside its media data, and box forms ffmpeg does not write.
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
ff "${src[@]}" -c:a aac -b:a 64k -movflags +frag_keyframe+empty_moov+default_base_moof+global_sidx \
   "$out/frag_moof.mp4"
ff "${src[@]}" -c:a aac -b:a 64k -movflags +frag_keyframe+empty_moov -frag_duration 300000 "$out/frag_duration.mp4"
ff "${src[@]}" -c:a aac -b:a 64k "$out/stereo.mov"
ff "${src[@]}" -c:a aac -ac 1 -ar 16000 -b:a 24k "$out/mono_16k.3gp"
ff "${src[@]}" -i "$tmp/chapters.txt" -map 0 -map_metadata 1 -map_chapters 1 -c:a aac -b:a 64k "$out/chapters.m4a"
ff -f lavfi -i "testsrc=s=16x16:r=5:d=1.5" "${src[@]}" "${src[@]}" -map 0 -map 1 -map 2 -c:v mpeg4 -c:a aac -b:a 48k \
   -ac:a:1 1 "$out/video_two_tracks.mp4"
ff -i "$out/video_two_tracks.mp4" -map 0:a:1 -c copy -f adts "$out/video_two_tracks.mp4.1.adts"
# Codecs the walk does not model beside one AAC track: ALAC, MP3 and AC-3.
ff "${src[@]}" -map 0 -map 0 -map 0 -map 0 -c:a:0 aac -b:a:0 48k -c:a:1 alac -ac:a:1 1 -ar:a:1 8000 \
   -c:a:2 libmp3lame -ac:a:2 1 -b:a:2 32k -c:a:3 ac3 -ac:a:3 1 -b:a:3 64k "$out/other_codecs.mp4"
for f in other_codecs.mp4 video_two_tracks.mp4 faststart.m4a tags_cover.m4a frag_moof.mp4 frag_duration.mp4 stereo.mov mono_16k.3gp chapters.m4a; do
  ff -i "$out/$f" -map 0:a:0 -c copy -f adts "$out/$f.adts"
done
# Cut inside the media data: its index (first) is whole, its last access units are not.
head -c 9000 "$out/faststart.m4a" > "$out/cut_in_media.m4a"
# The box forms ffmpeg does not write, from faststart.m4a's own tables and media: a uuid box,
# co64 and stz2 (16-bit), the media split into two chunks in two mdats, the first with a 64-bit
# size, a skip box between them and the second running to the end (size 0).
python3 - "$out/faststart.m4a" "$out/box_forms.m4a" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
def boxes(start, end):
    while start + 8 <= end:
        size, kind = struct.unpack('>I4s', data[start:start + 8])
        yield kind, start, start + size
        start += size
top = {k: (a, b) for k, a, b in boxes(0, len(data))}
def child(path, start, end):
    for k, a, b in boxes(start, end):
        if k == path[0]:
            return (a, b) if len(path) == 1 else child(path[1:], a + 8, b)
stbl = child([b'trak', b'mdia', b'minf', b'stbl'], top[b'moov'][0] + 8, top[b'moov'][1])
stsz = child([b'stsz'], stbl[0] + 8, stbl[1])
stco = child([b'stco'], stbl[0] + 8, stbl[1])
count = struct.unpack('>I', data[stsz[0] + 16:stsz[0] + 20])[0]
sizes = struct.unpack('>%dI' % count, data[stsz[0] + 20:stsz[0] + 20 + 4 * count])
assert struct.unpack('>I', data[stco[0] + 12:stco[0] + 16])[0] == 1, 'one chunk expected'
first = struct.unpack('>I', data[stco[0] + 16:stco[0] + 20])[0]
media = data[first:first + sum(sizes)]
half = count // 2
split = sum(sizes[:half])
def box(kind, payload): return struct.pack('>I', 8 + len(payload)) + kind + payload
def full(kind, payload): return box(kind, b'\0\0\0\0' + payload)
def moov(offsets):
    tables = (full(b'stsc', struct.pack('>7I', 2, 1, half, 1, 2, count - half, 1)) +
              full(b'stz2', struct.pack('>I', 16) + struct.pack('>I', count) + struct.pack('>%dH' % count, *sizes)) +
              full(b'co64', struct.pack('>IQQ', 2, *offsets)))
    def rebuild(start, end, path):
        out = b''
        for k, a, b in boxes(start, end):
            if k in (b'stsc', b'stsz', b'stco') and path == [b'moov', b'trak', b'mdia', b'minf', b'stbl']:
                if k == b'stsz': out += tables
            elif k in (b'moov', b'trak', b'mdia', b'minf', b'stbl'):
                out += box(k, rebuild(a + 8, b, path + [k]))
            else:
                out += data[a:b]
        return out
    return rebuild(top[b'moov'][0], top[b'moov'][1], [])
head = data[top[b'ftyp'][0]:top[b'ftyp'][1]] + box(b'uuid', b'\x7a' * 16 + b'user data')
size = len(moov((0, 0)))
mdat1_at = len(head) + size
mdat2_at = mdat1_at + 16 + split + 16
out = (head + moov((mdat1_at + 16, mdat2_at + 8)) + struct.pack('>I4sQ', 1, b'mdat', 16 + split) + media[:split] +
       box(b'skip', b'\0' * 8) + struct.pack('>I4s', 0, b'mdat') + media[split:])
open(sys.argv[2], 'wb').write(out)
PY
ls -l "$out"
