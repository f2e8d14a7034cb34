#!/usr/bin/env bash
# getmac takes its path exactly as given: a tab stays in the file name; a path
# that ends in a separator or names a folder is refused (exit 255), nothing written.
source "$(dirname "$0")/common.bash"

start_device
write_settings
mkdir -p "$work/out"
cd "$work/out"

target=$'mac\taddress\nnew.txt'
run_utility getmac "$target"
expect_status 0
cmp "$work/device/mnt/nandfs/macAddress.txt" "$work/out/$target" || fail "MAC file not at the path given"
[ "$(find "$work/out" -mindepth 1 -printf . | wc -c)" -eq 1 ] || fail "other files beside it: $(ls -A "$work/out")"

run_utility getmac newdir/
expect_status 255
[ ! -e "$work/out/newdir" ] || fail "getmac newdir/ created newdir"
expect_logged "Local path names a folder - $work/out/newdir/"

mkdir "$work/out/folder"
run_utility getmac folder
expect_status 255
[ -z "$(ls -A "$work/out/folder")" ] || fail "something was written into the folder"
echo "getmac_exact_paths: ok"
