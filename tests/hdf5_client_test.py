#!/usr/bin/env python3
"""The HDF5 particle file as a simulation code's reader sees it (h5py),
held value by value against the text file of the same options.

usage: hdf5_client_test.py GALAXY_IC GALAXY_CHECK
"""
import os
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


def text_values(path):
    """Per particle: mass, x_0..x_2, v_0..v_2 as the strings the file holds."""
    rows, row = [], []
    with open(path) as f:
        for line in f:
            if " = " in line:
                row.append(line.split(" = ")[1].rstrip("\n"))
                if len(row) == 7:
                    rows.append(row)
                    row = []
    return rows


def compare(options, n, tmp):
    label = " ".join(options)
    ini, h5 = os.path.join(tmp, "g.ini"), os.path.join(tmp, "g.hdf5")
    subprocess.run([IC, *options, "-o", ini], check=True)
    run = subprocess.run([IC, *options, "--format", "hdf5", "-o", h5], capture_output=True)
    expect(run.returncode == 0 and run.stdout == b"" and run.stderr == b"", f"{label}: run")
    rows = text_values(ini)
    expect(len(rows) == n, f"{label}: {len(rows)} text sections")
    with h5py.File(h5, "r") as f:
        header, units, part = f["Header"].attrs, f["Units"].attrs, f["PartType1"]
        expect(list(header["NumPart_ThisFile"]) == [0, n, 0, 0, 0, 0], f"{label}: ThisFile")
        expect(header["NumPart_ThisFile"].dtype == np.uint64, f"{label}: ThisFile type")
        expect(list(header["NumPart_Total"]) == [0, n, 0, 0, 0, 0], f"{label}: Total")
        expect(header["NumPart_Total"].dtype == np.uint32, f"{label}: Total type")
        expect(list(header["NumPart_Total_HighWord"]) == [0] * 6, f"{label}: HighWord")
        mass = header["MassTable"][1]
        expect(n == 0 or "%f" % mass == rows[0][0], f"{label}: MassTable")
        expect(header["BoxSize"] == 1.6e19 and header["Time"] == 0 and header["Redshift"] == 0,
               f"{label}: scalars")
        expect(header["Dimension"] == 3 and header["NumFilesPerSnapshot"] == 1
               and header["Flag_Entropy_ICs"] == 0 and header["Dimension"].dtype == np.int32,
               f"{label}: int32 scalars")
        expect(units["Unit length in cgs (U_L)"] == 100 and units["Unit mass in cgs (U_M)"] == 1000
               and units["Unit time in cgs (U_t)"] == 1 and units["Unit current in cgs (U_I)"] == 1
               and units["Unit temperature in cgs (U_T)"] == 1, f"{label}: units")
        pos, vel = part["Coordinates"][...], part["Velocities"][...]
        masses, ids = part["Masses"][...], part["ParticleIDs"][...]
        expect(pos.shape == (n, 3) and vel.shape == (n, 3) and masses.shape == (n,)
               and pos.dtype == np.float64 and ids.dtype == np.uint64, f"{label}: shapes")
        expect(np.array_equal(ids, np.arange(1, n + 1, dtype=np.uint64)), f"{label}: IDs")
        # The text is the "%lf" rounding of these very doubles.
        for j, row in enumerate(rows):
            got = ["%f" % masses[j]] + ["%f" % v for v in pos[j]] + ["%f" % v for v in vel[j]]
            if got != row:
                failures.append(f"{label}: particle {j}: {got} != {row}")
                break
    check = subprocess.run([CHECK, h5, "--particles", str(n)], capture_output=True, text=True)
    expect(check.returncode == 0, f"{label}: galaxy-check {check.returncode}")


KPC, MSUN, G = 3.0856775814913673e19, 1.98841e30, 6.673e-11


def units_case(tmp):
    """Each unit system against SI: every value the SI one divided by the
    unit, to the last bit, and the Units group saying so in cgs."""
    run = ["--seed", "3", "-p", "1500", "--format", "hdf5"]
    # A 2e12 Msun halo with a = 30 kpc, given in each system's units.
    systems = {"cgs": (0.01, 0.001, 0.01, 2e12 * MSUN / 0.001, 30 * KPC / 0.01),
               "astro": (KPC, MSUN, 1000.0, 2e12, 30.0),
               "gadget": (KPC, 1.98841e40, 1000.0, 200.0, 30.0),
               # No mass or size of their own: the default galaxy's.
               "model": (1e18, 1.9891e39, (G * 1.9891e39 / 1e18) ** 0.5, None, None)}
    for name, (ul, um, uv, mass, length) in systems.items():
        options = [] if mass is None else ["--mass", repr(mass), "--scale-length", repr(length)]
        si_options = [] if mass is None else ["--mass", repr(mass * um), "--scale-length", repr(length * ul)]
        path, reference = os.path.join(tmp, name + ".hdf5"), os.path.join(tmp, "si.hdf5")
        subprocess.run([IC, *run, *options, "--units", name, "-o", path], check=True)
        subprocess.run([IC, *run, *si_options, "-o", reference], check=True)
        with h5py.File(reference, "r") as f, h5py.File(path, "r") as g:
            p, q = f["PartType1"], g["PartType1"]
            expect(np.array_equal(q["Coordinates"][...], p["Coordinates"][...] / ul), f"{name}: positions")
            expect(np.array_equal(q["Velocities"][...], p["Velocities"][...] / uv), f"{name}: velocities")
            expect(np.array_equal(q["Masses"][...], p["Masses"][...] / um), f"{name}: masses")
            expect(g["Header"].attrs["MassTable"][1] == f["Header"].attrs["MassTable"][1] / um,
                   f"{name}: MassTable")
            expect(g["Header"].attrs["BoxSize"] == 2.0 * (f["Header"].attrs["BoxSize"] / 2.0 / ul),
                   f"{name}: BoxSize")
            units = g["Units"].attrs
            expect(units["Unit length in cgs (U_L)"] == ul * 100.0
                   and units["Unit mass in cgs (U_M)"] == um * 1000.0
                   and units["Unit time in cgs (U_t)"] == ul / uv, f"{name}: Units {dict(units)}")
        # The file states its units: galaxy-check needs only the model.
        check = subprocess.run([CHECK, path, "--units", name, *options], capture_output=True, text=True)
        expect(check.returncode == 0, f"{name}: galaxy-check {check.returncode}\n{check.stdout}")
        plain = subprocess.run([CHECK, path, *si_options], capture_output=True, text=True)
        expect(plain.returncode == 0, f"{name}: galaxy-check, SI model {plain.returncode}\n{plain.stdout}")


def foreign_files(tmp):
    """HDF5 files that are not particle files: status 2 and a clear reason."""
    other = os.path.join(tmp, "other.h5")
    with h5py.File(other, "w") as f:
        f.create_dataset("PartType0/Coordinates", data=np.zeros((3, 3)))
    check = subprocess.run([CHECK, other], capture_output=True, text=True)
    expect(check.returncode == 2 and "/PartType1" in check.stderr, "foreign file: " + check.stderr)
    with h5py.File(other, "w") as f:
        f.create_dataset("PartType1/Coordinates", data=np.zeros((3, 3)))
        f.create_dataset("PartType1/Velocities", data=np.zeros((2, 3)))
        f.create_dataset("PartType1/Masses", data=np.zeros(3))
    check = subprocess.run([CHECK, other], capture_output=True, text=True)
    expect(check.returncode == 2 and "as many" in check.stderr, "mismatched: " + check.stderr)


def provenance(tmp):
    """Parameters and Code say how the file was made; galaxy-check then
    needs no option to hold it against that model."""
    path = os.path.join(tmp, "made.hdf5")
    args = ["--seed", "12", "-p", "5000", "--equilibrium", "--units", "astro", "--mass", "1e11",
            "--scale-length", "3", "--cutoff", "40", "--centre", "50,0,-5", "--bulk-velocity", "0,120,0",
            "--zero-com", "--format", "hdf5", "-o", path]
    subprocess.run([IC, *args], check=True)
    with h5py.File(path, "r") as f:
        p, c = f["Parameters"].attrs, f["Code"].attrs
        expect(p["NumberOfParticles"] == 5000 and p["Seed"] == b"12" and p["Law"] == b"equilibrium"
               and p["Profile"] == b"hernquist" and p["Anisotropy"] == b"isotropic" and p["Units"] == b"astro"
               and p["Format"] == b"hdf5" and p["ZeroCentreOfMass"] == 1, f"parameters {dict(p)}")
        expect(p["TotalMass"] == 1e11 * MSUN and p["ScaleLength"] == 3 * KPC and p["CutoffRadius"] == 40 * KPC
               and list(p["Centre"]) == [50, 0, -5] and list(p["BulkVelocity"]) == [0, 120, 0],
               f"model parameters {dict(p)}")
        expect(c["Name"] == b"galaxy-ic" and c["Version"].count(b".") == 2
               and c["CommandLine"] == " ".join([IC, *args]).encode(), f"code {dict(c)}")
    check = subprocess.run([CHECK, path], capture_output=True, text=True)
    expect(check.returncode == 0 and "cos polar angle" in check.stdout, f"stored model: {check.stdout}")
    moved = os.path.join(tmp, "moved.hdf5")
    with h5py.File(path, "r") as f, h5py.File(moved, "w") as g:
        for name in ("Header", "Units", "Parameters", "PartType1"):
            f.copy(name, g)
        g["PartType1/Coordinates"][:, 0] += 1e-3
    check = subprocess.run([CHECK, moved], capture_output=True, text=True)
    expect(check.returncode == 1 and any(line.strip().startswith("centre of mass") and line.endswith("FAIL")
                                         for line in check.stdout.splitlines()), "moved by 1 pc: " + check.stdout)


def lying_headers(tmp):
    """A header a code would misread fails; a correct float32 file passes."""
    good, bad = os.path.join(tmp, "good.hdf5"), os.path.join(tmp, "bad.hdf5")
    subprocess.run([IC, "--seed", "5", "-p", "2000", "--format", "hdf5", "-o", good], check=True)
    n = 2000

    def edit(change):
        with h5py.File(good, "r") as f, h5py.File(bad, "w") as g:
            for name in ("Header", "Units", "PartType1"):
                f.copy(name, g)
            change(g)
        return subprocess.run([CHECK, bad], capture_output=True, text=True)

    def set_count(value):
        return lambda g: g["Header"].attrs.modify("NumPart_ThisFile", np.array([0, value, 0, 0, 0, 0], np.uint64))

    for label, change, what in [
            ("10^15", set_count(10 ** 15), "NumPart_ThisFile[1] says 1000000000000000"),
            ("N - 7", set_count(n - 7), "NumPart_ThisFile[1] says 1993"),
            ("missing", lambda g: g["Header"].attrs.__delitem__("NumPart_ThisFile"), "NumPart_ThisFile is missing"),
            ("high word", lambda g: g["Header"].attrs.modify("NumPart_Total_HighWord",
                                                              np.array([0, 1, 0, 0, 0, 0], np.uint32)), "high word"),
            ("two files", lambda g: g["Header"].attrs.modify("NumFilesPerSnapshot", np.int32(2)), "NumFilesPerSnapshot"),
            ("mass table", lambda g: g["Header"].attrs.modify("MassTable", np.array([0, 1e30, 0, 0, 0, 0])), "MassTable")]:
        r = edit(change)
        expect(r.returncode == 1 and what in r.stdout and "header" in r.stdout, f"lying header {label}: {r.stdout}")

    def single(g):
        for name in ("Coordinates", "Velocities", "Masses"):
            values = g["PartType1"][name][...].astype(np.float32)
            del g["PartType1"][name]
            g["PartType1"].create_dataset(name, data=values)
        g["Header"].attrs.modify("MassTable", np.array([0, 0, 0, 0, 0, 0], np.float64))

    r = edit(single)
    expect(r.returncode == 0 and "float32" in r.stdout, f"float32 file: {r.returncode}\n{r.stdout}")

    def heavier(g):
        single(g)
        masses = g["PartType1"]["Masses"]
        masses[...] = masses[...] * np.float32(1.000001)
    r = edit(heavier)
    line = [x for x in r.stdout.splitlines() if "total mass" in x]
    expect(r.returncode == 1 and line and "relative difference 9.7" in line[0] and "1.98910193" in line[0],
           f"heavier float32 file: {line}")


with tempfile.TemporaryDirectory() as tmp:
    lying_headers(tmp)
    provenance(tmp)
    compare(["-p", "2000"], 2000, tmp)
    compare(["-p", "3000", "--seed", "7", "--threads", "2"], 3000, tmp)
    compare(["-p", "0"], 0, tmp)
    foreign_files(tmp)
    units_case(tmp)

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
