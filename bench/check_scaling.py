#!/usr/bin/env python3
"""galaxy-check at any N: its peak memory on GADGET 2 files of 10^6, 10^7
and 2*10^8 seeded particles (target: <= 256 MiB each); at 10^7, paired and
interleaved, 2 threads against 1 (target <= 0.6), galaxy-check-mpi on 2
ranks against 1 (one thread each, target <= 0.6), and, given --baseline
(an earlier build's galaxy-check, which keeps every particle), its wall
against this build's on 1 and on 2 threads (target: this build's
throughput at least the baseline's).

usage: bench/check_scaling.py [--build DIR] [--runs K] [--dir TMPDIR]
          [--baseline OLD/galaxy-check] [--large-dir DIR | --no-large]
"""
import os
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check import timed as run  # noqa: E402  (a check may pass or fail)
from run import bench_arguments, scratch  # noqa: E402


def main():
    parser = bench_arguments(runs=5)
    parser.add_argument("--baseline")
    parser.add_argument("--large-dir", default="/var/tmp", help="where the 5.6 GB file of 2e8 particles goes")
    parser.add_argument("--no-large", action="store_true")
    args = parser.parse_args()
    ic, check = (os.path.join(args.build, p) for p in ("galaxy-ic", "galaxy-check"))
    check_mpi, mpirun = os.path.join(args.build, "galaxy-check-mpi"), shutil.which("mpirun")
    with scratch(args.dir) as tmp:
        files = {}
        for n in (10**6, 10**7):
            files[n] = os.path.join(tmp, f"g{n}")
            subprocess.run([ic, "--seed", "1", "-p", str(n), "--format", "gadget2", "--threads", "2", "-o", files[n]],
                           check=True)
        for n, path in files.items():
            _, peak = run([check, "--threads", "2", path])
            print(f"N = {n:.0e}: peak {peak / 2**20:.0f} MiB (2 threads)")
        if not args.no_large:
            with scratch(args.large_dir) as big:
                path = os.path.join(big, "g")
                subprocess.run([ic, "--seed", "1", "-p", str(2 * 10**8), "--format", "gadget2", "--threads", "2",
                                "-o", path], check=True)
                # Records past 2 GiB split the set: FILE.0 names it.
                first = path + ".0" if os.path.exists(path + ".0") else path
                wall, peak = run([check, "--threads", "2", first])
                print(f"N = 2e8: peak {peak / 2**20:.0f} MiB, {wall:.1f} s (2 threads)")
        commands = {"1 thread": [check, "--threads", "1", files[10**7]],
                    "2 threads": [check, "--threads", "2", files[10**7]]}
        if os.access(check_mpi, os.X_OK) and mpirun is not None:
            for ranks in (1, 2):
                commands[f"{ranks} rank{'s' if ranks > 1 else ''}"] = [
                    mpirun, "--allow-run-as-root", "--oversubscribe", "-n", str(ranks), check_mpi, "--threads", "1",
                    files[10**7]]
        if args.baseline:
            commands["baseline"] = [args.baseline, files[10**7]]
        walls = {name: [] for name in commands}
        for _ in range(args.runs):
            for name, cmd in commands.items():
                walls[name].append(run(cmd)[0])

        def ratio(a, b):
            return statistics.median(x / y for x, y in zip(walls[a], walls[b]))

        for name, w in walls.items():
            print(f"N = 1e7, {name}: median {statistics.median(w):.2f} s, {1e7 / statistics.median(w) / 1e6:.2f} M/s")
        print(f"2 threads / 1 thread: {ratio('2 threads', '1 thread'):.3f} (target <= 0.6)")
        if "2 ranks" in walls:
            print(f"2 ranks / 1 rank: {ratio('2 ranks', '1 rank'):.3f} (target <= 0.6)")
        if "baseline" in walls:
            for name in ("1 thread", "2 threads"):
                print(f"{name} / baseline: {ratio(name, 'baseline'):.3f} (target <= 1)")


if __name__ == "__main__":
    main()
