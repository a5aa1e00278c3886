#!/usr/bin/env python3
"""The Python module against the programs: make()'s arrays bit for bit
against galaxy-ic's HDF5 file (read by h5py), write() byte for byte against
galaxy-ic's files, check() line for line against galaxy-check, refusals as
exceptions with the programs' messages, Ctrl-C as KeyboardInterrupt.
The hostile group: arguments of every odd type (under python3 -X dev),
edited arrays read back by independent readers, threads writing at once,
exceptions' types. The signals group: signals in child processes, FIFOs
nobody opens, a long check().

usage: python_module_test.py GALAXY_IC GALAXY_CHECK MODULE_DIR [programs|hostile|signals]
"""
import errno
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

IC, CHECK, MODULE_DIR = sys.argv[1:4]
GROUP = sys.argv[4] if len(sys.argv) > 4 else "programs"
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


def test_ctrl_c_interrupts_the_tables():
    """A model whose tables take a while (a sharp turn, refined nodes):
    SIGINT while they are built ends the call well before they would end."""
    code = f"""
import sys, time, signal, threading, os
sys.path.insert(0, {MODULE_DIR!r})
import galaxy_ic
start = time.time()
galaxy_ic.make(1, profile="zhao:10,5,1", units="model", threads=1)
whole = time.time() - start
threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
start = time.time()
try:
    galaxy_ic.make(1, profile="zhao:10,5,1", units="model", threads=1)
    print('finished', whole)
except KeyboardInterrupt:
    print('interrupted', whole, time.time() - start)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60).stdout.split()
    expect(out[:1] == ["interrupted"], f"Ctrl-C in the tables: {out}")
    if out[:1] == ["interrupted"]:
        whole, stopped = float(out[1]), float(out[2])
        expect(stopped < 0.05 + 0.6 * whole, f"stopped {stopped:.3f} s after the start; the tables take {whole:.3f} s")


GALAXY_FILE = """units = "astro"
seed = 6
particles = 8000
[[component]]
name = "halo"
role = "halo"
profile = "nfw"
mass = 1e12
scale_length = 20
cutoff = 300
[[component]]
name = "stars"
role = "stars"
profile = "hernquist"
mass = 4e10
scale_length = 2
[black_hole]
mass = 1e7
"""

COMPONENTS = [{"name": "halo", "role": "halo", "profile": "nfw", "mass": 1e12, "scale_length": 20, "cutoff": 300},
              {"name": "stars", "role": "stars", "profile": "hernquist", "mass": 4e10, "scale_length": 2}]


def test_galaxies_of_components(tmp):
    """make(galaxy=) and make(components=) give galaxy-ic --galaxy's arrays;
    g["name"] are views; write() keeps the types; check() holds a galaxy
    against the galaxy file it was made from; bad keys raise with the line."""
    path = os.path.join(tmp, "g.toml")
    with open(path, "w") as f:
        f.write(GALAXY_FILE)
    cli = os.path.join(tmp, "cli.hdf5")
    subprocess.run([IC, "--galaxy", path, "--format", "hdf5", "-o", cli], check=True, capture_output=True)
    from_file = galaxy_ic.make(galaxy=path)
    given = galaxy_ic.make(8000, seed=6, units="astro", components=COMPONENTS, black_hole=1e7)
    with h5py.File(cli, "r") as f:
        for g in (from_file, given):
            expect(g.components == ["halo", "stars", "black hole"], f"components {g.components}")
            for name, t in (("halo", 1), ("stars", 4), ("black hole", 5)):
                part = g[name]
                expect(part.particle_type == t and bool((part.type == t).all()), f"{name} types")
                expect(same_bits(part.pos, f[f"PartType{t}/Coordinates"][...]), f"{name} positions differ from the file's")
                expect(same_bits(part.mass, f[f"PartType{t}/Masses"][...]), f"{name} masses differ from the file's")
            expect(len(g) == 8001 and len(g["black hole"]) == 1, "counts")
    given["stars"].vel[:] *= 1.0  # views: writable, the same memory
    expect(given["stars"].pos.base is not None, "a component's arrays are views")
    expect(galaxy_ic.check(given).passed and galaxy_ic.check(from_file).passed, "check() of a galaxy of components")
    written = os.path.join(tmp, "w.gadget2")
    given.write(written)
    expect(galaxy_ic.check(written, galaxy=path).passed, "its GADGET file, against the galaxy file")
    given.write(os.path.join(tmp, "w.hdf5"))
    with h5py.File(os.path.join(tmp, "w.hdf5"), "r") as f:
        expect(sorted(k for k in f if k.startswith("PartType")) == ["PartType1", "PartType4", "PartType5"], "types written")
        expect("GalaxyFile" in f["Parameters"].attrs, "the galaxy file stored")
    expect(galaxy_ic.check(os.path.join(tmp, "w.hdf5")).passed, "an HDF5 file checked against its stored galaxy file")
    for call, kind, words in (
            (lambda: galaxy_ic.make(10, components=[dict(COMPONENTS[0], masse=1)]), ValueError,
             "<components>:10: key component[0].masse: is not a key of a galaxy file here"),
            (lambda: galaxy_ic.make(10, components=[dict(COMPONENTS[0], mass=[1])]), TypeError, "mass"),
            (lambda: galaxy_ic.make(10, components="halo"), TypeError, "components"),
            (lambda: galaxy_ic.make(10, components=COMPONENTS, galaxy=path), ValueError, "contradict"),
            (lambda: galaxy_ic.make(10, black_hole=1e6), ValueError, "black_hole needs components"),
            (lambda: galaxy_ic.make(galaxy=path, profile="nfw"), ValueError, "--profile has no place beside --galaxy"),
            (lambda: galaxy_ic.make(10, components=[dict(COMPONENTS[1], profile="plummer")], black_hole=1e6),
             ValueError, "has no equilibrium around a black hole"),
            (lambda: from_file["disc"], KeyError, "no component named disc")):
        try:
            call()
            expect(False, f"no {kind.__name__} for {words}")
        except kind as e:
            expect(words in str(e), f"{kind.__name__}: {e}")


def test_encounters(tmp):
    """make(galaxy=) of an encounter's file gives galaxy-ic's arrays and IDs;
    g["name"] a galaxy's rows, g["name component"] views; write() gives the
    program's file; check() holds it against its description, and fails
    it when one galaxy's motion is edited."""
    with open(os.path.join(tmp, "g.toml"), "w") as f:
        f.write(GALAXY_FILE.replace("particles = 8000", "particles = 3000"))
    path = os.path.join(tmp, "pair.toml")
    with open(path, "w") as f:
        f.write('units = "astro"\nseed = 4\n[[galaxy]]\nname = "a"\nfile = "g.toml"\nspin_theta = 30\n'
                '[[galaxy]]\nname = "b"\nfile = "g.toml"\nspin_theta = 150\n'
                '[orbit]\npericentre = 30\neccentricity = 0.8\nseparation = 120\n')
    cli = os.path.join(tmp, "cli.hdf5")
    subprocess.run([IC, "--galaxy", path, "--format", "hdf5", "-o", cli], check=True, capture_output=True)
    g = galaxy_ic.make(galaxy=path)
    expect(g.galaxies == ["a", "b"] and g.components[0] == "a halo", f"names {g.galaxies} {g.components}")
    with h5py.File(cli, "r") as f:
        parts = [f[k] for k in sorted(f) if k.startswith("PartType")]
        ids = np.concatenate([p["ParticleIDs"][...] for p in parts])
        pos = np.concatenate([p["Coordinates"][...] for p in parts])
        expect(same_bits(g.pos, pos) and np.array_equal(g.ids, ids), "the arrays and IDs are the file's")
        expect(same_bits(g["b halo"].pos, f["PartType1/Coordinates"][-len(g["b halo"]):]), "a component's rows")
    a = g["a"]
    expect(len(a) == 3001 and a.particle_type is None and np.array_equal(np.sort(a.ids), np.arange(1, 3002)),
           f"galaxy a: {len(a)} particles, IDs 1 ... 3001")
    expect(g["a halo"].pos.base is not None, "a component's arrays are views")
    expect(galaxy_ic.check(g).passed, "check() of an encounter in memory")
    written = os.path.join(tmp, "w.hdf5")
    g.write(written)
    with h5py.File(written, "r") as f:
        parts = [f[k] for k in sorted(f) if k.startswith("PartType")]
        expect(np.array_equal(np.concatenate([p["ParticleIDs"][...] for p in parts]), ids), "written IDs in galaxy order")
        expect(f["Parameters"].attrs["Galaxy2Name"] in (b"b", "b"), "the encounter's Parameters written")
    expect(galaxy_ic.check(written).passed, "the written file checked against its stored description")
    g.vel[np.flatnonzero(g.ids > 3001)] *= 1.001
    expect(not galaxy_ic.check(g).passed, "a galaxy's motion edited fails")


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
    stubbed.update({node.target.id: node for node in tree.body
                    if isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_")})
    public = {name for name in dir(galaxy_ic) if not name.startswith("_")}
    expect(public == set(stubbed), f"stubs name {sorted(stubbed)}, the module has {sorted(public)}")
    for cls in ("Galaxy", "Report"):
        if cls in stubbed:
            members = {n.name for n in stubbed[cls].body if isinstance(n, ast.FunctionDef)}
            real = {n for n in dir(getattr(galaxy_ic, cls)) if not n.startswith("_")}
            expect(real <= members, f"{cls}: stubs lack {sorted(real - members)}")



# The hostile group.

def in_child(code, timeout=60, dev=True, **options):
    """Runs code in a fresh interpreter (under -X dev, where a freed object is
    reused at once) with the module imported."""
    prelude = f"import os, sys\nsys.path.insert(0, {MODULE_DIR!r})\nimport galaxy_ic\n"
    return subprocess.run([sys.executable, *(["-X", "dev"] if dev else []), "-c", prelude + code],
                          capture_output=True, text=True, timeout=timeout, **options)


def test_odd_arguments_never_crash(tmp):
    """Sequences that make their items afresh (array.array, numpy), 0-d and
    1-d arrays, numpy bools and scalars, in make(), write() and check():
    each gives its result or a TypeError, never a crash."""
    code = f"""
import array, fractions
import numpy as np
tmp = {tmp!r}
g = galaxy_ic.make(50, seed=1, units="astro")
def outcome(call):
    try:
        r = call()
        return "ok " + (r.command_line if isinstance(r, galaxy_ic.Galaxy) else type(r).__name__)
    except Exception as e:
        return type(e).__name__
make = galaxy_ic.make
cases = dict(
    array_centre=lambda: make(5, seed=1, centre=array.array('d', [1.5, 2.5, 3.5])),
    array_bulk=lambda: make(5, seed=1, bulk_velocity=array.array('f', [0.5, 1, 2])),
    numpy_centre=lambda: make(5, seed=1, centre=np.array([1., 2, 3])),
    numpy_bulk=lambda: make(5, seed=1, bulk_velocity=np.array([1., 2, 3]) * 1e3),
    float32_centre=lambda: make(5, seed=1, centre=np.array([0.5, 1, 2], dtype=np.float32)),
    matrix_centre=lambda: make(5, seed=1, centre=np.array([[1., 2, 3]])),
    scalar_centre=lambda: make(5, seed=1, centre=np.array(1.)),
    mass_0d=lambda: make(5, seed=1, mass=np.array(2e39)),
    n_0d_float=lambda: make(np.array(5.0)),
    all_0d=lambda: make(np.array(5), seed=np.array(7), threads=np.array(1)),
    numpy_ints=lambda: make(np.int64(5), seed=np.uint64(2**64 - 1), threads=np.int8(2)),
    n_1d=lambda: make(np.array([5])),
    mass_1d=lambda: make(5, mass=np.array([2e39])),
    n_numpy_true=lambda: make(np.True_),
    n_true=lambda: make(True),
    mass_numpy_true=lambda: make(5, mass=np.True_),
    mass_0d_bool=lambda: make(5, mass=np.array(True)),
    equilibrium_numpy_true=lambda: make(5, seed=1, equilibrium=np.True_),
    equilibrium_0d_bool=lambda: make(5, seed=1, equilibrium=np.array(True)),
    equilibrium_one=lambda: make(5, equilibrium=1),
    units_0d_str=lambda: make(5, seed=1, units=np.array("astro")),
    fraction_mass=lambda: make(5, seed=1, units="astro", mass=fractions.Fraction(1, 2) * 10**10),
    complex_mass=lambda: make(5, mass=1j),
    softening_0d=lambda: g.write(tmp + "/s.tipsy", softening=np.array(0.01)),
    softening_bool=lambda: g.write(tmp + "/s.tipsy", softening=np.True_),
    double_one=lambda: g.write(tmp + "/s.gadget2", double_precision=1),
    double_numpy_true=lambda: g.write(tmp + "/s.gadget2", double_precision=np.True_),
    max_record_0d=lambda: g.write(tmp + "/s.gadget2", max_record=np.array(10**6)),
    check_mass_0d=lambda: galaxy_ic.check(g, mass=np.array(1e10)),
    check_centre_array=lambda: galaxy_ic.check(g, centre=array.array('d', [0, 0, 0])),
    check_centre_numpy=lambda: galaxy_ic.check(g, bulk_velocity=np.zeros(3)),
    check_particles_true=lambda: galaxy_ic.check(g, particles=np.True_),
)
for name, call in cases.items():
    print(name, outcome(call))
"""
    want = dict(
        array_centre="ok galaxy-ic -p 5 --seed 1 --centre 1.5,2.5,3.5",
        array_bulk="ok galaxy-ic -p 5 --seed 1 --bulk-velocity 0.5,1.0,2.0",
        numpy_centre="ok galaxy-ic -p 5 --seed 1 --centre 1.0,2.0,3.0",
        numpy_bulk="ok galaxy-ic -p 5 --seed 1 --bulk-velocity 1000.0,2000.0,3000.0",
        float32_centre="ok galaxy-ic -p 5 --seed 1 --centre 0.5,1.0,2.0",
        matrix_centre="TypeError", scalar_centre="TypeError",
        mass_0d="ok galaxy-ic -p 5 --seed 1 --mass 2e+39",
        n_0d_float="TypeError",
        all_0d="ok galaxy-ic -p 5 --seed 7 --threads 1",
        numpy_ints="ok galaxy-ic -p 5 --seed 18446744073709551615 --threads 2",
        n_1d="TypeError", mass_1d="TypeError", n_numpy_true="TypeError", n_true="TypeError",
        mass_numpy_true="TypeError", mass_0d_bool="TypeError",
        equilibrium_numpy_true="ok galaxy-ic -p 5 --seed 1 --equilibrium",
        equilibrium_0d_bool="ok galaxy-ic -p 5 --seed 1 --equilibrium",
        equilibrium_one="TypeError",
        units_0d_str="ok galaxy-ic -p 5 --seed 1 --units astro",
        fraction_mass="ok galaxy-ic -p 5 --seed 1 --mass 5000000000.0 --units astro",
        complex_mass="TypeError",
        softening_0d="ok NoneType", softening_bool="TypeError",
        double_one="TypeError", double_numpy_true="ok NoneType", max_record_0d="ok NoneType",
        check_mass_0d="ok Report", check_centre_array="ok Report", check_centre_numpy="ok Report",
        check_particles_true="TypeError",
    )
    run = in_child(code)
    expect(run.returncode == 0, f"odd arguments: status {run.returncode}, {run.stderr[-400:]!r}")
    got = dict(line.split(" ", 1) for line in run.stdout.splitlines())
    for name, outcome in want.items():
        expect(got.get(name) == outcome, f"{name}: {got.get(name)!r}, not {outcome!r}")


def test_exceptions_have_their_types(tmp):
    g = galaxy_ic.make(10, seed=1, units="astro")
    linked = os.path.join(tmp, "linked.hdf5")
    with open(linked, "w") as f:
        f.write("old")
    os.link(linked, linked + ".too")
    for label, call, kind, number in [
            ("missing folder, hdf5", lambda: g.write("/nonexistent/dir/g.hdf5"), FileNotFoundError, errno.ENOENT),
            ("missing folder, ini", lambda: g.write("/nonexistent/dir/g.ini"), FileNotFoundError, errno.ENOENT),
            ("missing folder, gadget", lambda: g.write("/nonexistent/g.gadget2"), FileNotFoundError, errno.ENOENT),
            ("a folder, hdf5", lambda: g.write(tmp, "hdf5"), IsADirectoryError, errno.EISDIR),
            ("a folder, ini", lambda: g.write(tmp, "ini"), IsADirectoryError, errno.EISDIR),
            ("hard links", lambda: g.write(linked), OSError, errno.EMLINK),
            ("check, missing", lambda: galaxy_ic.check("/nonexistent"), FileNotFoundError, errno.ENOENT),
            ("check, a folder", lambda: galaxy_ic.check(tmp), IsADirectoryError, errno.EISDIR)]:
        try:
            call()
            expect(False, f"{label}: no exception")
        except OSError as e:
            expect(isinstance(e, kind) and e.errno == number, f"{label}: {type(e).__name__} errno {e.errno}: {e}")
    with open(linked) as f:
        expect(f.read() == "old", "a refused hard-linked file was changed")
    expect(sorted(os.listdir(tmp)) == ["linked.hdf5", "linked.hdf5.too"], f"left behind: {os.listdir(tmp)}")
    os.unlink(linked + ".too")
    os.unlink(linked)
    # Beyond the machine's memory: MemoryError, as for what does not fit now.
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if 56 * 715_000_000 > physical:
        try:
            galaxy_ic.make(715_000_000)
            expect(False, "a galaxy beyond physical memory was made")
        except MemoryError as e:
            expect("more memory than this machine has" in str(e), f"beyond memory: {e}")


def test_sealed_folder_is_refused_not_written_in_place(tmp):
    """A file its user may write in a folder that allows no temporary file:
    refused with PermissionError, the file as it was (root runs it as nobody)."""
    nobody = 65534
    folder = os.path.join(tmp, "sealed")
    os.mkdir(folder)
    target = os.path.join(folder, "f.ini")
    with open(target, "w") as f:
        f.write("old")
    as_nobody = {}
    if os.geteuid() == 0:
        for path in (os.path.dirname(tmp), tmp):
            os.chmod(path, 0o755)
        for path in (folder, target):
            os.chown(path, nobody, nobody)
        as_nobody = dict(user=nobody, group=nobody, extra_groups=[])
    os.chmod(folder, 0o555)
    run = in_child(f"""
g = galaxy_ic.make(100, seed=1)
try:
    g.write({target!r})
    print("written")
except PermissionError as e:
    print("refused", e.errno)
""", **as_nobody)
    os.chmod(folder, 0o755)
    expect(run.stdout.split() == ["refused", str(errno.EACCES)], f"sealed folder: {run.stdout!r} {run.stderr[-300:]!r}")
    with open(target) as f:
        expect(f.read() == "old", "a file in a sealed folder was written in place")
    expect(os.listdir(folder) == ["f.ini"], f"sealed folder holds {os.listdir(folder)}")


def test_threads_write_apart(tmp):
    """Four threads, each writing its own galaxy to its own folder, round
    after round: every file is its thread's whole file (as written alone),
    and no temporary file is left."""
    formats = ["ini", "hdf5", "gadget2", "tipsy"]
    galaxies = [galaxy_ic.make(2000, seed=t, units="astro") for t in range(4)]
    folders = [os.path.join(tmp, f"t{t}") for t in range(4)]
    alone = {}
    for t, folder in enumerate(folders):
        os.mkdir(folder)
        for fmt in formats:
            path = os.path.join(folder, "g." + fmt)
            galaxies[t].write(path)
            with open(path, "rb") as f:
                alone[path] = f.read()
            os.unlink(path)
    wrong = []

    def rounds(t):
        for r in range(30):
            for fmt in formats:
                path = os.path.join(folders[t], "g." + fmt)
                try:
                    galaxies[t].write(path)
                    with open(path, "rb") as f:
                        if f.read() != alone[path]:
                            wrong.append(f"thread {t} round {r} {fmt}: another file")
                except Exception as e:
                    wrong.append(f"thread {t} round {r} {fmt}: {e!r}")

    writers = [threading.Thread(target=rounds, args=(t,)) for t in range(4)]
    for w in writers:
        w.start()
    for w in writers:
        w.join()
    expect(not wrong, f"{len(wrong)} bad writes, first {wrong[:3]}")
    for folder in folders:
        expect(sorted(os.listdir(folder)) == sorted("g." + fmt for fmt in formats),
               f"{folder} holds {sorted(os.listdir(folder))}")


def test_hdf5_bytes_do_not_depend_on_the_time(tmp):
    """The same command a second later gives the same bytes (module and
    program): no object records when it was made."""
    mine, theirs = os.path.join(tmp, "m.hdf5"), os.path.join(tmp, "t.hdf5")
    g = galaxy_ic.make(1000, seed=1)

    def both():
        g.write(mine)
        subprocess.run([IC, "-p", "1000", "--seed", "1", "--format", "hdf5", "-o", theirs], check=True)
        return [open(p, "rb").read() for p in (mine, theirs)]

    first = both()
    time.sleep(1.1)
    second = both()
    expect(first[0] == second[0], "write(): an HDF5 file differs a second later")
    expect(first[1] == second[1], "galaxy-ic: an HDF5 file differs a second later")


def gadget_blocks(path):
    """A format-2 GADGET file's blocks by label, read from its framing."""
    data, blocks, at = open(path, "rb").read(), {}, 0
    while at < len(data):
        eight, label, size, again = struct.unpack_from("<i4sii", data, at)
        (length,) = struct.unpack_from("<i", data, at + 16)
        (trailer,) = struct.unpack_from("<i", data, at + 20 + length)
        if (eight, again) != (8, 8) or size != length + 8 or trailer != length:
            raise ValueError(f"{path}: bad framing at {at}")
        blocks[label.decode()] = data[at + 20:at + 20 + length]
        at += 24 + length
    return blocks


def tipsy_masses(path):
    data = open(path, "rb").read()
    (ndark,) = struct.unpack_from(">i", data, 20)
    row = np.dtype([("mass", ">f4"), ("pos", ">f4", 3), ("vel", ">f4", 3), ("eps", ">f4"), ("phi", ">f4")])
    return np.frombuffer(data, row, count=ndark, offset=32)["mass"]


def ini_masses(path):
    with open(path) as f:
        return np.array([float(line.split("=")[1]) for line in f if line.startswith("mass = ")])


def written_masses(g, tmp, label):
    """Each format's masses of g, read back independently of the writers."""
    base = os.path.join(tmp, label)
    for fmt in ("hdf5", "gadget2", "tipsy", "ini"):
        g.write(base + "." + fmt)
    g.write(base + ".d.gadget2", double_precision=True)
    with h5py.File(base + ".hdf5", "r") as f:
        table, masses = f["Header"].attrs["MassTable"][1], f["PartType1/Masses"][:]
    head = gadget_blocks(base + ".gadget2")
    return dict(table=table, masses=masses, massarr=struct.unpack_from("<d", head["HEAD"], 32)[0],
                block=np.frombuffer(head["MASS"], "<f4") if "MASS" in head else None,
                double_block=np.frombuffer(gadget_blocks(base + ".d.gadget2").get("MASS", b""), "<f8"),
                tipsy=tipsy_masses(base + ".tipsy"), ini=ini_masses(base + ".ini"))


def test_edited_masses_and_ids_are_written(tmp):
    g = galaxy_ic.make(1000, seed=2, units="gadget")
    g.mass[:500] *= 2
    m = written_masses(g, tmp, "half")
    expect(m["table"] == 0 and same_bits(m["masses"], g.mass), "HDF5: edited masses, or a mass table over them")
    expect(m["massarr"] == 0 and m["block"] is not None and np.array_equal(m["block"], g.mass.astype(np.float32)),
           "gadget2: no MASS block of the edited masses, or a mass table over it")
    expect(np.array_equal(m["double_block"], g.mass), "gadget2 --double: MASS block in float64")
    expect(np.array_equal(m["tipsy"], g.mass.astype(np.float32)), "tipsy: edited masses")
    expect(np.array_equal(m["ini"], g.mass), "ini: edited masses")
    # All alike: the table holds the new mass, and GADGET has no MASS block.
    g = galaxy_ic.make(1000, seed=2, units="gadget")
    g.mass[:] *= 2
    m = written_masses(g, tmp, "twice")
    expect(m["table"] == g.mass[0] and same_bits(m["masses"], g.mass), "HDF5: a doubled mass not in the table")
    expect(m["massarr"] == g.mass[0] and m["block"] is None, "gadget2: a doubled mass not in the mass table")
    expect(np.all(m["tipsy"] == np.float32(g.mass[0])) and np.all(m["ini"] == g.mass[0]), "tipsy, ini: doubled mass")
    # IDs as given, judged.
    g = galaxy_ic.make(1000, seed=2, units="gadget")
    g.ids[:] = g.ids[::-1] + 10
    g.write(os.path.join(tmp, "ids.hdf5"))
    g.write(os.path.join(tmp, "ids.gadget2"))
    with h5py.File(os.path.join(tmp, "ids.hdf5"), "r") as f:
        expect(np.array_equal(f["PartType1/ParticleIDs"][:], g.ids), "HDF5: edited IDs")
    expect(np.array_equal(np.frombuffer(gadget_blocks(os.path.join(tmp, "ids.gadget2"))["ID  "], "<u4"), g.ids),
           "gadget2: edited IDs")
    g.ids[5] = 2**40
    g.write(os.path.join(tmp, "wide.gadget2"))
    expect(np.array_equal(np.frombuffer(gadget_blocks(os.path.join(tmp, "wide.gadget2"))["ID  "], "<u8"), g.ids),
           "gadget2: an ID beyond 32 bits")
    refused = []
    for label, edit, fmt in [("duplicate", lambda g: g.ids.__setitem__(1, g.ids[0]), "hdf5"),
                             ("zero", lambda g: g.ids.__setitem__(7, 0), "gadget2"),
                             ("ini IDs", lambda g: g.ids.__setitem__(7, 5000), "ini"),
                             ("tipsy IDs", lambda g: g.ids.__setitem__(7, 5000), "tipsy"),
                             ("retyped", lambda g: setattr(g.ids, "dtype", np.int64), "hdf5"),
                             ("NaN mass", lambda g: g.mass.__setitem__(3, np.nan), "hdf5"),
                             ("zero mass", lambda g: g.mass.__setitem__(3, 0.0), "ini"),
                             ("negative mass", lambda g: g.mass.__setitem__(3, -1.0), "tipsy")]:
        g = galaxy_ic.make(100, seed=2, units="gadget")
        edit(g)
        path = os.path.join(tmp, "refused." + fmt)
        try:
            g.write(path)
            refused.append(f"{label}: written")
        except ValueError:
            if os.path.exists(path):
                refused.append(f"{label}: a file was made")
    expect(not refused, f"edits that should be refused: {refused}")


def test_format_comes_from_the_name(tmp):
    g = galaxy_ic.make(100, seed=1, units="astro")
    for name, head in [("a.hdf5", b"\x89HDF\r\n\x1a\n"), ("a.h5", b"\x89HDF\r\n\x1a\n"), ("A.HDF5", b"\x89HDF"),
                       ("a.ini", b"[element0]\n"), ("a.gadget2", struct.pack("<i4si", 8, b"HEAD", 264)),
                       ("a.gadget1", struct.pack("<i", 256)), ("a.tipsy", struct.pack(">dii", 0.0, 100, 3)),
                       ("a.std", struct.pack(">dii", 0.0, 100, 3))]:
        path = os.path.join(tmp, name)
        g.write(path)
        with open(path, "rb") as f:
            expect(f.read(len(head)) == head, f"write({name!r}) is not in the format its name says")
    for name in ["a.gadget", "a", "a.fits", "hdf5"]:
        path = os.path.join(tmp, "refused", name)
        try:
            g.write(path)
            expect(False, f"write({name!r}) guessed a format")
        except ValueError as e:
            expect("format" in str(e), f"write({name!r}): {e}")


def test_signatures_stubs_and_g():
    import ast
    import inspect
    with open(os.path.join(MODULE_DIR, "galaxy_ic.pyi")) as f:
        tree = ast.parse(f.read())
    stubs = {node.name: node for node in ast.walk(tree) if isinstance(node, ast.FunctionDef)}

    def stub_names(name, drop_self=False):
        a = stubs[name].args
        names = [x.arg for x in a.posonlyargs + a.args + a.kwonlyargs]
        return names[1:] if drop_self else names

    g = galaxy_ic.make(10, seed=1, units="gadget")
    for label, function, stub in [("make", galaxy_ic.make, stub_names("make")),
                                  ("check", galaxy_ic.check, stub_names("check")),
                                  ("write", g.write, stub_names("write", drop_self=True))]:
        try:
            signature = inspect.signature(function)
            expect(list(signature.parameters) == stub, f"{label}{signature}: the stubs say {stub}")
        except ValueError as e:
            expect(False, f"{label}: no signature ({e})")
    expect(inspect.signature(galaxy_ic.make).parameters["units"].default == "si", "make's units default")
    expect(inspect.signature(g.write).parameters["format"].default is None, "write's format default")
    # G in each system's units, from the SI value and the units' definitions.
    g_si, kpc, msun = 6.673e-11, 3.0856775814913673e19, 1.98841e30
    want = dict(si=g_si, cgs=g_si * 1e3, astro=g_si * msun / (kpc * 1e6), gadget=g_si * 1e10 * msun / (kpc * 1e6),
                model=1.0)
    expect(set(galaxy_ic.G) == set(want), f"G for {sorted(galaxy_ic.G)}")
    for system, value in want.items():
        expect(abs(galaxy_ic.G.get(system, 0) / value - 1) < 1e-12, f"G in {system}: {galaxy_ic.G.get(system)}")
    expect(g.units["G"] == galaxy_ic.G["gadget"], f"a gadget galaxy's G {g.units['G']}")
    u = galaxy_ic.make(10, seed=1, units="model").units
    expect(u["G"] == 1.0 and abs(g_si * u["mass"] / (u["length"] * u["velocity"] ** 2) - 1) < 1e-12,
           f"model units: G {u['G']}")


def test_signals_in_write_leave_old_file_or_new(tmp):
    """SIGTERM, SIGHUP, and SIGINT where Python lets it end the process: the
    process ends by the signal, the old file stays, no temporary is left."""
    for sig, fmt, prologue in [(signal.SIGTERM, "hdf5", ""), (signal.SIGHUP, "ini", ""),
                               (signal.SIGINT, "gadget2", "signal.signal(signal.SIGINT, signal.SIG_DFL)")]:
        folder = os.path.join(tmp, f"signal{int(sig)}")
        os.mkdir(folder)
        old = os.path.join(folder, "old." + fmt)
        with open(old, "w") as f:
            f.write("old")
        child = subprocess.Popen([sys.executable, "-c", f"""
import signal, sys
sys.path.insert(0, {MODULE_DIR!r})
import galaxy_ic
{prologue}
g = galaxy_ic.make(1_000_000, units="astro")
print("ready", flush=True)
for _ in range(50):
    g.write({old!r})
"""], stdout=subprocess.PIPE, text=True)
        child.stdout.readline()
        deadline = time.time() + 30
        while time.time() < deadline and not [n for n in os.listdir(folder) if n.startswith(".old.")]:
            time.sleep(0.002)
        child.send_signal(sig)
        child.communicate(timeout=60)
        expect(child.returncode == -sig, f"{sig.name}: status {child.returncode}")
        with open(old, "rb") as f:
            content = f.read()
        whole = content == b"old" or (fmt == "hdf5" and content.startswith(b"\x89HDF")) or \
            (fmt == "ini" and content.endswith(b"\n\n")) or (fmt == "gadget2" and len(content) > 1000)
        expect(whole, f"{sig.name}: {old} is neither the old file nor a new one")
        expect(os.listdir(folder) == ["old." + fmt], f"{sig.name}: left {os.listdir(folder)}")


def test_interrupt_says_what_write_left(tmp):
    """Ctrl-C at times spread over a write and just past it: the
    KeyboardInterrupt says whether the old file was kept or the new one
    written whole, and the file is what it says."""
    path = os.path.join(tmp, "k.ini")
    run = in_child(f"""
import signal, threading, time
path = {path!r}
g = galaxy_ic.make(1_000_000, seed=1, threads=1)  # a write well past the 50 ms between looks for a signal
g.write(path)
full = open(path, "rb").read()
state = dict(writing=False)
def handler(number, frame):
    if state["writing"]:
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, handler)
# Timed as each write below runs: over a small old file (replacing a whole
# one also frees its blocks, which can take longer than the write).
with open(path, "w") as f:
    f.write("old")
start = time.time()
g.write(path)
took = time.time() - start
for k in range(14):
    with open(path, "w") as f:
        f.write("old")
    timer = threading.Timer(took * (0.1 + k / 12), os.kill, (os.getpid(), signal.SIGINT))
    message = None
    timer.start()
    try:
        state["writing"] = True
        g.write(path)
        state["writing"] = False
    except KeyboardInterrupt as e:
        state["writing"] = False
        message = str(e)
    timer.join()
    content = open(path, "rb").read()
    if message is None or message == "":
        kind = "finished" if content == full else "WRONG"  # the signal came after write() returned
    elif "left as it was" in message:
        kind = "kept" if content == b"old" else "WRONG"
    elif "written whole" in message:
        kind = "whole" if content == full else "WRONG"
    else:
        kind = "WRONG"
    print(kind, repr(message))
print("left", sorted(os.listdir(os.path.dirname(path))))
""", dev=False)
    lines = run.stdout.splitlines()
    kinds = [line.split()[0] for line in lines[:-1]]
    expect(run.returncode == 0 and len(kinds) == 14, f"interrupts: {run.returncode} {run.stderr[-300:]!r}")
    expect("WRONG" not in kinds, f"an interrupt's message disagrees with the file: {lines}")
    expect("kept" in kinds, f"no write was interrupted: {kinds}")
    expect(lines[-1:] == ["left ['k.ini']"], f"temporaries left: {lines[-1:]}")


def line_reader(child):
    """A function giving the child's next line of output, or "" when none
    comes within the seconds it is given."""
    import queue
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in child.stdout], daemon=True).start()

    def next_line(seconds):
        try:
            return lines.get(timeout=seconds)
        except queue.Empty:
            return ""
    return next_line


def test_waits_can_be_interrupted(tmp):
    """A FIFO nobody opens (write, check), and a long check(): Ctrl-C ends
    each within a fraction of a second."""
    fifo = os.path.join(tmp, "pipe")
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", f"""
import sys, time
sys.path.insert(0, {MODULE_DIR!r})
import galaxy_ic
g = galaxy_ic.make(1000, seed=1)
big = galaxy_ic.make(3_000_000)
for what, call in [("write", lambda: g.write({fifo!r}, "ini")), ("check", lambda: galaxy_ic.check({fifo!r})),
                   ("long", lambda: galaxy_ic.check(big))]:
    print("ready", flush=True)
    start = time.time()
    try:
        call()
        print(what, "finished", flush=True)
    except KeyboardInterrupt as e:
        print(what, "interrupted", round(time.time() - start, 2), flush=True)
"""], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    next_line, outcomes = line_reader(child), []
    for wait in (0.5, 0.5, 0.1):  # the last while the check runs, which is soon done
        if next_line(30) != "ready\n":
            break
        time.sleep(wait)
        child.send_signal(signal.SIGINT)
        outcomes.append(next_line(10).split())
    child.kill()
    child.communicate()
    for what, words in zip(["write", "check", "long"], outcomes + [[]] * 3):
        expect(words[:2] == [what, "interrupted"] and float(words[2]) < 1.5, f"{what}: {words}")
    # A writer that comes: check() of the FIFO reads it as galaxy-check reads the file.
    text = os.path.join(tmp, "fed.ini")
    subprocess.run([IC, "-p", "5000", "-o", text], check=True)
    feeder = threading.Thread(target=lambda: open(fifo, "wb").write(open(text, "rb").read()))
    feeder.start()
    through_fifo = galaxy_ic.check(fifo)
    feeder.join()
    expect(through_fifo.lines == galaxy_ic.check(text).lines, "check() of a FIFO differs from the file's")

GROUPS = {
    "programs": [test_arrays_are_the_hdf5_files, test_arrays_are_views_of_one_record,
                 test_threads_run_while_galaxies_are_made, test_write_gives_the_programs_files, test_refusals,
                 test_check_agrees_with_galaxy_check, test_ctrl_c_interrupts_and_frees, test_ctrl_c_interrupts_the_tables,
                 test_galaxies_of_components, test_encounters,
                 test_ctrl_c_keeps_the_old_file,
                 test_memory_refused_is_an_exception, test_stubs_name_what_the_module_has],
    "hostile": [test_odd_arguments_never_crash, test_exceptions_have_their_types,
                test_sealed_folder_is_refused_not_written_in_place, test_threads_write_apart,
                test_hdf5_bytes_do_not_depend_on_the_time, test_edited_masses_and_ids_are_written,
                test_format_comes_from_the_name, test_signatures_stubs_and_g],
    "signals": [test_signals_in_write_leave_old_file_or_new, test_interrupt_says_what_write_left,
                test_waits_can_be_interrupted],
}


def main():
    with tempfile.TemporaryDirectory() as tmp:
        for test in GROUPS[GROUP]:
            # Each in a folder of its own; an unexpected exception is a failure.
            try:
                test(*([tempfile.mkdtemp(dir=tmp)] if test.__code__.co_argcount else []))
            except Exception as e:
                failures.append(f"{test.__name__} raised {e!r}")
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
