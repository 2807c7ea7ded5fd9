#!/usr/bin/python3
"""Plots one or more result tables of msd_isf / msdisf into a picture.

  plot_msd_isf.py TABLE [TABLE ...] [-o OUT.png] [--scales 5.36,18.75 | --q 0.2,0.05]
                  [--min-pairs N] [--fit A:B] [--msdisf PROGRAM]

Panels: the MSD on log-log axes, with the exponent alpha of a power-law fit
MSD ~ t^alpha in the legend; the non-Gaussian parameter (alpha2, or a job
table's ngp); and the isotropic fs (solid), or a job table's x (solid) and y
(dashed) cosine scattering values, at the table's wave numbers nearest to the
requested ones (nearest by ratio; standard error names the ones chosen).

The x axis is the time column when every table has one (with the dt or fps
that msdisf's first comment line records), otherwise the lag in frames. Lags
averaged over fewer than --min-pairs pairs (default 10) are not drawn: their
means rest on too few displacements. Tables written with msdisf --errors get
bands of one standard error where at least 10 groups stand behind the error
(the se_groups column). --fit A:B draws the fitted msd = 2 d D t^alpha + offset
(d dimensions) over lags A to B with D and alpha and their errors in the legend (from the msdisf
package when it can be imported, otherwise from the msdisf program). With
more than 4 tables the legend goes below the panels; with more than 10 the
colours follow the order of the tables, and with more than 12 the legend
names the first and last few. Needs Debian's python3-matplotlib and
python3-numpy. Problems are reported in one line, with status 1 (2 for an
unusable command line).
"""
import argparse
import json
import math
import os
import re
import subprocess
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.backend_bases import FigureCanvasBase  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402

PROGRAM = "plot_msd_isf.py"
MIN_SE_GROUPS = 10       # fewer groups leave the error itself uncertain by more than a quarter
CYCLE_TABLES = 10        # up to this many tables take the default colour cycle
LEGEND_ENTRIES = 12      # more tables than this are summarised in the legend
INSIDE_LEGEND = 4        # more tables than this are named below the panels
MARKERS = ["o", "s", "^", "v", "D", "P", "X", "*"]


class UserError(Exception):
    """A problem with the command line or the inputs, reported in one line."""


class Table:
    """One result table: its labels, numeric rows and the options msdisf wrote."""

    def __init__(self, path, header, data, options):
        self.path = path
        self.name = os.path.basename(path)
        self.header = header
        self.data = data
        self.options = options
        self.column = {label: i for i, label in enumerate(header)}

    def get(self, label):
        return self.data[:, self.column[label]] if label in self.column else None


def read_table(path):
    """Reads msdisf's tables (tab or comma separated, a first "# msdisf ...;
    options: ..." line unless --no-metadata) and the job table's. Job-table
    labels become msdisf's: counter -> pairs, isfx[s] -> isf_x[q] with
    q = 1/s."""
    try:
        with open(path) as stream:
            text = stream.readlines()
    except (OSError, UnicodeDecodeError) as error:
        raise UserError(f"{path}: {getattr(error, 'strerror', None) or error}") from None
    options = ""
    for line in text:
        if line.startswith("# msdisf") and "; options:" in line:
            options = line.split("; options:", 1)[1].strip()
            break
    lines = [line for line in text if not line.startswith("#") and line.strip()]
    if not lines:
        raise UserError(f"{path}: no header line")
    delimiter = "," if "," in lines[0] else "\t"
    header = []
    for label in (label.strip() for label in lines[0].rstrip("\n").split(delimiter)):
        group, _, scale = label.partition("[")
        if group in ("isfx", "isfy", "isfr") and scale.endswith("]"):
            try:
                label = f"isf_{group[3]}[{1.0 / float(scale[:-1]):.6g}]"
            except (ValueError, ZeroDivisionError):
                raise UserError(f"{path}: the column label {label!r} names no length scale") from None
        header.append("pairs" if label == "counter" else label)
    if header[0] != "lag":
        raise UserError(f"{path}: the first column is {header[0]!r}, not lag: not a result table")
    try:
        data = np.loadtxt(lines[1:], delimiter=delimiter, ndmin=2) if len(lines) > 1 else np.empty((0, len(header)))
    except ValueError as error:
        raise UserError(f"{path}: {error}") from None
    if data.size and data.shape[1] != len(header):
        raise UserError(f"{path}: {data.shape[1]} columns but {len(header)} labels")
    return Table(path, header, data, options)


def time_unit(options):
    """The frame duration msdisf was given ("dt = 0.01", "fps = 25"), or None."""
    for name in ("dt", "fps"):
        found = re.search(rf"(?:^|\s)--{name}(?:=|\s+)(\S+)", options)
        if found:
            return f"{name} = {found.group(1)}"
    return None


def wave_numbers(table, group):
    """The wave numbers of one group's cosine columns (isf_x, fs, ...), with
    their labels."""
    found = {}
    for label in table.header:
        match = re.fullmatch(rf"{group}\[(.+)\]", label)
        if match:
            try:
                found[float(match.group(1))] = label
            except ValueError:
                pass
    return found


def pick(available, wanted):
    """For each wanted wave number, the available one nearest by ratio."""
    qs = np.array(sorted(q for q in available if q > 0))
    if qs.size == 0:
        return []
    return [float(qs[np.argmin(np.abs(np.log(qs / q)))]) for q in wanted]


def fit_exponent(t, msd):
    """Least-squares slope of log MSD against log t over the first tenth of
    the drawn range (at least its first ten points), where the averages are
    well sampled."""
    usable = np.isfinite(msd) & (msd > 0) & (t > 0)
    if usable.sum() < 2:
        return None
    t, msd = t[usable], msd[usable]
    usable = t <= max(t[min(9, t.size - 1)], t.max() / 10.0)
    if usable.sum() < 2:
        return None
    slope, _ = np.polyfit(np.log(t[usable]), np.log(msd[usable]), 1)
    return slope


def fitted(path, lags, program):
    """msdisf's fit of the table over lags "A:B" as a dict."""
    try:
        import msdisf
    except ImportError:
        try:
            done = subprocess.run([program, "fit", path, "--lags", lags, "--json"], capture_output=True, text=True)
        except OSError as error:
            raise UserError(f"--fit needs the msdisf Python package or the msdisf program; "
                            f"neither is here ({program}: {error.strerror})") from None
        if done.returncode != 0:
            lines = done.stderr.strip().splitlines() or [f"{program} fit ended with status {done.returncode}"]
            raise UserError(lines[-1])
        try:
            return json.loads(done.stdout)
        except ValueError:
            raise UserError(f"{program} fit did not print a JSON object for {path}") from None
    try:
        return msdisf.fit(msdisf.read_table(path), lags=lags)
    except (ValueError, KeyError, OSError) as error:
        raise UserError(f"{path}: {error}") from None


def short(name, width=40):
    return name if len(name) <= width else name[: width // 2 - 1] + "…" + name[-(width // 2):]


def band(axis, x, values, errors, groups, keep, color):
    if errors is None or groups is None:
        return
    ok = keep & np.isfinite(values) & np.isfinite(errors) & (groups >= MIN_SE_GROUPS)
    if ok.any():
        # Only runs of consecutive drawn rows are joined into one band.
        axis.fill_between(x, values - errors, values + errors, where=ok, interpolate=False,
                          alpha=0.25, linewidth=0, color=color)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog=PROGRAM, description=__doc__.splitlines()[0])
    parser.error = lambda message: (print(f"{PROGRAM}: {message} (see --help)", file=sys.stderr), sys.exit(2))
    parser.add_argument("tables", nargs="+")
    parser.add_argument("-o", "--output", default="msd_isf.png", help="the picture (PNG, PDF, SVG, ...)")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--scales", help="length scales s of the ISF panel, q = 1/s (default 5.36,18.75,58.93,187.5)")
    which.add_argument("--q", help="wave numbers q of the ISF panel")
    parser.add_argument("--min-pairs", type=int, default=10, metavar="N",
                        help="draw only lags averaged over at least N pairs (default 10)")
    parser.add_argument("--fit", metavar="A:B", help="fit and draw msd = 2 d D t^alpha + offset over lags A to B")
    parser.add_argument("--msdisf", default="msdisf", help="the msdisf program, when the package is not installed")
    args = parser.parse_args(argv)
    if args.min_pairs < 0:
        parser.error(f"--min-pairs must be 0 or more, not {args.min_pairs}")
    if args.fit and not re.fullmatch(r"\d+:\d+", args.fit):
        parser.error(f"--fit takes lags A:B, such as 1:10, not {args.fit!r}")
    text, kind = (args.q, "q") if args.q else (args.scales or "5.36,18.75,58.93,187.5", "scale")
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        parser.error(f"--{'q' if kind == 'q' else 'scales'} takes positive numbers separated by commas, not {text!r}")
    if not values or not all(math.isfinite(v) and v > 0 for v in values):
        parser.error(f"--{'q' if kind == 'q' else 'scales'} takes positive numbers separated by commas, not {text!r}")
    args.wanted = [v if kind == "q" else 1.0 / v for v in values]
    args.wanted_text = [f"{kind} {v:g}" for v in values]
    return args


def plot(args, say):
    """Draws the figure for the parsed arguments; say(line) reports notes."""
    tables = []
    for path in args.tables:
        table = read_table(path)
        if table.data.size == 0:
            say(f"{path} has no lags to plot")
            continue
        tables.append(table)
    if not tables:
        raise UserError("no table has lags to plot")
    # Fits first: a fit that cannot be had stops the plot before anything else is said.
    fits = {table.path: fitted(table.path, args.fit, args.msdisf) for table in tables} if args.fit else {}
    by_time = all("time" in table.column for table in tables)
    if not by_time and any("time" in table.column for table in tables):
        say("some tables have no time column: the x axis is the lag in frames for all")
    units = {time_unit(table.options) for table in tables}
    x_label = "lag (frames)"
    if by_time:
        x_label = f"time ({units.pop()})" if len(units) == 1 and None not in units else "time"

    many = len(tables) > CYCLE_TABLES
    colours = (plt.get_cmap("viridis")(np.linspace(0.0, 0.9, len(tables))) if many
               else [f"C{i}" for i in range(len(tables))])
    figure, (ax_msd, ax_ngp, ax_isf) = plt.subplots(1, 3, figsize=(16, 5))
    msd_entries, isf_entries = [], {}
    for index, (table, colour) in enumerate(zip(tables, colours)):
        lag = table.get("lag")
        x = table.get("time") if by_time else lag
        pairs = table.get("pairs")
        keep = np.ones(lag.size, dtype=bool)
        if pairs is None:
            say(f"{table.name}: no pairs column, so every lag is drawn")
        elif args.min_pairs > 0:
            keep = pairs >= args.min_pairs
            if not keep.all():
                say(f"{table.name}: {np.count_nonzero(~keep)} of {lag.size} lags not drawn "
                    f"(fewer than {args.min_pairs} pairs)")
        groups = table.get("se_groups")

        msd = table.get("msd")
        label = short(table.name)
        if msd is not None:
            ok = keep & np.isfinite(msd) & (msd > 0)
            alpha = fit_exponent(x[ok], msd[ok])
            if args.fit:
                f = fits[table.path]
                label += f"\nD = {f['D']:.4g} ± {f['D_se']:.2g}, α = {f['alpha']:.3f} ± {f['alpha_se']:.3f}"
            elif alpha is not None:
                label += f" (α = {alpha:.2f})"
            line = ax_msd.loglog(x[ok], msd[ok], color=colour, label=label)[0]
            msd_entries.append(line)
            band(ax_msd, x, msd, table.get("msd_se"), groups, ok, colour)
            if args.fit:
                first, last = (int(v) for v in args.fit.split(":"))
                inside = np.isfinite(x) & (lag >= first) & (lag <= last)
                t = table.get("time") if "time" in table.column else lag
                model = 2.0 * f.get("dimensions", 2) * f["D"] * t[inside] ** f["alpha"] + f["offset"]
                ax_msd.loglog(x[inside], model, ":", color="black", linewidth=2,
                              label=f"fit, lags {first}-{last}" if index == 0 else None)
        else:
            say(f"{table.name}: no msd column")

        # alpha2, or the job table's ngp
        ngp, ngp_se = table.get("alpha2"), None
        if ngp is None:
            ngp, ngp_se = table.get("ngp"), table.get("ngp_se")
        if ngp is not None:
            ok = keep & np.isfinite(ngp)
            ax_ngp.semilogx(x[ok], ngp[ok], color=colour)
            band(ax_ngp, x, ngp, ngp_se, groups, ok, colour)

        # the isotropic fs, or the job table's isf along x and y
        groups_drawn = (("fs", "-"),) if wave_numbers(table, "fs") else (("isf_x", "-"), ("isf_y", "--"))
        available = wave_numbers(table, groups_drawn[0][0])
        chosen = pick(available, args.wanted)
        if not chosen:
            say(f"{table.name}: no ISF columns")
            continue
        for_q, rank_of = {}, {}
        for rank, (q, asked) in enumerate(zip(chosen, args.wanted_text)):
            for_q.setdefault(q, []).append(asked)
            rank_of.setdefault(q, rank)   # the first request that chose q names its style
        say(f"{table.name}: ISF at " + "; ".join(
            f"q = {q:.6g} (nearest to {asked[0].split()[0]}{'s' if len(asked) > 1 else ''} "
            + ", ".join(a.split()[1] for a in asked) + ")" for q, asked in for_q.items()))
        for q, rank in rank_of.items():
            style = dict(color=f"C{rank}") if len(tables) == 1 else dict(
                color=colour, marker=MARKERS[rank % len(MARKERS)], markevery=0.1, markersize=4)
            isf_entries.setdefault(rank, set()).add(q)
            for group, dashes in groups_drawn:
                key = f"{group}[{q:.6g}]"
                values = table.get(key)
                if values is None:
                    continue
                ok = keep & np.isfinite(values)
                ax_isf.semilogx(x[ok], values[ok], dashes, **style)
                band(ax_isf, x, values, table.get(f"{group}_se[{q:.6g}]"), groups, ok, style["color"])

    ax_msd.set(xlabel=x_label, ylabel="MSD", title="Mean squared displacement")
    ax_ngp.set(xlabel=x_label, ylabel="non-Gaussian parameter", title="Non-Gaussian parameter")
    ax_ngp.axhline(0.0, color="grey", linewidth=0.5)
    ax_isf.set(xlabel=x_label, ylabel="⟨cos(q·d)⟩", title="Intermediate scattering function")
    handles = msd_entries + [h for h in ax_msd.get_lines() if h.get_label() and h.get_label().startswith("fit,")]
    if len(msd_entries) > LEGEND_ENTRIES:
        head, tail = LEGEND_ENTRIES // 2, LEGEND_ENTRIES // 2 - 1
        gap = Line2D([], [], linestyle="none", label=f"… {len(msd_entries) - head - tail} more (colours in order)")
        handles = msd_entries[:head] + [gap] + msd_entries[-tail:] + handles[len(msd_entries):]
    below = 0.0
    if len(msd_entries) > INSIDE_LEGEND:
        # Below the panels, off the curves, in rows that the figure grows to hold.
        columns = 3
        rows = math.ceil(len(handles) / columns) * (2 if args.fit else 1)
        below = 0.25 + 0.19 * rows
        figure.set_size_inches(16, 5 + below)
        figure.legend(handles=handles, loc="lower center", ncol=columns, fontsize="small", frameon=False)
    elif handles:
        ax_msd.legend(handles=handles, fontsize="small")
    isf_handles = []
    for rank, qs in sorted(isf_entries.items()):
        text = f"q = {next(iter(qs)):.4g}" if len(qs) == 1 else "q nearest to " + args.wanted_text[rank]
        if len(tables) == 1:
            isf_handles.append(Line2D([], [], color=f"C{rank}", label=text))
        else:
            isf_handles.append(Line2D([], [], color="grey", marker=MARKERS[rank % len(MARKERS)],
                                      linestyle="none", label=text))
    if isf_handles:
        isf_handles += [Line2D([], [], color="black", linestyle="-", label="x, or fs"),
                        Line2D([], [], color="black", linestyle="--", label="y")]
        ax_isf.legend(handles=isf_handles, fontsize="small")
    for axis in (ax_msd, ax_ngp, ax_isf):
        axis.grid(True, which="both", alpha=0.3)
    figure.tight_layout(rect=(0, below / (5 + below), 1, 1))
    return figure


def picture_kind(output, inputs):
    """The picture format the output's extension names; never an input's path."""
    for path in inputs:
        if os.path.exists(output) and os.path.exists(path) and os.path.samefile(output, path):
            raise UserError(f"{output} is one of the input tables; choose another -o")
    kind = os.path.splitext(output)[1][1:].lower() or "png"
    if kind not in FigureCanvasBase.get_supported_filetypes():
        raise UserError(f"{output}: cannot write a .{kind} picture")
    folder = os.path.dirname(os.path.realpath(output)) or "."
    if os.path.isdir(output):
        raise UserError(f"{output} is a directory; -o names the picture file")
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise UserError(f"{output}: the folder {folder} does not exist or cannot be written")
    return kind


def save(figure, output, kind):
    """Writes the picture beside its destination and renames it into place,
    so a failure leaves any earlier file as it was. Through a symbolic link
    the link's target is replaced."""
    output = os.path.realpath(output) if os.path.islink(output) else output
    folder = os.path.dirname(output) or "."
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=".plot_msd_isf.", suffix="." + kind, dir=folder)
    except OSError as error:
        raise UserError(f"{output}: {error.strerror}") from None
    try:
        with os.fdopen(descriptor, "wb") as stream:
            figure.savefig(stream, format=kind, dpi=100)
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, output)
    except OSError as error:
        os.unlink(temporary)
        raise UserError(f"{output}: {error.strerror}") from None


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def main(argv=None):
    args = parse_arguments(argv)
    try:
        kind = picture_kind(args.output, args.tables)
        figure = plot(args, lambda line: print(f"{PROGRAM}: {line}", file=sys.stderr))
        save(figure, args.output, kind)
    except UserError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1
    print(f"Wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
