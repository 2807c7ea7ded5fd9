"""Whole runs as users time them: each command is a process of its own
(reading, computing, writing), two commands alternate A-B-A-B on the same
files, and each row gives the median of the per-pair ratios with the median
times. The files are made here, in a temporary folder.

    /usr/bin/python3 bench/whole_run.py [--build DIR] [--bench-build DIR] [--pairs N]

--build holds msdisf; --bench-build (configured with -DMSDISF_BUILD_BENCHMARKS=ON)
holds whole_run_writer, whole_run_reader and fft_floor, and the rows that
need them are left out when they are missing. "One core busy" runs a shell
loop beside the commands.

The FFT floor of a case is what fft_floor prints for data of the same shape
and columns: the transforms one analysis executes, counted by wrapping
FFTW's calls (kind, size and number, not derived by hand), run again from
the engine's own plans on one thread and divided by the processor count.
Whole runs alternate with fft_floor processes; a row gives the median of
the per-pair ratios whole run / floor, and beside it fft_floor's own
analysis / floor (the analysis alone in its process, no reading or
writing). A case beyond 3x the floor names the larger part of what lies
above it, from those same measurements: the time outside the analysis
(reading the file, writing the table, starting the process) or the
analysis's own work beside the transforms. A case whose analysis executes
no transforms (short tracks are summed directly) has no floor: n/a.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"


def brownian_csv(path, particles, frames, seed):
    """frame,particle,x,y of Brownian particles (D = 1), sorted by frame as trackers write them."""
    rng = np.random.default_rng(seed)
    xy = rng.normal(0.0, np.sqrt(2.0), size=(2, frames, particles)).cumsum(axis=1) + 1000.0
    frame = np.repeat(np.arange(frames), particles)
    particle = np.tile(np.arange(particles), frames)
    columns = [frame, particle, xy[0].ravel(), xy[1].ravel()]
    with open(path, "w") as out:
        out.write("frame,particle,x,y\n" if particles > 1 else "frame,x,y\n")
        if particles == 1:
            columns.pop(1)
        formats = ["%d"] * (len(columns) - 2) + ["%.6f", "%.6f"]
        np.savetxt(out, np.column_stack(columns), fmt=formats, delimiter=",")


def tracker_csv(path, rows):
    """A tracker's export: frame, particle, x, y, mass, size; 10^4 particles per frame."""
    particles = 10000
    frames = rows // particles
    program = (
        'BEGIN { srand(3); print "frame,particle,x,y,mass,size";'
        f" for (p = 0; p < {particles}; p++) {{ x[p] = 512 * rand(); y[p] = 512 * rand() }}"
        f" for (f = 0; f < {frames}; f++) for (p = 0; p < {particles}; p++) {{"
        "  x[p] += rand() - 0.5; y[p] += rand() - 0.5;"
        '  printf "%d,%d,%.4f,%.4f,%.1f,%.3f\\n", f, p, x[p], y[p], 100 + 4900 * rand(), 1 + 2 * rand() } }'
    )
    with open(path, "w") as out:
        subprocess.run(["awk", program], stdout=out, check=True)


def run(command, env=None):
    """Seconds of one whole process, and what it printed."""
    start = time.perf_counter()
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"whole_run: {' '.join(command)} failed:\n{done.stderr}")
    return seconds, done.stdout


def paired(pairs, a, b, seconds_of=lambda s, out: s):
    """Median of a, of b and of the per-pair ratios a / b over A-B-A-B runs after one untimed run of each."""
    a(), b()
    times_a, times_b = [], []
    for _ in range(pairs):
        times_a.append(seconds_of(*a()))
        times_b.append(seconds_of(*b()))
    ratios = [x / y for x, y in zip(times_a, times_b)]
    return statistics.median(times_a), statistics.median(times_b), statistics.median(ratios), ratios


def row(case, a_name, b_name, result):
    ta, tb, ratio, ratios = result
    spread = ", ".join(f"{r:.2f}" for r in ratios)
    print(f"| {case} | {a_name} {ta:.3f} s | {b_name} {tb:.3f} s | {ratio:.2f} ({spread}) |", flush=True)


class BusyCore:
    """A shell loop that keeps one core busy while the block runs."""

    def __enter__(self):
        self.loop = subprocess.Popen(["sh", "-c", "while :; do :; done"])
        return self

    def __exit__(self, *exc):
        self.loop.kill()
        self.loop.wait()


FLOOR_CASES = [  # case, file, msdisf options, fft_floor's frames, particles and quantities
    ("10^5 frames, MSD alone", "one.csv", ["--quantities", "msd"], 100000, 1, "msd"),
    ("10^5 frames, default columns", "one.csv", [], 100000, 1, "default"),
    ("1000 x 1000, MSD alone", "p1000.csv", ["--quantities", "msd"], 1000, 1000, "msd"),
    ("1000 x 1000, default columns", "p1000.csv", [], 1000, 1000, "default"),
    ("20000 x 100, default columns", "p20000.csv", [], 100, 20000, "default"),
]


def floor_values(out):
    """fft_floor's printed "name value" lines as a dict of text."""
    return dict(line.split(" ", 1) for line in out.splitlines() if " " in line and not line.startswith("transform "))


def reason_above_floor(ratio, analysis_ratio):
    """The larger measured part above the floor, in floors: the whole run beyond
    the analysis alone, or the analysis beyond its transforms."""
    outside = ratio - analysis_ratio
    beside = analysis_ratio - 1.0
    if outside >= beside:
        return f"outside the analysis (reading, writing, starting the process): {outside:.1f}x the floor"
    return f"the analysis's work beside its transforms: {beside:.1f}x the floor"


def floor_row(pairs, case, whole_run, floor_command):
    """One case's whole run against its FFT floor, paired; n/a when the analysis runs no transforms."""
    first = floor_values(run(floor_command)[1])
    if "floor_seconds" not in first:
        print(f"| {case} | {first['transforms']} | n/a | n/a | n/a | n/a | {first['floor'].split(': ', 1)[1]} |")
        return
    analyses = []

    def floor():
        values = floor_values(run(floor_command)[1])
        analyses.append(float(values["analysis_over_floor"]))
        return float(values["floor_seconds"]), ""

    whole, floor_s, ratio, ratios = paired(pairs, whole_run, floor)
    analysis_ratio = statistics.median(analyses)
    note = reason_above_floor(ratio, analysis_ratio) if ratio > 3 else ""
    spread = ", ".join(f"{r:.1f}" for r in ratios)
    print(f"| {case} | {first['transforms']} | {floor_s:.4f} s | {whole:.3f} s | {ratio:.1f} ({spread}) | "
          f"{analysis_ratio:.1f} | {note} |", flush=True)


def floor_table(pairs, ours, fft_floor):
    print("\nFFT floor: the transforms of one analysis of the case, shared perfectly over every processor\n")
    print("| case | transforms | floor | whole run | whole / floor: median (each pair) | analysis / floor | "
          "above 3x: the larger part |")
    print("|---|---|---|---|---|---|---|")
    for case, name, options, frames, particles, quantities in FLOOR_CASES:
        floor_row(pairs, case, ours(name, *options), [fft_floor, str(frames), str(particles), quantities, "5"])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--bench-build", default=None)
    parser.add_argument("--pairs", type=int, default=3)
    args = parser.parse_args()
    msdisf = os.path.abspath(os.path.join(args.build, "msdisf"))
    bench = os.path.abspath(args.bench_build) if args.bench_build else None
    work = tempfile.mkdtemp(prefix="whole_run.")
    try:
        measure(msdisf, bench, args.pairs, work)
    finally:
        shutil.rmtree(work)


def measure(msdisf, bench, pairs, work):
    def path(name):
        return os.path.join(work, name)

    # libgomp's own default when nothing is set, which msdisf replaces with
    # GOMP_SPINCOUNT=1000 unless the user sets a policy; and sleeping at once.
    runtime_default = dict(os.environ, GOMP_SPINCOUNT="300000")
    passive = dict(os.environ, OMP_WAIT_POLICY="PASSIVE")
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    brownian_csv(path("one.csv"), 1, 100000, 11)
    brownian_csv(path("p1000.csv"), 1000, 1000, 12)
    brownian_csv(path("p20000.csv"), 20000, 100, 13)
    print(f"files: 10^5 frames {os.path.getsize(path('one.csv')) / 1e6:.1f} MB, 1000 x 1000 "
          f"{os.path.getsize(path('p1000.csv')) / 1e6:.1f} MB, 20000 x 100 {os.path.getsize(path('p20000.csv')) / 1e6:.1f} MB")

    def ours(name, *options, env=None):
        return lambda: run([msdisf, "-q", path(name), "-o", path(name + ".tsv"), *options], env)

    print("\n| case | A | B | A / B: median (each pair) |")
    print("|---|---|---|---|")
    peer = lambda: run([PYTHON, os.path.join(HERE, "whole_run_peer.py"), path("one.csv"), path("peer.csv")])
    row("10^5 frames, every lag: msdisf default columns / peer MSD alone", "msdisf", "peer",
        paired(pairs, ours("one.csv"), peer))
    table_bytes = os.path.getsize(path("one.csv.tsv"))
    row("10^5 frames, every lag: msdisf MSD alone / peer MSD alone", "msdisf", "peer",
        paired(pairs, ours("one.csv", "--quantities", "msd"), peer))
    for name, case in [("one.csv", "10^5 frames"), ("p1000.csv", "1000 x 1000"), ("p20000.csv", "20000 x 100")]:
        row(f"nothing beside, {case}, default columns: default / GOMP_SPINCOUNT=300000 (the runtime's default)",
            "default", "300000", paired(pairs, ours(name), ours(name, env=runtime_default)))
    with BusyCore():
        for name, case in [("p1000.csv", "1000 x 1000"), ("p20000.csv", "20000 x 100")]:
            one = ours(name, "--threads", "1")
            row(f"one core busy, {case}, default columns: default threads / --threads 1", "default", "1 thread",
                paired(pairs, ours(name), one))
            row(f"one core busy, {case}, default columns: GOMP_SPINCOUNT=300000 / --threads 1", "300000", "1 thread",
                paired(pairs, ours(name, env=runtime_default), one))
            row(f"one core busy, {case}, default columns: OMP_WAIT_POLICY=PASSIVE / --threads 1", "passive", "1 thread",
                paired(pairs, ours(name, env=passive), one))
    print(f"\n10^5 frames: the table of every default column is {table_bytes / 1e6:.0f} MB; "
          f"load average after: {os.getloadavg()[0]:.2f}")
    if bench is not None and os.path.exists(os.path.join(bench, "fft_floor")):
        floor_table(pairs, ours, os.path.join(bench, "fft_floor"))
    else:
        print("\n(no --bench-build with fft_floor: FFT floor rows left out)")
    if bench is None or not os.path.exists(os.path.join(bench, "whole_run_writer")):
        print("\n(no --bench-build with whole_run_writer and whole_run_reader: writer and reader rows left out)")
        return
    print("\nThe table writer (every lag and default column of 10^5 frames, medians of 5 writes):\n")
    print(run([os.path.join(bench, "whole_run_writer"), "100000", "5", work])[1], flush=True)

    tracker_csv(path("tracker.csv"), 10_000_000)
    print(f"Reading a tracker CSV of 10^7 rows ({os.path.getsize(path('tracker.csv')) / 1e6:.0f} MB; "
          "seconds of the read call alone, each in a fresh process):\n")
    reader = lambda: run([os.path.join(bench, "whole_run_reader"), path("tracker.csv")])
    pandas = lambda: run([PYTHON, "-c", "import sys, time, pandas; start = time.perf_counter(); "
                          "pandas.read_csv(sys.argv[1]); print('total', time.perf_counter() - start)",
                          path("tracker.csv")])
    call_seconds = lambda seconds, out: float(re.search(r"total ([0-9.]+)", out).group(1))
    print("| case | A | B | A / B: median (each pair) |")
    print("|---|---|---|---|")
    row("pandas.read_csv / msdisf's reader, the read call", "pandas", "msdisf", paired(pairs, pandas, reader, call_seconds))
    row("pandas.read_csv / msdisf's reader, whole processes", "pandas", "msdisf", paired(pairs, pandas, reader))
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
