#!/usr/bin/env bash
# The Debian packages: built by Debian's tools and lintian-clean (scripts/build-package.sh), then
# taken apart as an administrator would look at them: the files where Debian keeps them, the
# settings as owner-only conffiles, no Qt for the command line, hardened binaries, a unit systemd
# accepts, and both programs starting from what was unpacked.
#
#   package_test.sh [OUT_DIR]     (a temporary folder when none is given)
#
# With NORV_REUSE_PACKAGES=1, the packages already in OUT_DIR are checked without a new build.
set -eu
source_tree=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=${1:-$work/out}
if [ "${NORV_REUSE_PACKAGES:-0}" != 1 ]; then
    bash "$source_tree/scripts/build-package.sh" "$out" >"$work/build.txt" ||
        { cat "$work/build.txt"; echo "FAIL: the packages do not build lintian-clean"; exit 1; }
fi
fail() { echo "FAIL: $*"; exit 1; }
cli_deb=$(ls "$out"/norv_*_*.deb)
gui_deb=$(ls "$out"/norv-gui_*_*.deb)

# The command line and the service need no desktop.
if dpkg-deb -f "$cli_deb" Depends | grep -qi 'qt6\|libx11\|libgl'; then
    fail "norv depends on a desktop library: $(dpkg-deb -f "$cli_deb" Depends)"
fi
dpkg-deb -f "$gui_deb" Depends | grep -q 'norv (= ' || fail "norv-gui does not depend on norv"
for needed in qt6-qpa-plugins qt6-translations-l10n xdg-utils; do
    dpkg-deb -f "$gui_deb" Depends | grep -qF "$needed" || fail "norv-gui does not ask for $needed"
done

for deb in "$cli_deb" "$gui_deb"; do dpkg-deb -x "$deb" "$work/root"; done
root=$work/root
for f in usr/sbin/norv-cli usr/bin/norv usr/share/norv/help/index.html usr/share/pixmaps/norv.png \
    usr/share/applications/norv.desktop lib/systemd/system/norv.service \
    usr/share/man/man8/norv-cli.8.gz usr/share/man/man1/norv.1.gz \
    usr/share/bash-completion/completions/norv-cli etc/norv/norvcfg.txt etc/norv/user_rule.txt \
    usr/share/norv/fleet/schema.sql usr/share/norv/fleet/norv-fleet-sender.conf \
    usr/share/norv/fleet/norv-fleet-central.conf usr/share/norv/fleet/norv-fleet-central \
    usr/share/norv/fleet/norv-fleet-filer.service \
    usr/share/doc/norv/copyright; do
    [ -e "$root/$f" ] || fail "/$f is not in the packages"
done
[ -z "$(find "$root" -path "$root/opt*" -print -quit)" ] || fail "a file under /opt"
dpkg-deb -c "$cli_deb" >"$work/contents.txt"
grep -q '^-rw------- root/root .* ./etc/norv/norvcfg.txt$' "$work/contents.txt" ||
    fail "/etc/norv/norvcfg.txt is not root's and owner-only"
dpkg-deb -e "$cli_deb" "$work/control"
for f in /etc/norv/norvcfg.txt /etc/norv/user_rule.txt; do
    grep -qx "$f" "$work/control/conffiles" || fail "$f is not a conffile"
done
grep -q 'rm -rf /etc/norv /var/lib/norv /var/log/norv' "$work/control/postrm" ||
    fail "purge does not remove norv's folders"
dpkg-deb -f "$cli_deb" Description | grep -q 'Purging the package removes all three folders' ||
    fail "the description does not say what purge removes"

# Each binary carries Debian's hardening: PIE, RELRO with BIND_NOW, the stack protector, stack
# clash protection and fortified calls; on amd64, CET's branch targets in its code (Debian 12's C
# library start files carry no CET mark, so no binary linked there is marked as a whole).
if command -v hardening-check >/dev/null; then
    hardening-check --nocfprotection "$root/usr/sbin/norv-cli" "$root/usr/bin/norv" \
        >"$work/hardening.txt" || { cat "$work/hardening.txt"; fail "a binary lacks hardening"; }
fi
if [ "$(dpkg-deb -f "$cli_deb" Architecture)" = amd64 ]; then
    objdump -d "$root/usr/sbin/norv-cli" >"$work/code.txt"
    grep -q endbr64 "$work/code.txt" || fail "norv-cli was built without -fcf-protection"
fi

unit=$root/lib/systemd/system/norv.service
for line in ExecStart=/usr/sbin/norv-cli StateDirectory=norv LogsDirectory=norv \
    RuntimeDirectory=norv IOSchedulingPriority=7 CPUWeight=; do
    grep -q "^$line" "$unit" || fail "the unit has no $line"
done
if command -v systemd-analyze >/dev/null; then
    sed "s|/usr/sbin/|$root/usr/sbin/|" "$unit" >"$work/norv.service"
    MANPATH=$root/usr/share/man systemd-analyze verify "$work/norv.service" ||
        fail "systemd-analyze verify refuses norv.service"
fi
bash -n "$root/usr/share/bash-completion/completions/norv-cli" || fail "the completion is not valid bash"
[ -x "$root/usr/share/norv/fleet/norv-fleet-central" ] && bash -n "$root/usr/share/norv/fleet/norv-fleet-central" ||
    fail "norv-fleet-central is not an executable bash script"

# Both programs start, on a program folder that holds the package's default settings.
program=$work/program
install -d -m 0700 "$program"
install -m 0600 "$root/etc/norv/norvcfg.txt" "$root/etc/norv/user_rule.txt" "$program/"
"$root/usr/sbin/norv-cli" --dir "$program" show | grep -q "プログラムフォルダ: $program" ||
    fail "norv-cli does not start"
"$root/usr/sbin/norv-cli" --version | grep -q "$(dpkg-deb -f "$cli_deb" Version)" ||
    fail "norv-cli --version is not the package's version"
status=0
QT_QPA_PLATFORM=offscreen timeout 3 "$root/usr/bin/norv" --dir "$program" >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "the desktop program ended with $status"
echo "package: lintian-clean, files in place, hardened, both programs start"
