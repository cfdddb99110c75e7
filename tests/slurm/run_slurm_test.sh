#!/usr/bin/env bash
# raw2dpx on a real Slurm scheduler: starts a single-node cluster on this machine (loopback
# only, every file in a temporary folder), submits a frame list as a job array with
# contrib/slurm/raw2dpx-submit.sh, and checks that every frame became exactly one complete DPX
# file, that each shard reported its summary, and that a resubmission converts nothing. Then a
# 1,000-frame sequence of two cameras with rolled-over counters, named with --name, ordered by
# capture time and sharded (sequence_test.sh; SKIPPED without the shared fixtures).
#
# Usage: bash tests/slurm/run_slurm_test.sh BUILD_DIR
# Needs root; installs slurm-wlm and munge when missing, and prints "SKIPPED: ..." and exits 0
# where they cannot be installed.
set -uo pipefail

readonly kOverallSeconds=1200 kJobSeconds=180
if [ -z "${TARN_SLURM_TEST_TIMED:-}" ]; then
  # Never hang CI: the whole test runs under a deadline.
  TARN_SLURM_TEST_TIMED=1 exec timeout -k 20 "$kOverallSeconds" bash "$0" "$@"
fi

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: run_slurm_test.sh BUILD_DIR}
raw2dpx=$(readlink -f "$build/cli/raw2dpx")
submit=$root/contrib/slurm/raw2dpx-submit.sh
readonly kFrames=12 kShards=4 kSample=$root/tests/data/raw/kodak-dc50.kdc

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
skip() {
  echo "SKIPPED: $*"
  exit 0
}
[ -x "$raw2dpx" ] || fail "no raw2dpx in $build/cli (build first)"

# --- packages. The daemons run as root (SlurmUser=root), which keeps the test free of user
# set-up, and root may install what is missing.
[ "$(id -u)" -eq 0 ] || skip "the Slurm test starts slurmctld and slurmd, which needs root"
have_slurm() {
  command -v slurmctld && command -v slurmd && command -v sbatch && command -v munged
} >/dev/null
if ! have_slurm; then
  apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 -y -q)
  timeout 300 "${apt[@]}" install --no-install-recommends slurm-wlm munge >/dev/null 2>&1 ||
    { timeout 300 "${apt[@]}" update >/dev/null 2>&1 &&
      timeout 300 "${apt[@]}" install --no-install-recommends slurm-wlm munge >/dev/null 2>&1; }
  have_slurm || skip "the Slurm test needs the packages slurm-wlm and munge, which cannot be installed here"
fi

# Nothing of an outer Slurm job or of the user's sbatch defaults may leak into ours.
while read -r name; do unset "$name"; done < <(compgen -e | grep -E '^(SLURM|SBATCH|SALLOC|SRUN)_')

# --- the cluster
source "$root/tests/slurm/local_cluster.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-slurm-test.XXXXXX")
cleanup() {
  cluster_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 124' TERM INT

started=$SECONDS
cluster_start "$work/cluster" || fail "the Slurm cluster did not start"
echo "cluster up in $((SECONDS - started)) s: $(sinfo -h -N -o '%N %c CPUs %m MiB %T')," \
  "slurmctld 127.0.0.1:$cluster_ctld_port, slurmd 127.0.0.1:$cluster_slurmd_port"

# --- the frames: one small RAW file under several names, listed with a comment and a blank
mkdir -p "$work/raw"
{
  echo "# day 1, card A"
  for i in $(seq -f %04g "$kFrames"); do
    cp "$kSample" "$work/raw/frame_$i.kdc"
    echo "$work/raw/frame_$i.kdc"
    ((10#$i == kFrames / 2)) && echo
  done
} >"$work/frames.txt"

developer_works=0
if info=$("$raw2dpx" --info "$kSample" 2>&1); then
  developer_works=1
  size=${info##*$'\t'}
  width=${size%x*}
  height=${size#*x}
  dpx_bytes=$((2048 + width * height * 6))
  memory_arg=()  # the submit helper works it out from the frame size
  expected_mib=$(((width * height * 22 + (64 << 20) + (1 << 20) - 1) >> 20))
else
  echo "NOTE: raw2dpx cannot develop $kSample here ($info);" \
    "checking only that the scheduler ran every shard, not the DPX files"
  memory_arg=(--mem 128)
  expected_mib=128
fi

# Submits the list and waits for the whole array; sets job.
run_array() {
  job=$(bash "$submit" --raw2dpx "$raw2dpx" --shards "$kShards" --cpus 1 "${memory_arg[@]}" \
    --logs "$work/logs" "$work/frames.txt" "$work/out") || fail "submission refused"
  cluster_wait_job "$job" "$kJobSeconds" || fail "job array $job did not finish in time"
}

# Checks the logs of one array job: every task ran its own shard and printed the summary
# line; prints the summaries and sets the totals converted, skipped and failed.
check_logs() {
  local job=$1 k log line c s f
  converted=0 skipped=0 failed=0
  for ((k = 0; k < kShards; k++)); do
    log=$work/logs/raw2dpx-${job}_$k.out
    [ -f "$log" ] || fail "no log $log for task $k"
    grep -q "^raw2dpx-array: job ${job}_$k .* --jobs 1$" "$log" ||
      fail "task $k did not run with --jobs from --cpus-per-task: $(cat "$log")"
    line=$(grep -E "^raw2dpx shard $k/$kShards: [0-9]+ converted, [0-9]+ skipped, [0-9]+ failed in [0-9.]+ s$" "$log") ||
      fail "no summary line for shard $k/$kShards in $log: $(cat "$log")"
    echo "  task ${job}_$k: $line"
    read -r c s f < <(sed -E 's/.*: ([0-9]+) converted, ([0-9]+) skipped, ([0-9]+) failed.*/\1 \2 \3/' <<<"$line")
    # Near-equal slices: 12 frames in 4 shards are 3 each.
    ((c + s + f == kFrames / kShards)) || fail "shard $k took $((c + s + f)) frames, not $((kFrames / kShards))"
    ((converted += c, skipped += s, failed += f))
  done
}

# Every task of job $1 ended in state $2 with the memory request we expect.
check_tasks() {
  local job=$1 state=$2 details
  details=$(scontrol -o show job "$job") || fail "scontrol knows no job $job"
  (($(grep -c "ArrayJobId=$job " <<<"$details") == kShards)) || fail "job $job has not $kShards tasks: $details"
  grep -v -q "JobState=$state " <<<"$details" &&
    fail "a task of job $job did not end $state: $(grep -v "JobState=$state " <<<"$details")"
  grep -v -q "MinMemoryNode=${expected_mib}M " <<<"$details" &&
    fail "job $job did not request ${expected_mib} MiB a task: $(grep -o 'MinMemoryNode=[^ ]*' <<<"$details" | sort -u)"
  true
}

# --- first run: converts everything
echo "first submission ($kFrames frames, $kShards shards, 1 CPU a task):"
first_started=$SECONDS
run_array
first_seconds=$((SECONDS - first_started))
check_logs "$job"
echo "job array $job done in $first_seconds s: $converted converted, $skipped skipped, $failed failed"

if ((developer_works)); then
  check_tasks "$job" COMPLETED
  ((converted == kFrames && skipped == 0 && failed == 0)) || fail "not every frame converted"
  for i in $(seq -f %04g "$kFrames"); do
    dpx=$work/out/frame_$i.dpx
    [ -f "$dpx" ] || fail "missing $dpx"
    bytes=$(stat -c %s "$dpx")
    ((bytes == dpx_bytes)) || fail "$dpx has $bytes bytes, not 2048 + ${width}x${height}x6 = $dpx_bytes"
    # The header's magic number and its own record of the file size (little-endian).
    magic=$(od -An -N4 -tx4 --endian=little "$dpx" | tr -d ' ')
    header_bytes=$(od -An -j16 -N4 -tu4 --endian=little "$dpx" | tr -d ' ')
    [ "$magic" = 53445058 ] || fail "$dpx: header magic 0x$magic, not 0x53445058"
    [ "$header_bytes" = "$dpx_bytes" ] || fail "$dpx: file size $header_bytes in the header"
  done
  # Exactly one file per frame: no duplicate, no temporary file left behind.
  listing=$(ls -A "$work/out")
  (($(wc -l <<<"$listing") == kFrames)) || fail "the output folder holds more than the $kFrames DPX files: $listing"
  echo "all $kFrames DPX files present once, each $dpx_bytes bytes"
else
  check_tasks "$job" FAILED  # raw2dpx ran and reported the failures through its exit status
  ((failed == kFrames)) || fail "$failed failures reported, not $kFrames"
fi

# --- second run: a resubmission converts nothing
echo "resubmission:"
before=$(find "$work/out" -type f -printf '%P %s %T@\n' 2>/dev/null | sort)
first_job=$job
run_array
job2=$job
check_logs "$job2"
echo "job array $job2: $converted converted, $skipped skipped, $failed failed"
if ((developer_works)); then
  check_tasks "$job2" COMPLETED
  ((converted == 0 && skipped == kFrames && failed == 0)) || fail "the resubmission converted again"
fi
after=$(find "$work/out" -type f -printf '%P %s %T@\n' 2>/dev/null | sort)
[ "$before" = "$after" ] || fail "the resubmission touched the output files"

# --- two frames that would share a DPX file name are refused before anything is queued
mkdir -p "$work/raw/other"
cp "$kSample" "$work/raw/other/frame_0001.kdc"
{ cat "$work/frames.txt"; echo "$work/raw/other/frame_0001.kdc"; } >"$work/clash.txt"
if bash "$submit" --raw2dpx "$raw2dpx" --shards "$kShards" --mem 128 --logs "$work/logs" \
  "$work/clash.txt" "$work/out" >/dev/null 2>"$work/clash.err"; then
  fail "a list with two frames named frame_0001 was submitted"
fi
grep -q "same output file as" "$work/clash.err" || fail "unclear refusal: $(cat "$work/clash.err")"
[ -z "$(squeue -h -o %i)" ] || fail "something was queued for the refused list"
echo "a list with two frames named frame_0001 is refused: $(head -n 1 "$work/clash.err")"

# --- a long sequence: names, capture-time order and shards
if ((developer_works)); then
  source "$root/tests/slurm/sequence_test.sh"
  sequence_test
else
  echo "sequence: SKIPPED: raw2dpx cannot develop the sample here"
fi

echo "PASSED in $((SECONDS - started)) s (job arrays $first_job and $job2)"
