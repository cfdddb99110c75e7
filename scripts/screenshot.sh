#!/usr/bin/env bash
# Draws the screenshots in docs/screenshots/ on an X server (Xvfb): the main window with three
# RAW files listed and an output folder chosen (main-window.png), and with the real RAW
# developer the progress overlay mid-run (batch-progress.png) and just after Cancel
# (batch-cancelling.png), the overwrite question (overwrite-question.png), the About box
# (about-box.png), the error box of a file that is no RAW file (error-box.png), the Colour
# Options dialog (colour-options.png) and the opened colour-space list (colour-space-list.png).
# Usage: scripts/screenshot.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target tarn_main_window_screenshot tarn_batch_screenshots \
  tarn_colour_screenshots
mkdir -p docs/screenshots
xvfb() { QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" "$@"; }
xvfb "$build/tests/app/tarn_main_window_screenshot" docs/screenshots/main-window.png
# With a window manager, so that the dialogs show their frames and titles over the main window.
xvfb sh -c 'openbox & sleep 1; exec "$0" "$@"' \
  "$build/tests/app/tarn_batch_screenshots" docs/screenshots
xvfb sh -c 'openbox & sleep 1; exec "$0" "$@"' \
  "$build/tests/app/tarn_colour_screenshots" docs/screenshots
