#!/usr/bin/env bash
# Measures norv against AIDE (MD5 only), md5sum over two processes, and the machine's limits,
# on the same warm trees, and prints medians, rates, peak memory and ratios.
#
#   bash bench/compare.sh [RUNS]        (trees are kept in $NORV_BENCH_DIR, default /var/tmp/norv-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
bash scripts/install-deps.sh
command -v aide >/dev/null || { apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq aide >/dev/null; }
bash scripts/build.sh release >/dev/null
bin=$PWD/build/release
gen=$bin/bench/norv-treegen
cli=$bin/app/cli/norv-cli
B=${NORV_BENCH_DIR:-/var/tmp/norv-bench}
mkdir -p "$B"
[ -d "$B/small" ] || { echo "generating 100,000 small files"; "$gen" "$B/small" small 100000 2000; }
[ -d "$B/big" ] || { echo "generating 40 files of 64 MiB"; "$gen" "$B/big" big 40 64; }
sync  # no write-back of the generated trees may run during the measurements

# measure LABEL FILES BYTES COMMAND...: median seconds over $runs runs, peak RSS of the slowest.
declare -A median
measure() {
    local label=$1 files=$2 bytes=$3
    shift 3
    local times=() rss=0 t
    for _ in $(seq "$runs"); do
        /usr/bin/time -f "%e %M" -o "$B/time.txt" "$@" >/dev/null 2>&1 || true
        # time(1) puts "Command exited with non-zero status" first when the command fails.
        read -r t r < <(tail -n 1 "$B/time.txt")
        times+=("$t")
        [ "$r" -gt "$rss" ] && rss=$r
    done
    t=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
    median[$label]=$t
    awk -v l="$label" -v t="$t" -v f="$files" -v b="$bytes" -v m="$rss" 'BEGIN {
        printf "%-34s %7.2f s %9.0f files/s %8.1f MB/s  peak %6.1f MiB\n", l, t, f / t, b / 1e6 / t, m / 1024 }'
}
ratio() { awk -v a="${median[$1]}" -v b="${median[$2]}" -v l="$3" 'BEGIN { printf "  %-40s %.2f\n", l, a / b }'; }

program() {  # a norv program folder watching $1
    local dir=$B/program-$(basename "$1")
    mkdir -p "$dir"
    printf '%s\r\n' bench bench " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " 0 " "$B/save" "$B/cracked" > "$dir/norvcfg.txt"
    printf '<rule>%s,3</rule>\r\n' "$1" > "$dir/user_rule.txt"
    echo "$dir"
}
aide_conf() {  # an AIDE configuration checking only MD5 under $1
    local conf=$B/aide-$(basename "$1").conf
    cat > "$conf" <<CONF
database_in=file:$B/aide-$(basename "$1").db
database_out=file:$B/aide-$(basename "$1").db.new
gzip_dbout=no
report_url=stdout
$1 md5
CONF
    echo "$conf"
}

for tree in small big; do
    root=$B/$tree
    files=$(find "$root" -type f | wc -l)
    bytes=$(find "$root" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
    prog=$(program "$root")
    conf=$(aide_conf "$root")
    echo
    echo "== $tree: $files files, $((bytes / 1000000)) MB, warm caches, median of $runs"
    find "$root" -type f -print0 | xargs -0 cat > /dev/null  # warm
    measure "cat, 2 readers" "$files" "$bytes" sh -c "find '$root' -type f -print0 | xargs -0 -n 1000 -P2 cat > /dev/null"
    measure "md5sum, 2 processes" "$files" "$bytes" sh -c "find '$root' -type f -print0 | xargs -0 -n 1000 -P2 md5sum > '$B/sums-$tree'"
    measure "norv init" "$files" "$bytes" "$cli" --dir "$prog" init
    for w in 1 2; do
        measure "aide --init --workers $w" "$files" "$bytes" aide --config "$conf" --init --workers "$w"
    done
    cp "$B/aide-$tree.db.new" "$B/aide-$tree.db"
    "$gen" "$root" mutate 1 > /dev/null
    measure "md5sum -c, 2 processes" "$files" "$bytes" sh -c "split -n l/2 '$B/sums-$tree' '$B/part-'; (md5sum -c --quiet '$B/part-aa' & md5sum -c --quiet '$B/part-ab'; wait) >/dev/null 2>&1"
    measure "norv check (1 % altered)" "$files" "$bytes" "$cli" --dir "$prog" check
    for w in 1 2; do
        measure "aide --check --workers $w" "$files" "$bytes" aide --config "$conf" --check --workers "$w"
    done
    md5_limit=$(openssl speed -evp md5 -seconds 2 -bytes 16384 2>/dev/null | awk '/^md5|^MD5/ { v = $NF } END { sub("k", "", v); print v * 1000 * 2 }')
    echo "  limit: MD5 on 2 cores $(awk -v v="$md5_limit" 'BEGIN { printf "%.0f", v / 1e6 }') MB/s"
    awk -v b="$bytes" -v v="$md5_limit" -v t="${median[norv init]}" 'BEGIN { printf "  %-40s %.0f %%\n", "norv init / 2-core MD5 limit", 100 * (b / t) / v }'
    ratio "norv init" "md5sum, 2 processes" "norv init / md5sum"
    ratio "norv check (1 % altered)" "md5sum, 2 processes" "norv check / md5sum"
    ratio "aide --init --workers 2" "norv init" "AIDE init (2 workers) / norv init"
    ratio "aide --check --workers 2" "norv check (1 % altered)" "AIDE check (2 workers) / norv check"
    ratio "norv init" "cat, 2 readers" "norv init / cat"
done

if [ -w /proc/sys/vm/drop_caches ]; then
    echo
    echo "== cold caches (small tree), median of $runs"
    prog=$(program "$B/small")
    files=$(find "$B/small" -type f | wc -l)
    bytes=$(find "$B/small" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
    cold() { sync; echo 3 > /proc/sys/vm/drop_caches; "$@"; }
    measure "cold: cat, 2 readers" "$files" "$bytes" bash -c "sync; echo 3 > /proc/sys/vm/drop_caches; find '$B/small' -type f -print0 | xargs -0 -n 1000 -P2 cat > /dev/null"
    measure "cold: norv init" "$files" "$bytes" bash -c "sync; echo 3 > /proc/sys/vm/drop_caches; '$cli' --dir '$prog' init"
    ratio "cold: norv init" "cold: cat, 2 readers" "cold norv init / cold cat"
fi

echo
echo "== memory: 100,000 against 1,000,000 (empty) files"
[ -d "$B/million" ] || "$gen" "$B/million" empty 1000000 20000
prog=$(program "$B/million")
measure "norv init, 1,000,000 empty files" 1000000 0 "$cli" --dir "$prog" init

echo
"$bin/bench/norv-gui-latency" "$(program "$B/small")"
