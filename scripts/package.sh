#!/usr/bin/env bash
# Builds the Debian package from the source tree: a Release build without the tests
# in its own folder (${NUBO_PACKAGE_BUILD_DIR:-build-package}), then `cpack -G DEB`.
# Installs the Debian packages it needs when they are missing. Prints the path of
# the .deb on the last line of its output.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Compiler cache entries name paths relative to the checkout and ignore the build
# folder, so another clone (CI's) or another build folder reuses them.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
export CCACHE_NOHASHDIR=1
build="${NUBO_PACKAGE_BUILD_DIR:-$root/build-package}"

packages=(
    build-essential cmake pkg-config ccache
    juce-modules-source libcli11-dev nlohmann-json3-dev libx11-dev libudev-dev libsqlite3-dev libpq-dev
    dpkg-dev file desktop-file-utils help2man
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "package: installing ${missing[*]}" >&2
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A desktop entry that menus would reject is not worth packing.
desktop-file-validate "$root/packaging/nubo-usb-utility.desktop"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DNUBO_REQUIRE_MANUAL_PAGES=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# Only this build's package may be reported, never one left from an earlier run.
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >&2)

debs=("$build"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "package: cpack made no single .deb in $build" >&2
    exit 1
fi
echo "${debs[0]}"
