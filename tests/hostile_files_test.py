#!/usr/bin/env python3
"""galaxy-check against files that lie: GADGET 1 and 2 (single and split),
tipsy and HDF5 files written by galaxy-ic, read and written again by a
reader and writer made here from the formats' published layouts (numpy
only), then changed one field at a time: counts, IDs, masses, framing,
label sizes, header fields, Parameters. No run may end by a signal or
hang; no lying file may pass; the untouched files must. Then files whose
checks need more memory than there is: refused (status 2, the amount
named) within 64 MiB, and an allocation that fails is status 2 too.

usage: hostile_files_test.py GALAXY_IC GALAXY_CHECK FAIL_MALLOC [sanitized]
"""
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time

import h5py
import numpy as np

IC, CHECK, FAIL_MALLOC = sys.argv[1:4]
SANITIZED = len(sys.argv) > 4 and sys.argv[4] == "sanitized"
failures = []
runs = 0

HEADER = struct.Struct("<6i6d2d2i6I2i4d2i6Ii60s")
FIELDS = ["npart", "massarr", "time", "redshift", "flag_sfr", "flag_feedback", "npartTotal", "flag_cooling",
          "num_files", "BoxSize", "Omega0", "OmegaLambda", "HubbleParam", "flag_stellarage", "flag_metals",
          "npartTotalHighWord", "flag_entropy", "fill"]
WIDTHS = {"npart": 6, "massarr": 6, "npartTotal": 6, "npartTotalHighWord": 6}
LABELS = [b"HEAD", b"POS ", b"VEL ", b"ID  ", b"MASS"]


def expect(condition, what):
    if not condition:
        failures.append(what)


def parse_header(body):
    values, header = list(HEADER.unpack(body)), {}
    for name in FIELDS:
        width = WIDTHS.get(name, 1)
        header[name] = values[:width] if width > 1 else values[0]
        values = values[width:]
    return header


def pack_header(header):
    values = []
    for name in FIELDS:
        values += list(header[name]) if name in WIDTHS else [header[name]]
    return HEADER.pack(*values)


def records(data, labelled):
    """[(label, body)] of a GADGET file: format 2's labels, format 1's by order."""
    out, at, index = [], 0, 0
    while at < len(data):
        label = None
        if labelled:
            size, label, _, end = struct.unpack_from("<i4sii", data, at)
            assert size == 8 and end == 8, f"label at {at}"
            at += 16
        (size,) = struct.unpack_from("<i", data, at)
        (end,) = struct.unpack_from("<i", data, at + 4 + size)
        assert end == size, f"record at {at}"
        out.append((label or LABELS[min(index, 4)], data[at + 4:at + 4 + size]))
        at += size + 8
        index += 1
    return out


def gadget_bytes(blocks, labelled):
    """A GADGET file of [(label, body)]: each body framed by its length,
    format 2's each behind a label record sizing it."""
    out = bytearray()
    for label, body in blocks:
        if labelled:
            out += struct.pack("<i4sii", 8, label, len(body) + 8, 8)
        out += struct.pack("<i", len(body)) + body + struct.pack("<i", len(body))
    return bytes(out)


class Gadget:
    """A GADGET file as its parts: header, positions, velocities, IDs, masses."""

    def __init__(self, path, labelled):
        blocks = dict(records(open(path, "rb").read(), labelled))
        self.labelled, self.header = labelled, parse_header(blocks[b"HEAD"])
        n = self.header["npart"][1]
        real = "<f4" if len(blocks[b"POS "]) == 12 * n else "<f8"
        self.pos = np.frombuffer(blocks[b"POS "], real).reshape(n, 3).copy()
        self.vel = np.frombuffer(blocks[b"VEL "], real).reshape(n, 3).copy()
        self.ids = np.frombuffer(blocks[b"ID  "], "<u4" if len(blocks[b"ID  "]) == 4 * n else "<u8").copy()
        self.mass = np.frombuffer(blocks[b"MASS"], real).copy() if b"MASS" in blocks else None
        self.extra = []

    def blocks(self):
        out = [(b"HEAD", pack_header(self.header)), (b"POS ", self.pos.tobytes()), (b"VEL ", self.vel.tobytes()),
               (b"ID  ", self.ids.tobytes())]
        return out + ([(b"MASS", self.mass.tobytes())] if self.mass is not None else []) + self.extra

    def write(self, path):
        open(path, "wb").write(gadget_bytes(self.blocks(), self.labelled))


def check(label, args, timeout=30):
    """galaxy-check on args: (status, stdout, stderr); a signal or a hang fails."""
    global runs
    runs += 1
    try:
        r = subprocess.run([CHECK, *args], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        failures.append(f"{label}: no answer within {timeout} s")
        return None, "", ""
    expect(r.returncode >= 0, f"{label}: ended by signal {-r.returncode}\n{r.stderr}")
    return r.returncode, r.stdout, r.stderr


def line_of(out, name):
    for line in out.splitlines():
        if line.startswith("  " + name + " "):
            return line
    return ""


def lies(label, args, status=None, failing=None, text=None):
    """A lying file: never status 0; the status, failing line and text when given."""
    got, out, err = check(label, args)
    if got is None:
        return
    expect(got in (1, 2), f"{label}: status {got}\n{out}{err}")
    if status is not None:
        expect(got == status, f"{label}: status {got}, not {status}\n{out}{err}")
    if failing is not None:
        expect(line_of(out, failing).endswith("FAIL"), f"{label}: no failing {failing} line\n{out}{err}")
    if text is not None:
        expect(text in out + err, f"{label}: no {text!r}\n{out}{err}")


def passes(label, args, text=None):
    got, out, err = check(label, args)
    expect(got == 0, f"{label}: status {got}\n{out}{err}")
    if text is not None:
        expect(text in out, f"{label}: no {text!r}\n{out}")


def make(tmp, name, *options):
    path = os.path.join(tmp, name)
    subprocess.run([IC, "--seed", "3", "-p", "1500", *options, "-o", path], check=True)
    return path


def header_lies(base, path):
    """One header field at a time, in a file rewritten by the writer here."""
    n, m = base.header["npart"][1], base.header["massarr"][1]
    nan, inf = float("nan"), float("inf")
    cases = [("npart", [0, n - 1, 0, 0, 0, 0], "header"), ("npart", [0, n + 1, 0, 0, 0, 0], "header"),
             ("npart", [0, 0, 0, 0, 0, 0], "header"), ("npart", [0, -1, 0, 0, 0, 0], "header"),
             ("npartTotal", [0, n - 1, 0, 0, 0, 0], "header"), ("npartTotal", [0, 0, 0, 0, 0, 0], "header"),
             ("npartTotalHighWord", [0, 1, 0, 0, 0, 0], "header"), ("num_files", 0, "header"),
             ("num_files", -1, "header"), ("massarr", [0, 2 * m, 0, 0, 0, 0], "total mass"),
             ("massarr", [0, -m, 0, 0, 0, 0], "total mass"), ("massarr", [0, nan, 0, 0, 0, 0], "total mass"),
             ("massarr", [0, inf, 0, 0, 0, 0], "total mass"),
             # Within float32's rounding, beyond a float64's: the table is float64.
             ("massarr", [0, m * (1 + 3e-8), 0, 0, 0, 0], "total mass"),
             ("time", nan, "header"), ("time", 0.5, "header"), ("time", inf, "header"),
             ("redshift", nan, "header"), ("redshift", 1.0, "header"),
             ("Omega0", 0.3, "header"), ("OmegaLambda", 0.7, "header"), ("HubbleParam", nan, "header"),
             ("HubbleParam", 0.0, "header"), ("HubbleParam", 0.7, "header"),
             ("BoxSize", 0.0, "box"), ("BoxSize", nan, "box"), ("BoxSize", -base.header["BoxSize"], "box"),
             ("BoxSize", inf, "box"), ("BoxSize", base.header["BoxSize"] / 3, "box")]
    kept = dict(base.header)
    for field, value, failing in cases:
        base.header = dict(kept, **{field: value})
        base.write(path)
        lies(f"{os.path.basename(path)}: {field} = {value}", [path], 1, failing)
    for field, value in [("num_files", 2), ("npart", [3, n, 0, 0, 0, 0]), ("massarr", [0, 0.0, 0, 0, 0, 0])]:
        base.header = dict(kept, **{field: value})
        base.write(path)
        lies(f"{os.path.basename(path)}: {field} = {value}", [path], 2)
    base.header = kept


def id_lies(base, path):
    n = len(base.ids)
    rng = np.random.default_rng(1)
    kept = base.ids.copy()
    cases = {"all 0": np.zeros(n), "from 0": np.arange(n), "one repeated": np.r_[1, np.arange(1, n)],
             "reversed": np.arange(n, 0, -1), "shuffled": rng.permutation(n) + 1,
             "random": rng.integers(1, 2 ** 31, n), "last above N": np.r_[np.arange(1, n), n + 1],
             "two swapped": np.r_[2, 1, np.arange(3, n + 1)]}
    for what, ids in cases.items():
        base.ids = ids.astype(kept.dtype)
        base.write(path)
        lies(f"{os.path.basename(path)}: IDs {what}", [path], 1, "ids")
    base.ids = kept


def mass_lies(base, path):
    """Masses in a block: one changed fails; a block beside the table fails."""
    n, m = len(base.ids), base.header["massarr"][1]
    kept_header = dict(base.header)
    base.header = dict(kept_header, massarr=[0, 0.0, 0, 0, 0, 0])
    base.mass = np.full(n, m, base.pos.dtype)
    base.write(path)
    passes(f"{os.path.basename(path)}: masses in a block", [path])
    base.mass[17] *= 1.5
    base.write(path)
    lies(f"{os.path.basename(path)}: one mass changed", [path], 1, "equal masses")
    base.mass = base.mass[:-1]
    base.write(path)
    lies(f"{os.path.basename(path)}: a mass block one short", [path], 2)
    base.header, base.mass = kept_header, None
    if base.labelled:
        base.mass = np.full(n, 2 * m, base.pos.dtype)
        base.write(path)
        lies(f"{os.path.basename(path)}: a MASS block beside the table", [path], 1, "header")
        base.mass = None


def value_lies(base, path):
    kept = base.pos.copy()
    base.pos[5, 1] = np.nan
    base.write(path)
    lies(f"{os.path.basename(path)}: a NaN position", [path], 1, "finite values")
    base.pos = kept.copy()
    base.pos[9] = [base.header["BoxSize"], 0, 0]
    base.write(path)
    lies(f"{os.path.basename(path)}: a particle outside the box", [path], 1, "box")
    base.pos = kept


def framing_lies(good, path, labelled):
    """Bytes changed where the frames and labels are: status 2 each."""
    data = open(good, "rb").read()
    blocks = records(data, labelled)
    first = 16 if labelled else 0  # the header record's length
    pos_label = first + 264
    cases = [("header length", first, "<i", 255), ("header end", first + 260, "<i", 255),
             ("positions' length", pos_label + (16 if labelled else 0), "<i", len(blocks[1][1]) + 4)]
    if labelled:
        cases += [("HEAD label size", 8, "<i", 268), ("HEAD label size 0", 8, "<i", 0),
                  ("POS label size", pos_label + 8, "<i", len(blocks[1][1]) + 4),
                  ("POS label size huge", pos_label + 8, "<I", 2 ** 32 - 1), ("label record length", 0, "<i", 7),
                  ("POS label renamed", pos_label + 4, "4s", b"XXXX")]
    for what, offset, fmt, value in cases:
        changed = bytearray(data)
        struct.pack_into(fmt, changed, offset, value)
        open(path, "wb").write(bytes(changed))
        got, out, err = check(f"{os.path.basename(good)}: {what}", [path])
        expect(got == 2 and "[element0]" not in err and ("gadget1" in err or "gadget2" in err),
               f"{os.path.basename(good)}: {what}: {got} {err}")
    for cut in (10, 300, len(data) // 2, len(data) - 1):
        open(path, "wb").write(data[:cut])
        lies(f"{os.path.basename(good)}: cut at {cut}", [path], 2)
    open(path, "wb").write(data + b"\0")
    lies(f"{os.path.basename(good)}: a byte appended", [path], 2)


def gadget_suite(tmp):
    path = os.path.join(tmp, "lying")
    for fmt, extra in [("gadget1", []), ("gadget2", []), ("gadget2", ["--double", "--long-ids"])]:
        good = make(tmp, f"{'g1' if fmt == 'gadget1' else 'g2'}{len(extra)}", "--format", fmt, *extra)
        passes(f"{fmt} {extra}", [good], "1 to 1500, in file order")
        base = Gadget(good, fmt == "gadget2")
        expect(base.header["HubbleParam"] == 1.0 and base.header["Omega0"] == 0 == base.header["OmegaLambda"],
               f"{fmt}: cosmology {base.header}")
        base.write(path)
        expect(open(path, "rb").read() == open(good, "rb").read(), f"{fmt}: the writer here writes other bytes")
        header_lies(base, path)
        id_lies(base, path)
        mass_lies(base, path)
        value_lies(base, path)
        framing_lies(good, path, fmt == "gadget2")
        # What the codes skip is said, and does not fail.
        base.extra = [(b"U   ", bytes(4 * 1500))]
        base.write(path)
        passes(f"{fmt}: a block after the IDs", [path], "skipped records")
        base.extra = []
    got, out, err = check("gadget2 without options", [os.path.join(tmp, "g20")])
    expect("gadget2 files do not state their model" in line_of(out, "model from")
           and "gadget2 files do not state them" in line_of(out, "units"), f"binary defaults said: {out}")


def split_suite(tmp):
    """Three parts of 500: copied over one another, swapped, one missing."""
    make(tmp, "s", "--format", "gadget2", "--max-record", "6000")
    parts = [os.path.join(tmp, f"s.{k}") for k in range(3)]
    passes("split", [parts[0]], "1 to 1500, in file order")
    saved = [open(p, "rb").read() for p in parts]

    def restore():
        for p, data in zip(parts, saved):
            open(p, "wb").write(data)
    for what, change in [("s.1 copied over s.2", lambda: open(parts[2], "wb").write(saved[1])),
                         ("s.0 copied over s.1", lambda: open(parts[1], "wb").write(saved[0])),
                         ("s.1 and s.2 swapped", lambda: (open(parts[1], "wb").write(saved[2]),
                                                          open(parts[2], "wb").write(saved[1])))]:
        change()
        lies(f"split: {what}", [parts[0]], 1, "ids")
        restore()
    for k, field, value in [(1, "num_files", 2), (2, "npartTotal", [0, 1499, 0, 0, 0, 0]),
                            (1, "BoxSize", 1.0), (2, "time", 1.0)]:
        part = Gadget(parts[k], True)
        part.header[field] = value
        part.write(parts[k])
        lies(f"split: s.{k} {field} = {value}", [parts[0]], 1, "header")
        restore()
    os.remove(parts[2])
    lies("split: s.2 missing", [parts[0]], 2)
    restore()


def tipsy_suite(tmp):
    good = make(tmp, "t.tipsy", "--units", "model", "--format", "tipsy", "--softening", "0.01")
    passes("tipsy", [good, "--units", "model"], "every eps finite")
    data = open(good, "rb").read()
    path = os.path.join(tmp, "lying.tipsy")
    row = np.dtype([("mass", ">f4"), ("pos", ">f4", 3), ("vel", ">f4", 3), ("eps", ">f4"), ("phi", ">f4")])
    header, particles = data[:32], np.frombuffer(data, row, offset=32).copy()
    for what, offset, fmt, value, failing, status in [
            ("nbodies", 8, ">i", 1499, "header", 1), ("ndark", 20, ">i", 1501, "header", 1),
            ("ndim 2", 12, ">i", 2, "header", 1), ("ndim 4", 12, ">i", 4, "header", 1),
            ("time NaN", 0, ">d", float("nan"), "header", 1), ("time 1", 0, ">d", 1.0, "header", 1),
            ("nsph", 16, ">i", 1, None, 2), ("nstar", 24, ">i", 1, None, 2)]:
        changed = bytearray(header)
        struct.pack_into(fmt, changed, offset, value)
        open(path, "wb").write(bytes(changed) + particles.tobytes())
        lies(f"tipsy {what}", [path, "--units", "model"], status, failing)
    for what, field, value, failing in [("eps NaN", "eps", np.nan, "softening"), ("eps -1", "eps", -1.0, "softening"),
                                        ("eps 1e30", "eps", 1e30, "softening"), ("mass", "mass", 2.0, "equal masses")]:
        changed = particles.copy()
        changed[field][7] = value
        open(path, "wb").write(header + changed.tobytes())
        lies(f"tipsy {what}", [path, "--units", "model"], 1, failing)
    open(path, "wb").write(header + particles.tobytes()[:-5])
    lies("tipsy cut", [path, "--units", "model"], 2)


def hdf5_suite(tmp):
    good = make(tmp, "h.hdf5", "--format", "hdf5", "--centre", "10,0,0", "--bulk-velocity", "100,0,0",
                "--units", "astro")
    passes("hdf5", [good], "the file's Parameters")
    # Naming one part of the model keeps the rest the file states.
    passes("hdf5 --centre", [good, "--centre", "10,0,0", "--units", "astro"], "--centre; the rest the file's Parameters")
    path = os.path.join(tmp, "lying.hdf5")

    def edit(change):
        with h5py.File(good, "r") as f, h5py.File(path, "w") as g:
            for name in f:
                f.copy(name, g)
            change(g)

    def attr(group, name, value):
        return lambda g: (g[group].attrs.__delitem__(name) if name in g[group].attrs else None,
                          g[group].attrs.create(name, value))

    def dataset(name, values):
        return lambda g: (g["PartType1"].__delitem__(name), g["PartType1"].create_dataset(name, data=values))
    n = 1500
    box = h5py.File(good, "r")["Header"].attrs["BoxSize"]
    # Status 1 names the failing line; status 2 the Parameters field refused.
    for what, change, status, where in [
            ("Time NaN", attr("Header", "Time", np.nan), 1, "header"),
            ("Time 1", attr("Header", "Time", 1.0), 1, "header"),
            ("Redshift 2", attr("Header", "Redshift", 2.0), 1, "header"),
            ("Omega0 0.3", attr("Header", "Omega0", 0.3), 1, "header"),
            ("OmegaLambda 0.7", attr("Header", "OmegaLambda", 0.7), 1, "header"),
            ("HubbleParam NaN", attr("Header", "HubbleParam", np.nan), 1, "header"),
            ("HubbleParam 0", attr("Header", "HubbleParam", 0.0), 1, "header"),
            ("BoxSize 0", attr("Header", "BoxSize", 0.0), 1, "box"),
            ("BoxSize small", attr("Header", "BoxSize", box / 4), 1, "box"),
            ("no BoxSize", lambda g: g["Header"].attrs.__delitem__("BoxSize"), 1, "header"),
            ("NumPart N+1", attr("Header", "NumPart_ThisFile", np.array([0, n + 1, 0, 0, 0, 0], np.uint64)), 1, "header"),
            ("IDs 0", dataset("ParticleIDs", np.zeros(n, np.uint64)), 1, "ids"),
            ("IDs from 0", dataset("ParticleIDs", np.arange(n, dtype=np.uint64)), 1, "ids"),
            ("IDs repeated", dataset("ParticleIDs", np.r_[1, np.arange(1, n)].astype(np.uint64)), 1, "ids"),
            ("IDs negative", dataset("ParticleIDs", -np.arange(1, n + 1, dtype=np.int64)), 1, "ids"),
            ("IDs float", dataset("ParticleIDs", np.arange(1, n + 1, dtype=np.float64)), 1, "ids"),
            ("no IDs", lambda g: g["PartType1"].__delitem__("ParticleIDs"), 1, "ids"),
            ("NumberOfParticles 7", attr("Parameters", "NumberOfParticles", np.uint64(7)), 1, "header"),
            ("Profile plumer", attr("Parameters", "Profile", np.bytes_(b"plumer")), 2, "Profile"),
            ("TotalMass -1", attr("Parameters", "TotalMass", -1.0), 2, "TotalMass"),
            ("ScaleLength NaN", attr("Parameters", "ScaleLength", np.nan), 2, "ScaleLength"),
            ("Centre inf", attr("Parameters", "Centre", np.array([np.inf, 0, 0])), 2, "Centre"),
            ("Law bogus", attr("Parameters", "Law", np.bytes_(b"bogus")), 2, "Law"),
            ("no Law", lambda g: g["Parameters"].attrs.__delitem__("Law"), 2, "Law"),
            ("Units furlongs", attr("Parameters", "Units", np.bytes_(b"furlongs")), 2, "Units"),
            ("Units si", attr("Parameters", "Units", np.bytes_(b"si")), 2, "Units"),
            ("ZeroCentreOfMass 7", attr("Parameters", "ZeroCentreOfMass", np.int32(7)), 2, "ZeroCentreOfMass")]:
        edit(change)
        if status == 1:
            lies(f"hdf5 {what}", [path], 1, where)
        else:
            lies(f"hdf5 {what}", [path], 2, None, where)


def memory_suite(tmp):
    """A file that declares rows it never stored is refused unread; one of
    1.2e8 particles is checked in a bounded memory whatever the address
    space; checks that need more than there is are refused before reading;
    an allocation that fails anyway is status 2, not a signal."""
    huge = os.path.join(tmp, "huge.hdf5")
    with h5py.File(huge, "w") as f:  # nothing stored: the datasets are allocated when written
        for name, shape in [("Coordinates", (10 ** 11, 3)), ("Velocities", (10 ** 11, 3)), ("Masses", (10 ** 11,))]:
            f.create_dataset("PartType1/" + name, shape=shape, dtype="f8")
    status, err, peak = measured([CHECK, huge])
    expect(status == 2 and "100000000000 rows (none was ever written)" in err and peak <= 64 * 2 ** 20,
           f"10^11 rows: {status} {err} peak {peak / 2 ** 20:.1f} MiB")
    sparse = os.path.join(tmp, "sparse.gadget2")
    n = 120_000_000
    header = dict(parse_header(bytes(256)), npart=[0, n, 0, 0, 0, 0], massarr=[0, 1.9891e39 / n, 0, 0, 0, 0],
                  npartTotal=[0, n, 0, 0, 0, 0], num_files=1, BoxSize=1.6e19, HubbleParam=1.0)
    with open(sparse, "wb") as f:
        f.write(gadget_bytes([(b"HEAD", pack_header(header))], True))
        for label, size in [(b"POS ", 12 * n), (b"VEL ", 12 * n), (b"ID  ", 4 * n)]:
            f.write(struct.pack("<i4siii", 8, label, size + 8, 8, size))
            f.seek(size, 1)
            f.write(struct.pack("<i", size))
    limit = 4 << 30
    # The sanitizers' runtime maps terabytes of shadow: it aborts here.
    probe, _, _ = measured([CHECK, "--help"], limit, probe=True)
    if probe != 0:
        print("skipped: galaxy-check does not start within 4 GiB of address space (sanitizers)")
    else:
        # Its zeros are read and checked (and fail), in what a few blocks take.
        status, err, peak = measured([CHECK, "--threads", "2", sparse], limit, timeout=300)
        expect(status == 1 and err == "" and peak <= 256 * 2 ** 20,
               f"1.2e8 particles in 4 GiB: {status} {err} peak {peak / 2 ** 20:.1f} MiB")
        # A text file's count shows as it is read: refused then.
        text = make(tmp, "small.ini")
        status, err, peak = measured([CHECK, text], 100 << 20)
        expect(status == 2 and "whatever the count" in err and "MiB are available" in err,
               f"text in 100 MiB: {status} {err}")
    os.remove(sparse)
    if SANITIZED:
        print("skipped: a failing malloc under the sanitizers' allocator")
        return
    # Its histograms take 4 MiB each.
    small = make(tmp, "small.hdf5", "--format", "hdf5")
    env = dict(os.environ, LD_PRELOAD=FAIL_MALLOC, FAIL_MALLOC_ABOVE=str(2 << 20))
    r = subprocess.run([CHECK, small], capture_output=True, text=True, timeout=60, env=env)
    expect(r.returncode == 2 and "cannot allocate" in r.stderr, f"failing malloc: {r.returncode} {r.stderr}")


def measured(command, address_space=None, timeout=60, probe=False):
    """Status, standard error and peak resident bytes of a command; a
    signal fails, but for a probe of whether it runs at all."""
    def limit():
        if address_space is not None:
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
    with tempfile.TemporaryFile("w+") as err:
        p = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=err, preexec_fn=limit)
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(p.pid, os.WNOHANG)
            if pid != 0:
                break
            if deadline is not None and time.monotonic() > deadline:
                p.kill()
                deadline = None
                failures.append(f"{command}: no answer within {timeout} s")
            time.sleep(0.01)
        p.returncode = os.waitstatus_to_exitcode(status)
        expect(probe or p.returncode >= 0, f"{command}: ended by signal {-p.returncode}")
        err.seek(0)
        return p.returncode, err.read(), usage.ru_maxrss * 1024


with tempfile.TemporaryDirectory() as tmp:
    start = time.monotonic()
    gadget_suite(tmp)
    split_suite(tmp)
    tipsy_suite(tmp)
    hdf5_suite(tmp)
    memory_suite(tmp)
    print(f"{runs} runs of galaxy-check in {time.monotonic() - start:.1f} s")

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
