#!/usr/bin/env bash
# How fast nubo moves files, beside the GUI's client (nubo-bench) and the ceiling of
# a pseudo-terminal measured in the same run: nubo get and put of 64 MiB against
# nubo-devsim (process start included), with the figures from before the device layer
# beside them; then a 4 MiB firmware image flashed to one device and to eight at once,
# each limited to 1000000 bytes/s. A measurement, not a test: the figures swing with
# the machine's load.
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

# Before the device layer, nubo's get and put had a transfer loop of their own
# (same script, same machine, quiet).
before_get=70.7
before_put=79.0

echo "== The GUI's client and the ceiling (nubo-bench, one round)"
"$bin/nubo-bench" 1 | sed -n '/^Ceiling/,$p' | tee "$work/bench.out"
# MB/s (10^6 bytes) of the ceiling each way and of the client inside nubo-bench.
ceiling_put=$(awk '/8191-byte requests, 10-byte replies/ { print $(NF-3) }' "$work/bench.out")
ceiling_get=$(awk '/10-byte requests, 8191-byte replies/ { print $(NF-3) }' "$work/bench.out")
client_get=$(awk '$1 == "get" && $3 == "MiB" { print $4 }' "$work/bench.out")
client_put=$(awk '$1 == "put" && $3 == "MiB" { print $4 }' "$work/bench.out")

echo
echo "== nubo against nubo-devsim, 64 MiB (two runs each)"
size=$((64 * 1024 * 1024))
start_device 0
head -c "$size" /dev/urandom >"$work/up.bin"
cp "$work/up.bin" "$work/dev0/mnt/nandfs/usr/big.bin"
cd "$work"
# compare WHAT SECONDS BEFORE CEILING CLIENT: one line of figures.
compare() {
    awk -v what="$1" -v t="$2" -v before="$3" -v ceiling="$4" -v client="$5" -v n="$size" 'BEGIN {
        mib = n / 1048576 / t; mb = n / 1e6 / t
        printf "  nubo %s 64 MiB  %6.2f s  %6.1f MiB/s (before %5.1f)  %3.0f %% of the ceiling, %3.0f %% of the client\n",
            what, t, mib, before, 100 * mb / ceiling, 100 * mb / client }'
}
for i in 1 2; do
    t=$(seconds put up.bin)
    compare put "$t" "$before_put" "$ceiling_put" "$client_put"
    t=$(seconds get big.bin got.bin)
    compare get "$t" "$before_get" "$ceiling_get" "$client_get"
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
for n in 0 1 2 3 4 5 6 7; do start_device $n --rate 1000000; done
t8=$(seconds --all flash fw.img)
printf '  eight devices (--all) %6.2f s  (%.2f x one device)\n' "$t8" "$(awk -v a="$t8" -v b="$t1" 'BEGIN { printf "%.2f", a / b }')"
for n in 0 1 2 3 4 5 6 7; do
    cmp -s "$work/fw.img" "$work/dev$n/mnt/nandfs/Nuboimage" || { echo "device $n: image differs" >&2; exit 1; }
done
