#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs every test, each GUI
# one in a virtual X display of its own (tests/with-own-display.sh, set up by
# tests/CMakeLists.txt).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NUBO_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"

cd "$build"
ctest --output-on-failure -j2 "$@"
