#!/usr/bin/env python3
"""The cost of the model and frame options.

1. Against a reference build (--reference DIR, galaxy-ic built from an
   earlier commit), the same runs without any new option: the default
   sequence and a seeded run, text and HDF5, one thread and two. Target:
   ratio <= 1.02 at 1e6.
2. --zero-com against the same run without it (every particle is made before
   the first is written). Target: ratio <= 1.3.
3. Other unit systems against SI (information: the shortest-form text).

Runs are interleaved; medians of --runs each.

usage: bench/units.py [--build DIR] --reference DIR [--runs K] [--dir TMPDIR] [-n N]
"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import bench_arguments, scratch  # noqa: E402


def wall(cmd):
    start = time.perf_counter()
    if subprocess.call(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) != 0:
        sys.exit(f"failed: {' '.join(cmd)}")
    return time.perf_counter() - start


def paired(label, first, second, runs):
    """Median walls of two commands run alternately, and their ratio."""
    a, b = [], []
    for _ in range(runs):
        a.append(wall(first))
        b.append(wall(second))
    ma, mb = statistics.median(a), statistics.median(b)
    print(f"{label:44s} {ma:7.3f} s  {mb:7.3f} s  ratio {mb / ma:.4f}")
    return mb / ma


def main():
    parser = bench_arguments(runs=7, n=1_000_000)
    parser.add_argument("--reference", required=True, help="build directory of an earlier galaxy-ic")
    args = parser.parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    ref = os.path.join(args.reference, "galaxy-ic")
    n = str(args.n)
    with scratch(args.dir) as where:
        print(f"{'run (N = ' + n + ')':44s} {'first':>9s}  {'second':>9s}")
        for fmt, name in (("ini", "g.ini"), ("hdf5", "g.hdf5")):
            out = os.path.join(where, name)
            for seed in ([], ["--seed", "1"]):
                for threads in ("1", "2"):
                    run = ["-p", n, "--format", fmt, "--threads", threads, *seed, "-o", out]
                    label = f"reference / now, {fmt} {'seeded' if seed else 'default'} t{threads}"
                    paired(label, [ref, *run], [ic, *run], args.runs)
        for fmt, name in (("ini", "g.ini"), ("hdf5", "g.hdf5")):
            out = os.path.join(where, name)
            for threads in ("1", "2"):
                run = [ic, "-p", n, "--seed", "1", "--format", fmt, "--threads", threads, "-o", out]
                paired(f"without / with --zero-com, {fmt} t{threads}", run, run + ["--zero-com"], args.runs)
        for units in ("astro", "model"):
            out = os.path.join(where, "g.ini")
            run = [ic, "-p", n, "--seed", "1", "--threads", "2", "-o", out]
            paired(f"si / {units} text, t2", run, run + ["--units", units], args.runs)


if __name__ == "__main__":
    main()
