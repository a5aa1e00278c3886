#!/usr/bin/env python3
"""Profiles against the defined law: paired whole runs of galaxy-ic,
seeded, at the same N and threads (target: wall <= 1.5 x the defined
law's), and the virial ratio 2K/|W| of a seeded 1e5 sample of each, as
galaxy-check measures it (target: 1 +- 0.01).

usage: bench/profiles.py [--build DIR] [--runs K] [--dir TMPDIR] [--threads T] [-n N]
"""
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import bench_arguments, run, scratch  # noqa: E402

PROFILES = {"hernquist": ["--profile", "hernquist"], "plummer": ["--profile", "plummer"],
            "dehnen:0.5": ["--profile", "dehnen:0.5"], "nfw, taper 10 a": ["--profile", "nfw", "--cutoff", "1e19"],
            "nfw, taper 30 a, xi 4": ["--profile", "nfw", "--cutoff", "3e19", "--cutoff-strength", "4"],
            "plummer, taper 3 a, xi 1": ["--profile", "plummer", "--cutoff", "3e18", "--cutoff-strength", "1"],
            "hernquist, r_a = a": ["--profile", "hernquist", "--anisotropy-radius", "1e18"]}


def main():
    parser = bench_arguments(runs=5, n=10**6)
    parser.add_argument("--threads", default="2")
    args = parser.parse_args()
    ic, check = os.path.join(args.build, "galaxy-ic"), os.path.join(args.build, "galaxy-check")
    with scratch(args.dir) as tmp:
        out = os.path.join(tmp, "g.hdf5")
        common = [ic, "--seed", "1", "-p", str(args.n), "--threads", args.threads, "--format", "hdf5", "-o", out]
        for label, options in PROFILES.items():
            defined, profile = [], []
            for _ in range(args.runs):
                defined.append(run(common)[0])
                profile.append(run(common + options)[0])
            a, b = statistics.median(defined), statistics.median(profile)
            subprocess.run([ic, "--seed", "1", "-p", "100000", "--format", "hdf5", "-o", out, *options], check=True)
            report = subprocess.run([check, out], capture_output=True, text=True).stdout
            virial = [line[28:].split(" in ")[0] for line in report.splitlines() if "virial ratio 2K/|W|" in line]
            verdict = report.strip().splitlines()[-1]
            print(f"{label:20s} defined {a:6.3f} s  profile {b:6.3f} s  ratio {b / a:.3f}   "
                  f"1e5: 2K/|W| {virial[0] if virial else '?'}, galaxy-check {verdict}")


if __name__ == "__main__":
    main()
