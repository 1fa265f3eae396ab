#!/usr/bin/env bash
# Measures norv against md5sum over as many processes as cores, AIDE (MD5 only) and the
# machine's own limits, on the same warm trees, and prints medians, rates, peak memory and
# ratios. Every figure is taken in this one run on this one machine, so the ratios compare like
# with like; the machine is named at the top.
#
#   bash bench/compare.sh [--quick | --fingerprint] [RUNS]
#
# --quick: one run, the small and big trees only (a few minutes), to measure a change.
# --fingerprint: the small and big trees only, the extended fingerprint (MD5 and SHA-256 from one
#   read, type, mode, owner, group, capabilities, ACL) with its MD5 in vector lanes, the same
#   forced to OpenSSL's one-stream MD5 (NORV_DIGEST_KERNEL=portable), a norv whose fingerprint is
#   MD5 alone (NORV_MD5_ONLY_REV, or the newest commit without the extension; see md5_only_cli),
#   the fallback path (one-stream MD5 and plain reads: NORV_DIGEST_KERNEL=portable NORV_IO=plain),
#   and AIDE computing SHA-256 with its default attributes (R+sha256); wall and CPU time (user +
#   system) of each. On the small tree also the lanes with plain reads (NORV_IO=plain) beside the
#   io_uring batches, and md5sum over as many processes as cores; on the big tree the one-stream
#   limit, OpenSSL's MD5 and SHA-256 on every core (`openssl speed -multi`) over the tree's bytes.
# Trees are kept in $NORV_BENCH_DIR (default /var/tmp/norv-bench) and made on first use.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
fingerprint=0
if [ "${1:-}" = --quick ]; then quick=1; shift; fi
if [ "${1:-}" = --fingerprint ]; then fingerprint=1; shift; fi
runs=${1:-3}
[ "$quick" = 1 ] && runs=1
bash scripts/install-deps.sh >/dev/null
if [ "$quick" = 0 ] && ! command -v aide >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq aide >/dev/null
fi
bash scripts/build.sh release >/dev/null
bin=$PWD/build/release
gen=$bin/bench/norv-treegen
limit=$bin/bench/norv-read-md5-limit
cli=$bin/app/cli/norv-cli
cores=$(nproc)
B=${NORV_BENCH_DIR:-/var/tmp/norv-bench}
mkdir -p "$B"
make_tree() {  # make_tree NAME KIND ARGS...: generated once, kept for later runs
    local name=$1
    shift
    [ -d "$B/$name" ] || { echo "generating $name: $*"; "$gen" "$B/$name" "$@" >/dev/null; }
}
make_tree small small 100000 2000
make_tree big big 40 64
sync  # no write-back of the generated trees may run during the measurements

echo "machine: $cores cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
    "$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "$(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
echo "norv $(git describe --always --dirty 2>/dev/null || echo unknown), median of $runs run(s), warm caches"

# md5_speed: bytes per second of OpenSSL's MD5 on every core, measured now.
md5_speed() {
    openssl speed -evp md5 -seconds "${1:-1}" -bytes 1048576 -multi "$cores" 2>/dev/null |
        awk '/^md5|^MD5/ { v = $NF } END { sub("k", "", v); print v * 1000 }'
}

# sha256_speed: the same for SHA-256.
sha256_speed() {
    openssl speed -evp sha256 -seconds "${1:-1}" -bytes 1048576 -multi "$cores" 2>/dev/null |
        awk '/^sha256|^SHA256|^SHA2-256/ { v = $NF } END { sub("k", "", v); print v * 1000 }'
}

# measure LABEL FILES BYTES COMMAND...: median seconds over $runs runs, peak RSS of the largest.
# With against_limit=1, MD5's speed on every core is measured just before each run, and the
# median of the runs' rates over it is kept in share[LABEL]: this machine's speed drifts by
# several percent within minutes, more than the gap being measured.
declare -A median peak share
against_limit=0
measure() {
    local label=$1 files=$2 bytes=$3
    shift 3
    local times=() shares=() rss=0 t r limit
    for _ in $(seq "$runs"); do
        [ "$against_limit" = 1 ] && limit=$(md5_speed)
        /usr/bin/time -f "%e %M" -o "$B/time.txt" "$@" >/dev/null 2>&1 || true
        # time(1) puts "Command exited with non-zero status" first when the command fails.
        read -r t r < <(tail -n 1 "$B/time.txt")
        times+=("$t")
        [ "$against_limit" = 1 ] &&
            shares+=("$(awk -v b="$bytes" -v t="$t" -v l="$limit" 'BEGIN { if (t <= 0) t = 0.005; print 100 * b / t / l }')")
        [ "$r" -gt "$rss" ] && rss=$r
    done
    t=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
    median[$label]=$t
    peak[$label]=$rss
    [ "$against_limit" = 1 ] &&
        share[$label]=$(printf '%s\n' "${shares[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
    awk -v l="$label" -v t="$t" -v f="$files" -v b="$bytes" -v m="$rss" 'BEGIN {
        if (t <= 0) t = 0.005
        printf "%-38s %7.2f s %9.0f files/s %8.1f MB/s  peak %6.1f MiB\n", l, t, f / t, b / 1e6 / t, m / 1024 }'
}
# ratio A B TEXT [TARGET]: A's median over B's, with the target it should meet.
ratio() {
    awk -v a="${median[$1]}" -v b="${median[$2]}" -v l="$3" -v goal="${4:-}" 'BEGIN {
        if (b <= 0) b = 0.005
        printf "  %-46s %6.2f   %s\n", l, a / b, goal }'
}

program() {  # a norv program folder watching $1
    local dir
    dir=$B/program-$(basename "$1")
    mkdir -p "$dir"
    printf '%s\r\n' bench bench " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " 0 " "$B/save" "$B/cracked" > "$dir/norvcfg.txt"
    printf '<rule>%s,3</rule>\r\n' "$1" > "$dir/user_rule.txt"
    echo "$dir"
}
aide_conf() {  # an AIDE configuration checking only MD5 under $1
    local conf
    conf=$B/aide-$(basename "$1").conf
    cat > "$conf" <<CONF
database_in=file:$B/aide-$(basename "$1").db
database_out=file:$B/aide-$(basename "$1").db.new
gzip_dbout=no
report_url=stdout
$1 md5
CONF
    echo "$conf"
}
tree_size() {  # files and bytes under $1
    find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d %.0f\n", NR, s }'
}
md5sums() {  # md5sums FOLDER FILES: the command for md5sum over $cores processes
    # Enough files per process to keep start-up cheap, few enough that every core gets work.
    local per=$(( $2 / (cores * 4) ))
    [ "$per" -lt 1 ] && per=1
    [ "$per" -gt 1000 ] && per=1000
    echo "find '$1' -type f -print0 | xargs -0 -n $per -P$cores md5sum > '$B/sums-$(basename "$1")'"
}

# A norv-cli whose fingerprint is MD5 alone, built once from its sources: NORV_MD5_ONLY_REV, or
# the newest commit of this history that does not hold the extended fingerprint (the main line
# just before it came, whether merged or fast-forwarded).
md5_only_cli() {
    local marker rev src c
    marker=$(git log --format=%H -1 --grep='^Fingerprint: SHA-256, type, mode')
    [ -n "$marker" ] || { echo "no commit extends the fingerprint in this history" >&2; exit 2; }
    rev=${NORV_MD5_ONLY_REV:-}
    if [ -z "$rev" ]; then
        for c in $(git rev-list --date-order HEAD); do
            git merge-base --is-ancestor "$marker" "$c" || { rev=$c; break; }
        done
    fi
    rev=$(git rev-parse "$rev")
    src=$B/md5-only-$rev
    if [ ! -x "$src/build/app/cli/norv-cli" ]; then
        rm -rf "$src"
        mkdir -p "$src"
        git archive "$rev" | tar -x -C "$src"
        cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DNORV_BUILD_GUI=OFF -DNORV_BUILD_TESTS=OFF >/dev/null
        cmake --build "$src/build" -j "$cores" --target norv-cli >/dev/null
    fi
    echo "$src/build/app/cli/norv-cli ${rev:0:12}"
}

# rotate FILES BYTES LABEL CMD [LABEL CMD ...]: runs the commands in turn, $runs rounds, so that
# the machine's drift falls on all alike. Medians of the wall time in median[], and of the CPU
# time (user + system, of every thread and child) in cpu[]: on a machine others load too, the
# CPU time moves far less than the wall time.
declare -A cpu
rotate() {
    local files=$1 bytes=$2
    shift 2
    local labels=() cmds=() walls=() cpus=() e u s i l
    while [ $# -ge 2 ]; do
        labels+=("$1")
        cmds+=("$2")
        shift 2
    done
    for _ in $(seq "$runs"); do
        for i in "${!labels[@]}"; do
            /usr/bin/time -f "%e %U %S" -o "$B/time.txt" sh -c "${cmds[$i]}" >/dev/null 2>&1 || true
            read -r e u s < <(tail -n 1 "$B/time.txt")
            walls[$i]="${walls[$i]:-} $e"
            cpus[$i]="${cpus[$i]:-} $(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')"
        done
    done
    for i in "${!labels[@]}"; do
        l=${labels[$i]}
        median[$l]=$(printf '%s\n' ${walls[$i]} | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
        cpu[$l]=$(printf '%s\n' ${cpus[$i]} | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
        awk -v l="$l" -v t="${median[$l]}" -v c="${cpu[$l]}" -v f="$files" -v b="$bytes" 'BEGIN {
            if (t <= 0) t = 0.005
            printf "%-44s %7.2f s %7.2f s CPU %9.0f files/s %8.1f MB/s\n", l, t, c, f / t, b / 1e6 / t }'
    done
}
# cpu_ratio A B TEXT [TARGET]: A's median CPU time over B's.
cpu_ratio() {
    awk -v a="${cpu[$1]}" -v b="${cpu[$2]}" -v l="$3" -v goal="${4:-}" 'BEGIN {
        if (b <= 0) b = 0.005
        printf "  %-46s %6.2f   %s\n", l, a / b, goal }'
}

if [ "$fingerprint" = 1 ]; then
    if ! command -v aide >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq aide >/dev/null
    fi
    read -r old_cli old_rev < <(md5_only_cli)
    echo "MD5-only norv: built from $old_rev"
    read -r kernel lanes io < <("$bin/bench/norv-digest-kernel")
    echo "MD5 kernel: $kernel, $lanes files at once per worker; against NORV_DIGEST_KERNEL=portable"
    echo "I/O path: $io; on the small tree against NORV_IO=plain"
    for tree in small big; do
        root=$B/$tree
        read -r files bytes < <(tree_size "$root")
        new_prog=$(program "$root")
        old_prog=$B/program-md5only-$tree
        mkdir -p "$old_prog"
        cp "$new_prog/norvcfg.txt" "$new_prog/user_rule.txt" "$old_prog/"
        rm -f "$old_prog/norv.db"*  # its own baseline, never one of the new norv
        conf=$B/aide-fp-$tree.conf
        cat > "$conf" <<CONF
database_in=file:$B/aide-fp-$tree.db
database_out=file:$B/aide-fp-$tree.db.new
gzip_dbout=no
report_url=stdout
$root R+sha256
CONF
        echo
        echo "== $tree: $files files, $((bytes / 1000000)) MB"
        find "$root" -type f -print0 | xargs -0 cat > /dev/null  # warm
        limit_cmd="find '$root' -type f -print0 | xargs -0 '$limit' --sha256 $cores"
        # What SHA-256 itself adds to the read and MD5, the floor of any ratio below.
        rotate "$files" "$bytes" \
            "read + MD5 only, $cores threads" "find '$root' -type f -print0 | xargs -0 '$limit' $cores" \
            "read + MD5 + SHA-256 only, $cores threads" "$limit_cmd"
        # An untimed init of each first, so every timed one replaces a baseline of its size.
        "$old_cli" --dir "$old_prog" init > /dev/null
        "$cli" --dir "$new_prog" init > /dev/null
        # The same norv three ways: its MD5 in lanes, forced to OpenSSL's one-stream MD5, and the
        # norv before the extended fingerprint.
        for command in init "check (1 % altered)"; do
            if [ "$command" != init ]; then
                "$gen" "$root" mutate 1 > /dev/null
                sync
            fi
            verb=${command%% *}
            small_only=()
            [ "$tree" = small ] &&
                small_only=("norv $command, plain I/O" "NORV_IO=plain '$cli' --dir '$new_prog' $verb"
                    "md5sum, $cores processes" "$(md5sums "$root" "$files")")
            rotate "$files" "$bytes" \
                "MD5-only norv $command" "'$old_cli' --dir '$old_prog' $verb" \
                "norv $command, fallback" "NORV_DIGEST_KERNEL=portable NORV_IO=plain '$cli' --dir '$new_prog' $verb" \
                "norv $command, $kernel lanes" "'$cli' --dir '$new_prog' $verb" \
                "${small_only[@]}" \
                "MD5 + SHA-256 loop" "$limit_cmd"
            share[$command]=$(awk -v l="${median[MD5 + SHA-256 loop]}" -v t="${median[norv $command, $kernel lanes]}" \
                'BEGIN { if (t <= 0) t = 0.005; print 100 * l / t }')
            if [ "$command" = init ]; then
                measure "aide --init --workers $cores" "$files" "$bytes" \
                    aide --config "$conf" --init --workers "$cores"
                cp "$B/aide-fp-$tree.db.new" "$B/aide-fp-$tree.db"
            else
                measure "aide --check --workers $cores" "$files" "$bytes" \
                    aide --config "$conf" --check --workers "$cores"
            fi
        done
        ratio "read + MD5 + SHA-256 only, $cores threads" "read + MD5 only, $cores threads" \
            "bare loops: MD5 + SHA-256 / MD5 alone"
        for command in init "check (1 % altered)"; do
            verb=${command%% *}
            ratio "norv $command, $kernel lanes" "MD5-only norv $command" \
                "$verb: lanes / MD5-only norv, wall" "target <= 1.1 (small files)"
            cpu_ratio "norv $command, $kernel lanes" "MD5-only norv $command" \
                "$verb: lanes / MD5-only norv, CPU"
            ratio "norv $command, fallback" "norv $command, $kernel lanes" \
                "$verb: fallback / lanes + $io, wall" "target >= 2.5 (big files)"
            cpu_ratio "norv $command, fallback" "norv $command, $kernel lanes" \
                "$verb: fallback / lanes + $io, CPU"
            if [ "$tree" = small ]; then
                ratio "norv $command, $kernel lanes" "norv $command, plain I/O" \
                    "$verb: $io I/O / plain I/O, wall"
                cpu_ratio "norv $command, $kernel lanes" "norv $command, plain I/O" \
                    "$verb: $io I/O / plain I/O, CPU"
                ratio "norv $command, $kernel lanes" "md5sum, $cores processes" \
                    "$verb: norv / md5sum over $cores processes" "target <= 0.45"
            else
                # The one-stream limit: OpenSSL's MD5 then SHA-256 over every byte, on every core.
                awk -v m="$(md5_speed)" -v s="$(sha256_speed)" -v b="$bytes" \
                    -v t="${median[norv $command, $kernel lanes]}" -v l="$verb" 'BEGIN {
                    limit = b / m + b / s
                    printf "  %-46s %6.2f   target >= 2\n", l ": one-stream limit / norv", limit / t }'
            fi
            printf "  %-46s %5.0f %%   target >= 90 %% (big files)\n" \
                "MD5+SHA-256 loop / norv $verb (lanes)" "${share[$command]}"
        done
        ratio "aide --init --workers $cores" "norv init, $kernel lanes" "AIDE init / norv init" \
            "target >= 6 (small files)"
        ratio "aide --check --workers $cores" "norv check (1 % altered), $kernel lanes" \
            "AIDE check / norv check" "target >= 20 (small files)"
    done
    exit 0
fi

# The best of three: anything else running can only lower it.
md5_limit=$(for _ in 1 2 3; do md5_speed 2; done | sort -n | tail -n 1)
echo "limit: MD5 on $cores cores (openssl speed -multi $cores) $(awk -v v="$md5_limit" 'BEGIN { printf "%.0f", v / 1e6 }') MB/s"

for tree in small big; do
    root=$B/$tree
    read -r files bytes < <(tree_size "$root")
    prog=$(program "$root")
    echo
    echo "== $tree: $files files, $((bytes / 1000000)) MB"
    find "$root" -type f -print0 | xargs -0 cat > /dev/null  # warm
    measure "cat, $cores readers" "$files" "$bytes" sh -c "find '$root' -type f -print0 | xargs -0 -n 1000 -P$cores cat > /dev/null"
    measure "read + MD5 only, $cores threads" "$files" "$bytes" sh -c "find '$root' -type f -print0 | xargs -0 '$limit' $cores"
    measure "md5sum, $cores processes" "$files" "$bytes" sh -c "$(md5sums "$root" "$files")"
    # One untimed init first, so that every timed one replaces a baseline of the same size
    # and finds the store's file in the cache.
    "$cli" --dir "$prog" init > /dev/null
    against_limit=1
    measure "norv init" "$files" "$bytes" "$cli" --dir "$prog" init
    against_limit=0
    if [ "$quick" = 0 ]; then
        conf=$(aide_conf "$root")
        measure "aide --init --workers $cores" "$files" "$bytes" aide --config "$conf" --init --workers "$cores"
        cp "$B/aide-$tree.db.new" "$B/aide-$tree.db"
    fi
    "$gen" "$root" mutate 1 > /dev/null
    sync  # the altered files' write-back must not fall inside the checks
    against_limit=1
    measure "norv check (1 % altered)" "$files" "$bytes" "$cli" --dir "$prog" check
    against_limit=0
    [ "$quick" = 0 ] && measure "aide --check --workers $cores" "$files" "$bytes" aide --config "$conf" --check --workers "$cores"
    printf "  %-46s %5.0f %%   target >= 95 %% (big files)\n" \
        "norv init / MD5 limit just before" "${share[norv init]}" \
        "norv check / MD5 limit just before" "${share[norv check (1 % altered)]}"
    ratio "read + MD5 only, $cores threads" "norv init" "read + MD5 only / norv init (1 = no overhead)"
    ratio "norv init" "md5sum, $cores processes" "norv init / md5sum" "target <= 1.2 (small files)"
    ratio "norv check (1 % altered)" "md5sum, $cores processes" "norv check / md5sum" "target <= 1.15 (small files)"
    if [ "$quick" = 0 ]; then
        ratio "aide --init --workers $cores" "norv init" "AIDE init / norv init" "target >= 3 (small), > 1 (big)"
        ratio "aide --check --workers $cores" "norv check (1 % altered)" "AIDE check / norv check" "target >= 10 (small), > 1 (big)"
    fi
done
[ "$quick" = 1 ] && exit 0

echo
echo "== 200,000 empty files in 200 folders"
make_tree empty empty 200000 200
prog=$(program "$B/empty")
measure "md5sum, $cores processes" 200000 0 sh -c "$(md5sums "$B/empty" 200000)"
measure "norv init" 200000 0 "$cli" --dir "$prog" init
measure "norv check" 200000 0 "$cli" --dir "$prog" check
ratio "norv init" "md5sum, $cores processes" "norv init / md5sum" "target <= 1.5"
ratio "norv check" "md5sum, $cores processes" "norv check / md5sum" "target <= 1.5"

echo
echo "== scale: 100,000 against 1,000,000 empty files, 100 to a folder"
make_tree e100k empty 100000 1000
make_tree e1m empty 1000000 10000
for tree in e100k e1m; do
    prog=$(program "$B/$tree")
    n=100000
    [ "$tree" = e1m ] && n=1000000
    measure "norv init, $tree" "$n" 0 "$cli" --dir "$prog" init
    measure "norv check, $tree" "$n" 0 "$cli" --dir "$prog" check
done
for cmd in init check; do
    awk -v a="${median[norv $cmd, e100k]}" -v b="${median[norv $cmd, e1m]}" \
        -v ma="${peak[norv $cmd, e100k]}" -v mb="${peak[norv $cmd, e1m]}" -v c="$cmd" 'BEGIN {
        printf "  %-46s %6.2f   target <= 1.2\n", c ": time per file, 1M / 100k", (b / 1000000) / (a / 100000)
        printf "  %-46s %6.2f   target <= 1.1\n", c ": peak memory, 1M / 100k", mb / ma }'
done

if [ -w /proc/sys/vm/drop_caches ]; then
    echo
    echo "== cold caches (small tree)"
    read -r files bytes < <(tree_size "$B/small")
    prog=$(program "$B/small")
    measure "cold: cat, $cores readers" "$files" "$bytes" bash -c "sync; echo 3 > /proc/sys/vm/drop_caches; find '$B/small' -type f -print0 | xargs -0 -n 1000 -P$cores cat > /dev/null"
    measure "cold: norv init" "$files" "$bytes" bash -c "sync; echo 3 > /proc/sys/vm/drop_caches; '$cli' --dir '$prog' init"
    measure "cold: norv init, one-stream MD5" "$files" "$bytes" bash -c "sync; echo 3 > /proc/sys/vm/drop_caches; NORV_DIGEST_KERNEL=portable '$cli' --dir '$prog' init"
    measure "cold: norv init, plain reads" "$files" "$bytes" bash -c "sync; echo 3 > /proc/sys/vm/drop_caches; NORV_IO=plain '$cli' --dir '$prog' init"
    ratio "cold: norv init" "cold: cat, $cores readers" "cold norv init / cold cat"
    ratio "cold: norv init" "cold: norv init, one-stream MD5" "cold norv init, lanes / one-stream"
    ratio "cold: norv init" "cold: norv init, plain reads" "cold norv init, $(NORV_IO= "$bin/bench/norv-digest-kernel" | cut -d' ' -f3) / plain reads"
fi

echo
"$bin/bench/norv-gui-latency" "$(program "$B/small")"
