#!/usr/bin/env python3
"""galaxy-check on the README's Milky-Way-like disc galaxy for several seeds,
and on copies of one with the disc's vertical speeds scaled by 0.9 or its
rotation (v_phi about the z axis) by 0.97: the first must pass, the others
fail.

  bench/disc_seeds.py BUILD_DIR GALAXY_TOML [--seeds 10] [--work DIR]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

import h5py
import numpy as np


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True)


def lines_of(report, name):
    return [l for l in report.splitlines() if l.strip().startswith(name)]


def mutate(path, out, what):
    shutil.copyfile(path, out)
    with h5py.File(out, "r+") as f:
        v = f["PartType2/Velocities"][...]
        x = f["PartType2/Coordinates"][...]
        if what == "sigma_z":
            v[:, 2] *= 0.9
        else:
            R = np.hypot(x[:, 0], x[:, 1])
            c, s = x[:, 0] / R, x[:, 1] / R
            vR = v[:, 0] * c + v[:, 1] * s
            vphi = (v[:, 1] * c - v[:, 0] * s) * 0.97
            v[:, 0] = vR * c - vphi * s
            v[:, 1] = vR * s + vphi * c
        f["PartType2/Velocities"][...] = v


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("galaxy")
    ap.add_argument("--seeds", type=int, default=10)
    ap.add_argument("--work", default="/tmp/disc_seeds")
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    ic, check = os.path.join(a.build, "galaxy-ic"), os.path.join(a.build, "galaxy-check")
    text = open(a.galaxy).read()
    failures = 0
    for seed in range(1, a.seeds + 1):
        toml = os.path.join(a.work, "g.toml")
        with open(toml, "w") as f:
            f.write(re.sub(r"(?m)^seed = .*$", "seed = %d" % seed, text))
        out = os.path.join(a.work, "g%d.hdf5" % seed)
        r = run([ic, "--galaxy", toml, "--format", "hdf5", "-o", out, "--threads", "2"])
        if r.returncode:
            sys.exit("galaxy-ic failed: " + r.stderr)
        r = run([check, out])
        worst = [l for l in lines_of(r.stdout, "disc:") if "chi2" in l or "KS" in l]
        print("seed %2d: status %d" % (seed, r.returncode))
        for l in worst:
            print("   " + " ".join(l.split()))
        failures += r.returncode != 0
        if seed == 1:
            for what in ("sigma_z", "rotation"):
                m = os.path.join(a.work, "mutant_%s.hdf5" % what)
                mutate(out, m, what)
                r = run([check, m])
                bad = [" ".join(l.split()) for l in lines_of(r.stdout, "disc:") if l.rstrip().endswith("FAIL")]
                print("  %s scaled: status %d; %s" % (what, r.returncode, "; ".join(bad)))
                failures += r.returncode != 1
        if seed > 1:
            os.remove(out)
    print("failures:", failures)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
