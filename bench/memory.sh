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

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# ncdu's resident size once its scan is over: it then waits for keys, so
# its CPU time stops growing.
ncdu_resident() {
    local tree=$1 pid last=-1 now still=0
    TERM=xterm script -qfc "stty rows 40 cols 120; exec ncdu -x $tree" /dev/null </dev/zero >/dev/null 2>&1 &
    local wrapper=$!
    until pid=$(pgrep -f -n "^ncdu -x $tree\$"); do sleep 0.05; done
    while [ $still -lt 10 ]; do
        sleep 0.1
        now=$(cpu_ticks "$pid")
        if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0; fi
        last=$now
    done
    rss_kib "$pid"
    kill "$pid" 2>/dev/null; kill "$wrapper" 2>/dev/null; wait "$wrapper" 2>/dev/null || true
}

# The window's resident size once the scan is on screen.
window_resident() {
    local tree=$1
    cat >"$work/window.sh" <<ONE
home=\$(mktemp -d -p "$work")
trace=\$home/trace
XDG_DATA_HOME=\$home XDG_CONFIG_HOME=\$home BURROWLENS_TRACE=\$trace "$release/src/app/burrowlens" "$tree" 2>/dev/null &
pid=\$!
until grep -q '^stall ' "\$trace" 2>/dev/null; do sleep 0.05; done
sleep 1 # the sorted children and the chart arrive after the scan
awk '/^VmRSS/ {print \$2}' /proc/\$pid/status
kill \$pid; wait \$pid 2>/dev/null || true
ONE
    xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/window.sh"
}

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
