"""Motion statistics of particle trajectories in one, two or three
dimensions: for every time lag, the mean squared displacement, higher
displacement moments, a non-Gaussian parameter, a skewness and the
intermediate scattering function along each axis and along their sum.

    >>> import msdisf
    >>> df = msdisf.analyse_frame(tracks, fps=20, mpp=0.16, lags="log:100", q=[0.5, 1.0])
    >>> df.plot(x="time", y="msd", loglog=True)

Results are pandas DataFrames indexed by lag (in frames), with the columns
pairs, msd, mqd, ngp, skewness, md, mcd, then the scattering columns
isf_x[q], isf_y[q], isf_r[q] (cosine parts) and isf_x_im[q], isf_y_im[q],
isf_r_im[q] (sine parts), one per wave number q, written with six
significant digits. With z (three dimensions) isf_z[q] and isf_z_im[q]
follow isf_y and isf_y_im, and r is along x + y + z; without y (one
dimension) only isf_x[q] and isf_x_im[q] are there. df.attrs["q"] holds
the wave numbers, df.attrs["dimensions"] the dimensions; isf(df, "x")
gives one direction's cosine parts with the wave numbers as column labels.

Units. A frame column (frame=, or one named frame) holds frame numbers;
dt (time per frame) or fps only add a time column, lag times dt, before the
others. A time column (time=, or one named t or time when there is no frame
column) holds times, made frames with dt or 1/fps, or with the most common
step between consecutive distinct times when neither is given (standard
error says so); the result then has the time column too. mpp (length per
pixel) multiplies the positions before the analysis, so msd is in mpp's
unit squared and q, scales stay in that unit. df.attrs holds dt and mpp
when known.

analyse_frame finds the particle column by name (particle, track,
track_id, id, trajectory, ...) and says on standard error which it used when
it is not named particle; with none of them it raises, and particle=None
treats all rows as one particle. Errors about the input name the
DataFrame's own row labels, columns and particle ids.

Shards. lag_sums() gives the sums behind a table instead of the table; the
sums of shards of whole particles merge (LagSums.merge, merge()) into the
sums of all of them, and LagSums.table() is then analyse()'s table of all
the data. LagSums.save() and load_sums() write and read sums files, the
same files as the command line's.
"""

from __future__ import annotations

import os
import re
import sys
from time import monotonic

import numpy as np
import pandas as pd

# OpenMP threads that wait for work spin only briefly before they sleep,
# unless the user chose a policy; the runtime reads this once, as it loads.
if "OMP_WAIT_POLICY" not in os.environ and "GOMP_SPINCOUNT" not in os.environ:
    os.environ["GOMP_SPINCOUNT"] = "1000"

from . import _core  # noqa: E402  (after the wait policy above)

__all__ = ["analyse", "analyse_frame", "lag_sums", "LagSums", "merge", "load_sums", "read_table", "isf", "fit",
           "default_wave_numbers"]
__version__ = "0.1.0"



def default_wave_numbers():
    """The wave numbers q = 1/s of the 15 default length scales s."""
    return list(_core.default_wave_numbers())


def _label(group, q):
    return f"{group}[{q:.6g}]"


def _lags_text(lags):
    """The engine's text for a lag request: "all", "max:L", "log:K[:L]" as
    given, an int L as "max:L", a list of ints as "1,2,5"."""
    if isinstance(lags, str):
        return lags
    if isinstance(lags, (int, np.integer)):
        return f"max:{int(lags)}"
    values = np.asarray(lags)
    if values.ndim != 1 or not np.issubdtype(values.dtype, np.integer):
        raise ValueError("a list of lags must hold whole numbers")
    return ",".join(str(int(v)) for v in values)


def _quantities_text(quantities):
    """The engine's text for the quantities: "" for all of them, else the
    names joined by commas."""
    if quantities is None:
        return ""
    if isinstance(quantities, str):
        return quantities
    return ",".join(str(q) for q in quantities)


# The keywords the engine reads as text, each with its conversion; the engine
# parses and checks them (one place for the command line and Python).
_ENGINE_TEXT = {"lags": _lags_text, "estimator": str, "method": str, "quantities": _quantities_text}


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


class _Find:
    """The default of analyse_frame's column arguments: find the column by its name."""

    def __repr__(self):
        return "<found by name>"


_FIND = _Find()

# The names a column is found by when none is chosen, case-insensitive, the
# first that is present winning; the same as the command line's.
_COLUMN_NAMES = {
    "x": ("x", "x_um", "x (um)", "pos_x", "position_x"),
    "y": ("y", "y_um", "y (um)", "pos_y", "position_y"),
    "z": ("z", "z_um", "z (um)", "pos_z", "position_z"),
    "frame": ("frame", "frames", "frame_number"),
    "time": ("t", "time"),
    "particle": ("particle", "track", "track_id", "trackid", "id", "trajectory", "traj", "trajnum", "particle_id"),
}
# Text that marks a missing value (compared trimmed and in lower case).
_MISSING_TEXT = {"", "na", "n/a", "nan", "null", "none"}


def _note(text):
    print(f"msdisf: {text}", file=sys.stderr)


def _shown(value):
    """A user's value as it reads in a message: numbers plain, text quoted."""
    value = value.item() if isinstance(value, np.generic) else value
    return repr(value) if isinstance(value, str) else str(value)


class _Rows:
    """How messages name row i of the input: its DataFrame index label, or
    its position when there is no DataFrame."""

    def __init__(self, labels=None):
        self.labels = labels

    def __call__(self, i):
        return _shown(self.labels[i]) if self.labels is not None else str(i)


def _one_dimensional(values, what):
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional")
    return array


def _numbers(values, what, rows):
    """The values as a numeric array, NaN where one is missing (NaN, None,
    NA, or text such as '' or 'NA'). Other text raises ValueError naming the
    row. Numeric arrays come back as they are."""
    array = _one_dimensional(values, what)
    if array.dtype.kind in "iuf":
        return array
    if array.dtype.kind == "b":
        return array.astype(np.int64)
    series = pd.Series(array, dtype=object, copy=False)
    numbers = pd.to_numeric(series, errors="coerce")
    missing = series.isna().to_numpy() | np.fromiter(
        (isinstance(v, str) and v.strip().lower() in _MISSING_TEXT for v in array), dtype=bool, count=len(array))
    bad = numbers.isna().to_numpy() & ~missing
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{what}, row {rows(i)}: {_shown(array[i])} is not a number")
    return numbers.to_numpy()


def _positions(values, what, rows, mpp):
    positions = np.asarray(_numbers(values, what, rows), dtype=np.float64)
    return positions * mpp if mpp is not None else positions


def _first_missing(values, what, rows):
    missing = np.isnan(values)
    if missing.any():
        raise ValueError(f"{what}, row {rows(int(np.argmax(missing)))}: the value is missing")


def _memory_limit(value):
    """memory_limit as the engine takes it: 0 for its default, else bytes."""
    if value is None:
        return 0
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)) or not value > 0 \
            or not np.isfinite(value):
        raise ValueError(f"memory_limit must be a positive number of bytes, not {value!r}")
    return int(value)


def _frames(values, what, rows):
    """Whole frame numbers as int64."""
    numbers = _numbers(values, what, rows)
    if numbers.dtype.kind == "u" and len(numbers) and numbers.max() > np.iinfo(np.int64).max:
        i = int(np.argmax(numbers > np.iinfo(np.int64).max))
        raise ValueError(f"{what}, row {rows(i)}: {_shown(numbers[i])} is too large a frame")
    if numbers.dtype.kind in "iu":
        return numbers.astype(np.int64, copy=False)
    _first_missing(numbers, what, rows)
    bad = ~np.isfinite(numbers) | (numbers != np.round(numbers))
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{what}, row {rows(i)}: {_shown(numbers[i])} is not a whole number of frames")
    too_large = np.abs(numbers) >= 2.0**63
    if too_large.any():
        i = int(np.argmax(too_large))
        raise ValueError(f"{what}, row {rows(i)}: {_shown(numbers[i])} is too large a frame")
    return numbers.astype(np.int64)


def _frames_of_times(values, what, rows, dt):
    """(frames, dt) of a column of times: each time t is frame round(t/dt),
    and must lie within 1 % of dt of it. Without dt, dt is the most common
    step between consecutive distinct times (a note says so)."""
    times = np.asarray(_numbers(values, what, rows), dtype=np.float64)
    _first_missing(times, what, rows)
    try:
        frames, step, inferred = _core.frames_from_times(times, 0.0 if dt is None else dt)
    except ValueError as error:
        if not hasattr(error, "record"):
            raise
        raise _in_user_terms(error, what, rows) from None
    if inferred:
        _note(f"dt = {step:.6g}, inferred from the most common step of {what}")
    return frames, step


def _particles(values, what, rows):
    """(codes, ids): int64 ids for the engine, and the user's id of each code
    when the codes are not the ids themselves (None: they are)."""
    if values is None:
        return None, None
    array = _one_dimensional(values, what)
    fits = array.dtype.kind == "i" or (array.dtype.kind == "u" and (not len(array) or
                                                                     array.max() <= np.iinfo(np.int64).max))
    if fits:
        return array.astype(np.int64, copy=False), None
    codes, ids = pd.factorize(array, sort=True)
    if (codes < 0).any():
        raise ValueError(f"{what}, row {rows(int(np.argmax(codes < 0)))}: the particle id is missing")
    return codes.astype(np.int64), np.asarray(ids)


def _in_user_terms(error, what, rows, particles=(None, None), times=None):
    """The engine's ValueError with its records (input positions) named as
    the user's rows, its particle codes as the user's ids and, for frames
    made of times, the times. what: the column the error is about, when one."""
    record = getattr(error, "record", -1)
    other = getattr(error, "other_record", -1)
    message = str(error)
    if record < 0:
        return ValueError(f"{what}: {message}" if what else message)
    where = f"rows {rows(record)} and {rows(other)}" if other >= 0 else f"row {rows(record)}"
    message, found = re.subn(r"^records? \d+( and \d+)?", where, message)
    if not found:
        message = f"{where}: {message}"
    if what:
        message = f"{what}, {message}"
    codes, ids = particles
    if codes is None:
        message = re.sub(r"\bparticle -?\d+ at frame", "frame", message, count=1)
    elif ids is not None:
        message = re.sub(r"\bparticle -?\d+\b", lambda _: f"particle {_shown(ids[codes[record]])}", message, count=1)
    if times is not None:
        values, name, dt = times
        shown = " and ".join(_shown(values[r]) for r in (record, other) if r >= 0)
        message = re.sub(r"\bframe -?\d+", lambda m: f"{m.group(0)} ({name}: {shown}; dt = {dt:.6g})", message,
                         count=1)
    return ValueError(message)


def _time_step(dt, fps):
    """The time per frame given as dt or fps, or None."""
    if dt is not None and fps is not None:
        raise ValueError("give dt or fps, not both")
    if dt is not None:
        if not (np.isfinite(dt) and dt > 0):
            raise ValueError(f"dt must be a positive number, not {dt!r}")
        return float(dt)
    if fps is not None:
        if not (np.isfinite(fps) and fps > 0):
            raise ValueError(f"fps must be a positive number, not {fps!r}")
        return 1.0 / float(fps)
    return None


class _ProgressBar:
    def __init__(self, stream=sys.stderr):
        self.stream = stream
        self.start = monotonic()

    def __call__(self, fraction):
        width = 30
        done = int(fraction * width)
        elapsed = monotonic() - self.start
        self.stream.write(f"\rmsdisf [{'#' * done}{'.' * (width - done)}] {fraction:6.1%} {elapsed:6.1f} s")
        self.stream.flush()

    def close(self):
        self.stream.write("\r" + " " * 60 + "\r")
        self.stream.flush()


# analyse()'s keywords about the analysis itself, with their defaults.
_OPTIONS = dict(lags="all", q=None, scales=None, estimator="all-pairs", method="fast", quantities=None, errors=False,
                threads=None, progress=False, per_particle=False, memory_limit=None, box=None, drift=None,
                return_drift=False)


def analyse(x, y=None, frame=None, particle=None, *, z=None, time=None, dt=None, fps=None, mpp=None, lags="all",
            q=None, scales=None, estimator="all-pairs", method="fast", quantities=None, errors=False, threads=None,
            progress=False, per_particle=False, memory_limit=None, box=None, drift=None, return_drift=False):
    """Per-lag motion statistics of the positions (x, y) of records at
    integer frames, or at times; (x, y, z) in three dimensions, x alone in
    one.

    x, y: positions (NaN, None or text such as '' or 'NA' marks a missing
    position); y=None analyses x alone. z: positions along z for three
    dimensions (with y). frame: whole frame numbers; or time: times, made frames as
    round(time / dt), each within 1 % of dt of its frame. Give one of the
    two. dt (time per frame) or fps (frames per time): for frames, only the
    time column (lag times dt) that then follows the index; for times, also
    the step of the grid, which, when neither is given, is the most common
    step between consecutive distinct times (a note on standard error says
    so). mpp (length per pixel): positions are multiplied by it first, so
    the results, q and scales are in that unit. particle: optional ids (any
    hashable values; rows may come in any order); without them all records
    belong to one particle.
    lags: "all" (1 to the longest span), an int L or "max:L" (1 to L),
    "log:K" or "log:K:L" (K log-spaced lags up to L, default the longest
    span), or a list of lags, all in frames. q: wave numbers (no factor 2*pi:
    pass 2*pi/lambda), or scales: length scales s with q = 1/s; without
    them no fs columns, and the job table's isf columns take the 15
    standard scales.
    estimator: "all-pairs", "window" or "per-trajectory". method: "fast"
    (every column from FFT correlations, each mean within 1e-10 of the exact
    one in units of msd^(k/2)), "ordered" (moments summed pair by pair, bit
    for bit "exact") or "exact" (the plain pairwise arithmetic). quantities:
    the columns to compute, a list from "msd", "msd_axes", "mean_axes",
    "msd_centered", "alpha2", "fs", and the job table's "mqd", "ngp",
    "skewness", "md", "mcd" and "isf" ("job-table" for those seven); default
    msd, msd_axes, mean_axes, msd_centered and alpha2, with fs when q or
    scales are given; fewer cost less. errors: True adds the standard errors
    msd_se, msd_x_se, msd_y_se, ngp_se, alpha2_se, isf_x_se[q], isf_y_se[q],
    isf_r_se[q] and fs_se[q], each when its column is asked for, and
    se_groups, the
    groups behind them (particles when at
    least 20 have pairs at a lag, otherwise windows of origins; see the
    README); they cost a pass over the data per lag and wave number. threads: None for
    every processor. progress: True for a progress bar on standard error, or
    a callable taking the fraction done. per_particle: True for one row per
    particle and lag at which it has pairs, indexed by (particle, lag) with
    the user's own ids, from one pass (moments summed pair by pair; not with
    errors). Standard errors and per-particle rows are computed in two
    dimensions only.
    box: (Lx, Ly[, Lz]), a periodic box in the unit after mpp: positions
    are unwrapped along each particle, each step between consecutive
    positions replaced by its minimum image (a note counts steps longer
    than a quarter box; positions spread over more than a box raise).
    drift="subtract": the ensemble drift (per frame step, the mean step of
    the particles with a position in both frames, summed from 0 at the
    first frame) is subtracted from every position, after unwrapping.
    return_drift=True then returns (table, drift), drift a DataFrame
    indexed by frame with columns dx, dy[, dz].

    df.attrs holds q (the wave numbers), the dimensions, and dt and mpp
    when known.

    Raises ValueError for unusable input, naming the row (counted from 0)
    and the user's own particle id: lengths that differ, a value that is not
    a number, frames that are not whole numbers, times off the grid, a
    repeated (particle, frame), no records. MemoryError when the result would
    not fit (memory_limit: the bytes the result and working arrays may take;
    None for half the physical memory), KeyboardInterrupt on Ctrl-C.
    """
    if (frame is None) == (time is None):
        raise ValueError("give frame (frame numbers) or time (times), one of them")
    return _analysis(x, y, z, frame, time, particle, dt, fps, mpp, _Rows(), _NAMES,
                     dict(lags=lags, q=q, scales=scales, estimator=estimator, method=method, quantities=quantities,
                          errors=errors, threads=threads, progress=progress, per_particle=per_particle,
                          memory_limit=memory_limit, box=box, drift=drift, return_drift=return_drift))


# How messages name analyse()'s and lag_sums()' inputs.
_NAMES = {"x": "x", "y": "y", "z": "z", "frame": "frame", "time": "time", "particle": "particle"}


def _analysis(x, y, z, frame, time, particle, dt, fps, mpp, rows, names, options):
    """analyse() with messages naming the inputs as `names` says and their
    rows as `rows` does."""
    records = _Records(x, y, z, frame, time, particle, dt, fps, mpp, rows, names)
    drift = records.corrected(options)
    out = records.computed(options, lambda text, waves, threads, callback: _core.analyse(
        records.x, records.y, records.frames, records.codes, text["lags"], waves, text["estimator"], text["method"],
        text["quantities"], bool(options["errors"]), threads, callback, bool(options.get("per_particle", False)),
        records.z, _memory_limit(options.get("memory_limit"))))
    df = _table(out, records.step, records.mpp)
    if "particle" in out:
        codes = np.asarray(out["particle"])
        ids = codes if records.ids is None else np.asarray(records.ids, dtype=object)[codes]
        df.index = pd.MultiIndex.from_arrays([ids, df.index.to_numpy()], names=["particle", "lag"])
    return (df, drift) if options["return_drift"] else df


class _Records:
    """The records as the engine takes them (x, y or None, z or None, frames,
    particle codes), the time per frame (step, or None), and what messages
    about them need."""

    def __init__(self, x, y, z, frame, time, particle, dt, fps, mpp, rows, names):
        step = _time_step(dt, fps)
        if mpp is not None and not (np.isfinite(mpp) and mpp > 0):
            raise ValueError(f"mpp must be a positive number, not {mpp!r}")
        if z is not None and y is None:
            raise ValueError(f"{names['z']} is given without {names['y']}: three dimensions need x, y and z")
        x = _positions(x, names["x"], rows, mpp)
        y = None if y is None else _positions(y, names["y"], rows, mpp)
        z = None if z is None else _positions(z, names["z"], rows, mpp)
        if time is not None:
            frames, step = _frames_of_times(time, names["time"], rows, step)
        else:
            frames = _frames(frame, names["frame"], rows)
        particles = _particles(particle, names["particle"], rows)
        codes = particles[0]
        given = [("x", x), ("y", y), ("z", z), ("frame" if time is None else "time", frames), ("particle", codes)]
        given = [(name, values) for name, values in given if values is not None]
        if len({len(values) for _, values in given}) != 1:
            names_given = ", ".join(name for name, _ in given[:-1]) + " and " + given[-1][0]
            counts = ", ".join(str(len(values)) for _, values in given[:-1]) + f" and {len(given[-1][1])}"
            raise ValueError(f"{names_given} must have the same length; got {counts}")
        if len(x) == 0:
            raise ValueError("there are no records to analyse")
        self.x, self.y, self.z, self.frames, self.codes, self.ids = x, y, z, frames, codes, particles[1]
        self.step = step
        self.mpp = None if mpp is None else float(mpp)
        self._rows = rows
        self._times = (np.asarray(time), names["time"], step) if time is not None else None

    def id_texts(self):
        """The user's particle ids as text, one per code, for the particle
        keys of sums: whole numbers as their digits (5 and 5.0 as "5"), others
        as str(id); empty when the codes are the ids."""
        if self.ids is None:
            return []
        texts = []
        for value in self.ids:
            value = value.item() if isinstance(value, np.generic) else value
            whole = isinstance(value, (int, float)) and not isinstance(value, bool) and float(value).is_integer()
            texts.append(str(int(value)) if whole else str(value))
        return texts

    def corrected(self, options):
        """Unwraps the positions in options["box"] and subtracts the ensemble
        drift when options["drift"] is "subtract", in that order, saying the
        engine's notes; returns the drift as a DataFrame (index frame,
        columns dx, dy[, dz]) when it was subtracted, else None."""
        box, drift = options.get("box"), options.get("drift")
        if drift not in (None, "subtract"):
            raise ValueError(f"drift must be None or 'subtract', not {drift!r}")
        if options.get("return_drift") and drift is None:
            raise ValueError("return_drift=True needs drift='subtract'")
        try:
            if box is not None:
                lengths = [float(v) for v in np.atleast_1d(np.asarray(box, dtype=float))]
                out = _core.unwrap(self.x, self.y, self.frames, self.codes, self.z, lengths)
                self._take(out)
            if drift is None:
                return None
            out = _core.subtract_drift(self.x, self.y, self.frames, self.codes, self.z)
            self._take(out)
        except ValueError as error:
            if not hasattr(error, "record"):
                raise
            raise _in_user_terms(error, None, self._rows, (self.codes, self.ids), self._times) from None
        table = pd.DataFrame({name: values for name, values in zip(("dx", "dy", "dz"), out["drift"])},
                             index=pd.Index(out["frame"], name="frame"))
        return table

    def _take(self, out):
        """Takes the engine's corrected positions as these records' own and
        says its notes."""
        for note in out["notes"]:
            _note(note)
        self.x, self.y, self.z = list(out["positions"]) + [None] * (3 - len(out["positions"]))

    def computed(self, options, compute):
        """compute(texts, wave_numbers, threads, progress) with options made
        the engine's, a progress bar when asked for, and the engine's errors
        naming the user's rows, particle ids and times."""
        text = {key: convert(options[key]) for key, convert in _ENGINE_TEXT.items()}
        waves = _wave_numbers(options["q"], options["scales"])
        progress = options["progress"]
        bar = _ProgressBar() if progress is True else None
        callback = bar if bar is not None else (progress if callable(progress) else None)
        threads = 0 if options["threads"] is None else int(options["threads"])
        try:
            return compute(text, waves, threads, callback)
        except ValueError as error:
            if not hasattr(error, "record"):
                raise
            raise _in_user_terms(error, None, self._rows, (self.codes, self.ids), self._times) from None
        finally:
            if bar is not None:
                bar.close()


def _table(out, step, mpp):
    """The DataFrame of the engine's table `out`: indexed by lag, pairs first,
    a time column (lag times step) when step is known; attrs q, dt, mpp."""
    waves = list(out["wave_numbers"])
    df = pd.DataFrame(out["table"], columns=list(out["columns"]), index=pd.Index(out["lag"], name="lag"), copy=False)
    df.insert(0, "pairs", out["pairs"])
    if "se_groups" in out:
        df["se_groups"] = out["se_groups"]
    if step is not None:
        df.insert(0, "time", df.index.to_numpy() * step)
        df.attrs["dt"] = step
    df.attrs["q"] = waves
    df.attrs["dimensions"] = int(out["dimensions"])
    if mpp is not None:
        df.attrs["mpp"] = float(mpp)
    for note in out["notes"]:
        _note(note)
    return df


def _columns(df, x, y, z, frame, particle, time):
    """The labels of df's x, y, z, frame or time, and particle columns (None
    for what is not used), and the notes that say which were found by name
    or that x is analysed alone."""
    found = {}
    notes = []

    def column(role, chosen, say=True):
        if chosen is not _FIND:
            if chosen not in df.columns:
                raise ValueError(f"the DataFrame has no column {chosen!r} for {role}; it has {list(df.columns)}")
            return chosen
        lowered = {}
        for label in df.columns:
            lowered.setdefault(str(label).lower(), label)
        for name in _COLUMN_NAMES[role]:
            if name in lowered:
                label = lowered[name]
                if say and str(label) != role:
                    notes.append(f"{role} = {label!r}")
                return label
        return None

    def required(role, chosen, advice=""):
        label = column(role, chosen)
        if label is None:
            raise ValueError(f"no column looks like {role} ({', '.join(map(repr, _COLUMN_NAMES[role]))}); the "
                             f"DataFrame has {list(df.columns)}; name it with {role}=...{advice}")
        return label

    found["x"] = required("x", x)
    found["z"] = None if z is None else column("z", z)
    if y is None or (y is _FIND and found["z"] is None):
        found["y"] = None if y is None else column("y", y)
        if found["y"] is None:
            if found["z"] is not None:
                raise ValueError("z without y: three dimensions need x, y and z")
            _note("no y column: one dimension, along x alone, is analysed (name y with y=... for two)")
    else:
        found["y"] = required("y", y)
    found["frame"] = found["time"] = None
    if time is not None:
        if frame is not _FIND and frame is not None:
            raise ValueError("give frame= (a column of frame numbers) or time= (a column of times), not both")
        found["time"] = column("time", time)
    elif frame is not _FIND and frame is not None:
        found["frame"] = column("frame", frame)
    else:
        found["frame"] = column("frame", _FIND)
        if found["frame"] is None:
            found["time"] = column("time", _FIND, say=False)
            if found["time"] is None:
                raise ValueError(f"no column looks like frame numbers ({', '.join(map(repr, _COLUMN_NAMES['frame']))})"
                                 f" or times ({', '.join(map(repr, _COLUMN_NAMES['time']))}); the DataFrame has "
                                 f"{list(df.columns)}; name it with frame=... or time=...")
            notes.append(f"time = {found['time']!r} (it holds times; frames are time / dt)")
    found["particle"] = None if particle is None else required("particle", particle,
                                                                " or pass particle=None for one particle")
    return found, notes


def analyse_frame(df, x=_FIND, y=_FIND, frame=_FIND, particle=_FIND, dt=None, fps=None, *, z=_FIND, time=None,
                  mpp=None, **options):
    """analyse() on the columns of a tracker's DataFrame.

    Columns not named are found by name, case-insensitively, as the command
    line finds them: x (x, x_um, pos_x, position_x, ...), y and z likewise, the
    particle ids (particle, track, track_id, trackid, id, trajectory, traj,
    trajnum, particle_id), and frame numbers (frame, frames, frame_number)
    or, when there is no such column, times (t, time). A line on standard
    error names every column found under another name, and a time column
    found by name. particle=None: all rows are one particle; a DataFrame with
    no particle column needs it. A z column (found by name, or z=) makes
    three dimensions, z=None keeps two; a DataFrame with no y column (and
    y not named) is analysed along x alone, as is y=None.

    frame= names a column of frame numbers; dt (time per frame) or fps then
    only add the time column (lag times dt) after the index. time= names a
    column of times, made frames with dt (or 1/fps; without either, the most
    common step between consecutive distinct times, named on standard error).
    Give frame= or time=, not both. mpp (length per pixel) multiplies the
    positions first. Errors name the DataFrame's own row labels and the
    user's own particle ids. The other keywords are analyse()'s.
    """
    columns, notes = _columns(df, x, y, z, frame, particle, time)
    if notes:
        _note(", ".join(notes))
    names = {role: f"column {label!r}" for role, label in columns.items()}

    def values(role):
        return None if columns[role] is None else df[columns[role]]

    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise TypeError(f"analyse_frame() got an unexpected keyword argument {unknown[0]!r}")
    return _analysis(values("x"), values("y"), values("z"), values("frame"), values("time"), values("particle"), dt,
                     fps, mpp, _Rows(df.index), names, {**_OPTIONS, **options})



def lag_sums(x, y=None, frame=None, particle=None, *, z=None, time=None, dt=None, fps=None, mpp=None, lags="all",
             q=None, scales=None, estimator="all-pairs", method="fast", quantities=None, errors=False, threads=None,
             progress=False, memory_limit=None, box=None, drift=None, return_drift=False):
    """The per-lag sums behind analyse()'s table, as a LagSums: sums of
    shards of whole particles merge into the sums of all of them, and
    table() gives analyse()'s table of the merged data.

    Inputs and keywords are analyse()'s. Give lags with a largest lag
    ("max:L", "log:K:L") or as a list, so that every shard's sums have the
    same lags; "all" and "log:K" follow this data's longest span. Particle
    ids are kept as text, whole numbers as their digits (5, 5.0 and "5" are
    one particle, as for the command line's sums files); merging refuses
    sums that share a particle.

    y=None sums x alone, z= three dimensions; sums merge only with sums of
    as many dimensions. errors=True (two dimensions) also sums what the
    standard errors of particle groups need; the table then has errors at
    lags where at least 20 particles have pairs, NaN elsewhere.
    """
    if (frame is None) == (time is None):
        raise ValueError("give frame (frame numbers) or time (times), one of them")
    records = _Records(x, y, z, frame, time, particle, dt, fps, mpp, _Rows(), _NAMES)
    drift_table = records.corrected(dict(box=box, drift=drift, return_drift=return_drift))
    options = dict(lags=lags, q=q, scales=scales, estimator=estimator, method=method, quantities=quantities,
                   threads=threads, progress=progress)
    sums = records.computed(options, lambda text, waves, threads, callback: _core.lag_sums(
        records.x, records.y, records.frames, records.codes, records.id_texts(), text["lags"], waves,
        text["estimator"], text["method"], text["quantities"], threads, records.step or 0.0, records.mpp or 0.0,
        callback, records.z, _memory_limit(memory_limit), bool(errors)))
    return (LagSums(sums), drift_table) if return_drift else LagSums(sums)


class LagSums:
    """Per-lag sums over the pairs of whole particles, with the lags, wave
    numbers, estimator, quantities, dt and mpp they were made with and the
    particles they hold. Made by lag_sums() or load_sums().

    lags (in frames), q (wave numbers), dt and mpp (None when not given),
    dimensions (1, 2 or 3), particles (how many) and sources (the files the
    sums were read from) describe them.
    """

    __slots__ = ("_sums",)

    def __init__(self, sums):
        if not isinstance(sums, _core.LagSums):
            raise TypeError("LagSums are made by msdisf.lag_sums() or msdisf.load_sums()")
        self._sums = sums

    def merge(self, other):
        """Adds other's sums into these and returns self. ValueError when
        they were made differently (lags, wave numbers, estimator, dimensions,
        quantities, dt, mpp) or share a particle, naming it."""
        if not isinstance(other, LagSums):
            raise TypeError(f"can only merge LagSums, not {type(other).__name__}")
        try:
            self._sums.merge(other._sums)
        except ValueError as error:
            raise ValueError(str(error).replace("--lags ", "lags=")) from None
        return self

    def copy(self):
        """An independent copy."""
        return LagSums(self._sums.copy())

    def table(self):
        """The DataFrame analyse() gives for the data the sums came from:
        the same columns, index lag, a time column when dt is known, attrs
        q, dt and mpp."""
        return _table(self._sums.table(), self.dt, self.mpp)

    def save(self, path):
        """Writes the sums to path as a sums file (the command line's format),
        replacing path only with a whole file. OSError naming path when it
        cannot be written."""
        self._sums.save(os.fspath(path))

    @property
    def lags(self):
        """The lags, in frames (an int64 array)."""
        return self._sums.lags

    @property
    def q(self):
        """The wave numbers of the scattering sums (empty without them)."""
        return list(self._sums.wave_numbers)

    @property
    def dt(self):
        """The time per frame, or None."""
        return self._sums.dt or None

    @property
    def mpp(self):
        """The length per pixel the positions were multiplied by, or None."""
        return self._sums.mpp or None

    @property
    def dimensions(self):
        """The dimensions of the positions summed: 1, 2 or 3."""
        return self._sums.dimensions

    @property
    def particles(self):
        """How many particles the sums hold."""
        return self._sums.particles

    @property
    def sources(self):
        """The files the sums were read from (empty for sums made here)."""
        return list(self._sums.sources)

    def __repr__(self):
        lags, waves, particles = self.lags, len(self.q), self.particles
        span = f" ({lags[0]} to {lags[-1]})" if len(lags) else ""
        units = "".join(f", {name} {value:.6g}" for name, value in (("dt", self.dt), ("mpp", self.mpp))
                        if value is not None)
        return (f"<msdisf.LagSums: {self.dimensions}D, {particles} particle{'s' * (particles != 1)}, {len(lags)} lag"
                f"{'s' * (len(lags) != 1)}{span}, {waves} wave number{'s' * (waves != 1)}{units}>")


def merge(sums):
    """The merge of an iterable of LagSums into a new LagSums (the first is
    not changed). ValueError when it is empty or the sums cannot merge."""
    sums = iter(sums)
    first = next(sums, None)
    if first is None:
        raise ValueError("merge needs at least one LagSums; got none")
    if not isinstance(first, LagSums):
        raise TypeError(f"can only merge LagSums, not {type(first).__name__}")
    merged = first.copy()
    for other in sums:
        merged.merge(other)
    return merged


def load_sums(path):
    """Reads a sums file written by LagSums.save() or the command line.
    OSError when it cannot be read; ValueError "path: line N: ..." when it
    is not a whole sums file."""
    path = os.fspath(path)
    return LagSums(_core.load_sums(path))


_JOB_TABLE_GROUPS = {"isfx": "isf_x", "isfy": "isf_y", "isfr": "isf_r",
                     "isfx_im": "isf_x_im", "isfy_im": "isf_y_im", "isfr_im": "isf_r_im"}


def read_table(path):
    """Reads a table written by msdisf or msd_isf into the shape analyse()
    returns. Job-table labels isfx[s] (by length scale s) become isf_x[q]
    with q = 1/s, and counter becomes pairs. attrs["dimensions"] comes from
    the metadata line, when it names them."""
    comments, first = [], ""
    with open(path) as stream:
        for line in stream:
            if not line.startswith("#"):
                first = line
                break
            comments.append(line)
    found = re.search(r"; dimensions: ([123])\b", "".join(comments))
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
    if found:
        table.attrs["dimensions"] = int(found.group(1))
    return table


def fit(df, lags):
    """Fits msd = 2 d D t^alpha + offset, D, alpha and the offset together,
    over the lags (A, B) or "A:B" of a result made with errors=True,
    weighting each lag by 1/msd_se^2; d is df.attrs["dimensions"] (2 when
    not known). t is the time column when there is one, else the lag; D is
    in length^2 per unit of t to the alpha. The offset takes up
    localisation noise (2 d sigma^2 for a noise sigma per axis). Returns a
    dict with D, D_se, offset, offset_se, alpha, alpha_se (one standard
    error each; nearby lags count as correlated as for a diffusing
    particle), lags, points and dimensions. ValueError when fewer than three
    lags have an msd and an error, or when the best alpha lies at the edge
    of 0.01 to 3."""
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
    return dict(_core.fit(lag, t, df["msd"].to_numpy(dtype=float), df["msd_se"].to_numpy(dtype=float), first, last,
                          int(df.attrs.get("dimensions", 2))))


def isf(df, direction="x", part="cos"):
    """One direction's scattering columns ("x", "y", "z" or "r"; part "cos"
    or "sin"), or the isotropic fs columns (direction "fs"), with the wave
    numbers as column labels."""
    group = "fs" if direction == "fs" else f"isf_{direction}" + ("_im" if part == "sin" else "")
    columns = [_label(group, q) for q in df.attrs["q"]]
    out = df[columns].copy()
    out.columns = pd.Index(df.attrs["q"], name="q")
    return out
