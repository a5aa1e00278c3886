#!/usr/bin/env python3
"""The cost of --progress: paired whole runs of galaxy-ic at 1e7 particles
(the default sequence and a seeded run), and of galaxy-check on the default
file, with and without it, interleaved; medians. Target: ratio <= 1.01.

usage: bench/progress.py [--build DIR] [--runs K] [--dir TMPDIR] [-n N]
needs: /usr/bin/time
"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import bench_arguments, scratch  # noqa: E402


def wall(cmd):
    """Wall seconds of a run whose status may be 1 (a check that fails)."""
    start = time.perf_counter()
    if subprocess.call(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) > 1:
        sys.exit(f"failed: {' '.join(cmd)}")
    return time.perf_counter() - start


def main():
    args = bench_arguments(runs=5, n=10_000_000).parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    check = os.path.join(args.build, "galaxy-check")
    with scratch(args.dir) as where:
        out = os.path.join(where, "g.ini")
        pairs = {
            "default": [ic, "-p", str(args.n), "-o", out],
            "seeded": [ic, "--seed", "1", "-p", str(args.n), "-o", out],
        }
        for name, cmd in pairs.items():
            plain, shown = [], []
            for _ in range(args.runs):
                plain.append(wall(cmd))
                shown.append(wall(cmd + ["--progress"]))
            a, b = statistics.median(plain), statistics.median(shown)
            print(f"galaxy-ic {name} {args.n}: {a:.3f} s, --progress {b:.3f} s, ratio {b / a:.4f}")
        wall(pairs["default"])
        plain, shown = [], []
        for _ in range(args.runs):
            plain.append(wall([check, out]))
            shown.append(wall([check, out, "--progress"]))
        a, b = statistics.median(plain), statistics.median(shown)
        print(f"galaxy-check {args.n}: {a:.3f} s, --progress {b:.3f} s, ratio {b / a:.4f}")


if __name__ == "__main__":
    main()
