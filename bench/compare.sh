#!/usr/bin/env bash
# Times the native scan core (scancore_bench) and the headless report
# (burrowlens-scan, both engines) beside du, ncdu, gdu and the
# floor walker limitwalk in one hyperfine run, or in rounds that take the
# commands in turn (bench/rounds.py), and prints each median with its ratio to
# limitwalk -j2, limitwalk -j8 and gdu. Figures, not a test: it never fails on time.
#
# Usage: bench/compare.sh [-n FILES] [-c] [-a] [-r RUNS] [-m] [-j] [TREE]
#   TREE      tree to scan (default /tmp/bltree, or /tmp/bltree-FILES with -n);
#             built with ../shared/bench/mktree.sh when missing
#   -n FILES  file count for a tree that has to be built (default 200000)
#   -c        cold page cache: caches dropped before every run (needs root);
#             always in rounds, so that a slow stretch of the disk meets every
#             command alike instead of the one whose runs it falls in
#   -a        warm runs in rounds too
#   -r RUNS   runs per command (default 10 warm, 5 cold)
#   -m        also measure each command's peak memory (one run each)
#   -j        also time scancore_bench with 1, 2, 3, 4, 6 and 8 threads
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$repo/../shared/bench" && pwd)
. "$repo/scripts/deps.sh"
. "$repo/bench/peak_memory.sh"

files=200000 cold=0 rounds=0 runs= memory=0 sweep=0
while getopts "n:car:mj" o; do
    case $o in
    n) files=$OPTARG ;; c) cold=1 ;; a) rounds=1 ;; r) runs=$OPTARG ;; m) memory=1 ;; j) sweep=1 ;;
    *) sed -n '2,18p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ $# -gt 0 ]; then tree=$1
elif [ "$files" = 200000 ]; then tree=/tmp/bltree
else tree=/tmp/bltree-$files; fi
[ -n "$runs" ] || runs=$([ $cold = 1 ] && echo 5 || echo 10)

ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build/release" --target scancore_bench engine_bench burrowlens-scan >/dev/null
bench=$repo/build/release/bench/scancore_bench
report=$repo/build/release/src/cli/burrowlens-scan
limitwalk=$repo/build/release/limitwalk
gcc -O2 -pthread -o "$limitwalk" "$shared/limitwalk.c"

if [ ! -d "$tree" ]; then
    echo "building $tree ($files files) ..."
    "$shared/mktree.sh" -n "$files" "$tree" >/dev/null
fi

echo "machine: $(nproc) cores; $(df -T "$tree" | awk 'NR==2{print $2}') on $(df "$tree" | awk 'NR==2{print $1}')"
echo "totals (items dirs files unreadable allocated logical seconds):"
echo "  scancore_bench  $("$bench" "$tree")"
echo "  limitwalk       $("$limitwalk" "$tree")"
echo "engines (nodes seconds peak_rss_mib tree_bytes_per_node):"
echo "  fast            $("$repo/build/release/bench/engine_bench" "$tree")"
echo "  recursive       $("$repo/build/release/bench/engine_bench" --engine recursive "$tree")"
echo "  du allocated    $(du -s --block-size=1 "$tree" | cut -f1)  (adds directory blocks, hard links once)"

cmds=(-n "scancore_bench" "$bench $tree"
    -n "burrowlens-scan --json" "$report --json $tree"
    -n "burrowlens-scan recursive" "$report --engine recursive --json $tree"
    -n "du -s" "du -s --block-size=1 $tree"
    -n "ncdu -0 -o /dev/null" "ncdu -0 -o /dev/null $tree"
    -n "gdu -n -p -s" "gdu -n -p -s $tree"
    -n "limitwalk -j1" "$limitwalk -j 1 $tree"
    -n "limitwalk -j2" "$limitwalk -j 2 $tree"
    -n "limitwalk -j4" "$limitwalk -j 4 $tree"
    -n "limitwalk -j8" "$limitwalk -j 8 $tree")
if [ $sweep = 1 ]; then
    for j in 1 2 3 4 6 8; do cmds+=(-n "scancore_bench -j$j" "$bench -j $j $tree"); done
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if [ $cold = 1 ]; then
    if ! (echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then
        echo "cold runs need root (to write /proc/sys/vm/drop_caches)" >&2; exit 1
    fi
    "$repo/bench/rounds.py" --cold --runs "$runs" --export-json "$out/hf.json" "${cmds[@]}"
    cache="cold cache, in rounds"
elif [ $rounds = 1 ]; then
    "$repo/bench/rounds.py" --warmup 2 --runs "$runs" --export-json "$out/hf.json" "${cmds[@]}"
    cache="warm cache, in rounds"
else
    hyperfine -N --style basic --warmup 2 --runs "$runs" \
        --export-json "$out/hf.json" "${cmds[@]}" >/dev/null
    cache="warm cache"
fi

if [ $memory = 1 ]; then
    peak_memory "${cmds[@]}" >"$out/memory.tsv"
fi

python3 - "$out/hf.json" "$out/memory.tsv" "$cache" "$tree" <<'PY'
import json, os, sys
results = json.load(open(sys.argv[1]))["results"]
memory = {}
if os.path.exists(sys.argv[2]):
    for line in open(sys.argv[2]):
        name, kb = line.rstrip("\n").split("\t")
        memory[name] = int(kb)
med = {r["command"]: r["median"] for r in results}
floor, wide, gdu = med["limitwalk -j2"], med["limitwalk -j8"], med["gdu -n -p -s"]
print(f"\n{sys.argv[3]}, {sys.argv[4]}, {len(results[0]['times'])} runs each")
head = f"{'command':24s} {'median ms':>10s} {'x limitwalk -j2':>16s} {'x -j8':>7s} {'x gdu':>7s}"
print(head + ("   peak MiB" if memory else ""))
for r in results:
    m = r["median"]
    line = f"{r['command']:24s} {m * 1e3:10.1f} {m / floor:16.2f} {m / wide:7.2f} {m / gdu:7.2f}"
    if r["command"] in memory:
        line += f" {memory[r['command']] / 1024:10.1f}"
    print(line)
best = min(v for k, v in med.items() if k.startswith("limitwalk"))
print(f"scancore_bench / best limitwalk: {med['scancore_bench'] / best:.2f}")
PY
