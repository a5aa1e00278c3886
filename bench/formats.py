#!/usr/bin/env python3
"""Text against HDF5, GADGET 1 and 2 (single and double precision) and
tipsy: paired whole runs of galaxy-ic, interleaved.

  galaxy-ic --seed 1 -p 4000000 [--threads T] [--format F]
prints median wall times, sizes and peaks, and the ratios the targets name:
wall <= 0.6 x text, size <= 0.15 x text in single precision (0.3 for HDF5),
peak <= the record (56 bytes a particle) + 32 MiB.

usage: bench/formats.py [--build DIR] [--runs K] [--dir TMPDIR] [--threads T] [-n N]
"""
import glob
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import bench_arguments, run, scratch  # noqa: E402

FORMATS = {"text": [], "hdf5": ["--format", "hdf5"], "gadget1": ["--format", "gadget1"],
           "gadget2": ["--format", "gadget2"], "gadget2-double": ["--format", "gadget2", "--double"],
           "tipsy": ["--format", "tipsy", "--units", "model"]}


def main():
    parser = bench_arguments(runs=5, n=4 * 10**6)
    parser.add_argument("--threads", default=None)
    args = parser.parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    common = [ic, "--seed", "1", "-p", str(args.n)]
    if args.threads:
        common += ["--threads", args.threads]

    with scratch(args.dir) as tmp:
        paths = {name: os.path.join(tmp, "g." + name) for name in FORMATS}
        samples = {name: [] for name in FORMATS}
        sizes = {}
        for _ in range(args.runs):
            for name, options in FORMATS.items():
                samples[name].append(run(common + options + ["-o", paths[name]]))
                files = glob.glob(paths[name] + "*")
                sizes[name] = sum(os.path.getsize(f) for f in files)
                for f in files:
                    os.remove(f)
    m = {name: (statistics.median(v[0] for v in values), max(v[1] for v in values))
         for name, values in samples.items()}
    record = 56 * args.n
    for name in FORMATS:
        print(f"{name:>15}: median {m[name][0]:7.3f} s  size {sizes[name] / 1e6:8.1f} MB  "
              f"peak - record {(m[name][1] - record) / 2**20:7.1f} MiB  "
              f"wall/text {m[name][0] / m['text'][0]:.3f}  size/text {sizes[name] / sizes['text']:.3f}")


if __name__ == "__main__":
    main()
