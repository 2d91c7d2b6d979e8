#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need, when any is missing.
# Uses apt-get directly as root, or through sudo otherwise.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libqt6opengl6-dev libgl-dev
    libcurl4-openssl-dev libssl-dev openssl libbrotli-dev
    googletest libgtest-dev
    tinyproxy xvfb xauth trayer
    fonts-dejavu-core fonts-dejavu-extra
    dpkg-dev desktop-file-utils systemd libsystemd-dev lintian man-db groff-base
    clang-14 libfuzzer-14-dev libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
