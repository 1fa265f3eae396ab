#!/usr/bin/env bash
# The real tray: under Xvfb with a tray host (trayer), put the window into the tray from its
# menu, click the tray icon with xdotool, and see the window come back.
# Exits 77 (skipped) where no X server or tray host can start.
set -u
norv=$1
for tool in Xvfb trayer xdotool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
xdotool getmouselocation >/dev/null 2>&1 || { echo "SKIP: Xvfb did not start"; exit 77; }

trayer --edge bottom --align right --widthtype pixel --width 100 --height 32 >/dev/null 2>&1 &
pids+=($!)
sleep 1
kill -0 "${pids[-1]}" 2>/dev/null || { echo "SKIP: no tray host could start"; exit 77; }

mkdir -p "$work/program"
printf '%s\r\n' x tray-test " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " 0 " "$work/save" "$work/cracked" \
    > "$work/program/norvcfg.txt"
"$norv" --dir "$work/program" >/dev/null 2>&1 &
pids+=($!)

visible() { xdotool search --onlyvisible --name 'Orlavane V1.10' >/dev/null 2>&1; }
for _ in $(seq 50); do visible && break; sleep 0.1; done
visible || { echo "FAIL: the main window did not appear"; exit 1; }
window=$(xdotool search --onlyvisible --name 'Orlavane V1.10' | head -1)
xdotool windowmove "$window" 0 0
sleep 0.5

# 実行 → タスクトレイに入れる
xdotool mousemove 122 8 click 1
sleep 0.5
xdotool mousemove 180 88 click 1
for _ in $(seq 30); do visible || break; sleep 0.1; done
if visible; then echo "FAIL: the window is still shown after タスクトレイに入れる"; exit 1; fi

# The icon sits in trayer's panel at the bottom right; a right press must not restore.
xdotool mousemove 790 584 click 3
sleep 0.5
if visible; then echo "FAIL: a right-button press restored the window"; exit 1; fi
xdotool mousemove 790 584 click 1
for _ in $(seq 30); do visible && break; sleep 0.1; done
if ! visible; then echo "FAIL: a left click on the tray icon did not bring the window back"; exit 1; fi
echo "tray: hidden into the tray and restored by a left click"
exit 0
