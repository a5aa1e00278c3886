#!/usr/bin/env python3
"""galaxy-check's figures, from its bounded accumulators, against the exact
computation from every particle (numpy, reading the HDF5 file itself):
the radius KS distance against the truncated Hernquist law's closed form
(within a histogram bin, 2.4e-7, and the report's rounding), the centre's
offset and the virial ratio in the sample's own potential (pairs within
one of its bins of ln r taken at their mean 1/r); at 10^4, 10^5 and 10^6
particles, on one thread and on three.

usage: check_agreement_test.py GALAXY_IC GALAXY_CHECK
"""
import os
import re
import subprocess
import sys
import tempfile

import h5py
import numpy as np

IC, CHECK = sys.argv[1], sys.argv[2]
G = 6.673e-11  # the program's
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


def figure(report, line, pattern):
    match = re.search(r"^  " + line + r"\s+" + pattern, report, re.M)
    return float(match.group(1)) if match else float("nan")


def exact(path):
    with h5py.File(path, "r") as f:
        x, v, m = (f["PartType1/" + n][...] for n in ("Coordinates", "Velocities", "Masses"))
    a = 1e18
    r = np.sqrt(np.sum(x * x, axis=1))
    cut = 8 * a
    u = np.sort((r / (r + a)) ** 2 / (cut / (cut + a)) ** 2)
    n = len(u)
    i = np.arange(n)
    distance = max(np.max((i + 1) / n - u), np.max(u - i / n))
    centre = np.linalg.norm(np.sum(m[:, None] * x, axis=0) / np.sum(m)) / a
    order = np.argsort(r)
    inside = np.concatenate([[0.0], np.cumsum(m[order])[:-1]])
    W = -G * np.sum(m[order] * inside / r[order])
    ratio = np.sum(m * np.sum(v * v, axis=1)) / -W
    return distance, centre, ratio


with tempfile.TemporaryDirectory() as tmp:
    for n in (10_000, 100_000, 1_000_000):
        path = os.path.join(tmp, "a.hdf5")
        subprocess.run([IC, "--seed", "9", "-p", str(n), "--format", "hdf5", "-o", path], check=True)
        reports = [subprocess.run([CHECK, path, "--threads", t], capture_output=True, text=True).stdout
                   for t in ("1", "3")]
        expect(reports[0] == reports[1] and "PASS" in reports[0], f"n={n}: threads 1 and 3 differ, or it fails")
        distance, centre, ratio = exact(path)
        report = reports[0]
        D = figure(report, "radius distribution", r"KS D = ([0-9.]+)")
        expect(abs(D - distance) <= 5e-6 + 2.4e-7, f"n={n}: KS D {D} against {distance:.7f}")
        offset = figure(report, "centre of mass", r"offset ([0-9.e+-]+) a")
        expect(abs(offset - centre) <= 5e-4 * centre, f"n={n}: centre {offset} against {centre:.6g}")
        virial = figure(report, r"virial ratio 2K/\|W\|", r"([0-9.]+)")
        expect(abs(virial - ratio) <= 5e-5 + 1e-5 * ratio, f"n={n}: virial ratio {virial} against {ratio:.6f}")

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
