#!/usr/bin/env python3
"""Times commands in rounds, each round running every command once in turn,
and writes hyperfine's JSON (command, median, times) for the scripts'
reports. Grouping a command's runs together, as hyperfine does, lets one slow
stretch of a shared machine or its disk land on a single command; taken in
turn, every command meets it alike.

Usage: rounds.py [--cold] [--warmup N] --runs N --export-json FILE -n NAME CMD ...
  --cold  sync and drop the page cache before every run (needs root)
Commands run without a shell, as hyperfine -N runs them."""
import json
import shlex
import statistics
import subprocess
import sys
import time


def main(argv):
    cold, warmup, runs, export, commands = False, 0, 0, None, []
    i = 0
    try:
        while i < len(argv):
            a = argv[i]
            if a == "--cold":
                cold = True
            elif a == "--warmup":
                warmup, i = int(argv[i + 1]), i + 1
            elif a == "--runs":
                runs, i = int(argv[i + 1]), i + 1
            elif a == "--export-json":
                export, i = argv[i + 1], i + 1
            elif a == "-n":
                commands.append((argv[i + 1], shlex.split(argv[i + 2])))
                i += 2
            else:
                raise ValueError(a)
            i += 1
    except (IndexError, ValueError):
        sys.exit(__doc__)
    if runs < 1 or not export or not commands:
        sys.exit(__doc__)

    def run(cmd):
        if cold:
            subprocess.run(["sync"], check=True)
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("3\n")
        start = time.perf_counter()
        status = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        elapsed = time.perf_counter() - start
        if status != 0:
            sys.exit(f"rounds.py: {shlex.join(cmd)} exited with {status}")
        return elapsed

    for _ in range(warmup):
        for _, cmd in commands:
            run(cmd)
    times = {name: [] for name, _ in commands}
    for _ in range(runs):
        for name, cmd in commands:
            times[name].append(run(cmd))
    results = [{"command": name, "median": statistics.median(times[name]), "times": times[name]}
               for name, _ in commands]
    with open(export, "w") as f:
        json.dump({"results": results}, f)


if __name__ == "__main__":
    main(sys.argv[1:])
