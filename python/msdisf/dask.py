"""msdisf on a Dask DataFrame: the table of data larger than one machine's
memory, or spread over a cluster, from lag sums of whole particles.

    >>> import dask.dataframe as dd, msdisf.dask
    >>> ddf = dd.read_csv("tracks/*.csv")
    >>> df = msdisf.dask.analyse(ddf, lags="log:100:999")

The rows are shuffled by particle so that each particle lies in one
partition; each partition gives its lag sums (msdisf.lag_sums), which merge
in a tree into the sums of all the data, and the table of those is
msdisf.analyse_frame's table of the concatenated data. It runs on whatever
scheduler is active: threads by default, a dask.distributed cluster when a
Client is made.
"""

from __future__ import annotations

try:
    import dask
    import dask.dataframe  # noqa: F401 (ddf.to_delayed, ddf.shuffle)
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError("msdisf.dask needs Dask: install the Debian packages python3-dask and python3-distributed "
                      f"({error})") from error

import os
import re

import numpy as np
import pandas as pd

import msdisf

__all__ = ["analyse", "partition_peak_factor"]

# A partition's peak memory while its sums are formed, as a multiple of the
# partition's own bytes (the DataFrame, the float64 and int64 arrays made of
# its columns, and the engine's copy sorted by particle and frame), measured
# with bench/scale_out.py (2.33 for a file of 10^6 records with the default
# columns). The engine's result and working arrays come on top and are
# checked by the engine itself against what the worker has left.
partition_peak_factor = 2.5

# The keywords passed on to msdisf.lag_sums (and analyse for per-particle rows).
_ENGINE_OPTIONS = {"lags", "q", "scales", "estimator", "method", "quantities", "threads", "per_particle", "errors"}


def analyse(ddf, x="x", y="y", frame="frame", particle="particle", z=None, *, dt=None, fps=None, mpp=None,
            whole_particles=False, split_every=8, **options):
    """msdisf.analyse_frame(ddf.compute(), ...) without gathering the rows:
    the same pandas DataFrame, within rounding (1e-12 relative), computed
    partition by partition on the active Dask scheduler.

    x, y, z, frame, particle: the columns (y=None: x alone; z: three
    dimensions; particle=None: all rows are one particle, which is then
    analysed in one piece). dt, fps, mpp: as analyse_frame; frames must be
    whole frame numbers (make times frames first). The other keywords are
    analyse()'s: lags, q, scales, estimator, method, quantities,
    per_particle, threads (engine threads per task; default 1, one per
    worker thread), errors (two dimensions: standard errors of particle
    groups, from sums that add across partitions; NaN at lags where fewer
    than 20 particles have pairs).

    Lags: a list, "max:L" or "log:K:L" are used as they are; "all" and
    "log:K" first find the longest span of any particle (a cheap pass over
    the frame and particle columns), so every partition sums the same lags.

    whole_particles=True: the partitions already hold whole particles (one
    or more files per particle set, say), so the shuffle is left out; a
    particle that is split after all is refused when the sums merge, naming
    it. split_every: how many sums each merge task adds up.

    On a dask.distributed worker with a memory limit, a partition whose
    records would take the worker past it raises MemoryError saying so
    before any work, and the engine keeps its working arrays within what
    the worker has left. Sums are merged into new objects, so a task that
    runs again (a lost worker, retries=) adds nothing twice; merging sums
    that share a particle raises ValueError naming it.
    """
    unknown = sorted(set(options) - _ENGINE_OPTIONS)
    if unknown:
        raise TypeError(f"analyse() got an unexpected keyword argument {unknown[0]!r}")
    roles = {"x": x, "y": y, "z": z, "frame": frame, "particle": particle}
    for role, label in roles.items():
        if label is not None and label not in ddf.columns:
            raise ValueError(f"the DataFrame has no column {label!r} for {role}; it has {list(ddf.columns)}; name it "
                             f"with {role}=...")
    if x is None or frame is None:
        raise ValueError("x and frame name columns; they cannot be None")
    if z is not None and y is None:
        raise ValueError("z without y: three dimensions need x, y and z")
    units = dict(dt=dt, fps=fps, mpp=mpp)
    if particle is None:
        df = ddf[[label for label in roles.values() if label is not None]].compute()
        return msdisf.analyse_frame(df, x=x, y=y, frame=frame, particle=None, z=z, **units, **options)

    options.setdefault("threads", 1)
    options["lags"] = _fixed_lags(ddf, frame, particle, options.get("lags", "all"))
    columns = [label for label in roles.values() if label is not None]
    parts = ddf[columns]
    if not whole_particles:
        parts = parts.shuffle(on=particle)
    pieces = parts.to_delayed()
    per_particle = options.get("per_particle", False)
    if per_particle:
        options["lags"] = _lag_list(options["lags"])
        tables = dask.compute(*[dask.delayed(_partition_rows)(p, roles, units, options) for p in pieces])
        tables = [t for t in tables if t is not None]
        if not tables:
            raise ValueError("there are no records to analyse")
        out = pd.concat(tables).sort_index(kind="stable")
        out.attrs = dict(tables[0].attrs)
        return out
    options.pop("per_particle", None)
    level = [dask.delayed(_partition_sums)(p, roles, units, options) for p in pieces]
    split_every = max(2, int(split_every))
    while len(level) > 1:
        level = [dask.delayed(_merged)(level[i:i + split_every]) for i in range(0, len(level), split_every)]
    (total,) = dask.compute(level[0])
    if total is None:
        raise ValueError("there are no records to analyse")
    return total.table()


def _fixed_lags(ddf, frame, particle, lags):
    """The lag request with a largest lag: "all" and "log:K" get the longest
    span of any particle; others are returned as they are."""
    text = msdisf._lags_text(lags)
    if text != "all" and not re.fullmatch(r"log:\d+", text):
        return text
    pieces = [dask.delayed(_frame_range)(p, particle, frame) for p in ddf[[particle, frame]].to_delayed()]
    ranges = pd.concat(dask.compute(*pieces)).groupby(level=0)
    span = int((ranges["max"].max() - ranges["min"].min()).max())
    if span < 1:
        raise ValueError("no particle has records at two frames; nothing to compute")
    return f"max:{span}" if text == "all" else f"{text}:{span}"


def _lag_list(text):
    """The lags of a request with a largest lag, as the sums of any data take
    them (per-particle rows of a partition otherwise follow its own longest
    span): those of a three-record particle spanning the largest lag."""
    last = re.fullmatch(r"(?:max|log:\d+):(\d+)", text)
    if last is None:
        return text
    frames = np.array([0, 1, int(last.group(1))])
    sums = msdisf.lag_sums(np.zeros(3), np.zeros(3), frames, lags=text, q=[1.0], quantities="msd", method="exact",
                           threads=1)
    return [int(lag) for lag in sums.lags]


def _frame_range(part, particle, frame):
    """Each particle's first and last frame in the partition."""
    return part.groupby(particle)[frame].agg(["min", "max"])


def _worker_memory():
    """(limit, in use) in bytes on a dask.distributed worker with a memory
    limit; None elsewhere."""
    try:
        from distributed import get_worker
        worker = get_worker()
    except (ImportError, ValueError):
        return None
    manager = getattr(worker, "memory_manager", None)
    limit = getattr(manager, "memory_limit", None) or getattr(worker, "memory_limit", None)
    if not limit:
        return None
    try:
        import psutil
        used = psutil.Process(os.getpid()).memory_info().rss
    except ImportError:  # pragma: no cover - psutil comes with distributed
        used = 0
    return int(limit), int(used)


def _engine_memory(part):
    """The bytes the engine may take for this partition: what the worker has
    left past the partition's own peak; 0 (the engine's default) off a worker
    with a limit. MemoryError when the partition alone would not fit."""
    memory = _worker_memory()
    if memory is None:
        return 0
    limit, used = memory
    needed = partition_peak_factor * float(part.memory_usage(deep=True).sum())
    if used + needed > limit:
        raise MemoryError(f"msdisf.dask: a partition of {len(part)} records needs about {needed / 1e9:.2f} GB on a "
                          f"worker with a memory limit of {limit / 1e9:.2f} GB ({used / 1e9:.2f} GB in use); use more "
                          f"partitions (ddf.repartition(npartitions=...)) or workers with more memory")
    return max(1, int(limit - used - needed))


def _arguments(part, roles, units, options, memory):
    def column(role):
        return None if roles[role] is None else part[roles[role]].to_numpy()

    return dict(x=column("x"), y=column("y"), z=column("z"), frame=column("frame"), particle=column("particle"),
                **units, **options, memory_limit=memory)


def _partition_sums(part, roles, units, options):
    """The LagSums of one partition of whole particles; None when it is empty."""
    if len(part) == 0:
        return None
    return msdisf.lag_sums(**_arguments(part, roles, units, options, _engine_memory(part)))


def _partition_rows(part, roles, units, options):
    """The per-particle rows of one partition of whole particles; None when it is empty."""
    if len(part) == 0:
        return None
    return msdisf.analyse(**_arguments(part, roles, units, options, _engine_memory(part)))


def _merged(sums):
    """The merge of the sums (None for empty partitions) into a new LagSums;
    the inputs are left as they are."""
    sums = [s for s in sums if s is not None]
    return msdisf.merge(sums) if sums else None
