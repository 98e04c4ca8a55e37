#!/bin/bash
# Fails when an #include in src/ crosses the layers upward or sideways, or when two
# folders include each other. The layers, each allowed to include only those below it:
#   frontend -> lib -> splitter, rebuild, pack -> streams -> aac;  decoder beside them, used by frontend.
# lib (libaaczavrok's C interface) is reached through include/aaczavrok.h; it uses pack, streams, aac.
# aac/ includes nothing of src/.
set -uo pipefail
SRC=${1:-$(cd "$(dirname "$0")/.." && pwd)/src}
allowed() {  # folder -> the folders it may include besides itself
    case $1 in
    frontend) echo "lib splitter rebuild pack streams aac decoder" ;;
    lib) echo "pack streams aac" ;;
    splitter | rebuild | pack) echo "streams aac" ;;
    streams) echo "aac" ;;
    aac | decoder) echo "" ;;
    *) echo "?" ;;
    esac
}
bad=0
while IFS= read -r line; do
    file=${line%%:*}
    rel=${file#"$SRC"/}
    from=${rel%%/*}
    [ "$from" = "$rel" ] && continue  # main.cpp sits above every layer
    target=$(sed -n 's/^#include "\([^"]*\)".*/\1/p' <<<"${line#*:}")
    to=${target%%/*}
    [ "$to" = "$target" ] && continue  # a header beside the file
    [ "$to" = "$from" ] && continue
    if [ "$(allowed "$from")" = "?" ]; then
        echo "unknown layer: $rel"
        bad=1
    elif ! grep -qw -- "$to" <<<"$(allowed "$from")"; then
        echo "layer violation: $rel includes $target"
        bad=1
    fi
done < <(grep -rH '^#include "' "$SRC" --include='*.h' --include='*.cpp')
[ $bad -eq 0 ] && echo "layers ok"
exit $bad
