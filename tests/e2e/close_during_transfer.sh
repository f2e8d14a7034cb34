#!/usr/bin/env bash
# Closing the window in the middle of a long firmware transfer ends the process
# without finishing the transfer or triggering the update. The link is slow
# enough that no progress line (one every 256 blocks, about 2 MB) is logged
# before the window must have reacted: it answers between exchanges.
own_display=1
source "$(dirname "$0")/common.bash"

start_device --rate 200000
image="$work/image.bin"
head -c 20000000 /dev/urandom >"$image" # well over a minute at this rate
write_settings "$image"

XDG_CONFIG_HOME="$work/config" NUBO_DEVICE_ROOT="$work/root" \
    "$bin_dir/nubo-usb-utility" auto >"$work/stdout" 2>"$work/stderr" &
pid=$!

for _ in $(seq 1 300); do
    grep -qF "sending " "$work/stderr" && break
    kill -0 "$pid" 2>/dev/null || fail "ended before the transfer began"
    sleep 0.1
done
grep -qF "sending " "$work/stderr" || fail "the transfer did not begin"

# The close button sits at the right end of the window's own title bar.
window=$(xdotool search --pid "$pid" --name "USB File Utility" | head -n 1)
[ -n "$window" ] || fail "no main window"
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool windowraise "$window" mousemove $((X + WIDTH - 22)) $((Y + 17)) click 1

deadline=$((SECONDS + 6))
while kill -0 "$pid" 2>/dev/null; do
    if [ "$SECONDS" -ge "$deadline" ]; then
        kill "$pid" 2>/dev/null || true
        fail "still running 6 s after the window was closed"
    fi
    sleep 0.5
    press_return "$pid"
done
wait "$pid" || true
[ ! -f "$work/device/mnt/nandfs/NuboimageDone" ] || fail "the transfer went on to the end and triggered the update"
grep -qF "Failed on write" "$work/stderr" || fail "the transfer was not cut short"
echo "close_during_transfer: ok"
