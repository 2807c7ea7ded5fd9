"""msdisf.dask: a Dask DataFrame analysed partition by partition gives
analyse_frame's table of all its rows, on threads and on a dask.distributed
cluster, also when a worker is killed mid-run."""
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

dask = pytest.importorskip("dask", reason="msdisf.dask needs python3-dask (tools/install_deps.sh installs it)")
distributed = pytest.importorskip("distributed", reason="needs python3-distributed (tools/install_deps.sh)")
import dask.dataframe as dd  # noqa: E402

import msdisf.dask  # noqa: E402
from test_sums import IDS, assert_same_table, walks  # noqa: E402


def frame_of(ids, seed=5):
    x, y, frame, particle = walks(ids, seed)
    df = pd.DataFrame({"particle": particle, "frame": frame, "x": x, "y": y})
    return df.sample(frac=1.0, random_state=1).reset_index(drop=True)  # particles spread over every partition


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0") as c:
        yield c


@pytest.mark.parametrize("scheduler, ids, keywords", [
    ("threads", "int", dict(lags="all")),
    ("cluster", "text", dict(lags="log:15", dt=0.5, mpp=0.2, q=[0.3, 1.0])),
    ("cluster", "int", dict(lags=[1, 2, 5, 40, 150], estimator="window", y=None)),
    ("threads", "whole float", dict(lags="max:120", whole_particles=True, npartitions=1)),
])
def test_partitions_give_the_table_of_all_rows(scheduler, ids, keywords, cluster):
    df = frame_of(IDS[ids])
    ddf = dd.from_pandas(df, npartitions=keywords.pop("npartitions", 5))
    whole = keywords.pop("whole_particles", False)
    expected = msdisf.analyse_frame(df, **keywords)
    if scheduler == "cluster":
        with distributed.Client(cluster):
            got = msdisf.dask.analyse(ddf, whole_particles=whole, split_every=2, **keywords)
    else:
        with dask.config.set(scheduler="threads"):
            got = msdisf.dask.analyse(ddf, whole_particles=whole, split_every=2, **keywords)
    assert_same_table(got, expected)


def test_errors_of_particle_groups_as_from_one_call():
    df = frame_of(range(24))
    got = msdisf.dask.analyse(dd.from_pandas(df, npartitions=4), lags="log:15:120", errors=True)
    expected = msdisf.analyse_frame(df, lags="log:15:120", errors=True)
    rows = got["se_groups"] >= 20
    assert rows.sum() > 5 and got.loc[~rows, "msd_se"].isna().all()
    assert np.allclose(got.loc[rows, "msd_se"], expected.loc[rows, "msd_se"], rtol=1e-9, atol=0)


def test_per_particle_rows_and_a_split_particle():
    df = frame_of(IDS["text"])
    ddf = dd.from_pandas(df, npartitions=4)
    expected = msdisf.analyse_frame(df, lags="log:20:300", per_particle=True)
    with dask.config.set(scheduler="threads"):
        got = msdisf.dask.analyse(ddf, lags="log:20:300", per_particle=True)
        pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)
        with pytest.raises(ValueError, match=r"particle 'p\d' is in both"):
            msdisf.dask.analyse(ddf, lags="log:20:300", whole_particles=True)  # the rows were not shuffled


def test_a_worker_killed_mid_run_changes_nothing():
    df = frame_of(list(range(40)), seed=9)
    ddf = dd.from_pandas(df, npartitions=16)
    options = dict(lags="max:300", method="exact")  # slow enough to kill a worker while tasks run
    expected = msdisf.analyse_frame(df, **options)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as c, \
            distributed.Client(c) as client:
        result, failure = {}, []

        def run():
            try:
                with dask.config.set(scheduler=client.get):  # this thread's scheduler: the new cluster
                    result["table"] = msdisf.dask.analyse(ddf, **options)
            except Exception as error:  # noqa: BLE001 - reported below
                failure.append(error)

        runner = threading.Thread(target=run)
        runner.start()
        deadline = time.monotonic() + 60
        while not any(client.processing().values()) and time.monotonic() < deadline:
            time.sleep(0.05)
        pid = next(iter(client.run(os.getpid).values()))
        os.kill(pid, signal.SIGKILL)
        assert runner.is_alive(), f"the run ended before a worker could be killed: {failure}"
        runner.join(120)
        assert not failure, failure
        assert_same_table(result["table"], expected)


def test_a_worker_without_room_says_so(monkeypatch):
    monkeypatch.setattr(msdisf.dask, "_worker_memory", lambda: (int(1.5e9), int(1.5e9) - 1000))
    ddf = dd.from_pandas(frame_of(IDS["int"]), npartitions=2)
    with dask.config.set(scheduler="threads"), pytest.raises(MemoryError, match="memory limit of 1.50 GB"):
        msdisf.dask.analyse(ddf, lags="max:50")


def test_without_dask_the_package_imports_and_msdisf_dask_names_the_packages():
    code = ("import sys; sys.modules['dask'] = None; import msdisf\n"
            "try:\n    import msdisf.dask\nexcept ImportError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "install the Debian packages python3-dask and python3-distributed" in out
