#!/usr/bin/env bash
# Runs tools/slurm_array.sbatch without SLURM, each task by hand, from a data
# folder outside the repository: first with msdisf only in the build folder
# beside the script, then with msdisf only on PATH, then with neither.
#   slurm_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build_dir="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }

# A repository with msdisf built, and one with the script alone.
mkdir -p "$work/repo/tools" "$work/repo/build" "$work/alone/tools" "$work/bin" "$work/installed"
cp "$source_dir/tools/slurm_array.sbatch" "$work/repo/tools/"
cp "$source_dir/tools/slurm_array.sbatch" "$work/alone/tools/"
ln -s "$build_dir/msdisf" "$work/repo/build/msdisf"
ln -s "$build_dir/msdisf" "$work/installed/msdisf"
# PATH holds only what the script itself needs, so no other msdisf is found.
for tool in grep sed mktemp rm dirname head; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done

mkdir -p "$work/data/sim"
cp "$source_dir/data/tracker/tracks.csv" "$work/data/"
cp "$source_dir"/data/Simulation_data/Noise/combined/{1,2}.dat "$work/data/sim/"
printf '# three files, two per task\ntracks.csv\nsim/1.dat\n\nsim/2.dat\n' >"$work/data/files.txt"
cd "$work/data"
task() {  # task SCRIPT_FOLDER PATH ID ARGS...: runs one array task, output in task.out/task.err
  local folder="$1" path="$2" id="$3"
  shift 3
  set +e
  env -u SLURM_JOB_ID -u SLURM_SUBMIT_DIR PATH="$path" SLURM_ARRAY_TASK_ID="$id" \
    /bin/bash "$work/$folder/tools/slurm_array.sbatch" "$@" >task.out 2>task.err
  status=$?
  set -e
}

for id in 0 1 2; do
  task repo "$work/bin" "$id" files.txt 2 --lags log:20:1000 -q
  [ "$status" -eq 0 ] || fail "task $id: status $status: $(cat task.err)"
done
grep -q "no files left" task.out || fail "task 2 should find no files left: $(cat task.out)"
task repo "$work/bin" 0 files.txt 2 --lags log:20:1000 -q
grep -qF "task 0: $work/repo/build/msdisf (built in the repository)" task.out || fail "task 0 did not say which msdisf: $(cat task.out)"
for table in tracks 1 2; do
  [ -s "results/$table.msdisf.tsv" ] || fail "no table results/$table.msdisf.tsv: $(ls -R results)"
done
# log:K:L: the same lags in every table, whatever each file's span.
lags() { grep -v '^#' "$1" | cut -f1; }
[ "$(lags results/tracks.msdisf.tsv)" = "$(lags results/2.msdisf.tsv)" ] || fail "the tables' lags differ"

# msdisf on PATH is preferred; the script alone finds it there.
rm -r results
task alone "$work/installed:$work/bin" 1 files.txt 2 --output-dir out -q
[ "$status" -eq 0 ] || fail "PATH run: status $status: $(cat task.err)"
grep -qF "task 1: $work/installed/msdisf (on PATH)" task.out || fail "the PATH run did not say which msdisf: $(cat task.out)"
[ -s out/2.msdisf.tsv ] && [ ! -e results ] || fail "the PATH run wrote elsewhere than --output-dir"

# Neither, and the job table without a repository: one line each, status 127.
task alone "$work/bin" 0 files.txt
[ "$status" -eq 127 ] && [ "$(wc -l <task.err)" -eq 1 ] || fail "no msdisf: status $status, $(cat task.err)"
task alone "$work/installed:$work/bin" 0
[ "$status" -eq 127 ] && grep -q "needs the repository" task.err || fail "job table alone: status $status, $(cat task.err)"
echo "slurm_array.sbatch ran from $work/data"
