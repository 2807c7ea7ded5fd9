#!/bin/bash
# One job of the table per array task on a SLURM cluster:
#   sbatch tools/slurm_array.sbatch            (from the repository root, after building into build/)
# The task id is the rank; the array size is passed as <Size>.
#SBATCH --job-name=msdisf
#SBATCH --array=0-8
#SBATCH --cpus-per-task=2
#SBATCH --mem=8G
#SBATCH --time=04:00:00
#SBATCH --output=msdisf_%A_rank%a.log

set -euo pipefail
cd "${SLURM_SUBMIT_DIR:-.}/build"   # job paths are relative to the parent of the working directory
export OMP_NUM_THREADS="${SLURM_CPUS_PER_TASK:-1}"
srun ./msd_isf "$SLURM_ARRAY_TASK_ID" "${SLURM_ARRAY_TASK_COUNT:-9}"
