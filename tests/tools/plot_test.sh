#!/usr/bin/env bash
# Plots a result table of the shipped sample data and checks that a PNG
# picture came out. Usage: plot_test.sh MSDISF_BINARY SOURCE_DIR
set -euo pipefail
msdisf="$1"
source_dir="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$msdisf" -q --lags max:300 --errors --scales 5.36 -o "$work/single.tsv" "$source_dir/data/FreeQuorix/FreeQuorix_cropped_combined_filtered.dat"
"$msdisf" -q --format multi --job-table-output -o "$work/pooled.dat" "$source_dir/data/mdf2/MDF2_cropped_distinct.dat"
# With errors, bands and a fit drawn by the msdisf program.
/usr/bin/python3 "$source_dir/tools/plot_msd_isf.py" "$work/single.tsv" --fit 1:20 --msdisf "$msdisf" -o "$work/fit.png"
[ -s "$work/fit.png" ] || { echo "no picture with --fit" >&2; exit 1; }
/usr/bin/python3 "$source_dir/tools/plot_msd_isf.py" "$work/single.tsv" "$work/pooled.dat" -o "$work/plot.png"
signature=$(head -c 8 "$work/plot.png" | od -An -tx1 | tr -d ' \n')
[ "$signature" = "89504e470d0a1a0a" ] || { echo "not a PNG file" >&2; exit 1; }
size=$(stat -c %s "$work/plot.png")
[ "$size" -gt 20000 ] || { echo "the picture is suspiciously small ($size bytes)" >&2; exit 1; }
echo "plot written: $size bytes"
