#!/usr/bin/env python3
"""galaxy-check-mpi on 1, 2, 3 and more ranks than blocks gives galaxy-check's
report, byte for byte, and its status: one HDF5 file, a GADGET set split
over files (a spherical model under --zero-com, a galaxy with a disc), a
text file (read by one rank), a failing file; refusals said once.

usage: check_mpi_test.py MPIRUN GALAXY_IC GALAXY_CHECK GALAXY_CHECK_MPI
"""
import os
import subprocess
import sys
import tempfile

MPIRUN, IC, CHECK, CHECK_MPI = sys.argv[1], *map(os.path.abspath, sys.argv[2:5])
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


def same_report(args, ranks_list, cwd, status=None):
    one = subprocess.run([CHECK, *args], cwd=cwd, capture_output=True, text=True, timeout=300)
    expect(status is None or one.returncode == status, f"{args}: galaxy-check status {one.returncode}")
    for ranks in ranks_list:
        # CI runs as root; on a small machine ranks share cores.
        many = subprocess.run([MPIRUN, "--allow-run-as-root", "--oversubscribe", "-n", str(ranks), CHECK_MPI, *args],
                              cwd=cwd, capture_output=True, text=True, timeout=300)
        expect(many.returncode == one.returncode, f"{args} on {ranks} ranks: status {many.returncode}, "
               f"not {one.returncode}")
        expect(many.stdout == one.stdout, f"{args} on {ranks} ranks: another report")
        # Standard error: galaxy-check's message, once (mpirun adds its own).
        if one.stderr:
            expect(many.stderr.count(one.stderr.strip()) == 1, f"{args} on {ranks} ranks: {many.stderr!r}")


GALAXY = """units = "astro"
seed = 1
[[component]]
name = "halo"
role = "halo"
profile = "nfw"
mass = 1e12
scale_length = 20
cutoff = 300
particles = 60000
[[component]]
name = "disc"
role = "disc"
mass = 5e10
scale_length = 3
scale_height = 0.3
particles = 60000
[[component]]
name = "bulge"
role = "bulge"
profile = "hernquist"
mass = 1e10
scale_length = 0.7
particles = 12000
[black_hole]
mass = 4e6
"""

with tempfile.TemporaryDirectory() as tmp:
    def make(*args):
        subprocess.run([IC, *args], cwd=tmp, check=True, capture_output=True)

    # 140 000 particles: three blocks of the checks' 65 536.
    make("--seed", "5", "-p", "140000", "--format", "hdf5", "-o", "s.hdf5")
    same_report(["s.hdf5"], (1, 2, 3), tmp, status=0)
    same_report(["s.hdf5", "--threads", "2"], (2,), tmp, status=0)
    # Rank 0's progress is the whole file's, to its last line.
    shown = subprocess.run([MPIRUN, "--allow-run-as-root", "--oversubscribe", "-n", "2", CHECK_MPI, "--progress",
                            "s.hdf5"], cwd=tmp, capture_output=True, text=True, timeout=300)
    lines = [line for line in shown.stderr.replace("\r", "\n").splitlines() if line.startswith("galaxy-check: ")]
    expect(lines and lines[-1].startswith("galaxy-check: 140000 of 140000 particles, 100.0 %"),
           f"progress on 2 ranks ends {lines[-1:]}")
    # Two blocks over four files; five ranks, three of them with no block.
    make("--seed", "4", "-p", "100000", "--zero-com", "--format", "gadget2", "--max-record", "300000", "-o", "z")
    expect(os.path.exists(os.path.join(tmp, "z.3")), "the GADGET set is not split over four files")
    same_report(["--zero-com", "z.0"], (2, 5), tmp, status=0)
    same_report(["z.0"], (3,), tmp, status=1)  # not told of --zero-com: it fails, alike
    with open(os.path.join(tmp, "g.toml"), "w") as f:
        f.write(GALAXY)
    make("--galaxy", "g.toml", "--format", "gadget2", "--max-record", "1000000", "--threads", "2", "-o", "g")
    same_report(["--galaxy", "g.toml", "g.0"], (2, 3, 4), tmp, status=0)
    make("--galaxy", "g.toml", "--format", "hdf5", "-o", "g.hdf5")
    same_report(["g.hdf5", "--threads", "2"], (3,), tmp, status=0)
    # An encounter: each galaxy's rows (three blocks of the first, by type
    # across the file) seen alone on every rank, then the pair.
    with open(os.path.join(tmp, "pair.toml"), "w") as f:
        f.write('units = "astro"\nseed = 3\n[[galaxy]]\nname = "mw"\nfile = "g.toml"\nspin_theta = 40\n'
                '[[galaxy]]\nname = "dwarf"\nparticles = 5000\nspin_theta = 120\nspin_phi = -30\n'
                '[[galaxy.component]]\nrole = "stars"\nprofile = "plummer"\nmass = 1e10\nscale_length = 2\n'
                'cutoff = 30\n[orbit]\npericentre = 20\neccentricity = 0.9\nseparation = 80\n')
    make("--galaxy", "pair.toml", "--format", "hdf5", "-o", "pair.hdf5")
    same_report(["pair.hdf5"], (2, 3), tmp, status=0)
    make("--galaxy", "pair.toml", "--format", "gadget2", "--max-record", "1000000", "-o", "p")
    same_report(["p.0", "--galaxy", "pair.toml", "--threads", "2"], (2,), tmp, status=0)
    make("-p", "3000", "-o", "t.ini")
    same_report(["t.ini"], (2,), tmp, status=0)
    same_report(["missing.hdf5"], (2,), tmp, status=2)
    same_report(["s.hdf5", "--threads", "zero"], (2,), tmp, status=2)

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
