#!/usr/bin/env bash
# One conversion per RAW file: our converter against LibRaw's dcraw_emu with the same settings
# (16-bit, camera WB, sRGB primaries, AHD, no auto-brightening, no white-level adaptation, the
# BT.709 curve), side by side in the same run, with ratios, peak memory and per-stage times.
#
#   bench/bench_single.sh [-n RUNS] [-b TARN_BENCH] [FILE|FOLDER...]
#
# Defaults: 3 runs (the median time and the largest peak memory are kept), the bench helper of
# build/ (configure with -DBUILD_BENCH=ON), and every RAW file in ../shared/fixtures/raw. The
# machine is shared and noisy: read the ratios, not the absolute times.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runs=3
bench="$here/../build/bench/tarn_bench"
while getopts "n:b:" opt; do
  case $opt in
    n) runs=$OPTARG ;;
    b) bench=$OPTARG ;;
    *) sed -n '2,12p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- "$here/../../shared/fixtures/raw"
[ -x "$bench" ] || { echo "missing $bench: cmake -DBUILD_BENCH=ON, build tarn_bench" >&2; exit 2; }

files=()
for arg in "$@"; do
  if [ -d "$arg" ]; then
    while IFS= read -r f; do files+=("$f"); done < <(find "$arg" -type f -iregex \
      '.*\.\(cr2\|cr3\|crw\|nef\|kdc\|dng\|arw\|raf\|orf\|rw2\|pef\)' | sort)
  else
    files+=("$arg")
  fi
done

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
settings=(-6 -W -c 0 -w -o 1 -g 2.222 4.5 -q 3)

# Runs a command, printing "wall-seconds peak-KiB cpu-seconds"; fails when the command leaves no
# output file. CPU time (user + system) is less disturbed by other load than wall time.
measure() {
  local out=$1
  shift
  rm -f "$out"
  /usr/bin/time -f "%e %M %U %S" -o "$tmp/time" "$@" >/dev/null 2>"$tmp/stderr" || true
  [ -s "$out" ] || return 1
  awk '{printf "%s %s %.2f\n", $1, $2, $3 + $4}' "$tmp/time"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
maxof() { sort -n | tail -1; }

printf "cores: %s   runs per figure: %s   load: %s\n\n" "$(nproc)" "$runs" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
header="%-24s %5s %6s %6s %5s %6s %5s %7s %6s %6s %5s %6s %6s %6s %5s %6s %6s %6s\n"
# shellcheck disable=SC2059
printf "$header" file MP emu ours ratio 1080p speed emu ours ratio 1080p speed emu ours ratio probe \
  ahd ours
# shellcheck disable=SC2059
printf "$header" "" "" wall_s wall_s "" wall_s "up" cpu_s cpu_s "" cpu_s "up" MiB MiB "" ms cpu_s \
  /ahd
stages_report=""
for f in "${files[@]}"; do
  name="$(basename "$f")"
  size="$("$bench" probe "$f" --repeat 20 2>/dev/null)" || { printf "%-24s not a RAW we develop\n" \
    "$name"; continue; }
  probe_ms="$(sed -E 's/.*: ([0-9.]+) ms per probe/\1/' <<<"$size")"
  dims="$(sed -E 's/.* ([0-9]+x[0-9]+):.*/\1/' <<<"$size")"
  mp="$(awk -Fx '{printf "%.1f", $1 * $2 / 1e6}' <<<"$dims")"
  emu_t=() ours_t=() small_t=() emu_m=() ours_m=() emu_c=() ours_c=() small_c=() ahd_c=()
  ok=1
  for ((r = 0; r < runs; r++)); do
    # Alternate the tools so that load from elsewhere falls on both alike.
    m=($(measure "$tmp/emu.tiff" dcraw_emu "${settings[@]}" -T -Z "$tmp/emu.tiff" "$f")) || ok=0
    emu_t+=("${m[0]:-0}") emu_m+=("${m[1]:-0}") emu_c+=("${m[2]:-0}")
    m=($(measure "$tmp/ours.dpx" "$bench" convert "$f" "$tmp/ours.dpx")) || ok=0
    ours_t+=("${m[0]:-0}") ours_m+=("${m[1]:-0}") ours_c+=("${m[2]:-0}")
    m=($(measure "$tmp/small.dpx" "$bench" convert "$f" "$tmp/small.dpx" --resize 1920x1080)) ||
      ok=0
    small_t+=("${m[0]:-0}") small_c+=("${m[2]:-0}")
    # LibRaw's own develop (AHD), the path of earlier versions.
    m=($(measure "$tmp/ahd.dpx" "$bench" convert "$f" "$tmp/ahd.dpx" --demosaic ahd)) || ok=0
    ahd_c+=("${m[2]:-0}")
  done
  if [ $ok = 0 ]; then
    printf "%-24s %5s failed: %s\n" "$name" "$mp" "$(tail -1 "$tmp/stderr")"
    continue
  fi
  et=$(printf "%s\n" "${emu_t[@]}" | median)
  ot=$(printf "%s\n" "${ours_t[@]}" | median)
  st=$(printf "%s\n" "${small_t[@]}" | median)
  ec=$(printf "%s\n" "${emu_c[@]}" | median)
  oc=$(printf "%s\n" "${ours_c[@]}" | median)
  sc=$(printf "%s\n" "${small_c[@]}" | median)
  ac=$(printf "%s\n" "${ahd_c[@]}" | median)
  em=$(printf "%s\n" "${emu_m[@]}" | maxof)
  om=$(printf "%s\n" "${ours_m[@]}" | maxof)
  awk -v n="$name" -v mp="$mp" -v et="$et" -v ot="$ot" -v st="$st" -v ec="$ec" -v oc="$oc" \
    -v sc="$sc" -v em="$em" -v om="$om" -v pr="$probe_ms" -v ac="$ac" 'BEGIN {
      printf "%-24.24s %5s %6.2f %6.2f %5.2f %6.2f %5.2f %7.2f %6.2f %6.2f %5.2f %6.2f %6.0f %6.0f %5.2f %6.2f %6.2f %6.2f\n",
        n, mp, et, ot, ot / et, st, ot / st, ec, oc, oc / ec, sc, oc / sc, em / 1024, om / 1024,
        om / em, pr, ac, oc / ac }'
  stages_report+="$(TARN_PROFILE=1 "$bench" stages "$f" "$tmp/ours.dpx" 2>&1 | sed "s|$f|$name|")"$'\n'
  stages_report+="$(TARN_PROFILE=1 "$bench" stages "$f" "$tmp/small.dpx" --resize 1920x1080 2>&1 |
    sed "s|$f|$name|")"$'\n'
done
printf "\nstages (one run each; 'develop' of the bench = LibRaw unpack + develop + resample/copy):\n%s" \
  "$stages_report"
