#!/usr/bin/env bash
# The line's upload benchmark: 10,000 records of a station's journal go up to a
# PostgreSQL server of its own after an outage, while the station keeps recording;
# prints the time, the rate and the station's cost of a record meanwhile.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NUBO_BUILD_DIR:-$root/build}"
NUBO_BENCH=1 "$build/tests/nubo_station_tests" --gtest_filter='LineUploadBenchmark.*' | grep -E 'uploaded|meanwhile|SKIPPED|FAILED'
