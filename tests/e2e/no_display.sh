#!/usr/bin/env bash
# Without a reachable display every mode says so and exits 255 (no crash).
source "$(dirname "$0")/common.bash"

for args in "" "auto" "getmac $work/mac.txt"; do
    set +e
    # shellcheck disable=SC2086
    DISPLAY=:nowhere XDG_CONFIG_HOME="$work/config" "$bin_dir/nubo-usb-utility" $args >"$work/stdout" 2>"$work/stderr"
    status=$?
    set -e
    expect_status 255
    grep -qxF "Cannot open display :nowhere" "$work/stderr" || fail "\"$args\": no word about the display"
done
echo "no_display: ok"
