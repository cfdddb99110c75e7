#!/usr/bin/env bash
# One shard of a raw2dpx batch, as one task of a Slurm job array.
#
#   sbatch --array=0-$((N - 1)) --cpus-per-task=C --mem=M \
#     raw2dpx-array.sbatch LIST OUTDIR N [raw2dpx options...]
#
# Task K converts shard K/N of the frames listed in LIST (raw2dpx sorts the list and slices it,
# so the N tasks together convert every frame exactly once) into OUTDIR with C conversions at
# once. Frames whose DPX file exists already are skipped, so resubmitting the same command
# converts only what is missing. raw2dpx-submit.sh works out N and M and submits this for you.
# The nodes run $RAW2DPX when set, else raw2dpx from PATH; LIST, OUTDIR and the frames must be
# at the same paths on every node.
#
#SBATCH --job-name=raw2dpx
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=2
#SBATCH --output=raw2dpx-%A_%a.out
set -euo pipefail

if (($# < 3)); then
  echo "usage: sbatch --array=0-(N-1) $0 LIST OUTDIR N [raw2dpx options...]" >&2
  exit 2
fi
if [ -z "${SLURM_ARRAY_TASK_ID:-}" ]; then
  echo "raw2dpx-array: not a job array task; submit with sbatch --array=0-(N-1)" >&2
  exit 2
fi
list=$1
output=$2
shards=$3
shift 3
jobs=${SLURM_CPUS_PER_TASK:-1}
raw2dpx=${RAW2DPX:-raw2dpx}

echo "raw2dpx-array: job ${SLURM_ARRAY_JOB_ID}_${SLURM_ARRAY_TASK_ID} on $(hostname -s):" \
  "shard ${SLURM_ARRAY_TASK_ID}/$shards of $list, --jobs $jobs"
# exec: Slurm's SIGTERM (scancel, time limit) then reaches raw2dpx itself, which lets running
# conversions finish and leaves no partial file.
exec "$raw2dpx" --list "$list" --shard "${SLURM_ARRAY_TASK_ID}/$shards" --jobs "$jobs" \
  --overwrite never --keep-going -o "$output" "$@"
