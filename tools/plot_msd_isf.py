#!/usr/bin/python3
"""Plots one or more result tables of msd_isf / msdisf into a PNG.

  plot_msd_isf.py TABLE [TABLE ...] [-o OUT.png] [--scales 5.36,18.75,58.93]

Panels: the MSD against lag on log-log axes, with the exponent alpha of a
power-law fit MSD ~ lag^alpha in the legend; the non-Gaussian parameter against
lag; and the x and y cosine scattering values at a few length scales against
lag. Needs Debian's python3-matplotlib and python3-numpy.
"""
import argparse
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402


def read_table(path):
    """Returns the header labels and the numeric columns of a result table,
    msdisf's own (comment line, tab or comma separated) or the job table's.
    Job-table labels are mapped to msdisf's: counter -> pairs, isfx[s] ->
    isf_x[q] with q = 1/s."""
    with open(path) as table:
        lines = [line for line in table if not line.startswith("#")]
    delimiter = "," if "," in lines[0] else "\t"
    header = []
    for label in (label.strip() for label in lines[0].rstrip("\n").split(delimiter)):
        group, _, scale = label.partition("[")
        if group in ("isfx", "isfy", "isfr") and scale:
            label = f"isf_{group[3]}[{1.0 / float(scale[:-1]):.6g}]"
        header.append("pairs" if label == "counter" else label)
    data = np.loadtxt(lines[1:], delimiter=delimiter, ndmin=2) if len(lines) > 1 else np.empty((0, len(header)))
    if data.size and data.shape[1] != len(header):
        raise ValueError(f"{path}: {data.shape[1]} columns but {len(header)} labels")
    return header, data


def fit_exponent(lag, msd, counts):
    """Least-squares slope of log MSD against log lag over lags with pairs,
    up to a tenth of the largest lag, where the averages are well sampled."""
    usable = (counts > 0) & np.isfinite(msd) & (msd > 0) & (lag <= max(10.0, lag.max() / 10.0))
    if usable.sum() < 2:
        return None
    slope, _ = np.polyfit(np.log(lag[usable]), np.log(msd[usable]), 1)
    return slope


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tables", nargs="+")
    parser.add_argument("-o", "--output", default="msd_isf.png")
    parser.add_argument("--scales", default="5.36,18.75,58.93,187.5",
                        help="length scales s of the ISF panel (wave numbers q = 1/s)")
    args = parser.parse_args()
    wanted_scales = [s.strip() for s in args.scales.split(",")]

    figure, (ax_msd, ax_ngp, ax_isf) = plt.subplots(1, 3, figsize=(16, 5))
    for path in args.tables:
        header, data = read_table(path)
        if data.size == 0:
            print(f"plot_msd_isf.py: {path} has no lags to plot", file=sys.stderr)
            continue
        name = os.path.basename(path)
        column = {label: i for i, label in enumerate(header)}
        lag, msd, ngp, counts = data[:, 0], data[:, column["msd"]], data[:, column["ngp"]], data[:, column["pairs"]]
        alpha = fit_exponent(lag, msd, counts)
        label = f"{name} (α = {alpha:.2f})" if alpha is not None else name
        ok = np.isfinite(msd) & (msd > 0)
        ax_msd.loglog(lag[ok], msd[ok], label=label)
        ax_ngp.semilogx(lag[np.isfinite(ngp)], ngp[np.isfinite(ngp)], label=name)
        for scale in wanted_scales:
            for direction, style in (("isf_x", "-"), ("isf_y", "--")):
                key = f"{direction}[{1.0 / float(scale):.6g}]"
                if key in column:
                    values = data[:, column[key]]
                    ax_isf.semilogx(lag, values, style, label=f"{direction}, scale {scale}"
                                    + (f" ({name})" if len(args.tables) > 1 else ""))

    ax_msd.set(xlabel="lag (frames)", ylabel="MSD", title="Mean squared displacement")
    ax_ngp.set(xlabel="lag (frames)", ylabel="non-Gaussian parameter", title="Non-Gaussian parameter")
    ax_ngp.axhline(0.0, color="grey", linewidth=0.5)
    ax_isf.set(xlabel="lag (frames)", ylabel="⟨cos(q·d)⟩, q = 1/scale", title="Intermediate scattering function")
    for axis in (ax_msd, ax_ngp, ax_isf):
        axis.legend(fontsize="small")
        axis.grid(True, which="both", alpha=0.3)
    figure.tight_layout()
    figure.savefig(args.output, dpi=100)
    print(f"Wrote {args.output}")


if __name__ == "__main__":
    main()
