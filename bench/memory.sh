#!/usr/bin/env bash
# What a finished scan costs in memory, on each tree given (default: the
# 201k and the 1M benchmark trees): bytes per node of the finished tree
# (engine_bench), the peak memory of burrowlens-scan --json, gdu and du, and
# the resident memory, once the scan is over, of ncdu in its interactive mode
# (under a pseudo-terminal) and of the burrowlens window (on a virtual X
# server). Figures, not a test.
#
# Usage: bench/memory.sh [TREE...]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$repo/../shared/bench" && pwd)
. "$repo/scripts/deps.sh"
. "$repo/bench/peak_memory.sh"
[ $# -gt 0 ] || set -- /tmp/bltree /tmp/bltree-1000000

ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" xvfb xauth bsdutils
cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build/release" --target engine_bench burrowlens-scan burrowlens >/dev/null
release=$repo/build/release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

. "$repo/bench/resident.sh"

for tree in "$@"; do
    [ -d "$tree" ] || { echo "no tree at $tree (build one with $shared/mktree.sh)" >&2; exit 2; }
    read -r nodes _ _ per_node < <("$release/bench/engine_bench" "$tree")
    echo "== $tree: $nodes nodes; finished tree $per_node bytes per node"
    peak_memory -n "burrowlens-scan --json" "$release/src/cli/burrowlens-scan --json $tree" \
        -n "gdu -n -p -s" "gdu -n -p -s $tree" -n "du -s" "du -s $tree" >"$work/peaks"
    ncdu=$(ncdu_resident "$tree")
    window=$(window_resident "$tree")
    gdu=$(awk -F'\t' '$1 == "gdu -n -p -s" {print $2}' "$work/peaks")
    awk -F'\t' -v gdu="$gdu" '{printf "  %-34s peak %8.1f MiB  %5.2f x gdu\n", $1, $2 / 1024, $2 / gdu}' "$work/peaks"
    awk -v n="$ncdu" -v w="$window" -v nodes="$nodes" 'BEGIN {
        printf "  %-34s resident %4.1f MiB  %5.1f bytes per item\n", "ncdu (interactive, scan over)", n / 1024, n * 1024 / nodes
        printf "  %-34s resident %4.1f MiB  %5.2f x ncdu\n", "burrowlens window (scan shown)", w / 1024, w / n }'
done
