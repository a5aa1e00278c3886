#!/usr/bin/python3
"""Does a disc galaxy stay as it starts, in its own particles' potential?

A seeded disc galaxy (default: the README's Milky-Way-like example, 10^6
halo, 10^6 disc, 2*10^5 bulge particles and the black hole) is made by
galaxy-ic; every particle's mass, azimuthally averaged into rings on a
stretched (R, z) grid, gives the frozen potential (bench/axisymmetric_orbits:
each ring's exact field, nothing from a formula or the generator's tables),
and tracers (every k-th particle of each component) are followed in it for
10 rotation periods at 2.2 R_d, P = 2 pi R / v_c with v_c^2 = G M(< R) / R
of the particles within that sphere. Against their start:
  the disc's R10, R50, R90 (target 2 %); its median |z| in rings of +-10 %
  about R_d, 2 R_d, 3 R_d (5 %); sigma_R and sigma_z in the ring about R_d
  (5 %); Sigma(R) in 14 rings from 0.5 to 4 R_d (5 %), also in sigmas of
  the tracers' exchange between rings, which an equilibrium shows too; the
  halo's and the bulge's r10, r50, r90 (2 %).
The grid's default 192 x 384 cells hold the midplane circular speed within
5e-4 of twice as many in z; 96 x 192 put it 0.5 % high.
--cold F runs the same with the disc's vertical speeds scaled by F as well
(0.8 by default), to show what the bench sees of a disc out of equilibrium.

usage: bench/disc_stationarity.py [--build DIR] [--galaxy FILE.toml]
          [--tracers N] [--periods P] [--cold F] [--svg FILE]
needs: numpy and h5py (Debian python3-numpy python3-h5py)
"""
import argparse
import os
import re
import subprocess
import tempfile

import h5py
import numpy as np

G = 4.300917e-6 * (6.673e-11 / 6.6743e-11)  # the program's G, kpc (km/s)^2 / Msun
HERE = os.path.dirname(os.path.abspath(__file__))


def readme_galaxy():
    text = open(os.path.join(HERE, "..", "README.md")).read()
    block = re.search(r"```toml\n(# disc_galaxy.toml.*?)```", text, re.S).group(1)
    return block


def load(path):
    parts = {}
    with h5py.File(path, "r") as f:
        for group in sorted(n for n in f if n.startswith("PartType")):
            g = f[group]
            parts[int(group[8:])] = (g["Coordinates"][...], g["Velocities"][...], g["Masses"][...])
    return parts


def quantiles(r):
    return np.quantile(r, [0.1, 0.5, 0.9])


def disc_figures(x, v, R_d, edges):
    R = np.hypot(x[:, 0], x[:, 1])
    c, s = x[:, 0] / R, x[:, 1] / R
    vR = v[:, 0] * c + v[:, 1] * s
    out = {"R": quantiles(R)}
    for k in (1, 2, 3):
        ring = np.abs(R / (k * R_d) - 1) < 0.1
        out["z%d" % k] = np.median(np.abs(x[ring, 2]))
    ring = np.abs(R / R_d - 1) < 0.1
    out["sR"] = np.std(vR[ring])
    out["sz"] = np.std(v[ring, 2])
    out["Sigma"] = np.histogram(R / R_d, bins=edges)[0].astype(float)
    return out


def run(build, path, tracers, periods, cold, work, cells=(192, 384)):
    parts = load(path)
    halo, disc, bulge = parts[1], parts[2], parts.get(3)
    x_all = np.concatenate([p[0] for p in parts.values()])
    m_all = np.concatenate([p[2] for p in parts.values()])
    R_d = float(np.median(np.hypot(disc[0][:, 0], disc[0][:, 1]))) / 1.6783  # median R of an exponential
    z_d = float(np.median(np.abs(disc[0][:, 2]))) / np.arctanh(0.5)  # of a sech^2 layer
    r_all = np.linalg.norm(x_all, axis=1)
    R22 = 2.2 * R_d
    vc = np.sqrt(G * m_all[r_all < R22].sum() / R22)
    T = periods * 2 * np.pi * R22 / vc
    records, followed = [], {}
    first = 0
    for kind, (x, v, m) in parts.items():
        v = v.copy()
        if kind == 2 and cold != 1.0:
            v[:, 2] *= cold
        stride = max(1, len(m) // tracers)
        flag = np.zeros(len(m))
        flag[::stride] = 1.0 if kind != 5 else 0.0  # the black hole stays
        records.append(np.column_stack([x, v, m, flag]))
        followed[kind] = (x[::stride], v[::stride], first, first + int(flag.sum()))
        first += int(flag.sum())
    data = np.concatenate(records).astype(np.float64)
    inp, out = os.path.join(work, "in.bin"), os.path.join(work, "out.bin")
    data.tofile(inp)
    snapshots = 10
    subprocess.run([os.path.join(build, "bench", "axisymmetric_orbits"), inp, out, repr(T), str(snapshots),
                    repr(R_d / 6.0 * 96 / cells[0]), repr(z_d / 10.0), str(cells[0]), str(cells[1])], check=True)
    end = np.fromfile(out).reshape(snapshots, first, 6)
    edges = np.linspace(0.5, 4.0, 15)
    start = disc_figures(followed[2][0], followed[2][1], R_d, edges)
    history = []
    for shot in range(snapshots):
        a, b = followed[2][2], followed[2][3]
        history.append(disc_figures(end[shot, a:b, :3], end[shot, a:b, 3:], R_d, edges))
        # Tracers move between rings even in equilibrium: the change's own
        # scatter is that of the counts that left and came in.
        ring0 = np.digitize(np.hypot(followed[2][0][:, 0], followed[2][0][:, 1]) / R_d, edges)
        ring1 = np.digitize(np.hypot(end[shot, a:b, 0], end[shot, a:b, 1]) / R_d, edges)
        moved = np.array([np.sum((ring0 == i) != (ring1 == i)) for i in range(1, len(edges))], dtype=float)
        history[-1]["noise"] = np.sqrt(moved)
    spheres = {}
    for kind, name in ((1, "halo"), (3, "bulge")):
        if kind not in followed:
            continue
        a, b = followed[kind][2], followed[kind][3]
        q0 = quantiles(np.linalg.norm(followed[kind][0], axis=1))
        q1 = quantiles(np.linalg.norm(end[-1, a:b, :3], axis=1))
        spheres[name] = 100 * np.abs(q1 / q0 - 1)
    return R_d, T, start, history, spheres, {k: v[3] - v[2] for k, v in followed.items()}


def changes(start, now):
    pct = lambda a, b: 100 * abs(b / a - 1)
    return {"R10": pct(start["R"][0], now["R"][0]), "R50": pct(start["R"][1], now["R"][1]),
            "R90": pct(start["R"][2], now["R"][2]), "z(R_d)": pct(start["z1"], now["z1"]),
            "z(2R_d)": pct(start["z2"], now["z2"]), "z(3R_d)": pct(start["z3"], now["z3"]),
            "sigma_R(R_d)": pct(start["sR"], now["sR"]), "sigma_z(R_d)": pct(start["sz"], now["sz"]),
            "Sigma(R)": float(np.max(100 * np.abs(now["Sigma"] / start["Sigma"] - 1)))}


def svg(path, runs, periods):
    """Median |z| at R_d and the largest Sigma change, against time."""
    w, h, pad = 720, 300, 50
    lines = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
             'font-size="12">' % (2 * w, h), '<rect width="100%" height="100%" fill="white"/>']
    for panel, (key, label, top) in enumerate((("z(R_d)", "median |z| at R_d, % change", 60),
                                               ("Sigma(R)", "largest change of Sigma(R), 0.5-4 R_d, %", 60))):
        x0 = panel * w
        lines.append('<text x="%d" y="20">%s</text>' % (x0 + pad, label))
        lines.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (x0 + pad, h - pad, x0 + w - 20, h - pad))
        lines.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (x0 + pad, 30, x0 + pad, h - pad))
        for tick in range(0, top + 1, 10):
            y = h - pad - (h - pad - 30) * tick / top
            lines.append('<text x="%d" y="%.0f" text-anchor="end">%d</text>' % (x0 + pad - 4, y + 4, tick))
        lines.append('<text x="%d" y="%d">time (rotation periods at 2.2 R_d)</text>' % (x0 + pad + 150, h - 15))
        for colour, (name, (start, history)) in zip(("#1f77b4", "#d62728"), runs.items()):
            pts = [(0.0, 0.0)] + [((i + 1) * periods / len(history), changes(start, s)[key]) for i, s in enumerate(history)]
            xy = " ".join("%.1f,%.1f" % (x0 + pad + (w - pad - 20) * t / periods,
                                         h - pad - (h - pad - 30) * min(v, top) / top) for t, v in pts)
            lines.append('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>' % (colour, xy))
            lines.append('<text x="%d" y="%d" fill="%s">%s</text>' % (x0 + w - 260, 50 + 16 * list(runs).index(name),
                                                                     colour, name))
    lines.append("</svg>")
    open(path, "w").write("\n".join(lines))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--galaxy")
    ap.add_argument("--tracers", type=int, default=100000)
    ap.add_argument("--periods", type=float, default=10.0)
    ap.add_argument("--cold", type=float, default=0.8)
    ap.add_argument("--svg")
    ap.add_argument("--detail", action="store_true", help="print Sigma's change in every ring at every snapshot")
    ap.add_argument("--cells", type=int, nargs=2, default=(192, 384), help="the grid's cells in R and z")
    a = ap.parse_args()
    text = open(a.galaxy).read() if a.galaxy else readme_galaxy()
    runs = {}
    with tempfile.TemporaryDirectory() as work:
        toml, path = os.path.join(work, "g.toml"), os.path.join(work, "g.hdf5")
        open(toml, "w").write(text)
        subprocess.run([os.path.join(a.build, "galaxy-ic"), "--galaxy", toml, "--format", "hdf5", "-o", path,
                        "--threads", "2"], check=True)
        for cold in (1.0, a.cold) if a.cold != 1.0 else (1.0,):
            R_d, T, start, history, spheres, counts = run(a.build, path, a.tracers, a.periods, cold, work, a.cells)
            name = "as made" if cold == 1.0 else "sigma_z x %g" % cold
            runs[name] = (start, history)
            if a.detail:
                for i, h in enumerate(history):
                    print("  %.2f periods, Sigma %% change by ring: %s" % ((i + 1) * a.periods / len(history), " ".join(
                        "%+.1f" % x for x in 100 * (h["Sigma"] / start["Sigma"] - 1))))
                    print("        in sigmas of the exchange: %s" % " ".join(
                        "%+.1f" % x for x in (h["Sigma"] - start["Sigma"]) / h["noise"]))
            c = changes(start, history[-1])
            # The largest change of Sigma over every snapshot, and where.
            worst = max(((100 * np.max(np.abs(h["Sigma"] / start["Sigma"] - 1)), i + 1,
                          int(np.argmax(np.abs(h["Sigma"] / start["Sigma"] - 1)))) for i, h in enumerate(history)))
            lo = np.linspace(0.5, 4.0, 15)[worst[2]]
            sigmas = max(np.max(np.abs(h["Sigma"] - start["Sigma"]) / h["noise"]) for h in history)
            print("  Sigma(R) at its worst: %.2f %% after %g periods, in the ring %.2f-%.2f R_d (largest change in "
                  "sigmas of the exchange %.1f); median |z| at R_d over the snapshots: %s" % (
                      worst[0], worst[1] * a.periods / len(history), lo, lo + 0.25, sigmas,
                      " ".join("%.2f" % changes(start, h)["z(R_d)"] for h in history)))
            print("%s: R_d %.3f kpc, %d periods = %.3f kpc/(km/s), tracers %s" % (name, R_d, a.periods, T, counts))
            print("  disc, % change: " + ", ".join("%s %.2f" % kv for kv in c.items()))
            for part, q in spheres.items():
                print("  %s r10 r50 r90, %% change: %.2f %.2f %.2f" % (part, *q))
    if a.svg:
        svg(a.svg, runs, a.periods)


if __name__ == "__main__":
    main()
