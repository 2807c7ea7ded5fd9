"""drift="subtract", box= and the fit's dimensions through the Python package."""

import numpy as np
import pandas as pd
import pytest

import msdisf


def walks(dims, particles=40, frames=200, seed=2, velocity=(0.6, -0.4, 0.2), step=0.3):
    rng = np.random.default_rng(seed)
    positions = np.cumsum(rng.normal(0, step, (particles, frames, dims)), axis=1)
    positions += np.asarray(velocity[:dims]) * np.arange(frames)[None, :, None]
    frame = np.tile(np.arange(frames), particles)
    particle = np.repeat([f"p{i}" for i in range(particles)], frames)
    return positions.reshape(-1, dims), frame, particle


def test_drift_is_subtracted_and_returned_alike_by_every_entry_point():
    r, frame, particle = walks(2)
    df = pd.DataFrame({"frame": frame, "track": particle, "x": r[:, 0], "y": r[:, 1]})
    table, drift = msdisf.analyse_frame(df, drift="subtract", return_drift=True, lags=[1, 50],
                                        quantities=["msd", "mean_axes"])
    assert list(drift.columns) == ["dx", "dy"] and drift.index.name == "frame"
    assert drift.loc[199].to_numpy() == pytest.approx([0.6 * 199, -0.4 * 199], abs=1.0)
    assert np.abs(table[["mean_dx", "mean_dy"]].to_numpy()).max() < 1e-9
    direct, same = msdisf.analyse(r[:, 0], r[:, 1], frame, particle, drift="subtract", return_drift=True,
                                  lags=[1, 50], quantities=["msd", "mean_axes"])
    pd.testing.assert_frame_equal(direct, table)
    pd.testing.assert_frame_equal(same, drift)
    sums, from_sums = msdisf.lag_sums(r[:, 0], r[:, 1], frame, particle, drift="subtract", return_drift=True,
                                      lags=[1, 50], quantities=["msd"])
    assert sums.table()["msd"].to_numpy() == pytest.approx(table["msd"].to_numpy(), rel=1e-9)
    pd.testing.assert_frame_equal(from_sums, drift)
    for wrong, message in [(dict(drift="remove"), "drift must be"), (dict(return_drift=True), "needs drift")]:
        with pytest.raises(ValueError, match=message):
            msdisf.analyse(r[:, 0], r[:, 1], frame, particle, **wrong)


def test_wrapped_positions_in_a_box_give_the_table_of_the_unwrapped_ones():
    box = (6.0, 7.0, 5.0)
    r, frame, particle = walks(3, velocity=(0, 0, 0), step=0.1)
    wrapped = np.mod(r, box)
    plain = msdisf.analyse(r[:, 0], r[:, 1], frame, particle, z=r[:, 2], lags=[1, 100], method="exact")
    boxed = msdisf.analyse(*wrapped[:, :2].T, frame, particle, z=wrapped[:, 2], box=box, lags=[1, 100],
                           method="exact")
    pd.testing.assert_frame_equal(boxed, plain, rtol=1e-9, atol=1e-12)
    with pytest.raises(ValueError, match=r"^row \d+: particle 'p\d+' at frame \d+: [xyz] = .* box length"):
        msdisf.analyse(r[:, 0], r[:, 1], frame, particle, z=r[:, 2] + 50 * (frame > 100), box=(1e3, 1e3, 5.0))


def test_fit_takes_the_dimensions_of_the_table():
    r, frame, particle = walks(2, particles=200, frames=300, velocity=(0, 0), step=1.0)
    table = msdisf.analyse(r[:, 0], r[:, 1], frame, particle, lags=list(range(1, 11)), quantities="msd",
                           errors=True)
    fitted = msdisf.fit(table, "1:10")
    assert fitted["dimensions"] == 2
    assert fitted["D"] == pytest.approx(0.5, abs=3 * fitted["D_se"])
    assert abs(fitted["alpha"] - 1) < 3 * fitted["alpha_se"]
    table.attrs["dimensions"] = 1  # msd = 2 D t^alpha: the same curve is twice the D
    along_x = msdisf.fit(table, "1:10")
    assert along_x["D"] == pytest.approx(2 * fitted["D"], rel=1e-12)
    assert along_x["alpha"] == fitted["alpha"]
