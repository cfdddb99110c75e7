#!/usr/bin/env bash
# One full-size frame through raw2dpx and through LibRaw's dcraw_emu (16-bit linear TIFF),
# run in interleaved pairs so that load from elsewhere on the shared machine falls on both
# alike. Prints the median wall time, user+system CPU, user, system and peak memory of each,
# and the ratios ours / dcraw_emu. Extra raw2dpx builds (-x, repeatable) join every round, for
# before/after comparisons of a change in the same run.
#
#   bench/bench_pair.sh [-n PAIRS] [-r RAW2DPX] [-x OTHER_RAW2DPX]... FILE
#
# Defaults: 7 pairs, build/cli/raw2dpx. Each run writes a new output folder (no file to
# replace); -k keeps one output folder, so every run after the first replaces its file.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
pairs=7
raw2dpx="$here/../build/cli/raw2dpx"
others=()
keep=0
while getopts "n:r:x:k" opt; do
  case $opt in
    n) pairs=$OPTARG ;;
    r) raw2dpx=$OPTARG ;;
    x) others+=("$OPTARG") ;;
    k) keep=1 ;;
    *) sed -n '2,11p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] || { sed -n '2,11p' "$0"; exit 2; }
file=$1
command -v dcraw_emu >/dev/null || { echo "dcraw_emu missing (libraw-bin)" >&2; exit 2; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
tools=("$raw2dpx" "${others[@]}")

# Appends "wall cpu user sys peakKiB" of one run to $tmp/<label>.
measure() {
  local label=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$tmp/time" "$@" >/dev/null 2>"$tmp/stderr" ||
    { echo "$label failed: $(tail -2 "$tmp/stderr")" >&2; exit 1; }
  awk '{printf "%s %.3f %s %s %s\n", $1, $2 + $3, $2, $3, $4}' "$tmp/time" >>"$tmp/$label"
}

printf "cores: %s   pairs: %s   load before: %s\n" "$(nproc)" "$pairs" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
for ((p = 0; p < pairs; p++)); do
  rm -f "$tmp/x.tiff"
  measure emu dcraw_emu -4 -T -Z "$tmp/x.tiff" "$file"
  for i in "${!tools[@]}"; do
    out="$tmp/out$i"
    [ $keep = 1 ] || rm -rf "$out"
    mkdir -p "$out"
    measure "ours$i" "${tools[$i]}" --overwrite always -o "$out" "$file"
  done
done

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
column() { awk -v c="$2" '{print $c}' "$tmp/$1" | median; }
printf "\n%-44s %7s %7s %7s %7s %7s\n" tool wall_s cpu_s user_s sys_s MiB
row() {
  printf "%-44.44s %7s %7s %7s %7s %7.0f\n" "$2" "$(column "$1" 1)" "$(column "$1" 2)" \
    "$(column "$1" 3)" "$(column "$1" 4)" "$(($(column "$1" 5) / 1024))"
}
row emu "dcraw_emu -4 -T"
for i in "${!tools[@]}"; do row "ours$i" "${tools[$i]}"; done
ew=$(column emu 1)
ec=$(column emu 2)
em=$(column emu 5)
for i in "${!tools[@]}"; do
  awk -v t="${tools[$i]}" -v w="$(column "ours$i" 1)" -v c="$(column "ours$i" 2)" \
    -v m="$(column "ours$i" 5)" -v ew="$ew" -v ec="$ec" -v em="$em" 'BEGIN {
      printf "%s / dcraw_emu: wall %.3f, cpu %.3f, peak memory %.2f\n", t, w / ew, c / ec, m / em }'
done
