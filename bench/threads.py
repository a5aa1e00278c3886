#!/usr/bin/env python3
"""Threads and seeds: paired whole runs of galaxy-ic, interleaved.

  seeded 4e6   --seed 1 --threads 2 against --threads 1   (target <= 0.6)
  seeded 1e6   --seed 1 --threads 1 against the default run --threads 1
  equilibrium  --seed 1 --equilibrium against --seed 1, 1e6, default threads
               (target <= 1.5)
  default 1e6  default threads against the one-fprintf-a-line baseline
               (target <= 0.15), byte-identical files checked first
and the peak memory of each against 56 bytes a particle + 16 MiB + 4 MiB a
thread.

usage: bench/threads.py [--build DIR] [--runs K] [--dir TMPDIR]
needs: a build configured with -DGALAXY_BUILD_BENCH=ON, /usr/bin/time
"""
import filecmp
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import bench_arguments, run, scratch  # noqa: E402


def measure(commands, runs, out):
    samples = {name: [] for name in commands}
    for _ in range(runs):
        for name, cmd in commands.items():
            samples[name].append(run(cmd))
            os.remove(out)
    return {name: (statistics.median(v[0] for v in values), max(v[1] for v in values))
            for name, values in samples.items()}


def main():
    parser = bench_arguments(runs=5)
    args = parser.parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    variants = os.path.join(args.build, "bench", "bench_variants")

    with scratch(args.dir) as tmp:
        out = os.path.join(tmp, "out.ini")
        run([ic, "-p", "1000000", "-o", out])
        run([variants, "baseline", "1000000", out + ".base"])
        if not filecmp.cmp(out, out + ".base", shallow=False):
            sys.exit("default run and baseline files differ")
        os.remove(out + ".base")
        os.remove(out)
        groups = [
            ("seeded 4e6", 4 * 10**6, {
                "T=1": [ic, "--seed", "1", "--threads", "1", "-p", "4000000", "-o", out],
                "T=2": [ic, "--seed", "1", "--threads", "2", "-p", "4000000", "-o", out]}),
            ("1e6, one thread", 10**6, {
                "default": [ic, "--threads", "1", "-p", "1000000", "-o", out],
                "seeded": [ic, "--seed", "1", "--threads", "1", "-p", "1000000", "-o", out]}),
            ("equilibrium 1e6", 10**6, {
                "defined": [ic, "--seed", "1", "-p", "1000000", "-o", out],
                "equilibrium": [ic, "--seed", "1", "--equilibrium", "-p", "1000000", "-o", out]}),
            ("default 1e6", 10**6, {
                "baseline": [variants, "baseline", "1000000", out],
                "default": [ic, "-p", "1000000", "-o", out]}),
        ]
        for title, n, commands in groups:
            m = measure(commands, args.runs, out)
            names = list(commands)
            print(f"{title}:")
            for name in names:
                threads = 1 if name == "T=1" or title == "1e6, one thread" or name == "baseline" else 2
                budget = 56 * n + (16 + 4 * threads) * 2**20
                print(f"  {name:>9} median {m[name][0]:7.3f} s  peak {m[name][1] / 2**20:7.1f} MiB"
                      f"  peak/budget {m[name][1] / budget:5.3f}")
            print(f"  {names[1]}/{names[0]} = {m[names[1]][0] / m[names[0]][0]:.3f}")


if __name__ == "__main__":
    main()
