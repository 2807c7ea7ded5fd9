"""The Python package against the engine, the command line and bad input."""
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import msdisf

SOURCE = os.environ["MSDISF_SOURCE_DIR"]
DISTINCT = os.path.join(SOURCE, "data/FreeQuorix/FreeQuorix_cropped_distinct.dat")
SIMULATION = os.path.join(SOURCE, "data/Simulation_data/Noise/combined/1.dat")
MOMENTS = ["msd", "mqd", "ngp", "skewness", "md", "mcd"]


def test_moments_and_counts_equal_the_engine_bit_for_bit():
    data = np.loadtxt(DISTINCT)
    df = msdisf.analyse(data[:, 0], data[:, 1], data[:, 2], data[:, 3], quantities="job-table")
    dump = subprocess.run([os.environ["ENGINE_DUMP"], DISTINCT], capture_output=True, text=True, check=True)
    rows = [line.split() for line in dump.stdout.splitlines()]
    assert list(df.index) == [int(r[0]) for r in rows]
    assert list(df["pairs"]) == [int(r[1]) for r in rows]
    for c, name in enumerate(MOMENTS):
        engine = np.array([float.fromhex(r[2 + c]) for r in rows])
        assert np.array_equal(df[name].to_numpy().view(np.int64), engine.view(np.int64)), name


def test_analyse_frame_equals_analyse_and_adds_time():
    data = np.loadtxt(DISTINCT)
    tracks = pd.DataFrame({"frame": data[:, 2].astype(int), "particle": data[:, 3].astype(int).astype(str),
                           "x": data[:, 0], "y": data[:, 1]}).sample(frac=1.0, random_state=1)
    df = msdisf.analyse_frame(tracks, dt=0.05, lags="log:20", q=[0.5, 2.0])
    direct = msdisf.analyse(data[:, 0], data[:, 1], data[:, 2], data[:, 3], lags="log:20", q=[0.5, 2.0])
    pd.testing.assert_frame_equal(df.drop(columns="time"), direct)
    assert np.allclose(df["time"], df.index * 0.05)
    assert list(msdisf.isf(df, "fs").columns) == [0.5, 2.0]
    assert df.filter(regex=r"^fs\[").shape[1] == 2


def test_errors_and_fit_match_the_command_line(tmp_path):
    data = np.loadtxt(DISTINCT)
    df = msdisf.analyse(data[:, 0], data[:, 1], data[:, 2], data[:, 3], lags="log:30", scales=[2.0], errors=True)
    assert list(df.columns[-8:]) == ["alpha2", "fs[0.5]", "msd_se", "msd_x_se", "msd_y_se", "alpha2_se", "fs_se[0.5]",
                                     "se_groups"]
    every = msdisf.analyse(data[:, 0], data[:, 1], data[:, 2], data[:, 3], lags="log:30", scales=[2.0], errors=True,
                           quantities="job-table")
    assert list(every.columns[-6:]) == ["msd_se", "ngp_se", "isf_x_se[0.5]", "isf_y_se[0.5]", "isf_r_se[0.5]",
                                        "se_groups"]
    assert np.allclose(every["msd_se"], df["msd_se"], rtol=1e-12, atol=0, equal_nan=True)
    table = tmp_path / "e.tsv"
    subprocess.run([os.environ["MSDISF_PATH"], "-q", "--errors", "--lags", "log:30", "--scales", "2", "-o",
                    str(table), DISTINCT], check=True)
    pd.testing.assert_frame_equal(msdisf.read_table(table), df, check_exact=True)
    fitted = msdisf.fit(df, lags="1:10")
    shown = subprocess.run([os.environ["MSDISF_PATH"], "fit", str(table), "--lags", "1:10", "--json"],
                           capture_output=True, text=True, check=True)
    assert fitted["D"] == json.loads(shown.stdout)["D"] and fitted["D_se"] > 0
    with pytest.raises(ValueError, match="errors=True"):
        msdisf.fit(df.drop(columns="msd_se"), lags=(1, 10))
    with pytest.raises(ValueError, match="need msd, msd_axes, alpha2, fs, ngp or isf"):
        msdisf.analyse(data[:, 0], data[:, 1], data[:, 2], data[:, 3], quantities=["md"], errors=True)
    # With a time column D is per time unit to the alpha: dt = 0.5 multiplies it by 2^alpha, alpha stays.
    tracks = pd.DataFrame({"frame": data[:, 2].astype(int), "particle": data[:, 3].astype(int),
                           "x": data[:, 0], "y": data[:, 1]})
    timed = msdisf.fit(msdisf.analyse_frame(tracks, dt=0.5, lags="log:30", scales=[2.0], errors=True), lags="1:10")
    assert timed["D"] == pytest.approx(2 ** fitted["alpha"] * fitted["D"], rel=1e-9)
    assert timed["alpha"] == pytest.approx(fitted["alpha"], rel=1e-9)


def test_read_table_of_command_line_tables_equals_analyse(tmp_path):
    t, x, y = np.loadtxt(SIMULATION, unpack=True)
    df = msdisf.analyse(x, y, t, lags="log:60", scales=[2.0, 5.36, 18.75])
    own = tmp_path / "own.tsv"
    subprocess.run([os.environ["MSDISF_PATH"], "-q", "--lags", "log:60", "--scales", "2,5.36,18.75", "-o", str(own),
                    SIMULATION], check=True)
    # msdisf's own table holds every value exactly.
    pd.testing.assert_frame_equal(msdisf.read_table(own), df, check_exact=True)

    job_table = tmp_path / "job.dat"
    subprocess.run([os.environ["MSDISF_PATH"], "-q", "--format", "txy", "--job-table-output", "--estimator",
                    "all-pairs", "-o", str(job_table), SIMULATION], check=True)
    read = msdisf.read_table(job_table)
    full = msdisf.analyse(x, y, t, method="ordered", quantities="job-table")  # the job table's arithmetic
    assert list(read.index) == list(full.index)
    assert (read["pairs"] == full["pairs"]).all()
    for name in ["msd", "mqd", "ngp", "skewness"] + [c for c in read.columns if c.startswith("isf")]:
        # seven printed decimals, then the rounding of parsing them back
        assert np.allclose(read[name], full[name], rtol=1e-15, atol=5.1e-8), name


N = 12


def tracks():
    """Two tracks one after the other, 5.0 in frames 0 to 11 and 7.0 in 12 to
    23, both moving 1 px per frame along x: as two particles 2 (N - lag)
    pairs, as one 2 N - lag, with msd = lag^2 either way. Rows shuffled."""
    frame = np.arange(2 * N)
    return pd.DataFrame({"frame": frame, "track_id": np.where(frame < N, 5.0, 7.0), "x": frame * 1.0,
                         "y": 3.0}).sample(frac=1.0, random_state=2)


def times(df, name="t"):
    return df.assign(**{name: df["frame"] * 0.1}).drop(columns="frame")


# (change to the tracks, keywords, expected: msd scale, one particle, dt,
# a note on standard error; or the ValueError's message)
@pytest.mark.parametrize("change, keywords, expected", [
    (lambda d: d, {}, dict(note="^msdisf: particle = 'track_id'$")),
    (lambda d: d, {"particle": None}, dict(one=True)),
    (lambda d: d, {"particle": "pid"}, r"no column 'pid' for particle; it has \['frame', 'track_id', 'x', 'y'\]"),
    (lambda d: d.rename(columns={"track_id": "group"}), {}, r"has \['frame', 'group', 'x', 'y'\].*particle=None"),
    (lambda d: d.rename(columns={"x": "X_um", "y": "y_um"}), {}, dict(note="x = 'X_um', y = 'y_um'")),
    (times, {"dt": 0.1}, dict(dt=0.1, note=r"time = 't' \(it holds times")),
    (times, {}, dict(dt=0.1, note="dt = 0.1, inferred from the most common step of column 't'")),
    (lambda d: times(d, "seconds"), {"time": "seconds", "fps": 10}, dict(dt=0.1)),
    (lambda d: d, {"fps": 10}, dict(dt=0.1)),
    (lambda d: d, {"mpp": 0.5}, dict(scale=0.25)),
    (lambda d: d.assign(t=d["frame"] * 0.1), {"frame": "frame", "time": "t"}, "frame= .* or time= .*, not both"),
    (lambda d: d.assign(pos_z=d["frame"] * 1.0), {"mpp": 0.5}, dict(scale=0.5, dims=3, note="z = 'pos_z'")),
    (lambda d: d.assign(z=d["frame"] * 1.0), {"z": None}, dict(dims=2)),
    (lambda d: d.drop(columns="y"), {}, dict(dims=1, note="no y column: one dimension, along x alone")),
    (lambda d: d.drop(columns="y").assign(z=0.0), {}, r"no column looks like y .*; the DataFrame has .*, 'z'\]"),
], ids=["track_id found", "particle=None", "particle= missing", "no particle column", "x_um found", "t with dt",
        "t with dt inferred", "time= with fps", "fps on frames", "mpp", "frame= and time=", "z found", "z=None",
        "no y: x alone", "z without y"])
def test_analyse_frame_finds_columns_and_units(capsys, change, keywords, expected):
    data = change(tracks())
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            msdisf.analyse_frame(data, **keywords)
        return
    df = msdisf.analyse_frame(data, lags=[1, 2, 3], q=[1.0], **keywords)
    lag = np.array([1, 2, 3])
    assert list(df.index) == list(lag)
    assert list(df["pairs"]) == list(2 * N - lag if expected.get("one") else 2 * (N - lag))
    assert np.allclose(df["msd"], expected.get("scale", 1.0) * lag**2, rtol=1e-12)
    dt = expected.get("dt")
    assert ("time" in df) == (dt is not None) and df.attrs.get("dt") == pytest.approx(dt)
    if dt is not None:
        assert np.allclose(df["time"], lag * dt, rtol=1e-12)
    assert df.attrs.get("mpp") == keywords.get("mpp")
    dims = expected.get("dims", 2)
    assert df.attrs["dimensions"] == dims
    assert [("msd_y" in df), ("msd_z" in df), ("fs[1]" in df)] == [dims > 1, dims == 3, True]
    if "note" in expected:
        err = capsys.readouterr().err
        assert re.search(expected["note"], err, re.M), err


@pytest.mark.parametrize("call, error, message", [
    (lambda: msdisf.analyse([1, 2], [1, 2, 3], [1, 2]), ValueError, "same length"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], z=[1, 2, 3]), ValueError, "x, y, z and frame must have the same"),
    (lambda: msdisf.analyse([1, 2], frame=[1, 2], z=[1, 2]), ValueError, "z is given without y"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2.5]), ValueError, "row 1: 2.5 is not a whole number"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, np.nan]), ValueError, "frame, row 1: the value is missing"),
    (lambda: msdisf.analyse([1, 2], [1, 2], ["0", "x"]), ValueError, "frame, row 1: 'x' is not a number"),
    (lambda: msdisf.analyse([1, 2], [1, 2], np.array([0, 2**64 - 1], dtype=np.uint64)), ValueError,
     "frame, row 1: 18446744073709551615 is too large a frame"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [0, 2.0**63]), ValueError, "frame, row 1: .* is too large a frame"),
    (lambda: msdisf.analyse([1, 2, 3], [1, 2, 3], [4, 5, 4], [7, 7, 7]), ValueError, "both hold particle"),
    (lambda: msdisf.analyse([], [], []), ValueError, "no records"),
    (lambda: msdisf.analyse([1, np.inf], [1, 2], [1, 2]), ValueError, "infinite"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], lags="log:x"), ValueError, "lags must be"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], lags=[0, 3]), ValueError, "lags must be all, max:L.*not .0,3."),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], estimator="pooled"), ValueError, "estimator"),
    (lambda: msdisf.analyse([1, 2, 3], [1, 2, 3], [0, 1, 10**12]), MemoryError, "fewer lags"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], memory_limit=-1), ValueError, "memory_limit must be a positive"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], per_particle=True, memory_limit=1), MemoryError,
     r"\d+ bytes \(1 rows\), more than the 1 bytes allowed"),
    # Messages name the user's own row labels, columns and particle ids.
    (lambda: msdisf.analyse_frame(pd.DataFrame({"particle": [5.0, 5.0, 5.0], "frame": [2, 3, 3], "x": [0.0, 1, 2],
                                                "y": 0.0}, index=[10, 11, 12])),
     ValueError, r"rows 11 and 12 both hold particle 5\.0 at frame 3"),
    (lambda: msdisf.analyse([1, 2, 3], [1, 2, 3], [1, 1, 1], ["a", "b", "b"]), ValueError,
     "rows 1 and 2 both hold particle 'b' at frame 1"),
    (lambda: msdisf.analyse([1, 2, 3], [1, 2, 3], [1, 2, 1]), ValueError, "rows 0 and 2 both hold frame 1$"),
    # '' and 'NA' before row 17 are missing positions, not errors.
    (lambda: msdisf.analyse_frame(pd.DataFrame({"particle": 1, "frame": range(20), "y": 0.0,
                                                "x": [0.0, "", "NA", None] + [1.0] * 13 + ["abc", 2.0, 3.0]})),
     ValueError, "^column 'x', row 17: 'abc' is not a number$"),
    (lambda: msdisf.analyse_frame(pd.DataFrame({"particle": 1, "t": [0, 0.1, 0.25], "x": 0.0, "y": 0.0}), dt=0.1),
     ValueError, "column 't', row 2: time 0.25 lies 50 % of a step off"),
])
def test_bad_input_raises(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_strided_and_other_dtypes_are_converted():
    xy = np.random.default_rng(3).normal(size=(400, 2)).cumsum(axis=0).astype(np.float32)
    df = msdisf.analyse(xy[:, 0], xy[:, 1], np.arange(400, dtype=np.int16), lags="max:10")
    same = msdisf.analyse(xy[:, 0].astype(float).copy(), xy[:, 1].astype(float).copy(), np.arange(400),
                          lags="max:10")
    pd.testing.assert_frame_equal(df, same)


def test_two_threads_at_once_both_finish_correctly():
    rng = np.random.default_rng(4)
    x, y = rng.normal(size=(2, 30000)).cumsum(axis=1)
    frame = np.arange(30000)
    alone = msdisf.analyse(x, y, frame, lags="log:50")
    results = [None, None]

    def run(i):
        results[i] = msdisf.analyse(x, y, frame, lags="log:50", threads=1)

    workers = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for r in results:
        pd.testing.assert_frame_equal(r, alone)


def test_ctrl_c_stops_a_long_computation(tmp_path):
    script = tmp_path / "long.py"
    script.write_text(
        "import numpy as np, msdisf\n"
        "x = np.random.default_rng(1).normal(size=300000).cumsum()\n"
        "print('start', flush=True)\n"
        "try:\n"
        "    msdisf.analyse(x, x, np.arange(x.size), method='exact')\n"
        "    print('finished', flush=True)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n")
    child = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "start"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    # The whole computation would take hours; the interrupt ends it at once.
    out, _ = child.communicate(timeout=30)
    assert out.strip() == "interrupted"
