#!/usr/bin/env bash
# How fast nubo moves files, beside the GUI's client (nubo-bench) and the ceiling of
# a pseudo-terminal: nubo get and put of 64 MiB against nubo-devsim; then a 4 MiB
# firmware image flashed to one device and to four at once, each limited to
# 1000000 bytes/s. A measurement, not a test: the figures swing with the machine's load.
# Usage: scripts/bench-cli.sh [build dir]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="$(cd "${1:-$root/build}/bin" && pwd)"
work=$(mktemp -d "${TMPDIR:-/tmp}/nubo-bench-cli.XXXXXX")
pids=()

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# start_device N [options...]: ttyACM<N> on its own copy of the sample device.
start_device() {
    local n=$1
    shift
    [ -d "$work/dev$n" ] || cp -r "$root/tools/devsim/sample-device" "$work/dev$n"
    "$bin/nubo-devsim" --fs "$work/dev$n" --device-root "$work/root" --tty "ttyACM$n" --usb-port $((n + 2)) \
        --usb-serial "SIM-$n" "$@" >"$work/devsim$n.out" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 1 100); do
        grep -qs '^READY ' "$work/devsim$n.out" && return 0
        sleep 0.1
    done
    echo "nubo-devsim $n did not start" >&2
    exit 1
}

stop_devices() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    pids=()
}

# seconds COMMAND...: wall-clock seconds of one run of nubo (start-up and port opening included).
seconds() {
    local start end
    start=$(date +%s.%N)
    NUBO_DEVICE_ROOT="$work/root" "$bin/nubo" -q "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

rate() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.1f", n / 1048576 / t }'; }

echo "== The GUI's client and the ceiling (nubo-bench, one round)"
"$bin/nubo-bench" 1 | sed -n '/^Ceiling/,$p'

echo
echo "== nubo against nubo-devsim, 64 MiB (two runs each)"
size=$((64 * 1024 * 1024))
start_device 0
head -c "$size" /dev/urandom >"$work/up.bin"
cp "$work/up.bin" "$work/dev0/mnt/nandfs/usr/big.bin"
cd "$work"
for i in 1 2; do
    t=$(seconds put up.bin)
    printf '  nubo put 64 MiB  %6.2f s  %6.1f MiB/s\n' "$t" "$(rate $size "$t")"
    t=$(seconds get big.bin got.bin)
    printf '  nubo get 64 MiB  %6.2f s  %6.1f MiB/s\n' "$t" "$(rate $size "$t")"
    cmp -s got.bin up.bin || { echo "fetched file differs" >&2; exit 1; }
    rm -f got.bin
done
stop_devices

echo
echo "== nubo flash, 4 MiB image, devices limited to 1000000 bytes/s"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$work/fw.img"
start_device 0 --rate 1000000
t1=$(seconds flash fw.img)
printf '  one device            %6.2f s\n' "$t1"
stop_devices
rm -rf "$work"/dev*
for n in 0 1 2 3; do start_device $n --rate 1000000; done
t4=$(seconds --all flash fw.img)
printf '  four devices (--all)  %6.2f s  (%.2f x one device)\n' "$t4" "$(awk -v a="$t4" -v b="$t1" 'BEGIN { printf "%.2f", a / b }')"
for n in 0 1 2 3; do
    cmp -s "$work/fw.img" "$work/dev$n/mnt/nandfs/Nuboimage" || { echo "device $n: image differs" >&2; exit 1; }
done
