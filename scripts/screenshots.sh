#!/usr/bin/env bash
# Takes the screenshots of the README and the help on a real X server (Xvfb) with a window
# manager (openbox) and a tray host (trayer), so title bars and the tray icon show as a user
# sees them. The demo site is given a baseline, tampered with, and the main window shows the
# check that finds it. Exits 77 (skipped) where no X server can start.
#
#   bash scripts/screenshots.sh OUT_FOLDER [NORV_SCREENSHOTS NORV_CLI]
#
# Without the two programs it builds the dev preset and writes the shots the README and the help
# use (docs/ and help/images/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
tool=${2:-}
cli=${3:-}
if [ -z "$tool" ]; then
    bash "$root/scripts/build.sh" dev >/dev/null
    tool=$root/build/dev/tests/norv-screenshots
    cli=$root/build/dev/app/cli/norv-cli
fi
for program in Xvfb openbox trayer; do
    command -v "$program" >/dev/null || { echo "SKIP: $program is not installed"; exit 77; }
done
. "$root/tests/support/session.sh"
start_xvfb 1024x768

# The window manager announces itself on the root window once it manages windows.
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
until_true 100 wm_running || { echo "FAIL: the window manager did not start"; exit 1; }
trayer --edge bottom --align right --widthtype pixel --width 120 --height 32 \
    --SetDockType true >/dev/null 2>&1 &
pids+=($!)
# The tray host is up once its windows are.
until_true 100 xdotool search --class trayer >/dev/null 2>&1 ||
    { echo "FAIL: the tray host did not start"; exit 1; }

mkdir -p "$out" "$work/program"
cp -a "$root/demo/site" "$work/site"
printf '%s\r\n' "demo" "www1" " 0 " "" "smtp.example.jp" "" "" "norv@example.jp" \
    "admin@example.jp" " 1 " "10" " 0 " " 0 " "$work/save" "$work/cracked" \
    > "$work/program/norvcfg.txt"
printf '<rule>%s,3</rule>\r\n' "$work/site" > "$work/program/user_rule.txt"
"$cli" --dir "$work/program" --locale ja_JP init >/dev/null
echo '<?php system($_GET["c"]); ?>' > "$work/site/shell.php"
echo '<h1>hacked</h1>' >> "$work/site/index.html"
rm "$work/site/.htaccess"
"$tool" "$work/program" "$out"
