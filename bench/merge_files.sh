#!/usr/bin/env bash
# Merging many sums files as a whole process: writes FILES small shard CSVs
# (2 Brownian particles of 1001 frames each, 1 % of positions missing, the
# particle ids distinct across shards), turns each into a sums file with
# `msdisf --sums --lags max:LAGS` (setup, not timed), then times
# `msdisf merge *.sums -o pooled.tsv` REPS times as a whole process and prints
# each wall time, the median and the peak memory.
#   bench/merge_files.sh [BUILD_DIR] [FILES] [LAGS] [REPS]   (defaults: build, 1000, 1000, 5)
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
files="${2:-1000}"
lags="${3:-1000}"
reps="${4:-5}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/shards" "$work/sums"
/usr/bin/python3 - "$work/shards" "$files" "$lags" <<'PY'
import sys
import numpy as np
folder, files, lags = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
frames = lags + 1
rng = np.random.default_rng(5)
for shard in range(files):
    with open(f"{folder}/shard{shard:05d}.csv", "w") as out:
        out.write("particle,frame,x,y\n")
        for particle in (2 * shard, 2 * shard + 1):
            xy = rng.normal(0.0, np.sqrt(2.0), size=(frames, 2)).cumsum(axis=0) + 1000.0
            missing = rng.random(frames) < 0.01
            lines = [f"{particle},{f},nan,nan" if missing[f] else f"{particle},{f},{xy[f, 0]:.6f},{xy[f, 1]:.6f}"
                     for f in range(frames)]
            out.write("\n".join(lines) + "\n")
PY
# The shards' notes about missing positions are expected; anything else shows.
(cd "$work/shards" && "$build/msdisf" -q --sums --lags "max:$lags" --output-dir "$work/sums" shard*.csv) \
  2> >(grep -v 'have no position' >&2)
count=$(ls "$work/sums" | wc -l)
echo "setup: $count sums files of $lags lags, $(du -sm "$work/sums" | cut -f1) MB in all"
cd "$work/sums"
times=()
for ((i = 1; i <= reps; ++i)); do
  /usr/bin/time -o "$work/time" -f "%e %M" "$build/msdisf" merge -q ./*.sums -o "$work/pooled.tsv"
  read -r seconds kib < "$work/time"
  echo "merge run $i: $seconds s wall, peak memory $((kib / 1024)) MiB"
  times+=("$seconds")
done
printf '%s\n' "${times[@]}" | sort -g | awk '{ t[NR] = $1 } END {
  m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
  printf "merge of %d files: median %.2f s (min %.2f, max %.2f) over %d runs\n", '"$count"', m, t[1], t[NR], NR }'
echo "pooled table: $(($(wc -l < "$work/pooled.tsv") - 2)) rows"
