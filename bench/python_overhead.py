"""What the Python layer adds to the engine's own time, on one 10^5-frame
Brownian trajectory (1 % missing) with every lag and column, median of runs:
the binding (argument conversion, GIL, copying the results into one array)
and the DataFrame built from them.
    PYTHONPATH=build/python /usr/bin/python3 bench/python_overhead.py [FRAMES] [RUNS]
"""
import statistics
import sys
import time

import numpy as np

import msdisf
from msdisf import _core

frames = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
rng = np.random.default_rng(7)
x, y = rng.normal(0, np.sqrt(2), size=(2, frames)).cumsum(axis=1) + 1000
x[rng.random(frames) < 0.01] = np.nan
frame = np.arange(frames)

# Each call's own engine time, read from the binding's result on the way.
engine_call = _core.analyse
seen = {}


def recording(*args):
    start = time.perf_counter()
    out = engine_call(*args)
    seen["binding"] = time.perf_counter() - start
    seen["engine"] = out["engine_seconds"]
    return out


msdisf._core.analyse = recording
engine, binding, whole = [], [], []
for _ in range(runs):
    start = time.perf_counter()
    df = msdisf.analyse(x, y, frame)
    whole.append(time.perf_counter() - start)
    engine.append(seen["engine"])
    binding.append(seen["binding"])
overhead = statistics.median((b - e) / e for b, e in zip(binding, engine))
frame_share = statistics.median((w - b) / e for w, b, e in zip(whole, binding, engine))
total = statistics.median((w - e) / e for w, e in zip(whole, engine))
print("| frames | engine (s) | binding | DataFrame | whole Python layer |")
print("|---|---|---|---|---|")
print(f"| {frames} | {statistics.median(engine):.3f} | {overhead:+.2%} | {frame_share:+.2%} | {total:+.2%} |")
