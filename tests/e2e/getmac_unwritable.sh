#!/usr/bin/env bash
# getmac to a path that cannot be written (its folder is a file): exit status -1 (255).
source "$(dirname "$0")/common.bash"

start_device
write_settings
echo "not a folder" >"$work/plain"

run_utility getmac "$work/plain/mac.txt"
expect_status 255
expect_logged "Failed to read mac file"
echo "getmac_unwritable: ok"
