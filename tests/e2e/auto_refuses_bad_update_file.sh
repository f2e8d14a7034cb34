#!/usr/bin/env bash
# auto with an empty update file, a pipe or a device as the update file: nothing
# reaches the device (no hang on the pipe), the reason is logged, exit 255.
source "$(dirname "$0")/common.bash"

start_device --log "$work/requests.log"
: >"$work/empty.bin"
mkfifo "$work/pipe"

for file in "$work/empty.bin" "$work/pipe" /dev/zero; do
    : >"$work/requests.log"
    write_settings "$file"
    run_utility auto
    expect_status 255
    expect_logged "Update file is empty or not a regular file - $file"
    grep -v " WhoAmIRequest$" "$work/requests.log" && fail "$file: the device got more than the WhoAmI"
    [ ! -e "$work/device/mnt/nandfs/Nuboimage" ] || fail "$file: an image reached the device"
    [ ! -e "$work/device/mnt/nandfs/NuboimageDone" ] || fail "$file: the update was triggered"
done
echo "auto_refuses_bad_update_file: ok"
