#!/usr/bin/env python3
"""GADGET formats 1 and 2 and tipsy, read by a reader written from the
formats' published layouts (numpy only, nothing of galaxy-ic's code), held
value for value against the HDF5 file of the same options: exact in double
precision, to float32 rounding in single. Then galaxy-check on each file,
and on files whose headers lie.

usage: binary_formats_test.py GALAXY_IC GALAXY_CHECK
"""
import os
import struct
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


def records(data, labelled):
    """The Fortran records of a GADGET file: {label or index: bytes}."""
    blocks, at, index, label = {}, 0, 0, None
    while at < len(data):
        (size,) = struct.unpack_from("<i", data, at)
        body = data[at + 4:at + 4 + size]
        (end,) = struct.unpack_from("<i", data, at + 4 + size)
        if end != size:
            raise ValueError(f"record at {at}: lengths {size} and {end}")
        at += size + 8
        if labelled and label is None:
            label, _next = body[:4].decode(), struct.unpack("<i", body[4:8])[0]
            continue
        blocks[label if labelled else ["HEAD", "POS ", "VEL ", "ID  ", "MASS"][index]] = body
        label, index = None, index + 1
    return blocks


def read_gadget(path, labelled):
    blocks = records(open(path, "rb").read(), labelled)
    h = blocks["HEAD"]
    header = {
        "npart": struct.unpack_from("<6i", h, 0), "massarr": struct.unpack_from("<6d", h, 24),
        "time": struct.unpack_from("<d", h, 72)[0], "npartTotal": struct.unpack_from("<6I", h, 96),
        "num_files": struct.unpack_from("<i", h, 124)[0], "BoxSize": struct.unpack_from("<d", h, 128)[0],
        "highword": struct.unpack_from("<6I", h, 168), "fill": h[196:256],
    }
    n = header["npart"][1]
    width = len(blocks["POS "]) // (3 * n) if n else 4
    real = "<f4" if width == 4 else "<f8"
    ids = "<u4" if n == 0 or len(blocks["ID  "]) // n == 4 else "<u8"
    pos = np.frombuffer(blocks["POS "], real).reshape(n, 3)
    vel = np.frombuffer(blocks["VEL "], real).reshape(n, 3)
    return header, pos, vel, np.frombuffer(blocks["ID  "], ids), "MASS" in blocks


def read_tipsy(path):
    data = open(path, "rb").read()
    time, nbodies, ndim, nsph, ndark, nstar = struct.unpack_from(">diiiii", data, 0)
    dark = np.dtype([("mass", ">f4"), ("pos", ">f4", 3), ("vel", ">f4", 3), ("eps", ">f4"), ("phi", ">f4")])
    particles = np.frombuffer(data, dark, count=ndark, offset=32)
    expect(len(data) == 32 + 36 * ndark, f"{path}: size {len(data)}")
    return (time, nbodies, ndim, nsph, ndark, nstar), particles


def reference(tmp, options):
    path = os.path.join(tmp, "ref.hdf5")
    subprocess.run([IC, *options, "--format", "hdf5", "-o", path], check=True)
    with h5py.File(path, "r") as f:
        p = f["PartType1"]
        return p["Coordinates"][...], p["Velocities"][...], p["Masses"][...], f["Header"].attrs["BoxSize"]


def run(options, tmp, name):
    path = os.path.join(tmp, name)
    r = subprocess.run([IC, *options, "-o", path], capture_output=True, text=True)
    expect(r.returncode == 0 and r.stdout == "", f"{options}: {r.returncode} {r.stdout}")
    return path


def gadget_cases(tmp):
    for fmt, labelled in (("gadget1", False), ("gadget2", True)):
        for extra in ([], ["--double"], ["--long-ids", "--units", "gadget", "--zero-com"]):
            options = ["--seed", "4", "-p", "3001", "--threads", "2", *extra]
            pos0, vel0, mass0, box = reference(tmp, options)
            path = run([*options, "--format", fmt], tmp, "g")
            label = f"{fmt} {' '.join(extra)}"
            header, pos, vel, ids, has_mass = read_gadget(path, labelled)
            single = "--double" not in extra
            expect(pos.dtype == (np.float32 if single else np.float64), f"{label}: precision")
            expected = (lambda x: x.astype(np.float32)) if single else (lambda x: x)
            expect(np.array_equal(pos, expected(pos0)) and np.array_equal(vel, expected(vel0)),
                   f"{label}: values")
            expect(np.array_equal(ids, np.arange(1, 3002)) and ids.dtype.itemsize == (8 if "--long-ids" in extra else 4),
                   f"{label}: IDs")
            expect(header["npart"] == (0, 3001, 0, 0, 0, 0) and header["npartTotal"][1] == 3001
                   and header["highword"] == (0,) * 6 and header["num_files"] == 1, f"{label}: counts")
            expect(header["massarr"][1] == mass0[0] and not has_mass, f"{label}: mass table")
            expect(header["BoxSize"] == box and header["time"] == 0.0, f"{label}: box, time")
            expect(header["fill"].startswith(b"galaxy-ic "), f"{label}: provenance {header['fill']!r}")
            check = subprocess.run([CHECK, path, *[o for o in extra if o in ("--units", "gadget", "--zero-com")]],
                                   capture_output=True, text=True)
            expect(check.returncode == 0, f"{label}: galaxy-check {check.returncode}\n{check.stdout}{check.stderr}")


def split_case(tmp):
    """A record limit of 4000 bytes: 333 particles a file, 10 files."""
    options = ["--seed", "6", "-p", "3001", "--format", "gadget2", "--max-record", "4000"]
    pos0 = reference(tmp, options[:4])[0]
    run(options, tmp, "s")
    pieces, rows = [], 0
    for k in range(10):
        header, pos, _, ids, _ = read_gadget(os.path.join(tmp, f"s.{k}"), True)
        expect(header["num_files"] == 10 and header["npartTotal"][1] == 3001, f"split {k}: header")
        expect(np.array_equal(ids, np.arange(rows + 1, rows + len(ids) + 1)), f"split {k}: IDs")
        rows += len(ids)
        pieces.append(pos)
    expect(not os.path.exists(os.path.join(tmp, "s.10")) and rows == 3001, "split: 10 files")
    expect(np.array_equal(np.concatenate(pieces), pos0.astype(np.float32)), "split: values")
    check = subprocess.run([CHECK, os.path.join(tmp, "s.0")], capture_output=True, text=True)
    expect(check.returncode == 0, f"split: galaxy-check {check.returncode}\n{check.stdout}{check.stderr}")


def tipsy_case(tmp):
    options = ["--seed", "8", "-p", "2500", "--units", "model", "--equilibrium"]
    pos0, vel0, mass0, _ = reference(tmp, options)
    path = run([*options, "--format", "tipsy", "--softening", "0.01"], tmp, "t")
    header, p = read_tipsy(path)
    expect(header == (0.0, 2500, 3, 0, 2500, 0), f"tipsy header {header}")
    expect(np.array_equal(p["pos"], pos0.astype(np.float32)) and np.array_equal(p["vel"], vel0.astype(np.float32)),
           "tipsy values")
    expect(np.all(p["mass"] == np.float32(mass0[0])) and np.all(p["eps"] == np.float32(0.01))
           and np.all(p["phi"] == 0), "tipsy mass, eps, phi")
    check = subprocess.run([CHECK, path, "--units", "model", "--equilibrium"], capture_output=True, text=True)
    expect(check.returncode == 0, f"tipsy: galaxy-check {check.returncode}\n{check.stdout}{check.stderr}")


def checked(path, *options):
    return subprocess.run([CHECK, path, *options], capture_output=True, text=True)


def patched(source, target, offset, fmt, value):
    data = bytearray(open(source, "rb").read())
    struct.pack_into(fmt, data, offset, value)
    open(target, "wb").write(bytes(data))


def lying_headers(tmp):
    """Each header that disagrees with its data fails, saying what
    disagrees; a file that cannot be read as its format is status 2."""
    g1 = run(["--seed", "2", "-p", "2000", "--format", "gadget1"], tmp, "lie1")
    g2 = run(["--seed", "2", "-p", "2000", "--format", "gadget2"], tmp, "lie2")
    tp = run(["--seed", "2", "-p", "2000", "--format", "tipsy"], tmp, "lie3")
    bad = os.path.join(tmp, "bad")
    # Offsets: format 1's header starts at 4, format 2's at 20; tipsy's at 0.
    lies = [(g1, 4 + 4, "<i", 1993, "npart[1]"), (g2, 20 + 4, "<i", 1993, "npart[1]"),
            (g2, 20 + 96 + 4, "<I", 7, "npartTotal[1]"), (g2, 20 + 168 + 4, "<I", 1, "npartTotal[1]"),
            (g1, 4 + 124, "<i", 0, "num_files"), (tp, 8, ">i", 1999, "nbodies"),
            (tp, 20, ">i", 10 ** 9, "ndark"), (tp, 12, ">i", 2, "ndim")]
    for source, offset, fmt, value, what in lies:
        patched(source, bad, offset, fmt, value)
        r = checked(bad)
        expect(r.returncode == 1 and any(line.split()[0] == "header" and what in line and line.endswith("FAIL")
                                         for line in r.stdout.splitlines()),
               f"{what} = {value} in {os.path.basename(source)}: {r.returncode}\n{r.stdout}{r.stderr}")
    # Framing broken, a second file the header counts but that is missing.
    for source, offset, fmt, value, what in [(g1, 264, "<i", 9, "framed"), (g2, 0, "<i", 7, "expected"),
                                             (g1, 4 + 124, "<i", 2, "FILE.0")]:
        patched(source, bad, offset, fmt, value)
        r = checked(bad)
        expect(r.returncode == 2 and what in r.stderr, f"unreadable {what}: {r.returncode} {r.stderr}")
    open(bad, "wb").write(open(g2, "rb").read()[:5000])
    r = checked(bad)
    expect(r.returncode == 2 and r.stdout == "", f"truncated: {r.returncode} {r.stderr}")


with tempfile.TemporaryDirectory() as tmp:
    lying_headers(tmp)
    gadget_cases(tmp)
    split_case(tmp)
    tipsy_case(tmp)

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
