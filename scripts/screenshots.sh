#!/usr/bin/env bash
# Saves a PNG of the main window on each tab, connected to the device simulator
# (the Production tab with one unit passed and one refused),
# under build/screenshots/ for review. Builds only what it needs.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NUBO_BUILD_DIR:-$root/build}"
out="$build/screenshots"

if [ ! -f "$build/CMakeCache.txt" ]; then
    "$root/scripts/setup.sh"
fi
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target nubo_app_tests nubo-devsim

mkdir -p "$out"
NUBO_SCREENSHOT_DIR="$out" xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
    "$build/tests/nubo_app_tests" --gtest_filter='Screenshots.*:ProductionPaneTest.RefusesAUnitOfAnotherFamilyAndPassesTheOther' 2>/dev/null | grep '^saved ' || {
    echo "screenshots: nothing saved" >&2
    exit 1
}
