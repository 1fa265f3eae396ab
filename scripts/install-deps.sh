#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing norv needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev dpkg-dev file
    # core libraries
    libicu-dev libsqlite3-dev libssl-dev libcurl4-openssl-dev libarchive-dev libsystemd-dev nlohmann-json3-dev
    libcap-dev libacl1-dev liburing-dev
    # desktop program
    qt6-base-dev qt6-translations-l10n libgl-dev fonts-vlgothic
    # tests
    libgtest-dev libgmock-dev python3 python3-aiosmtpd sqlite3 systemd man-db rsyslog
    lhasa libarchive-tools 7zip jlha-utils
    xvfb xdotool trayer x11-utils xdg-utils openbox
)

if [ "$(id -u)" -ne 0 ]; then
    sudo=sudo
else
    sudo=
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
