#!/usr/bin/env bash
# Installs what the build and the tests need (only what is missing), then
# configures and builds everything into ${NUBO_BUILD_DIR:-build}.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NUBO_BUILD_DIR:-$root/build}"

packages=(
    build-essential cmake pkg-config ccache libcli11-dev
    juce-modules-source libx11-dev
    libgtest-dev libgmock-dev
    xvfb xauth xdotool x11-utils
    fonts-dejavu-core
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
cmake --build "$build" -j"$(nproc)"
