#!/usr/bin/env python3
"""The Python module against the programs: make()'s arrays bit for bit
against galaxy-ic's HDF5 file (read by h5py), write() byte for byte against
galaxy-ic's files, check() line for line against galaxy-check, refusals as
exceptions with the programs' messages, Ctrl-C as KeyboardInterrupt.

usage: python_module_test.py GALAXY_IC GALAXY_CHECK MODULE_DIR
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

IC, CHECK, MODULE_DIR = sys.argv[1:4]
sys.path.insert(0, MODULE_DIR)

import h5py  # noqa: E402
import numpy as np  # noqa: E402

import galaxy_ic  # noqa: E402

failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


def cli_hdf5(args, path):
    subprocess.run([IC, *args, "--format", "hdf5", "-o", path], check=True, stdout=subprocess.DEVNULL)
    return h5py.File(path, "r")


def same_bits(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def test_arrays_are_the_hdf5_files(tmp):
    """Every option family, including the default sequence on 1 and 2 threads."""
    cases = [
        ([], dict()),
        (["--threads", "1"], dict(threads=1)),
        (["--threads", "2"], dict(threads=2)),
        (["--seed", "7", "--threads", "1"], dict(seed=7, threads=1)),
        (["--seed", "7", "--threads", "2"], dict(seed=7, threads=2)),
        (["--seed", "11", "--equilibrium"], dict(seed=11, equilibrium=True)),
        (["--equilibrium"], dict(equilibrium=True)),
        (["--seed", "5", "--profile", "plummer", "--anisotropy-radius", "2e18"],
         dict(seed=5, profile="plummer", anisotropy_radius=2e18)),
        (["--seed", "3", "--units", "astro", "--mass", "1e10", "--scale-length", "2.5",
          "--centre", "1,-2,3", "--bulk-velocity", "10,0,-5"],
         dict(seed=3, units="astro", mass=1e10, scale_length=2.5, centre=(1, -2, 3), bulk_velocity=[10, 0, -5])),
        (["--seed", "9", "--zero-com", "--units", "gadget"], dict(seed=9, zero_com=True, units="gadget")),
    ]
    for args, options in cases:
        n = 3000
        f = cli_hdf5(["-p", str(n), *args], os.path.join(tmp, "cli.hdf5"))
        g = galaxy_ic.make(n, **options)
        label = " ".join(args) or "default"
        part = f["PartType1"]
        for name, array in [("Coordinates", g.pos), ("Velocities", g.vel), ("Masses", g.mass),
                            ("ParticleIDs", g.ids)]:
            expect(same_bits(part[name][:], array), f"{label}: {name} differs from the HDF5 file")
        stored = dict(f["Parameters"].attrs)
        for key, value in g.parameters.items():
            want = stored[key].decode() if isinstance(stored[key], bytes) else stored[key]
            if isinstance(value, tuple):
                want = tuple(want)
            expect(value == want, f"{label}: parameter {key} {value!r}, file {want!r}")
        expect(g.units["system"] == stored["Units"].decode(), f"{label}: units {g.units}")
        u = f["Units"].attrs
        expect(g.units["length"] * 100 == u["Unit length in cgs (U_L)"], f"{label}: length unit")
        f.close()
    again = galaxy_ic.make(3000)
    expect(same_bits(again.pos, galaxy_ic.make(3000).pos), "the default sequence differs from one call to the next")
    expect(len(galaxy_ic.make(0)) == 0 and galaxy_ic.make(0).pos.shape == (0, 3), "an empty galaxy")


def test_arrays_are_views_of_one_record():
    g = galaxy_ic.make(100, seed=1)
    pos = g.pos
    pos[0, 0] = 42.0
    expect(g.pos[0, 0] == 42.0, "pos is a copy, not a view of the record")
    del g
    expect(pos[0, 0] == 42.0 and pos.base is not None, "a view outlives its galaxy")


def test_threads_run_while_galaxies_are_made():
    """The GIL is released: Python threads go on, and two makes at once
    (the default sequence and a seeded one) give their sequential arrays."""
    import threading
    want = {None: galaxy_ic.make(200_000, threads=1).pos, 3: galaxy_ic.make(200_000, seed=3, threads=1).pos}
    got, ticks, done = {}, [0], threading.Event()

    def tick():
        while not done.is_set():
            ticks[0] += 1

    def make(seed):
        got[seed] = galaxy_ic.make(200_000, seed=seed, threads=1).pos

    counter = threading.Thread(target=tick)
    counter.start()
    before = ticks[0]
    galaxy_ic.make(400_000, seed=1, threads=1)
    during = ticks[0] - before
    makers = [threading.Thread(target=make, args=(seed,)) for seed in want]
    for t in makers:
        t.start()
    for t in makers:
        t.join()
    done.set()
    counter.join()
    for seed in want:
        expect(same_bits(got[seed], want[seed]), f"seed {seed}: concurrent make() differs")
    expect(during > 1000, f"only {during} ticks of another thread while particles were made")


def test_write_gives_the_programs_files(tmp):
    for options, fmt, extra in [(dict(), "ini", []),
                                (dict(seed=4, units="astro", centre=(0.5, 0, 0)), "ini", []),
                                (dict(seed=4, zero_com=True), "gadget2", []),
                                (dict(seed=4, units="gadget"), "gadget1", ["--double"]),
                                (dict(seed=2, units="astro"), "tipsy", ["--softening", "0.01"])]:
        g = galaxy_ic.make(2000, **options)
        mine, theirs = os.path.join(tmp, "mine." + fmt), os.path.join(tmp, "theirs." + fmt)
        g.write(mine, fmt, double_precision="--double" in extra,
                softening=0.01 if "--softening" in extra else None)
        # The same command line, so that even recorded provenance agrees.
        args = g.command_line.split()[1:] + ["--format", fmt, "-o", mine] + extra
        subprocess.run([IC, *args], check=True)  # over mine's name, into theirs below
        os.replace(mine, theirs)
        g.write(mine, fmt, double_precision="--double" in extra,
                softening=0.01 if "--softening" in extra else None)
        with open(mine, "rb") as a, open(theirs, "rb") as b:
            expect(a.read() == b.read(), f"write({fmt}) {options} differs from galaxy-ic's file")
    g = galaxy_ic.make(500, seed=1)
    path = os.path.join(tmp, "w.hdf5")
    g.write(path)
    with h5py.File(path, "r") as f:
        expect(same_bits(f["PartType1/Coordinates"][:], g.pos), "write(hdf5) coordinates")
        line = f["Code"].attrs["CommandLine"].decode()
        expect(line == g.command_line + " --format hdf5 -o " + path, f"recorded command line {line!r}")
    # A refused write keeps the old file: float32 cannot hold the SI mass
    # of a one-particle galaxy.
    old = os.path.join(tmp, "old.tipsy")
    with open(old, "w") as f:
        f.write("old")
    try:
        galaxy_ic.make(1, seed=1).write(old, "tipsy")
        expect(False, "an SI tipsy file was written")
    except ValueError as e:
        expect("float32" in str(e), f"tipsy overflow message: {e}")
    with open(old) as f:
        expect(f.read() == "old", "a refused write replaced the old file")


def cli_message(args):
    run = subprocess.run([IC, *args], capture_output=True, text=True)
    return run.returncode, run.stdout.removeprefix("erreur: ")


def test_refusals():
    for options, args in [(dict(seed=-1), ["--seed", "-1"]),
                          (dict(mass=-2), ["--mass", "-2"]),
                          (dict(units="parsec"), ["--units", "parsec"]),
                          (dict(centre=(1, 2)), ["--centre", "1,2"]),
                          (dict(profile="dehnen:3"), ["--profile", "dehnen:3"]),
                          (dict(profile="plummer", anisotropy_radius=5e17),
                           ["--profile", "plummer", "--anisotropy-radius", "5e+17"]),
                          (dict(profile="nfw", equilibrium=True), ["--profile", "nfw", "--equilibrium"]),
                          (dict(threads=0), ["--threads", "0"]),
                          (dict(units="model", mass=3), ["--units", "model", "--mass", "3"])]:
        status, message = cli_message(["-p", "10", *args, "-o", os.devnull])
        try:
            galaxy_ic.make(10, **options)
            expect(False, f"{options} was accepted")
        except ValueError as e:
            expect(status == 1 and str(e) == message, f"{options}: {e!r}, galaxy-ic says {message!r}")
    try:
        galaxy_ic.make(10 ** 30)
        expect(False, "10**30 particles were accepted")
    except ValueError as e:
        expect("out of range" in str(e), f"huge count: {e}")
    for call in [lambda: galaxy_ic.make(1.5), lambda: galaxy_ic.make(10, seed="1"),
                 lambda: galaxy_ic.make(10, mass="1"), lambda: galaxy_ic.make(10, centre="1,2,3"),
                 lambda: galaxy_ic.make(10, zero_com=1), lambda: galaxy_ic.make(10, colour=1),
                 lambda: galaxy_ic.check("x", colour=1), lambda: galaxy_ic.make(10).write(3)]:
        try:
            call()
            expect(False, "a wrongly typed argument was accepted")
        except TypeError:
            pass
    for call, kind in [(lambda: galaxy_ic.make(-1), ValueError),
                       (lambda: galaxy_ic.make(10).write("/nonexistent/dir/g.hdf5"), OSError),
                       (lambda: galaxy_ic.make(10).write(os.devnull, "fits"), ValueError),
                       (lambda: galaxy_ic.check("/nonexistent"), OSError),
                       (lambda: galaxy_ic.check(__file__), ValueError),
                       (lambda: galaxy_ic.check(__file__, threshold=2), ValueError)]:
        try:
            call()
            expect(False, f"no {kind.__name__}")
        except kind:
            pass


def test_check_agrees_with_galaxy_check(tmp):
    path = os.path.join(tmp, "c.hdf5")
    subprocess.run([IC, "-p", "4000", "--seed", "8", "--profile", "hernquist", "--format", "hdf5",
                    "-o", path], check=True)
    for options, args in [(dict(), []), (dict(profile="plummer"), ["--profile", "plummer"]),
                          (dict(threshold=0.5, particles=4000), ["--threshold", "0.5", "--particles", "4000"])]:
        run = subprocess.run([CHECK, path, *args], capture_output=True, text=True)
        report = galaxy_ic.check(path, **options)
        expect(str(report) == run.stdout, f"check {args}: report differs from galaxy-check's")
        expect(report.passed == (run.returncode == 0) and report.verdict == run.stdout.split()[-1],
               f"check {args}: verdict")
    g = galaxy_ic.make(4000, seed=8, profile="hernquist")
    memory = galaxy_ic.check(g)
    # Only what says where the model came from, and the header, differ.
    on_file = [line for line in galaxy_ic.check(path).lines if line[0] != "header"]
    expect([line for line in memory.lines if line[0] not in ("model from", "units")] ==
           [line for line in on_file if line[0] not in ("model from", "units")],
           f"a galaxy in memory is not checked as its file is: {memory.lines} {on_file}")
    g.vel[:] *= 1.5
    expect(not galaxy_ic.check(g), "an unbound galaxy passes")


def test_ctrl_c_interrupts_and_frees():
    """A long run, SIGINT after it started: KeyboardInterrupt soon, memory back."""
    child = subprocess.Popen([sys.executable, "-c", f"""
import sys, time
sys.path.insert(0, {MODULE_DIR!r})
import galaxy_ic
def rss():
    return int(open('/proc/self/statm').read().split()[1]) * 4096
print('ready', flush=True)
start = time.time()
try:
    galaxy_ic.make(10_000_000, threads=1)
    print('finished')
except KeyboardInterrupt:
    print('interrupted', round(time.time() - start, 2), rss() // 2**20, len(galaxy_ic.make(10)))
"""], stdout=subprocess.PIPE, text=True)
    child.stdout.readline()
    time.sleep(1.0)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    words = out.split()
    expect(child.returncode == 0 and words[:1] == ["interrupted"], f"Ctrl-C: {out!r}")
    if words[:1] == ["interrupted"]:
        expect(float(words[1]) < 3.0, f"stopped {words[1]} s after the start")
        expect(int(words[2]) < 400, f"{words[2]} MiB still resident after the interrupt")
        expect(words[3] == "10", "no galaxy after an interrupt")


def test_memory_refused_is_an_exception():
    """Allocation failure (an address-space limit) raises MemoryError; the
    interpreter goes on."""
    run = subprocess.run([sys.executable, "-c", f"""
import resource, sys
sys.path.insert(0, {MODULE_DIR!r})
import galaxy_ic
size = int(open('/proc/self/statm').read().split()[0]) * 4096
resource.setrlimit(resource.RLIMIT_AS, (size + 200 * 2**20, resource.RLIM_INFINITY))
try:
    galaxy_ic.make(10_000_000, seed=1)
    print('made')
except MemoryError:
    print('refused', len(galaxy_ic.make(1000, seed=1)))
"""], capture_output=True, text=True, timeout=60)
    expect(run.returncode == 0 and run.stdout.split() == ["refused", "1000"],
           f"allocation failure: {run.returncode} {run.stdout!r} {run.stderr[-300:]!r}")


def test_ctrl_c_keeps_the_old_file(tmp):
    old = os.path.join(tmp, "old.ini")
    with open(old, "w") as f:
        f.write("old")
    child = subprocess.Popen([sys.executable, "-c", f"""
import sys
sys.path.insert(0, {MODULE_DIR!r})
import galaxy_ic
g = galaxy_ic.make(4_000_000, seed=1, threads=1)
print('ready', flush=True)
try:
    g.write({old!r}, 'ini')
    print('finished')
except KeyboardInterrupt:
    print('interrupted')
"""], stdout=subprocess.PIPE, text=True)
    child.stdout.readline()
    time.sleep(0.2)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    expect(out.split() == ["interrupted"], f"Ctrl-C in write(): {out!r}")
    with open(old) as f:
        expect(f.read() == "old", "an interrupted write() replaced the old file")
    expect(os.listdir(tmp).count("old.ini") == 1 and not [n for n in os.listdir(tmp) if n.startswith(".old.ini")],
           "an interrupted write() left its temporary file")


def test_stubs_name_what_the_module_has():
    import ast
    with open(os.path.join(MODULE_DIR, "galaxy_ic.pyi")) as f:
        tree = ast.parse(f.read())
    stubbed = {node.name: node for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    public = {name for name in dir(galaxy_ic) if not name.startswith("_")}
    expect(public == set(stubbed), f"stubs name {sorted(stubbed)}, the module has {sorted(public)}")
    for cls in ("Galaxy", "Report"):
        if cls in stubbed:
            members = {n.name for n in stubbed[cls].body if isinstance(n, ast.FunctionDef)}
            real = {n for n in dir(getattr(galaxy_ic, cls)) if not n.startswith("_")}
            expect(real <= members, f"{cls}: stubs lack {sorted(real - members)}")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        test_arrays_are_the_hdf5_files(tmp)
        test_arrays_are_views_of_one_record()
        test_threads_run_while_galaxies_are_made()
        test_write_gives_the_programs_files(tmp)
        test_refusals()
        test_check_agrees_with_galaxy_check(tmp)
        test_ctrl_c_interrupts_and_frees()
        test_ctrl_c_keeps_the_old_file(tmp)
        test_memory_refused_is_an_exception()
    expect(galaxy_ic.make.__doc__.startswith("make(n: int, *, seed"), "make's docstring has no signature")
    test_stubs_name_what_the_module_has()
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
