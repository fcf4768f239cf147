#!/usr/bin/env bash
# Renders each screen of the window offscreen from the real widgets into
# docs/screens/*.png, the pictures in the README.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}"
cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build/release" --target readme_screens >/dev/null
"$repo/build/release/tools/readme_screens" "$repo/docs/screens" 2>/dev/null
