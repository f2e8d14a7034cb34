#!/usr/bin/env bash
# What a sync costs when nothing changed: a tree of 300 files in 30 folders pushed once
# to nubo-devsim (each answer 1 ms late, as a slow link's round trip), then pushed again.
# The second push's requests are set against those of listing the tree with its sizes
# (nubo du: one folder listing per folder, one entry's facts per file), the target being
# at most 1.2 times as many; both runs' times are printed. A measurement, not a test.
# Usage: scripts/bench-sync.sh [build dir]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="$(cd "${1:-$root/build}/bin" && pwd)"
work=$(mktemp -d "${TMPDIR:-/tmp}/nubo-bench-sync.XXXXXX")
pid=""

cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

for i in $(seq 0 9); do
    for sub in "" /x /y; do
        mkdir -p "$work/tree/d$i$sub"
        for f in $(seq 0 9); do
            printf 'file %s%s %s\n' "$i" "$sub" "$f" >"$work/tree/d$i$sub/f$f.txt"
        done
    done
done

cp -r "$root/tools/devsim/sample-device" "$work/dev"
"$bin/nubo-devsim" --fs "$work/dev" --device-root "$work/root" --usb-serial SIM-BENCH --delay 1 \
    --log "$work/requests.log" >"$work/devsim.out" 2>/dev/null &
pid=$!
for _ in $(seq 1 100); do
    grep -qs '^READY ' "$work/devsim.out" && break
    sleep 0.1
done
grep -qs '^READY ' "$work/devsim.out" || { echo "nubo-devsim did not start" >&2; exit 1; }

export NUBO_DEVICE_ROOT="$work/root" XDG_STATE_HOME="$work/state"
remote=/mnt/nandfs/usr/bench-sync

lines() { wc -l <"$work/requests.log"; }

# run LABEL COMMAND...: one run of nubo; prints its requests and seconds.
run() {
    local label=$1 before start end
    shift
    before=$(lines)
    start=$(date +%s.%N)
    "$bin/nubo" -q "$@" >/dev/null
    end=$(date +%s.%N)
    requests=$(($(lines) - before))
    seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    printf '%-28s %6d requests  %7s s\n' "$label" "$requests" "$seconds"
}

run "first push (300 files)" sync push "$work/tree" "$remote"
run "push, nothing changed" sync push "$work/tree" "$remote"
sync_requests=$requests
run "du of the tree" du "$remote"
du_requests=$requests
run "tree (names only)" tree "$remote"

awk -v s="$sync_requests" -v d="$du_requests" \
    'BEGIN { r = s / d; printf "unchanged sync / listing: %.2f (target <= 1.20): %s\n", r, r <= 1.2 ? "met" : "MISSED" }'
