#!/usr/bin/python3
"""Does each model stay as it starts, in its own particles' potential?

For each model of the grid, a seeded sample (model units G = M = a = 1) is
made by galaxy-ic and held by galaxy-check (its Jeans test and its virial
ratio 2K/|W| in the sample's own potential); then every particle's orbit is
integrated for 10 half-mass crossing times in the frozen potential of the
particles themselves: the monopole of their sorted radii (M(r) linear in
ln r between 4096 radii of equal mass), nothing from the formula or the
generator's tables. r10, r50 and r90 are followed against their start.

The time unit is the half-mass crossing time t_h = r50 / v_c(r50) =
sqrt(2 r50^3 / (G M)). Orbits are leapfrogs (kick-drift-kick); each
particle takes steps of t_h / 100 halved (up to 2^10 times) until they are
below 1/40 of its local dynamical time sqrt(r^3 / G M(r)), re-chosen every
step: only the innermost 1e-4 or so of a cusp's particles are left with
coarser steps, which no quantile sees.

Targets: 2K/|W| within 1 +- 0.01, Jeans p >= 1e-3, r10, r50 and r90 within
1.5 % of their start. --equilibrium and the defined law are shown beside.

usage: bench/stationarity.py [--build DIR] [-n N] [--crossings T] [--jobs J]
                             [--svg FILE] [--only SUBSTRING]
needs: numpy and h5py (Debian python3-numpy python3-h5py)
"""
import argparse
import multiprocessing
import os
import subprocess
import tempfile

import h5py
import numpy as np


def grid():
    cases = []
    for name in ("hernquist", "plummer", "jaffe", "dehnen:0.5", "zhao:2,5,0.5"):
        cases.append((name, ["--profile", name]))
        for taper in ("3", "10"):
            for xi in ("1", "2", "4"):
                cases.append((f"{name}, r_c {taper}, xi {xi}",
                              ["--profile", name, "--cutoff", taper, "--cutoff-strength", xi]))
    for taper in ("10", "30"):
        for xi in ("1", "2", "4"):
            cases.append((f"nfw, r_c {taper}, xi {xi}", ["--profile", "nfw", "--cutoff", taper, "--cutoff-strength", xi]))
    cases.append(("hernquist, r_a = a", ["--profile", "hernquist", "--anisotropy-radius", "1"]))
    cases.append(("plummer, r_a = a", ["--profile", "plummer", "--anisotropy-radius", "1"]))
    cases.append(("--equilibrium", ["--equilibrium"]))
    cases.append(("defined law", []))
    return cases


def own_mass(r):
    """M(r) of the sample itself, as a function: linear in ln r between the
    radii of 4096 equal-mass shells, r^3 inside the first, all beyond."""
    order = np.sort(r)
    n = len(order)
    picks = np.unique(np.linspace(0, n - 1, 4097).astype(int))
    knots_r = order[picks]
    knots_m = (picks + 0.5) / n
    log_r = np.log(knots_r)

    def mass(x):
        inside = np.interp(np.log(np.maximum(x, 1e-300)), log_r, knots_m)
        inner = x < knots_r[0]
        inside[inner] = knots_m[0] * (x[inner] / knots_r[0]) ** 3
        return inside
    return mass


def quantiles(pos):
    return np.quantile(np.sqrt((pos * pos).sum(axis=1)), [0.1, 0.5, 0.9])


def evolve_in(pos, vel, mass, t_h, crossings, steps_per_crossing=100, eta=1.0 / 40, max_level=10):
    """Leapfrogs of every particle in the frozen field -M(r) / r^2 for
    `crossings` of t_h, each particle's step halved (up to 2^max_level times)
    until it is below eta of its local dynamical time; r10, r50, r90 against
    their start, four times a crossing."""
    dt = t_h / steps_per_crossing

    def acc(x):
        r = np.sqrt((x * x).sum(axis=1))
        return -(mass(r) / np.maximum(r, 1e-300) ** 3)[:, None] * x

    start = quantiles(pos)
    history = [(0.0, np.ones(3))]
    for step in range(1, crossings * steps_per_crossing + 1):
        r = np.sqrt((pos * pos).sum(axis=1))
        t_dyn = np.sqrt(np.maximum(r, 1e-300) ** 3 / np.maximum(mass(r), 1e-300))
        level = np.clip(np.ceil(np.log2(dt / (eta * t_dyn))), 0, max_level).astype(int)
        for lv in np.unique(level):
            idx = np.nonzero(level == lv)[0]
            x, v, h = pos[idx], vel[idx], dt / 2 ** lv
            a = acc(x)
            for _ in range(2 ** lv):
                v += 0.5 * h * a
                x += h * v
                a = acc(x)
                v += 0.5 * h * a
            pos[idx], vel[idx] = x, v
        if step % (steps_per_crossing // 4) == 0:
            history.append((step / steps_per_crossing, quantiles(pos) / start))
    return history


def evolve(pos, vel, crossings):
    """The orbits in the sample's own frozen monopole, for `crossings` of its t_h."""
    r0 = np.sqrt((pos * pos).sum(axis=1))
    mass = own_mass(r0)
    r50 = quantiles(pos)[1]
    return evolve_in(pos, vel, mass, np.sqrt(2 * r50 ** 3), crossings)


def check_figures(check, path):
    report = subprocess.run([check, path], capture_output=True, text=True).stdout
    lines = {line[2:28].strip(): line[28:].rsplit(None, 1) for line in report.splitlines() if line.startswith("  ")}
    virial = lines.get("virial ratio 2K/|W|", ["?", "?"])
    jeans = lines.get("Jeans equation", ["", "none"])
    p = jeans[0].split("p = ")[1].split(";")[0] if "p = " in jeans[0] else "-"
    return virial[0].split(" in ")[0], p, report.strip().splitlines()[-1].split()[-1]


def one_case(job):
    label, options, ic, check, n, crossings = job
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "g.hdf5")
        subprocess.run([ic, "--seed", "1", "-p", str(n), "--units", "model", "--format", "hdf5", "-o", path,
                        *options], check=True)
        virial, jeans_p, verdict = check_figures(check, path)
        with h5py.File(path, "r") as f:
            pos = f["PartType1/Coordinates"][...]
            vel = f["PartType1/Velocities"][...]
    history = evolve(pos, vel, crossings)
    worst = np.max(np.abs(np.array([h for _, h in history]) - 1.0), axis=0)
    return label, virial, jeans_p, verdict, worst, history


def svg(results, path):
    width, height, pad, panel = 900, 360, 45, 270
    colours = ["#1f77b4", "#2ca02c", "#9467bd", "#8c564b", "#17becf", "#bcbd22", "#e377c2", "#ff7f0e", "#d62728"]
    y_lo, y_hi = 0.8, 1.2
    parts = []
    t_max = max(h[-1][0] for _, h in results)
    for q, name in enumerate(["r10", "r50", "r90"]):
        x0 = pad + q * (panel + 25)
        for i, (label, history) in enumerate(results):
            points = " ".join(
                f"{x0 + t / t_max * panel:.1f},"
                f"{height - pad - 20 - (min(max(r[q], y_lo), y_hi) - y_lo) / (y_hi - y_lo) * (height - 2 * pad - 20):.1f}"
                for t, r in history)
            parts.append(f'<polyline fill="none" stroke="{colours[i % len(colours)]}" stroke-width="1.6" '
                         f'points="{points}"/>')
        for level in (0.985, 1.0, 1.015):
            y = height - pad - 20 - (level - y_lo) / (y_hi - y_lo) * (height - 2 * pad - 20)
            parts.append(f'<line x1="{x0}" y1="{y:.1f}" x2="{x0 + panel}" y2="{y:.1f}" stroke="#bbb" '
                         f'stroke-dasharray="3"/>')
        parts.append(f'<rect x="{x0}" y="{pad}" width="{panel}" height="{height - 2 * pad - 20}" fill="none" '
                     f'stroke="black"/>')
        parts.append(f'<text x="{x0 + 5}" y="{pad - 8}">{name} / initial ({y_lo} to {y_hi}); dashes at ±1.5 %</text>')
        parts.append(f'<text x="{x0 + panel / 2 - 70}" y="{height - pad - 2}">time (0 to {t_max:g} t_h)</text>')
    for i, (label, _) in enumerate(results):
        parts.append(f'<text x="{pad + 210 * (i % 4)}" y="{height - 22 + 14 * (i // 4)}" '
                     f'fill="{colours[i % len(colours)]}">{label}</text>')
    with open(path, "w") as f:
        f.write(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height + 14}" '
                f'font-family="sans-serif" font-size="12"><rect width="100%" height="100%" fill="white"/>'
                + "".join(parts) + "</svg>\n")


PICTURED = ("hernquist", "plummer", "nfw, r_c 10, xi 2", "nfw, r_c 30, xi 4", "plummer, r_c 3, xi 4",
            "hernquist, r_a = a", "--equilibrium", "defined law")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("-n", type=int, default=100000)
    parser.add_argument("--crossings", type=int, default=10)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", default="")
    parser.add_argument("--svg")
    args = parser.parse_args()
    ic, check = os.path.join(args.build, "galaxy-ic"), os.path.join(args.build, "galaxy-check")
    jobs = [(label, options, ic, check, args.n, args.crossings) for label, options in grid()
            if args.only in label]
    print(f"{'model':26s} {'2K/|W| (own potential)':24s} {'Jeans p':9s} check  largest change of r10    r50    r90")
    pictured = []
    with multiprocessing.Pool(args.jobs) as pool:
        for label, virial, jeans_p, verdict, worst, history in pool.imap(one_case, jobs):
            print(f"{label:26s} {virial:24s} {jeans_p:9s} {verdict:6s} {worst[0]:18.2%} {worst[1]:6.2%} "
                  f"{worst[2]:6.2%}", flush=True)
            if label in PICTURED:
                pictured.append((label, history))
    if args.svg:
        svg(pictured, args.svg)


if __name__ == "__main__":
    main()
