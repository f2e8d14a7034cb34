#!/usr/bin/env bash
# auto fails (exit 255) when the trigger file cannot be created, and when the
# device does not answer the firmware check (dropped or late): then no image is sent.
source "$(dirname "$0")/common.bash"

image="$work/image.bin"
head -c 30000 /dev/urandom >"$image"
write_settings "$image"

# A folder in the trigger's place: the device cannot open it for writing.
start_device
mkdir "$work/device/mnt/nandfs/NuboimageDone"
run_utility auto
expect_status 255
cmp "$image" "$work/device/mnt/nandfs/Nuboimage" || fail "the image did not arrive"
expect_logged "Failed to trigger update"
grep -qxF "Firmware update completed" "$work/stderr" && fail "a failed trigger reported as completed"
expect_logged "Closing Port."

# Request 1 is the WhoAmI, request 2 the firmware check.
for fault in "--drop 2" "--late 2:1500"; do
    kill "$devsim_pid"
    wait "$devsim_pid" 2>/dev/null || true
    rm -rf "$work/device" "$work/root"
    # shellcheck disable=SC2086
    start_device --log "$work/requests.log" $fault
    run_utility auto
    expect_status 255
    expect_logged "Device did not answer the firmware check"
    grep -q " FileWriteRequest " "$work/requests.log" && fail "$fault: the image was sent"
    [ ! -e "$work/device/mnt/nandfs/Nuboimage" ] || fail "$fault: an image reached the device"
    rm -f "$work/requests.log"
done
echo "auto_unconfirmed_update: ok"
