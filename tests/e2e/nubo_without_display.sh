#!/usr/bin/env bash
# nubo carries no GUI code and runs without a display: no JUCE component, no X11
# entry point in the executable; --help, ports and an error work with DISPLAY unset.
set -euo pipefail

bin_dir=$(cd "$1" && pwd)
nubo="$bin_dir/nubo"
work=$(mktemp -d "${TMPDIR:-/tmp}/nubo-nodisplay.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

gui_symbols=$(nm -C "$nubo" | grep -i -E 'juce::Component|XOpenDisplay' || true)
[ -z "$gui_symbols" ] || fail "GUI symbols in nubo: $(echo "$gui_symbols" | head -3)"

env -u DISPLAY -u WAYLAND_DISPLAY "$nubo" --help >"$work/help" || fail "--help without a display"
grep -q '^  flash ' "$work/help" || fail "--help does not list flash"

mkdir -p "$work/root/sys/class/tty"
set +e
env -u DISPLAY NUBO_DEVICE_ROOT="$work/root" "$nubo" ports >"$work/out" 2>"$work/err"
ports_status=$?
env -u DISPLAY NUBO_DEVICE_ROOT="$work/root" "$nubo" info >"$work/out" 2>"$work/err"
info_status=$?
set -e
[ "$ports_status" -eq 0 ] || fail "ports exit status $ports_status"
[ "$info_status" -eq 3 ] || fail "info without a device: exit status $info_status, expected 3"
grep -qx 'nubo: no Nubo device found' "$work/err" || fail "no clear message: $(cat "$work/err")"
echo "nubo_without_display: ok"
