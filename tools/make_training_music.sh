#!/bin/bash
# The music the models' starting state is trained on (tools/make_priors.sh), and a few tracks
# held out to choose how strongly it is trusted: game music from Debian's hyperrogue-music and
# drascula-music, which neither the bench (singularity-music) nor any test uses. Every track is
# encoded twice, by ffmpeg's AAC encoder and by GStreamer's voaacenc, each time at another of
# the settings people use (mono and stereo, 32 to 320 kbit/s, 22.05 to 48 kHz, CBR and VBR),
# at most 90 seconds of it, into OUTDIR/train/ and OUTDIR/heldout/ as ADTS files.
#
# Usage: tools/make_training_music.sh OUTDIR      (installs what it needs if missing)
set -euo pipefail
OUT=${1:?usage: make_training_music.sh OUTDIR}
HYPER=/usr/share/hyperrogue/music
DRASCULA=/usr/share/scummvm/drascula/audio
if ! command -v ffmpeg >/dev/null || ! command -v gst-launch-1.0 >/dev/null || [ ! -d "$HYPER" ] || [ ! -d "$DRASCULA" ] ||
    ! gst-inspect-1.0 voaacenc >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q ffmpeg hyperrogue-music drascula-music gstreamer1.0-tools gstreamer1.0-plugins-base \
        gstreamer1.0-plugins-good gstreamer1.0-plugins-bad >/dev/null
fi
mkdir -p "$OUT/train" "$OUT/heldout"

# ffmpeg settings: channels, rate, then the rate control
FFMPEG_SETTINGS=(
    "2 44100 -b:a 128k" "2 48000 -b:a 192k" "1 44100 -b:a 64k" "2 32000 -b:a 48k" "2 44100 -b:a 256k"
    "2 22050 -b:a 32k" "2 44100 -q:a 2" "2 44100 -aac_coder fast -b:a 160k" "2 48000 -b:a 320k"
    "1 22050 -b:a 40k" "2 48000 -b:a 96k" "1 32000 -b:a 48k" "2 44100 -q:a 1.2"
)
# voaacenc settings: channels, rate, bit rate (it codes CBR only)
VOAAC_SETTINGS=(
    "2 44100 128000" "2 48000 192000" "1 44100 64000" "2 32000 48000" "2 44100 256000" "2 22050 32000"
    "2 48000 96000" "1 22050 40000" "2 44100 160000" "2 48000 320000" "1 32000 56000"
)

encode_ffmpeg() {  # in out "ch rate args..."
    local ch rate args
    read -r ch rate args <<<"$3"
    # shellcheck disable=SC2086
    ffmpeg -hide_banner -loglevel error -y -i "$1" -t 90 -ac "$ch" -ar "$rate" -c:a aac $args -f adts "$2.part" &&
        mv "$2.part" "$2"
}
encode_voaac() {  # in out "ch rate bitrate"
    local ch rate bitrate
    read -r ch rate bitrate <<<"$3"
    gst-launch-1.0 -q filesrc location="$1" ! oggdemux ! vorbisdec ! audioconvert ! audioresample ! \
        "audio/x-raw,rate=$rate,channels=$ch" ! voaacenc bitrate="$bitrate" ! aacparse ! \
        audio/mpeg,stream-format=adts ! filesink location="$2.part" >/dev/null || { rm -f "$2.part"; return 0; }
    # at most 90 seconds, cut at a frame (ffmpeg copies the frames as they are)
    ffmpeg -hide_banner -loglevel error -y -i "$2.part" -t 90 -c copy -f adts "$2.cut" && rm -f "$2.part" &&
        mv "$2.cut" "$2"
}

# The tracks in a fixed order (those that do not decode left out); every sixth drascula track is
# held out.
mapfile -t TRACKS < <( (ls "$HYPER"/*.ogg; ls "$DRASCULA"/track*.ogg) | LC_ALL=C sort |
    while read -r t; do ffprobe -v quiet "$t" && echo "$t"; done)
i=0
d=0
for track in "${TRACKS[@]}"; do
    name=$(basename "$track" .ogg)
    where=train
    if [[ $track == "$DRASCULA"/* ]]; then
        d=$((d + 1))
        [ $((d % 6)) = 0 ] && where=heldout
        name=drascula-$name
    fi
    f=${FFMPEG_SETTINGS[$((i % ${#FFMPEG_SETTINGS[@]}))]}
    v=${VOAAC_SETTINGS[$((i % ${#VOAAC_SETTINGS[@]}))]}
    [ -s "$OUT/$where/$name.ffmpeg.aac" ] || encode_ffmpeg "$track" "$OUT/$where/$name.ffmpeg.aac" "$f" &
    [ -s "$OUT/$where/$name.voaacenc.aac" ] || encode_voaac "$track" "$OUT/$where/$name.voaacenc.aac" "$v" &
    wait
    i=$((i + 1))
done
echo "$(ls "$OUT"/train/*.aac | wc -l) training files, $(ls "$OUT"/heldout/*.aac | wc -l) held out, in $OUT"
