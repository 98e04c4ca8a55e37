#!/bin/bash
# Prints the size of the hand-written code and of its tests, and their ratio: lines that are
# neither blank nor only a // comment, in the .cpp and .h files of src/ (the generated
# aac_tables.* and the trained state's trained_state_table.cpp left out) and of tests/ (the
# frozen copies of released public headers left out: include/ is not counted either).
#   tools/count_lines.sh [tree]     (default: the tree this script belongs to)
set -euo pipefail
ROOT=${1:-$(cd "$(dirname "$0")/.." && pwd)}
count() {  # folder, then name patterns to leave out
    local dir=$1
    shift
    local skip=()
    for p in "$@"; do skip+=(! -name "$p"); done
    find "$ROOT/$dir" -type f \( -name '*.cpp' -o -name '*.h' \) "${skip[@]}" -print0 |
        xargs -0 cat | grep -v -E '^[[:space:]]*(//.*)?$' | wc -l
}
src=$(count src 'aac_tables.*' 'trained_state_table.cpp')
tests=$(count tests 'aaczavrok_[0-9]*_[0-9]*.h')
awk -v s="$src" -v t="$tests" 'BEGIN { printf "src %d lines, tests %d lines: tests/src = %.1f%%\n", s, t, 100 * t / s }'
