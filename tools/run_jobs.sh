#!/usr/bin/env bash
# Runs many analyses on one machine, a bounded number at once, and reports
# each one's exit status.
#   tools/run_jobs.sh [-j PARALLEL] [BUILD_DIR]
#       the nine jobs of the table (logs in BUILD_DIR/jobs/rank<R>.log)
#   tools/run_jobs.sh [-j PARALLEL] [BUILD_DIR] --list LIST [msdisf options ...]
#       msdisf on every file named in LIST (one path per line), each with the
#       options given (for instance --output-dir results --lags log:200)
# Defaults: 2 at once, BUILD_DIR build. Exits with the worst status.
set -uo pipefail
parallel=2
if [ "${1:-}" = "-j" ]; then
  parallel="$2"
  shift 2
fi
build=build
if [ "$#" -gt 0 ] && [ "$1" != "--list" ]; then
  build="$1"
  shift
fi
build=$(cd "$build" 2>/dev/null && pwd) || { echo "run_jobs.sh: no build folder" >&2; exit 2; }

names=()
commands=()
if [ "${1:-}" = "--list" ]; then
  list="$2"
  shift 2
  [ -x "$build/msdisf" ] || { echo "run_jobs.sh: no msdisf in $build (build it first)" >&2; exit 2; }
  while IFS= read -r file || [ -n "$file" ]; do
    file="${file%$'\r'}"
    [ -z "$file" ] || [ "${file:0:1}" = "#" ] && continue
    names+=("$file")
    commands+=("$(printf '%q ' "$build/msdisf" "$@" "$file")")
  done <"$list"
else
  [ -x "$build/msd_isf" ] || { echo "run_jobs.sh: no msd_isf in $build (build it first)" >&2; exit 2; }
  mkdir -p "$build/jobs"
  for rank in 0 1 2 3 4 5 6 7 8; do
    names+=("rank $rank")
    commands+=("cd $(printf '%q' "$build") && ./msd_isf $rank 9 >jobs/rank$rank.log 2>&1")
  done
fi

pids=()
for command in "${commands[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
  bash -c "$command" &
  pids+=($!)
done
worst=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}"
  status=$?
  echo "${names[$i]}: exit status $status"
  [ "$status" -gt "$worst" ] && worst=$status
done
exit "$worst"
