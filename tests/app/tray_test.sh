#!/usr/bin/env bash
# The real tray: under Xvfb with a tray host (trayer), put the window into the tray from its
# menu, find the icon where the tray host embedded it, click it with xdotool, and see the window
# come back. Every step waits for the state it needs (a window mapped or unmapped, the icon
# inside the tray host's panel), polling within a bound, so a busy machine only makes it slower.
# Exits 77 (skipped) where no X server or tray host can start.
#
# Which mouse button restores the window is the window tests' business; here only the real
# embedding and the real click are at stake.
set -u
norv=$1
for tool in Xvfb trayer xdotool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
. "$(dirname "$0")/../support/session.sh"
start_xvfb 800x600

trayer --edge bottom --align right --widthtype pixel --width 100 --height 32 >/dev/null 2>&1 &
pids+=($!)
# The tray host's panel: its window on the screen (it also keeps small helper windows).
panel_shown() {
    local id
    for id in $(xdotool search --class trayer 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$id" | sed 's/^/PANEL_/')"
        [ "$PANEL_WIDTH" -ge 32 ] && [ "$PANEL_X" -ge 0 ] && [ "$PANEL_Y" -ge 0 ] && return 0
    done
    return 1
}
until_true 100 panel_shown || { echo "SKIP: no tray host could start"; exit 77; }

mkdir -p "$work/program"
printf '%s\r\n' x tray-test " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " 0 " "$work/save" "$work/cracked" \
    > "$work/program/norvcfg.txt"
"$norv" --dir "$work/program" >/dev/null 2>&1 &
norv_pid=$!
pids+=("$norv_pid")

main_window() { xdotool search --onlyvisible --name 'Orlavane V1.10' 2>/dev/null | head -1; }
shown() { [ -n "$(main_window)" ]; }
hidden() { [ -z "$(main_window)" ]; }
# The left edge of the open menu, empty while none is open.
menu_left() {
    local id
    for id in $(xdotool search --onlyvisible --pid "$norv_pid" 2>/dev/null); do
        [ "$id" = "$window" ] && continue
        xdotool getwindowgeometry --shell "$id" | sed -n 's/^X=//p'
        return
    done
}
menu_moved_from() { local left; left=$(menu_left); [ -n "$left" ] && [ "$left" != "$1" ]; }
until_true 200 shown || { echo "FAIL: the main window did not appear"; exit 1; }
window=$(main_window)
xdotool windowmove --sync "$window" 0 0

# 実行 → タスクトレイに入れる: open the first menu with a click, go two menus to the right by
# keys, each once the menu before has opened, then take the item just above the last one
# (ログの表示): up twice reaches it whether the menu opened on its first item (up wraps round)
# or on none.
xdotool mousemove 15 8 click 1
until_true 100 menu_moved_from "" || { echo "FAIL: the menu did not open"; exit 1; }
for _ in 1 2; do
    left=$(menu_left)
    xdotool key Right
    until_true 100 menu_moved_from "$left" || { echo "FAIL: the next menu did not open"; exit 1; }
done
xdotool key Up Up Return
until_true 100 hidden || { echo "FAIL: the window is still shown after タスクトレイに入れる"; exit 1; }

# The icon is norv's one visible window once the tray host has embedded it in its panel.
icon_in_panel() {
    local id
    id=$(xdotool search --onlyvisible --pid "$norv_pid" 2>/dev/null | head -1)
    [ -n "$id" ] || return 1
    eval "$(xdotool getwindowgeometry --shell "$id" | sed 's/^/ICON_/')"
    [ "$ICON_X" -ge "$PANEL_X" ] && [ "$ICON_Y" -ge "$PANEL_Y" ] &&
        [ $((ICON_X + ICON_WIDTH)) -le $((PANEL_X + PANEL_WIDTH)) ] &&
        [ $((ICON_Y + ICON_HEIGHT)) -le $((PANEL_Y + PANEL_HEIGHT)) ]
}
until_true 100 icon_in_panel || { echo "FAIL: the tray icon was not embedded in the panel"; exit 1; }
xdotool mousemove $((ICON_X + ICON_WIDTH / 2)) $((ICON_Y + ICON_HEIGHT / 2)) click 1
until_true 100 shown || { echo "FAIL: a left click on the tray icon did not bring the window back"; exit 1; }
echo "tray: hidden into the tray and restored by a left click on the icon at $ICON_X,$ICON_Y"
exit 0
