#!/usr/bin/env bash
# Builds the utility (installing what is missing) and runs it against the bundled
# device simulator: nubo-devsim plays a Nubo device on a fresh copy of the sample
# device, and the utility finds it as "Nubo Device (ttyACM0)" in its port box.
# Arguments go to the utility (for example: scripts/run.sh getmac /tmp/mac.txt).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NUBO_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"

work="$(mktemp -d "${TMPDIR:-/tmp}/nubo-run.XXXXXX")"
devsim_pid=""
cleanup() {
    if [ -n "$devsim_pid" ]; then
        kill "$devsim_pid" 2>/dev/null || true
        wait "$devsim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

cp -r "$root/tools/devsim/sample-device" "$work/device"
"$build/bin/nubo-devsim" --fs "$work/device" --device-root "$work/root" --log "$work/requests.log" \
    >"$work/devsim.out" 2>"$work/devsim.err" &
devsim_pid=$!

for _ in $(seq 1 100); do
    grep -q '^READY ' "$work/devsim.out" && break
    if ! kill -0 "$devsim_pid" 2>/dev/null; then
        cat "$work/devsim.err" >&2
        echo "run: the device simulator did not start" >&2
        exit 1
    fi
    sleep 0.1
done
if ! grep -q '^READY ' "$work/devsim.out"; then
    echo "run: the device simulator did not get ready" >&2
    exit 1
fi

echo "run: simulated device on $(sed -n 's/^READY //p' "$work/devsim.out"); its files are in $work/device"
echo "run: choose \"Nubo Device (ttyACM0)\" in the Serial Port box and press Connect"

set +e
NUBO_DEVICE_ROOT="$work/root" "$build/bin/nubo-usb-utility" "$@"
status=$?
set -e
exit "$status"
