#!/usr/bin/env bash
# The window on a virtual X server scanning a large tree: time from launch to
# the first painted window, to the finished scan on screen, and the longest
# main-thread stall (an event-loop latency probe) while the scan streams in;
# beside gdu and the floor walker limitwalk on the same tree in the same run.
# Figures, not a test: it never fails on time.
#
# Usage: bench/window.sh [-n FILES] [-r RUNS] [TREE]   (default: 1000000 files)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$repo/../shared/bench" && pwd)
. "$repo/scripts/deps.sh"

files=1000000 runs=5
while getopts "n:r:" o; do
    case $o in n) files=$OPTARG ;; r) runs=$OPTARG ;; *) sed -n '2,8p' "$0"; exit 2 ;; esac
done
shift $((OPTIND - 1))
tree=${1:-/tmp/bltree-$files}

ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" xvfb xauth
cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBL_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build/release" --target burrowlens >/dev/null
app=$repo/build/release/src/app/burrowlens
limitwalk=$repo/build/release/limitwalk
gcc -O2 -pthread -o "$limitwalk" "$shared/limitwalk.c"
[ -d "$tree" ] || { echo "building $tree ..."; "$shared/mktree.sh" -n "$files" "$tree" >/dev/null; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One window run, from the launch: prints "painted_ms done_ms stall_ms
# peak_KiB", the peak being the window's resident high-water mark up to the
# scan shown.
cat >"$work/one.sh" <<'ONE'
#!/usr/bin/env bash
app=$1 tree=$2 work=$3
trace=$work/trace.$$
home=$(mktemp -d -p "$work")
start=$(date +%s%N)
XDG_DATA_HOME=$home XDG_CONFIG_HOME=$home BURROWLENS_TRACE=$trace "$app" "$tree" 2>/dev/null &
pid=$!
until grep -q '^stall ' "$trace" 2>/dev/null; do sleep 0.01; done
done_ms=$(( ($(date +%s%N) - start) / 1000000 ))
peak_kib=$(awk '/^VmHWM:/ {print $2}' /proc/$pid/status)
kill $pid; wait $pid 2>/dev/null
painted_ms=$(( $(grep -m1 '^painted ' "$trace" | cut -d' ' -f3) - start / 1000000 ))
echo "$painted_ms $done_ms $(grep -m1 '^stall ' "$trace" | cut -d' ' -f2) $peak_kib"
ONE
chmod +x "$work/one.sh"

hyperfine -N --style basic --warmup 1 --runs "$runs" --export-json "$work/hf.json" \
    -n "gdu -n -p -s" "gdu -n -p -s $tree" -n "limitwalk -j2" "$limitwalk -j 2 $tree" >/dev/null
xvfb-run -a -s "-screen 0 1280x800x24" bash -c "for i in \$(seq $runs); do $work/one.sh $app $tree $work; done" \
    >"$work/window.txt"
python3 - "$work/hf.json" "$work/window.txt" <<'PY'
import json, statistics, sys
r = {x["command"]: x["median"] * 1000 for x in json.load(open(sys.argv[1]))["results"]}
rows = [list(map(float, l.split())) for l in open(sys.argv[2]) if l.strip()]
painted, done, stall, peak = (statistics.median(c) for c in zip(*rows))
floor, gdu = r["limitwalk -j2"], r["gdu -n -p -s"]
print(f"{'':<34}{'median':>9}{'x limitwalk':>13}{'x gdu':>8}")
print(f"{'burrowlens: launch to scan shown':<34}{done:>7.0f}ms{done/floor:>13.2f}{done/gdu:>8.2f}")
for name, t in r.items():
    print(f"{name:<34}{t:>7.0f}ms{t/floor:>13.2f}{t/gdu:>8.2f}")
print(f"burrowlens: first paint {painted:.0f} ms after launch; longest main-thread stall "
      f"during the scan {stall:.1f} ms (runs: {', '.join(f'{s:.1f}' for s in (r[2] for r in rows))})")
print(f"burrowlens: peak resident up to the scan shown {peak / 1024:.1f} MiB "
      f"(runs: {', '.join(f'{r[3] / 1024:.1f}' for r in rows)})")
PY
