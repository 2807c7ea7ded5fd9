#!/usr/bin/env bash
# Runs documented examples as written, in a scratch copy of the data with
# build/ pointing at BUILD_DIR.
#   readme_examples.sh SOURCE_DIR BUILD_DIR
#       The README's "Analysing your own files" block (after the marker
#       <!-- example: own-files -->), and checks what it wrote. sbatch is
#       stood in for by running each array task in turn.
#   readme_examples.sh SOURCE_DIR BUILD_DIR --docs
#       Every block after a <!-- example: run --> marker in README.md and
#       docs/*.md: ```sh blocks with bash (stopping at the first failing
#       command), ```python blocks with /usr/bin/python3 and the built
#       package (skipped when it was not built). The blocks of one page run in order in one folder, so a
#       block may use what an earlier one wrote. In sh blocks, lines starting
#       with "#   " are output the commands must print, each as a whole line.
set -euo pipefail
source_dir="$1"
build_dir="$2"
mode="${3:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A folder laid out as the repository root: data/ copied, tools/ and build/ linked.
scratch() {
  mkdir -p "$1"
  cp -r "$source_dir/data" "$1/data"
  ln -s "$source_dir/tools" "$1/tools"
  ln -s "$build_dir" "$1/build"
}

if [ "$mode" = "--docs" ]; then
  failures=0
  blocks=0
  for page in "$source_dir/README.md" "$source_dir"/docs/*.md; do
    grep -q '^<!-- example: run -->$' "$page" || continue
    name=$(basename "$page" .md)
    dir="$work/$name"
    scratch "$dir"
    # Splits the page's marked blocks into block-N.sh / block-N.py.
    awk -v dir="$dir" '
      /^<!-- example: run -->$/ { armed = 1; next }
      armed && /^```(sh|python)$/ { n++; ext = ($0 ~ /python/) ? "py" : "sh"; file = sprintf("%s/block-%02d.%s", dir, n, ext); inside = 1; armed = 0; next }
      inside && /^```$/ { inside = 0; close(file); next }
      inside { print > file; next }
      { armed = 0 }
    ' "$page"
    for block in "$dir"/block-*; do
      # Python blocks need the package (not built with -DMSDISF_PYTHON=OFF).
      [[ "$block" == *.py && ! -d "$build_dir/python/msdisf" ]] && continue
      blocks=$((blocks + 1))
      out="$block.out"
      case "$block" in
        *.sh) (cd "$dir" && bash -e -o pipefail "$block") >"$out" 2>&1 || { echo "$name: ${block##*/} failed:" >&2; cat "$out" >&2; failures=$((failures + 1)); continue; } ;;
        *.py) (cd "$dir" && PYTHONPATH="$build_dir/python" /usr/bin/python3 "$block") >"$out" 2>&1 || { echo "$name: ${block##*/} failed:" >&2; cat "$out" >&2; failures=$((failures + 1)); continue; } ;;
      esac
      [[ "$block" == *.sh ]] || continue
      while IFS= read -r expected; do
        grep -qxF -- "$expected" "$out" || { echo "$name: ${block##*/} did not print: $expected" >&2; failures=$((failures + 1)); }
      done < <(sed -n 's/^#   //p' "$block")
    done
  done
  [ "$failures" -eq 0 ] || { echo "$failures documented examples failed" >&2; exit 1; }
  echo "$blocks documented examples ran"
  exit 0
fi

scratch "$work"
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
