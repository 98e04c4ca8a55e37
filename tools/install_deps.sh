#!/bin/bash
# Installs the Debian packages the build needs when they are missing.
set -e
need=()
[ -f /usr/include/neaacdec.h ] || need+=(libfaad-dev)
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/zstd.h ] || need+=(libzstd-dev)
[ -f /usr/include/lzma.h ] || need+=(liblzma-dev)
[ -f /usr/include/xxhash.h ] || need+=(libxxhash-dev)
# the Python package's tests run on Debian's python3 with its pytest
/usr/bin/python3 -c 'import pytest' 2>/dev/null || need+=(python3 python3-pytest)
[ ${#need[@]} -eq 0 ] && exit 0
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "Installing: ${need[*]}"
if ! $SUDO apt-get install -y "${need[@]}"; then
    $SUDO apt-get update
    $SUDO apt-get install -y "${need[@]}"
fi
