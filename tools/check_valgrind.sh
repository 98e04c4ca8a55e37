#!/bin/bash
# Compression and decompression of three real files (mono, stereo, 5.1) in every
# arrangement under valgrind: any memory error or leak fails the check.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$ROOT/build/aaczavrok
command -v valgrind >/dev/null || apt-get install -y valgrind
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
VG="valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible"
for f in lc_mono_44k.aac lc_stereo_44k.aac lc_51_48k.aac; do
    cp "$ROOT/tests/data/$f" "$WORK/$f"
    base=${f%.aac}
    echo "== $f"
    (cd "$WORK" && $VG "$BIN" "$f" >/dev/null 2>&1) || { echo "valgrind: compression of $f failed"; exit 1; }
    (cd "$WORK" && $VG "$BIN" -d "$base.swp" >/dev/null 2>&1) || { echo "valgrind: -d $base.swp failed"; exit 1; }
    (cd "$WORK" && $VG "$BIN" -m "$f" >/dev/null 2>&1) || { echo "valgrind: -m $f failed"; exit 1; }
    (cd "$WORK" && $VG "$BIN" -d -m "$base" >/dev/null 2>&1) || { echo "valgrind: -d -m $base failed"; exit 1; }
    (cd "$WORK" && $VG "$BIN" -d -m -v "$base" >/dev/null 2>&1) || { echo "valgrind: -d -m -v $base failed"; exit 1; }
done
echo "valgrind: no errors, no leaks"
