#!/usr/bin/python3
"""Does each model stay as it starts? Every particle's orbit of a seeded
sample integrated in the model's own, fixed potential (no self-gravity
noise), for 10 crossing times: r10, r50 and r90 against their start.

The potential is computed here from each density's formula (numpy, on a
fine grid of ln r), not from galaxy-ic's tables: model units G = M = a = 1,
leapfrog (kick-drift-kick) with a fixed step. Target: each radius within
1.5 % of its start for hernquist, plummer, dehnen:0.5, nfw tapered at 10 a
and hernquist with r_a = a. --equilibrium and the defined law (the
truncated Hernquist sphere's potential) are shown beside them.

usage: bench/stationarity.py [--build DIR] [-n N] [--crossings T] [--svg FILE]
needs: numpy and h5py (Debian python3-numpy python3-h5py)
"""
import argparse
import os
import subprocess
import tempfile

import h5py
import numpy as np

CASES = [
    ("hernquist", ["--profile", "hernquist"], (1, 4, 1, 0)),
    ("plummer", ["--profile", "plummer"], (2, 5, 0, 0)),
    ("dehnen:0.5", ["--profile", "dehnen:0.5"], (1, 4, 0.5, 0)),
    ("nfw, taper 10 a", ["--profile", "nfw", "--cutoff", "10"], (1, 3, 1, 10)),
    ("hernquist, r_a = a", ["--profile", "hernquist", "--anisotropy-radius", "1"], (1, 4, 1, 0)),
    ("--equilibrium", ["--equilibrium"], None),
    ("defined law", [], None),
]


def enclosed_mass(shape):
    """M(r) of a density, normalised to 1, as a function on a grid of ln r;
    None: the truncated Hernquist sphere (r_max = 8 a) of the defined laws."""
    if shape is None:
        return lambda r: np.where(r < 8.0, r * r / ((1 + r) ** 2) / (64.0 / 81.0), 1.0)
    alpha, beta, gamma, taper = shape
    lnr = np.linspace(np.log(1e-8), np.log(1e8), 200001)
    r = np.exp(lnr)
    rho = r ** -gamma * (1 + r ** alpha) ** ((gamma - beta) / alpha)
    if taper:
        rho = rho * np.exp(-(r / taper) ** 2)
    dm = 4 * np.pi * rho * r ** 3
    m = np.concatenate([[dm[0] / (3 - gamma)], dm[0] / (3 - gamma) + np.cumsum(0.5 * (dm[1:] + dm[:-1]) * np.diff(lnr))])
    m /= m[-1]
    return lambda x: np.interp(np.log(np.maximum(x, 1e-8)), lnr, m)


def quantiles(pos):
    return np.quantile(np.sqrt((pos * pos).sum(axis=1)), [0.1, 0.5, 0.9])


def evolve(pos, vel, mass_of, crossings, steps_per_crossing):
    r50 = quantiles(pos)[1]
    crossing = np.sqrt(r50 ** 3)  # r50 / sqrt(G M / r50)
    dt = crossing / steps_per_crossing

    def acc(x):
        r = np.sqrt((x * x).sum(axis=1))
        return -(mass_of(r) / np.maximum(r, 1e-12) ** 3)[:, None] * x

    start = quantiles(pos)
    history = [(0.0, np.ones(3))]
    a = acc(pos)
    for step in range(1, crossings * steps_per_crossing + 1):
        vel += 0.5 * dt * a
        pos += dt * vel
        a = acc(pos)
        vel += 0.5 * dt * a
        if step % (steps_per_crossing // 4) == 0:
            history.append((step / steps_per_crossing, quantiles(pos) / start))
    return history


def svg(results, path):
    width, height, pad, panel = 900, 330, 45, 270
    colours = ["#1f77b4", "#2ca02c", "#9467bd", "#8c564b", "#17becf", "#ff7f0e", "#d62728"]
    y_lo, y_hi = 0.8, 1.2
    parts = []
    for q, name in enumerate(["r10", "r50", "r90"]):
        x0 = pad + q * (panel + 25)
        t_max = max(h[-1][0] for _, h in results)
        for i, (label, history) in enumerate(results):
            points = " ".join(
                f"{x0 + t / t_max * panel:.1f},{height - pad - (min(max(r[q], y_lo), y_hi) - y_lo) / (y_hi - y_lo) * (height - 2 * pad):.1f}"
                for t, r in history)
            parts.append(f'<polyline fill="none" stroke="{colours[i]}" stroke-width="1.6" points="{points}"/>')
        for level in (0.985, 1.0, 1.015):
            y = height - pad - (level - y_lo) / (y_hi - y_lo) * (height - 2 * pad)
            parts.append(f'<line x1="{x0}" y1="{y:.1f}" x2="{x0 + panel}" y2="{y:.1f}" stroke="#bbb" stroke-dasharray="3"/>')
        parts.append(f'<rect x="{x0}" y="{pad}" width="{panel}" height="{height - 2 * pad}" fill="none" stroke="black"/>')
        parts.append(f'<text x="{x0 + 5}" y="{pad - 8}">{name} / initial ({y_lo} to {y_hi}); dashes at ±1.5 %</text>')
        parts.append(f'<text x="{x0 + panel / 2 - 60}" y="{height - pad + 18}">time (0 to {t_max:g} crossings)</text>')
    for i, (label, _) in enumerate(results):
        parts.append(f'<text x="{pad + 130 * (i % 7)}" y="{height - 5}" fill="{colours[i]}">{label}</text>')
    with open(path, "w") as f:
        f.write(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" font-family="sans-serif" '
                f'font-size="12"><rect width="100%" height="100%" fill="white"/>' + "".join(parts) + "</svg>\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("-n", type=int, default=100000)
    parser.add_argument("--crossings", type=int, default=10)
    parser.add_argument("--steps", type=int, default=400, help="steps a crossing time")
    parser.add_argument("--svg")
    args = parser.parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "g.hdf5")
        for label, options, shape in CASES:
            subprocess.run([ic, "--seed", "1", "-p", str(args.n), "--units", "model", "--format", "hdf5",
                            "-o", path, *options], check=True)
            with h5py.File(path, "r") as f:
                pos = f["PartType1/Coordinates"][...]
                vel = f["PartType1/Velocities"][...]
            history = evolve(pos, vel, enclosed_mass(shape), args.crossings, args.steps)
            worst = np.max(np.abs(np.array([r for _, r in history]) - 1.0), axis=0)
            print(f"{label:22s} largest change of r10 {worst[0]:6.2%}  r50 {worst[1]:6.2%}  r90 {worst[2]:6.2%}"
                  f"  (end: {history[-1][1][0]:.4f} {history[-1][1][1]:.4f} {history[-1][1][2]:.4f})", flush=True)
            results.append((label, history))
    if args.svg:
        svg(results, args.svg)


if __name__ == "__main__":
    main()
