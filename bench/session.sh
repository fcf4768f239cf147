#!/usr/bin/env bash
# Times a scan through the session store (store_bench: the window's path,
# without a window) beside gdu and the floor walker limitwalk in one hyperfine
# run, then prints store_bench's own figures: the longest main-thread stall
# while the scan streams in, how long focusNode holds the main thread, and
# how soon the sorted children of the widest folder arrive.
# Figures, not a test: it never fails on time.
#
# Usage: bench/session.sh [-n FILES] [-b BIGDIR] [-r RUNS] [TREE]
#   TREE       default /tmp/blsession-FILES-BIGDIR, built with mktree.sh when missing
#   -n FILES   files in a tree that has to be built (default 1000000)
#   -b BIGDIR  entries of its one very large folder (default 100000)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$repo/../shared/bench" && pwd)
. "$repo/scripts/deps.sh"

files=1000000 big=100000 runs=5
while getopts "n:b:r:" o; do
    case $o in
    n) files=$OPTARG ;; b) big=$OPTARG ;; r) runs=$OPTARG ;;
    *) sed -n '2,14p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
tree=${1:-/tmp/blsession-$files-$big}

ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build/release" --target store_bench >/dev/null
store=$repo/build/release/bench/store_bench
limitwalk=$repo/build/release/limitwalk
gcc -O2 -pthread -o "$limitwalk" "$shared/limitwalk.c"
if [ ! -d "$tree" ]; then
    echo "building $tree ($files files, one folder of $big) ..."
    "$shared/mktree.sh" -n "$files" -b "$big" "$tree" >/dev/null
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
hyperfine -N --style basic --warmup 1 --runs "$runs" --export-json "$out/hf.json" \
    -n "store_bench" "$store $tree" \
    -n "gdu -n -p -s" "gdu -n -p -s $tree" \
    -n "limitwalk -j2" "$limitwalk -j 2 $tree" >/dev/null
python3 - "$out/hf.json" <<'PY'
import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
floor, gdu = r["limitwalk -j2"], r["gdu -n -p -s"]
print(f"{'command':<16}{'median':>10}{'x limitwalk':>13}{'x gdu':>8}")
for name, t in r.items():
    print(f"{name:<16}{t*1000:>8.0f}ms{t/floor:>13.2f}{t/gdu:>8.2f}")
PY
echo "store_bench figures, $runs runs:"
for _ in $(seq "$runs"); do "$store" "$tree" | sed 's/^/  /'; done
