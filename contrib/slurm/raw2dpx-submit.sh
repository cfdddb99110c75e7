#!/usr/bin/env bash
# Submits a raw2dpx batch to Slurm as a job array: one task per shard of the frame list.
#
# Usage: raw2dpx-submit.sh [options] LIST OUTDIR [-- raw2dpx options...]
#   LIST   one RAW file a line ("-": standard input); blank lines and # comments are ignored
#   OUTDIR where the DPX files go
# Options:
#   --shards N         number of array tasks (default: one per 100 frames)
#   --cpus C           CPUs per task, which are also its conversions at once (default: 2)
#   --mem MIB          memory per task in MiB (default: worked out by raw2dpx-mem.sh)
#   --max-running K    at most K tasks at once (default: as many as the cluster allows)
#   --logs DIR         the tasks' logs and the frozen copy of LIST (default: ./raw2dpx-logs)
#   --raw2dpx PATH     the raw2dpx the nodes run (default: the one on PATH)
#   --sbatch OPTION    one more sbatch option, e.g. --sbatch=--partition=render (repeatable)
#   --dry-run          print the sbatch command and submit nothing
# Prints the job id on standard output, the rest on standard error. Rerun the same command to
# resume: frames whose DPX file exists are skipped.
set -euo pipefail

here=$(dirname "$(readlink -f "$0")")
usage() {
  sed -n '2,17s/^# \{0,1\}//p' "$0" >&2
  exit 2
}
fail() {
  echo "raw2dpx-submit: $*" >&2
  exit 2
}
positive() { [[ $2 =~ ^[1-9][0-9]*$ ]] || fail "$1 takes a positive number, not \"$2\""; }

readonly kFramesPerShard=100
shards="" cpus=2 mem="" max_running="" logs=raw2dpx-logs raw2dpx="" dry_run=0
sbatch_options=()
positional=()
while (($#)); do
  arg=$1
  value=""
  if [[ $arg == --*=* ]]; then
    value=${arg#*=}
    arg=${arg%%=*}
  elif [[ $arg =~ ^--(shards|cpus|mem|max-running|logs|raw2dpx|sbatch)$ ]]; then
    (($# >= 2)) || fail "$arg needs a value"
    value=$2
    shift
  fi
  shift
  case $arg in
  --shards) positive "$arg" "$value"; shards=$value ;;
  --cpus) positive "$arg" "$value"; cpus=$value ;;
  --mem) positive "$arg" "$value"; mem=$value ;;
  --max-running) positive "$arg" "$value"; max_running=$value ;;
  --logs) logs=$value ;;
  --raw2dpx) raw2dpx=$value ;;
  --sbatch) sbatch_options+=("$value") ;;
  --dry-run) dry_run=1 ;;
  -h | --help) usage ;;
  --) break ;;
  -?*) fail "unknown option $arg" ;;
  *) positional+=("$arg") ;;
  esac
done
((${#positional[@]} == 2)) || usage
list=${positional[0]}
output=${positional[1]}
raw2dpx_options=("$@")

if [ -z "$raw2dpx" ]; then
  raw2dpx=$(command -v raw2dpx) || fail "raw2dpx is not on PATH; give --raw2dpx PATH"
fi
raw2dpx=$(readlink -f "$raw2dpx")
[ -x "$raw2dpx" ] || fail "$raw2dpx is not a program"

# The tasks slice the list when they start, possibly hours apart: they must all see the same
# list, so they read a copy that nobody edits, never the user's file.
mkdir -p "$logs"
logs=$(readlink -f "$logs")
frozen=$(mktemp "$logs/frames.XXXXXX")
submitted=0
trap '((submitted)) || rm -f "$frozen"' EXIT
if [ "$list" = - ]; then
  cat >"$frozen"
else
  cp -- "$list" "$frozen" || fail "cannot read the list $list"
fi
output=$(readlink -m "$output")

# raw2dpx reads the list the way every task will (folders expanded, an unreadable list or two
# frames with one output name refused) and tells what is done already, before anything waits
# in the queue. It gets the tasks' options: --name, -r or --format decide which files the
# frames become, and so which of them clash or exist already.
preflight=$("$raw2dpx" --dry-run --shard 0/1 --overwrite never --list "$frozen" -o "$output" \
  "${raw2dpx_options[@]}") ||
  fail "raw2dpx refuses the list $list (see above)"
frames=$(grep -c . <<<"$preflight" || true)
((frames > 0)) || fail "$list lists no frame"
done_already=$(grep -c '(exists: would be skipped)$' <<<"$preflight" || true)

if [ -z "$shards" ]; then
  shards=$(((frames + kFramesPerShard - 1) / kFramesPerShard))
elif ((shards > frames)); then
  echo "raw2dpx-submit: $shards shards for $frames frames; using $frames" >&2
  shards=$frames
fi
if [ -z "$mem" ]; then
  mem=$(bash "$here/raw2dpx-mem.sh" --raw2dpx "$raw2dpx" "$frozen" "$cpus") ||
    fail "cannot work out the memory a task needs; give --mem MIB"
fi
array=0-$((shards - 1))${max_running:+%$max_running}

command=(sbatch --parsable --array="$array" --cpus-per-task="$cpus" --mem="${mem}M"
  --output="$logs/%x-%A_%a.out" --export="ALL,RAW2DPX=$raw2dpx" "${sbatch_options[@]}"
  "$here/raw2dpx-array.sbatch" "$frozen" "$output" "$shards" "${raw2dpx_options[@]}")
if ((dry_run)); then
  printf '%q ' "${command[@]}" >&2
  echo >&2
  exit 0
fi
job=$("${command[@]}")
# shellcheck disable=SC2034 # read by the EXIT trap
submitted=1
job=${job%%;*}  # "id;cluster" on a federation
echo "raw2dpx-submit: job array $job: $frames frames ($done_already converted already) in" \
  "$shards shards, cpus-per-task $cpus and $mem MiB a task; logs: $logs/raw2dpx-${job}_K.out" >&2
echo "$job"
