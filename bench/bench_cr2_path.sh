#!/usr/bin/env bash
# One full-size CR2 conversion three ways, interleaved in one run: raw2dpx as shipped (our CR2
# decoder), raw2dpx with LibRaw's unpack in its place (TARN_LIBRAW_UNPACK=1, the path before the
# decoder was plugged in) and dcraw_emu with the same settings (16-bit, camera WB, sRGB
# primaries, AHD, no auto-brightening, BT.709 curve). Measured with /usr/bin/time -v: medians
# of wall and CPU (user + system) time, the largest peak memory, and the ratios.
#
#   bench/bench_cr2_path.sh [-n RUNS] [-r RAW2DPX] FILE.cr2
#
# Defaults: 5 runs, build/cli/raw2dpx. The machine is shared: compare CPU times.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runs=5
raw2dpx="$here/../build/cli/raw2dpx"
while getopts "n:r:" opt; do
  case $opt in
    n) runs=$OPTARG ;;
    r) raw2dpx=$OPTARG ;;
    *) sed -n '2,11p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] || { sed -n '2,11p' "$0"; exit 2; }
file=$1
name="$(basename "${file%.*}")"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
settings=(-6 -W -c 0 -w -o 1 -g 2.222 4.5 -q 3)

# Runs a command under /usr/bin/time -v; prints "wall-seconds cpu-seconds peak-MiB". Fails when
# the command leaves no output file.
measure() {
  local out=$1
  shift
  rm -f "$out"
  /usr/bin/time -v -o "$tmp/time" "$@" >/dev/null 2>"$tmp/stderr" || true
  [ -s "$out" ] || { cat "$tmp/stderr" >&2; return 1; }
  awk -F': ' '
    /User time/ {u = $2} /System time/ {s = $2} /Maximum resident/ {m = $2}
    /Elapsed \(wall clock\)/ {n = split($2, p, ":"); w = 0; for (i = 1; i <= n; i++) w = w * 60 + p[i]}
    END {printf "%.2f %.2f %.0f\n", w, u + s, m / 1024}' "$tmp/time"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
maxof() { sort -n | tail -1; }

declare -A wall cpu mem
ours=(env TARN_LIBRAW_UNPACK=0 "$raw2dpx" --jobs 1 --overwrite always "$file" -o "$tmp/ours")
before=(env TARN_LIBRAW_UNPACK=1 "$raw2dpx" --jobs 1 --overwrite always "$file" -o "$tmp/before")
for ((r = 0; r < runs; r++)); do
  # Alternate the order too, so that load from elsewhere falls on all three alike.
  order=(ours before emu)
  ((r % 2)) && order=(emu before ours)
  for tool in "${order[@]}"; do
    case $tool in
      ours) m=($(measure "$tmp/ours/$name.dpx" "${ours[@]}")) ;;
      before) m=($(measure "$tmp/before/$name.dpx" "${before[@]}")) ;;
      emu) m=($(measure "$tmp/emu.tiff" dcraw_emu "${settings[@]}" -T -Z "$tmp/emu.tiff" "$file")) ;;
    esac
    wall[$tool]+="${m[0]} " cpu[$tool]+="${m[1]} " mem[$tool]+="${m[2]} "
  done
done
cmp -s "$tmp/ours/$name.dpx" "$tmp/before/$name.dpx" && same=yes || same=NO

printf "%s, %d runs, cores: %s, load: %s\n" "$file" "$runs" "$(nproc)" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-26s %8s %8s %9s\n" "" "wall_s" "cpu_s" "peak_MiB"
declare -A W C M
for tool in ours before emu; do
  W[$tool]=$(tr ' ' '\n' <<<"${wall[$tool]}" | grep . | median)
  C[$tool]=$(tr ' ' '\n' <<<"${cpu[$tool]}" | grep . | median)
  M[$tool]=$(tr ' ' '\n' <<<"${mem[$tool]}" | grep . | maxof)
done
label() { case $1 in ours) echo "raw2dpx (our decoder)" ;; before) echo "raw2dpx (LibRaw unpack)" ;;
  emu) echo "dcraw_emu" ;; esac; }
for tool in ours before emu; do
  printf "%-26s %8s %8s %9s\n" "$(label $tool)" "${W[$tool]}" "${C[$tool]}" "${M[$tool]}"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", (b > 0 ? a / b : 0)}'; }
printf "ours / before:  wall %s  cpu %s  memory %s\n" "$(ratio "${W[ours]}" "${W[before]}")" \
  "$(ratio "${C[ours]}" "${C[before]}")" "$(ratio "${M[ours]}" "${M[before]}")"
printf "ours / dcraw_emu: wall %s  cpu %s  memory %s\n" "$(ratio "${W[ours]}" "${W[emu]}")" \
  "$(ratio "${C[ours]}" "${C[emu]}")" "$(ratio "${M[ours]}" "${M[emu]}")"
printf "DPX identical with and without our decoder: %s\n" "$same"
