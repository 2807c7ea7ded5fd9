"""The MSD column alone, in one process: msdisf.analyse(..., quantities=["msd"])
against the numpy peer's FFT MSD (whole_run_peer.msd), every lag, on the
same Brownian data (D = 1, no gaps). Each case runs one untimed call of each
side, then PAIRS pairs whose order alternates (A B, B A, ...); a row gives
the median time of each side and the median of the per-pair ratios
msdisf / peer, with every pair's ratio. msdisf runs on every processor and,
in a second row, on one thread; the peer's transforms run on one. Before
timing, the two sides' msd must agree to 1e-6 relative at lags 1, 10, 100
and 999 (the peer cancels large squares, so its own rounding shows
first), or the script stops.
    PYTHONPATH=build/python /usr/bin/python3 bench/in_process_msd.py [PAIRS]

As in numpy_peer.py, glibc is told to keep freed memory for reuse, so the
peer's large temporaries are reused memory rather than fresh pages: the
peer at its fastest.
"""
import os
import statistics
import sys
import time

REUSE = "glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=68719476736"
if REUSE not in os.environ.get("GLIBC_TUNABLES", ""):
    os.environ["GLIBC_TUNABLES"] = ":".join(filter(None, [os.environ.get("GLIBC_TUNABLES"), REUSE]))
    os.execv(sys.executable, [sys.executable] + sys.argv)

import numpy as np

import msdisf
from whole_run_peer import msd as peer_msd

PAIRS = int(sys.argv[1]) if len(sys.argv) > 1 else 7
CHECKED_LAGS = [1, 10, 100, 999]


def brownian(particles, frames, seed=7):
    """x and y, one row per particle."""
    rng = np.random.default_rng(seed)
    xy = rng.normal(0.0, np.sqrt(2.0), size=(2, particles, frames)).cumsum(axis=2) + 1000.0
    return xy[0], xy[1]


def ours(x, y, threads=None):
    """msdisf's msd column, pooled over the particles, indexed by lag."""
    particles, frames = x.shape
    ids = np.repeat(np.arange(particles), frames) if particles > 1 else None
    frame = np.tile(np.arange(frames), particles)
    return msdisf.analyse(x.ravel(), y.ravel(), frame, ids, quantities=["msd"], threads=threads)["msd"]


def peer(x, y):
    """The peer's msd at lags 0..frames-1, averaged over the particles (all equally long)."""
    return np.mean([peer_msd(x[p], y[p]) for p in range(x.shape[0])], axis=0)


def check_agreement(x, y):
    mine = ours(x, y).loc[CHECKED_LAGS].to_numpy()
    theirs = peer(x, y)[CHECKED_LAGS]
    worst = np.max(np.abs(mine - theirs) / theirs)
    if not worst < 1e-6:
        sys.exit(f"in_process_msd: msdisf and the peer differ by {worst:.1e} relative")


def seconds(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def paired(a, b):
    """Median seconds of a and b and the per-pair ratios a / b, the order inside a pair alternating."""
    a(), b()
    times_a, times_b = [], []
    for i in range(PAIRS):
        if i % 2 == 0:
            times_a.append(seconds(a))
            times_b.append(seconds(b))
        else:
            times_b.append(seconds(b))
            times_a.append(seconds(a))
    ratios = [ta / tb for ta, tb in zip(times_a, times_b)]
    return statistics.median(times_a), statistics.median(times_b), ratios


def row(case, threads, result):
    ta, tb, ratios = result
    spread = ", ".join(f"{r:.2f}" for r in ratios)
    print(f"| {case} | {threads} | {ta:.4f} | {tb:.4f} | {statistics.median(ratios):.2f} ({spread}) |", flush=True)


def main():
    print(f"load average before: {os.getloadavg()[0]:.2f}; {PAIRS} pairs per row\n")
    print("| case | msdisf threads | msdisf msd (s) | peer msd (s) | msdisf / peer: median (each pair) |")
    print("|---|---|---|---|---|")
    for case, particles, frames in [("10^5 frames", 1, 100000), ("10^6 frames", 1, 1000000),
                                    ("1000 particles x 1000 frames", 1000, 1000)]:
        x, y = brownian(particles, frames)
        check_agreement(x, y)
        row(case, "all", paired(lambda: ours(x, y), lambda: peer(x, y)))
        row(case, "1", paired(lambda: ours(x, y, threads=1), lambda: peer(x, y)))
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
