#!/usr/bin/env bash
# SIGTERM, SIGHUP or SIGINT in the middle of a getmac transfer ends the run at
# once with exit 255 and leaves no part file behind.
source "$(dirname "$0")/common.bash"

start_device --rate 100000
head -c 3000000 /dev/urandom >"$work/device/mnt/nandfs/macAddress.txt" # half a minute at this rate
write_settings
mkdir -p "$work/out"

for sig in TERM HUP INT; do
    XDG_CONFIG_HOME="$work/config" NUBO_DEVICE_ROOT="$work/root" \
        "$bin_dir/nubo-usb-utility" getmac "$work/out/mac.txt" >"$work/stdout" 2>"$work/stderr" &
    pid=$!
    for _ in $(seq 1 300); do
        grep -qF "Getting remote file" "$work/stderr" && break
        kill -0 "$pid" 2>/dev/null || fail "SIG$sig: ended before the transfer began"
        sleep 0.1
    done
    sleep 0.5
    kill -s "$sig" "$pid"

    deadline=$((SECONDS + 10))
    while kill -0 "$pid" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            kill -9 "$pid" 2>/dev/null || true
            fail "SIG$sig: still running 10 s later"
        fi
        sleep 0.2
        press_return "$pid"
    done
    set +e
    wait "$pid"
    status=$?
    set -e
    expect_status 255
    [ -z "$(ls -A "$work/out")" ] || fail "SIG$sig left: $(ls -A "$work/out")"
done
echo "getmac_signals: ok"
