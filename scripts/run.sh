#!/usr/bin/env bash
# Builds Burrowlens and scans FOLDER (the home folder when none is given).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target scancore_bench >/dev/null

folder=${1:-$HOME}
echo "items dirs files unreadable allocated logical seconds  ($folder)"
exec build/release/bench/scancore_bench "$folder"
