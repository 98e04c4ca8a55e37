#!/bin/bash
# Records how large the program packs each bundled sample and each corpus file, in
# tests/data/sizes/pack_sizes.tsv (name, original bytes, packed bytes). A test packs them again and
# fails when one comes out more than 0.1% larger, so a context fault that packing and unpacking
# share (both round-trip, only the ratio suffers) cannot pass unnoticed. Run it again on purpose
# when the models improve, and commit what it writes.
#
# Usage: tools/record_pack_sizes.sh [path/to/aaczavrok]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/aaczavrok}
OUT=$ROOT/tests/data/sizes/pack_sizes.tsv
[ -x "$BIN" ] || { echo "no program at $BIN (build it first: make build)" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

{
    printf 'name\toriginal\tpacked\n'
    for f in "$ROOT"/tests/data/*.aac "$ROOT"/tests/data/{mp4,streams,flv,mkv,ts,loas}/* "$ROOT"/../shared/corpus/*; do
        case "$f" in *.tsv | *.adts) continue ;; esac
        [ -f "$f" ] || continue
        case "$f" in "$ROOT"/tests/data/*) name=${f#"$ROOT"/tests/data/} ;; *) name=corpus/${f##*/} ;; esac
        "$BIN" -p -f -o "$WORK/p.aaz" "$f" 2>/dev/null >/dev/null
        printf '%s\t%s\t%s\n' "$name" "$(stat -c %s "$f")" "$(stat -c %s "$WORK/p.aaz")"
    done
} >"$OUT.part"
mv "$OUT.part" "$OUT"
echo "recorded $(($(wc -l <"$OUT") - 1)) sizes in $OUT"
