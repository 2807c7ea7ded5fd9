#!/usr/bin/env bash
# Plots result tables of the shipped sample data and checks that a PNG
# picture came out; then checks on a small table what is drawn (the time axis,
# lags with too few pairs, error bands by se_groups, the ISF's wave number)
# and that --fit without the package or the program is one line.
# Usage: plot_test.sh MSDISF_BINARY SOURCE_DIR
set -euo pipefail
msdisf="$1"
source_dir="$2"
plot="$source_dir/tools/plot_msd_isf.py"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$msdisf" -q --lags max:300 --errors --scales 5.36 -o "$work/single.tsv" "$source_dir/data/Simulation_data/Noise/combined/1.dat"
"$msdisf" -q --format multi --job-table-output -o "$work/pooled.dat" "$source_dir/data/mdf2/MDF2_cropped_distinct.dat"
# With errors, bands and a fit drawn by the msdisf program.
/usr/bin/python3 "$plot" "$work/single.tsv" --fit 1:20 --msdisf "$msdisf" -o "$work/fit.png"
[ -s "$work/fit.png" ] || { echo "no picture with --fit" >&2; exit 1; }
/usr/bin/python3 "$plot" "$work/single.tsv" "$work/pooled.dat" -o "$work/plot.png"
signature=$(head -c 8 "$work/plot.png" | od -An -tx1 | tr -d ' \n')
[ "$signature" = "89504e470d0a1a0a" ] || { echo "not a PNG file" >&2; exit 1; }
size=$(stat -c %s "$work/plot.png")
[ "$size" -gt 20000 ] || { echo "the picture is suspiciously small ($size bytes)" >&2; exit 1; }

# Four lags: pairs 100, 50, 9, 3 and se_groups 20, 12, 5, 1.
cat >"$work/small.tsv" <<'EOF'
# msdisf 0.1.0; input: small.txt; options: --dt 0.5 --errors --q 2,0.5
lag	time	pairs	msd	ngp	isf_x[2]	isf_x[0.5]	msd_se	se_groups
1	0.5	100	1	0	0.9	0.99	0.1	20
2	1	50	2	0.1	0.8	0.98	0.1	12
3	1.5	9	3	0.2	0.7	0.97	0.1	5
4	2	3	4	0.3	0.6	0.96	0.1	1
EOF
/usr/bin/python3 - "$plot" "$work/small.tsv" <<'EOF'
import runpy
import sys
from types import SimpleNamespace

plot = SimpleNamespace(**runpy.run_path(sys.argv[1]))
table = sys.argv[2]
cases = [  # arguments, times drawn, the ISF note
    (["--q", "1.8"], [0.5, 1.0], "small.tsv: ISF at q = 2 (nearest to q 1.8)"),
    (["--min-pairs", "0", "--scales", "1.5,3"], [0.5, 1.0, 1.5, 2.0], "small.tsv: ISF at q = 0.5 (nearest to scales 1.5, 3)"),
    (["--min-pairs", "9"], [0.5, 1.0, 1.5], None),
]
for arguments, times, isf_note in cases:
    notes = []
    figure = plot.plot(plot.parse_arguments([table] + arguments), notes.append)
    ax_msd, ax_ngp, ax_isf = figure.axes
    for axis in (ax_msd, ax_ngp, ax_isf):
        assert axis.get_xlabel() == "time (dt = 0.5)", axis.get_xlabel()
        assert axis.get_lines()[0].get_xdata().tolist() == times, (arguments, axis.get_lines()[0].get_xdata())
    # The band covers only the rows with at least 10 groups.
    edges = ax_msd.collections[0].get_paths()[0].vertices[:, 0]
    assert edges.min() == 0.5 and edges.max() == 1.0, (arguments, edges)
    assert isf_note is None or isf_note in notes, notes
print("small table drawn as expected")
EOF

# --fit with neither the package (a stand-in that cannot be imported) nor the program.
mkdir -p "$work/no_package/msdisf"
echo 'raise ImportError("not built")' >"$work/no_package/msdisf/__init__.py"
status=0
PYTHONPATH="$work/no_package" /usr/bin/python3 "$plot" "$work/small.tsv" --fit 1:2 --msdisf "$work/no_program" \
  -o "$work/none.png" 2>"$work/fit.err" || status=$?
[ "$status" -ne 0 ] && [ "$(wc -l <"$work/fit.err")" -eq 1 ] && [ ! -e "$work/none.png" ] \
  || { echo "--fit without msdisf: status $status, $(cat "$work/fit.err")" >&2; exit 1; }
echo "plots written and checked: $size bytes"
