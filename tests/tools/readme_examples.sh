#!/usr/bin/env bash
# Runs the README's "Analysing your own files" example block as written, in a
# scratch copy of the data with build/ pointing at BUILD_DIR, and checks what
# it wrote. sbatch is stood in for by running each array task in turn.
#   readme_examples.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build_dir="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$source_dir/data" "$work/data"
ln -s "$source_dir/tools" "$work/tools"
ln -s "$build_dir" "$work/build"
# The block after the marker, without the build line (the build exists).
sed -n '/<!-- example: own-files/,/^```$/p' "$source_dir/README.md" | sed '1,2d;$d' | grep -v '^cmake ' >"$work/example.sh"
sbatch() {
  local range="${1#--array=}"
  shift
  local script="$1"
  shift
  for task in $(seq "${range%-*}" "${range#*-}"); do
    SLURM_SUBMIT_DIR="$work" SLURM_ARRAY_TASK_ID="$task" bash "$work/$script" "$@"
  done
}
cd "$work"
source ./example.sh
check() { [ -s "$1" ] || { echo "missing $1" >&2; exit 1; }; }
check data/tracker/tracks.msdisf.tsv
check run.tsv
grep -q $'^lag\ttime\tpairs\tmsd' run.tsv || { echo "run.tsv has no time column" >&2; exit 1; }
[ "$(grep -vc '^#' run.tsv)" -eq 201 ] || { echo "run.tsv should hold 200 lags" >&2; exit 1; }
[ "$(ls results | wc -l)" -eq "$(wc -l <files.txt)" ] || { echo "the array did not write a table per file" >&2; exit 1; }
lags() { grep -v '^#' "$1" | cut -f1; }
for table in results/*; do
  [ "$(lags "$table")" = "$(lags results/tracks.msdisf.tsv)" ] || { echo "$table has other lags than tracks" >&2; exit 1; }
done
grep -q $'\tmsd_se\t' errors.tsv || { echo "errors.tsv has no msd_se column" >&2; exit 1; }
echo "README examples ran"
