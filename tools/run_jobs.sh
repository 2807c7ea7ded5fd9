#!/usr/bin/env bash
# Runs all nine jobs of the table on one machine, a bounded number at once,
# and reports each rank's exit status. Logs go to <build>/jobs/rank<R>.log.
#   tools/run_jobs.sh [-j PARALLEL] [BUILD_DIR]      (defaults: 2, build)
# Exits with status 1 when any rank failed.
set -uo pipefail
parallel=2
if [ "${1:-}" = "-j" ]; then
  parallel="$2"
  shift 2
fi
build="${1:-build}"
[ -x "$build/msd_isf" ] || { echo "run_jobs.sh: no msd_isf in $build (build it first)" >&2; exit 2; }
mkdir -p "$build/jobs"
cd "$build"
declare -A pids
for rank in 0 1 2 3 4 5 6 7 8; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
  ./msd_isf "$rank" 9 >"jobs/rank$rank.log" 2>&1 &
  pids[$rank]=$!
done
failed=0
for rank in 0 1 2 3 4 5 6 7 8; do
  wait "${pids[$rank]}"
  status=$?
  echo "rank $rank: exit status $status (log: $build/jobs/rank$rank.log)"
  [ "$status" -eq 0 ] || failed=1
done
exit "$failed"
