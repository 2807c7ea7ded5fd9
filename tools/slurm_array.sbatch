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
#   sbatch --array=0-9 /path/to/tools/slurm_array.sbatch --pool DIR LIST [FILES_PER_TASK] [msdisf options ...]
#   sbatch --array=0-99 /path/to/tools/slurm_array.sbatch --pool DIR --shards 100 FILE [msdisf options ...]
#       One table of all the data, pooled: task i writes the lag sums (--sums)
#       of its files, or of its shard i/100 of FILE's particles (--shard), to
#       DIR/task_i/, and marks itself done in DIR/done/. Give fixed lags
#       (--lags log:K:L, max:L or a list). Files reusing the same particle
#       ids need --id-prefix-from-file among the options.
#   sbatch --dependency=afterok:JOB --array=0 /path/to/tools/slurm_array.sbatch --merge DIR [msdisf merge options ...]
#       Once every task of array job JOB is done: msdisf merge of all of
#       DIR's sums into DIR/pooled.msdisf.tsv (or -o TABLE). Refused while a
#       task has not marked itself done.
#   /path/to/tools/slurm_array.sbatch --submit [--print-merge] --pool DIR ...
#       On the login node: submits the --pool array with as many tasks as it
#       needs, then the --merge job depending on it; with --print-merge,
#       prints that sbatch line instead of submitting it.
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
fail() { echo "$name: $1" >&2; exit "${2:-2}"; }

# The mode, from the leading options.
pool="" shards=0 submit=0 print_merge=0 merge=0
while [ "$#" -gt 0 ]; do
  case "$1" in
    --submit) submit=1; shift ;;
    --print-merge) print_merge=1; shift ;;
    --pool | --merge)
      [ "$#" -ge 2 ] && [ -n "$2" ] || fail "$1 needs a folder"
      [ "$1" = --merge ] && merge=1
      pool="$2"
      shift 2
      [ "$merge" = 1 ] && break ;;
    --shards)
      [ "$#" -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] && [ "$2" -ge 1 ] || fail "--shards takes a whole number of at least 1"
      shards="$2"
      shift 2 ;;
    *) break ;;
  esac
done
[ "$merge" = 0 ] || [ "$submit" = 0 ] || fail "--submit goes with --pool, not --merge"
[ "$submit" = 1 ] && [ -z "$pool" ] && fail "--submit needs --pool DIR"
[ "$print_merge" = 1 ] && [ "$submit" = 0 ] && fail "--print-merge goes with --submit"
[ "$shards" -gt 0 ] && [ -z "$pool" ] && fail "--shards goes with --pool DIR"

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
script_path="$(cd "$(dirname "$script")" 2>/dev/null && pwd)/${script##*/}"
cd "${SLURM_SUBMIT_DIR:-.}"

# The files of LIST, without comments and blank lines.
listed() {
  [ -r "$1" ] && [ -f "$1" ] || fail "cannot read the list $1 (from $(pwd))" 1
  grep -v -e '^#' -e '^[[:space:]]*$' "$1" || true
}
# The tasks a pool needs: one per shard, or per FILES_PER_TASK files of LIST.
pool_tasks() {  # pool_tasks LIST_OR_FILE [FILES_PER_TASK]
  if [ "$shards" -gt 0 ]; then
    echo "$shards"
  else
    local files per="${2:-1}"
    files=$(listed "$1" | wc -l)
    echo $(((files + per - 1) / per))
  fi
}

if [ "$submit" = 1 ]; then
  [ "$#" -ge 1 ] || fail "--submit --pool DIR needs LIST (or --shards N FILE)"
  command -v sbatch >/dev/null || fail "no sbatch on PATH: run this on a SLURM login node" 127
  per=1
  [ "$shards" = 0 ] && [ "$#" -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] && per="$2"
  [ "$per" -gt 0 ] || fail "FILES_PER_TASK must be at least 1"
  tasks=$(pool_tasks "$1" "$per")
  [ "$tasks" -gt 0 ] || fail "the list $1 names no files" 1
  sharding=()
  [ "$shards" -gt 0 ] && sharding=(--shards "$shards")
  array=$(sbatch --parsable --array="0-$((tasks - 1))" "$script_path" --pool "$pool" "${sharding[@]}" "$@")
  array="${array%%;*}"
  echo "array job $array: $tasks tasks writing sums to $pool"
  merge_line=(sbatch --dependency="afterok:$array" --array=0 "$script_path" --merge "$pool")
  if [ "$print_merge" = 1 ]; then
    echo "${merge_line[*]}"
  else
    merged=$("${merge_line[@]}")
    echo "merge job ${merged##* }: $pool/pooled.msdisf.tsv once every task is done"
  fi
  exit 0
fi

task="${SLURM_ARRAY_TASK_ID:-}"
if [ "$merge" = 0 ]; then
  [[ "$task" =~ ^[0-9]+$ ]] || fail "SLURM_ARRAY_TASK_ID must name the task (a number), not '$task'"
fi

if [ "$#" -eq 0 ] && [ -z "$pool" ]; then
  if [ -z "$repository" ] || [ ! -x "$repository/build/msd_isf" ]; then
    fail "the job table needs the repository with msd_isf built into build/ (none at ${repository:-?}/build)" 127
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
  fail "no msdisf on PATH nor in ${repository:-?}/build; install it or build it there" 127
fi

if [ "$merge" = 1 ]; then
  [ -r "$pool/expected" ] || fail "$pool holds no pool (no $pool/expected): run the --pool tasks first" 1
  tasks=$(sed -n 's/^tasks //p' "$pool/expected")
  [[ "$tasks" =~ ^[0-9]+$ ]] || fail "$pool/expected: line 1: not 'tasks N'" 1
  missing=()
  sums=()
  for ((i = 0; i < tasks; i++)); do
    if [ ! -e "$pool/done/task_$i" ]; then
      missing+=("$i")
      continue
    fi
    for file in "$pool/task_$i"/*.msdisf.sums; do
      [ -e "$file" ] && sums+=("$file")
    done
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    fail "$pool: ${#missing[@]} of $tasks tasks not done (task ${missing[*]:0:10}); merge once all are (sbatch --dependency=afterok:JOB)" 1
  fi
  [ "${#sums[@]}" -gt 0 ] || fail "$pool: the tasks wrote no sums" 3
  output=(-o "$pool/pooled.msdisf.tsv")
  for option in "$@"; do
    case "$option" in -o | --output | --output=*) output=() ;; esac
  done
  echo "merge of ${#sums[@]} sums files from $tasks tasks: $program ($from)"
  exec "${launch[@]}" "$program" merge "${sums[@]}" "${output[@]}" "$@"
fi

[ "$#" -ge 1 ] || fail "name the LIST of files (or, with --shards, the FILE)"
list="$1"
shift
per_task=1
if [ "$shards" = 0 ] && [ "$#" -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  per_task="$1"
  shift
fi
[ "$per_task" -gt 0 ] || fail "FILES_PER_TASK must be at least 1"
if [ "$shards" = 0 ] && { [ ! -r "$list" ] || [ ! -f "$list" ]; }; then
  fail "cannot read the list $list (from $(pwd))" 1
fi
if [ -n "$pool" ]; then
  for option in "$@"; do
    case "$option" in
      --output-dir | --output-dir=* | -o | --output | --output=* | --shard | --shard=* | --sums)
        fail "the pool chooses --sums, --shard and where the sums go; leave out $option" ;;
    esac
  done
fi

mine=$(mktemp)
trap 'rm -f "$mine"' EXIT
if [ "$shards" -gt 0 ]; then
  [ -r "$list" ] || fail "cannot read $list (from $(pwd))" 1
  printf '%s\n' "$list" >"$mine"
else
  listed "$list" | sed -n "$((task * per_task + 1)),$(((task + 1) * per_task))p" >"$mine"
fi

output=(--output-dir results)
if [ -n "$pool" ]; then
  # What the pool is of: a folder holds one pool, and a task of another run
  # is refused rather than mixed in.
  tasks=$(pool_tasks "$list" "$per_task")
  mkdir -p "$pool/done"
  expected=$(mktemp "$pool/expected.XXXXXX")
  printf 'tasks %s\ninput %s\nfiles per task %s\nshards %s\noptions %s\n' "$tasks" "$list" "$per_task" "$shards" "$*" >"$expected"
  if [ -e "$pool/expected" ] && ! cmp -s "$expected" "$pool/expected"; then
    rm -f "$expected"
    fail "$pool holds the sums of another run (see $pool/expected); give another folder" 1
  fi
  mv "$expected" "$pool/expected"
  rm -f "$pool/done/task_$task"
  if [ "$task" -ge "$tasks" ]; then
    echo "task $task: nothing to do (the pool needs $tasks tasks)"
    exit 0
  fi
  output=(--sums --output-dir "$pool/task_$task")
  [ "$shards" -gt 0 ] && output+=(--shard "$task/$shards")
elif [ ! -s "$mine" ]; then
  echo "task $task: no files left in $list"
  exit 0
else
  for option in "$@"; do
    case "$option" in --output-dir | --output-dir=* | -o | --output | --output=*) output=() ;; esac
  done
fi
echo "task $task: $program ($from)"
# Not exec: the trap removes the task's list when msdisf is done with it.
"${launch[@]}" "$program" --inputs-from "$mine" "${output[@]}" "$@"
[ -z "$pool" ] || touch "$pool/done/task_$task"
