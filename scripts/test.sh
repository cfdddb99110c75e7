#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: the optimised build, the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, a minute of fuzzing per fuzz
# target, raw2dpx as a Slurm job array on a one-node cluster of this machine, and the Debian
# package installed and run on a clean Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
bash tests/slurm/run_slurm_test.sh build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=ON
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

bash bench/fuzz.sh dpx 60
bash bench/fuzz.sh sdk 60
bash bench/fuzz.sh cr2 60

bash tests/package/run_package_test.sh build-deb
