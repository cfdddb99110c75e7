#!/usr/bin/env bash
# Redraws the icon set app/icons/tarn-raw2dpx-<size>.png with tarn_make_icons (QPainter).
# Usage: app/icons/make-icons.sh [build folder, default: build]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja
cmake --build "$build" --target tarn_make_icons
QT_QPA_PLATFORM=offscreen "$build/app/tarn_make_icons" app/icons
