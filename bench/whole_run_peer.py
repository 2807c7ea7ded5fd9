"""The numpy peer's whole run on one gap-free trajectory: reads a frame,x,y
CSV with pandas, computes the MSD at every lag by the textbook numpy FFT
(squared positions by cumulative sums, the cross term by one zero-padded
rfft autocorrelation per axis) and writes lag,msd as CSV.
    /usr/bin/python3 bench/whole_run_peer.py INPUT OUTPUT
"""
import sys

import numpy as np
import pandas as pd


def autocorrelation(v):
    n = len(v)
    f = np.fft.rfft(v, n=2 * n)
    return np.fft.irfft(f * f.conjugate())[:n] / (n - np.arange(n))


def msd(x, y):
    """MSD at lags 0..n-1 of one gap-free trajectory."""
    n = len(x)
    d = x * x + y * y
    c = np.concatenate(([0.0], np.cumsum(d)))
    m = np.arange(n)
    s1 = (c[n - m] + (c[n] - c[m])) / (n - m)
    return s1 - 2.0 * (autocorrelation(x) + autocorrelation(y))


def main(source, target):
    records = pd.read_csv(source).sort_values("frame")
    values = msd(records["x"].to_numpy(), records["y"].to_numpy())
    pd.DataFrame({"lag": np.arange(1, len(values)), "msd": values[1:]}).to_csv(target, index=False)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
