#!/bin/bash
# Packed form against general-purpose compressors: per file and as a mean, the saving of
# `aaczavrok -p`, `xz -9e` and `zstd -19`; pack and unpack speed (MB of AAC per second, wall
# time) and peak memory of aaczavrok, and its peak memory packing crafted inputs (one through a pipe).
# Every unpacked file is compared with its input. Every wall time is the median of RUNS runs
# (default 3; RUNS=1 for a quick look); sizes are measured once.
#
# The speeds come twice: with the packer's two threads free to use the machine ("2 thr"), and
# with the whole process pinned to one core by taskset ("1 core"), which is the single-thread
# figure (the second thread then only takes turns with the first). ONE_CORE=0 skips the latter.
#
# Speed as a ratio to what users compare it with: for every file, in the same run, the wall
# time of `xz -9e -T1` compressing it and of `faad` decoding it to a WAV file, and the packer's
# pack time over xz's and unpack time over faad's; and the same ratios of CPU time (user +
# system), the packer on one thread (-T 1), as a single core pays them. RATIOS=0 skips these timings.
#
# Peak memory packing hostile inputs through the program, and a 30 MB M4A whose index comes
# last through the library's streaming calls (bench/stream_pack.c), each within 64 MiB.
#
# Usage: bench/pack_bench.sh [file.aac...]
#   Without files: the real-music set (../shared/music/make-music.sh, made into WORK/music
#   unless MUSIC= names a folder that holds it) and a generated 10-minute file.
#   BIN= another binary, WORK= another scratch folder (default build/pack-bench).
#   BASE= a second binary (say the build before a change): the music, voaacenc, short-file and
#   corpus sections then also show its saving and the difference in points.
#   Sections after the music table, each skipped when set to 0: CONTAINERS, TINY (below),
#   VOAACENC (a second encoder), SHORT (the first 10 and 30 s of each track), CORPUS.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${BIN:-$ROOT/build/aaczavrok}
WORK=${WORK:-$ROOT/build/pack-bench}
RUNS=${RUNS:-3}
RATIOS=${RATIOS:-1}
BASE=${BASE:-}
[ -x "$BIN" ] || { echo "no program at $BIN (make build)" >&2; exit 1; }
[ -z "$BASE" ] || [ -x "$BASE" ] || { echo "no program at BASE=$BASE" >&2; exit 1; }

need() { command -v "$1" >/dev/null || { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -q "$2" >/dev/null; }; }
need xz xz-utils
need zstd zstd
need bc bc
need faad faad
[ -x /usr/bin/time ] || { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -q time >/dev/null; }
mkdir -p "$WORK"

FILES=("$@")
if [ ${#FILES[@]} -eq 0 ]; then
    MUSIC=${MUSIC:-$WORK/music}
    ls "$MUSIC"/*.aac >/dev/null 2>&1 || bash "$ROOT/../shared/music/make-music.sh" "$MUSIC" >/dev/null
    TEN="$WORK/ten_minutes.aac"
    if [ ! -s "$TEN" ]; then
        command -v ffmpeg >/dev/null || apt-get install -y -q ffmpeg >/dev/null
        ffmpeg -v error -y -f lavfi -i "aevalsrc=0.3*sin(2*PI*440*t)*sin(2*PI*0.5*t)+0.1*(random(0)-0.5)|0.3*sin(2*PI*660*t)+0.1*(random(1)-0.5):s=44100:d=600" \
            -c:a aac -b:a 160k -f adts "$TEN"
    fi
    FILES=("$MUSIC"/*.aac "$TEN")
fi
# The music tracks: every file but the generated one.
TRACKS=()
for f in "${FILES[@]}"; do [ "$f" = "${TEN:-}" ] || TRACKS+=("$f"); done

ONE_CORE=${ONE_CORE:-1}
command -v taskset >/dev/null || ONE_CORE=0
now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
# Runs a command RUNS times; sets SECONDS_TAKEN (the median wall time), CPU_TAKEN (the median
# CPU time, user + system) and PEAK_KB (the largest peak RSS). OUTPUTS names the files the
# command writes: they are removed before each run, outside the timing, so that every run
# writes new files as a first run does.
measure() {
    local t0 t1 kb user sys walls=() cpus=()
    PEAK_KB=0
    for _ in $(seq "$RUNS"); do
        # shellcheck disable=SC2086 # OUTPUTS is a list of names
        rm -f ${OUTPUTS:-}
        t0=$(now)
        /usr/bin/time -f '%M %U %S' -o "$WORK/rss" "$@"
        t1=$(now)
        walls+=("$(echo "$t1 - $t0" | bc -l)")
        read -r kb user sys < <(tail -n 1 "$WORK/rss")
        cpus+=("$(echo "$user + $sys" | bc -l)")
        if [ "$kb" -gt "$PEAK_KB" ]; then PEAK_KB=$kb; fi
    done
    SECONDS_TAKEN=$(median "${walls[@]}")
    CPU_TAKEN=$(median "${cpus[@]}")
}
# Median seconds of RUNS runs pinned to one core (0 when ONE_CORE=0).
one_core() {
    [ "$ONE_CORE" = 1 ] || { echo 0; return; }
    local t0 t1 walls=()
    for _ in $(seq "$RUNS"); do
        t0=$(now)
        taskset -c 0 "$@" 2>/dev/null
        t1=$(now)
        walls+=("$(echo "$t1 - $t0" | bc -l)")
    done
    median "${walls[@]}"
}
speed() { if [ "$(echo "$2 > 0" | bc -l)" = 1 ]; then echo "$1 / 1000000 / $2" | bc -l; else echo 0; fi; }
saving() { echo "scale=4; 100 * (1 - $2 / $1)" | bc -l; }
# packed_saving BINARY FILE: packs FILE once with BINARY, checks that it comes back byte for byte
# and sets SAVED to the saving and PACKED to the packed bytes.
packed_saving() {
    rm -f "$WORK/s.aaz" "$WORK/s.out"
    "$1" -p -o "$WORK/s.aaz" "$2" </dev/null 2>/dev/null
    "$1" -d -o "$WORK/s.out" "$WORK/s.aaz" 2>/dev/null
    cmp -s "$2" "$WORK/s.out" || { echo "$2: unpacked by $1, differs from the input" >&2; exit 1; }
    PACKED=$(stat -c %s "$WORK/s.aaz")
    SAVED=$(saving "$(stat -c %s "$2")" "$PACKED")
    rm -f "$WORK/s.aaz" "$WORK/s.out"
}
# With BASE set: BASE_HEAD is the header of its two columns; base_columns SAVING FILE sets
# BASE_COLS to BASE's saving on FILE and SAVING less it, and adds both to BASE_SUM and POINTS_SUM
# (all empty or unchanged without BASE). BASE_LAST keeps BASE's saving, BASE_PACKED its bytes.
BASE_HEAD=""
[ -z "$BASE" ] || BASE_HEAD=$(printf ' %8s %8s' "BASE %" points)
base_columns() {
    BASE_COLS=""; BASE_LAST=""
    [ -n "$BASE" ] || return 0
    local b
    packed_saving "$BASE" "$2"
    b=$SAVED; BASE_LAST=$b; BASE_PACKED=$PACKED
    BASE_SUM=$(echo "$BASE_SUM + $b" | bc -l); POINTS_SUM=$(echo "$POINTS_SUM + $1 - $b" | bc -l)
    BASE_COLS=$(printf ' %8.2f %8.2f' "$b" "$(echo "$1 - $b" | bc -l)")
}
# base_means N: the means of BASE's column and of the points over N files.
base_means() { [ -z "$BASE" ] || printf ' %8.2f %8.2f' "$(echo "$BASE_SUM / $1" | bc -l)" "$(echo "$POINTS_SUM / $1" | bc -l)"; }

printf '%-26s %11s %8s %8s %8s %9s %9s %9s %9s %8s %8s%s\n' file bytes "-p %" "xz %" "zstd %" \
    "pack 2thr" "unp 2thr" "pack 1core" "unp 1core" "pack MB" "unp MB" "$BASE_HEAD"
n=0; sum_p=0; sum_x=0; sum_z=0; total_in=0; total_p=0; total_pack_s=0; total_unpack_s=0; max_pack_kb=0; max_unpack_kb=0
total_pack1_s=0; total_unpack1_s=0; BASE_SUM=0; POINTS_SUM=0
declare -A WHOLE_SAVING WHOLE_BASE
RATIO_ROWS=()
for f in "${FILES[@]}"; do
    size=$(stat -c %s "$f")
    OUTPUTS="$WORK/f.aaz" measure "$BIN" -p -o "$WORK/f.aaz" "$f" 2>/dev/null
    pack_s=$SECONDS_TAKEN; pack_kb=$PEAK_KB
    OUTPUTS="$WORK/f.out" measure "$BIN" -d -o "$WORK/f.out" "$WORK/f.aaz" 2>/dev/null
    unpack_s=$SECONDS_TAKEN; unpack_kb=$PEAK_KB
    cmp -s "$f" "$WORK/f.out" || { echo "$f: unpacked file differs from the input" >&2; exit 1; }
    pack1_s=$(one_core "$BIN" -p -f -o "$WORK/f1.aaz" "$f")
    unpack1_s=$(one_core "$BIN" -d -f -o "$WORK/f1.out" "$WORK/f.aaz")
    packed=$(stat -c %s "$WORK/f.aaz")
    xz_size=$(xz -9e -T1 -c "$f" | wc -c)
    zstd_size=$(zstd -19 -q -c "$f" | wc -c)
    sp=$(saving "$size" "$packed"); sx=$(saving "$size" "$xz_size"); sz=$(saving "$size" "$zstd_size")
    WHOLE_SAVING[$f]=$sp
    base_columns "$sp" "$f"; WHOLE_BASE[$f]=$BASE_LAST
    printf '%-26s %11d %8.2f %8.2f %8.2f %9.2f %9.2f %9.2f %9.2f %8.1f %8.1f%s\n' "$(basename "$f")" "$size" "$sp" "$sx" "$sz" \
        "$(speed "$size" "$pack_s")" "$(speed "$size" "$unpack_s")" "$(speed "$size" "$pack1_s")" "$(speed "$size" "$unpack1_s")" \
        "$(echo "$pack_kb / 1024" | bc -l)" "$(echo "$unpack_kb / 1024" | bc -l)" "$BASE_COLS"
    if [ "$RATIOS" != 0 ]; then
        OUTPUTS="" measure xz -9e -T1 -k -c "$f" >/dev/null
        xz_s=$SECONDS_TAKEN; xz_cpu=$CPU_TAKEN
        OUTPUTS="$WORK/f.wav" measure faad -q -o "$WORK/f.wav" "$f" >/dev/null 2>&1
        faad_s=$SECONDS_TAKEN; faad_cpu=$CPU_TAKEN
        # CPU time on one thread (-T 1): what a single core spends, packing with its verification
        OUTPUTS="$WORK/t1.aaz" measure "$BIN" -p -T 1 -o "$WORK/t1.aaz" "$f" 2>/dev/null
        pack_cpu=$CPU_TAKEN
        OUTPUTS="$WORK/t1.out" measure "$BIN" -d -T 1 -o "$WORK/t1.out" "$WORK/t1.aaz" 2>/dev/null
        unpack_cpu=$CPU_TAKEN
        cmp -s "$f" "$WORK/t1.out" || { echo "$f: unpacked on one thread, differs from the input" >&2; exit 1; }
        rm -f "$WORK/t1.aaz" "$WORK/t1.out"
        audio=$(python3 "$ROOT/bench/adts_cut.py" "$f" 2>/dev/null) || audio=0
        RATIO_ROWS+=("$(basename "$f") ${audio##* } $pack_s $xz_s $unpack_s $faad_s $pack_cpu $xz_cpu $unpack_cpu $faad_cpu")
    fi
    n=$((n + 1)); total_in=$((total_in + size)); total_p=$((total_p + packed))
    sum_p=$(echo "$sum_p + $sp" | bc -l); sum_x=$(echo "$sum_x + $sx" | bc -l); sum_z=$(echo "$sum_z + $sz" | bc -l)
    total_pack_s=$(echo "$total_pack_s + $pack_s" | bc -l); total_unpack_s=$(echo "$total_unpack_s + $unpack_s" | bc -l)
    total_pack1_s=$(echo "$total_pack1_s + $pack1_s" | bc -l); total_unpack1_s=$(echo "$total_unpack1_s + $unpack1_s" | bc -l)
    if [ "$pack_kb" -gt "$max_pack_kb" ]; then max_pack_kb=$pack_kb; fi
    if [ "$unpack_kb" -gt "$max_unpack_kb" ]; then max_unpack_kb=$unpack_kb; fi
done
printf '%-26s %11d %8.2f %8.2f %8.2f %9.2f %9.2f %9.2f %9.2f %8.1f %8.1f%s\n' "mean of $n files" "$total_in" \
    "$(echo "$sum_p / $n" | bc -l)" "$(echo "$sum_x / $n" | bc -l)" "$(echo "$sum_z / $n" | bc -l)" \
    "$(speed "$total_in" "$total_pack_s")" "$(speed "$total_in" "$total_unpack_s")" \
    "$(speed "$total_in" "$total_pack1_s")" "$(speed "$total_in" "$total_unpack1_s")" \
    "$(echo "$max_pack_kb / 1024" | bc -l)" "$(echo "$max_unpack_kb / 1024" | bc -l)" "$(base_means "$n")"
echo "(savings in percent of the input; speeds in MB of AAC per second of wall time over all files together,"
echo " 1core = pinned to one core, 0 when not measured; memory: the largest peak RSS, two threads;"
echo " wall times: the median of RUNS=$RUNS runs${BASE:+; BASE %: the saving of $BASE, points: -p % less BASE %})"

if [ "$RATIOS" != 0 ]; then
    printf '\n%-26s %8s %8s %8s %9s %8s %8s %11s %8s %11s\n' file "audio s" "pack s" "xz s" "unpack s" "faad s" \
        "pack/xz" "unpack/faad" "cpu p/xz" "cpu u/faad"
    sum_ps=0; sum_xs=0; sum_us=0; sum_fs=0; sum_pc=0; sum_xc=0; sum_uc=0; sum_fc=0
    # a ratio, or - where the denominator is too small to be timed
    ratio() { if [ "$(echo "$2 > 0" | bc -l)" = 1 ]; then printf '%.2f' "$(echo "$1 / $2" | bc -l)"; else echo -; fi; }
    for row in "${RATIO_ROWS[@]}"; do
        read -r name audio ps xs us fs pc xc uc fc <<<"$row"
        printf '%-26s %8.1f %8.2f %8.2f %9.2f %8.2f %8s %11s %8s %11s\n' "$name" "$audio" "$ps" "$xs" "$us" "$fs" \
            "$(ratio "$ps" "$xs")" "$(ratio "$us" "$fs")" "$(ratio "$pc" "$xc")" "$(ratio "$uc" "$fc")"
        sum_ps=$(echo "$sum_ps + $ps" | bc -l); sum_xs=$(echo "$sum_xs + $xs" | bc -l)
        sum_us=$(echo "$sum_us + $us" | bc -l); sum_fs=$(echo "$sum_fs + $fs" | bc -l)
        sum_pc=$(echo "$sum_pc + $pc" | bc -l); sum_xc=$(echo "$sum_xc + $xc" | bc -l)
        sum_uc=$(echo "$sum_uc + $uc" | bc -l); sum_fc=$(echo "$sum_fc + $fc" | bc -l)
    done
    printf '%-26s %8s %8.2f %8.2f %9.2f %8.2f %8s %11s %8s %11s\n' "all ${#RATIO_ROWS[@]} files" "" "$sum_ps" "$sum_xs" \
        "$sum_us" "$sum_fs" "$(ratio "$sum_ps" "$sum_xs")" "$(ratio "$sum_us" "$sum_fs")" \
        "$(ratio "$sum_pc" "$sum_xc")" "$(ratio "$sum_uc" "$sum_fc")"
    echo "(wall seconds, the median of RUNS=$RUNS runs in this run: pack and unpack as above with two threads,"
    echo " xz -9e -T1 -k -c FILE >/dev/null, faad -q -o OUT.wav FILE, and their ratios; cpu: the ratios of"
    echo " CPU time, user + system, the medians of as many runs, packing and unpacking on one thread (-T 1))"
    rm -f "$WORK/f.wav"
fi

# The memory bound on hostile input: random bodies behind ADTS-like headers (frames of 900 to
# 1100 bytes, so that a pipe's chunks of 2048 frames come within about 2% of the chunk cap and
# nothing shrinks), 30 MB piped through cat, so that the packer sees no length.
CRAFTED="$WORK/crafted_random_bodies.aac"
[ -s "$CRAFTED" ] || python3 - "$CRAFTED" <<'PY'
import random, sys
random.seed(20)
out = bytearray()
while len(out) < 30_000_000:
    n = random.randint(900, 1100)
    out += bytes([0xFF, 0xF1, 0x50, 0x80 | (n >> 11), (n >> 3) & 0xFF, ((n & 7) << 5) | 0x1F, 0xFC])
    out += random.randbytes(n - 7)
open(sys.argv[1], "wb").write(out)
PY
# packing_peak FILE WHAT [pipe|stream]: packs FILE (through a pipe, or through the library's
# streaming calls by STREAM_PACK, when asked), checks it comes back and prints the packer's
# peak RSS.
packing_peak() {
    if [ "${3:-}" = pipe ]; then
        /usr/bin/time -f %M -o "$WORK/rss" "$BIN" -p -f -o "$WORK/peak.aaz" - <"$1" 2>/dev/null
    elif [ "${3:-}" = stream ]; then
        LD_LIBRARY_PATH="$(dirname "$BIN")" /usr/bin/time -f %M -o "$WORK/rss" "$STREAM_PACK" "$1" "$WORK/peak.aaz"
    else
        /usr/bin/time -f %M -o "$WORK/rss" "$BIN" -p -f -o "$WORK/peak.aaz" "$1" 2>/dev/null
    fi
    "$BIN" -d -f -o "$WORK/peak.out" "$WORK/peak.aaz" 2>/dev/null
    cmp -s "$1" "$WORK/peak.out" || { echo "$1: unpacked file differs from the input" >&2; exit 1; }
    printf '%s (%d bytes): packing peak RSS %.1f MiB\n' "$2" "$(stat -c %s "$1")" \
        "$(echo "$(tail -n 1 "$WORK/rss") / 1024" | bc -l)"
    rm -f "$WORK/peak.aaz" "$WORK/peak.out"
}
packing_peak "$CRAFTED" "crafted input through a pipe (random bodies behind ADTS headers)" pipe

# The memory bound on a container that names as many access units as the walk takes: an M4A of
# 1,000,000 eight-byte samples and their 4-MB size table.
MILLION="$WORK/crafted_million_units.m4a"
[ -s "$MILLION" ] || python3 - "$MILLION" <<'PY'
import struct, sys
N = 1_000_000
def box(t, p): return struct.pack('>I4s', 8 + len(p), t) + p
def full(t, p): return box(t, bytes(4) + p)
esds = full(b'esds', bytes([3, 25, 0, 1, 0, 4, 17, 0x40, 0x15]) + bytes(11) + bytes([5, 2, 0x12, 0x10, 6, 1, 2]))
mp4a = box(b'mp4a', bytes(6) + struct.pack('>H', 1) + bytes(8) + struct.pack('>HHHHI', 2, 16, 0, 0, 44100 << 16) + esds)
ftyp = box(b'ftyp', b'M4A \x00\x00\x02\x00isomM4A ')
stbl = box(b'stbl', full(b'stsd', struct.pack('>I', 1) + mp4a) + full(b'stts', struct.pack('>III', 1, N, 1024)) +
           full(b'stsc', struct.pack('>IIII', 1, 1, N, 1)) + full(b'stsz', struct.pack('>II', 0, N) + struct.pack('>I', 8) * N) +
           full(b'stco', struct.pack('>II', 1, len(ftyp) + 8)))
trak = box(b'trak', full(b'tkhd', bytes(80)) + box(b'mdia', full(b'mdhd', bytes(20)) +
           full(b'hdlr', bytes(4) + b'soun' + bytes(13)) + box(b'minf', full(b'smhd', bytes(4)) + stbl)))
open(sys.argv[1], 'wb').write(ftyp + box(b'mdat', bytes([0x21, 0, 3, 0x40, 0x50, 7, 0, 0x1c]) * N) +
                              box(b'moov', full(b'mvhd', bytes(96)) + trak))
PY
packing_peak "$MILLION" "crafted M4A of 1,000,000 access units"

# The memory bound on a size table far longer than the samples it names: an M4A of one access
# unit whose stsz holds 25,000,000 entries (100 MB, all but the first zero, written last).
HUGE_TABLE="$WORK/crafted_huge_size_table.m4a"
[ -s "$HUGE_TABLE" ] || python3 - "$HUGE_TABLE" <<'PY'
import struct, sys
N = 25_000_000
G = 4 * (N - 1)  # the zero entries after the first, at the end of the file inside every box around them
def box(t, p, grow=0): return struct.pack('>I4s', 8 + len(p) + grow, t) + p
def full(t, p, grow=0): return box(t, bytes(4) + p, grow)
esds = full(b'esds', bytes([3, 25, 0, 1, 0, 4, 17, 0x40, 0x15]) + bytes(11) + bytes([5, 2, 0x12, 0x10, 6, 1, 2]))
mp4a = box(b'mp4a', bytes(6) + struct.pack('>H', 1) + bytes(8) + struct.pack('>HHHHI', 2, 16, 0, 0, 44100 << 16) + esds)
ftyp = box(b'ftyp', b'M4A \x00\x00\x02\x00isomM4A ')
mdat = box(b'mdat', bytes([0x21, 0, 3, 0x40, 0x50, 7, 0, 0x1c]))
stbl = box(b'stbl', full(b'stsd', struct.pack('>I', 1) + mp4a) + full(b'stts', struct.pack('>III', 1, 1, 1024)) +
           full(b'stsc', struct.pack('>IIII', 1, 1, 1, 1)) + full(b'stco', struct.pack('>II', 1, len(ftyp) + 8)) +
           full(b'stsz', struct.pack('>III', 0, N, 8), G), G)
trak = box(b'trak', full(b'tkhd', bytes(80)) + box(b'mdia', full(b'mdhd', bytes(20)) +
           full(b'hdlr', bytes(4) + b'soun' + bytes(13)) + box(b'minf', full(b'smhd', bytes(4)) + stbl, G), G), G)
with open(sys.argv[1], 'wb') as f:
    f.write(ftyp + mdat + box(b'moov', full(b'mvhd', bytes(96)) + trak, G))
    f.write(bytes(G))
PY
packing_peak "$HUGE_TABLE" "crafted M4A of 1 access unit and a 25,000,000-entry size table"

# The same bound on the other forms the packer walks: FLV, Matroska, a lone MP4 segment and a
# LOAS stream of a million one-byte access units each, and 100,000 transport stream packets of
# tiny ADTS frames.
[ -s "$WORK/million/million.loas" ] || python3 "$ROOT/bench/make_million_units.py" "$WORK/million"
packing_peak "$WORK/million/million.flv" "crafted FLV of 1,000,000 access units"
packing_peak "$WORK/million/million.mkv" "crafted Matroska file of 1,000,000 SimpleBlocks"
packing_peak "$WORK/million/million.m4s" "crafted MP4 segment of 1,000,000 samples"
packing_peak "$WORK/million/packets.ts" "crafted transport stream of 100,000 PES packets"
packing_peak "$WORK/million/million.loas" "crafted LOAS stream of 1,000,001 frames"

# The library's streaming pack of a container whose index follows its media, which it keeps
# whole (its first 4 MiB in memory, then all of it in a temporary file) before mapping it:
# about 30 MB of M4A (a music track looped; ffmpeg puts the moov box last unless asked not
# to) fed to aaz_pack_begin/update/finish in 64-KiB pieces by bench/stream_pack.c, built here
# against the shared library beside $BIN, with threads = 0.
INDEX_LAST="$WORK/index_last_30mb.m4a"
if [ ! -s "$INDEX_LAST" ]; then
    command -v ffmpeg >/dev/null || apt-get install -y -q ffmpeg >/dev/null
    track=${FILES[0]}
    loops=$(((30000000 + $(stat -c %s "$track") - 1) / $(stat -c %s "$track") - 1))
    ffmpeg -v error -y -stream_loop "$loops" -i "$track" -c:a copy "$INDEX_LAST"
fi
STREAM_PACK="$WORK/stream_pack"
if [ -f "$(dirname "$BIN")/libaaczavrok.so" ]; then
    cc -O2 -std=c99 -Wall -Wextra -Werror -I"$ROOT/include" "$ROOT/bench/stream_pack.c" -L"$(dirname "$BIN")" \
        -laaczavrok -o "$STREAM_PACK"
    packing_peak "$INDEX_LAST" "M4A with its index last, through the library's streaming pack" stream
else
    echo "streaming pack: no libaaczavrok.so beside $BIN; skipped"
fi
rm -f "$WORK/f.aaz" "$WORK/f.out" "$WORK/f1.aaz" "$WORK/f1.out" "$WORK/rss"

# ---------------------------------------------------------------------------------------------
# Containers and streams without frame headers, each beside the ADTS copy of the very same
# access units. CONTAINERS= a folder made by ../shared/music/make-mp4.sh (made into WORK/mp4 by
# default) and STREAM_FILES= one made by ../shared/music/make-streams.sh (MPEG-TS, Matroska, FLV,
# LOAS, MP4 beside video; made into WORK/streams by default); STREAMS: the first three music files as headerless raw streams and as ADIF files,
# made here from their ADTS frames (headers stripped; an ADIF header with one program config
# element in front). CONTAINERS=0 skips this section.
# pack_one FILE: sets P_SAVING, P_PACKED, P_PACK_S, P_UNPACK_S and checks the file comes back.
pack_one() {
    rm -f "$WORK/c.aaz" "$WORK/c.out"
    OUTPUTS="$WORK/c.aaz" measure "$BIN" -p -o "$WORK/c.aaz" "$1" 2>/dev/null
    P_PACK_S=$SECONDS_TAKEN
    OUTPUTS="$WORK/c.out" measure "$BIN" -d -o "$WORK/c.out" "$WORK/c.aaz" 2>/dev/null
    P_UNPACK_S=$SECONDS_TAKEN
    cmp -s "$1" "$WORK/c.out" || { echo "$1: unpacked file differs from the input" >&2; exit 1; }
    P_PACKED=$(stat -c %s "$WORK/c.aaz")
    P_SAVING=$(saving "$(stat -c %s "$1")" "$P_PACKED")
    rm -f "$WORK/c.aaz" "$WORK/c.out"
}
if [ "${CONTAINERS:-}" != 0 ]; then
    CONTAINERS=${CONTAINERS:-$WORK/mp4}
    ls "$CONTAINERS"/*.m4a >/dev/null 2>&1 || bash "$ROOT/../shared/music/make-mp4.sh" "$CONTAINERS" >/dev/null
    STREAM_FILES=${STREAM_FILES:-$WORK/streams}
    ls "$STREAM_FILES"/*.ts >/dev/null 2>&1 || bash "$ROOT/../shared/music/make-streams.sh" "$STREAM_FILES" >/dev/null
    printf '\n%-32s %11s %8s %8s %8s %9s %9s %9s %9s %9s %9s %9s\n' container bytes "-p %" "xz %" "zstd %" \
        "pack MB/s" "unp MB/s" "ADTS -p %" "points" "packed +%" "ADTS pk/s" "ADTS up/s"
    nc=0; sum_c=0; sum_a=0; sum_cx=0; sum_cz=0; worst=0; sum_extra=0
    for f in "$CONTAINERS"/*.m4a "$CONTAINERS"/*.mp4 "$CONTAINERS"/*.mov "$CONTAINERS"/*.3gp \
        "$STREAM_FILES"/*.ts "$STREAM_FILES"/*.mka "$STREAM_FILES"/*.mkv "$STREAM_FILES"/*.flv \
        "$STREAM_FILES"/*.loas "$STREAM_FILES"/*.latm "$STREAM_FILES"/*.mp4 "$STREAM_FILES"/*.m4a; do
        [ -s "$f" ] || continue
        size=$(stat -c %s "$f")
        pack_one "$f"; sp=$P_SAVING; ps=$P_PACK_S; us=$P_UNPACK_S; pc=$P_PACKED
        sx=$(saving "$size" "$(xz -9e -T1 -c "$f" | wc -c)"); sz=$(saving "$size" "$(zstd -19 -q -c "$f" | wc -c)")
        copy="$f.adts.aac"
        if [ -s "$copy" ]; then
            csize=$(stat -c %s "$copy")
            pack_one "$copy"; sa=$P_SAVING
            diff=$(echo "$sa - $sp" | bc -l); extra=$(echo "100 * ($pc - $P_PACKED) / $P_PACKED" | bc -l)
            nc=$((nc + 1)); sum_c=$(echo "$sum_c + $sp" | bc -l); sum_a=$(echo "$sum_a + $sa" | bc -l)
            sum_cx=$(echo "$sum_cx + $sx" | bc -l); sum_cz=$(echo "$sum_cz + $sz" | bc -l)
            sum_extra=$(echo "$sum_extra + $extra" | bc -l)
            [ "$(echo "$diff > $worst" | bc -l)" = 1 ] && worst=$diff
            printf '%-32s %11d %8.2f %8.2f %8.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f\n' "$(basename "$f")" "$size" \
                "$sp" "$sx" "$sz" "$(speed "$size" "$ps")" "$(speed "$size" "$us")" "$sa" "$diff" "$extra" \
                "$(speed "$csize" "$P_PACK_S")" "$(speed "$csize" "$P_UNPACK_S")"
        else
            printf '%-32s %11d %8.2f %8.2f %8.2f %9.2f %9.2f %9s %9s %9s %9s %9s\n' "$(basename "$f")" "$size" "$sp" \
                "$sx" "$sz" "$(speed "$size" "$ps")" "$(speed "$size" "$us")" - - - - -
        fi
    done
    if [ "$nc" -gt 0 ]; then
        printf '%-32s %11s %8.2f %8.2f %8.2f %9s %9s %9.2f %9.2f %9.2f\n' "mean of $nc with ADTS copies" "" \
            "$(echo "$sum_c / $nc" | bc -l)" "$(echo "$sum_cx / $nc" | bc -l)" "$(echo "$sum_cz / $nc" | bc -l)" "" "" \
            "$(echo "$sum_a / $nc" | bc -l)" "$(echo "($sum_a - $sum_c) / $nc" | bc -l)" "$(echo "$sum_extra / $nc" | bc -l)"
        printf '(points: the ADTS copy'"'"'s saving less the container'"'"'s, the largest %.2f; packed +%%: how much larger the\n' "$worst"
        echo " container packs than its ADTS copy, in percent of the copy's packed size; ADTS pk/s, up/s: the copy's speeds)"
    fi

    # HLS segments, each packed alone as a server stores them, against the ADTS copy of all
    # their access units (an fMP4 segment's init segment is packed apart and not counted).
    printf '\n%-32s %11s %11s %9s\n' "HLS segments packed alone" "packed" "ADTS copy" "packed +%"
    for kind in ts fmp4; do
        dir="$STREAM_FILES/hls_$kind"
        ext=ts; [ "$kind" = fmp4 ] && ext=m4s
        ls "$dir"/*."$ext" >/dev/null 2>&1 && [ -s "$dir.adts.aac" ] || continue
        total=0; n=0
        for seg in "$dir"/*."$ext"; do pack_one "$seg"; total=$((total + P_PACKED)); n=$((n + 1)); done
        pack_one "$dir.adts.aac"
        printf '%-32s %11d %11d %9.2f\n' "hls_$kind: $n .$ext" "$total" "$P_PACKED" \
            "$(echo "100 * ($total - $P_PACKED) / $P_PACKED" | bc -l)"
    done

    # Raw and ADIF copies of the first three music files.
    printf '\n%-32s %11s %8s %9s %9s %9s\n' stream bytes "-p %" "ADTS -p %" "points" "packed +%"
    for f in "${FILES[@]:0:3}"; do
        base=$(basename "$f" .aac)
        python3 "$ROOT/tools/adts_to_streams.py" "$f" "$WORK/$base.raw" "$WORK/$base.adif"
        pack_one "$f"; sa=$P_SAVING; pa=$P_PACKED
        for kind in raw adif; do
            g="$WORK/$base.$kind"
            pack_one "$g"
            printf '%-32s %11d %8.2f %9.2f %9.2f %9.2f\n' "$base.$kind" "$(stat -c %s "$g")" "$P_SAVING" "$sa" \
                "$(echo "$sa - $P_SAVING" | bc -l)" "$(echo "100 * ($P_PACKED - $pa) / $pa" | bc -l)"
            rm -f "$g"
        done
    done
    echo "(the ADTS copy is the music file itself; a stream holds the same frames without their 7-byte headers)"
fi

# ---------------------------------------------------------------------------------------------
# Tiny chunks: what a chunk costs to set up when unpacking. A packed file may hold any chunking,
# so bench/make_tiny_chunks.cpp (built here against the library beside $BIN) packs with one
# frame per chunk (and four, for a music file); the same input packed normally is the reference.
# Unpack speed in MB of AAC per second of user CPU and of wall time, best of three.
# TINY_COMPARE= another binary to unpack the same files with (for a before/after in one run).
# TINY=0 skips this section.
if [ "${TINY:-1}" = 1 ]; then
    LIB="$(dirname "$BIN")/libaaczavrok_core.a"
    if [ ! -f "$LIB" ]; then
        echo "tiny chunks: no $LIB beside the program; skipped"
    else
        g++ -O2 -std=c++17 -I"$ROOT/src" -I"$ROOT/include" "$ROOT/bench/make_tiny_chunks.cpp" "$LIB" \
            "$(dirname "$BIN")/libaaczavrok.a" -lfaad -lzstd -lxxhash -pthread \
            -o "$WORK/make_tiny_chunks"
        for _ in $(seq 100); do cat "$ROOT/tests/data/lc_51_48k.aac"; done >"$WORK/tiny_six.aac"
        head -c 3000000 "${FILES[0]}" >"$WORK/tiny_music.aac"
        # best of three: prints "cpu_seconds wall_seconds"
        unpack_best() {
            local best_u=999 best_w=999 t0 t1 w u
            for _ in 1 2 3; do
                t0=$(now)
                /usr/bin/time -f %U -o "$WORK/tiny_u" "$1" -d -f -o "$WORK/tiny.out" "$2" >/dev/null 2>&1
                t1=$(now)
                cmp -s "$WORK/tiny.out" "$3" || { echo "$2: unpacked file differs from its input" >&2; exit 1; }
                u=$(tail -n 1 "$WORK/tiny_u"); w=$(echo "$t1 - $t0" | bc -l)
                [ "$(echo "$u < $best_u" | bc -l)" = 1 ] && best_u=$u
                [ "$(echo "$w < $best_w" | bc -l)" = 1 ] && best_w=$w
            done
            echo "$best_u $best_w"
        }
        printf '\n%-34s %8s %10s %10s %10s\n' "tiny chunks" chunks "packed" "unp MB/cpu" "unp MB/s"
        for case_args in "tiny_six 1" "tiny_music 4"; do
            # shellcheck disable=SC2086 # two words: the file and the frames per chunk
            set -- $case_args
            src="$WORK/$1.aac"; size=$(stat -c %s "$src")
            "$BIN" -p -f -o "$WORK/$1.normal.aaz" "$src" >/dev/null 2>&1
            chunks=$("$WORK/make_tiny_chunks" "$src" "$WORK/$1.tiny.aaz" "$2" | cut -d' ' -f1)
            for bin in "$BIN" ${TINY_COMPARE:+"$TINY_COMPARE"}; do
                for kind in normal tiny; do
                    f="$WORK/$1.$kind.aaz"
                    n=-; [ $kind = tiny ] && n=$chunks
                    read -r u w < <(unpack_best "$bin" "$f" "$src")
                    who=BIN; [ "$bin" = "$BIN" ] || who=TINY_COMPARE
                    printf '%-34s %8s %10d %10.2f %10.2f\n' "$1 $kind, $who" \
                        "$n" "$(stat -c %s "$f")" "$(speed "$size" "$u")" "$(speed "$size" "$w")"
                done
            done
        done
        echo "(normal: packed as the program packs; tiny: one chunk per frame (tiny_six) or per four (tiny_music);"
        echo " MB of AAC per second of user CPU and of wall time, best of three runs)"
        rm -f "$WORK"/tiny_* "$WORK"/tiny.out
    fi
fi

# ---------------------------------------------------------------------------------------------
# A second encoder with other habits: four tracks of the bench set through GStreamer's voaacenc
# at other settings (mono and stereo, 64 to 192 kbit/s, 32 to 48 kHz), the first 120 s of each,
# made once into VOAACENC= a folder (default WORK/voaacenc). Each is checked to be ADTS from end
# to end and to decode with faad. VOAACENC=0 skips this section.
if [ "${VOAACENC:-}" != 0 ]; then
    VOAACENC=${VOAACENC:-$WORK/voaacenc}
    mkdir -p "$VOAACENC"
    # vo_make NAME TRACK RATE CHANNELS BITRATE
    vo_make() {
        local out="$VOAACENC/$1.aac" src=/usr/share/games/singularity/music frames
        [ -s "$out" ] && return 0
        export DEBIAN_FRONTEND=noninteractive
        [ -d "$src" ] || apt-get install -y -q singularity-music >/dev/null
        need gst-launch-1.0 gstreamer1.0-tools
        gst-inspect-1.0 voaacenc >/dev/null 2>&1 || apt-get install -y -q gstreamer1.0-plugins-base \
            gstreamer1.0-plugins-good gstreamer1.0-plugins-bad >/dev/null
        gst-launch-1.0 -q filesrc location="$src/$2.ogg" ! oggdemux ! vorbisdec ! audioconvert ! audioresample ! \
            "audio/x-raw,rate=$3,channels=$4" ! voaacenc bitrate="$5" ! aacparse ! \
            audio/mpeg,stream-format=adts ! filesink location="$WORK/vo_whole.aac"
        frames=$(python3 "$ROOT/bench/adts_cut.py" "$WORK/vo_whole.aac" 120 "$WORK/vo_cut.aac" | cut -d' ' -f1)
        faad -o "$WORK/vo.wav" "$WORK/vo_cut.aac" >/dev/null 2>"$WORK/vo.log"
        if grep -q Error "$WORK/vo.log" || [ "$(stat -c %s "$WORK/vo.wav")" -lt $(((frames - 2) * 2048 * $4)) ]; then
            echo "$1: voaacenc's file does not decode with faad" >&2; exit 1
        fi
        mv "$WORK/vo_cut.aac" "$out"
        rm -f "$WORK/vo_whole.aac" "$WORK/vo.wav" "$WORK/vo.log"
    }
    vo_make vo_journey_s44_128 "A New Journey" 44100 2 128000
    vo_make vo_aberrations_s48_192 "Aberrations" 48000 2 192000
    vo_make vo_byproduct_m44_64 "By-Product" 44100 1 64000
    vo_make vo_unknown_s32_64 "Enemy Unknown" 32000 2 64000
    printf '\n%-26s %11s %8s %8s %8s%s\n' "voaacenc" bytes "-p %" "xz %" "zstd %" "$BASE_HEAD"
    nv=0; sum_v=0; sum_vx=0; sum_vz=0; BASE_SUM=0; POINTS_SUM=0
    for f in "$VOAACENC"/*.aac; do
        size=$(stat -c %s "$f")
        packed_saving "$BIN" "$f"; sp=$SAVED
        sx=$(saving "$size" "$(xz -9e -T1 -c "$f" | wc -c)"); sz=$(saving "$size" "$(zstd -19 -q -c "$f" | wc -c)")
        base_columns "$sp" "$f"
        printf '%-26s %11d %8.2f %8.2f %8.2f%s\n' "$(basename "$f")" "$size" "$sp" "$sx" "$sz" "$BASE_COLS"
        nv=$((nv + 1)); sum_v=$(echo "$sum_v + $sp" | bc -l)
        sum_vx=$(echo "$sum_vx + $sx" | bc -l); sum_vz=$(echo "$sum_vz + $sz" | bc -l)
    done
    printf '%-26s %11s %8.2f %8.2f %8.2f%s\n' "mean of $nv files" "" "$(echo "$sum_v / $nv" | bc -l)" \
        "$(echo "$sum_vx / $nv" | bc -l)" "$(echo "$sum_vz / $nv" | bc -l)" "$(base_means "$nv")"
    echo "(the first 120 s of four bench tracks encoded by voaacenc; savings in percent of the input)"
fi

# ---------------------------------------------------------------------------------------------
# Short files: the first 10 s and the first 30 s of every music track, cut at frame boundaries
# (bench/adts_cut.py), each packed and checked to come back byte for byte, beside the whole
# track's saving from the first table. points: whole less cut. SHORT=0 skips this section.
if [ "${SHORT:-1}" != 0 ] && [ ${#TRACKS[@]} -gt 0 ]; then
    printf '\n%-26s %8s %8s %8s %8s %8s' track "whole %" "10 s %" "30 s %" "pts 10" "pts 30"
    [ -z "$BASE" ] || printf ' %8s %8s %8s %8s %8s %8s' "B whole" "B 10 s" "B 30 s" "vsB wh" "vsB 10" "vsB 30"
    echo
    nt=0; s_w=0; s_10=0; s_30=0; s_bw=0; s_b10=0; s_b30=0
    for f in "${TRACKS[@]}"; do
        w=${WHOLE_SAVING[$f]}; bw=${WHOLE_BASE[$f]:-0}; b10=0; b30=0
        python3 "$ROOT/bench/adts_cut.py" "$f" 10 "$WORK/cut.aac" >/dev/null
        packed_saving "$BIN" "$WORK/cut.aac"; c10=$SAVED
        if [ -n "$BASE" ]; then packed_saving "$BASE" "$WORK/cut.aac"; b10=$SAVED; fi
        python3 "$ROOT/bench/adts_cut.py" "$f" 30 "$WORK/cut.aac" >/dev/null
        packed_saving "$BIN" "$WORK/cut.aac"; c30=$SAVED
        if [ -n "$BASE" ]; then packed_saving "$BASE" "$WORK/cut.aac"; b30=$SAVED; fi
        rm -f "$WORK/cut.aac"
        printf '%-26s %8.2f %8.2f %8.2f %8.2f %8.2f' "$(basename "$f" .aac)" "$w" "$c10" "$c30" \
            "$(echo "$w - $c10" | bc -l)" "$(echo "$w - $c30" | bc -l)"
        [ -z "$BASE" ] || printf ' %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f' "$bw" "$b10" "$b30" \
            "$(echo "$w - $bw" | bc -l)" "$(echo "$c10 - $b10" | bc -l)" "$(echo "$c30 - $b30" | bc -l)"
        echo
        nt=$((nt + 1))
        s_w=$(echo "$s_w + $w" | bc -l); s_10=$(echo "$s_10 + $c10" | bc -l); s_30=$(echo "$s_30 + $c30" | bc -l)
        s_bw=$(echo "$s_bw + $bw" | bc -l); s_b10=$(echo "$s_b10 + $b10" | bc -l); s_b30=$(echo "$s_b30 + $b30" | bc -l)
    done
    mean() { echo "($1) / $nt" | bc -l; }
    printf '%-26s %8.2f %8.2f %8.2f %8.2f %8.2f' "mean of $nt tracks" "$(mean "$s_w")" "$(mean "$s_10")" \
        "$(mean "$s_30")" "$(mean "$s_w - $s_10")" "$(mean "$s_w - $s_30")"
    [ -z "$BASE" ] || printf ' %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f' "$(mean "$s_bw")" "$(mean "$s_b10")" \
        "$(mean "$s_b30")" "$(mean "$s_w - $s_bw")" "$(mean "$s_10 - $s_b10")" "$(mean "$s_30 - $s_b30")"
    echo
    if [ -z "$BASE" ]; then
        echo "(savings in percent of each file; pts 10, pts 30: the whole track's saving less the cut's)"
    else
        echo "(savings in percent of each file; pts 10, pts 30: the whole track's saving less the cut's;"
        echo " B: the savings of BASE=$BASE; vsB: this binary's saving less BASE's on the same file)"
    fi
fi

# ---------------------------------------------------------------------------------------------
# Short files from many encoders: the valid LC ADTS files of the third-party corpus (CORPUS= a
# folder holding MANIFEST.tsv, default ../shared/corpus; rows whose notes say BROKEN or NEGATIVE
# are left out). CORPUS=0 skips this section.
if [ "${CORPUS:-}" != 0 ]; then
    CORPUS=${CORPUS:-$ROOT/../shared/corpus}
    if [ ! -f "$CORPUS/MANIFEST.tsv" ]; then
        echo; echo "corpus: no $CORPUS/MANIFEST.tsv; skipped"
    else
        printf '\n%-32s %11s %8s%s\n' corpus bytes "-p %" "$BASE_HEAD"
        nk=0; sum_k=0; BASE_SUM=0; POINTS_SUM=0; total_k=0; total_kp=0; total_kb=0
        while read -r name; do
            f="$CORPUS/$name"
            packed_saving "$BIN" "$f"; sp=$SAVED; PACKED_K=$PACKED
            base_columns "$sp" "$f"
            size=$(stat -c %s "$f")
            printf '%-32s %11d %8.2f%s\n' "$name" "$size" "$sp" "$BASE_COLS"
            nk=$((nk + 1)); sum_k=$(echo "$sum_k + $sp" | bc -l)
            total_k=$((total_k + size)); total_kp=$((total_kp + PACKED_K)); total_kb=$((total_kb + ${BASE_PACKED:-0}))
        done < <(awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
                 $col["container"] == "ADTS" && $col["profile"] == "LC" && $col["notes"] !~ /BROKEN|NEGATIVE/ { print $col["file"] }' \
                 "$CORPUS/MANIFEST.tsv")
        printf '%-32s %11s %8.2f%s\n' "mean of $nk files" "" "$(echo "$sum_k / $nk" | bc -l)" "$(base_means "$nk")"
        together=$(saving "$total_k" "$total_kp"); cols=""
        if [ -n "$BASE" ]; then
            b=$(saving "$total_k" "$total_kb")
            cols=$(printf ' %8.2f %8.2f' "$b" "$(echo "$together - $b" | bc -l)")
        fi
        printf '%-32s %11d %8.2f%s\n' "all $nk together" "$total_k" "$together" "$cols"
        echo "(the valid LC ADTS files of $CORPUS; savings in percent of each file, and of all their"
        echo " bytes together, where a file of a few bytes weighs as little as it is long)"
    fi
fi
