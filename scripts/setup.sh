#!/usr/bin/env bash
# Sourced by scripts/run and scripts/test: installs the Debian packages the build and
# the tests need (when missing) and configures + builds into build/.
set -euo pipefail

LUMETRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LUMETRA_BUILD="${LUMETRA_BUILD:-$LUMETRA_ROOT/build}"

LUMETRA_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-charts-dev libgl-dev
    libaravis-dev libusb-1.0-0-dev aravis-tools iproute2 util-linux
    xvfb xauth python3 clang-format poppler-utils
)
# What scripts/package needs on top: the package tools and the checkers it runs.
LUMETRA_PACKAGING_PACKAGES=(dpkg-dev file lintian desktop-file-utils appstream)

lumetra_install_packages() {
    local missing=()
    for p in "${LUMETRA_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "Installing missing packages: ${missing[*]}"
        local sudo=""
        [[ $(id -u) -ne 0 ]] && sudo="sudo"
        $sudo apt-get update
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
    fi
}

lumetra_build() {
    cmake -S "$LUMETRA_ROOT" -B "$LUMETRA_BUILD" -G Ninja "$@"
    cmake --build "$LUMETRA_BUILD" --parallel "$(nproc)"
}
