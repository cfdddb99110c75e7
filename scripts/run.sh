#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: the desktop program where a display
# is available; without one, the command-line tool converts the bundled sample RAW into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/app/tarn-raw2dpx ]; then
  exec build/app/tarn-raw2dpx
fi
echo "No display available: converting the bundled sample with raw2dpx instead." >&2
mkdir -p out
build/cli/raw2dpx --overwrite always samples/canon-powershot-s40.crw -o out
build/cli/raw2dpx --info samples/canon-powershot-s40.crw
ls -l out/canon-powershot-s40.dpx
