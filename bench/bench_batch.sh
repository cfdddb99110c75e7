#!/usr/bin/env bash
# A batch of frames through raw2dpx and, side by side in the same run, through the pipelines
# people would otherwise chain together, all with the same rendering settings (16-bit, camera
# white balance, sRGB primaries, AHD, no auto-brightening, BT.709 curve):
#   dcraw_emu            LibRaw alone writing TIFF: the floor for our develop path
#   dcraw | convert      dcraw piped into ImageMagick writing DPX
#   oiiotool             OpenImageIO reading the RAW through LibRaw, writing DPX
# Peers run two at a time (xargs -P 2), as a user would on this 2-core machine. Prints wall
# times and ratios; the machine is shared and noisy, so read the ratios.
#
#   bench/bench_batch.sh [-f FRAMES] [-r RAW2DPX] [-n ROUNDS] FILE...
#
# The FILEs are copied round-robin into FRAMES distinct names (default 16). With -n, only the
# headline runs (raw2dpx --jobs 2, dcraw|convert two at a time, raw2dpx --jobs 2 --demosaic
# ahd) are timed, one after the other in each of ROUNDS rounds, and the medians compared: on a
# shared machine whose load changes by the minute that keeps the ratios side by side.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
frames=16
raw2dpx="$here/../build/cli/raw2dpx"
rounds=0
while getopts "f:r:n:" opt; do
  case $opt in
    f) frames=$OPTARG ;;
    r) raw2dpx=$OPTARG ;;
    n) rounds=$OPTARG ;;
    *) sed -n '2,17p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || { sed -n '2,17p' "$0"; exit 2; }
[ -x "$raw2dpx" ] || { echo "missing $raw2dpx (build it first)" >&2; exit 2; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/in"
sources=("$@")
for ((i = 0; i < frames; i++)); do
  src=${sources[$((i % ${#sources[@]}))]}
  ext=${src##*.}
  cp "$src" "$tmp/in/frame_$(printf %03d "$i").$ext"
done
mp=$("$raw2dpx" --info "$tmp/in" | awk -F'\t' '{split($2, s, "x"); t += s[1] * s[2]} END {printf "%.1f", t / 1e6}')

# "label seconds" for one command run; the output folder is emptied first.
timed() {
  local label=$1
  shift
  rm -rf "$tmp/out" && mkdir -p "$tmp/out"
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$tmp/err" || { echo "$label failed: $(tail -2 "$tmp/err")" >&2; return 1; }
  end=$(date +%s.%N)
  awk -v l="$label" -v s="$start" -v e="$end" 'BEGIN {printf "%s %.2f\n", l, e - s}'
}

peer_emu() {
  find "$tmp/in" -type f | sort | xargs -P 2 -I{} sh -c \
    'dcraw_emu -6 -W -c 0 -w -o 1 -q 3 -g 2.222 4.5 -T -Z "$2/$(basename "$1").tiff" "$1"' _ {} "$tmp/out"
}
peer_dcraw_convert() {
  find "$tmp/in" -type f | sort | xargs -P 2 -I{} sh -c \
    'dcraw -c -6 -W -w -o 1 -q 3 "$1" | convert - -depth 16 "$2/$(basename "$1").dpx"' _ {} "$tmp/out"
}
peer_oiiotool() {
  local resize=${1:-}
  find "$tmp/in" -type f | sort | xargs -P 2 -I{} sh -c \
    'oiiotool -iconfig raw:auto_bright 0 -iconfig raw:use_camera_wb 1 -iconfig raw:Demosaic AHD \
       "$1" $3 -d uint16 -o "$2/$(basename "$1").dpx"' _ {} "$tmp/out" "$resize"
}
peer_dcraw_convert_resize() {
  find "$tmp/in" -type f | sort | xargs -P 2 -I{} sh -c \
    'dcraw -c -6 -W -w -o 1 -q 3 "$1" | convert - -resize 1920x1080! -depth 16 "$2/$(basename "$1").dpx"' _ {} "$tmp/out"
}

printf "cores: %s   frames: %s (%s MP in all)   load before: %s\n\n" "$(nproc)" "$frames" "$mp" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$rounds" -gt 0 ]; then
  for ((r = 0; r < rounds; r++)); do
    timed "raw2dpx --jobs 2" "$raw2dpx" --jobs 2 --overwrite always "$tmp/in" -o "$tmp/out"
    timed "dcraw|convert x2" peer_dcraw_convert
    timed "raw2dpx --jobs 2 --demosaic ahd" "$raw2dpx" --jobs 2 --demosaic ahd --overwrite always "$tmp/in" -o "$tmp/out"
  done | tee "$tmp/times"
  echo
  awk '
    { label = $0; sub(/ [0-9.]+$/, "", label); v[label, ++n[label]] = $NF }
    function median(l,   i, j, t, a, k) {
      k = n[l]; for (i = 1; i <= k; i++) a[i] = v[l, i]
      for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return a[int((k + 1) / 2)]
    }
    END {
      o = median("raw2dpx --jobs 2"); d = median("dcraw|convert x2"); a = median("raw2dpx --jobs 2 --demosaic ahd")
      printf "medians of %d rounds: raw2dpx --jobs 2 %.2f s, dcraw|convert x2 %.2f s, --demosaic ahd %.2f s\n", n["raw2dpx --jobs 2"], o, d, a
      printf "dcraw|convert x2 / raw2dpx:           %.2f\n", d / o
      printf "raw2dpx --demosaic ahd / raw2dpx:     %.2f\n", a / o
    }' "$tmp/times"
  exit 0
fi
{
  timed "raw2dpx --jobs 1" "$raw2dpx" --jobs 1 --overwrite always "$tmp/in" -o "$tmp/out"
  timed "raw2dpx --jobs 1 (1 thread)" env OMP_NUM_THREADS=1 "$raw2dpx" --jobs 1 --overwrite always "$tmp/in" -o "$tmp/out"
  timed "raw2dpx --jobs 2" "$raw2dpx" --jobs 2 --overwrite always "$tmp/in" -o "$tmp/out"
  timed "raw2dpx (default jobs)" "$raw2dpx" --overwrite always "$tmp/in" -o "$tmp/out"
  timed "raw2dpx --jobs 2 --demosaic ahd" "$raw2dpx" --jobs 2 --demosaic ahd --overwrite always "$tmp/in" -o "$tmp/out"
  timed "dcraw_emu x2" peer_emu
  timed "dcraw|convert x2" peer_dcraw_convert
  timed "oiiotool x2" peer_oiiotool
  timed "raw2dpx --jobs 2 --resize 1920x1080" "$raw2dpx" --jobs 2 --resize 1920x1080 --overwrite always "$tmp/in" -o "$tmp/out"
  timed "dcraw|convert -resize x2" peer_dcraw_convert_resize
  timed "oiiotool --resize x2" peer_oiiotool "--resize 1920x1080"
} | tee "$tmp/times"

echo
awk -v n="$frames" '
  { label = $0; sub(/ [0-9.]+$/, "", label); t[label] = $NF; order[++k] = label }
  END {
    j2 = t["raw2dpx --jobs 2"]
    printf "per frame, raw2dpx --jobs 2: %.3f s\n", j2 / n
    printf "--jobs 2 vs --jobs 1:                 %.2fx faster\n", t["raw2dpx --jobs 1"] / j2
    printf "--jobs 2 vs --jobs 1 (1 thread):      %.2fx faster\n", t["raw2dpx --jobs 1 (1 thread)"] / j2
    best = ""; for (p in t) if (p ~ /x2$/ && p !~ /resize/ && p !~ /emu/ && (best == "" || t[p] < t[best])) best = p
    printf "fastest DPX peer (%s) / raw2dpx:  %.2f\n", best, t[best] / j2
    printf "dcraw_emu x2 (TIFF, the floor) / raw2dpx: %.2f\n", t["dcraw_emu x2"] / j2
    printf "dcraw|convert x2 / raw2dpx:           %.2f\n", t["dcraw|convert x2"] / j2
    printf "raw2dpx --demosaic ahd / raw2dpx:     %.2f\n", t["raw2dpx --jobs 2 --demosaic ahd"] / j2
    r = t["raw2dpx --jobs 2 --resize 1920x1080"]
    printf "resize 1920x1080 vs full size:        %.2fx faster\n", j2 / r
    rb = (t["dcraw|convert -resize x2"] < t["oiiotool --resize x2"]) ? "dcraw|convert -resize x2" : "oiiotool --resize x2"
    printf "fastest resizing peer (%s) / raw2dpx --resize: %.2f\n", rb, t[rb] / r
  }' "$tmp/times"
