"""Motion statistics of particle trajectories: for every time lag, the mean
squared displacement, higher displacement moments, a non-Gaussian parameter,
a skewness and the intermediate scattering function along x, y and x + y.

    >>> import msdisf
    >>> df = msdisf.analyse_frame(tracks, lags="log:100", q=[0.5, 1.0])
    >>> df["msd"].plot(loglog=True)

Results are pandas DataFrames indexed by lag (in frames), with the columns
pairs, msd, mqd, ngp, skewness, md, mcd, then the scattering columns
isf_x[q], isf_y[q], isf_r[q] (cosine parts) and isf_x_im[q], isf_y_im[q],
isf_r_im[q] (sine parts), one per wave number q, written with six
significant digits. df.attrs["q"] holds the wave numbers; isf(df, "x")
gives one direction's cosine parts with the wave numbers as column labels.
"""

from __future__ import annotations

import sys
import time

import numpy as np
import pandas as pd

from . import _core

__all__ = ["analyse", "analyse_frame", "read_table", "isf", "fit", "default_wave_numbers"]
__version__ = "0.1.0"

_MOMENTS = ["msd", "mqd", "ngp", "skewness", "md", "mcd"]
_GROUPS = ["isf_x", "isf_y", "isf_r", "isf_x_im", "isf_y_im", "isf_r_im"]


def default_wave_numbers():
    """The wave numbers q = 1/s of the 15 default length scales s."""
    return list(_core.default_wave_numbers())


def _label(group, q):
    return f"{group}[{q:.6g}]"


def _lag_request(lags):
    """(kind, max_lag, count, list) for the engine from the lags argument."""
    if isinstance(lags, str):
        parts = lags.split(":")
        try:
            if parts == ["all"]:
                return "all", 0, 0, []
            if parts[0] == "max" and len(parts) == 2:
                return "max", int(parts[1]), 0, []
            if parts[0] == "log" and len(parts) in (2, 3):
                return "log", int(parts[2]) if len(parts) == 3 else 0, int(parts[1]), []
        except ValueError:
            pass
        raise ValueError(f"lags must be 'all', 'max:L', 'log:K', 'log:K:L', an int or a list of ints, not {lags!r}")
    if isinstance(lags, (int, np.integer)):
        return "max", int(lags), 0, []
    values = np.asarray(lags)
    if values.ndim != 1 or not np.issubdtype(values.dtype, np.integer):
        raise ValueError("a list of lags must hold whole numbers")
    return "list", 0, 0, [int(v) for v in values]


def _wave_numbers(q, scales):
    if q is not None and scales is not None:
        raise ValueError("give wave numbers q or length scales, not both")
    if scales is not None:
        values = np.atleast_1d(np.asarray(scales, dtype=float))
        if np.any(values == 0):
            raise ValueError("length scales must not be 0")
        return list(1.0 / values)
    if q is not None:
        return [float(v) for v in np.atleast_1d(np.asarray(q, dtype=float))]
    return []


def _frames(frame):
    frame = np.asarray(frame)
    if frame.ndim != 1:
        raise ValueError("frame must be one-dimensional")
    if np.issubdtype(frame.dtype, np.integer):
        return frame.astype(np.int64, copy=False)
    if not np.issubdtype(frame.dtype, np.floating):
        raise ValueError(f"frame must hold whole numbers, not {frame.dtype}")
    bad = ~np.isfinite(frame) | (frame != np.round(frame))
    if bad.any():
        first = int(np.argmax(bad))
        raise ValueError(f"frame must hold whole numbers; record {first} holds {frame[first]!r}")
    return frame.astype(np.int64)


def _particles(particle):
    if particle is None:
        return None
    particle = np.asarray(particle)
    if particle.ndim != 1:
        raise ValueError("particle must be one-dimensional")
    if np.issubdtype(particle.dtype, np.integer):
        return particle.astype(np.int64, copy=False)
    codes, _ = pd.factorize(particle, sort=True)
    if (codes < 0).any():
        raise ValueError(f"particle ids must not be missing; record {int(np.argmax(codes < 0))} has none")
    return codes.astype(np.int64)


def _quantities(quantities):
    if quantities is None:
        return _MOMENTS + ["isf"]
    if isinstance(quantities, str):
        quantities = [quantities]
    return [str(q) for q in quantities]


class _ProgressBar:
    def __init__(self, stream=sys.stderr):
        self.stream = stream
        self.start = time.monotonic()

    def __call__(self, fraction):
        width = 30
        done = int(fraction * width)
        elapsed = time.monotonic() - self.start
        self.stream.write(f"\rmsdisf [{'#' * done}{'.' * (width - done)}] {fraction:6.1%} {elapsed:6.1f} s")
        self.stream.flush()

    def close(self):
        self.stream.write("\r" + " " * 60 + "\r")
        self.stream.flush()


def analyse(x, y, frame, particle=None, *, lags="all", q=None, scales=None, estimator="all-pairs",
            method="fast", quantities=None, errors=False, threads=None, progress=False):
    """Per-lag motion statistics of the positions (x, y) at integer frames.

    x, y: positions (NaN marks a missing position); frame: whole numbers;
    particle: optional ids (any hashable values; rows may come in any order).
    lags: "all" (1 to the longest span), an int L or "max:L" (1 to L),
    "log:K" or "log:K:L" (K log-spaced lags up to L, default the longest
    span), or a list of lags. q: wave numbers (no factor 2*pi: pass 2*pi/lambda),
    or scales: length scales s with q = 1/s; default the 15 standard scales.
    estimator: "all-pairs", "window" or "per-trajectory". method: "fast"
    (every column from FFT correlations, each mean within 1e-10 of the exact
    one in units of msd^(k/2)), "ordered" (moments summed pair by pair, bit
    for bit "exact") or "exact" (the plain pairwise arithmetic). quantities:
    the columns to compute, a list from "msd", "mqd", "ngp", "skewness",
    "md", "mcd" and "isf" (default all); fewer cost less. errors: True adds
    standard errors msd_se, ngp_se, isf_x_se[q], isf_y_se[q], isf_r_se[q]
    and se_groups, the independent groups behind them (particles when at
    least 20 have pairs at a lag, otherwise windows of origins; see the
    README); they cost a pass over the data per lag and wave number. threads: None for
    every processor. progress: True for a progress bar on standard error, or
    a callable taking the fraction done.

    Raises ValueError for unusable input (lengths that differ, frames that are
    not whole numbers, a repeated (particle, frame), no records), MemoryError
    when the result would not fit, KeyboardInterrupt on Ctrl-C.
    """
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    frames = _frames(frame)
    particles = _particles(particle)
    lengths = {len(x), len(y), len(frames)} | ({len(particles)} if particles is not None else set())
    if len(lengths) != 1:
        raise ValueError(f"x, y, frame and particle must have the same length; got {len(x)}, {len(y)}, "
                         f"{len(frames)}" + (f" and {len(particles)}" if particles is not None else ""))
    if len(x) == 0:
        raise ValueError("there are no records to analyse")
    wanted = _quantities(quantities)
    if errors and not {"msd", "ngp", "isf"} & set(wanted):
        raise ValueError("errors=True needs msd, ngp or isf among the quantities")
    kind, max_lag, count, lag_list = _lag_request(lags)
    bar = _ProgressBar() if progress is True else None
    callback = bar if bar is not None else (progress if callable(progress) else None)
    try:
        out = _core.analyse(x, y, frames, particles, kind, max_lag, count, lag_list, _wave_numbers(q, scales),
                            estimator, method, wanted, bool(errors),
                            0 if threads is None else int(threads),
                            callback)
    finally:
        if bar is not None:
            bar.close()
    waves = list(out["wave_numbers"])
    columns = list(out["moments"]) + [_label(g, wave) for g in _GROUPS for wave in waves]
    columns += list(out["error_moments"]) + [_label(g, wave) for g in out["error_groups"] for wave in waves]
    df = pd.DataFrame(out["table"], columns=columns, index=pd.Index(out["lag"], name="lag"), copy=False)
    df.insert(0, "pairs", out["pairs"])
    if "se_groups" in out:
        df["se_groups"] = out["se_groups"]
    df.attrs["q"] = waves
    for note in out["notes"]:
        print(f"msdisf: {note}", file=sys.stderr)
    return df


def analyse_frame(df, x="x", y="y", frame="frame", particle="particle", dt=None, fps=None, **options):
    """analyse() on the columns of a tracker's DataFrame. A missing particle
    column means one particle. With dt (time per frame) or fps, a time column
    (lag times dt) follows the index."""
    for name in (x, y, frame):
        if name not in df.columns:
            raise ValueError(f"the DataFrame has no column {name!r}")
    ids = df[particle].to_numpy() if particle is not None and particle in df.columns else None
    result = analyse(df[x].to_numpy(), df[y].to_numpy(), df[frame].to_numpy(), ids, **options)
    if dt is not None and fps is not None:
        raise ValueError("give dt or fps, not both")
    step = dt if dt is not None else (1.0 / fps if fps is not None else None)
    if step is not None:
        result.insert(0, "time", result.index.to_numpy() * float(step))
    return result


_JOB_TABLE_GROUPS = {"isfx": "isf_x", "isfy": "isf_y", "isfr": "isf_r",
                     "isfx_im": "isf_x_im", "isfy_im": "isf_y_im", "isfr_im": "isf_r_im"}


def read_table(path):
    """Reads a table written by msdisf or msd_isf into the shape analyse()
    returns. Job-table labels isfx[s] (by length scale s) become isf_x[q]
    with q = 1/s, and counter becomes pairs."""
    with open(path) as stream:
        first = next((line for line in stream if not line.startswith("#")), "")
    separator = "," if "," in first else "\t"
    table = pd.read_csv(path, sep=separator, comment="#", skipinitialspace=True, float_precision="round_trip")
    table.columns = [str(c).strip() for c in table.columns]
    table = table.loc[:, [c for c in table.columns if c and not c.startswith("Unnamed")]]
    renamed, waves = {}, []
    for column in table.columns:
        if "[" in column and column.endswith("]"):
            group, value = column[:-1].split("[", 1)
            if group in _JOB_TABLE_GROUPS:
                q = 1.0 / float(value)
                renamed[column] = _label(_JOB_TABLE_GROUPS[group], q)
            else:
                q = float(value)
            if q not in waves:
                waves.append(q)
    table = table.rename(columns={"counter": "pairs", **renamed})
    table["lag"] = table["lag"].round().astype(np.int64)
    table["pairs"] = table["pairs"].round().astype(np.int64)
    table = table.set_index("lag")
    table.attrs["q"] = waves
    return table


def fit(df, lags):
    """Fits msd = 4 D t + offset and, apart, msd ~ t^alpha over the lags
    (A, B) or "A:B" of a result made with errors=True, weighting each lag by
    1/msd_se^2. t is the time column when there is one, else the lag.
    Returns a dict with D, D_se, offset, offset_se, alpha, alpha_se (one
    standard error each; nearby lags count as correlated as for a diffusing
    particle), lags and points."""
    if isinstance(lags, str):
        parts = lags.split(":")
        if len(parts) != 2:
            raise ValueError(f"lags must be (A, B) or 'A:B', not {lags!r}")
        lags = parts
    first, last = (int(v) for v in lags)
    if "msd_se" not in df.columns:
        raise ValueError("the result has no msd_se column; analyse with errors=True")
    lag = df.index.to_numpy().astype(np.int64)
    t = df["time"].to_numpy(dtype=float) if "time" in df.columns else lag.astype(float)
    return dict(_core.fit(lag, t, df["msd"].to_numpy(dtype=float), df["msd_se"].to_numpy(dtype=float), first, last))


def isf(df, direction="x", part="cos"):
    """One direction's scattering columns ("x", "y" or "r"; part "cos" or
    "sin") with the wave numbers as column labels."""
    group = f"isf_{direction}" + ("_im" if part == "sin" else "")
    columns = [_label(group, q) for q in df.attrs["q"]]
    out = df[columns].copy()
    out.columns = pd.Index(df.attrs["q"], name="q")
    return out
