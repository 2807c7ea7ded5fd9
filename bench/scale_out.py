#!/usr/bin/python3
"""Scale-out on one machine: the pooled table of PARTICLES x FRAMES records
in FILES CSV files, once with the command line in one process (--sums per
file, then msdisf merge) and once with msdisf.dask on a LocalCluster of
2 workers x 1 thread with a 1.5 GB memory limit each, with and without the
shuffle by particle. Prints the times, the peak memory of each worker and
of the command line, the partition peak factor, and whether the tables agree
within 1e-12 (of each column's largest magnitude).

    PYTHONPATH=build/python bench/scale_out.py [--particles 20000] [--frames 1000] [--files 20]
        [--msdisf build/msdisf] [--folder /tmp/msdisf_scale_out]

The default is 2e7 records; the CSV files are made once and kept in the
folder for the next run.
"""
import argparse
import glob
import os
import resource
import subprocess
import sys
import time

import numpy as np
import pandas as pd

import msdisf

LAGS = "log:100:999"


def make_files(folder, particles, frames, files):
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, f"tracks_{k:03d}.csv") for k in range(files)]
    if all(os.path.exists(p) for p in paths):
        return paths
    rng = np.random.default_rng(1)
    per_file = particles // files
    for k, path in enumerate(paths):
        ids = np.repeat(np.arange(k * per_file, (k + 1) * per_file), frames)
        frame = np.tile(np.arange(frames), per_file)
        steps = rng.normal(scale=0.5, size=(2, per_file, frames))
        x, y = steps.cumsum(axis=2).reshape(2, -1)
        pd.DataFrame({"particle": ids, "frame": frame, "x": x, "y": y}).to_csv(path + ".tmp", index=False,
                                                                               float_format="%.9g")
        os.replace(path + ".tmp", path)
    return paths


def children_peak_gb():
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1e6


def command_line(program, paths, folder):
    sums = os.path.join(folder, "sums")
    table = os.path.join(folder, "cli.tsv")
    start = time.perf_counter()
    subprocess.run([program, "--sums", "--lags", LAGS, "-q", "--output-dir", sums, *paths], check=True)
    summed = time.perf_counter()
    subprocess.run([program, "merge", *sorted(glob.glob(os.path.join(sums, "*.msdisf.sums"))), "-o", table, "-q"],
                   check=True)
    done = time.perf_counter()
    return msdisf.read_table(table), summed - start, done - summed, children_peak_gb()


def worker_memory():
    """(peak, now) resident bytes of this process."""
    fields = dict(line.split(":", 1) for line in open("/proc/self/status"))
    return tuple(int(fields[k].split()[0]) * 1024 for k in ("VmHWM", "VmRSS"))


def dask_runs(paths):
    import dask.dataframe as dd
    import distributed

    import msdisf.dask
    results = {}
    for whole in (False, True):
        start = time.perf_counter()
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="1.5GB", processes=True,
                                      dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
            started = time.perf_counter()
            before = client.run(worker_memory)
            ddf = dd.read_csv(paths, blocksize=None)  # one partition per file
            table = msdisf.dask.analyse(ddf, lags=LAGS, whole_particles=whole)
            done = time.perf_counter()
            after = client.run(worker_memory)
        results[whole] = dict(table=table, start=started - start, run=done - started,
                              peak=[after[w][0] / 1e9 for w in sorted(after)],
                              idle=[before[w][1] / 1e9 for w in sorted(before)])
    return results


def partition_factor(path):
    """Peak memory while one partition's sums are formed, over the
    partition's bytes (the partition itself counted once), measured in a
    fresh process."""
    code = f"""
import pandas as pd, msdisf
part = pd.read_csv({path!r})
fields = lambda: dict(line.split(":", 1) for line in open("/proc/self/status"))
kb = lambda k: int(fields()[k].split()[0]) * 1024
open("/proc/self/clear_refs", "w").write("5")  # the peak so far (reading) is forgotten
before = kb("VmRSS")
msdisf.lag_sums(part["x"].to_numpy(), part["y"].to_numpy(), part["frame"].to_numpy(), part["particle"].to_numpy(),
                lags={LAGS!r}, threads=1)
print((kb("VmHWM") - before) / part.memory_usage(deep=True).sum() + 1, part.memory_usage(deep=True).sum())
"""
    factor, size = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                  text=True).stdout.split()
    return float(factor), int(size)


def largest_difference(a, b):
    assert list(a.columns) == list(b.columns) and np.array_equal(a.index, b.index)
    assert np.array_equal(a["pairs"], b["pairs"])
    worst = 0.0
    for column in a.columns:
        if column in ("pairs", "time"):
            continue
        scale = np.abs(a[column]).max()
        worst = max(worst, float((np.abs(a[column] - b[column]) / scale).max()))
    return worst


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--particles", type=int, default=20000)
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--msdisf", default=os.path.join(os.path.dirname(__file__), "..", "build", "msdisf"))
    parser.add_argument("--folder", default="/tmp/msdisf_scale_out")
    args = parser.parse_args()
    start = time.perf_counter()
    paths = make_files(args.folder, args.particles, args.frames, args.files)
    records = args.particles // args.files * args.files * args.frames
    print(f"{records:.3g} records in {len(paths)} files ({time.perf_counter() - start:.1f} s to make or find)")
    cli, sums_seconds, merge_seconds, cli_peak = command_line(args.msdisf, paths, args.folder)
    print(f"command line: {sums_seconds:.1f} s for --sums of every file, {merge_seconds:.2f} s to merge; "
          f"peak {cli_peak:.2f} GB")
    factor, size = partition_factor(paths[0])
    print(f"partition peak factor: {factor:.2f} x its {size / 1e6:.0f} MB (one file, one engine thread)")
    for whole, run in dask_runs(paths).items():
        worst = largest_difference(cli, run["table"])
        print(f"dask, {'no shuffle (whole particles per file)' if whole else 'shuffled by particle'}: "
              f"{run['run']:.1f} s (+{run['start']:.1f} s to start the cluster); worker peaks "
              f"{', '.join(f'{p:.2f}' for p in run['peak'])} GB (idle {', '.join(f'{p:.2f}' for p in run['idle'])}"
              f" GB); largest difference from the command line {worst:.1e} of the column's largest value"
              f" ({'within' if worst <= 1e-12 else 'NOT within'} 1e-12)")


if __name__ == "__main__":
    main()
