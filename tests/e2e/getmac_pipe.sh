#!/usr/bin/env bash
# getmac into a named pipe: the reader gets the device's MAC-address file and the
# pipe stays a pipe; with nobody reading, the run fails at once instead of waiting.
source "$(dirname "$0")/common.bash"

start_device
write_settings
mkfifo "$work/mac.fifo"

cat "$work/mac.fifo" >"$work/received" &
reader=$!
run_utility getmac "$work/mac.fifo"
wait "$reader"
expect_status 0
[ -p "$work/mac.fifo" ] || fail "the pipe was replaced"
cmp "$work/device/mnt/nandfs/macAddress.txt" "$work/received" || fail "the reader got something else"

run_utility getmac "$work/mac.fifo"
expect_status 255
expect_logged "Couldn't write file - $work/mac.fifo: nobody is reading the pipe"
[ -p "$work/mac.fifo" ] || fail "the pipe was replaced"
echo "getmac_pipe: ok"
