#!/usr/bin/python3
"""Does the galaxy stay as it starts? A user's check of both laws.

Evolves N particles of the defined law and of --equilibrium (both seeded)
with a direct-summation leapfrog (softening 0.05 a, G as galaxy-ic uses),
for a few crossing times, and prints the half-mass radius against time and
the energy error; --svg FILE also draws the half-mass radii.

usage: bench/nbody.py [--build DIR] [-n N] [--crossings T] [--svg FILE]
needs: numpy (Debian python3-numpy)
"""
import argparse
import os
import subprocess
import tempfile

import numpy as np

G = 6.673e-11
A = 1e18


def read_particles(path):
    values = {"mass": [], "x_0": [], "x_1": [], "x_2": [], "v_0": [], "v_1": [], "v_2": []}
    with open(path) as f:
        for line in f:
            key, sep, value = line.partition(" = ")
            if sep:
                values[key].append(float(value))
    pos = np.array([values["x_0"], values["x_1"], values["x_2"]]).T
    vel = np.array([values["v_0"], values["v_1"], values["v_2"]]).T
    return np.array(values["mass"]), pos, vel


def accelerations(pos, mass, eps2):
    d = pos[None, :, :] - pos[:, None, :]
    r2 = (d * d).sum(axis=2) + eps2
    inv = r2 ** -1.5
    np.fill_diagonal(inv, 0.0)
    return G * (d * (mass[None, :] * inv)[:, :, None]).sum(axis=1)


def energy(pos, vel, mass, eps2):
    d = pos[None, :, :] - pos[:, None, :]
    r = np.sqrt((d * d).sum(axis=2) + eps2)
    np.fill_diagonal(r, np.inf)
    potential = -0.5 * G * (mass[:, None] * mass[None, :] / r).sum()
    return 0.5 * (mass[:, None] * vel * vel).sum() + potential, potential


def half_mass_radius(pos, mass):
    centre = (mass[:, None] * pos).sum(axis=0) / mass.sum()
    return np.median(np.sqrt(((pos - centre) ** 2).sum(axis=1)))


def evolve(path, crossings, steps_per_crossing=200):
    mass, pos, vel = read_particles(path)
    eps2 = (0.05 * A) ** 2
    e0, w0 = energy(pos, vel, mass, eps2)
    kinetic = e0 - w0
    r_h = half_mass_radius(pos, mass)
    v_rms = np.sqrt(2.0 * kinetic / mass.sum())
    t_cross = r_h / v_rms
    dt = t_cross / steps_per_crossing
    acc = accelerations(pos, mass, eps2)
    history = [(0.0, 1.0)]
    for step in range(1, int(crossings * steps_per_crossing) + 1):
        vel += 0.5 * dt * acc
        pos += dt * vel
        acc = accelerations(pos, mass, eps2)
        vel += 0.5 * dt * acc
        if step % (steps_per_crossing // 10) == 0:
            history.append((step / steps_per_crossing, half_mass_radius(pos, mass) / r_h))
    e1, _ = energy(pos, vel, mass, eps2)
    return 2.0 * kinetic / abs(w0), history, abs(e1 - e0) / abs(e0)


def svg(histories, path):
    width, height, pad = 640, 360, 50
    t_max = max(h[-1][0] for _, h, _ in histories)
    lines = []
    colours = {"defined law": "#d62728", "--equilibrium": "#1f77b4"}
    y_lo, y_hi = 0.5, 1.2
    for label, history, _ in histories:
        points = " ".join(
            f"{pad + t / t_max * (width - 2 * pad):.1f},"
            f"{height - pad - (r - y_lo) / (y_hi - y_lo) * (height - 2 * pad):.1f}"
            for t, r in history)
        lines.append(f'<polyline fill="none" stroke="{colours[label]}" stroke-width="2" points="{points}"/>')
    legend = "".join(
        f'<text x="{width - 200}" y="{pad + 20 * i}" fill="{colours[label]}">{label}</text>'
        for i, (label, _, _) in enumerate(histories))
    one = height - pad - (1.0 - y_lo) / (y_hi - y_lo) * (height - 2 * pad)
    with open(path, "w") as f:
        f.write(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
                f'font-family="sans-serif" font-size="13">'
                f'<rect width="100%" height="100%" fill="white"/>'
                f'<line x1="{pad}" y1="{one}" x2="{width - pad}" y2="{one}" stroke="#999" stroke-dasharray="4"/>'
                f'<line x1="{pad}" y1="{height - pad}" x2="{width - pad}" y2="{height - pad}" stroke="black"/>'
                f'<line x1="{pad}" y1="{pad}" x2="{pad}" y2="{height - pad}" stroke="black"/>'
                f'<text x="{width / 2 - 60}" y="{height - 15}">time (crossing times)</text>'
                f'<text x="8" y="{pad - 15}">half-mass radius / initial (axis {y_lo} to {y_hi})</text>'
                f'<text x="{pad - 5}" y="{height - pad + 15}">0</text>'
                f'<text x="{width - pad - 5}" y="{height - pad + 15}">{t_max:g}</text>'
                + "".join(lines) + legend + "</svg>\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("-n", type=int, default=1000)
    parser.add_argument("--crossings", type=float, default=2.0)
    parser.add_argument("--svg")
    args = parser.parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    histories = []
    with tempfile.TemporaryDirectory() as tmp:
        for label, extra in (("defined law", []), ("--equilibrium", ["--equilibrium"])):
            path = os.path.join(tmp, "g.ini")
            subprocess.run([ic, "--seed", "1", "-p", str(args.n), "-o", path, *extra], check=True)
            virial, history, drift = evolve(path, args.crossings)
            histories.append((label, history, drift))
            print(f"{label:>14}: 2K/|W| = {virial:.3f}, half-mass radius after {history[-1][0]:g} "
                  f"crossing times: {history[-1][1]:.3f} of its start "
                  f"(lowest {min(r for _, r in history):.3f}), energy error {drift:.1e}")
    if args.svg:
        svg(histories, args.svg)


if __name__ == "__main__":
    main()
