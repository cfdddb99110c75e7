#!/usr/bin/env bash
# Prints the memory, in MiB, that one raw2dpx process converting JOBS frames of LIST at once
# needs: about 22 bytes a pixel of the largest of the first frames plus 64 MiB, for each
# conversion running at once (the estimate raw2dpx itself uses to choose its number of jobs).
#
# Usage: raw2dpx-mem.sh [--raw2dpx PATH] LIST JOBS
#   LIST   one RAW file a line ("-": standard input); blank lines and # comments are ignored
#   JOBS   conversions at once (what --jobs, or --cpus-per-task, will be)
set -euo pipefail

usage() {
  sed -n '2,9s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

raw2dpx=raw2dpx
while (($#)); do
  case $1 in
  --raw2dpx) raw2dpx=${2:?--raw2dpx needs a path}; shift 2 ;;
  --raw2dpx=*) raw2dpx=${1#*=}; shift ;;
  -h | --help) usage ;;
  *) break ;;
  esac
done
(($# == 2)) || usage
list=$1
jobs=$2
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "raw2dpx-mem: JOBS must be a positive number, not \"$jobs\"" >&2; exit 2; }

# The first frames stand for the batch: a whole sequence usually comes from one camera, and
# looking at a few rather than one survives an unreadable first frame.
readonly kSample=8
sample=$(awk -v n=$kSample '{ sub(/^[ \t\r]+/, ""); sub(/[ \t\r]+$/, "") }
  $0 != "" && substr($0, 1, 1) != "#" { print; if (++seen == n) exit }' "$list")
[ -n "$sample" ] || { echo "raw2dpx-mem: $list lists no frame" >&2; exit 1; }

pixels=$(printf '%s\n' "$sample" | "$raw2dpx" --info --list - 2>/dev/null |
  awk -F'\t' '{ split($NF, size, "x"); p = size[1] * size[2]; if (p > max) max = p }
    END { if (max > 0) printf "%d\n", max }') || true
if [ -z "$pixels" ]; then
  echo "raw2dpx-mem: $raw2dpx --info could read none of the first $kSample frames of $list" >&2
  exit 1
fi

readonly kBytesPerPixel=22 kFixedBytes=$((64 << 20)) kMiB=$((1 << 20))
echo $(((jobs * (pixels * kBytesPerPixel + kFixedBytes) + kMiB - 1) / kMiB))
