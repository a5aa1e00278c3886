#!/usr/bin/env python3
"""galaxy-check on a disc galaxy galaxy-ic made (HDF5, read and changed here
with h5py and numpy alone): it passes as made, and each change of the disc
fails the lines that see it: vertical speeds 10 % low, rotation 3 % slow,
the spin turned over, heights 10 % high, radii 3 % long, one particle
beyond the truncation; a spheroid's speeds 5 % high fail its own lines; a
bulge inside the disc, stretched to the flattened potential, passes, and
fails once its velocities are turned in random directions. The
report is the same on 1, 3 and the default number of threads. A lone disc
held against a description no planar distribution function meets fails the
lines that need one, saying why.

usage: disc_check_test.py GALAXY_IC GALAXY_CHECK
"""
import os
import shutil
import subprocess
import sys
import tempfile

import h5py
import numpy as np

IC, CHECK = sys.argv[1], sys.argv[2]
GALAXY = """units = "astro"
seed = 3
[[component]]
name = "halo"
role = "halo"
profile = "nfw"
mass = 1e12
scale_length = 20
cutoff = 300
particles = 30000
[[component]]
name = "disc"
role = "disc"
mass = 5e10
scale_length = 3
scale_height = 0.3
toomre_q = 1.5
particles = 60000
[black_hole]
mass = 4e6
"""
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


def report(path):
    r = subprocess.run([CHECK, path], capture_output=True, text=True)
    return r.returncode, r.stdout


def failing(stdout):
    out = set()
    for line in stdout.splitlines()[1:]:
        if line.rstrip().endswith("FAIL"):
            # The line's name: up to the run of spaces before its figure.
            out.add(line.strip().split("  ")[0])
    return out


def cylindrical(x, v):
    R = np.hypot(x[:, 0], x[:, 1])
    c, s = x[:, 0] / R, x[:, 1] / R
    return R, c, s, v[:, 0] * c + v[:, 1] * s, v[:, 1] * c - v[:, 0] * s


def changed(base, tmp, name, change):
    out = os.path.join(tmp, name + ".hdf5")
    shutil.copyfile(base, out)
    with h5py.File(out, "r+") as f:
        change(f)
    return out


def scale_rotation(f, factor):
    x, v = f["PartType2/Coordinates"][...], f["PartType2/Velocities"][...]
    R, c, s, vR, vphi = cylindrical(x, v)
    vphi = vphi * factor
    v[:, 0], v[:, 1] = vR * c - vphi * s, vR * s + vphi * c
    f["PartType2/Velocities"][...] = v


def scale_column(f, group, column, factor):
    a = f[group][...]
    a[:, column] *= factor
    f[group][...] = a


def scale_radii(f, factor):
    x = f["PartType2/Coordinates"][...]
    x[:, :2] *= factor
    f["PartType2/Coordinates"][...] = x


def beyond(f):
    x = f["PartType2/Coordinates"][...]
    x[0, :] = [31.0, 0.0, 0.0]  # the truncation is at 30 kpc
    f["PartType2/Coordinates"][...] = x


def hot_halo(f):
    v = f["PartType1/Velocities"][...]
    f["PartType1/Velocities"][...] = v * 1.05


def main():
    with tempfile.TemporaryDirectory() as tmp:
        toml = os.path.join(tmp, "g.toml")
        with open(toml, "w") as f:
            f.write(GALAXY)
        base = os.path.join(tmp, "g.hdf5")
        r = subprocess.run([IC, "--galaxy", toml, "--format", "hdf5", "-o", base, "--threads", "2"],
                           capture_output=True, text=True)
        expect(r.returncode == 0, "galaxy-ic: " + r.stderr)
        with h5py.File(base, "r") as f:
            expect(f["PartType2/Coordinates"].shape == (60000, 3), "the disc is type 2")
            R = np.hypot(*f["PartType2/Coordinates"][:, :2].T)
            expect(R.max() < 30.0, "no disc particle beyond the truncation")
        status, stdout = report(base)
        expect(status == 0 and not failing(stdout), "as made it passes:\n" + stdout)
        # The disc's sums, histograms and picture merge exactly: one report for any thread count.
        for threads in ("1", "3"):
            r = subprocess.run([CHECK, base, "--threads", threads], capture_output=True, text=True)
            expect(r.stdout == stdout, "the report on %s threads differs" % threads)
        # The picture is the disc's; a galaxy without one has none to draw.
        png = os.path.join(tmp, "g.png")
        r = subprocess.run([CHECK, base, "--plot", png], capture_output=True, text=True)
        expect(r.returncode == 0 and open(png, "rb").read(8) == b"\x89PNG\r\n\x1a\n", "the disc's picture is drawn")
        halo_only = os.path.join(tmp, "halo.toml")
        with open(halo_only, "w") as f:
            f.write(GALAXY.split("[[component]]\nname = \"disc\"")[0] + "[black_hole]\nmass = 4e6\n")
        r = subprocess.run([CHECK, base, "--galaxy", halo_only, "--plot", png + "2"], capture_output=True, text=True)
        expect(r.returncode == 2 and "has none" in r.stderr and not os.path.exists(png + "2"),
               "a galaxy without a disc is refused a picture: %d %s" % (r.returncode, r.stderr))
        for needed in ("disc: radius distribution", "disc: sigma_z (inner half)", "disc: angular momentum"):
            expect(needed in stdout, "the report has " + needed)
        cases = [
            ("cold", lambda f: scale_column(f, "PartType2/Velocities", 2, 0.9),
             {"disc: sigma_z (inner half)", "disc: sigma_z (outer half)"}),
            ("slow", lambda f: scale_rotation(f, 0.97), {"disc: mean rotation"}),
            ("turned", lambda f: scale_rotation(f, -1.0), {"disc: mean rotation", "disc: angular momentum"}),
            ("thick", lambda f: scale_column(f, "PartType2/Coordinates", 2, 1.1), {"disc: height distribution"}),
            ("long", lambda f: scale_radii(f, 1.03), {"disc: radius distribution"}),
            ("beyond", beyond, {"disc: beyond the truncation"}),
            ("hot halo", hot_halo, {"halo: Jeans equation"}),
        ]
        for name, change, lines in cases:
            status, stdout = report(changed(base, tmp, name.replace(" ", "_"), change))
            bad = failing(stdout)
            expect(status == 1, "%s: status %d" % (name, status))
            expect(lines <= bad, "%s: fails %s, not all of %s" % (name, sorted(bad), sorted(lines)))
            # A change of one component leaves the other's lines alone.
            other = "disc:" if name == "hot halo" else "halo:"
            expect(not {l for l in bad if l.startswith(other)}, "%s: %s fails too: %s" % (name, other, sorted(bad)))
        no_function(tmp)
        round_bulge(tmp)
    if failures:
        print("\n".join(failures))
        sys.exit(1)
    print("disc checks: %d changes caught" % len(cases))


def no_function(tmp):
    """A lone disc made at Q = 0.6 passes; held against Q = 1.5, which no
    distribution function of the actions meets (so galaxy-ic refuses to
    make it), the lines that need one fail and say why."""
    lone = ('units = "astro"\nseed = 3\n[[component]]\nname = "disc"\nrole = "disc"\nmass = 5e10\n'
            'scale_length = 3\nscale_height = 0.3\nparticles = 20000\ntoomre_q = ')
    made, hot = os.path.join(tmp, "lone.toml"), os.path.join(tmp, "hot.toml")
    open(made, "w").write(lone + "0.6\n")
    open(hot, "w").write(lone + "1.5\n")
    out = os.path.join(tmp, "lone.g2")
    r = subprocess.run([IC, "--galaxy", made, "--format", "gadget2", "-o", out], capture_output=True, text=True)
    expect(r.returncode == 0, "a lone disc at Q = 0.6: " + r.stdout + r.stderr)
    r = subprocess.run([CHECK, out, "--galaxy", made], capture_output=True, text=True)
    expect(r.returncode == 0, "the lone disc passes:\n" + r.stdout)
    r = subprocess.run([CHECK, out, "--galaxy", hot], capture_output=True, text=True)
    bad = failing(r.stdout)
    expect(r.returncode == 1 and {"disc: mean rotation", "disc: sigma_phi"} <= bad and
           r.stdout.count("no model to hold it against: no distribution function") == 2,
           "held against a disc no function meets: %s" % r.stdout)
    r = subprocess.run([IC, "--galaxy", hot, "--format", "gadget2", "-o", out + "2"], capture_output=True, text=True)
    expect(r.returncode == 1 and "toomre_q" in r.stdout + r.stderr and not os.path.exists(out + "2"),
           "galaxy-ic refuses it, saying what would work: " + r.stdout + r.stderr)


def round_bulge(tmp):
    """A bulge of 10^5 inside a disc: its velocities are stretched to the
    flattened potential's Jeans equations (sigma_z^2 near the plane up to
    1.8 x the spherical average's), and galaxy-check undoes the stretch by
    its own route before the spherical lines. Each velocity turned in a
    random direction, keeping its speed, loses the stretch the lines need."""
    galaxy = GALAXY.replace("particles = 30000", "particles = 5000").replace("particles = 60000", "particles = 5000")
    galaxy = galaxy.replace("[black_hole]", '[[component]]\nname = "bulge"\nrole = "bulge"\nprofile = "hernquist"\n'
                            'mass = 1e10\nscale_length = 0.7\nparticles = 100000\n[black_hole]')
    toml, base = os.path.join(tmp, "bulge.toml"), os.path.join(tmp, "bulge.hdf5")
    open(toml, "w").write(galaxy)
    r = subprocess.run([IC, "--galaxy", toml, "--format", "hdf5", "-o", base, "--threads", "2"], capture_output=True, text=True)
    expect(r.returncode == 0, "galaxy-ic with a bulge: " + r.stderr)
    status, stdout = report(base)
    expect(status == 0 and "bulge: flattened Jeans stretch" in stdout, "the stretched bulge passes:\n" + stdout)

    def turned(f):
        v = f["PartType3/Velocities"][...]
        d = np.random.default_rng(1).normal(size=v.shape)
        d /= np.linalg.norm(d, axis=1)[:, None]
        f["PartType3/Velocities"][...] = d * np.linalg.norm(v, axis=1)[:, None]

    status, stdout = report(changed(base, tmp, "turned_bulge", turned))
    bad = failing(stdout)
    # The longest name is followed by one space only: its lines are found by their start.
    expect(status == 1 and all(any(l.startswith(n) for l in bad) for n in ("bulge: velocity tangential angle",
                                                                          "bulge: Jeans equation")) and
           not {l for l in bad if l.startswith("disc:") or l.startswith("halo:")},
           "the bulge turned round fails its own lines alone: %s" % sorted(bad))


if __name__ == "__main__":
    main()
