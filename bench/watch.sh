#!/usr/bin/env bash
# Real-time protection on this machine: how soon a tampered file is back, how a burst of 1,000
# changes is handled, what watching costs when nothing changes, and the memory it takes.
#
#   bash bench/watch.sh [IDLE_SECONDS]
#
# The trees (100,000 files of 1-16 KiB in 2,000 folders; 100,000 empty folders with one file
# each) are kept in $NORV_BENCH_DIR (default /var/tmp/norv-bench) and made on first use.
set -euo pipefail
cd "$(dirname "$0")/.."
idle_seconds=${1:-60}
bash scripts/install-deps.sh >/dev/null
bash scripts/build.sh release >/dev/null
bin=$PWD/build/release
gen=$bin/bench/norv-treegen
probe=$bin/bench/norv-watch-probe
cli=$bin/app/cli/norv-cli
B=${NORV_BENCH_DIR:-/var/tmp/norv-bench}
mkdir -p "$B"
[ -d "$B/watch-small" ] || "$gen" "$B/watch-small" small 100000 2000 >/dev/null
[ -d "$B/watch-folders" ] || "$gen" "$B/watch-folders" empty 100000 100000 >/dev/null
sync

echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
    "$(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
echo "norv $(git describe --always --dirty 2>/dev/null || echo unknown)"
echo "inotify limits: max_user_watches $(cat /proc/sys/fs/inotify/max_user_watches)," \
    "max_queued_events $(cat /proc/sys/fs/inotify/max_queued_events)"

watch_pid=
stop_watch() {
    [ -n "$watch_pid" ] || return 0
    kill -TERM "$watch_pid" 2>/dev/null || true
    wait "$watch_pid" 2>/dev/null || true
    watch_pid=
}
trap stop_watch EXIT
# The kernel's slab memory in bytes: the watches' marks, and the folders' inodes they pin.
marks() { awk '$1 == "Slab:" { print $2 * 1024 }' /proc/meminfo; }
kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

# start_watch TREE RESTORE: a program folder for TREE, archived (with restore on) and
# initialised; the watch started and its first check done.
start_watch() {
    local tree=$1 restore=$2 dir
    dir=$B/program-watch-$(basename "$tree")
    rm -rf "$dir" "$B/watch-save" "$B/watch-cracked"
    mkdir -p "$dir" "$B/watch-save"
    printf '%s\r\n' bench bench " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " "$restore" \
        "$B/watch-save" "$B/watch-cracked" > "$dir/norvcfg.txt"
    printf '<rule>%s,3</rule>\r\n' "$tree" > "$dir/user_rule.txt"
    if [ "$restore" = " 1 " ]; then
        local t0=$SECONDS
        "$cli" --dir "$dir" archive >/dev/null
        echo "archive of $(basename "$tree"): $((SECONDS - t0)) s"
    fi
    "$cli" --dir "$dir" init >/dev/null
    local before=$(marks) t0=$(date +%s.%N)
    "$cli" --dir "$dir" watch > "$B/watch.txt" 2>&1 &
    watch_pid=$!
    until grep -q "リアルタイム監視を開始しました" "$B/watch.txt"; do
        kill -0 "$watch_pid" || { cat "$B/watch.txt"; exit 1; }
        sleep 0.05
    done
    awk -v a="$t0" -v b="$(date +%s.%N)" -v m="$(marks)" -v m0="$before" \
        'BEGIN { printf "watch start (watches set, first full check): %.1f s, kernel slab %+.1f MiB\n", b - a, (m - m0) / 1048576 }'
}

echo
echo "== 100,000 files in 2,000 folders, automatic restore on"
start_watch "$B/watch-small" " 1 "
rss_small=$(kib "$watch_pid" VmRSS)
echo "memory after start: RSS $((rss_small / 1024)) MiB, peak $(( $(kib "$watch_pid" VmHWM) / 1024 )) MiB"

ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
c0=$(cpu "$watch_pid")
sleep "$idle_seconds"
c1=$(cpu "$watch_pid")
awk -v d=$((c1 - c0)) -v t="$ticks" -v s="$idle_seconds" \
    'BEGIN { printf "idle: %.2f s of CPU in %d s, %.3f %% of one core\n", d / t, s, 100 * d / t / s }'

target=$(find "$B/watch-small" -name 'f5000.dat' | head -n 1)
"$probe" latency "$target" 200
"$probe" burst "$B/watch-small" 1000
echo "peak memory of the watch: $(( $(kib "$watch_pid" VmHWM) / 1024 )) MiB"

echo
echo "== an attacker who can write in the tree (automatic restore on)"
"$probe" rewrite "$target" 10
"$probe" flood "$target" 20000
# A chain of folders 20,000 deep, made while the watch runs; the watch settles, then its memory.
rss_before=$(kib "$watch_pid" VmRSS)
python3 bench/folder_chain.py "$B/watch-small" 20000 >/dev/null
quiet=0 last=$(cpu "$watch_pid")
for _ in $(seq 240); do
    sleep 0.5
    now=$(cpu "$watch_pid")
    if [ "$now" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0; fi
    last=$now
    [ "$quiet" -ge 4 ] && break
done
echo "chain 20,000 folders deep made at run time: watch RSS $((rss_before / 1024)) MiB before," \
    "$(( $(kib "$watch_pid" VmRSS) / 1024 )) MiB after, peak $(( $(kib "$watch_pid" VmHWM) / 1024 )) MiB"
rm -rf "$B/watch-small/chain" "$B"/watch-small/flood-*
stop_watch
tail -n 1 "$B/watch.txt"

echo
echo "== 100,000 folders"
start_watch "$B/watch-folders" " 0 "
rss_folders=$(kib "$watch_pid" VmRSS)
echo "memory after start: RSS $((rss_folders / 1024)) MiB (the 2,000-folder tree: $((rss_small / 1024)) MiB)"
awk -v a="$rss_folders" -v b="$rss_small" \
    'BEGIN { printf "user memory per watched folder: %.0f bytes\n", (a - b) * 1024 / 98000 }'
stop_watch
