#!/usr/bin/env bash
# How nubo mount compares with nubo's own commands against nubo-devsim: ls -l of a
# folder of 1000 files through the mount (first time, then from the mount's caches)
# beside nubo ls -l of it, and cp of 64 MiB out of the mount beside nubo get. Needs
# /dev/fuse and fusermount3 (root, or a user allowed to mount FUSE). A measurement,
# not a test: the figures swing with the machine's load.
# Usage: scripts/bench-mount.sh [build dir]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="$(cd "${1:-$root/build}/bin" && pwd)"
work=$(mktemp -d "${TMPDIR:-/tmp}/nubo-bench-mount.XXXXXX")
pids=()
mnt="$work/mnt"

cleanup() {
    if grep -qs " $mnt " /proc/self/mounts; then fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt" || true; fi
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.4f", b - a }'; }

cp -r "$root/tools/devsim/sample-device" "$work/dev"
home="$work/dev/mnt/nandfs/usr"
mkdir -p "$home/many" "$mnt"
for i in $(seq 1 1000); do echo "$i" >"$home/many/file$i.txt"; done
size=$((64 * 1024 * 1024))
head -c "$size" /dev/urandom >"$home/big.bin"

"$bin/nubo-devsim" --fs "$work/dev" --device-root "$work/root" --tty ttyACM0 >"$work/devsim.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 100); do grep -qs '^READY ' "$work/devsim.out" && break; sleep 0.1; done
export NUBO_DEVICE_ROOT="$work/root"

start=$(now)
"$bin/nubo" -q ls -l many >/dev/null
ls_cli=$(since "$start")

start=$(now)
"$bin/nubo" -q get big.bin "$work/got.bin"
get_cli=$(since "$start")

# The mount is started once the other commands are done with the port.
"$bin/nubo" -q mount /mnt/nandfs/usr "$mnt" --cache-dir "$work/cache" &
pids+=($!)
for _ in $(seq 1 100); do grep -qs " $mnt " /proc/self/mounts && break; sleep 0.05; done

start=$(now)
ls -l "$mnt/many" >/dev/null
ls_first=$(since "$start")
start=$(now)
ls -l "$mnt/many" >/dev/null
ls_cached=$(since "$start")

# The same listing of the same files on the local disk, for scale: the process and
# its thousand lstat calls cost this much without any file system of ours.
start=$(now)
ls -l "$home/many" >/dev/null
ls_local=$(since "$start")

start=$(now)
cp "$mnt/big.bin" "$work/copied.bin"
cp_mount=$(since "$start")
cmp -s "$work/copied.bin" "$home/big.bin" || { echo "cp out of the mount gave other bytes" >&2; exit 1; }

fusermount3 -u "$mnt"

awk -v lc="$ls_cli" -v lf="$ls_first" -v lk="$ls_cached" -v ll="$ls_local" -v gc="$get_cli" -v cm="$cp_mount" -v n="$size" 'BEGIN {
    printf "ls -l of 1000 files: nubo ls -l %.3f s, the mount first %.3f s (%.2fx; target <= 1.3x), cached %.1f ms (target <= 5 ms; ls -l of the local folder %.1f ms)\n",
        lc, lf, lf / lc, lk * 1000, ll * 1000
    printf "64 MiB out: nubo get %.2f s (%.1f MiB/s, start-up included), cp from the mount %.2f s (%.1f MiB/s): %.0f %% (target >= 70 %%)\n",
        gc, n / 1048576 / gc, cm, n / 1048576 / cm, 100 * gc / cm
}'
