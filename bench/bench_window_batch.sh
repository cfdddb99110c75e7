#!/usr/bin/env bash
# A batch of 12 real conversions run from the main window's Convert button, with 1 and with 2
# conversions at once: wall time, the speed-up, and the longest the window's thread was ever
# kept from its events (a 10 ms timer ticks on it throughout; the gap must stay under 100 ms).
# Each figure is taken with the RAW developer's own threading (a lone development uses every
# core) and again with OMP_NUM_THREADS=1 (one thread per development).
#
#   bench/bench_window_batch.sh [-n RUNS] [-b BUILD]
#
# Defaults: 3 runs per figure (the median time and the largest gap are kept), build/ configured
# with -DBUILD_BENCH=ON. The files: tests/data/raw/eos-350d-small.cr2 and the .crw and .nef
# files of ../shared/fixtures/raw (when present), repeated into 12 distinct names. The machine
# may be shared: read the ratios, and the load printed first.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runs=3
build="$here/../build"
while getopts "n:b:" opt; do
  case $opt in
    n) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    *) sed -n '2,13p' "$0"; exit 2 ;;
  esac
done
driver="$build/bench/tarn_window_batch"
cmake --build "$build" --target tarn_window_batch >/dev/null
[ -x "$driver" ] || { echo "missing $driver: configure with -DBUILD_BENCH=ON" >&2; exit 2; }

sources=("$here/../tests/data/raw/eos-350d-small.cr2")
for f in "$here"/../../shared/fixtures/raw/*.crw "$here"/../../shared/fixtures/raw/*.nef; do
  case "$(basename "$f")" in truncated*) continue ;; esac
  [ -f "$f" ] && sources+=("$f")
done

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/raw"
files=()
for i in $(seq 0 11); do
  src=${sources[$((i % ${#sources[@]}))]}
  name=$(printf "FRAME_%04d.%s" $((i + 1)) "${src##*.}")
  cp "$src" "$tmp/raw/$name"
  files+=("$tmp/raw/$name")
done

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
maxof() { sort -n | tail -1; }

# Prints "median-seconds largest-gap-ms" for one setting.
measure() {
  local jobs=$1
  shift
  local times=() gaps=()
  for _ in $(seq "$runs"); do
    rm -rf "$tmp/out" && mkdir -p "$tmp/out"
    local line
    line=$(env "$@" QT_QPA_PLATFORM=offscreen "$driver" "$jobs" "$tmp/out" "${files[@]}" \
      2>"$tmp/stderr") || { cat "$tmp/stderr" >&2; echo "run failed: $line" >&2; exit 1; }
    times+=("$(sed 's/.*seconds=\([0-9.]*\).*/\1/' <<<"$line")")
    gaps+=("$(sed 's/.*longest_gap_ms=\([0-9.]*\).*/\1/' <<<"$line")")
  done
  echo "$(printf '%s\n' "${times[@]}" | median) $(printf '%s\n' "${gaps[@]}" | maxof)"
}

printf "cores: %s   files: %s (%s distinct)   runs per figure: %s   load: %s\n\n" "$(nproc)" \
  "${#files[@]}" "${#sources[@]}" "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-26s %10s %10s %9s %14s\n" "developer threads" "1 job s" "2 jobs s" "speed-up" \
  "longest gap ms"
for setting in "own (cores / running)" "OMP_NUM_THREADS=1"; do
  envs=()
  [ "$setting" = "OMP_NUM_THREADS=1" ] && envs=(OMP_NUM_THREADS=1)
  read -r one gap1 < <(measure 1 "${envs[@]}")
  read -r two gap2 < <(measure 2 "${envs[@]}")
  gap=$(printf '%s\n%s\n' "$gap1" "$gap2" | maxof)
  printf "%-26s %10s %10s %9s %14s\n" "$setting" "$one" "$two" \
    "$(awk -v a="$one" -v b="$two" 'BEGIN {printf "%.2fx", a / b}')" "$gap"
done
