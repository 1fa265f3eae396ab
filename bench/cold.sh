#!/usr/bin/env bash
# Measures norv init and check with cold caches against `cat` over 128 processes, md5sum over as
# many processes as cores and AIDE (MD5 and SHA-256, as many workers as cores) on the same trees,
# and what a check costs another reader of the disk at each I/O priority.
#
#   sudo bash bench/cold.sh [--neighbour-only | --no-neighbour] [RUNS]
#
# Before each timed run the tree is read once whole (so the host below a virtual machine holds
# it the same way for every contender), then the page cache is dropped (sync; drop_caches = 3).
# The contenders run interleaved, round after round, and the medians are printed with the load
# average each run began under. The neighbour part runs a steady direct-I/O reader (dd, 1 MiB
# reads) of a file of its own beside a cold check of each tree, the check at its default I/O
# priority, at `--io-priority best-effort` (the lowest best-effort level, the service's) and at
# `--io-priority idle`, and prints the check's time and the reader's rate beside the reader's
# rate alone. Figures taken on a shared machine are only indicative: take them again on an idle
# one. Trees are kept in $NORV_BENCH_DIR (default /var/tmp/norv-bench), as for compare.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
main=1
neighbour=1
if [ "${1:-}" = --neighbour-only ]; then main=0; shift; fi
if [ "${1:-}" = --no-neighbour ]; then neighbour=0; shift; fi
runs=${1:-3}
aide_runs=${NORV_AIDE_RUNS:-1}
if [ "$(id -u)" != 0 ] || [ ! -w /proc/sys/vm/drop_caches ]; then
    echo "cold.sh drops the page cache: run it as root" >&2
    exit 2
fi
if ! command -v aide >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq aide >/dev/null
fi
[ -n "${NORV_BENCH_NO_BUILD:-}" ] || bash scripts/build.sh release >/dev/null
bin=$PWD/build/release
gen=$bin/bench/norv-treegen
cli=$bin/app/cli/norv-cli
cores=$(nproc)
B=${NORV_BENCH_DIR:-/var/tmp/norv-bench}
mkdir -p "$B"
[ -d "$B/small" ] || "$gen" "$B/small" small 100000 2000 >/dev/null
[ -d "$B/big" ] || "$gen" "$B/big" big 40 64 >/dev/null
sync

dev=$(lsblk -no pkname "$(df --output=source "$B" | tail -n 1)" 2>/dev/null | head -n 1)
[ -n "$dev" ] || dev=$(basename "$(df --output=source "$B" | tail -n 1)")
echo "machine: $cores cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
    "$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "$(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
echo "disk: $dev, scheduler $(cat "/sys/block/$dev/queue/scheduler" 2>/dev/null)," \
    "nr_requests $(cat "/sys/block/$dev/queue/nr_requests" 2>/dev/null)," \
    "read_ahead_kb $(cat "/sys/block/$dev/queue/read_ahead_kb" 2>/dev/null)"
echo "norv $(git describe --always --dirty 2>/dev/null || echo unknown), cold caches," \
    "median of $runs interleaved run(s) (AIDE: $aide_runs), load at start: $(cut -d' ' -f1-3 /proc/loadavg)"

program() {  # a norv program folder watching $1
    local dir
    dir=$B/cold-program-$(basename "$1")
    mkdir -p "$dir"
    printf '%s\r\n' bench bench " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " 0 " "$B/save" "$B/cracked" > "$dir/norvcfg.txt"
    printf '<rule>%s,3</rule>\r\n' "$1" > "$dir/user_rule.txt"
    echo "$dir"
}
aide_conf() {  # AIDE checking MD5 and SHA-256 under $1
    local conf=$B/cold-aide-$(basename "$1").conf
    cat > "$conf" <<CONF
database_in=file:$B/cold-aide-$(basename "$1").db
database_out=file:$B/cold-aide-$(basename "$1").db.new
gzip_dbout=no
report_url=stdout
$1 md5+sha256
CONF
    echo "$conf"
}
readers() {  # readers TREE N COMMAND: COMMAND over every file of TREE in N processes
    local per
    per=$(( ($(find "$1" -type f | wc -l) + $2 - 1) / $2 ))
    echo "find '$1' -type f -print0 | xargs -0 -n $per -P $2 $3"
}
cold() {  # the tree read once whole, then the page cache dropped
    sh -c "$(readers "$1" 128 cat) > /dev/null"
    sync
    echo 3 > /proc/sys/vm/drop_caches
}
load() { cut -d' ' -f1 /proc/loadavg; }

declare -A median loads
disk() { cat "/sys/block/$dev/stat" 2>/dev/null || echo 0 0 0 0; }
# one_run TREE LABEL COMMAND: appends "seconds load in-flight KiB" to $B/cold-TREE-LABEL.times:
# the wall time, the load average at the start, the disk's reads in flight on average over the
# run (the reads' summed time over the wall time) and their mean size.
one_run() {
    local tree=$1 label=$2 l t s0 s1
    shift 2
    cold "$B/$tree"
    l=$(load)
    s0=$(disk)
    /usr/bin/time -f "%e" -o "$B/cold-time.txt" bash -c "$*" >/dev/null 2>&1 || true
    s1=$(disk)
    t=$(tail -n 1 "$B/cold-time.txt")
    echo "$t $l $(echo $s0 $s1 | awk -v t="$t" -v n=$(echo $s0 | wc -w) '{
        r = $(n + 1) - $1; if (r < 1) r = 1; if (t <= 0) t = 0.005
        printf "%.1f %.0f", ($(n + 4) - $4) / (t * 1000), ($(n + 3) - $3) / 2 / r }')" \
        >> "$B/cold-$tree-${label// /_}.times"
}
summarise() {  # summarise TREE LABEL BYTES
    local tree=$1 label=$2 bytes=$3 f=$B/cold-$1-${2// /_}.times n
    n=$(wc -l < "$f")
    median["$tree $label"]=$(cut -d' ' -f1 "$f" | sort -n | sed -n "$(( (n + 1) / 2 ))p")
    loads["$tree $label"]=$(cut -d' ' -f2 "$f" | sort -n | paste -sd, -)
    local q k
    q=$(cut -d' ' -f3 "$f" | sort -n | sed -n "$(( (n + 1) / 2 ))p")
    k=$(cut -d' ' -f4 "$f" | sort -n | sed -n "$(( (n + 1) / 2 ))p")
    awk -v l="$tree: $label" -v t="${median["$tree $label"]}" -v b="$bytes" -v n="$n" -v ld="${loads["$tree $label"]}" -v q="$q" -v k="$k" 'BEGIN {
        if (t <= 0) t = 0.005
        printf "%-28s %7.2f s %6.2f GB/s %6.1f reads in flight of %5.0f KiB  (%d runs, load %s)\n", l, t, b / 1e9 / t, q, k, n, ld }'
}
speed() {  # speed TREE A B TEXT TARGET: B's time over A's (A's speed as a share of B's)
    awk -v a="${median["$1 $2"]}" -v b="${median["$1 $3"]}" -v l="$1: $4" -v goal="${5:-}" 'BEGIN {
        if (a <= 0) a = 0.005
        printf "  %-56s %6.2f   %s\n", l, b / a, goal }'
}

if [ "$main" = 1 ]; then
    for tree in small big; do
        root=$B/$tree
        prog=$(program "$root")
        conf=$(aide_conf "$root")
        rm -f "$B"/cold-"$tree"-*.times
        # A baseline for the checks, and AIDE's database.
        "$cli" --dir "$prog" init >/dev/null 2>&1
        aide --config "$conf" --init --workers "$cores" >/dev/null 2>&1 || true
        cp "$B/cold-aide-$tree.db.new" "$B/cold-aide-$tree.db"
        contenders=(cat128 md5sum norv_init norv_check)
        for r in $(seq "$runs"); do
            # Each round starts with another contender, so none always follows the same one.
            for i in $(seq 0 $(( ${#contenders[@]} - 1 ))); do
                c=${contenders[$(( (i + r) % ${#contenders[@]} ))]}
                case $c in
                    cat128) one_run "$tree" "cat x128" "$(readers "$root" 128 cat) > /dev/null" ;;
                    md5sum) one_run "$tree" "md5sum x$cores" "$(readers "$root" "$cores" md5sum) > /dev/null" ;;
                    norv_init) one_run "$tree" "norv init" "'$cli' --dir '$prog' init" ;;
                    norv_check) one_run "$tree" "norv check" "'$cli' --dir '$prog' check" ;;
                esac
            done
        done
        for r in $(seq "$aide_runs"); do
            one_run "$tree" "aide init" "aide --config '$conf' --init --workers $cores"
            one_run "$tree" "aide check" "aide --config '$conf' --check --workers $cores"
        done
        bytes=$(find "$root" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
        echo
        echo "== $tree tree: $(find "$root" -type f | wc -l) files, $(awk -v b="$bytes" 'BEGIN { printf "%.2f GB", b / 1e9 }')"
        for label in "cat x128" "md5sum x$cores" "norv init" "norv check" "aide init" "aide check"; do
            summarise "$tree" "$label" "$bytes"
        done
        speed "$tree" "norv init" "cat x128" "norv init speed / cat x128" "target >= 0.95"
        speed "$tree" "norv check" "cat x128" "norv check speed / cat x128" "target >= 0.95"
        speed "$tree" "norv init" "md5sum x$cores" "norv init speed / md5sum x$cores"
        speed "$tree" "norv check" "md5sum x$cores" "norv check speed / md5sum x$cores"
        speed "$tree" "norv init" "aide init" "norv init speed / aide init"
        speed "$tree" "norv check" "aide check" "norv check speed / aide check"
    done
fi

if [ "$neighbour" = 1 ]; then
    # The other reader: direct reads (16 MiB at a time, 1 MiB each) of a 1 GiB file of its own,
    # round and round until told to stop; each 16 MiB read notes when it ended.
    other=$B/cold-neighbour.img
    [ -f "$other" ] || dd if=/dev/urandom of="$other" bs=1M count=1024 status=none
    reader() {  # reader LOG STOPFILE
        local i=0
        while [ ! -e "$2" ]; do
            dd if="$other" of=/dev/null bs=1M count=16 skip=$(( i % 64 * 16 )) iflag=direct status=none
            date +%s.%N >> "$1"
            i=$(( i + 1 ))
        done
    }
    rate() {  # rate LOG FROM TO: MB/s of the reads that ended between FROM and TO
        awk -v a="$2" -v b="$3" '$1 > a && $1 <= b { n++ } END { printf "%.0f", n * 16 * 1048576 / 1e6 / (b - a) }' "$1"
    }
    beside() {  # beside COMMAND...: runs it beside the reader; prints "seconds MB/s"
        local log=$B/cold-reader.log stop=$B/cold-reader.stop t0 t1 pid
        rm -f "$log" "$stop"
        reader "$log" "$stop" &
        pid=$!
        sleep 2  # the reader at its pace first
        t0=$(date +%s.%N)
        "$@" >/dev/null 2>&1 || true
        t1=$(date +%s.%N)
        touch "$stop"
        wait "$pid"
        echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }') $(rate "$log" "$t0" "$t1")"
    }
    echo
    echo "== a cold check beside another reader (direct 1 MiB reads of its own file)"
    rm -f "$B"/cold-nb-*.times
    for tree in small big; do
        prog=$(program "$B/$tree")
        "$cli" --dir "$prog" init >/dev/null 2>&1
        for r in $(seq "$runs"); do
            sync
            echo 3 > /proc/sys/vm/drop_caches
            echo "$(beside sleep 5) $(load)" >> "$B/cold-nb-alone.times"
            for priority in default best-effort idle; do
                opt=()
                [ "$priority" = default ] || opt=(--io-priority "$priority")
                cold "$B/$tree"
                l=$(load)
                echo "$(beside "$cli" --dir "$prog" "${opt[@]}" check) $l" >> "$B/cold-nb-$tree-$priority.times"
            done
        done
    done
    med() {  # med FILE COLUMN
        local n
        n=$(wc -l < "$1")
        awk -v c="$2" '{ print $c }' "$1" | sort -n | sed -n "$(( (n + 1) / 2 ))p"
    }
    printf '  %-40s %8s %12s  %s\n' "" "check" "reader" "load at start"
    printf '  %-40s %8s %9s MB/s  %s\n' "reader alone" "" "$(med "$B/cold-nb-alone.times" 2)" \
        "$(cut -d' ' -f3 "$B/cold-nb-alone.times" | paste -sd, -)"
    for tree in small big; do
        for priority in default best-effort idle; do
            f=$B/cold-nb-$tree-$priority.times
            printf '  %-40s %6.2f s %9s MB/s  %s\n' "$tree tree, check at $priority priority" \
                "$(med "$f" 1)" "$(med "$f" 2)" "$(cut -d' ' -f3 "$f" | paste -sd, -)"
        done
        for priority in best-effort idle; do
            awk -v c="$(med "$B/cold-nb-$tree-$priority.times" 1)" -v r="$(med "$B/cold-nb-$tree-$priority.times" 2)" \
                -v c0="$(med "$B/cold-nb-$tree-default.times" 1)" -v r0="$(med "$B/cold-nb-$tree-default.times" 2)" \
                -v a="$(med "$B/cold-nb-alone.times" 2)" -v l="$tree tree, $priority / default" 'BEGIN {
                printf "  %-40s check time %.2f, reader rate %.2f (reader beside / alone: %.2f, default %.2f)\n",
                    l, c / c0, r / r0, r / a, r0 / a }'
        done
    done
fi
