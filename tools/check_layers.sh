#!/bin/bash
# Fails when an #include in src/ crosses the layers upward or sideways, or when two
# folders include each other. The layers, each allowed to include only those below it:
#   frontend -> lib -> splitter, rebuild, pack -> streams -> aac;  decoder beside them, used by frontend.
# lib (libaaczavrok's C interface) is reached through include/aaczavrok.h; it uses pack, streams, aac.
# The program reaches the packed form only through that header, as any other program would.
# The packed form is a column of its own floors, by concern:
#   pack/driver -> pack/container, pack/model -> pack/frame, pack/coder, pack/format, pack/io -> aac
# (container and model beside each other; a model generation's folder under pack/model counts as
# pack/model). aac/ includes nothing of src/.
set -uo pipefail
SRC=${1:-$(cd "$(dirname "$0")/.." && pwd)/src}
allowed() {  # folder -> the folders it may include besides itself
    case $1 in
    frontend) echo "lib splitter rebuild streams aac decoder" ;;
    lib) echo "pack/driver pack/container pack/model pack/format pack/io streams aac" ;;
    splitter | rebuild) echo "streams aac" ;;
    pack/driver) echo "pack/container pack/model pack/frame pack/coder pack/format pack/io aac" ;;
    pack/container) echo "pack/frame pack/format pack/io aac" ;;
    pack/model) echo "pack/frame pack/coder pack/format aac" ;;
    pack/frame) echo "pack/format aac" ;;
    pack/coder | pack/format | pack/io) echo "" ;;
    streams) echo "aac" ;;
    aac | decoder) echo "" ;;
    *) echo "?" ;;
    esac
}
# The layer of a path below src/: its first folder, or for the packed form its first two.
layer_of() {
    local rel=$1 first=${1%%/*}
    if [ "$first" = pack ]; then
        local rest=${rel#pack/}
        [ "$rest" = "${rest%%/*}" ] && { echo pack; return; }  # a file straight in pack/
        echo "pack/${rest%%/*}"
        return
    fi
    echo "$first"
}
bad=0
while IFS= read -r line; do
    file=${line%%:*}
    rel=${file#"$SRC"/}
    [ "${rel%%/*}" = "$rel" ] && continue  # main.cpp sits above every layer
    from=$(layer_of "$rel")
    target=$(sed -n 's/^#include "\([^"]*\)".*/\1/p' <<<"${line#*:}")
    [ "${target%%/*}" = "$target" ] && continue  # a header beside the file
    to=$(layer_of "$target")
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
