#!/usr/bin/env bash
# Draws docs/screenshots/main-window.png: the main window on an X server (Xvfb) with three RAW
# files listed and an output folder chosen. Usage: scripts/screenshot.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target tarn_main_window_screenshot
mkdir -p docs/screenshots
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" \
  "$build/tests/app/tarn_main_window_screenshot" docs/screenshots/main-window.png
