#!/usr/bin/env python3
"""Whole-run benchmark of galaxy-ic against its yardsticks.

For each particle count it runs, interleaved, several times each:
  shipped   galaxy-ic -p N (through a temporary file renamed over the target)
  baseline  the same galaxy written with one fprintf a line
  floor     the same galaxy built, then as many bytes written from memory
  in-place  galaxy-ic -p N through a /proc/ path, which it writes in place
            instead of through a temporary file and a rename
and prints median wall time, particles/s, MB/s and peak resident memory,
then the ratios shipped/baseline and shipped/floor and the memory budget
(60 bytes a particle + 16 MiB).

usage: bench/run.py [--build DIR] [--large] [--runs K] [--dir TMPDIR]
needs: a build configured with -DGALAXY_BUILD_BENCH=ON, /usr/bin/time
"""
import argparse
import filecmp
import os
import statistics
import subprocess
import sys
import tempfile
import time


TIME = "/usr/bin/time"  # Debian package "time"


def run(cmd):
    """Wall seconds and peak RSS in bytes of one whole process.

    The peak comes from /usr/bin/time, a small process: Linux carries a
    child's peak RSS across exec, so a child forked from this interpreter
    would report the interpreter's memory as its own."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        code = subprocess.call([TIME, "-f", "%M", "-o", report.name] + cmd,
                               stdout=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        if code != 0:
            sys.exit(f"failed ({code}): {' '.join(cmd)}")
        peak_kib = int(report.read().split()[-1])
    return elapsed, peak_kib * 1024


class scratch:
    """A temporary directory reached through a symlink in the system's temp
    directory: files on /dev/shm (memory, no writeback noise) at a path not
    under /dev/, so that galaxy-ic replaces them as it replaces a user's
    file (temporary file and rename) instead of writing them in place."""

    def __init__(self, where):
        self.where = where

    def __enter__(self):
        self.real = tempfile.TemporaryDirectory(dir=self.where)
        self.link = tempfile.mktemp(prefix="galaxy-bench-")
        os.symlink(self.real.name, self.link)
        return self.link

    def __exit__(self, *exc):
        os.remove(self.link)
        self.real.cleanup()


def bench_arguments(runs, n=None):
    """The options every benchmark script takes: --build, --runs, --dir, and
    -n when the script has a particle count."""
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--runs", type=int, default=runs)
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    if n is not None:
        parser.add_argument("-n", type=int, default=n)
    return parser


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--large", action="store_true", help="add N = 10^7")
    parser.add_argument("--runs", type=int, default=0, help="runs per variant (default 7/7/5/3)")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the files are written (default /dev/shm: memory, so that "
                             "the disk's writeback does not add its noise to every variant)")
    args = parser.parse_args()

    shipped = os.path.join(args.build, "galaxy-ic")
    variants = os.path.join(args.build, "bench", "bench_variants")
    for path in (shipped, variants, TIME):
        if not os.access(path, os.X_OK):
            sys.exit(f"missing {path}: configure with -DGALAXY_BUILD_BENCH=ON and build")

    counts = [10**4, 10**5, 10**6] + ([10**7] if args.large else [])
    default_runs = {10**4: 7, 10**5: 7, 10**6: 5, 10**7: 3}
    rows, summary = [], []
    with scratch(args.dir) as tmp:
        out = os.path.join(tmp, "out.ini")
        for n in counts:
            # The shipped file's size tells the floor how much to write, and
            # its bytes must equal the baseline's.
            run([shipped, "-p", str(n), "-o", out])
            size = os.path.getsize(out)
            run([variants, "baseline", str(n), out + ".base"])
            if not filecmp.cmp(out, out + ".base", shallow=False):
                sys.exit(f"N={n}: shipped and baseline files differ")
            os.remove(out + ".base")
            commands = {
                "shipped": [shipped, "-p", str(n), "-o", out],
                "baseline": [variants, "baseline", str(n), out],
                "floor": [variants, "floor", str(n), str(size), out],
                "in-place": [shipped, "-p", str(n), "-o", "/proc/self/root" + out],
            }
            samples = {name: [] for name in commands}
            for _ in range(args.runs or default_runs[n]):
                for name, cmd in commands.items():
                    samples[name].append(run(cmd))
                    os.remove(out)
            medians = {}
            for name, values in samples.items():
                t = statistics.median(v[0] for v in values)
                rss = max(v[1] for v in values)
                medians[name] = (t, rss)
                rows.append((n, name, t, n / t, size / t / 1e6, rss / 2**20))
            budget = 60 * n + 16 * 2**20
            summary.append((n, medians, size, budget))

    print(f"{'N':>9} {'variant':>9} {'median s':>9} {'particles/s':>12} {'MB/s':>8} {'peak MiB':>9}")
    for n, name, t, pps, mbps, mib in rows:
        print(f"{n:>9} {name:>9} {t:>9.3f} {pps:>12.4g} {mbps:>8.1f} {mib:>9.1f}")
    print()
    print(f"{'N':>9} {'file MB':>8} {'shipped/baseline':>17} {'shipped/floor':>14} "
          f"{'shipped/in-place':>17} {'peak/budget':>12}")
    for n, m, size, budget in summary:
        print(f"{n:>9} {size / 1e6:>8.1f} {m['shipped'][0] / m['baseline'][0]:>17.3f} "
              f"{m['shipped'][0] / m['floor'][0]:>14.3f} "
              f"{m['shipped'][0] / m['in-place'][0]:>17.3f} {m['shipped'][1] / budget:>12.3f}")
    pps = {n: n / m["shipped"][0] for n, m, _, _ in summary}
    if 10**7 in pps:
        print(f"\nparticles/s at 10^7 relative to 10^6: {pps[10**7] / pps[10**6]:.3f}")


if __name__ == "__main__":
    main()
