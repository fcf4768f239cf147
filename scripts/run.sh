#!/usr/bin/env bash
# Builds Burrowlens and reports where the space of FOLDER goes (the home
# folder when none is given). Extra options go to burrowlens-scan, e.g. --json.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target burrowlens-scan >/dev/null

args=("$@")
folder_given=0 skip=0
for a in "${args[@]}"; do
    if [ $skip = 1 ]; then skip=0
    elif [[ $a == --top || $a == --engine ]]; then skip=1
    elif [[ $a != -* ]]; then folder_given=1; fi
done
[ $folder_given = 1 ] || args+=("$HOME")
exec build/release/src/cli/burrowlens-scan "${args[@]}"
