# Shared by the end-to-end scripts, which CTest runs as: bash <script> <bin dir> <source dir>.
# They drive the built nubo-usb-utility against nubo-devsim in an X display, each
# in one of its own (tests/with-own-display.sh, which CTest puts before them); a
# script started without a display starts its own.

set -euo pipefail

bin_dir=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)

# A script that moves the pointer sets own_display=1 before sourcing this: run by
# hand in a display that others share, their windows could take the click.
if [ -z "${DISPLAY:-}" ] || { [ "${own_display:-0}" = 1 ] && [ "${NUBO_OWN_DISPLAY:-}" != "$DISPLAY" ]; }; then
    exec "$source_dir/tests/with-own-display.sh" bash "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/nubo-e2e.XXXXXX")
devsim_pid=""

cleanup() {
    if [ -n "$devsim_pid" ]; then
        kill "$devsim_pid" 2>/dev/null || true
        wait "$devsim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    if [ -f "$work/stderr" ]; then
        echo "--- standard error of nubo-usb-utility:" >&2
        cat "$work/stderr" >&2
    fi
    exit 1
}

# Starts the simulator on a fresh copy of the sample device, with its device root
# in $work/root; extra arguments go to nubo-devsim.
start_device() {
    cp -r "$source_dir/tools/devsim/sample-device" "$work/device"
    "$bin_dir/nubo-devsim" --fs "$work/device" --device-root "$work/root" "$@" \
        >"$work/devsim.out" 2>"$work/devsim.err" &
    devsim_pid=$!
    for _ in $(seq 1 300); do
        grep -q '^READY ' "$work/devsim.out" && return 0
        kill -0 "$devsim_pid" 2>/dev/null || fail "nubo-devsim ended: $(cat "$work/devsim.err")"
        sleep 0.1
    done
    fail "nubo-devsim did not get ready"
}

# A settings file as an earlier run leaves it: the simulated port, and the update
# file given as the argument (a path without XML special characters).
write_settings() {
    mkdir -p "$work/config/tyx"
    cat >"$work/config/tyx/NuboManufacturingUSBUtility.properties" <<XML
<?xml version="1.0" encoding="UTF-8"?>

<PROPERTIES>
  <VALUE name="LastPort" val="Nubo Device (ttyACM0)"/>
  <VALUE name="UpdateFileLocalPath" val="${1:-}"/>
</PROPERTIES>
XML
}

# Sends Return to every window of the process (the message box among them),
# not to whatever has the focus: other GUI tests may share the display.
# xdotool presses the key in the server itself when the window has the focus; a
# box that closes on the press takes the release with it, and the key would stay
# down and repeat into every window shown after it. So it is released in the
# server too.
press_return() {
    local w
    for w in $(xdotool search --pid "$1" 2>/dev/null); do
        xdotool key --window "$w" Return 2>/dev/null || true
    done
    xdotool keyup Return 2>/dev/null || true
}

# Runs the utility with the given arguments and answers its message boxes with
# Return until it ends; leaves the exit status in $status.
run_utility() {
    XDG_CONFIG_HOME="$work/config" NUBO_DEVICE_ROOT="$work/root" \
        "$bin_dir/nubo-usb-utility" "$@" >"$work/stdout" 2>"$work/stderr" &
    local pid=$!
    local deadline=$((SECONDS + 120))
    while kill -0 "$pid" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            kill "$pid" 2>/dev/null || true
            fail "nubo-usb-utility $* did not end"
        fi
        sleep 0.5
        press_return "$pid"
    done
    set +e
    wait "$pid"
    status=$?
    set -e
}

expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

expect_logged() {
    grep -qxF -- "$1" "$work/stderr" || fail "\"$1\" not logged"
}
