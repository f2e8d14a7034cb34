#!/usr/bin/env bash
# Installs what the build and the tests need (only what is missing), then
# configures and builds everything into ${NUBO_BUILD_DIR:-build} (only the targets
# in NUBO_BUILD_TARGETS when that is set; scripts/check.sh uses it).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Compiler cache entries name paths relative to the checkout and ignore the build
# folder, so another clone (CI's) or another build folder reuses them.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
export CCACHE_NOHASHDIR=1
build="${NUBO_BUILD_DIR:-$root/build}"

packages=(
    build-essential cmake pkg-config ccache libcli11-dev nlohmann-json3-dev
    juce-modules-source libx11-dev
    libgtest-dev libgmock-dev
    xvfb xauth xdotool x11-utils
    fonts-dejavu-core python3
    clang-14 libclang-rt-14-dev llvm-14
    libudev-dev libsqlite3-dev libpq-dev postgresql
    help2man groff-base
    libfuse3-dev fuse3
    libedit-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${NUBO_BUILD_TYPE:-RelWithDebInfo}" ${NUBO_CMAKE_ARGS:-} >/dev/null
targets=()
for t in ${NUBO_BUILD_TARGETS:-}; do
    targets+=(--target "$t")
done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
