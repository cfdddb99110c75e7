#!/usr/bin/env bash
# Builds a libFuzzer target and runs it for a given time, then prints its figures.
#
#   bench/fuzz.sh TARGET SECONDS [extra libFuzzer flags...]
#
# TARGET is dpx (the DPX decoder), sdk (the SDK layer: size query and a 64x48 conversion of
# arbitrary bytes as a RAW file; seeded with the cr2 target's small CR2s too, so it reaches our CR2
# decoder) or cr2 (our CR2 lossless-JPEG decoder, seeded with small CR2s from fuzz/seeds/cr2).
# The build lives in build-fuzz/ (clang, AddressSanitizer, UndefinedBehaviorSanitizer); the
# corpus grows in build-fuzz/corpus/TARGET across runs, seeded from tests/data. Findings land in
# build-fuzz/artifacts/TARGET/; the script then exits with 1.
# One fuzzing process only: the machine is shared.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
target=${1%_fuzzer}
seconds=$2
shift 2

case "$target" in
  dpx)
    seeds=(tests/data/dpx)
    # No DPX input of this size can justify a large allocation: the decoder's memory is
    # bounded by the input.
    limits=(-malloc_limit_mb=256 -rss_limit_mb=1024)
    ;;
  sdk)
    seed_dir=build-fuzz/seeds/sdk
    mkdir -p "$seed_dir"
    # Small RAW files only: the big synthetic CR2 would make each run slow. The CR2 decoder's
    # seeds are whole Canon CR2s to LibRaw too, so conversions of them reach our decoder.
    find tests/data/raw -type f -size -1024k ! -name '*.md' -exec cp {} "$seed_dir" \;
    cp fuzz/seeds/cr2/*.cr2 "$seed_dir"
    seeds=("$seed_dir")
    limits=(-rss_limit_mb=2048)
    ;;
  cr2)
    seeds=(fuzz/seeds/cr2)
    # The decoder sizes its memory from the header only after checking that the compressed data
    # can hold that many samples: 16 bytes of output per input byte at most.
    limits=(-malloc_limit_mb=512 -rss_limit_mb=2048)
    ;;
  *)
    echo "unknown target '$target' (dpx, sdk or cr2)" >&2
    exit 2
    ;;
esac

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARN_FUZZ=ON -DBUILD_GUI=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz --target "${target}_fuzzer" -j2

corpus=build-fuzz/corpus/$target
artifacts=build-fuzz/artifacts/$target
log=build-fuzz/logs/$target-$(date +%Y%m%d-%H%M%S).log
mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"

status=0
"build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$artifacts/" -timeout=25 "${limits[@]}" "$@" "$corpus" "${seeds[@]}" >"$log" 2>&1 ||
  status=$?

echo "== $target fuzzer, ${seconds}s, log: $log"
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" | tail -2 || true
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
echo "corpus: $(find "$corpus" -type f | wc -l) files"
findings=$(find "$artifacts" -type f | wc -l)
echo "findings: $findings (in $artifacts)"
if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
  grep -E 'ERROR: |SUMMARY: |runtime error' "$log" | head -20 || true
  exit 1
fi
