#!/usr/bin/env bash
# What going through Slurm costs: the same batch as a job array on a throw-away single-node
# cluster (contrib/slurm/raw2dpx-submit.sh, default scheduler settings) and as one
# `raw2dpx --jobs 2`, wall clock, printed as a Markdown table.
#
# Usage: bash bench/bench_slurm.sh BUILD_DIR [SAMPLE.raw [FRAMES...]]
#   SAMPLE  the RAW file copied to every frame name (default: tests/data/raw/kodak-dc50.kdc)
#   FRAMES  batch sizes (default: 12 48)
# Environment: ARRAYS="1x2 2x1 4x1 12x1" the arrays tried, as SHARDSxCPUS (CPUs, and so
# --jobs, a task); REPEATS=3 rounds, of which the median is shown.
# Needs root, slurm-wlm and munge (see tests/slurm/run_slurm_test.sh). Takes the machine's
# cores for minutes; don't run it beside other heavy work if the figures matter.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bench_slurm.sh BUILD_DIR [SAMPLE.raw [FRAMES...]]}
shift
raw2dpx=$(readlink -f "$build/cli/raw2dpx")
sample=$(readlink -f "${1:-$root/tests/data/raw/kodak-dc50.kdc}")
(($#)) && shift
frame_counts=("$@")
((${#frame_counts[@]})) || frame_counts=(12 48)
read -ra arrays <<<"${ARRAYS:-1x2 2x1 4x1 12x1}"
repeats=${REPEATS:-3}
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
readonly kJobSeconds=1800

"$raw2dpx" --info "$sample" >/dev/null || {
  echo "raw2dpx cannot develop $sample here; nothing to measure" >&2
  exit 1
}
while read -r name; do unset "$name"; done < <(compgen -e | grep -E '^(SLURM|SBATCH|SALLOC|SRUN)_')

source "$root/tests/slurm/local_cluster.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-slurm-bench.XXXXXX")
trap 'cluster_stop; rm -rf "$work"' EXIT
trap 'exit 124' TERM INT
cluster_start "$work/cluster"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Sum of "N converted" over the summary lines of job $1.
converted_by() {
  cat "$work/logs/raw2dpx-$1"_*.out |
    awk '/^raw2dpx shard/ { for (i = 1; i < NF; i++) if ($(i + 1) == "converted,") n += $i }
      END { print n + 0 }'
}

# Seconds for the whole batch as one process.
time_direct() {
  rm -rf "$work/direct"
  local start
  start=$(now)
  "$raw2dpx" --jobs 2 --list "$work/frames.txt" -o "$work/direct" >/dev/null 2>&1
  elapsed "$start" "$(now)"
}

# Seconds from submission to the array's last task leaving the queue.
time_array() {
  local shards=$1 cpus=$2 start job converted
  rm -rf "$work/out" "$work/logs"
  start=$(now)
  job=$(bash "$root/contrib/slurm/raw2dpx-submit.sh" --raw2dpx "$raw2dpx" --shards "$shards" \
    --cpus "$cpus" --logs "$work/logs" "$work/frames.txt" "$work/out" 2>/dev/null)
  cluster_wait_job "$job" "$kJobSeconds"
  elapsed "$start" "$(now)"
  converted=$(converted_by "$job")
  ((converted == frames)) || echo "warning: job $job converted $converted of $frames" >&2
}

ext=${sample##*.}
echo "| frames | shards x CPUs | wall via Slurm | \`raw2dpx --jobs 2\` | overhead |"
echo "|---:|---:|---:|---:|---:|"
for frames in "${frame_counts[@]}"; do
  rm -rf "$work/raw"
  mkdir -p "$work/raw"
  for i in $(seq -f %05g "$frames"); do
    cp "$sample" "$work/raw/frame_$i.$ext"
    echo "$work/raw/frame_$i.$ext"
  done >"$work/frames.txt"

  # Rounds of every variant in turn, so that other load on the machine hits them alike; the
  # median of the rounds is shown.
  declare -A seconds=()
  for ((round = 0; round < repeats; round++)); do
    seconds[direct]+=" $(time_direct)"
    for array in "${arrays[@]}"; do
      ((${array%x*} <= frames)) || continue
      seconds[$array]+=" $(time_array "${array%x*}" "${array#*x}")"
    done
  done
  # shellcheck disable=SC2086 # the lists of times split on purpose
  direct=$(median ${seconds[direct]})
  for array in "${arrays[@]}"; do
    [ -n "${seconds[$array]:-}" ] || continue
    # shellcheck disable=SC2086
    via_slurm=$(median ${seconds[$array]})
    echo "| $frames | ${array%x*} x ${array#*x} | $via_slurm s | $direct s |" \
      "$(elapsed "$direct" "$via_slurm") s |"
  done
  unset seconds
done
echo
echo "Sample: $(basename "$sample") ($("$raw2dpx" --info "$sample" | cut -f2)), $(nproc) cores," \
  "median of $repeats rounds; load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)."
