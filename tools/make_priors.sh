#!/bin/bash
# Trains the starting state of the packed form's models on the training music
# (tools/make_training_music.sh: game music no bench or test uses, by two encoders) and writes
# it as src/pack/model/gen4/trained_state_v4.zst (the state as zstd compresses it, which the build embeds) and
# src/pack/model/gen4/trained_state_table.cpp (its hash, with this command in its header). The same training
# files give the same table on any machine; the held-out tracks are packed cold and warm to
# show what the table gives. Run it again only together with a new format version: the table
# belongs to the version whose files start from it.
#
# Usage: tools/make_priors.sh [WORKDIR]      (default build/training; BUILD= another build folder)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-$ROOT/build/training}
BUILD=${BUILD:-$ROOT/build}
# How far the trained state is trusted: every Bit counts at most this many decisions, every
# symbol distribution at most this total, and an entry training met fewer times than the third
# figure is left out (chosen on the held-out tracks).
STRENGTH=${STRENGTH:-4:1024:4}

bash "$ROOT/tools/make_training_music.sh" "$WORK" >/dev/null
cmake --build "$BUILD" --target aaczavrok_train_priors >/dev/null
mapfile -t TRAIN < <(ls "$WORK"/train/*.aac | LC_ALL=C sort)
HELDOUT=()
for f in $(ls "$WORK"/heldout/*.aac | LC_ALL=C sort); do HELDOUT+=(--heldout "$f"); done
"$BUILD/aaczavrok_train_priors" --strength "$STRENGTH" "${HELDOUT[@]}" \
    --command "tools/make_priors.sh (STRENGTH=$STRENGTH)" --table "$ROOT/src/pack/model/gen4/trained_state_table.cpp" --data "$ROOT/src/pack/model/gen4/trained_state_v4.zst" \
    "${TRAIN[@]}"
