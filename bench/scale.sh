#!/usr/bin/env bash
# Ten million files: the headless report, an export and an import of the
# mkmany tree, each timed with its peak memory beside limitwalk -j2, gdu,
# ncdu and du; the finished tree's bytes per node; the resident memory of
# ncdu (interactive) and of the window once the scan is shown; and in the
# window (offscreen), focusing the folder of a million entries. One run
# each: a run takes minutes. Figures, not a test.
#
# Usage: bench/scale.sh [-n FILES] [DIR]   (default 10000000 files in /tmp/bl10m;
#        a missing tree is made once with ../shared/bench/mkmany.c)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$repo/../shared/bench" && pwd)
. "$repo/scripts/deps.sh"
. "$repo/bench/peak_memory.sh"

files=10000000
while getopts "n:" o; do
    case $o in n) files=$OPTARG ;; *) sed -n '2,10p' "$0"; exit 2 ;; esac
done
shift $((OPTIND - 1))
tree=${1:-/tmp/bl10m}

ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" xvfb xauth bsdutils
cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build/release" --target engine_bench views_bench burrowlens-scan burrowlens >/dev/null
release=$repo/build/release
scan=$release/src/cli/burrowlens-scan
limitwalk=$release/limitwalk
gcc -O2 -pthread -o "$limitwalk" "$shared/limitwalk.c"
if [ ! -d "$tree" ]; then
    gcc -O2 -pthread -o "$release/mkmany" "$shared/mkmany.c"
    echo "making $tree ($files files; minutes) ..."
    "$release/mkmany" -n "$files" "$tree" >/dev/null
fi
work=$(mktemp -d -p "$(dirname "$tree")")
trap 'rm -rf "$work"' EXIT
. "$repo/bench/resident.sh"

echo "machine: $(nproc) cores; $(df -T "$tree" | awk 'NR==2{print $2}'); tree: $(cat "$tree.manifest" 2>/dev/null | tr '\n' ' ')"
read -r nodes _ _ per_node < <("$release/bench/engine_bench" "$tree")
echo "finished tree: $nodes nodes, $per_node bytes per node ($((nodes * per_node / 1048576)) MiB)"

# Each command once, timed, with its peak: NAME<TAB>seconds<TAB>peak KiB.
one() {
    local name=$1
    shift
    local start end kb
    # What the command before wrote is on disk first: its writeback would
    # otherwise slow whichever command comes next (an import by half).
    sync
    start=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$work/peak" "$@" >/dev/null 2>&1 || true
    kb=$(tail -n 1 "$work/peak" 2>/dev/null | tr -dc 0-9)
    end=$(date +%s%N)
    printf '%s\t%s\t%s\n' "$name" "$(((end - start) / 1000000))" "$kb"
}
{
    one "limitwalk -j2" "$limitwalk" -j 2 "$tree"
    one "burrowlens-scan --json" "$scan" --json "$tree"
    one "gdu -n -p -s" gdu -n -p -s "$tree"
    one "ncdu -0 -o /dev/null" ncdu -0 -o /dev/null "$tree"
    one "du -s" du -s "$tree"
    one "burrowlens-scan --export" "$scan" --export "$work/ours.json" "$tree"
    one "ncdu -0 -o FILE" ncdu -0 -o "$work/ncdu.json" "$tree"
    one "burrowlens-scan --import ncdu's" "$scan" --import "$work/ncdu.json" --json
    one "ncdu -f ncdu's" ncdu -0 -f "$work/ncdu.json" -o /dev/null
} >"$work/runs"
rm -f "$work/ours.json"
cat "$work/runs" >&2 # the raw figures, should a later step fail
ncdu=$(ncdu_resident "$tree" || true)
window=$(window_resident "$tree" || true)
echo "resident KiB: ncdu ${ncdu:-?} window ${window:-?}" >&2
python3 - "$work/runs" "$ncdu" "$window" "$nodes" "$per_node" <<'PY'
import sys
runs = {}
for line in open(sys.argv[1]):
    name, ms, kb = line.rstrip("\n").split("\t")
    if not kb.isdigit():
        print(f"  {name}: no peak measured ({kb!r})")
        kb = "0"
    runs[name] = (int(ms), int(kb))
ncdu, window, nodes, per_node = (int(a or 0) for a in sys.argv[2:6])
tree_mib = nodes * per_node / 1048576
def show(name, against):
    ms, kb = runs[name]
    ratios = "  ".join(f"{ms / runs[a][0]:.2f} x {a}" for a in against)
    print(f"  {name:34s} {ms:8d} ms  peak {kb / 1024:8.1f} MiB ({kb / 1024 / (1.3 * tree_mib + 40):.2f} of 1.3 x tree + 40)  {ratios}")
print("one run each:")
for name in ("limitwalk -j2", "gdu -n -p -s", "ncdu -0 -o /dev/null", "du -s"):
    ms, kb = runs[name]
    print(f"  {name:34s} {ms:8d} ms  peak {kb / 1024:8.1f} MiB")
show("burrowlens-scan --json", ["limitwalk -j2", "gdu -n -p -s", "du -s"])
show("burrowlens-scan --export", ["ncdu -0 -o FILE"])
show("ncdu -0 -o FILE", [])
show("burrowlens-scan --import ncdu's", ["ncdu -f ncdu's"])
show("ncdu -f ncdu's", [])
print(f"  {'ncdu (interactive, scan over)':34s} resident {ncdu / 1024:8.1f} MiB")
print(f"  {'burrowlens window (scan shown)':34s} resident {window / 1024:8.1f} MiB  {window / max(ncdu, 1):.2f} x ncdu")
PY
echo "the window, offscreen:"
"$release/bench/views_bench" "$tree" 2>/dev/null | sed 's/^/  /'
