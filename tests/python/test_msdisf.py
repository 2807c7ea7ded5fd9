"""The Python package against the engine, the command line and bad input."""
import json
import os
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
    df = msdisf.analyse(data[:, 0], data[:, 1], data[:, 2], data[:, 3])
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
    assert list(msdisf.isf(df, "x").columns) == [0.5, 2.0]
    assert df.filter(regex=r"^isf_x\[").shape[1] == 2


def test_errors_and_fit_match_the_command_line(tmp_path):
    data = np.loadtxt(DISTINCT)
    df = msdisf.analyse(data[:, 0], data[:, 1], data[:, 2], data[:, 3], lags="log:30", scales=[2.0], errors=True)
    assert list(df.columns[-6:]) == ["msd_se", "ngp_se", "isf_x_se[0.5]", "isf_y_se[0.5]", "isf_r_se[0.5]",
                                     "se_groups"]
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
    with pytest.raises(ValueError, match="needs msd, ngp or isf"):
        msdisf.analyse(data[:, 0], data[:, 1], data[:, 2], data[:, 3], quantities=["md"], errors=True)
    # With a time column D is per time unit: dt = 0.5 doubles it, alpha stays.
    tracks = pd.DataFrame({"frame": data[:, 2].astype(int), "particle": data[:, 3].astype(int),
                           "x": data[:, 0], "y": data[:, 1]})
    timed = msdisf.fit(msdisf.analyse_frame(tracks, dt=0.5, lags="log:30", scales=[2.0], errors=True), lags="1:10")
    assert timed["D"] == pytest.approx(2 * fitted["D"], rel=1e-12)
    assert timed["alpha"] == pytest.approx(fitted["alpha"], rel=1e-12)


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
    full = msdisf.analyse(x, y, t, method="ordered")  # the job table's arithmetic
    assert list(read.index) == list(full.index)
    assert (read["pairs"] == full["pairs"]).all()
    for name in ["msd", "mqd", "ngp", "skewness"] + [c for c in read.columns if c.startswith("isf")]:
        # seven printed decimals, then the rounding of parsing them back
        assert np.allclose(read[name], full[name], rtol=1e-15, atol=5.1e-8), name


@pytest.mark.parametrize("call, error, message", [
    (lambda: msdisf.analyse([1, 2], [1, 2, 3], [1, 2]), ValueError, "same length"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2.5]), ValueError, "whole numbers"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, np.nan]), ValueError, "whole numbers"),
    (lambda: msdisf.analyse([1, 2, 3], [1, 2, 3], [4, 5, 4], [7, 7, 7]), ValueError, "both hold particle"),
    (lambda: msdisf.analyse([], [], []), ValueError, "no records"),
    (lambda: msdisf.analyse([1, np.inf], [1, 2], [1, 2]), ValueError, "infinite"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], lags="log:x"), ValueError, "lags must be"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], lags=[0, 3]), ValueError, "at least 1"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [1, 2], estimator="pooled"), ValueError, "estimator"),
    (lambda: msdisf.analyse([1, 2], [1, 2], [0, 10**12]), MemoryError, "fewer lags"),
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
