#!/usr/bin/env bash
# getmac to a path with blanks in it: the device's MAC-address file lands there, exit 0.
source "$(dirname "$0")/common.bash"

start_device
write_settings
mkdir -p "$work/serial 0042"
target="$work/serial 0042/mac address.txt"

run_utility getmac "$target"
expect_status 0
cmp "$work/device/mnt/nandfs/macAddress.txt" "$target" || fail "MAC file differs"
expect_logged "Reading Mac file..."
echo "getmac_path_with_space: ok"
