#!/usr/bin/env bash
# getmac on a fresh machine (no settings file) with one device: that device is chosen, exit 0.
source "$(dirname "$0")/common.bash"

start_device
target="$work/mac.txt"

run_utility getmac "$target"
expect_status 0
cmp "$work/device/mnt/nandfs/macAddress.txt" "$target" || fail "MAC file differs"
grep -q 'name="LastPort" val="Nubo Device (ttyACM0)"' "$work/config/tyx/NuboManufacturingUSBUtility.properties" ||
    fail "the chosen port is not remembered"
echo "getmac_fresh_machine: ok"
