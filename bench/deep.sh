#!/usr/bin/env bash
# Times burrowlens-scan (both engines) on a chain of nested folders, a file
# at each level, beside du -s, ncdu and gdu in one hyperfine run, with each
# command's peak memory: the cost of depth, which must stay linear.
# Figures, not a test: it never fails on time.
#
# Usage: bench/deep.sh [-l LEVELS] [-r RUNS]   (default 20000 levels, 5 runs)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/deps.sh"
. "$repo/bench/peak_memory.sh"

levels=20000 runs=5
while getopts "l:r:" o; do
    case $o in
    l) levels=$OPTARG ;; r) runs=$OPTARG ;;
    *) sed -n '2,8p' "$0"; exit 2 ;;
    esac
done

ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build/release" --target burrowlens-scan >/dev/null
report=$repo/build/release/src/cli/burrowlens-scan

tree=/tmp/bldeep-$levels
if [ ! -d "$tree" ]; then
    echo "building $tree ($levels levels) ..."
    python3 - "$tree" "$levels" <<'PY'
import os, sys
root, levels = sys.argv[1], int(sys.argv[2])
os.mkdir(root)
fd = os.open(root, os.O_RDONLY)
for _ in range(levels):
    f = os.open("f", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
    os.write(f, b"x" * 100)
    os.close(f)
    os.mkdir("d", dir_fd=fd)
    nfd = os.open("d", os.O_RDONLY, dir_fd=fd)
    os.close(fd)
    fd = nfd
os.close(fd)
PY
fi

cmds=(-n "burrowlens-scan" "$report $tree"
    -n "burrowlens-scan recursive" "$report --engine recursive $tree"
    -n "du -s" "du -s $tree"
    -n "ncdu -0 -o /dev/null" "ncdu -0 -o /dev/null $tree"
    -n "gdu -n -p -s" "gdu -n -p -s $tree")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
hyperfine -N --style basic --warmup 1 --runs "$runs" --export-json "$out/hf.json" "${cmds[@]}" >/dev/null
peak_memory "${cmds[@]}" >"$out/memory.tsv"

python3 - "$out/hf.json" "$out/memory.tsv" "$tree" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
memory = dict(l.rstrip("\n").split("\t") for l in open(sys.argv[2]))
du = next(r["median"] for r in results if r["command"] == "du -s")
print(f"\nwarm cache, {sys.argv[3]}, {len(results[0]['times'])} runs each")
print(f"{'command':28s} {'median ms':>10s} {'x du':>6s} {'peak MiB':>9s}")
for r in results:
    print(f"{r['command']:28s} {r['median'] * 1e3:10.1f} {r['median'] / du:6.2f} "
          f"{int(memory[r['command']]) / 1024:9.1f}")
PY
