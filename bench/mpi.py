#!/usr/bin/env python3
"""galaxy-ic-mpi on 1 and 2 ranks, paired and interleaved: 4e6 seeded
particles, --threads 1 per rank (target: 2 ranks <= 0.7 x 1 rank), and the
per-rank throughput the README's projection starts from.

usage: bench/mpi.py [--build DIR] [--runs K] [--dir TMPDIR] [-n N]
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import bench_arguments, scratch  # noqa: E402


def main():
    parser = bench_arguments(runs=5, n=4 * 10**6)
    args = parser.parse_args()
    program = os.path.join(args.build, "galaxy-ic-mpi")
    mpirun = shutil.which("mpirun")
    if not os.access(program, os.X_OK) or mpirun is None:
        sys.exit("needs galaxy-ic-mpi (MPI and parallel HDF5 at configure time) and mpirun")
    times = {1: [], 2: []}
    with scratch(args.dir) as tmp:
        out = os.path.join(tmp, "g.hdf5")
        for _ in range(args.runs):
            for ranks in times:
                command = [mpirun, "--allow-run-as-root", "--oversubscribe", "-n", str(ranks),
                           program, "--seed", "1", "--threads", "1", "-p", str(args.n), "-o", out]
                start = time.perf_counter()
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
                times[ranks].append(time.perf_counter() - start)
                os.remove(out)
    m = {ranks: statistics.median(values) for ranks, values in times.items()}
    for ranks, t in m.items():
        print(f"{ranks} rank{'s' if ranks > 1 else ''}: median {t:.3f} s, "
              f"{args.n / t / ranks:.3g} particles/s per rank")
    print(f"2 ranks / 1 rank = {m[2] / m[1]:.3f}")


if __name__ == "__main__":
    main()
