#!/usr/bin/env bash
# The packages installed as an administrator installs them, in a Debian 12 container booted with
# systemd (debootstrap, then systemd-nspawn): the earlier package, which kept everything in
# /opt/norv, is upgraded with its service running; nothing of the settings, rules, baseline or
# logs is lost, and the service runs on from the new places; remove stops it and keeps the
# settings; purge leaves nothing; a fresh installation starts the service; no Qt comes with norv.
#
#   package_install_test.sh PACKAGE_DIR        (the output of scripts/build-package.sh)
#   package_install_test.sh --prepare          (only bootstraps the system into the cache)
#
# NORV_DEBOOTSTRAP_CACHE, when set, names a folder where the bootstrapped system is kept between
# runs. Exits 77 (skipped) where debootstrap or systemd-nspawn is missing.
set -eu
command -v debootstrap >/dev/null && command -v systemd-nspawn >/dev/null ||
    { echo "SKIP: debootstrap and systemd-nspawn are needed"; exit 77; }
mirror=http://deb.debian.org/debian
cache=${NORV_DEBOOTSTRAP_CACHE:-}
bootstrap() {
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$1" "$mirror" \
        >"$1.log" 2>&1 || { tail "$1.log"; echo "FAIL: debootstrap"; return 1; }
}
if [ "${1:-}" = --prepare ]; then
    [ -n "$cache" ] || { echo "--prepare needs NORV_DEBOOTSTRAP_CACHE"; exit 64; }
    [ -x "$cache/bin/sh" ] && exit 0
    rm -rf "$cache.part" && bootstrap "$cache.part" && mv "$cache.part" "$cache"
    exit
fi
packages=$(realpath "${1:?usage: package_install_test.sh PACKAGE_DIR}")
new_deb=$(ls "$packages"/norv_*_*.deb)
work=$(mktemp -d /var/tmp/norv-install-test.XXXXXX)
root=$work/root
container=
fail() {
    echo "FAIL: $*"
    [ -n "$container" ] && inside journalctl -u norv --no-pager 2>/dev/null | tail -20
    exit 1
}
cleanup() {
    if [ -n "$container" ]; then
        kill "$container" 2>/dev/null || true
        wait "$container" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

if [ -n "$cache" ] && [ -x "$cache/bin/sh" ]; then
    cp -a "$cache" "$root"
else
    bootstrap "$root" || exit 1
fi
echo "deb $mirror bookworm main" >"$root/etc/apt/sources.list"

# The earlier package, as it was laid out: the program, its default settings and, at run time,
# the settings, rules, database and logs, all in /opt/norv; its unit ran the service there.
old=$work/old
mkdir -p "$old/DEBIAN" "$old/opt/norv" "$old/lib/systemd/system" "$old/usr/bin"
dpkg-deb -x "$new_deb" "$work/new"
cp "$work/new/usr/sbin/norv-cli" "$old/opt/norv/norv-cli"
cp "$work/new/etc/norv/norvcfg.txt" "$old/opt/norv/norvcfg.txt.default"
ln -s /opt/norv/norv-cli "$old/usr/bin/norv-cli"
cat >"$old/lib/systemd/system/norv.service" <<'EOF'
[Unit]
Description=norv file-integrity monitor: timed checks of the watched folders
[Service]
Type=notify
ExecStart=/opt/norv/norv-cli --dir /opt/norv service
[Install]
WantedBy=multi-user.target
EOF
cat >"$old/DEBIAN/control" <<EOF
Package: norv
Version: 1.0.0
Architecture: $(dpkg-deb -f "$new_deb" Architecture)
Maintainer: norv developers <norv@localhost>
Depends: $(dpkg-deb -f "$new_deb" Depends)
Description: File-integrity monitor with a Japanese desktop interface
EOF
cat >"$old/DEBIAN/postinst" <<'EOF'
#!/bin/sh
set -e
if [ "$1" = "configure" ]; then
    if [ ! -e /opt/norv/norvcfg.txt ]; then
        install -m 0600 /opt/norv/norvcfg.txt.default /opt/norv/norvcfg.txt
    fi
    install -d -m 0700 /var/lib/norv /var/lib/norv/save /var/lib/norv/cracked
fi
EOF
chmod 0755 "$old/DEBIAN/postinst"
mkdir -p "$root/root/packages"
dpkg-deb --root-owner-group -b "$old" "$root/root/packages/norv_1.0.0.deb" >/dev/null
cp "$new_deb" "$root/root/packages/"
new_name=$(basename "$new_deb")

systemd-nspawn -q -b -D "$root" --register=no --keep-unit -M norv-install-test \
    >"$work/console.txt" 2>&1 &
container=$!
leader=
for _ in $(seq 600); do
    leader=$(pgrep -P "$container" -x systemd || true)
    [ -n "$leader" ] && break
    kill -0 "$container" 2>/dev/null || { cat "$work/console.txt"; fail "the container did not start"; }
    sleep 0.1
done
[ -n "$leader" ] || fail "no systemd in the container"
inside() {
    nsenter -t "$leader" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
state=
for _ in $(seq 600); do
    state=$(inside systemctl is-system-running 2>/dev/null || true)
    case $state in running | degraded) break ;; esac
    sleep 0.2
done
case $state in running | degraded) ;; *) fail "the container's systemd is $state" ;; esac
apt_install() {
    inside apt-get install -y -q "$@" >"$work/apt.txt" 2>&1 || { tail -20 "$work/apt.txt"; fail "apt-get install $*"; }
}
inside apt-get update -q >"$work/apt.txt" 2>&1 || { tail "$work/apt.txt"; fail "apt-get update"; }

# The earlier package, with a rule, a baseline, a log and events, and its service running.
apt_install /root/packages/norv_1.0.0.deb
inside sh -c 'mkdir -p /srv/www && echo home > /srv/www/index.html &&
    printf "<rule>/srv/www,3</rule>\r\n" > /opt/norv/user_rule.txt && chmod 0600 /opt/norv/user_rule.txt &&
    norv-cli --dir /opt/norv init' >"$work/init.txt" 2>&1 || { cat "$work/init.txt"; fail "init in /opt/norv"; }
inside systemctl enable --now norv >/dev/null 2>&1 || fail "the earlier service does not start"
inside systemctl is-active -q norv || fail "the earlier service is not running"
for f in norvcfg.txt user_rule.txt norv.db norv.log norv-events.jsonl; do
    inside test -f "/opt/norv/$f" || fail "the earlier package left no /opt/norv/$f to move"
done

# The upgrade: every file moves, the service runs the new program from the new places.
apt_install "/root/packages/$new_name"
inside grep -q '<rule>/srv/www,3</rule>' /etc/norv/user_rule.txt || fail "the rules were not moved"
for f in /var/lib/norv/norv.db /var/log/norv/norv.log /var/log/norv/norv-events.jsonl; do
    inside test -f "$f" || fail "$f was not moved"
done
inside test ! -e /opt/norv || fail "/opt/norv is still there: $(inside ls -A /opt/norv)"
inside stat -c %a /etc/norv/norvcfg.txt | grep -qx 600 || fail "the settings are not owner-only"
for _ in $(seq 100); do inside systemctl is-active -q norv && break; sleep 0.1; done
inside systemctl is-active -q norv || fail "the service is not running after the upgrade"
pid=$(inside systemctl show -p MainPID --value norv)
inside readlink "/proc/$pid/exe" | grep -qx /usr/sbin/norv-cli ||
    fail "the service does not run /usr/sbin/norv-cli"
# The baseline came along: nothing changed is nothing reported; a defaced page is.
inside norv-cli check >"$work/check.txt" 2>&1 || { cat "$work/check.txt"; fail "a check after the upgrade reports changes"; }
inside sh -c 'echo defaced > /srv/www/index.html'
status=0
inside norv-cli check >"$work/check.txt" 2>&1 || status=$?
[ "$status" -eq 1 ] || { cat "$work/check.txt"; fail "a defaced page after the upgrade gives exit $status"; }
inside grep -q 'Altered: /srv/www/index.html' /var/log/norv/norv.log || fail "the log does not name the change"
inside sh -c 'dpkg -l | grep -i qt6' >/dev/null && fail "norv brought Qt with it"

# Remove stops the service and keeps the settings; purge leaves nothing.
inside apt-get remove -y -q norv >"$work/apt.txt" 2>&1 || { tail "$work/apt.txt"; fail "apt-get remove"; }
inside systemctl is-active -q norv && fail "the service still runs after remove"
inside test -f /etc/norv/user_rule.txt || fail "remove took the rules"
inside apt-get purge -y -q norv >"$work/apt.txt" 2>&1 || { tail "$work/apt.txt"; fail "apt-get purge"; }
for f in /etc/norv /var/lib/norv /var/log/norv /run/norv /lib/systemd/system/norv.service; do
    inside test ! -e "$f" || fail "$f is still there after purge"
done

# A fresh installation starts its service, which watches nothing until rules are added.
apt_install "/root/packages/$new_name"
for _ in $(seq 100); do inside systemctl is-active -q norv && break; sleep 0.1; done
inside systemctl is-active -q norv || fail "the service does not start on a fresh installation"
inside apt-get purge -y -q norv >"$work/apt.txt" 2>&1 || fail "apt-get purge"
echo "package: upgraded from /opt/norv with nothing lost, removed, purged clean, installed afresh"
