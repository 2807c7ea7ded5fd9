#!/bin/bash
# A SLURM job array over your own files, or over the job table.
#
#   sbatch --array=0-9 /path/to/tools/slurm_array.sbatch LIST [FILES_PER_TASK] [msdisf options ...]
#       Task i analyses lines i*FILES_PER_TASK+1 ... (i+1)*FILES_PER_TASK of
#       LIST (one input path per line; default 1 per task) with msdisf,
#       writing the tables to results/ (or --output-dir DIR among the options).
#       The task's exit status is the worst of its files'. Submit from any
#       folder: LIST, the paths in it and results/ are taken relative to the
#       folder sbatch was called from. msdisf is the one on PATH when there is
#       one, otherwise build/msdisf of the repository this script lives in;
#       each task says which. Neither: one line and status 127.
#       Give every file the same lags with --lags log:K:L (K log-spaced lags
#       up to L): plain log:K spaces the lags over each file's own span, so
#       tables of files of different lengths would not line up. For example
#         sbatch --array=0-4 ~/msdisf/tools/slurm_array.sbatch files.txt 2 --lags log:200:100000
#   sbatch /path/to/tools/slurm_array.sbatch
#       One job of the table per task (array 0-8): build/msd_isf <task id> 9.
#       This mode needs the repository: its build/msd_isf and its data/.
# Without SLURM the script runs the task named by SLURM_ARRAY_TASK_ID itself:
#   SLURM_ARRAY_TASK_ID=0 tools/slurm_array.sbatch files.txt
#SBATCH --job-name=msdisf
#SBATCH --array=0-8
#SBATCH --cpus-per-task=2
#SBATCH --mem=8G
#SBATCH --time=04:00:00
#SBATCH --output=msdisf_%A_task%a.log

set -euo pipefail
name=slurm_array.sbatch
task="${SLURM_ARRAY_TASK_ID:-}"
[[ "$task" =~ ^[0-9]+$ ]] || { echo "$name: SLURM_ARRAY_TASK_ID must name the task (a number), not '$task'" >&2; exit 2; }
export OMP_NUM_THREADS="${SLURM_CPUS_PER_TASK:-1}"
launch=()
[ -n "${SLURM_JOB_ID:-}" ] && command -v srun >/dev/null && launch=(srun)

# sbatch runs a copy of this script from its spool folder; the job's record
# names the script that was submitted.
script="${BASH_SOURCE[0]}"
if [ -n "${SLURM_JOB_ID:-}" ] && command -v scontrol >/dev/null; then
  submitted=$(scontrol show job "$SLURM_JOB_ID" 2>/dev/null | sed -n 's/^ *Command=\([^ ]*\).*/\1/p' | head -n 1)
  [ -n "$submitted" ] && [ -f "$submitted" ] && script="$submitted"
fi
repository=$(cd "$(dirname "$script")/.." 2>/dev/null && pwd) || repository=""
cd "${SLURM_SUBMIT_DIR:-.}"

if [ "$#" -eq 0 ]; then
  if [ -z "$repository" ] || [ ! -x "$repository/build/msd_isf" ]; then
    echo "$name: the job table needs the repository with msd_isf built into build/ (none at ${repository:-?}/build)" >&2
    exit 127
  fi
  echo "task $task: job table with $repository/build/msd_isf"
  cd "$repository/build"   # job paths are relative to the parent of the working directory
  exec "${launch[@]}" ./msd_isf "$task" "${SLURM_ARRAY_TASK_COUNT:-9}"
fi

if program=$(command -v msdisf); then
  from="on PATH"
elif [ -n "$repository" ] && [ -x "$repository/build/msdisf" ]; then
  program="$repository/build/msdisf"
  from="built in the repository"
else
  echo "$name: no msdisf on PATH nor in ${repository:-?}/build; install it or build it there" >&2
  exit 127
fi

list="$1"
shift
[ -r "$list" ] && [ -f "$list" ] || { echo "$name: cannot read the list $list (from $(pwd))" >&2; exit 1; }
per_task=1
if [ "$#" -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  per_task="$1"
  shift
fi
[ "$per_task" -gt 0 ] || { echo "$name: FILES_PER_TASK must be at least 1" >&2; exit 2; }
mine=$(mktemp)
trap 'rm -f "$mine"' EXIT
grep -v -e '^#' -e '^[[:space:]]*$' "$list" | sed -n "$((task * per_task + 1)),$(((task + 1) * per_task))p" >"$mine" || true
if [ ! -s "$mine" ]; then
  echo "task $task: no files left in $list"
  exit 0
fi
output=(--output-dir results)
for option in "$@"; do
  case "$option" in --output-dir | --output-dir=* | -o | --output | --output=*) output=() ;; esac
done
echo "task $task: $program ($from)"
# Not exec: the trap removes the task's list when msdisf is done with it.
"${launch[@]}" "$program" --inputs-from "$mine" "${output[@]}" "$@"
