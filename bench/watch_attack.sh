#!/usr/bin/env bash
# An attacker who can write in a watched tree, against two builds of the watch in the same run
# (automatic restore on, mail off): the build under test and a peer, figure by figure, each
# figure with a fresh program folder and a fresh watch.
#
#   bash bench/watch_attack.sh NEW_NORV_CLI PEER_NORV_CLI [NORV_WATCH_PROBE]
#
#   rewriter   the page rewritten every 50 ms for 10 s, read about every millisecond between
#              writes: the share of reads that found it defaced
#   flood      20,000 new files made in a new folder of the tree, then the page defaced: how
#              long until the page is back (the probe gives up after 30 s); the in-memory
#              event queue absorbs these
#   big flood  the same with 400,000 files ($NORV_ATTACK_BIG_FLOOD): past the in-memory
#              queue, so events are lost and the watch falls back to a full check
#   chain      a chain of folders 20,000 deep made at run time with mkdirat/openat: the watch's
#              VmRSS before and after (and VmHWM) once its CPU time has not moved for 2 s, and
#              how long from its first mkdir until the CPU time last moved; a watch that is not
#              quiet within 120 s, or passes 2 GiB of RSS, is stopped and the bound is given
#
# $NORV_ATTACK_FIGURES picks the figures to measure (default "rewrite flood chain"; "flood"
# takes both floods).
#
# The probe is the one built beside this script (build/release/bench/norv-watch-probe) unless
# given; it is used against both watches. The tree (2,000 files of 1-4 KiB in 20 folders, made
# afresh each run) and the program folder live in $NORV_ATTACK_DIR (default
# /var/tmp/norv-attack-bench); the watches' output is kept there, in logs/, for a look afterwards.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 NEW_NORV_CLI PEER_NORV_CLI [NORV_WATCH_PROBE]" >&2; exit 2; }
new_cli=$(realpath "$1")
peer_cli=$(realpath "$2")
probe=$(realpath "${3:-$here/build/release/bench/norv-watch-probe}")
for b in "$new_cli" "$peer_cli" "$probe"; do
    [ -x "$b" ] || { echo "not an executable: $b" >&2; exit 2; }
done
B=${NORV_ATTACK_DIR:-/var/tmp/norv-attack-bench}
tree=$B/tree
logs=$B/logs
figures=${NORV_ATTACK_FIGURES:-rewrite flood chain}
floods="20000 ${NORV_ATTACK_BIG_FLOOD:-400000}"
wants() { [[ " $figures " == *" $1 "* ]]; }
quiet_bound=120                # seconds the chain's watch may take to become quiet
rss_bound=$((2 * 1024 * 1024)) # KiB of RSS at which the chain's watch is stopped
rm -rf "$tree" "$logs" "$B/run"
mkdir -p "$B" "$logs"

# The same tree every run, made afresh.
python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20000)
for d in range(20):
    folder = os.path.join(root, "d%02d" % d)
    os.makedirs(folder)
    for f in range(100):
        with open(os.path.join(folder, "f%04d.html" % (d * 100 + f)), "wb") as out:
            out.write(rng.randbytes(rng.randint(1024, 4096)))
PY
sync
page=$tree/d10/f1000.html

echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
    "kernel $(uname -r)"

watch_pid=
# Asks the watch to stop; one that has not ended 10 s later is killed. Sets stopped_by.
stop_watch() {
    [ -n "$watch_pid" ] || return 0
    stopped_by=TERM
    kill -TERM "$watch_pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$watch_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -KILL "$watch_pid" 2>/dev/null; then stopped_by=KILL; fi
    wait "$watch_pid" 2>/dev/null || true
    watch_pid=
}
trap stop_watch EXIT
kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status" 2>/dev/null; }
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }
now() { date +%s.%N; }

# start_watch CLI LOG: a program folder for the tree, archived with restore on and initialised;
# the watch started, its first check done.
start_watch() {
    local cli=$1 log=$2 run=$B/run
    stop_watch
    rm -rf "$run"
    mkdir -p "$run/program" "$run/save"
    printf '%s\r\n' bench bench " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " 1 " \
        "$run/save" "$run/cracked" > "$run/program/norvcfg.txt"
    printf '<rule>%s,3</rule>\r\n' "$tree" > "$run/program/user_rule.txt"
    "$cli" --dir "$run/program" archive >/dev/null
    "$cli" --dir "$run/program" init >/dev/null
    : > "$log"
    "$cli" --dir "$run/program" watch > "$log" 2>&1 &
    watch_pid=$!
    until grep -q "リアルタイム監視を開始しました" "$log"; do
        kill -0 "$watch_pid" 2>/dev/null || { echo "the watch ended:" >&2; cat "$log" >&2; exit 1; }
        sleep 0.05
    done
}

# wait_quiet BOUND: until the watch's CPU time has not moved for 2 s, at most BOUND seconds, or
# until its RSS passes the bound. Sets quiet_state (quiet, busy, memory, ended) and last_move
# (when its CPU time last moved).
wait_quiet() {
    local bound=$1 start last c r since
    start=$(now)
    last=$(cpu "$watch_pid")
    last_move=$start
    since=0
    quiet_state=busy
    while awk -v a="$start" -v b="$(now)" -v s="$bound" 'BEGIN { exit !(b - a < s) }'; do
        sleep 0.1
        c=$(cpu "$watch_pid")
        [ -n "$c" ] || { quiet_state=ended; return; }
        r=$(kib "$watch_pid" VmRSS)
        if [ -n "$r" ] && [ "$r" -gt "$rss_bound" ]; then quiet_state=memory; return; fi
        if [ "$c" != "$last" ]; then
            last=$c
            last_move=$(now)
            since=0
        else
            since=$((since + 1))
            [ "$since" -ge 20 ] && { quiet_state=quiet; return; }
        fi
    done
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

declare -A fig stop lost
# Figures not measured this run show as "-".
for k in rewrite rss0 rss1 hwm quiet made; do fig[$k-new]=-; fig[$k-peer]=-; done

# The rewriter.
wants rewrite && for who in new peer; do
    cli=${who}_cli
    start_watch "${!cli}" "$logs/rewrite-$who.txt"
    out=$("$probe" rewrite "$page" 10) || true
    echo "$who: $out" >> "$logs/probe.txt"
    fig[rewrite-$who]=$(sed -n 's/.*defaced in \([0-9.]*\) %.*/\1/p' <<< "$out")
    [ -n "${fig[rewrite-$who]}" ] || fig[rewrite-$who]=failed
    stop_watch
    stop[rewrite-$who]=$stopped_by
done

# The floods.
wants flood && for n in $floods; do
    for who in new peer; do
        cli=${who}_cli
        start_watch "${!cli}" "$logs/flood$n-$who.txt"
        if out=$("$probe" flood "$page" "$n" 2>&1); then
            fig[flood$n-$who]=$(sed -n 's/.*back after \([0-9]*\) ms.*/\1/p' <<< "$out")
        else
            fig[flood$n-$who]=">30000"
        fi
        echo "$who: $out" >> "$logs/probe.txt"
        # How often the watch fell back to a full check because events were lost or too many
        # files waited.
        lost[flood$n-$who]=$(grep -c "失われました\|確認を待つファイルが" \
            "$logs/flood$n-$who.txt" || true)
        stop_watch
        stop[flood$n-$who]=$stopped_by
        rm -rf "$tree"/flood-*
    done
done

# The chain.
wants chain && for who in new peer; do
    cli=${who}_cli
    start_watch "${!cli}" "$logs/chain-$who.txt"
    wait_quiet 30
    fig[rss0-$who]=$(kib "$watch_pid" VmRSS)
    chain_at=$(now)
    made=$(python3 "$here/bench/folder_chain.py" "$tree" 20000)
    wait_quiet "$quiet_bound"
    fig[rss1-$who]=$(kib "$watch_pid" VmRSS)
    fig[hwm-$who]=$(kib "$watch_pid" VmHWM)
    case $quiet_state in
        quiet) fig[quiet-$who]=$(awk -v a="$chain_at" -v b="$last_move" \
            'BEGIN { printf "%.1f", b - a }') ;;
        busy) fig[quiet-$who]=$(awk -v a="$chain_at" -v b="$(now)" 'BEGIN { printf ">%d", b - a }') ;;
        memory) fig[quiet-$who]="stopped at RSS > 2 GiB" ;;
        ended) fig[quiet-$who]="the watch ended" ;;
    esac
    fig[made-$who]=$made
    echo "$who: chain made in $made s, $quiet_state" >> "$logs/probe.txt"
    stop_watch
    stop[chain-$who]=$stopped_by
    rm -rf "$tree/chain"
done

# ratio NEW PEER: new / peer, with a bound carried over ("<", ">") or "-" when both are bounds.
ratio() {
    local a=$1 b=$2
    case "$a$b" in *[!0-9.\>]*) echo "-"; return ;; esac
    if [[ $a == \>* && $b == \>* ]]; then echo "-"; return; fi
    if [[ $b == \>* ]]; then
        awk -v a="$a" -v b="${b#>}" 'BEGIN { r = a / b; if (r < 0.001) print "<0.001"; else printf "<%.3g\n", r }'
        return
    fi
    if [[ $a == \>* ]]; then awk -v a="${a#>}" -v b="$b" 'BEGIN { printf b ? ">%.3g\n" : "-\n", a / (b ? b : 1) }'; return; fi
    awk -v a="$a" -v b="$b" 'BEGIN { if (b == 0) print "-"; else printf "%.3g\n", a / b }'
}
row() { printf '%-50s %-24s %-24s %s\n' "$1" "$2" "$3" "$(ratio "$4" "$5")"; }
kib_or() { [[ $1 =~ ^[0-9]+$ ]] && mib "$1" || echo "-"; }

echo "norv new: $new_cli"
echo "norv peer: $peer_cli"
printf '%-50s %-24s %-24s %s\n' figure new peer new/peer
row "rewriter: share of reads defaced (%)" "${fig[rewrite-new]}" "${fig[rewrite-peer]}" \
    "${fig[rewrite-new]}" "${fig[rewrite-peer]}"
for n in $floods; do
    row "flood of $n files: page back after (ms)" "${fig[flood$n-new]:-}" \
        "${fig[flood$n-peer]:-}" "${fig[flood$n-new]:-}" "${fig[flood$n-peer]:-}"
done
for who in new peer; do
    for k in rss0 rss1 hwm; do fig[$k-$who-mib]=$(kib_or "${fig[$k-$who]}"); done
done
row "chain: VmRSS before (MiB)" "${fig[rss0-new-mib]}" "${fig[rss0-peer-mib]}" \
    "${fig[rss0-new-mib]}" "${fig[rss0-peer-mib]}"
row "chain: VmRSS after (MiB)" "${fig[rss1-new-mib]}" "${fig[rss1-peer-mib]}" \
    "${fig[rss1-new-mib]}" "${fig[rss1-peer-mib]}"
row "chain: VmHWM after (MiB)" "${fig[hwm-new-mib]}" "${fig[hwm-peer-mib]}" \
    "${fig[hwm-new-mib]}" "${fig[hwm-peer-mib]}"
row "chain: time to quiet from its first mkdir (s)" "${fig[quiet-new]}" "${fig[quiet-peer]}" \
    "${fig[quiet-new]}" "${fig[quiet-peer]}"

# What each watch said besides starting and ending, and how it ended.
for f in rewrite $(for n in $floods; do echo "flood$n"; done) chain; do
    for who in new peer; do
        [ -f "$logs/$f-$who.txt" ] || continue
        said=$(grep -c '^norv:' "$logs/$f-$who.txt" || true)
        echo "$f, $who: $said messages from the watch${lost[$f-$who]:+ (full checks for lost" \
            "events: ${lost[$f-$who]})}, ended by SIG${stop[$f-$who]}"
    done
done
echo "chain made in ${fig[made-new]} s (new), ${fig[made-peer]} s (peer)"
echo "the watches' output: $logs"
