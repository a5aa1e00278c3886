#!/usr/bin/env python3
"""The Python module's cost against the command-line program.

1. Time: galaxy_ic.make(N, seed=1, threads=T) in memory against
   galaxy-ic -p N --seed 1 --threads T --format hdf5 (a whole run, on
   /dev/shm), interleaved, medians of --runs. Target: ratio <= 1.
2. Peak memory of make() beyond the interpreter's own (numpy and galaxy_ic
   imported), in a fresh interpreter each: VmHWM - VmRSS before the call.
   Target: <= 56 bytes a particle + 32 MiB.

usage: bench/python_module.py [--build DIR] [--runs K] [--dir TMPDIR] [-n N]
"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import bench_arguments, scratch  # noqa: E402

PEAK = """
import sys
sys.path.insert(0, sys.argv[1])
import numpy, galaxy_ic
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
before = status('VmRSS:')
g = galaxy_ic.make(int(sys.argv[2]), **eval(sys.argv[3]))
print(status('VmHWM:') - before)
"""


def main():
    parser = bench_arguments(runs=7, n=1_000_000)
    args = parser.parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    module_dir = os.path.join(args.build, "python")
    sys.path.insert(0, module_dir)
    import galaxy_ic

    n = args.n
    with scratch(args.dir) as tmp:
        out = os.path.join(tmp, "g.hdf5")
        print(f"{n} particles, medians of {args.runs}")
        for options, cli in [(dict(seed=1), ["--seed", "1"]),
                             (dict(seed=1, equilibrium=True), ["--seed", "1", "--equilibrium"]),
                             (dict(seed=1, profile="nfw", cutoff=10e18), ["--seed", "1", "--profile", "nfw", "--cutoff", "10e18"])]:
            for threads in (1, 2):
                memory, program = [], []
                for _ in range(args.runs):
                    start = time.perf_counter()
                    g = galaxy_ic.make(n, threads=threads, **options)
                    memory.append(time.perf_counter() - start)
                    del g
                    cmd = [ic, "-p", str(n), *cli, "--threads", str(threads), "--format", "hdf5", "-o", out]
                    start = time.perf_counter()
                    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
                    program.append(time.perf_counter() - start)
                mm, mp = statistics.median(memory), statistics.median(program)
                label = " ".join(cli) + f" --threads {threads}"
                print(f"  time  {label:44s} make {mm:6.3f} s  galaxy-ic {mp:6.3f} s  ratio {mm / mp:.3f}")
    for options in ["dict(seed=1)", "dict(seed=1, zero_com=True, units='astro')", "dict(profile='plummer', seed=1)", "dict()"]:
        for count in (n, 10 * n):
            extra = int(subprocess.run([sys.executable, "-c", PEAK, module_dir, str(count), options],
                                       check=True, capture_output=True, text=True).stdout)
            beyond = (extra - 56 * count) / 2**20
            print(f"  peak  {options:44s} n {count:9d}: {extra / count:6.2f} B a particle, "
                  f"{beyond:+7.2f} MiB beyond 56 B a particle (budget 32)")


if __name__ == "__main__":
    main()
