#!/usr/bin/env bash
# The pooled modes of tools/slurm_array.sbatch, each array task run by hand
# and then the merge: files whose particle ids recur (--id-prefix-from-file)
# and one file in 100 shards (--shard), each against the one-call table;
# then --submit with sbatch stood in by a script that records its calls.
#   slurm_pool_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build_dir="$2"
msdisf="$build_dir/msdisf"
script="$source_dir/tools/slurm_array.sbatch"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }
cd "$work"

# Random walks: walks FILE PARTICLES FRAMES SEED [ID_PREFIX] (ids from 1, some frames missing).
walks() {
  awk -v n="$2" -v f="$3" -v seed="$4" -v prefix="${5:-}" 'BEGIN {
    srand(seed); print "particle,frame,x,y"
    for (p = 1; p <= n; p++) { x = 0; y = 0; for (t = 0; t < f; t++) {
      x += rand() - 0.5; y += rand() - 0.5
      if (rand() < 0.95) printf "%s%d,%d,%.17g,%.17g\n", prefix, p, t + 1, x, y } } }' >"$1"
}
# Two tables agree: the same header, lags and pairs, the scattering columns
# (bounded by 1) within 1e-12, every other number within 1e-12 of its
# column's largest magnitude.
same_table() {
  awk -F'\t' 'FNR == 1 { file++ } /^#/ { next }
    file == 1 { rows++; n = NF
      for (i = 1; i <= NF; i++) {
        a[rows, i] = $i; v = $i + 0; if (v < 0) v = -v
        if (rows == 1 && $i ~ /^isf/) bounded[i] = 1; else if (v > big[i] + 0) big[i] = v }
      next }
    { r++; if (NF != n) { print "row " r ": " NF " fields, not " n; bad = 1; exit }
      for (i = 1; i <= NF; i++) {
        if (r == 1 || i <= 2) { if ($i != a[r, i]) { print "row " r ", field " i ": " $i " != " a[r, i]; bad = 1 } }
        else { d = $i - a[r, i]; if (d < 0) d = -d; if (d > 1e-12 * (bounded[i] ? 1 : big[i])) { print "row " r ", field " i ": " $i " vs " a[r, i]; bad = 1 } } } }
    END { if (!bad && r != rows) { print r " rows, not " rows; bad = 1 }; exit bad }' "$1" "$2"
}
task() {  # task ID ARGS...: one array task, as SLURM would run it
  local id="$1"
  shift
  env -u SLURM_JOB_ID -u SLURM_SUBMIT_DIR PATH="$build_dir:$PATH" SLURM_ARRAY_TASK_ID="$id" /bin/bash "$script" "$@"
}
merge() { env -u SLURM_JOB_ID PATH="$build_dir:$PATH" /bin/bash "$script" --merge "$@"; }
lags=(--lags log:15:39 -q --no-metadata)

# Files with the same ids 1..20: whole particles per file, made distinct by the file's name.
for f in a b c; do walks "$f.csv" 20 40 "$(printf %d "'$f")"; done
printf 'a.csv\nb.csv\n# a comment\nc.csv\n' >files.txt
task 0 --pool pool files.txt 2 "${lags[@]}" --id-prefix-from-file >task.out || fail "task 0: $(cat task.out)"
if merge pool >merge.out 2>&1; then fail "a merge before task 1 is done should be refused"; fi
grep -q "1 of 2 tasks not done (task 1)" merge.out || fail "the early merge says: $(cat merge.out)"
if task 1 --pool pool files.txt 2 --lags log:15:38 -q >other.out 2>&1; then fail "a task of another run should be refused"; fi
grep -q "holds the sums of another run" other.out || fail "another run's task says: $(cat other.out)"
task 1 --pool pool files.txt 2 "${lags[@]}" --id-prefix-from-file >task.out || fail "task 1: $(cat task.out)"
task 2 --pool pool files.txt 2 "${lags[@]}" --id-prefix-from-file | grep -q "nothing to do" || fail "task 2 had work"
merge pool --no-metadata -q || fail "the merge of the files failed"
{ echo "particle,frame,x,y"; for f in a b c; do tail -n +2 "$f.csv" | sed "s/^/$f.csv:/"; done; } >all.csv
"$msdisf" "${lags[@]}" -o all.tsv all.csv
same_table all.tsv pool/pooled.msdisf.tsv || fail "the pooled files differ from the one-call table"
# Without the prefix the recurring ids are refused by the merge, naming one and both files.
for id in 0 1; do task "$id" --pool plain files.txt 2 "${lags[@]}" >/dev/null; done
if merge plain >plain.out 2>&1; then fail "recurring ids should be refused"; fi
grep -q "particle '[0-9]*' is in both a.csv and b.csv" plain.out || fail "recurring ids: $(cat plain.out)"

# One file in 100 shards by particle key; some shards hold no particle.
walks big.csv 300 40 7 p
for ((i = 0; i < 100; i++)); do task "$i" --pool shards --shards 100 big.csv "${lags[@]}" >/dev/null || fail "shard $i failed"; done
merge shards --no-metadata -q -o sharded.tsv || fail "the merge of the shards failed"
"$msdisf" "${lags[@]}" -o big.tsv big.csv
same_table big.tsv sharded.tsv || fail "100 shards merged differ from the one-call table"
empty=$(for ((i = 0; i < 100; i++)); do [ -e "shards/task_$i/big.msdisf.sums" ] || echo "$i"; done | wc -l)
[ "$empty" -gt 0 ] || fail "no shard was empty: the empty case went untested"
# A shard given twice is refused, naming a particle and the shard in both places.
cp -r shards/task_3 again
if "$msdisf" merge shards/task_3/big.msdisf.sums again/big.msdisf.sums -o twice.tsv 2>twice.err; then fail "a shard given twice was merged"; fi
grep -q "is in both big.csv (shard 3/100) and big.csv (shard 3/100)" twice.err || fail "shard twice: $(cat twice.err)"
[ ! -e twice.tsv ] || fail "a refused merge wrote its table"
for bad in 100/100 3 -1/4 x/2; do
  if "$msdisf" --sums --shard "$bad" -o x.sums big.csv 2>bad.err; then fail "--shard $bad was taken"; fi
  grep -q -- "--shard takes i/n" bad.err || fail "--shard $bad: $(cat bad.err)"
done

# --submit: the array with as many tasks as the list needs, then the merge after it.
mkdir bin
cat >bin/sbatch <<'EOF'
#!/bin/bash
echo "$*" >>"$SBATCH_LOG"
if [ "$1" = --parsable ]; then echo "4242;cluster"; else echo "Submitted batch job 4243"; fi
EOF
chmod +x bin/sbatch
export SBATCH_LOG="$work/sbatch.log"
PATH="$work/bin:$PATH" /bin/bash "$script" --submit --pool sub files.txt 2 --lags log:15:39 >submit.out
grep -qx -- "--parsable --array=0-1 $script --pool sub files.txt 2 --lags log:15:39" sbatch.log || fail "array: $(cat sbatch.log)"
grep -qx -- "--dependency=afterok:4242 --array=0 $script --merge sub" sbatch.log || fail "merge job: $(cat sbatch.log)"
grep -q "merge job 4243" submit.out || fail "submit says: $(cat submit.out)"
PATH="$work/bin:$PATH" /bin/bash "$script" --submit --print-merge --pool sub --shards 100 big.csv >print.out
grep -qx "sbatch --dependency=afterok:4242 --array=0 $script --merge sub" print.out || fail "printed: $(cat print.out)"
[ "$(wc -l <sbatch.log)" -eq 3 ] || fail "--print-merge submitted the merge: $(cat sbatch.log)"
echo "pooled files, 100 shards and --submit agree with the one-call tables"
