#!/usr/bin/python3
"""The README's encounter: two Milky-Way-like galaxies (the README's
disc_galaxy.toml, each galaxy 2.2 million particles) on a parabolic orbit,
one disc prograde, the other retrograde. Prints what a user checks (the
pericentre and the point-mass orbit's time to it, the two centres of mass
against the orbit's closed form) and, with --svg, draws the starting
positions face-on to the orbit (x-y) and edge-on (x-z), every 250th disc
particle and every 1000th halo particle, with each centre's point-mass orbit up to its mirror image.
With --check, galaxy-check holds the file against its description, then
a file made with the twin's spin reversed and one whose orbit speed is
scaled by 1.01 (the pair's momentum kept): the first must pass, the other
two fail, and the lines that fail are printed.

usage: bench/encounter.py [--build DIR] [--svg FILE] [--check]
needs: numpy and h5py (Debian python3-numpy python3-h5py)
"""
import argparse
import math
import os
import re
import subprocess
import tempfile
import time

import h5py
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def readme_block(name):
    text = open(os.path.join(HERE, "..", "README.md")).read()
    return re.search(r"```toml\n(# %s.*?)```" % re.escape(name), text, re.S).group(1)


def svg(path, f, p, orbit):
    w, h, pad, reach = 480, 480, 30, 150.0
    lines = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
             'font-size="12">' % (2 * w, h), '<rect width="100%" height="100%" fill="white"/>']
    scale = (w - 2 * pad) / (2 * reach)
    for panel, (a, b, label) in enumerate(((0, 1, "x-y (the orbit's plane), kpc"), (0, 2, "x-z (edge-on), kpc"))):
        x0 = panel * w
        lines.append('<text x="%d" y="20">%s</text>' % (x0 + pad, label))
        lines.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="black"/>'
                     % (x0 + pad, pad, w - 2 * pad, h - 2 * pad))
        to = lambda u, v: (x0 + w / 2 + u * scale, h / 2 - v * scale)
        for group, every, colour in (("PartType1", 1000, "#bbbbbb"), ("PartType2", 250, None)):
            x = f[group + "/Coordinates"][::every]
            ids = f[group + "/ParticleIDs"][::every]
            for k, c in ((1, "#1f77b4"), (2, "#d62728")):
                first, count = int(p["Galaxy%dFirstID" % k]), int(p["Galaxy%dCount" % k])
                mine = (ids >= first) & (ids < first + count)
                inside = mine & (np.abs(x[:, a]) < reach) & (np.abs(x[:, b]) < reach)
                pts = " ".join('<circle cx="%.1f" cy="%.1f" r="0.8"/>' % to(u, v) for u, v in x[inside][:, [a, b]])
                lines.append('<g fill="%s">%s</g>' % (colour or c, pts))
        for track in orbit:
            xy = " ".join("%.1f,%.1f" % to(u, v) for u, v in track[:, [a, b]] if abs(u) < reach and abs(v) < reach)
            lines.append('<polyline fill="none" stroke="black" stroke-dasharray="4,3" points="%s"/>' % xy)
    lines.append('<text x="%d" y="%d" fill="#1f77b4">mw (prograde)</text>' % (pad + 8, h - pad - 8))
    lines.append('<text x="%d" y="%d" fill="#d62728">twin (retrograde)</text>' % (pad + 120, h - pad - 8))
    lines.append("</svg>")
    open(path, "w").write("\n".join(lines))


def scale_orbit_speed(path, p, sums, factor):
    """Each galaxy's velocities moved so that the relative one is factor times
    as fast, the pair's momentum kept."""
    (m1, _, v1), (m2, _, v2) = sums
    dv = (factor - 1) * (v2 - v1)
    first2 = int(p["Galaxy2FirstID"])
    with h5py.File(path, "r+") as f:
        for g in (f[k] for k in f if k.startswith("PartType")):
            second = g["ParticleIDs"][...] >= first2
            v = g["Velocities"][...]
            v[second] += dv * m1 / (m1 + m2)
            v[~second] -= dv * m2 / (m1 + m2)
            g["Velocities"][...] = v


def check(build, path, *extra):
    start = time.monotonic()
    out = subprocess.run([os.path.join(build, "galaxy-check"), path, "--threads", "2", *extra],
                         capture_output=True, text=True)
    failed = [l.strip() for l in out.stdout.splitlines() if l.endswith("FAIL") and "verdict" not in l]
    return out.returncode, time.monotonic() - start, failed


def checks(a, work, out, p, sums):
    status, took, failed = check(a.build, out)
    print("galaxy-check of the file: status %d in %.1f s%s" % (status, took, "".join("\n  " + l for l in failed)))
    flipped = open(os.path.join(work, "encounter.toml")).read().replace("spin_theta = 180", "spin_theta = 0")
    open(os.path.join(work, "flipped.toml"), "w").write(flipped)
    made = os.path.join(work, "flipped.hdf5")
    subprocess.run([os.path.join(a.build, "galaxy-ic"), "--galaxy", os.path.join(work, "flipped.toml"),
                    "--format", "hdf5", "--double", "-o", made, "--threads", "2"], check=True)
    status, took, failed = check(a.build, made, "--galaxy", os.path.join(work, "encounter.toml"))
    print("the twin's spin reversed: status %d%s" % (status, "".join("\n  " + l[:150] for l in failed)))
    scale_orbit_speed(out, p, sums, 1.01)
    status, took, failed = check(a.build, out)
    print("the orbit speed x 1.01: status %d%s" % (status, "".join("\n  " + l[:150] for l in failed)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--svg")
    ap.add_argument("--check", action="store_true")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as work:
        open(os.path.join(work, "disc_galaxy.toml"), "w").write(readme_block("disc_galaxy.toml"))
        open(os.path.join(work, "encounter.toml"), "w").write(readme_block("encounter.toml"))
        out = os.path.join(work, "encounter.hdf5")
        subprocess.run([os.path.join(a.build, "galaxy-ic"), "--galaxy", os.path.join(work, "encounter.toml"),
                        "--format", "hdf5", "--double", "-o", out, "--threads", "2"], check=True)
        with h5py.File(out, "r") as f:
            p = dict(f["Parameters"].attrs)
            u = f["Units"].attrs
            G = 6.673e-8 * u["Unit mass in cgs (U_M)"] * u["Unit time in cgs (U_t)"] ** 2 / u["Unit length in cgs (U_L)"] ** 3
            gyr = u["Unit time in cgs (U_t)"] / 3.15576e16
            sums = []
            for k in (1, 2):
                first, count = int(p["Galaxy%dFirstID" % k]), int(p["Galaxy%dCount" % k])
                m = mx = mv = 0.0
                for g in (g for g in f if g.startswith("PartType")):
                    ids = f[g + "/ParticleIDs"][...]
                    mine = (ids >= first) & (ids < first + count)
                    w = f[g + "/Masses"][...][mine]
                    m += w.sum()
                    mx = mx + (w[:, None] * f[g + "/Coordinates"][...][mine]).sum(0)
                    mv = mv + (w[:, None] * f[g + "/Velocities"][...][mine]).sum(0)
                sums.append((m, mx / m, mv / m))
            q, e, d = p["OrbitPericentre"], p["OrbitEccentricity"], p["OrbitSeparation"]
            mu = G * (sums[0][0] + sums[1][0])
            pl = q * (1 + e)
            fa = -math.acos((pl / d - 1) / e)
            r = np.array([d * math.cos(fa), d * math.sin(fa), 0.0])
            v = math.sqrt(mu / pl) * np.array([-math.sin(fa), e + math.cos(fa), 0.0])
            rel_x, rel_v = sums[1][1] - sums[0][1], sums[1][2] - sums[0][2]
            print("pericentre %.6g kpc, eccentricity %.6g, start at %.6g kpc" % (q, e, d))
            print("time to pericentre of the point-mass orbit: %.6g kpc/(km/s) = %.4g Gyr"
                  % (p["OrbitTimeToPericentre"], p["OrbitTimeToPericentre"] * gyr))
            print("relative speed at the start %.6g km/s (escape speed there %.6g)" % (np.linalg.norm(rel_v),
                                                                                      math.sqrt(2 * mu / d)))
            print("centres of mass against the orbit: place %.3g, velocity %.3g (relative)"
                  % (np.linalg.norm(rel_x - r) / d, np.linalg.norm(rel_v - v) / np.linalg.norm(v)))
            if a.svg:
                f_ = np.linspace(fa, -fa, 400)
                rr = pl / (1 + e * np.cos(f_))
                rel = np.column_stack([rr * np.cos(f_), rr * np.sin(f_), 0 * rr])
                share = sums[1][0] / (sums[0][0] + sums[1][0])
                svg(a.svg, f, p, (-share * rel, (1 - share) * rel))
        if a.check:
            checks(a, work, out, p, sums)


if __name__ == "__main__":
    main()
