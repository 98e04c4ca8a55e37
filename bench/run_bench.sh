#!/bin/bash
# Speed and memory of compression and decompression against the faad command-line decoder
# writing the same WAV, measured side by side in one run (median of RUNS runs each).
#   bench/run_bench.sh [input.aac]
# Without an input, a 10-minute stereo 44.1 kHz 160 kbit/s file is generated with ffmpeg.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$ROOT/build/aaczavrok
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

# Runs a command RUNS times; prints "median_seconds peak_kib" (peak of the median run's RSS).
measure() {
    local times=() mems=()
    for _ in $(seq "$RUNS"); do
        /usr/bin/time -f "%e %M" -o time.txt "$@" >/dev/null 2>&1 || true
        read -r t m <time.txt
        times+=("$t"); mems+=("$m")
    done
    local t m
    t=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    m=$(printf '%s\n' "${mems[@]}" | sort -g | tail -1)
    echo "$t $m"
}

read -r t_faad m_faad < <(measure faad -q -o ref.wav in.aac)
read -r t_swp m_swp < <(measure "$BIN" in.aac)
read -r t_m m_m < <(measure "$BIN" -m in.aac)
read -r t_dswp m_dswp < <(measure "$BIN" -d in.swp)
read -r t_dm m_dm < <(measure "$BIN" -d -m in)
swp_bytes=$(stat -c %s in.swp)
bin_bytes=$(cat in_*.bin | wc -c)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo "input: $INPUT ($(stat -c %s in.aac) bytes), $RUNS runs each, median seconds, peak RSS KiB"
printf '%-34s %8s %8s %10s\n' step seconds ratio peak_KiB
printf '%-34s %8s %8s %10s\n' "faad decode to WAV" "$t_faad" 1.00 "$m_faad"
printf '%-34s %8s %8s %10s   (target <= 1.25)\n' "compress .swp + WAV" "$t_swp" "$(ratio "$t_swp" "$t_faad")" "$m_swp"
printf '%-34s %8s %8s %10s   (target <= 1.6)\n' "compress -m + WAV" "$t_m" "$(ratio "$t_m" "$t_faad")" "$m_m"
printf '%-34s %8s %8s %10s   (target <= 0.25)\n' "decompress .swp" "$t_dswp" "$(ratio "$t_dswp" "$t_faad")" "$m_dswp"
printf '%-34s %8s %8s %10s   (target <= 0.25)\n' "decompress -m (.bin)" "$t_dm" "$(ratio "$t_dm" "$t_faad")" "$m_dm"
echo "stream bytes: .swp $swp_bytes, .bin total $bin_bytes"
echo "memory targets: compress <= 1.5 x stream bytes + 32 MiB = $(( (swp_bytes * 3 / 2) / 1024 + 32768 )) KiB (.swp); decompress <= 65536 KiB"
