#!/usr/bin/env bash
# Builds and starts the desktop program. Without a display (no DISPLAY or WAYLAND_DISPLAY) it
# says so and converts the bundled sample RAW with the command-line tool instead.
# Usage: scripts/run-app.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  cmake --build "$build" --target tarn-raw2dpx
  exec "$build/app/tarn-raw2dpx"
fi
echo "No display here (DISPLAY and WAYLAND_DISPLAY are unset), so the window cannot open." >&2
echo "Converting the bundled sample with raw2dpx instead: samples/ -> out/sample/" >&2
cmake --build "$build" --target raw2dpx
exec "$build/cli/raw2dpx" samples/canon-powershot-s40.crw -o out/sample
