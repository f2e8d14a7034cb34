#!/usr/bin/env bash
# auto with no device present: nothing to open, exit status -1 (255).
source "$(dirname "$0")/common.bash"

mkdir -p "$work/root"
write_settings "$work/image.bin"

run_utility auto
expect_status 255
expect_logged "Failed to open port"
if grep -qF "Checking for existing firmware..." "$work/stderr"; then
    fail "an update was attempted"
fi
echo "auto_no_device: ok"
