#!/usr/bin/env bash
# Grabs the desktop program's window offscreen: each tab offline, the window
# online and small, the About dialog and the toolbar buttons in each state.
# The pictures go to build/screenshots/ (ignored by git) to be looked at.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice cmake --build build --target admin_screenshots tvl_site
mkdir -p build/screenshots
QT_QPA_PLATFORM=offscreen build/tests/admin/admin_screenshots build/screenshots
