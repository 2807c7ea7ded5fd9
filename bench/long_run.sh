#!/usr/bin/env bash
# The whole msdisf run on one long trajectory: reading the text file,
# computing 200 log-spaced lags with every default column, writing the table.
# Prints the wall time and peak memory.
#   bench/long_run.sh [BUILD_DIR] [FRAMES]     (defaults: build, 10000000)
set -euo pipefail
build="${1:-build}"
frames="${2:-10000000}"
file=$(mktemp --suffix=.txt)
trap 'rm -f "$file" "$file.tsv"' EXIT
/usr/bin/python3 - "$file" "$frames" <<'PY'
import sys
import numpy as np
path, frames = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(11)
xy = rng.normal(0.0, np.sqrt(2.0), size=(frames, 2)).cumsum(axis=0) + 1000.0
keep = rng.random(frames) >= 0.01   # 1 % of the frames missing
with open(path, "w") as out:
    out.write("frame x y\n")
    chunk = 1_000_000
    for start in range(0, frames, chunk):
        rows = np.nonzero(keep[start:start + chunk])[0] + start
        np.savetxt(out, np.column_stack([rows, xy[rows]]), fmt=["%d", "%.6f", "%.6f"])
PY
echo "input: $frames frames, $(du -m "$file" | cut -f1) MB"
/usr/bin/time -f "whole run: %e s, peak memory %M KiB" "$build/msdisf" -q --lags log:200 -o "$file.tsv" "$file"
