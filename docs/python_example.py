# A tracker-like DataFrame in, an MSD and ISF plot out (the README's Python
# example; CTest runs it). Usage: python3 docs/python_example.py [OUT.png]
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import msdisf

# 200 Brownian particles (D = 0.1 um^2/s), 500 frames at 20 fps, positions in
# micrometres, rows sorted by frame with particles interleaved, as trackers
# write them; 2 % of the detections are missing.
rng = np.random.default_rng(0)
frames, particles, dt, D = 500, 200, 0.05, 0.1
steps = rng.normal(0, np.sqrt(2 * D * dt), size=(frames, particles, 2))
xy = 10 * rng.random((1, particles, 2)) + steps.cumsum(axis=0)
tracks = pd.DataFrame({
    "frame": np.repeat(np.arange(frames), particles),
    "particle": np.tile(np.arange(particles), frames),
    "x": xy[:, :, 0].ravel(),
    "y": xy[:, :, 1].ravel(),
})
tracks = tracks[rng.random(len(tracks)) > 0.02]

# 60 log-spaced lags; wave numbers q = 2*pi/lambda for lambda = 0.5, 1 and 2 um.
df = msdisf.analyse_frame(tracks, dt=dt, lags="log:60", q=2 * np.pi / np.array([0.5, 1.0, 2.0]))
print(df[["time", "pairs", "msd", "alpha2"]].head())

fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.5))
left.loglog(df["time"], df["msd"], "o", ms=3, label="msd")
left.loglog(df["time"], 4 * D * df["time"], "k--", label="4 D t")
left.set(xlabel="time (s)", ylabel="MSD (um^2)")
left.legend()
for q, column in msdisf.isf(df, "fs").items():
    right.semilogx(df["time"], column, label=f"q = {q:.2f} / um")
right.set(xlabel="time (s)", ylabel="F_s(q, t)")
right.legend()
fig.tight_layout()
fig.savefig(sys.argv[1] if len(sys.argv) > 1 else "msdisf_python_example.png", dpi=100)
