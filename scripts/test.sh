#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs every test, the GUI
# ones in a virtual X display.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NUBO_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"

cd "$build"
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --output-on-failure -j2 "$@"
