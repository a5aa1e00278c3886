#!/usr/bin/python3
"""Galaxies of components: a Milky-Way-like galaxy of 10^6 particles (NFW
halo 10^12 Msun, r_s 20 kpc, tapered at 300 kpc; Hernquist bulge 10^10 Msun,
a 0.7 kpc; black hole 4e6 Msun), with equal particle masses and with 9e5
halo and 1e5 bulge particles.

- Whole runs, seeded, 2 threads, HDF5, paired and interleaved (medians of
  --runs): the galaxy against a one-component NFW profile run of the same N
  (target: <= 1.5 x).
- galaxy-check of the galaxy against its galaxy file (every line).
- Stationarity, model-free: each component's orbits integrated for 10 of
  its own half-mass crossing times t_h = sqrt(2 r50^3 / G M(< r50)) in the
  frozen monopole of all the particles, r10, r50, r90 against their start
  (target: within 1.5 %), as bench/stationarity.py integrates them.
The tables' time is bench/profile_bench's BM_BuildGalaxy.

usage: bench/composite.py [--build DIR] [--runs K] [--crossings T] [--dir TMPDIR] [--tracers N]
needs: numpy and h5py (Debian python3-numpy python3-h5py), /usr/bin/time
"""
import argparse
import os
import statistics
import subprocess
import sys

import h5py
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import run, scratch  # noqa: E402
from stationarity import evolve_in  # noqa: E402

GALAXY = """units = "astro"
seed = 1
{counts}
[[component]]
name = "halo"
role = "halo"
profile = "nfw"
mass = 1e12
scale_length = 20
cutoff = 300
{halo}
[[component]]
name = "bulge"
role = "bulge"
profile = "hernquist"
mass = 1e10
scale_length = 0.7
{bulge}
[black_hole]
mass = 4e6
"""

VARIANTS = {
    "equal particle masses": GALAXY.format(counts="particles = 1000000", halo="", bulge=""),
    "9e5 halo, 1e5 bulge": GALAXY.format(counts="", halo="particles = 900000", bulge="particles = 100000"),
}


def in_model_units(path):
    """Positions, velocities and masses in G = 1 units (kpc, Msun, and the
    matching velocity), and each particle type's range of rows."""
    g_astro = 4.300917e-6 * (6.673e-11 / 6.6743e-11)  # the program's G in kpc (km/s)^2 / Msun
    pos, vel, mass, ranges, first = [], [], [], {}, 0
    with h5py.File(path, "r") as f:
        for group in sorted(name for name in f if name.startswith("PartType")):
            g = f[group]
            pos.append(g["Coordinates"][...])
            vel.append(g["Velocities"][...] / np.sqrt(g_astro))
            mass.append(g["Masses"][...])
            ranges[int(group[8:])] = (first, first + len(mass[-1]))
            first += len(mass[-1])
    return np.concatenate(pos), np.concatenate(vel), np.concatenate(mass), ranges


def stationarity(pos, vel, mass, ranges, crossings, tracers):
    """Each part's worst change of r10, r50, r90 over `crossings` of its own
    t_h, in the frozen potential of all the particles. In a frozen potential
    orbits are independent: every k-th particle of a part (at most
    `tracers` of them) follows the whole part's quantiles."""
    r = np.sqrt((pos * pos).sum(axis=1))
    hole = r == 0.0  # the black hole, a point mass at the centre
    order = np.argsort(r[~hole])
    rs, ms = r[~hole][order], mass[~hole][order]
    knots = np.unique(np.linspace(0, len(rs) - 1, 8193).astype(int))
    knot_r, knot_m = rs[knots], (np.cumsum(ms) - 0.5 * ms)[knots]
    point = mass[hole].sum()

    def total_mass(x):
        inside = np.interp(np.log(np.maximum(x, 1e-300)), np.log(knot_r), knot_m)
        inner = x < knot_r[0]
        inside[inner] = knot_m[0] * (x[inner] / knot_r[0]) ** 3
        return inside + point

    results = {}
    for name, (first, last) in ranges.items():
        step = max(1, (last - first) // tracers)
        p, v = pos[first:last:step].copy(), vel[first:last:step].copy()
        r50 = np.quantile(np.sqrt((p * p).sum(axis=1)), 0.5)
        t_h = np.sqrt(2 * r50 ** 3 / total_mass(np.array([r50]))[0])
        history = evolve_in(p, v, total_mass, t_h, crossings)
        results[name] = np.max(np.abs(np.array([h for _, h in history]) - 1.0), axis=0)
    return results


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--crossings", type=int, default=10)
    parser.add_argument("--dir", default="/dev/shm")
    parser.add_argument("--tracers", type=int, default=100000)
    args = parser.parse_args()
    ic, check = os.path.join(args.build, "galaxy-ic"), os.path.join(args.build, "galaxy-check")
    with scratch(args.dir) as tmp:
        out = os.path.join(tmp, "g.hdf5")
        for label, text in VARIANTS.items():
            toml = os.path.join(tmp, "g.toml")
            with open(toml, "w") as f:
                f.write(text)
            galaxy, profile = [], []
            common = ["--threads", "2", "--format", "hdf5", "-o", out]
            for _ in range(args.runs):
                galaxy.append(run([ic, "--galaxy", toml, *common])[0])
                profile.append(run([ic, "--profile", "nfw", "--units", "astro", "--mass", "1e12", "--scale-length", "20",
                                    "--cutoff", "300", "--seed", "1", "-p", "1000001", *common])[0])
            a, b = statistics.median(galaxy), statistics.median(profile)
            subprocess.run([ic, "--galaxy", toml, *common], check=True)
            report = subprocess.run([check, out, "--galaxy", toml], capture_output=True, text=True).stdout
            lines = [line for line in report.splitlines() if "virial" in line or "verdict" in line or "Jeans" in line]
            print(f"{label}: galaxy {a:.3f} s, one-component profile {b:.3f} s, ratio {a / b:.3f}")
            for line in lines:
                print("   ", " ".join(line.split()))
            pos, vel, mass, by_type = in_model_units(out)
            ranges = {"halo": by_type[1], "bulge": by_type[3]}
            for name, worst in stationarity(pos, vel, mass, ranges, args.crossings, args.tracers).items():
                print(f"    {name}: largest change over {args.crossings} of its t_h: r10 {worst[0]:.2%}, "
                      f"r50 {worst[1]:.2%}, r90 {worst[2]:.2%}", flush=True)


if __name__ == "__main__":
    main()
