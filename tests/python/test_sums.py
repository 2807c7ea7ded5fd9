"""Lag sums in Python: shards of whole particles merge into the analysis of
all of them, sums files round-trip, and sums that cannot merge are refused."""
import os
import subprocess

import numpy as np
import pandas as pd
import pytest

import msdisf

# name: power of sqrt(msd) it scales by (alpha2 and ngp: none, near zero)
MOMENTS = {"msd": 0, "mqd": 0, "ngp": 0, "md": 1, "mcd": 3, "skewness": 3, "msd_x": 0, "msd_y": 0, "msd_z": 0,
           "mean_dx": 1, "mean_dy": 1, "mean_dz": 1, "msd_centered": 0, "alpha2": 0}


def walks(ids, seed=5):
    """Random walks, one per id, of 150 to 400 records each with a few frames
    left out and one missing position: (x, y, frame, particle) arrays."""
    rng = np.random.default_rng(seed)
    columns = [[], [], [], []]
    for i, pid in enumerate(ids):
        n = int(rng.integers(150, 400))
        frame = np.sort(rng.choice(n + 20, size=n, replace=False)) + 7 * i
        x, y = rng.normal(scale=0.3 + 0.1 * i, size=(2, n)).cumsum(axis=1) + 50.0 * i
        x[n // 2] = np.nan
        for column, values in zip(columns, (x, y, frame, [pid] * n)):
            column.extend(values)
    return tuple(np.asarray(c) for c in columns)


def shards(data, groups):
    """The records of data split by particle into the groups of ids."""
    x, y, frame, particle = data
    return [tuple(c[np.isin(particle, g)] for c in (x, y, frame, particle)) for g in groups]


def assert_same_table(got, expected):
    assert list(got.columns) == list(expected.columns) and got.attrs == expected.attrs
    assert np.array_equal(got.index, expected.index) and np.array_equal(got["pairs"], expected["pairs"])
    if "time" in expected:
        assert np.array_equal(got["time"], expected["time"])
    scale = np.sqrt(expected["msd"].to_numpy())
    moments = [(name, power) for name, power in MOMENTS.items() if name in expected]
    assert moments
    for name, power in moments:
        # relative, or relative to msd^(power/2) where the moment has a sign
        tolerance = 1e-12 * (np.abs(expected[name]) if power == 0 else scale**power)
        assert np.all(np.abs(got[name] - expected[name]) <= tolerance), name
    scattering = [c for c in expected.columns if c.startswith(("isf", "fs"))]
    assert np.allclose(got[scattering], expected[scattering], rtol=0, atol=1e-12, equal_nan=True)


IDS = {"int": list(range(3, 12)), "text": [f"p{i}" for i in range(9)], "whole float": [float(i) for i in range(9)]}


@pytest.mark.parametrize("ids, keywords", [
    ("int", dict(lags="log:20:200", q=[0.3, 1.0])),
    ("text", dict(lags=[1, 2, 5, 40, 150, 300], estimator="window", dt=0.5, mpp=0.2, quantities="job-table")),
    ("whole float", dict(lags="max:120", method="ordered", estimator="per-trajectory", scales=[2.0])),
])
def test_shards_merged_in_any_order_give_the_analysis_of_all(ids, keywords):
    data = walks(IDS[ids])
    names = IDS[ids]
    parts = [msdisf.lag_sums(*shard, **keywords) for shard in shards(data, [names[:2], names[2:6], names[6:]])]
    expected = msdisf.analyse(*data, **keywords)
    forwards = msdisf.merge(parts)
    backwards = parts[2].copy().merge(parts[1]).merge(parts[0])
    assert parts[0].particles == 2  # merge() copies the first
    assert forwards.particles == backwards.particles == len(names)
    for merged in (forwards, backwards):
        assert_same_table(merged.table(), expected)


def split_particle(ids):
    """Shards of the walks of ids where the first particle's records are
    split between the first and the second."""
    x, y, frame, particle = walks(ids)
    first = np.flatnonzero(particle == ids[0])
    cut = np.zeros(len(x), dtype=bool)
    cut[first[: len(first) // 2]] = True
    cut |= np.isin(particle, ids[1:2])
    return [tuple(c[m] for c in (x, y, frame, particle)) for m in (cut, ~cut)]


def two(first, second, ids=(1, 2)):
    """The sums of two one-particle shards, made with the keywords first and
    second, their particles having the given ids."""
    a, b = shards(walks([1, 2]), [[1], [2]])
    return [msdisf.lag_sums(*s[:3], [pid] * len(s[0]), **{"lags": [1, 2], **keywords}) for s, pid, keywords in
            zip((a, b), ids, (first, second))]


@pytest.mark.parametrize("make, message", [
    (lambda: [msdisf.lag_sums(*s, lags="max:50") for s in split_particle([7, 8, 9])], "particle '7' is in both"),
    (lambda: [msdisf.lag_sums(*s, lags="max:50") for s in split_particle(["a b", "c", "d"])], "particle 'a b'"),
    # 5.0 and "5" are one particle, as for the command line's sums
    (lambda: two({}, {}, ids=(5.0, "5")), "particle '5' is in both"),
    (lambda: two({"lags": "log:9"}, {"lags": "log:9:80"}), "differ in lags .*give the same lags=log:K:L"),
    (lambda: two({"q": 1.0}, {"q": 2.0}), "differ in wave numbers"),
    (lambda: two({"dt": 1}, {"dt": 2}), r"differ in the time per frame \(dt\)"),
    (lambda: two({}, {"quantities": ["msd"]}), "differ in quantities"),
    (lambda: [], "at least one LagSums"),
], ids=["split int id", "split text id", "5.0 and '5'", "lags", "q", "dt", "quantities", "none"])
def test_merge_refuses_sums_that_do_not_add_up(make, message):
    with pytest.raises(ValueError, match=message):
        msdisf.merge(make())


@pytest.mark.parametrize("call, message", [
    (lambda: msdisf.lag_sums([1.0, 2], frame=[1, 2], z=[0.0, 0]), "three dimensions need x, y and z"),
    (lambda: msdisf.lag_sums([1.0, 2], [1.0, 2], [1, 2], z=[0.0]), "x, y, z and frame must have the same length"),
    (lambda: msdisf.lag_sums([1.0, 2], [1.0, 2], [1, 2], z=[0.0, 1], errors=True), "two dimensions only"),
    (lambda: msdisf.lag_sums([1.0, 2, 3], [1.0, 2, 3], [1, 1, 1], ["a", "b", "b"]),
     "rows 1 and 2 both hold particle 'b' at frame 1"),
    (lambda: msdisf.lag_sums([1.0, 2], [1.0, 2], [1, 2], lags="log:x"), "lags must be"),
])
def test_lag_sums_refuses_what_it_cannot_sum(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_saved_sums_read_back_to_the_same_bits_and_merge_with_the_command_lines(tmp_path):
    data = walks(list(range(6)))
    first, second = shards(data, [[0, 1, 2], [3, 4, 5]])
    path = tmp_path / "first.sums"
    sums = msdisf.lag_sums(*first, lags="log:15:300", q=[0.7], dt=0.25)
    sums.save(path)
    loaded = msdisf.load_sums(path)
    assert loaded.sources == [str(path)] and (loaded.dt, loaded.particles) == (0.25, 3)
    table, again = sums.table(), loaded.table()
    assert again.attrs == table.attrs and list(again.columns) == list(table.columns)
    assert np.array_equal(again.to_numpy().view(np.int64), table.to_numpy().view(np.int64))
    # The command line's sums of the other shard key its particles alike.
    records = tmp_path / "second.csv"
    np.savetxt(records, np.column_stack(second[:3] + (second[3].astype(np.int64),)), delimiter=",",
               header="x,y,frame,particle", comments="", fmt=["%.17g", "%.17g", "%d", "%d"])
    cli = tmp_path / "second.sums"
    subprocess.run([os.environ["MSDISF_PATH"], "-q", "--sums", "--lags", "log:15:300", "--q", "0.7", "--dt", "0.25",
                    "-o", str(cli), str(records)], check=True)
    merged = msdisf.merge([loaded, msdisf.load_sums(cli)])
    assert_same_table(merged.table(), msdisf.analyse(*data, lags="log:15:300", q=[0.7], dt=0.25))
    with pytest.raises(ValueError, match=r"particle '1' is in both .*first\.sums"):
        msdisf.merge([msdisf.lag_sums(*first, lags="log:15:300", q=[0.7], dt=0.25), loaded])


def test_shards_in_one_and_three_dimensions_save_load_and_merge_into_the_analysis_of_all(tmp_path):
    x, y, frame, particle = walks(list(range(6)))
    z = np.random.default_rng(1).normal(scale=0.4, size=x.size).cumsum()
    options = dict(lags="log:12:200", q=[0.4, 1.1], dt=0.5)
    for axes, positions in ((1, {}), (3, dict(y=y, z=z))):
        parts = []
        for k, group in enumerate([[0, 1, 2], [3, 4, 5]]):
            rows = np.isin(particle, group)
            mine = {name: values[rows] for name, values in positions.items()}
            path = tmp_path / f"{axes}d{k}.sums"
            msdisf.lag_sums(x[rows], frame=frame[rows], particle=particle[rows], **mine, **options).save(path)
            parts.append(msdisf.load_sums(path))
        merged = msdisf.merge(parts)
        assert merged.dimensions == axes
        expected = msdisf.analyse(x, frame=frame, particle=particle, **positions, **options)
        assert [("msd_y" in expected), ("msd_z" in expected), ("fs[0.4]" in expected)] == [axes == 3, axes == 3, True]
        assert_same_table(merged.table(), expected)
    with pytest.raises(ValueError, match=r"dimensions \(1 against 2\)"):
        msdisf.merge([msdisf.lag_sums(x, frame=frame, particle=particle, **options),
                      msdisf.lag_sums(x, y, frame, particle, **options)])


@pytest.mark.parametrize("damage, message", [
    (lambda text: text[: len(text) * 2 // 3], r"^\S*bad\.sums: line \d+: "),
    (lambda text: text.replace("# end\n", ""), r"^\S*bad\.sums: line \d+: "),
    (lambda text: "lag\tmsd\n1\t0.5\n", r"^\S*bad\.sums: line 1: not a sums file"),
])
def test_a_damaged_sums_file_is_refused_naming_the_line(tmp_path, damage, message):
    good = tmp_path / "good.sums"
    msdisf.lag_sums(*walks([1, 2]), lags="max:30").save(good)
    bad = tmp_path / "bad.sums"
    bad.write_text(damage(good.read_text()))
    with pytest.raises(ValueError, match=message):
        msdisf.load_sums(bad)


@pytest.mark.parametrize("quantities, columns", [(None, ["msd_se"]), ("job-table", ["msd_se", "ngp_se"])])
def test_errors_from_merged_sums_equal_those_of_one_call(tmp_path, quantities, columns):
    data = walks(range(24))
    options = dict(lags="log:15:120", errors=True, quantities=quantities)
    parts = [msdisf.lag_sums(*s, **options) for s in shards(data, [range(0, 9), range(9, 24)])]
    parts[0].save(tmp_path / "a.sums")
    pooled = msdisf.merge([msdisf.load_sums(tmp_path / "a.sums"), parts[1]]).table()
    one = msdisf.analyse(*data, **options)
    rows = pooled["se_groups"] >= 20
    assert rows.sum() > 5 and pooled.loc[~rows, "msd_se"].isna().all()
    assert [c for c in pooled.columns if c.endswith("_se")] == columns
    for column in columns:
        assert np.allclose(pooled.loc[rows, column], one.loc[rows, column], rtol=1e-9, atol=0)


def test_save_and_load_raise_os_errors_naming_the_path(tmp_path):
    with pytest.raises(FileNotFoundError, match="missing.sums"):
        msdisf.load_sums(tmp_path / "missing.sums")
    (tmp_path / "folder").mkdir()
    with pytest.raises(IsADirectoryError, match="folder"):
        msdisf.lag_sums(*walks([1]), lags="max:5").save(tmp_path / "folder")
    assert os.listdir(tmp_path) == ["folder"]  # no temporary file left behind


def test_per_particle_rows_are_one_analysis_per_particle():
    rng = np.random.default_rng(3)
    ids = np.repeat(["a", "b b", "c"], [40, 25, 60])
    frames = np.concatenate([np.arange(40), np.arange(25) * 2, np.arange(60) + 5])
    x, y = rng.normal(size=(2, ids.size)).cumsum(axis=1)
    rows = msdisf.analyse(x, y, frames, ids, lags="max:30", q=[0.7], method="ordered", per_particle=True)
    assert list(rows.index.names) == ["particle", "lag"]
    for name in ["a", "b b", "c"]:
        mine = ids == name
        alone = msdisf.analyse(x[mine], y[mine], frames[mine], lags="max:30", q=[0.7], method="ordered")
        alone = alone[alone["pairs"] > 0]
        pd.testing.assert_frame_equal(rows.loc[name], alone, check_exact=False, rtol=1e-12, atol=1e-12)
