#!/bin/bash
# Speed and memory of compression and decompression against the faad command-line decoder
# writing the same WAV, measured side by side in one run (median of RUNS runs each).
#   bench/run_bench.sh [input.aac]
# Without an input, a 10-minute stereo 44.1 kHz 160 kbit/s file is generated with ffmpeg.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${BIN:-$ROOT/build/aaczavrok}
RUNS=${RUNS:-5}
WORK=${WORK:-$ROOT/build/bench}
mkdir -p "$WORK"
command -v faad >/dev/null || apt-get install -y faad
command -v /usr/bin/time >/dev/null || apt-get install -y time
[ -x "$BIN" ] || make -C "$ROOT" build
INPUT=${1:-$WORK/long.aac}
if [ ! -f "$INPUT" ]; then
    command -v ffmpeg >/dev/null || apt-get install -y ffmpeg
    ffmpeg -v error -y -f lavfi -i "aevalsrc=0.3*sin(2*PI*440*t)*sin(2*PI*0.5*t)+0.1*(random(0)-0.5)|0.3*sin(2*PI*660*t)+0.1*(random(1)-0.5):s=44100:d=600" \
        -c:a aac -b:a 160k -f adts "$INPUT"
fi
cp "$INPUT" "$WORK/in.aac"
cd "$WORK"

# Runs a command RUNS times; prints "median_wall_seconds median_cpu_seconds peak_kib" (CPU =
# user + system time of the process; on a busy machine it is the steadier of the two; the
# peak RSS is the largest of the runs). OUTPUTS names the files the command writes: they are
# removed before each run, outside the timing, so that every run writes new files as a
# first run does instead of also paying for discarding the previous run's (for faad as for
# us).
measure() {
    local walls=() cpus=() mems=()
    for _ in $(seq "$RUNS"); do
        rm -f $OUTPUTS
        /usr/bin/time -f "%e %U %S %M" -o time.txt "$@" >/dev/null 2>&1 || true
        read -r e u s m <time.txt
        walls+=("$e"); cpus+=("$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')"); mems+=("$m")
    done
    median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
    echo "$(median "${walls[@]}") $(median "${cpus[@]}") $(printf '%s\n' "${mems[@]}" | sort -g | tail -1)"
}

read -r w_faad c_faad m_faad < <(OUTPUTS="ref.wav" measure faad -q -o ref.wav in.aac)
read -r w_m c_m m_m < <(OUTPUTS="in.wav in_*.bin in_*.csv" measure "$BIN" -m in.aac)
read -r w_swp c_swp m_swp < <(OUTPUTS="in.wav in.swp" measure "$BIN" in.aac)
read -r w_dswp c_dswp m_dswp < <(OUTPUTS="in_rec.aac" measure "$BIN" -d in.swp)
read -r w_dm c_dm m_dm < <(OUTPUTS="in_rec.aac" measure "$BIN" -d -m in)
swp_bytes=$(stat -c %s in.swp)
bin_bytes=$(cat in_*.bin | wc -c)
# The WAV of compression must be the one faad writes.
wav_same=$(cmp -s in.wav ref.wav && echo yes || echo NO)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
row() {  # name wall cpu peak target
    printf '%-26s %7s %7s %7s %7s %10s   %s\n' "$1" "$2" "$(ratio "$2" "$w_faad")" "$3" "$(ratio "$3" "$c_faad")" "$4" "$5"
}
echo "input: $INPUT ($(stat -c %s in.aac) bytes), $RUNS runs each (medians); $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-26s %7s %7s %7s %7s %10s\n' step wall_s ratio cpu_s ratio peak_KiB
row "faad decode to WAV" "$w_faad" "$c_faad" "$m_faad" ""
row "compress .swp + WAV" "$w_swp" "$c_swp" "$m_swp" "(target <= 1.25)"
row "compress -m + WAV" "$w_m" "$c_m" "$m_m" "(target <= 1.6)"
row "decompress .swp" "$w_dswp" "$c_dswp" "$m_dswp" "(target <= 0.25)"
row "decompress -m (.bin)" "$w_dm" "$c_dm" "$m_dm" "(target <= 0.25)"
echo "WAV identical to faad's: $wav_same"
echo "stream bytes: .swp $swp_bytes, .bin total $bin_bytes"
echo "memory targets: compress <= 1.5 x stream bytes + 32 MiB = $(( (swp_bytes * 3 / 2) / 1024 + 32768 )) KiB (.swp), $(( (bin_bytes * 3 / 2) / 1024 + 32768 )) KiB (-m); decompress <= 65536 KiB"
