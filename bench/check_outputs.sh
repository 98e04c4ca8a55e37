#!/bin/bash
# Records or compares checksums of every output of the program (WAV, ".swp", ".bin", ".csv",
# "_rec.aac", exit status, standard output and error) over the sample files, in the three
# arrangements and with several option sets, so that a speed change can be shown to leave
# every byte as it was.
#   bench/check_outputs.sh record  [binary] [sums-file]
#   bench/check_outputs.sh compare [binary] [sums-file]
# EXTRA_INPUTS may name further input files (for example a long generated one).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
MODE=${1:?record or compare}
BIN=$(readlink -f "${2:-$ROOT/build/aaczavrok}")
SUMS=${3:-$ROOT/build/outputs.sums}

inputs=()
for f in "$ROOT"/tests/data/*.aac "$ROOT"/../shared/corpus/*; do
    case "$f" in *.swp|*.tsv) continue ;; esac
    [ -f "$f" ] && inputs+=("$f")
done
for f in ${EXTRA_INPUTS:-}; do inputs+=("$f"); done

OPTION_SETS=("" "-s" "-s -t" "-l 2000 -h 11025" "-l 5000 -h 4000")

# Prints "name checksum" for every file of the run directory, then the run's status and text.
sum_dir() {
    local tag=$1
    (cd "$WORK/run" && for f in $(ls | sort); do
        [ "$f" = input ] || [ "$f" = "${INPUT_NAME}" ] && continue
        echo "$tag $f $(md5sum <"$f" | cut -c1-32)"
    done)
}

run() {  # tag, then the command line; records status, stdout and stderr checksums
    local tag=$1
    shift
    (cd "$WORK/run" && "$BIN" "$@" >out.txt 2>err.txt)
    local rc=$?
    echo "$tag rc=$rc out=$(md5sum <"$WORK/run/out.txt" | cut -c1-32) err=$(md5sum <"$WORK/run/err.txt" | cut -c1-32)"
    rm -f "$WORK/run/out.txt" "$WORK/run/err.txt"
}

collect_one() {
    local input=$1
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
    {
        local name
        name=$(basename "$input")
        local ext=${name##*.}
        INPUT_NAME=in.$ext
        for opts in "${OPTION_SETS[@]}"; do
            local key="$name [$opts]"
            # Container arrangement.
            rm -rf "$WORK/run" && mkdir "$WORK/run" && cp "$input" "$WORK/run/$INPUT_NAME"
            # shellcheck disable=SC2086
            run "$key swp-c" $opts "$INPUT_NAME"
            sum_dir "$key swp-c"
            [ -f "$WORK/run/in.swp" ] && run "$key swp-d" -d $opts in.swp && sum_dir "$key swp-d"
            # ".bin"/".csv" files, then rebuilding from .bin, from .csv only, and from .csv
            # where the QMDCT .bin is missing.
            rm -rf "$WORK/run" && mkdir "$WORK/run" && cp "$input" "$WORK/run/$INPUT_NAME"
            # shellcheck disable=SC2086
            run "$key m-c" -m $opts "$INPUT_NAME"
            sum_dir "$key m-c"
            if [ -f "$WORK/run/in_ADTS.bin" ]; then
                run "$key m-d" -d -m $opts in && sum_dir "$key m-d"
                run "$key v-d" -d -m -v $opts in && sum_dir "$key v-d"
                rm -f "$WORK/run/in_QMDCT.bin"
                run "$key mq-d" -d -m $opts in && sum_dir "$key mq-d"
            fi
        done
    }
}

# One input per job (JOBS at a time); the results are joined in input order.
collect() {
    local i
    for ((i = 0; i < ${#inputs[@]}; ++i)); do echo "$i ${inputs[i]}"; done |
        xargs -P "${JOBS:-2}" -L 1 "$ROOT/bench/check_outputs.sh" one "$BIN" "$PARTS"
    for ((i = 0; i < ${#inputs[@]}; ++i)); do cat "$PARTS/$i"; done
}

if [ "$MODE" = one ]; then  # internal: one [binary] [parts-dir] [index] [input]
    BIN=$2
    collect_one "$5" >"$3/$4"
    exit 0
fi
PARTS=$(mktemp -d)
WORK=$(mktemp -d)
trap 'rm -rf "$PARTS" "$WORK"' EXIT

case "$MODE" in
record)
    collect >"$SUMS"
    echo "recorded $(wc -l <"$SUMS") checksums from ${#inputs[@]} inputs in $SUMS"
    ;;
compare)
    collect >"$WORK/now.sums"
    if diff -u "$SUMS" "$WORK/now.sums" >"$WORK/diff.txt"; then
        echo "all $(wc -l <"$SUMS") checksums match"
    else
        head -40 "$WORK/diff.txt"
        echo "OUTPUTS DIFFER"
        exit 1
    fi
    ;;
*)
    echo "usage: $0 record|compare [binary] [sums-file]" >&2
    exit 2
    ;;
esac
