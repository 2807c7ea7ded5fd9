#!/usr/bin/python3
"""Plots one or more result tables of msd_isf / msdisf into a PNG.

  plot_msd_isf.py TABLE [TABLE ...] [-o OUT.png] [--scales 5.36,18.75,58.93] [--fit A:B]

Panels: the MSD against lag on log-log axes, with the exponent alpha of a
power-law fit MSD ~ lag^alpha in the legend; the non-Gaussian parameter against
lag; and the x and y cosine scattering values at a few length scales against
lag. Tables written with msdisf --errors get bands of one standard error, and
--fit A:B draws the fitted msd = 4 D t + offset over lags A to B with D and
alpha and their errors in the legend (from the msdisf package when it can be
imported, otherwise from the msdisf program). Needs Debian's
python3-matplotlib and python3-numpy.
"""
import argparse
import json
import os
import subprocess
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


def fitted(path, lags, program):
    """msdisf's fit of the table over lags "A:B" as a dict."""
    try:
        import msdisf
    except ImportError:
        done = subprocess.run([program, "fit", path, "--lags", lags, "--json"], capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"plot_msd_isf.py: {done.stderr.strip()}")
        return json.loads(done.stdout)
    try:
        return msdisf.fit(msdisf.read_table(path), lags=lags)
    except ValueError as error:
        raise SystemExit(f"plot_msd_isf.py: {path}: {error}")


def band(axis, lag, values, errors, ok):
    axis.fill_between(lag[ok], (values - errors)[ok], (values + errors)[ok], alpha=0.25, linewidth=0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tables", nargs="+")
    parser.add_argument("-o", "--output", default="msd_isf.png")
    parser.add_argument("--scales", default="5.36,18.75,58.93,187.5",
                        help="length scales s of the ISF panel (wave numbers q = 1/s)")
    parser.add_argument("--fit", metavar="A:B", help="fit and draw msd = 4 D t + offset over lags A to B")
    parser.add_argument("--msdisf", default="msdisf", help="the msdisf program, when the package is not installed")
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
        if args.fit:
            f = fitted(path, args.fit, args.msdisf)
            label = f"{name} (D = {f['D']:.4g} ± {f['D_se']:.2g}, α = {f['alpha']:.3f} ± {f['alpha_se']:.3f})"
        line = ax_msd.loglog(lag[ok], msd[ok], label=label)[0]
        if "msd_se" in column:
            band(ax_msd, lag, msd, data[:, column["msd_se"]], ok & np.isfinite(data[:, column["msd_se"]]))
        if args.fit:
            first, last = (int(v) for v in args.fit.split(":"))
            inside = ok & (lag >= first) & (lag <= last)
            t = data[:, column["time"]] if "time" in column else lag
            ax_msd.loglog(lag[inside], 4.0 * f["D"] * t[inside] + f["offset"], ":", color="black",
                          linewidth=2, label=f"fit, lags {first}-{last}")
        ax_ngp.semilogx(lag[np.isfinite(ngp)], ngp[np.isfinite(ngp)], label=name, color=line.get_color())
        if "ngp_se" in column:
            band(ax_ngp, lag, ngp, data[:, column["ngp_se"]], np.isfinite(ngp) & np.isfinite(data[:, column["ngp_se"]]))
        for scale in wanted_scales:
            for direction, style in (("isf_x", "-"), ("isf_y", "--")):
                key = f"{direction}[{1.0 / float(scale):.6g}]"
                if key in column:
                    values = data[:, column[key]]
                    ax_isf.semilogx(lag, values, style, label=f"{direction}, scale {scale}"
                                    + (f" ({name})" if len(args.tables) > 1 else ""))
                    error_key = key.replace("[", "_se[")
                    if error_key in column:
                        errors = data[:, column[error_key]]
                        band(ax_isf, lag, values, errors, np.isfinite(values) & np.isfinite(errors))

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
