#!/usr/bin/env bash
# Builds msd_isf and runs one job of the job table on the shipped sample data.
#   tools/run_sample.sh [RANK]     (default 2: the combined FreeQuorix trajectory)
set -euo pipefail
cd "$(dirname "$0")/.."
rank="${1:-2}"
tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target msd_isf
# Job paths are relative to the parent of the working directory: run from build/.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
(cd build && ./msd_isf "$rank" 1) | tee "$log"
table=$(sed -n 's/^Write ISF and MSD to: \.\.\///p' "$log")
if [ -f "$table" ]; then
  echo "Result table: $table"
else
  echo "No table for rank $rank (the simulation ranks only read their files)."
fi
