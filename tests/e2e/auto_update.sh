#!/usr/bin/env bash
# auto on a device without firmware: the image and the trigger file arrive, exit 0.
source "$(dirname "$0")/common.bash"

start_device
image="$work/update image.bin"
head -c 50000 /dev/urandom >"$image"
write_settings "$image"

run_utility auto
expect_status 0
cmp "$image" "$work/device/mnt/nandfs/Nuboimage" || fail "image differs on the device"
[ -f "$work/device/mnt/nandfs/NuboimageDone" ] || fail "no trigger file on the device"
expect_logged "Existing firmware not found, updating..."
expect_logged "Closing Port."
echo "auto_update: ok"
