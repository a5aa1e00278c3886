#!/usr/bin/env python3
"""Two galaxies on an orbit in one file, read by h5py and by a reader of
GADGET 2's published layout (numpy): IDs unique and in galaxy order, each
galaxy's particles turned and moved back equal to the galaxy made alone
with its seed, the two centres of mass on the Keplerian orbit of two point
masses (its closed form written again here), each disc's spin where its
angles put it; and the refusals of what cannot be placed.

usage: encounter_test.py GALAXY_IC GALAXY_CHECK
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile

import h5py
import numpy as np

IC, CHECK = sys.argv[1], sys.argv[2]
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


GALAXY = """units = "astro"
seed = 1
[[component]]
name = "halo"
role = "halo"
profile = "nfw"
mass = 1e12
scale_length = 20
cutoff = 300
particles = 6000
[[component]]
name = "disc"
role = "disc"
mass = 5e10
scale_length = 3
scale_height = 0.3
particles = 6000
[[component]]
name = "bulge"
role = "bulge"
profile = "hernquist"
mass = 1e10
scale_length = 0.7
particles = 2000
[black_hole]
mass = 4e6
"""

SMALL = """units = "astro"
[[component]]
role = "stars"
profile = "plummer"
mass = 2e11
scale_length = 5
cutoff = 100
particles = 3000
"""


def encounter(orbit, first="spin_theta = 60\nspin_phi = 30\n"):
    return ('units = "astro"\nseed = 40\n\n[[galaxy]]\nname = "mw"\nfile = "mw.toml"\n' + first +
            '\n[[galaxy]]\nname = "small"\nfile = "small.toml"\nspin_theta = 180\n\n[orbit]\n' + orbit)


def run(*args):
    return subprocess.run([IC, *args], capture_output=True, text=True)


def read_hdf5(path):
    """{id: (x, v, m)} as arrays sorted by ID, and the Parameters."""
    with h5py.File(path, "r") as f:
        parts = [f[g] for g in sorted(f) if g.startswith("PartType")]
        ids = np.concatenate([g["ParticleIDs"][...] for g in parts])
        x = np.concatenate([g["Coordinates"][...] for g in parts])
        v = np.concatenate([g["Velocities"][...] for g in parts])
        m = np.concatenate([g["Masses"][...] for g in parts])
        p = dict(f["Parameters"].attrs)
        u = f["Units"].attrs
        # The program's G (6.673e-11 SI) in the file's units, which it states.
        length, mass, time = (u["Unit %s in cgs (U_%s)" % (w, c)] for w, c in (("length", "L"), ("mass", "M"), ("time", "t")))
        p["G"] = 6.673e-8 * mass * time ** 2 / length ** 3
    order = np.argsort(ids, kind="stable")
    return ids[order], x[order], v[order], m[order], p


def read_gadget2(path):
    """IDs, positions and velocities of a GADGET 2 file of doubles (SnapFormat 2 blocks)."""
    data = open(path, "rb").read()
    at, blocks = 0, {}
    while at < len(data):
        # A label record (4 + 4 + 4 + 4 bytes: its length, the name, the
        # block's size), then the block's own record.
        label = data[at + 4:at + 8].decode().strip()
        at += 16
        (rec,) = np.frombuffer(data, "<i4", 1, at)
        blocks[label] = data[at + 4:at + 4 + rec]
        at += rec + 8
    header = blocks["HEAD"]
    counts = np.frombuffer(header, "<u4", 6, 0)
    n = int(counts.sum())
    ids = np.frombuffer(blocks["ID"], "<u4" if len(blocks["ID"]) == 4 * n else "<u8")
    x = np.frombuffer(blocks["POS"], "<f8").reshape(n, 3)
    v = np.frombuffer(blocks["VEL"], "<f8").reshape(n, 3)
    return ids, x, v


def kepler(mu, q, e, d):
    """The second body's place and velocity about the first, approaching."""
    p = q * (1 + e)
    f = -math.acos((p / d - 1) / e)
    h = math.sqrt(mu * p)
    return (np.array([d * math.cos(f), d * math.sin(f), 0.0]),
            np.array([-mu / h * math.sin(f), mu / h * (e + math.cos(f)), 0.0]))


def turn(theta, phi):
    t, f = math.radians(theta), math.radians(phi)
    rz = np.array([[math.cos(f), -math.sin(f), 0], [math.sin(f), math.cos(f), 0], [0, 0, 1]])
    ry = np.array([[math.cos(t), 0, math.sin(t)], [0, 1, 0], [-math.sin(t), 0, math.cos(t)]])
    return rz @ ry


with tempfile.TemporaryDirectory() as tmp:
    os.chdir(tmp)
    open("mw.toml", "w").write(GALAXY)
    open("small.toml", "w").write(SMALL)
    q, e, d = 25.0, 1.0, 200.0
    open("pair.toml", "w").write(encounter("pericentre = %r\neccentricity = %r\nseparation = %r\n" % (q, e, d)))
    made = run("--galaxy", "pair.toml", "--format", "hdf5", "-o", "pair.hdf5", "--double")
    expect(made.returncode == 0, "encounter: status %d: %s%s" % (made.returncode, made.stdout, made.stderr))
    ids, x, v, m, p = read_hdf5("pair.hdf5")
    n1, n2 = int(p["Galaxy1Count"]), int(p["Galaxy2Count"])
    expect((n1, n2) == (14001, 3000), "counts %d, %d" % (n1, n2))
    expect(np.array_equal(ids, np.arange(1, n1 + n2 + 1)), "IDs 1 ... N, each once")
    expect(int(p["Galaxy1FirstID"]) == 1 and int(p["Galaxy2FirstID"]) == n1 + 1, "ID ranges in galaxy order")
    with h5py.File("pair.hdf5", "r") as f:
        expect(f["PartType1/ParticleIDs"].shape[0] == 6000 and f["PartType4/ParticleIDs"].shape[0] == 3000,
               "types by role: the halo 1, the small galaxy's stars 4")
        expect(f["PartType5/ParticleIDs"].shape[0] == 1, "one black hole")
    # Each galaxy alone, with the seed the file gives it, against its particles moved back.
    centres = []
    for k, (toml, first, count) in enumerate((("mw.toml", 1, n1), ("small.toml", n1 + 1, n2))):
        key = "Galaxy%d" % (k + 1)
        seed = p[key + "Seed"].decode() if isinstance(p[key + "Seed"], bytes) else p[key + "Seed"]
        expect(seed == str(40 + k), "%s's seed %s" % (key, seed))
        alone = run("--galaxy", toml, "--seed", seed, "--format", "hdf5", "-o", "alone%d.hdf5" % k, "--double")
        expect(alone.returncode == 0, "alone: " + alone.stdout)
        aid, ax, av, am, _ = read_hdf5("alone%d.hdf5" % k)
        part = slice(first - 1, first - 1 + count)
        R = turn(p[key + "SpinTheta"], p[key + "SpinPhi"])
        back_x = (x[part] - p[key + "Position"]) @ R + p[key + "OwnCentre"]
        back_v = (v[part] - p[key + "Velocity"]) @ R + p[key + "OwnVelocity"]
        expect(np.array_equal(ids[part] - (first - 1), aid), key + ": IDs less its first are the lone galaxy's")
        dx = np.max(np.abs(back_x - ax)) / np.max(np.abs(ax))
        dv = np.max(np.abs(back_v - av)) / np.max(np.abs(av))
        expect(dx < 1e-12 and dv < 1e-12, "%s moved back: %.3g, %.3g from the galaxy alone" % (key, dx, dv))
        expect(np.array_equal(m[part], am), key + ": masses")
        w = m[part][:, None]
        centres.append(((w * x[part]).sum(0) / w.sum(), (w * v[part]).sum(0) / w.sum(), w.sum()))
    # The centres of mass on the orbit of two point masses.
    (x1, v1, m1), (x2, v2, m2) = centres
    r, u = kepler(p["G"] * (m1 + m2), q, e, d)
    expect(np.max(np.abs((x2 - x1) - r)) < 1e-10 * d, "relative place %s, not %s" % (x2 - x1, r))
    expect(np.max(np.abs((v2 - v1) - u)) < 1e-10 * np.linalg.norm(u), "relative velocity %s, not %s" % (v2 - v1, u))
    expect(np.linalg.norm(m1 * x1 + m2 * x2) < 1e-10 * d * (m1 + m2), "the pair's centre of mass at the origin")
    # The mw disc's spin (type 2, all of it galaxy 1's) along (60, 30) degrees.
    with h5py.File("pair.hdf5", "r") as f:
        dx_, dv_ = f["PartType2/Coordinates"][...] - p["Galaxy1Position"], f["PartType2/Velocities"][...] - p["Galaxy1Velocity"]
    L = np.cross(dx_, dv_).sum(0)
    t, f_ = math.radians(60), math.radians(30)
    want = np.array([math.sin(t) * math.cos(f_), math.sin(t) * math.sin(f_), math.cos(t)])
    expect(np.dot(L / np.linalg.norm(L), want) > 0.999, "the disc's spin %s, not along %s" % (L / np.linalg.norm(L), want))
    # One thread makes what two make (the galaxies' tables are built on a thread each).
    made = run("--galaxy", "pair.toml", "--format", "hdf5", "-o", "one.hdf5", "--double", "--threads", "1")
    expect(made.returncode == 0, "one thread: " + made.stdout)
    oid, ox, ov, om, _ = read_hdf5("one.hdf5")
    expect(np.array_equal(oid, ids) and np.array_equal(ox, x) and np.array_equal(ov, v) and np.array_equal(om, m),
           "the same particles on one thread as on two")
    # The same file in GADGET 2 doubles: the same IDs, places and velocities.
    made = run("--galaxy", "pair.toml", "--format", "gadget2", "-o", "pair.g2", "--double")
    expect(made.returncode == 0, "gadget2: " + made.stdout)
    gid, gx, gv = read_gadget2("pair.g2")
    order = np.argsort(gid, kind="stable")
    expect(np.array_equal(gid[order], ids) and np.array_equal(gx[order], x) and np.array_equal(gv[order], v),
           "GADGET 2 holds what HDF5 holds")
    # What cannot be placed is refused, and no file is left.
    for orbit, said in (("pericentre = 25\nseparation = 20\n", "below the pericentre"),
                        ("pericentre = 25\neccentricity = 0.5\nseparation = 100\n", "apocentre 75")):
        open("bad.toml", "w").write(encounter(orbit))
        out = run("--galaxy", "bad.toml", "--format", "hdf5", "-o", "bad.hdf5")
        expect(out.returncode == 1 and said in out.stdout and not os.path.exists("bad.hdf5"),
               "refused (%s): %d %s" % (said, out.returncode, out.stdout))
    # Without a seed in the file --seed gives each galaxy its own; without either, refused.
    open("unseeded.toml", "w").write(encounter("pericentre = 25\nseparation = 200\n").replace("seed = 40\n", ""))
    out = run("--galaxy", "unseeded.toml", "--format", "hdf5", "-o", "unseeded.hdf5")
    expect(out.returncode == 1 and "galaxy mw has no seed" in out.stdout and not os.path.exists("unseeded.hdf5"),
           "unseeded: " + out.stdout)
    out = run("--galaxy", "unseeded.toml", "--seed", "40", "--format", "hdf5", "-o", "unseeded.hdf5", "--double")
    expect(out.returncode == 0, "--seed for the file's: " + out.stdout)
    if out.returncode == 0:
        _, ux, _, _, up = read_hdf5("unseeded.hdf5")
        expect(np.array_equal(ux, x) and up["Galaxy1Seed"] in (b"40", "40"), "--seed 40 makes what seed = 40 makes")
    out = run("--galaxy", "pair.toml", "-p", "100", "-o", "bad.ini")
    expect(out.returncode == 1 and "-p has no place" in out.stdout, "-p: " + out.stdout)
    # Starting inside each other is said.
    open("near.toml", "w").write(encounter("pericentre = 5\nseparation = 10\n"))
    out = run("--galaxy", "near.toml", "--format", "hdf5", "-o", "near.hdf5")
    expect(out.returncode == 0 and "overlap at the start" in out.stderr, "overlap: " + out.stderr)
    # The pair's frame: its centre of mass at centre, moving with bulk_velocity.
    open("moved.toml", "w").write(encounter("pericentre = 25\nseparation = 200\n").replace(
        'seed = 40\n', 'seed = 40\ncentre = [10, -20, 30]\nbulk_velocity = [1, 2, -3]\n'))
    out = run("--galaxy", "moved.toml", "--format", "hdf5", "-o", "moved.hdf5", "--double")
    expect(out.returncode == 0, "centre and bulk_velocity: " + out.stdout)
    _, mx, mv, mm, _ = read_hdf5("moved.hdf5")
    w = mm[:, None]
    expect(np.allclose((w * mx).sum(0) / w.sum(), [10, -20, 30], rtol=0, atol=1e-10 * d) and
           np.allclose((w * mv).sum(0) / w.sum(), [1, 2, -3], rtol=0, atol=1e-10 * 300),
           "the pair's centre of mass and motion where centre and bulk_velocity put them")
    # An untapered halo of few particles: its centre of mass strays from its body, and that is said.
    open("small.toml", "w").write(SMALL.replace("cutoff = 100\n", "").replace('"plummer"', '"hernquist"')
                                  .replace("particles = 3000", "particles = 300"))
    out = run("--galaxy", "pair.toml", "--format", "hdf5", "-o", "untapered.hdf5", "--double")
    expect(out.returncode == 0 and "galaxy small: its centre of mass, which the orbit places, is" in out.stderr,
           "untapered: " + out.stderr)
    open("small.toml", "w").write(SMALL)
    # A galaxy file read through a pipe is read once, whichever kind it is.
    os.mkfifo("pipe.toml")
    writer = subprocess.Popen(["sh", "-c", "cat mw.toml > pipe.toml"])
    out = run("--galaxy", "pipe.toml", "--seed", "40", "--format", "hdf5", "-o", "piped.hdf5", "--double")
    writer.wait()
    expect(out.returncode == 0, "a galaxy file through a pipe: " + out.stdout)
    if out.returncode == 0:
        _, px, _, _, _ = read_hdf5("piped.hdf5")
        _, ax, _, _, _ = read_hdf5("alone0.hdf5")
        expect(np.array_equal(px, ax), "the piped galaxy file makes the same galaxy")
    # galaxy-check holds the file against its description: each galaxy in its
    # own frame, then the pair against the orbit's invariants.
    def check(*args):
        return subprocess.run([CHECK, *args], capture_output=True, text=True)

    def line(out, name):
        return next((l for l in out.stdout.splitlines() if l.strip().startswith(name + " ")), "")

    out = check("pair.hdf5")
    expect(out.returncode == 0 and line(out, "encounter: relative speed").endswith("PASS") and
           line(out, "mw: disc: mean rotation").endswith("PASS") and line(out, "small: galaxy: ids").endswith("PASS"),
           "galaxy-check of the encounter: %d %s" % (out.returncode, out.stdout[-3000:] + out.stderr))
    expect(check("pair.hdf5", "--threads", "1").stdout == out.stdout, "the check's report on one thread")
    out = check("pair.g2", "--galaxy", "pair.toml")
    expect(out.returncode == 0 and "encounter: separation" in out.stdout, "GADGET 2 with --galaxy: " + out.stdout[-2000:])
    writer = subprocess.Popen(["sh", "-c", "cat pair.toml > pipe.toml"])
    piped = check("pair.g2", "--galaxy", "pipe.toml")
    writer.wait()
    expect(piped.stdout.replace("pipe.toml", "pair.toml") == out.stdout, "an encounter's file through a pipe: " + piped.stdout[-500:])
    # A file made with one galaxy's spin reversed fails against the description.
    open("flipped.toml", "w").write(encounter("pericentre = 25\nseparation = 200\n", "spin_theta = 120\nspin_phi = 210\n"))
    run("--galaxy", "flipped.toml", "--format", "hdf5", "-o", "flipped.hdf5", "--double")
    out = check("flipped.hdf5", "--galaxy", "pair.toml")
    expect(out.returncode == 1 and line(out, "mw: disc: angular momentum").endswith("FAIL") and
           line(out, "encounter: separation").endswith("PASS"), "spin flipped: " + out.stdout[-3000:])
    # The orbit's speed scaled by 1.01 (the pair's momentum kept) fails.
    shutil.copy("pair.hdf5", "fast.hdf5")
    with h5py.File("fast.hdf5", "r+") as f:
        (x1, v1, m1), (x2, v2, m2) = centres
        for g in (f[k] for k in f if k.startswith("PartType")):
            second = g["ParticleIDs"][...] > n1
            dv = 0.01 * (v2 - v1)
            vel = g["Velocities"][...]
            vel[second] += dv * m1 / (m1 + m2)
            vel[~second] -= dv * m2 / (m1 + m2)
            g["Velocities"][...] = vel
    out = check("fast.hdf5")
    expect(out.returncode == 1 and line(out, "encounter: relative speed").endswith("FAIL") and
           line(out, "encounter: net momentum").endswith("PASS"), "speed x 1.01: " + out.stdout[-3000:])
    # Held against another orbit, the pair fails.
    out = check("pair.g2", "--galaxy", "near.toml")
    expect(out.returncode == 1 and line(out, "encounter: separation").endswith("FAIL"), "another orbit: " + out.stdout[-1500:])
    # A disc galaxy without a black hole: its centre's height is its disc's
    # midplane (a bulge's mean strayed by a good part of the disc's height).
    open("nohole.toml", "w").write(GALAXY.replace("[black_hole]\nmass = 4e6\n", "").replace("particles = 6000", "particles = 2500"))
    open("nohole_pair.toml", "w").write(encounter("pericentre = 25\nseparation = 200\n").replace("small.toml", "nohole.toml")
                                        .replace("seed = 40", "seed = 0"))
    run("--galaxy", "nohole_pair.toml", "--format", "hdf5", "-o", "nohole.hdf5", "--double")
    out = check("nohole.hdf5")
    expect(line(out, "small: disc: height distribution").endswith("PASS"), "a disc without a black hole: " +
           line(out, "small: disc: height distribution"))
    # Refused: a name that would forge a line of the report; a start faster than light.
    open("forged.toml", "w").write(encounter("pericentre = 25\nseparation = 200\n").replace(
        'name = "mw"', 'name = "mw\\n  encounter: separation  x PASS"'))
    out = run("--galaxy", "forged.toml", "-o", "forged.hdf5", "--format", "hdf5")
    expect(out.returncode == 1 and "control character" in out.stdout, "a name with a newline: " + out.stdout)
    open("light.toml", "w").write(encounter("pericentre = 25\neccentricity = 1e100\nseparation = 200\n"))
    out = run("--galaxy", "light.toml", "-o", "light.hdf5", "--format", "hdf5")
    expect(out.returncode == 1 and "as fast as light" in out.stdout and not os.path.exists("light.hdf5"),
           "faster than light: " + out.stdout)
    for extra, said in ((["--particles", "100"], "--particles has no place"), (["--plot", "p.png"], "holds two"),
                        (["--mass", "1"], "no place beside --galaxy")):
        out = check("pair.hdf5", *extra)
        expect(out.returncode == 2 and said in out.stderr, "galaxy-check %s: %s" % (extra, out.stderr[:300]))

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("encounter files: every check passed")
