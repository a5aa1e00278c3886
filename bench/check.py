#!/usr/bin/env python3
"""galaxy-check against the writer baseline: checking N particles (default
10^6) against writing the same file with one fprintf a line, paired and
interleaved (target: <= 0.14), and galaxy-check's peak memory against 64
bytes a particle + 32 MiB.

usage: bench/check.py [--build DIR] [--runs K] [--dir TMPDIR] [-n N]
"""
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import TIME, bench_arguments, scratch  # noqa: E402


def timed(cmd):
    """Wall seconds and peak RSS of a command that may exit 0 or 1."""
    import time
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        code = subprocess.call([TIME, "-f", "%M", "-o", report.name] + cmd, stdout=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        if code not in (0, 1):
            sys.exit(f"failed ({code}): {' '.join(cmd)}")
        return elapsed, int(report.read().split()[-1]) * 1024


def main():
    parser = bench_arguments(runs=5, n=10**6)
    args = parser.parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    check = os.path.join(args.build, "galaxy-check")
    variants = os.path.join(args.build, "bench", "bench_variants")
    with scratch(args.dir) as tmp:
        galaxy = os.path.join(tmp, "g.ini")
        subprocess.run([ic, "-p", str(args.n), "-o", galaxy], check=True)
        samples = {"baseline": [], "check": []}
        for _ in range(args.runs):
            samples["baseline"].append(timed([variants, "baseline", str(args.n), os.path.join(tmp, "b.ini")]))
            samples["check"].append(timed([check, galaxy]))
    m = {k: (statistics.median(t for t, _ in v), max(p for _, p in v)) for k, v in samples.items()}
    budget = 64 * args.n + 32 * 2**20
    print(f"baseline writer: median {m['baseline'][0]:.3f} s")
    print(f"galaxy-check:    median {m['check'][0]:.3f} s, peak {m['check'][1] / 2**20:.1f} MiB "
          f"({m['check'][1] / args.n:.0f} bytes a particle), peak/budget {m['check'][1] / budget:.3f}")
    print(f"check/baseline = {m['check'][0] / m['baseline'][0]:.3f}")


if __name__ == "__main__":
    main()
