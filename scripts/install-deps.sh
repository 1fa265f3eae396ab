#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing norv needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev dpkg-dev file
    # the Debian packages
    debhelper lintian devscripts debootstrap systemd-container
    # core libraries
    libicu-dev libsqlite3-dev libssl-dev libcurl4-openssl-dev libarchive-dev libsystemd-dev nlohmann-json3-dev
    libcap-dev libacl1-dev liburing-dev libpq-dev
    # desktop program
    qt6-base-dev qt6-translations-l10n libgl-dev fonts-vlgothic
    # tests
    libgtest-dev libgmock-dev python3 python3-aiosmtpd python3-jsonschema sqlite3 systemd man-db rsyslog
    postgresql-15
    lhasa libarchive-tools 7zip jlha-utils
    xvfb xdotool trayer x11-utils xdg-utils openbox
    # a fleet: RELP with TLS into PostgreSQL, between network namespaces
    rsyslog-relp rsyslog-pgsql postgresql-client-15 openssl iproute2
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
    # rsyslog-pgsql would otherwise offer to make a database of its own for the system's rsyslog.
    echo "rsyslog-pgsql rsyslog-pgsql/dbconfig-install boolean false" | $sudo debconf-set-selections
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    # ... and it still leaves a drop-in that sends every message of the system's rsyslog to a
    # database "Syslog" that does not exist: gone, while it is the package's untouched one.
    if grep -qs '^\*\.\* action(type="ompgsql" server="localhost" db="Syslog" uid="rsyslog" pwd="")$' \
        /etc/rsyslog.d/pgsql.conf && [ "$(grep -cv '^#\|^$' /etc/rsyslog.d/pgsql.conf)" -eq 2 ]; then
        $sudo rm -f /etc/rsyslog.d/pgsql.conf
    fi
fi
