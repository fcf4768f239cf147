#!/usr/bin/env bash
# Times writing and reading scan files beside ncdu and gdu, in one hyperfine
# run, and prints each median with its peak memory. Figures, not a test.
#
# Usage: bench/exchange.sh [-r RUNS] [TREE]   (default 5 runs, /tmp/bltree-1000000;
#        a missing tree is built with ../shared/bench/mktree.sh)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$repo/../shared/bench" && pwd)
. "$repo/scripts/deps.sh"
. "$repo/bench/peak_memory.sh"
runs=5
while getopts "r:" o; do
    case $o in r) runs=$OPTARG ;; *) sed -n '2,7p' "$0"; exit 2 ;; esac
done
shift $((OPTIND - 1))
tree=${1:-/tmp/bltree-1000000}
ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" zstd
cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build/release" --target burrowlens-scan >/dev/null
scan=$repo/build/release/src/cli/burrowlens-scan
[ -d "$tree" ] || "$shared/mktree.sh" -n 1000000 "$tree" >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The files read back: one of each writer, made once before the timed runs.
ncdu -0 -o "$out/ncdu.json" "$tree"
"$scan" --export "$out/ours.json" "$tree"
echo "files: ncdu $(stat -c %s "$out/ncdu.json") B, burrowlens $(stat -c %s "$out/ours.json") B"

cmds=(-n "burrowlens-scan --export" "$scan --export $out/w-ours.json $tree"
    -n "ncdu -o" "ncdu -0 -o $out/w-ncdu.json $tree"
    -n "burrowlens-scan --import" "$scan --import $out/ncdu.json --top 0"
    -n "ncdu -f -o /dev/null" "ncdu -f $out/ncdu.json -0 -o /dev/null"
    -n "gdu -f" "gdu -f $out/ncdu.json -n -p")
hyperfine -N --style basic --warmup 1 --runs "$runs" --export-json "$out/hf.json" "${cmds[@]}" >/dev/null
peak_memory "${cmds[@]}" >"$out/memory.tsv"
python3 - "$out/hf.json" "$out/memory.tsv" "$tree" <<'PY'
import json, sys
res = json.load(open(sys.argv[1]))["results"]
mem = dict(l.rstrip("\n").split("\t") for l in open(sys.argv[2]))
med = {r["command"]: r["median"] for r in res}
print(f"\nwarm cache, {sys.argv[3]}, {len(res[0]['times'])} runs each")
print(f"{'command':28s} {'median ms':>10s} {'peak MiB':>9s}  ratio")
ref = {"burrowlens-scan --export": "ncdu -o", "burrowlens-scan --import": "ncdu -f -o /dev/null"}
for r in res:
    c = r["command"]
    ratio = f"{med[c] / med[ref[c]]:.2f} x {ref[c]}" if c in ref else ""
    print(f"{c:28s} {med[c] * 1e3:10.1f} {int(mem[c]) / 1024:9.1f}  {ratio}")
print(f"import / gdu -f: {med['burrowlens-scan --import'] / med['gdu -f']:.2f}")
PY
