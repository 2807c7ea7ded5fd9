"""msdisf beside a textbook numpy FFT MSD (the MSD column only: squared
positions by cumulative sums, the cross term by one zero-padded rfft
autocorrelation per axis), on the same Brownian data in one run; medians of
RUNS runs after one untimed run each; and the precision of both at a 10^6
offset against sums of squared displacements formed directly.
    PYTHONPATH=build/python /usr/bin/python3 bench/numpy_peer.py [RUNS]

The peer's time depends on the allocator more than on the peer: its
temporaries of tens of megabytes are either fresh pages, several times slower
on this kind of virtual machine, or memory the process freed before, and
which one it gets depends on what ran earlier. The script therefore runs
itself with glibc told to keep freed memory for reuse (GLIBC_TUNABLES), so
that both sides always reuse memory: the peer at its fastest.
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
from whole_run_peer import msd as peer_msd  # the textbook FFT MSD, shared with the whole-run peer

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 3


def brownian(particles, frames, offset=0.0, seed=7):
    rng = np.random.default_rng(seed)
    xy = rng.normal(0.0, np.sqrt(2.0), size=(2, particles, frames)).cumsum(axis=2) + offset
    return xy[0], xy[1]


def median_seconds(work):
    work()  # untimed: first-touch costs and plans are not what is compared
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def ours(x, y, **options):
    particles, frames = x.shape
    ids = np.repeat(np.arange(particles), frames) if particles > 1 else None
    return msdisf.analyse(x.ravel(), y.ravel(), np.tile(np.arange(frames), particles), ids, **options)


def peer(x, y):
    return [peer_msd(x[p], y[p]) for p in range(x.shape[0])]


print("| case | peer: numpy FFT, MSD only (s) | msdisf, all columns (s) | msdisf, MSD only (s) | "
      "all columns / peer | MSD only / peer |")
print("|---|---|---|---|---|---|")
for name, particles, frames in [("10^5 frames", 1, 100000), ("10^6 frames", 1, 1000000),
                                ("1000 particles x 1000 frames", 1000, 1000),
                                ("20000 particles x 100 frames", 20000, 100)]:
    x, y = brownian(particles, frames)
    t_peer = median_seconds(lambda: peer(x, y))
    t_all = median_seconds(lambda: ours(x, y))
    t_msd = median_seconds(lambda: ours(x, y, quantities=["msd"]))
    print(f"| {name} | {t_peer:.3f} | {t_all:.3f} | {t_msd:.3f} | {t_all / t_peer:.2f} | {t_msd / t_peer:.2f} |")

print()
print("Precision at a 10^6 offset, 10^5 frames: largest |error| / msd over lags 1, 10, 100, 1000, "
      "against sums formed directly")
x, y = brownian(1, 100000, offset=1e6, seed=3)
lags = [1, 10, 100, 1000]
direct = np.array([np.mean((x[0, k:] - x[0, :-k]) ** 2 + (y[0, k:] - y[0, :-k]) ** 2) for k in lags])
theirs = peer_msd(x[0], y[0])[lags]
mine = ours(x, y, quantities=["msd"])["msd"].loc[lags].to_numpy()
print("| | largest relative error |")
print("|---|---|")
print(f"| peer: numpy FFT | {np.max(np.abs(theirs - direct) / direct):.1e} |")
print(f"| msdisf | {np.max(np.abs(mine - direct) / direct):.1e} |")
