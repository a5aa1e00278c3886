#!/usr/bin/env python3
"""Files of several particle types (a halo, a bulge, a black hole; two
discs of one type with masses of their own; every type, masses that
differ within one), written through the writers by particle_types_files,
read here by readers written from the formats' published layouts (numpy
and h5py only): every type's counts, mass table or MASS block, IDs and
values, each GADGET file of a split on its own. Then galaxy-check on each
file (its header, count, IDs and box lines), and on files changed here
one field at a time, which it must not pass. Given MPIRUN and the MPI
flavour of the writing program, the HDF5 files 2 and 3 ranks write
together are those of one process, attribute for attribute, value for
value.

usage: particle_types_test.py PARTICLE_TYPES_FILES GALAXY_CHECK [MPIRUN PARTICLE_TYPES_FILES_MPI]
"""
import os
import struct
import subprocess
import sys
import tempfile

import h5py
import numpy as np

WRITER, CHECK = sys.argv[1], sys.argv[2]
MPI = sys.argv[3:5] if len(sys.argv) > 4 else None
failures = []
checks = 0


def expect(condition, what):
    if not condition:
        failures.append(what)


def read_set(tmp, name):
    """The groups [(name, type, dark, first, count, mass)] and the values."""
    groups = []
    for line in open(os.path.join(tmp, name + ".groups")):
        label, kind, dark, first, count, mass = line.rstrip("\n").split("|")
        groups.append((label, int(kind), dark == "1", int(first), int(count), float(mass)))
    n = sum(g[4] for g in groups)
    values = np.fromfile(os.path.join(tmp, name + ".values"), "<f8")
    expect(values.size == 7 * n, f"{name}: {values.size} values")
    return groups, values[:3 * n].reshape(n, 3), values[3 * n:6 * n].reshape(n, 3), values[6 * n:]


def type_ranges(groups):
    """{type: (first, count, one mass or None, names)} of the groups."""
    out = {}
    for label, kind, _, first, count, mass in groups:
        if kind not in out:
            out[kind] = [first, 0, mass, []]
        entry = out[kind]
        entry[1] += count
        entry[3].append(label)
        if entry[2] != mass:
            entry[2] = None
    return {k: tuple(v) for k, v in out.items()}


# GADGET: Fortran records, format 2's behind 8-byte labelled records.
def records(data, labelled):
    blocks, at, index, label = {}, 0, 0, None
    while at < len(data):
        (size,) = struct.unpack_from("<i", data, at)
        body = data[at + 4:at + 4 + size]
        (end,) = struct.unpack_from("<i", data, at + 4 + size)
        if end != size:
            raise ValueError(f"record at {at}: lengths {size} and {end}")
        at += size + 8
        if labelled and label is None:
            label = body[:4].decode()
            continue
        blocks[label if labelled else ["HEAD", "POS ", "VEL ", "ID  ", "MASS"][index]] = body
        label, index = None, index + 1
    return blocks


def read_gadget(path, labelled):
    blocks = records(open(path, "rb").read(), labelled)
    h = blocks["HEAD"]
    header = {"npart": struct.unpack_from("<6i", h, 0), "massarr": struct.unpack_from("<6d", h, 24),
              "npartTotal": struct.unpack_from("<6I", h, 96), "num_files": struct.unpack_from("<i", h, 124)[0],
              "highword": struct.unpack_from("<6I", h, 168)}
    n = sum(header["npart"])
    width = len(blocks["POS "]) // (3 * n)
    real = "<f4" if width == 4 else "<f8"
    pos = np.frombuffer(blocks["POS "], real).reshape(n, 3)
    vel = np.frombuffer(blocks["VEL "], real).reshape(n, 3)
    ids = np.frombuffer(blocks["ID  "], "<u4" if len(blocks["ID  "]) == 4 * n else "<u8")
    # The published rule: a type counted here whose table entry is 0 has
    # its particles' masses in the MASS block, in file order.
    in_block = sum(header["npart"][t] for t in range(6) if header["massarr"][t] == 0)
    masses = np.frombuffer(blocks["MASS"], real) if "MASS" in blocks else np.zeros(0, real)
    expect(len(masses) == in_block, f"{path}: MASS block of {len(masses)}, {in_block} expected")
    mass, types, at, taken = np.zeros(n), np.zeros(n, int), 0, 0
    for t in range(6):
        k = header["npart"][t]
        types[at:at + k] = t
        if header["massarr"][t] == 0:
            mass[at:at + k] = masses[taken:taken + k]
            taken += k
        else:
            mass[at:at + k] = header["massarr"][t]
        at += k
    return header, pos, vel, ids, mass, types


def gadget_case(tmp, name, suffix, groups, pos0, vel0, mass0):
    labelled, wide = "gadget2" in suffix, "double" in suffix or suffix == ".split.gadget1"
    path = os.path.join(tmp, name + suffix)
    paths = [path] if os.path.exists(path) else sorted(
        (p for p in os.listdir(tmp) if p.startswith(name + suffix + ".")), key=lambda p: int(p.rsplit(".", 1)[1]))
    paths = [os.path.join(tmp, p) for p in paths]
    ranges, n = type_ranges(groups), len(mass0)
    cast = (lambda x: x) if wide else (lambda x: x.astype(np.float32).astype(np.float64))
    at, label = 0, name + suffix
    for k, part in enumerate(paths):
        header, pos, vel, ids, mass, types = read_gadget(part, labelled)
        rows = len(ids)
        where = f"{label} file {k}"
        expect(header["num_files"] == len(paths), f"{where}: num_files {header['num_files']}")
        for t in range(6):
            first, count, one, _ = ranges.get(t, (0, 0, None, []))
            mine = max(0, min(at + rows, first + count) - max(at, first))
            expect(header["npart"][t] == mine, f"{where}: npart[{t}] {header['npart'][t]}, not {mine}")
            expect(header["npartTotal"][t] == count and header["highword"][t] == 0, f"{where}: npartTotal[{t}]")
            table = one if count > 0 and one is not None else 0.0
            expect(header["massarr"][t] == table, f"{where}: massarr[{t}] {header['massarr'][t]}, not {table}")
        expect(pos.dtype == (np.float64 if wide else np.float32), f"{where}: precision")
        expect(np.array_equal(ids, np.arange(at + 1, at + rows + 1)), f"{where}: IDs")
        expect(np.array_equal(pos, cast(pos0[at:at + rows])) and np.array_equal(vel, cast(vel0[at:at + rows])),
               f"{where}: values")
        # Table masses are float64; those in the block as the positions.
        block = np.array([header["massarr"][t] == 0 for t in types])
        expected = np.where(block, cast(mass0[at:at + rows]), mass0[at:at + rows])
        expect(np.array_equal(mass, expected), f"{where}: masses")
        expect(np.array_equal(types, expected_types(groups)[at:at + rows]), f"{where}: types")
        at += rows
    expect(at == n, f"{label}: {at} particles in {len(paths)} files, not {n}")
    return paths[0]


def expected_types(groups, tipsy=False):
    return np.concatenate([np.full(g[4], (1 if g[2] else 4) if tipsy else g[1]) for g in groups])


def tipsy_case(tmp, name, groups, pos0, vel0, mass0):
    path = os.path.join(tmp, name + ".tipsy")
    data = open(path, "rb").read()
    time, nbodies, ndim, nsph, ndark, nstar = struct.unpack_from(">diiiii", data, 0)
    dark = sum(g[4] for g in groups if g[2])
    n = len(mass0)
    expect((time, nbodies, ndim, nsph, ndark, nstar) == (0.0, n, 3, 0, dark, n - dark), f"{name} tipsy header")
    dark_row = np.dtype([("mass", ">f4"), ("pos", ">f4", 3), ("vel", ">f4", 3), ("eps", ">f4"), ("phi", ">f4")])
    star_row = np.dtype([("mass", ">f4"), ("pos", ">f4", 3), ("vel", ">f4", 3), ("metals", ">f4"), ("tform", ">f4"),
                         ("eps", ">f4"), ("phi", ">f4")])
    expect(len(data) == 32 + 36 * ndark + 44 * nstar, f"{name} tipsy size {len(data)}")
    d = np.frombuffer(data, dark_row, count=ndark, offset=32)
    s = np.frombuffer(data, star_row, count=nstar, offset=32 + 36 * ndark)
    f32 = np.float32
    for rows, at, what in ((d, 0, "dark"), (s, ndark, "star")):
        k = len(rows)
        expect(np.array_equal(rows["pos"], pos0[at:at + k].astype(f32))
               and np.array_equal(rows["vel"], vel0[at:at + k].astype(f32))
               and np.array_equal(rows["mass"], mass0[at:at + k].astype(f32)), f"{name} tipsy {what} values")
        expect(np.all(rows["eps"] == f32(0.01)) and np.all(rows["phi"] == 0), f"{name} tipsy {what} eps, phi")
    expect(np.all(s["metals"] == 0) and np.all(s["tform"] == 0), f"{name} tipsy metals, tform")
    return path


def hdf5_case(tmp, name, groups, pos0, vel0, mass0):
    path = os.path.join(tmp, name + ".hdf5")
    ranges = type_ranges(groups)
    with h5py.File(path, "r") as f:
        h = f["Header"].attrs
        present = sorted(int(k[len("PartType"):]) for k in f if k.startswith("PartType"))
        expect(present == sorted(ranges), f"{name}: types {present}")
        counts = [ranges.get(t, (0, 0))[1] for t in range(6)]
        expect(list(h["NumPart_ThisFile"]) == counts and h["NumPart_ThisFile"].dtype == np.uint64, f"{name}: ThisFile")
        expect(list(h["NumPart_Total"]) == counts and h["NumPart_Total"].dtype == np.uint32, f"{name}: Total")
        expect(list(h["NumPart_Total_HighWord"]) == [0] * 6, f"{name}: HighWord")
        table = [ranges[t][2] if t in ranges and ranges[t][2] is not None else 0.0 for t in range(6)]
        expect(list(h["MassTable"]) == table, f"{name}: MassTable {list(h['MassTable'])}, not {table}")
        for t, (first, count, _, names) in ranges.items():
            g = f[f"PartType{t}"]
            sl = slice(first, first + count)
            expect(np.array_equal(g["Coordinates"][...], pos0[sl]) and np.array_equal(g["Velocities"][...], vel0[sl])
                   and np.array_equal(g["Masses"][...], mass0[sl]), f"{name}: PartType{t} values")
            expect(g["ParticleIDs"].dtype == np.uint64
                   and np.array_equal(g["ParticleIDs"][...], np.arange(first + 1, first + count + 1)),
                   f"{name}: PartType{t} IDs")
            expect(g.attrs["ComponentNames"] == ",".join(names).encode(), f"{name}: PartType{t} names")
        text = f["Parameters"].attrs["GalaxyFile"]
        expect(text.startswith(b"# " + name.encode() + b"\n") and text.endswith(b'name = "halo"\n')
               and len(text) == (len(name) + 3 + 1300 * 80 if name == "mixed" else len(name) + 3) + 37,
               f"{name}: GalaxyFile of {len(text)} bytes")
    return path


def checked(path, *lines):
    """galaxy-check on path: no signal, and each of lines passes."""
    global checks
    checks += 1
    r = subprocess.run([CHECK, path], capture_output=True, text=True, timeout=60)
    expect(r.returncode in (0, 1), f"{path}: status {r.returncode}\n{r.stdout}{r.stderr}")
    for line in lines:
        found = [x for x in r.stdout.splitlines() if x.startswith("  " + line + " ")]
        expect(found and found[0].endswith("PASS"), f"{os.path.basename(path)}: {line}: {found}\n{r.stdout}")
    return r


def fails(label, path, status, line=None, text=None):
    global checks
    checks += 1
    r = subprocess.run([CHECK, path], capture_output=True, text=True, timeout=60)
    expect(r.returncode == status, f"{label}: status {r.returncode}, not {status}\n{r.stdout}{r.stderr}")
    if line is not None:
        found = [x for x in r.stdout.splitlines() if x.startswith("  " + line + " ")]
        expect(found and found[0].endswith("FAIL"), f"{label}: no failing {line} line\n{r.stdout}")
    if text is not None:
        expect(text in r.stdout + r.stderr, f"{label}: no {text!r}\n{r.stdout}{r.stderr}")


def lying_gadget(tmp):
    """Header fields of a file of several types changed one at a time."""
    source = open(os.path.join(tmp, "three.gadget2"), "rb").read()
    bad = os.path.join(tmp, "bad.gadget2")
    header = 20  # format 2: the label record, then the header's length
    cases = [("a bulge particle counted as halo", [(header + 4, "<i", 1001), (header + 12, "<i", 199)], 1, "header",
              "npartTotal[1]"),
             ("npartTotal[3] 201", [(header + 96 + 12, "<I", 201)], 1, "header", "npartTotal[3]"),
             ("npartTotal[5] high word", [(header + 168 + 20, "<I", 1)], 1, "header", "npartTotal[5]"),
             ("npart[3] 201", [(header + 12, "<i", 201)], 1, "header", "says 1202, the data holds 1201"),
             # A type of no mass counted: a code looks for its MASS block.
             ("npart[2] 1", [(header + 8, "<i", 1)], 2, None, "a mass block of 1 values"),
             ("gas", [(header, "<i", 3)], 2, None, "not of type 0")]
    for what, patches, status, line, text in cases:
        data = bytearray(source)
        for offset, fmt, value in patches:
            struct.pack_into(fmt, data, offset, value)
        open(bad, "wb").write(bytes(data))
        fails(f"three.gadget2: {what}", bad, status, line, text)
    # A type's mass table entry made 0 with no MASS block for it; a table
    # entry beside a MASS block that holds its particles.
    data = bytearray(source)
    struct.pack_into("<d", data, header + 24 + 8 * 3, 0.0)
    open(bad, "wb").write(bytes(data))
    fails("three.gadget2: massarr[3] 0, no MASS block", bad, 2, None, "a mass block of 200 values")
    shared = bytearray(open(os.path.join(tmp, "shared.gadget2"), "rb").read())
    struct.pack_into("<d", shared, header + 24 + 8 * 4, 0.5)
    open(bad, "wb").write(bytes(shared))
    fails("shared.gadget2: massarr[4] beside its MASS block", bad, 1, "header", "yet a mass block follows")
    # One file of a split counting a particle of one type as another's;
    # one counting a particle more than it holds.
    parts = [os.path.join(tmp, f"mixed.split.gadget2.{k}") for k in range(3)]
    for k, patches, text in [(2, [(header + 12, 151), (header + 16, 98)], "npartTotal[3] (with its high word) says 150"),
                             (1, [(header + 8, 101)], "npart[1] + npart[2] of " + parts[1] + " says 301")]:
        saved = open(parts[k], "rb").read()
        data = bytearray(saved)
        for offset, value in patches:
            struct.pack_into("<i", data, offset, value)
        open(parts[k], "wb").write(bytes(data))
        fails(f"mixed split: file {k} {patches}", parts[0], 1, "header", text)
        open(parts[k], "wb").write(saved)


def lying_tipsy(tmp):
    source = open(os.path.join(tmp, "three.tipsy"), "rb").read()
    bad = os.path.join(tmp, "bad.tipsy")
    # A count that no longer sizes the file: where the stars start is
    # unknown, and the file is a broken tipsy file (not read as text).
    sizes = "a tipsy file whose size holds its header's"
    for what, offset, value, status, line, text in [
            ("nstar 202", 24, 202, 2, None, sizes), ("ndark 999", 20, 999, 2, None, sizes),
            ("nbodies 1200", 8, 1200, 1, "header", "nbodies says 1200"), ("ndim 4", 12, 4, 1, "header", "ndim")]:
        data = bytearray(source)
        struct.pack_into(">i", data, offset, value)
        open(bad, "wb").write(bytes(data))
        fails(f"three.tipsy: {what}", bad, status, line, text)
    open(bad, "wb").write(source[:-44])
    fails("three.tipsy: the black hole cut", bad, 2)


def lying_hdf5(tmp):
    source, bad = os.path.join(tmp, "three.hdf5"), os.path.join(tmp, "bad.hdf5")

    def edit(change):
        with h5py.File(source, "r") as f, h5py.File(bad, "w") as g:
            for name in f:
                f.copy(name, g)
            change(g)

    def count(attribute, t, value):
        def change(g):
            counts = g["Header"].attrs[attribute].copy()
            counts[t] = value
            g["Header"].attrs.modify(attribute, counts)
        return change

    def table(t, value):
        def change(g):
            masses = g["Header"].attrs["MassTable"].copy()
            masses[t] = value
            g["Header"].attrs.modify("MassTable", masses)
        return change

    def ids(t, values):
        return lambda g: (g[f"PartType{t}"].__delitem__("ParticleIDs"),
                          g[f"PartType{t}"].create_dataset("ParticleIDs", data=values))

    for what, change, status, line, text in [
            ("NumPart_ThisFile[3] 199", count("NumPart_ThisFile", 3, 199), 1, "header", "NumPart_ThisFile[3] says 199"),
            ("NumPart_Total[5] 0", count("NumPart_Total", 5, 0), 1, "header", "NumPart_Total[5]"),
            ("NumPart_ThisFile[2] 4", count("NumPart_ThisFile", 2, 4), 1, "header", "NumPart_ThisFile[2] says 4"),
            ("MassTable[3] 0.2", table(3, 0.2), 1, "header", "MassTable[3] holds"),
            ("MassTable[5] 1", table(5, 1.0), 1, "header", "MassTable[5] holds"),
            ("bulge IDs from 1", ids(3, np.arange(1, 201, dtype=np.uint64)), 1, "ids", None),
            ("no black hole IDs", lambda g: g["PartType5"].__delitem__("ParticleIDs"), 1, "ids", "PartType5"),
            ("a gas group", lambda g: g.create_dataset("PartType0/Coordinates", data=np.zeros((2, 3))), 1, "header",
             "PartType0"),
            ("bulge velocities short", lambda g: (g["PartType3"].__delitem__("Velocities"),
                                                  g["PartType3"].create_dataset("Velocities", data=np.zeros((199, 3)))),
             2, None, "PartType3"),
            ("no bulge masses", lambda g: g["PartType3"].__delitem__("Masses"), 2, None, "/PartType3 datasets"),
            # An array where one string was: read as no text, never past it.
            ("Law of three strings", lambda g: g["Parameters"].attrs.create("Law", np.array([b"profile"] * 3)), 2,
             None, "Law")]:
        edit(change)
        fails(f"three.hdf5: {what}", bad, status, line, text)


def same_objects(a, b):
    """Every group's attributes and every dataset of two HDF5 files, bit
    for bit; what differs, or None."""
    found = []

    def differ(x, y):
        x, y = np.asarray(x), np.asarray(y)
        return x.dtype != y.dtype or x.shape != y.shape or x.tobytes() != y.tobytes()

    with h5py.File(a, "r") as f, h5py.File(b, "r") as g:
        def visit(name, obj):
            other = g.get(name)
            if other is None or type(other) is not type(obj):
                found.append(f"{name} missing")
                return
            if sorted(obj.attrs) != sorted(other.attrs):
                found.append(f"{name}: attribute names")
            found.extend(f"{name}/{k}" for k in obj.attrs if k in other.attrs and differ(obj.attrs[k], other.attrs[k]))
            if isinstance(obj, h5py.Dataset) and differ(obj[...], other[...]):
                found.append(f"{name} values")
        f.visititems(visit)
        if sorted(f) != sorted(g) or sorted(f.attrs) != sorted(g.attrs):
            found.append("top-level names")
    return "; ".join(found) or None


def mpi_case(tmp):
    for ranks in (2, 3):
        where = os.path.join(tmp, f"ranks{ranks}")
        os.mkdir(where)
        r = subprocess.run([MPI[0], "--allow-run-as-root", "--oversubscribe", "-n", str(ranks), MPI[1], where],
                           capture_output=True, text=True, timeout=240)
        expect(r.returncode == 0, f"{ranks} ranks: {r.returncode}\n{r.stdout}{r.stderr}")
        for name in ("three", "shared", "mixed"):
            path = os.path.join(where, name + ".hdf5")
            difference = same_objects(os.path.join(tmp, name + ".hdf5"), path) if os.path.exists(path) else "no file"
            expect(difference is None, f"{name}.hdf5 from {ranks} ranks: {difference}")


with tempfile.TemporaryDirectory() as tmp:
    subprocess.run([WRITER, tmp], check=True)
    if MPI is not None:
        mpi_case(tmp)
    for name in ("three", "shared", "mixed"):
        groups, pos0, vel0, mass0 = read_set(tmp, name)
        for suffix in (".gadget1", ".gadget2", ".double.gadget2", ".split.gadget2", ".split.gadget1"):
            first = gadget_case(tmp, name, suffix, groups, pos0, vel0, mass0)
            checked(first, "particle count", "header", "ids", "box")
        checked(tipsy_case(tmp, name, groups, pos0, vel0, mass0), "particle count", "header")
        r = checked(hdf5_case(tmp, name, groups, pos0, vel0, mass0), "particle count", "header", "ids", "box")
        expect("hdf5, float64" in r.stdout, f"{name}.hdf5: layout {r.stdout}")
    lying_gadget(tmp)
    lying_tipsy(tmp)
    lying_hdf5(tmp)
    print(f"{checks} runs of galaxy-check")

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
