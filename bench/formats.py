#!/usr/bin/env python3
"""Text against HDF5: paired whole runs of galaxy-ic, interleaved.

  galaxy-ic --seed 1 -p 4000000 [--threads T]                 (text)
  galaxy-ic --seed 1 -p 4000000 [--threads T] --format hdf5   (HDF5)
prints median wall times, sizes and peaks, and the ratios the targets name:
HDF5/text wall <= 0.6, size <= 0.3, HDF5 peak <= the record (56 bytes a
particle) + 32 MiB.

usage: bench/formats.py [--build DIR] [--runs K] [--dir TMPDIR] [--threads T] [-n N]
"""
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import bench_arguments, run, scratch  # noqa: E402


def main():
    parser = bench_arguments(runs=5, n=4 * 10**6)
    parser.add_argument("--threads", default=None)
    args = parser.parse_args()
    ic = os.path.join(args.build, "galaxy-ic")
    common = [ic, "--seed", "1", "-p", str(args.n)]
    if args.threads:
        common += ["--threads", args.threads]

    with scratch(args.dir) as tmp:
        paths = {"text": os.path.join(tmp, "g.ini"), "hdf5": os.path.join(tmp, "g.hdf5")}
        commands = {"text": common + ["-o", paths["text"]],
                    "hdf5": common + ["--format", "hdf5", "-o", paths["hdf5"]]}
        samples = {name: [] for name in commands}
        sizes = {}
        for _ in range(args.runs):
            for name, cmd in commands.items():
                samples[name].append(run(cmd))
                sizes[name] = os.path.getsize(paths[name])
                os.remove(paths[name])
    m = {name: (statistics.median(v[0] for v in values), max(v[1] for v in values))
         for name, values in samples.items()}
    for name in commands:
        print(f"{name:>5}: median {m[name][0]:7.3f} s  size {sizes[name] / 1e6:8.1f} MB  "
              f"peak {m[name][1] / 2**20:7.1f} MiB")
    record = 56 * args.n
    print(f"hdf5/text wall {m['hdf5'][0] / m['text'][0]:.3f}  size {sizes['hdf5'] / sizes['text']:.3f}"
          f"  hdf5 peak - record {(m['hdf5'][1] - record) / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()
