#!/usr/bin/env bash
# The Debian package: built by CPack from this build, unpacked into a temporary folder, and
# both programs started from it with the default settings the package installs.
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$build"
cpack -G DEB -B "$work/out" >/dev/null
deb=$(ls "$work"/out/norv_*.deb)
control=$(dpkg-deb -f "$deb" Depends Recommends)
for needed in qt6-qpa-plugins qt6-translations-l10n xdg-utils "fonts-vlgothic | fonts-noto-cjk"; do
    grep -qF "$needed" <<<"$control" || { echo "FAIL: the package does not ask for $needed"; exit 1; }
done
dpkg-deb -x "$deb" "$work/root"
prog="$work/root/opt/norv"
for f in norv norv-cli norv.png help/index.html norvcfg.txt.default; do
    [ -e "$prog/$f" ] || { echo "FAIL: $f is not in the package"; exit 1; }
done
[ -e "$work/root/usr/share/applications/norv.desktop" ] || { echo "FAIL: no desktop entry"; exit 1; }
# A server administrator's conventions: the commands on PATH, a service, manual pages, completion.
for link in norv norv-cli; do
    [ "$(readlink "$work/root/usr/bin/$link")" = "/opt/norv/$link" ] ||
        { echo "FAIL: /usr/bin/$link does not point at /opt/norv/$link"; exit 1; }
done
for f in lib/systemd/system/norv.service usr/share/man/man8/norv-cli.8.gz \
    usr/share/man/man1/norv.1.gz usr/share/bash-completion/completions/norv-cli; do
    [ -f "$work/root/$f" ] || { echo "FAIL: /$f is not in the package"; exit 1; }
done
zcat "$work/root/usr/share/man/man8/norv-cli.8.gz" | grep -q '^\.B service' ||
    { echo "FAIL: norv-cli(8) does not describe the service"; exit 1; }
if command -v systemd-analyze >/dev/null; then
    # The unit as installed, its program and manual page found where the package put them.
    sed "s|/opt/norv/|$work/root/opt/norv/|g" "$work/root/lib/systemd/system/norv.service" \
        > "$work/norv.service"
    MANPATH=$work/root/usr/share/man systemd-analyze verify "$work/norv.service" ||
        { echo "FAIL: systemd-analyze verify refuses norv.service"; exit 1; }
fi
bash -n "$work/root/usr/share/bash-completion/completions/norv-cli" ||
    { echo "FAIL: the completion is not valid bash"; exit 1; }
dpkg-deb -e "$deb" "$work/control"
grep -q norvcfg.txt.default "$work/control/postinst" || { echo "FAIL: postinst does not install the settings"; exit 1; }

# What postinst does on a first installation.
cp "$prog/norvcfg.txt.default" "$prog/norvcfg.txt"
"$prog/norv-cli" show | grep -q "プログラムフォルダ: $prog" || { echo "FAIL: norv-cli does not start"; exit 1; }
status=0
QT_QPA_PLATFORM=offscreen timeout 3 "$prog/norv" >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || { echo "FAIL: the desktop program ended with $status"; exit 1; }
echo "package: installs its files and both programs start"
