#!/usr/bin/env bash
# Builds Burrowlens and opens its window on FOLDER (the home folder when none
# is given). Without a display, or with report options such as --json, it
# prints the headless report of burrowlens-scan instead.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target burrowlens burrowlens-scan >/dev/null

args=("$@")
folder_given=0 options=0 skip=0
for a in "${args[@]}"; do
    if [ $skip = 1 ]; then skip=0
    elif [[ $a == --top || $a == --engine || $a == --chart || $a == --size ]]; then skip=1; options=1
    elif [[ $a == -* ]]; then options=1
    else folder_given=1; fi
done
[ $folder_given = 1 ] || args+=("$HOME")
if [ $options = 0 ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    exec build/release/src/app/burrowlens "${args[@]}"
fi
[ $options = 1 ] || echo "no display: printing the headless report instead of opening the window" >&2
exec build/release/src/cli/burrowlens-scan "${args[@]}"
