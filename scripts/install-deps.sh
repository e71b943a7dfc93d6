#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Safe to run again.
set -euo pipefail

packages=(
    cmake ninja-build g++ make pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev-tools
    libbz2-dev libarchive-dev libsodium-dev libdivsufsort-dev liblzma-dev zlib1g-dev
    clang libclang-rt-14-dev
    psmisc time p7zip-full libarchive-tools nginx-light squid curl faketime
    dpkg-dev file groff-base optipng
    fonts-wqy-microhei
    libcpp-httplib-dev libssl-dev libqt5sql5-sqlite libqt5sql5-psql postgresql chromium
    xvfb xauth qt5-image-formats-plugins libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
