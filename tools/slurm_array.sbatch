#!/bin/bash
# A SLURM job array over your own files, or over the job table.
#
#   sbatch --array=0-9 tools/slurm_array.sbatch LIST [FILES_PER_TASK] [msdisf options ...]
#       Task i analyses lines i*FILES_PER_TASK+1 ... (i+1)*FILES_PER_TASK of
#       LIST (one input path per line; default 1 per task) with build/msdisf,
#       writing the tables to results/ (or --output-dir DIR among the options).
#       The task's exit status is the worst of its files'.
#   sbatch tools/slurm_array.sbatch
#       One job of the table per task (array 0-8): build/msd_isf <task id> 9.
# Submit from the repository root after building into build/. Without SLURM
# (no srun), the script runs the task named by SLURM_ARRAY_TASK_ID itself.
#SBATCH --job-name=msdisf
#SBATCH --array=0-8
#SBATCH --cpus-per-task=2
#SBATCH --mem=8G
#SBATCH --time=04:00:00
#SBATCH --output=msdisf_%A_task%a.log

set -euo pipefail
root="${SLURM_SUBMIT_DIR:-$(pwd)}"
task="${SLURM_ARRAY_TASK_ID:?SLURM_ARRAY_TASK_ID names the task}"
export OMP_NUM_THREADS="${SLURM_CPUS_PER_TASK:-1}"
launch=()
command -v srun >/dev/null && launch=(srun)

if [ "$#" -eq 0 ]; then
  cd "$root/build"   # job paths are relative to the parent of the working directory
  exec "${launch[@]}" ./msd_isf "$task" "${SLURM_ARRAY_TASK_COUNT:-9}"
fi

list="$1"
shift
per_task=1
if [ "$#" -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  per_task="$1"
  shift
fi
mine=$(mktemp)
trap 'rm -f "$mine"' EXIT
grep -v -e '^#' -e '^[[:space:]]*$' "$list" | sed -n "$((task * per_task + 1)),$(((task + 1) * per_task))p" >"$mine"
if [ ! -s "$mine" ]; then
  echo "task $task: no files left in $list"
  exit 0
fi
output=(--output-dir results)
for option in "$@"; do [ "$option" = "--output-dir" ] && output=(); done
cd "$root"
exec "${launch[@]}" "$root/build/msdisf" --inputs-from "$mine" "${output[@]}" "$@"
