#!/usr/bin/env python3
"""Whole-job benchmark: generates single trajectories (Brownian, 1 % missing
frames), runs the ranks 2/3 job on them and prints a markdown table.

  bench/run_jobs.py --build build-rel --sizes 2000,10000,100000 [--exact-max 20000]

Rows: the driver itself (msd_isf, fast method, all threads) and the job runner
with each method and thread count. Every ratio is against the plain
single-thread kernel (exact, 1 thread) measured in the same run at the same N;
where that is too slow to run, it is extrapolated as (N/N0)^2 times the
largest N0 measured, and the row says so.
"""
import argparse
import os
import random
import shutil
import subprocess
import tempfile
import time


def write_trajectory(path, frames, gap_fraction, seed):
    rng = random.Random(seed)
    x = y = 500.0
    step = (2.0 * 1.0) ** 0.5  # D = 1
    lines = []
    for frame in range(1, frames + 1):
        x += rng.gauss(0.0, step)
        y += rng.gauss(0.0, step)
        if frame > 1 and rng.random() < gap_fraction:
            continue
        lines.append(f"{x:.5f} {y:.5f} {frame}\n")
    with open(path, "w") as out:
        out.writelines(lines)
    return frames  # entries, gap markers included


def run(command, cwd):
    """Runs a command and returns (seconds, peak resident MiB)."""
    start = time.perf_counter()
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed: {child.stderr.read().decode()}")
    return seconds, usage.ru_maxrss / 1024.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build-rel")
    parser.add_argument("--sizes", default="2000,10000,100000")
    parser.add_argument("--exact-max", type=int, default=10000, help="largest N for the exact method")
    parser.add_argument("--repeat", type=int, default=1, help="paired runs per configuration (median kept)")
    parser.add_argument("--runner-max", type=int, default=200000, help="above this N, only the driver row runs")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    driver = os.path.join(build, "msd_isf")
    runner = os.path.join(build, "job_runner")

    rows = []
    baseline = None  # (N0, seconds) of the largest exact one-thread run
    for n in [int(s) for s in args.sizes.split(",")]:
        tree = tempfile.mkdtemp(prefix="msdisf-bench-")
        try:
            data = os.path.join(tree, "data", "FreeQuorix")
            os.makedirs(data)
            os.makedirs(os.path.join(tree, "work"))
            source = os.path.join(data, "FreeQuorix_cropped_combined_filtered.dat")
            write_trajectory(source, n, 0.01, seed=n)
            table = os.path.join(tree, "table.dat")
            pairs = (n - 1) * (n - 2) / 2
            configs = []
            if n <= args.exact_max:
                configs += [("exact, 1 thread", [runner, "exact", "1", source, table]),
                            ("exact, 2 threads", [runner, "exact", "2", source, table])]
            if n <= args.runner_max:
                configs += [("fast, 1 thread", [runner, "fast", "1", source, table]),
                            ("fast, 2 threads", [runner, "fast", "2", source, table])]
            configs += [("driver msd_isf 2 (fast)", [driver, "2", "1"])]
            measured = {}
            for _ in range(args.repeat):
                for name, command in configs:
                    measured.setdefault(name, []).append(run(command, os.path.join(tree, "work")))
            for name, _ in configs:
                runs = sorted(measured[name])
                seconds, memory = runs[len(runs) // 2]
                if name == "exact, 1 thread":
                    baseline = (n, seconds)
                rows.append((n, name, seconds, pairs / seconds, memory))
        finally:
            shutil.rmtree(tree)

    print("| N | method | seconds | pairs/s | peak RSS (MiB) | speed-up vs plain 1 thread |")
    print("|---|---|---|---|---|---|")
    plain = {}
    for n, name, seconds, rate, memory in rows:
        if name == "exact, 1 thread":
            plain[n] = seconds
    for n, name, seconds, rate, memory in rows:
        if n in plain:
            ratio = f"{plain[n] / seconds:.1f}×"
        else:
            n0, s0 = baseline
            ratio = f"{s0 * (n / n0) ** 2 / seconds:.0f}× (plain extrapolated by N²)"
        print(f"| {n} | {name} | {seconds:.2f} | {rate:.3g} | {memory:.0f} | {ratio} |")


if __name__ == "__main__":
    main()
