#!/usr/bin/env python3
"""galaxy-ic-mpi on 1, 2 and 3 ranks (and more ranks than particles, and
under --zero-com) gives
the file galaxy-ic --seed S --format hdf5 gives, value for value; refusals
are reported once, with a non-zero status and no file left.

usage: mpi_test.py MPIRUN GALAXY_IC GALAXY_IC_MPI
"""
import os
import subprocess
import sys
import tempfile

import h5py
import numpy as np

MPIRUN, IC, IC_MPI = sys.argv[1], *map(os.path.abspath, sys.argv[2:4])
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


def mpirun(ranks, args, cwd):
    # CI runs as root; on a small machine ranks share cores.
    command = [MPIRUN, "--allow-run-as-root", "--oversubscribe", "-n", str(ranks), IC_MPI, *args]
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300)


def same_file(a, b):
    """Every attribute and dataset of the layout, bit for bit."""
    with h5py.File(a, "r") as f, h5py.File(b, "r") as g:
        for group in ("Header", "Units"):
            attrs_f, attrs_g = f[group].attrs, g[group].attrs
            if sorted(attrs_f) != sorted(attrs_g):
                return f"{group} attribute names differ"
            for name in attrs_f:
                if not np.array_equal(attrs_f[name], attrs_g[name]) or \
                        np.asarray(attrs_f[name]).dtype != np.asarray(attrs_g[name]).dtype:
                    return f"{group}/{name}: {attrs_f[name]} != {attrs_g[name]}"
        for name in ("Coordinates", "Velocities", "Masses", "ParticleIDs"):
            x, y = f["PartType1"][name][...], g["PartType1"][name][...]
            if x.dtype != y.dtype or x.shape != y.shape or x.tobytes() != y.tobytes():
                return f"PartType1/{name} differs"
    return None


def same_binary_files(galaxy, what, tmp):
    """A galaxy file's GADGET 2 and tipsy files on 3 ranks: one process's
    bytes, but for the GADGET header's free text, which names the program."""
    for fmt in ("gadget2", "tipsy"):
        subprocess.run([IC, "--galaxy", galaxy, "--format", fmt, "-o", "c"], cwd=tmp, check=True, capture_output=True)
        want = open(os.path.join(tmp, "c"), "rb").read()
        run = mpirun(3, ["--galaxy", galaxy, "--format", fmt, "-o", "c"], tmp)
        got = open(os.path.join(tmp, "c"), "rb").read()
        if fmt == "gadget2":
            got = got[:216] + want[216:276] + got[276:]
        expect(run.returncode == 0 and got == want, f"{what} {fmt} 3 ranks differs: {run.stdout}")


with tempfile.TemporaryDirectory() as tmp:
    for n, ranks_list, extra in ((10007, (1, 2, 3), []), (2, (3,), []),
                                 (3001, (2,), ["--equilibrium", "--threads", "2"]),
                                 # Each rank builds the model's tables: the same on every rank.
                                 (3001, (3,), ["--profile", "dehnen:0.5", "--anisotropy-radius", "2e18"]),
                                 # One reduction of exact sums: the same means on any split.
                                 (10007, (2, 3), ["--zero-com", "--units", "astro", "--mass", "1e11",
                                                  "--centre", "5,0,0", "--bulk-velocity", "0,0,-40"]),
                                 # A centre found by iterating reductions over the inner particles.
                                 (10007, (2, 3), ["--zero-com", "--profile", "hernquist", "--units", "model"])):
        ref = os.path.join(tmp, "ref.hdf5")
        subprocess.run([IC, "--seed", "77", "-p", str(n), "--format", "hdf5", "-o", ref, *extra],
                       check=True)
        for ranks in ranks_list:
            run = mpirun(ranks, ["--seed", "77", "-p", str(n), "-o", "mpi.hdf5", *extra], tmp)
            expect(run.returncode == 0 and run.stdout == "", f"{ranks} ranks, n={n}: {run.stdout}")
            if run.returncode == 0:
                difference = same_file(ref, os.path.join(tmp, "mpi.hdf5"))
                expect(difference is None, f"{ranks} ranks, n={n}: {difference}")

    # GADGET (split over files) and tipsy through MPI-IO: the bytes of the
    # single-process files, but for the GADGET header's free text, which
    # names the program.
    for fmt, extra, names in (("gadget2", ["--max-record", "30000"], [f"b.{k}" for k in range(5)]),
                              ("gadget1", ["--double", "--units", "astro"], ["b"]), ("tipsy", [], ["b"])):
        args = ["--seed", "5", "-p", "10007", "--format", fmt, "-o", "b", *extra]
        subprocess.run([IC, *args], cwd=tmp, check=True)
        expected = [open(os.path.join(tmp, n), "rb").read() for n in names]
        for ranks in (2, 3):
            run = mpirun(ranks, args, tmp)
            expect(run.returncode == 0 and run.stdout == "", f"{fmt} {ranks} ranks: {run.stdout}")
            for name, want in zip(names, expected):
                got = open(os.path.join(tmp, name), "rb").read()
                if fmt.startswith("gadget"):
                    at = 20 if fmt == "gadget2" else 4
                    got = got[:at + 196] + want[at + 196:at + 256] + got[at + 256:]
                expect(got == want, f"{fmt} {ranks} ranks: {name} differs")

    # A galaxy of components with a disc around a black hole, zero_com over
    # all of them: every type's datasets, and the GADGET and tipsy bytes, as
    # one process on one thread.
    with open(os.path.join(tmp, "g.toml"), "w") as f:
        f.write('units = "astro"\nseed = 4\nparticles = 6000\nzero_com = true\n'
                '[[component]]\nname = "halo"\nrole = "halo"\nprofile = "nfw"\nmass = 1e12\nscale_length = 20\n'
                'cutoff = 300\n[[component]]\nname = "disc"\nrole = "disc"\nmass = 5e10\nscale_length = 3\n'
                'scale_height = 0.3\n[[component]]\nname = "stars"\nrole = "stars"\nprofile = "hernquist"\nmass = 3e10\n'
                'scale_length = 1\n[black_hole]\nmass = 1e7\n')
    subprocess.run([IC, "--galaxy", "g.toml", "--format", "hdf5", "--threads", "1", "-o", "one.hdf5"], cwd=tmp,
                   check=True, capture_output=True)
    for ranks in (2, 3):
        run = mpirun(ranks, ["--galaxy", "g.toml", "-o", "many.hdf5"], tmp)
        expect(run.returncode == 0 and run.stdout == "", f"galaxy {ranks} ranks: {run.stdout}")
        with h5py.File(os.path.join(tmp, "one.hdf5"), "r") as f, h5py.File(os.path.join(tmp, "many.hdf5"), "r") as g:
            types = sorted(k for k in f if k.startswith("PartType"))
            expect(types == ["PartType1", "PartType2", "PartType4", "PartType5"], f"galaxy types {types}")
            expect(types == sorted(k for k in g if k.startswith("PartType")), "galaxy types differ")
            for t in types:
                for name in f[t]:
                    expect(f[t][name][...].tobytes() == g[t][name][...].tobytes(), f"galaxy {ranks} ranks: {t}/{name}")
            for name in f["Header"].attrs:
                expect(np.array_equal(f["Header"].attrs[name], g["Header"].attrs[name]), f"galaxy header {name}")
    same_binary_files("g.toml", "galaxy", tmp)

    # An encounter: each rank makes its share of each galaxy; the centres of
    # mass from exact sums over every rank; its rows of every type written
    # where one process writes them, IDs in galaxy order.
    with open(os.path.join(tmp, "pair.toml"), "w") as f:
        f.write('units = "astro"\nseed = 9\n[[galaxy]]\nname = "a"\nfile = "g.toml"\nspin_theta = 70\n'
                '[[galaxy]]\nname = "b"\nzero_com = true\nparticles = 3001\n[[galaxy.component]]\nrole = "stars"\n'
                'profile = "hernquist"\nmass = 2e10\nscale_length = 1\n[orbit]\npericentre = 15\nseparation = 90\n')
    subprocess.run([IC, "--galaxy", "pair.toml", "--format", "hdf5", "-o", "one.hdf5"], cwd=tmp, check=True,
                   capture_output=True)
    for ranks in (1, 2, 3):
        run = mpirun(ranks, ["--galaxy", "pair.toml", "-o", "many.hdf5"], tmp)
        expect(run.returncode == 0 and run.stdout == "", f"encounter {ranks} ranks: {run.stdout}")
        with h5py.File(os.path.join(tmp, "one.hdf5"), "r") as f, h5py.File(os.path.join(tmp, "many.hdf5"), "r") as g:
            types = sorted(k for k in f if k.startswith("PartType"))
            expect(types == sorted(k for k in g if k.startswith("PartType")), "encounter types differ")
            for t in types:
                for name in f[t]:
                    expect(f[t][name][...].tobytes() == g[t][name][...].tobytes(), f"encounter {ranks} ranks: {t}/{name}")
            for name in f["Parameters"].attrs:
                expect(name == "CommandLine" or np.array_equal(f["Parameters"].attrs[name], g["Parameters"].attrs[name]),
                       f"encounter {ranks} ranks: Parameters/{name}")
            for name in f["Header"].attrs:
                expect(np.array_equal(f["Header"].attrs[name], g["Header"].attrs[name]), f"encounter header {name}")
    same_binary_files("pair.toml", "encounter", tmp)

    refusals = [
        (["-p", "10"], "erreur: galaxy-ic-mpi needs --seed S"),
        (["--seed", "x"], "erreur: seed x is not a decimal integer"),
        (["--seed", "1", "--format", "ini"], "erreur: galaxy-ic-mpi writes hdf5, gadget1, gadget2 or tipsy, not ini"),
        (["--seed", "1", "-o", "missing/x.hdf5"], "erreur: fopen cannot open missing/x.hdf5"),
        # Two ranks hold up to 2 x 715827882 particles.
        (["--seed", "1", "-p", "1431655765"], "erreur: particle count 1431655765 is out of range"),
        (["--seed", "1", "--units", "model", "--mass", "3"], "erreur: --mass has no meaning with --units model"),
        # Found while writing, on every rank: all end, one reports.
        (["--seed", "1", "-p", "30", "--format", "gadget2", "--centre", "1e39,0,0"],
         "erreur: a value lies beyond the range of float32 in galaxy.gadget:"),
    ]
    for args, message in refusals:
        before = sorted(os.listdir(tmp))
        run = mpirun(2, args, tmp)
        expect(run.returncode != 0, f"{args}: status 0")
        expect(run.stdout.startswith(message) and run.stdout.count("erreur") == 1,
               f"{args}: {run.stdout!r}")
        expect(sorted(os.listdir(tmp)) == before, f"{args}: files changed")
    run = mpirun(1, ["--seed", "1", "-h"], tmp)
    expect(run.returncode == 0 and run.stdout.startswith("Usage:"), f"-h: {run.stdout!r}")

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
