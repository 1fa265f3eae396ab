#!/usr/bin/env bash
# The fleet's store on this machine: how many events a second the inbox files, sent as the
# collector's rsyslog (ompgsql) sends them, and how long each `norv-cli fleet` report takes on
# 10,000,000 events of 10,000 hosts.
#
#   bash bench/fleet_store.sh [SECONDS]      (NORV_BENCH_HOSTS=100 for a quick try)
#
# A PostgreSQL 15 of its own in a temporary folder under /var/tmp, on a Unix socket there, with
# shared_buffers 2 GB and max_wal_size 16 GB; removed at the end. SECONDS (default 30) is how long
# each part's inserts are measured. The 10,000,000 events are written straight into events, hosts and
# host_hours by SQL (generate_series), in the shape the filing gives them: filing them through
# the inbox would take about 10 minutes on two cores. Takes about 10 minutes and
# 30 GB of disk (a third of it write-ahead log). NORV_BENCH_BUILD names the build folder
# (default build/dev). NORV_BENCH_INSERT_ONLY=1 stops after the inserts. NORV_BENCH_RATE (default
# 20000) is the pace of the second part: lines a second offered while the filer runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
hosts=${NORV_BENCH_HOSTS:-10000}  # fewer for a quick try of the script
rate=${NORV_BENCH_RATE:-20000}    # lines a second the fleet offers in the paced part
build=${NORV_BENCH_BUILD:-build/dev}
pgbin=${NORV_PG_BIN:-/usr/lib/postgresql/15/bin}
nice ninja -C "$build" norv-cli norv-fleet-insert >/dev/null
cli=$PWD/$build/app/cli/norv-cli
insert=$PWD/$build/bench/norv-fleet-insert

work=$(mktemp -d /var/tmp/norv-fleet-bench.XXXXXX)
chmod 0711 "$work"
as=()
if [ "$(id -u)" -eq 0 ]; then
    as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    chown nobody "$work"
fi
filer=
sender=
stop() {
    [ -n "$filer" ] && kill "$filer" 2>/dev/null
    [ -n "$sender" ] && kill "$sender" 2>/dev/null
    "${as[@]}" "$pgbin/pg_ctl" -D "$work/data" -m fast stop >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap stop EXIT
"${as[@]}" "$pgbin/initdb" -D "$work/data" -A trust -U postgres >/dev/null
"${as[@]}" "$pgbin/pg_ctl" -D "$work/data" -l "$work/server.log" -w -o \
    "-k $work -c listen_addresses= -c shared_buffers=2GB -c max_wal_size=16GB -c checkpoint_timeout=30min -c work_mem=64MB -c max_connections=50" \
    start >/dev/null
sql() { "$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h "$work" -U postgres -d norv "$@"; }
"$pgbin/psql" -X -q -h "$work" -U postgres -d postgres -c "CREATE DATABASE norv"
sql -f packaging/fleet/schema.sql
sql -c "ALTER ROLE norv_fleet_writer LOGIN" -c "ALTER ROLE norv_fleet_reader LOGIN"

echo "machine: $(nproc) cores, $(lscpu | awk -F': *' '/^Model name/ { print $2; exit }')," \
    "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "$(. /etc/os-release && echo "$PRETTY_NAME"), PostgreSQL $("$pgbin/postgres" --version | awk '{ print $3 }')"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== filing through the inbox (4 connections, $hosts hosts, transactions of 100 inserts)"
# The server's processor time: its backends', once they ended, counted in the postmaster's
# children (fields 16 and 17 of /proc/PID/stat, in clock ticks).
postmaster=$(head -1 "$work/data/postmaster.pid")
server_ticks() { awk '{ print $16 + $17 }' "/proc/$postmaster/stat"; }
backends() { sql -At -c "SELECT count(*) FROM pg_stat_activity WHERE usename = 'norv_fleet_writer'"; }
before=$(server_ticks)
# The filer, as the central server runs it, takes what the inbox holds as it comes.
"$cli" fleet file --db "host=$work dbname=norv user=postgres" &
filer=$!
"$insert" "host=$work dbname=norv user=norv_fleet_writer" 4 "$hosts" 100 "$seconds" | tee "$work/insert.txt"
inserted=$(date +%s.%N)
kill "$filer"
wait "$filer" || true
filer=
"$cli" fleet file --once --db "host=$work dbname=norv user=postgres"
echo "the filer took $(awk -v s="$inserted" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s more to empty the inbox"
for _ in $(seq 100); do [ "$(backends)" = 0 ] && break; sleep 0.1; done
stored=$(sql -At -c "SELECT count(*) FROM norv_fleet.events")
server=$(awk -v t="$(($(server_ticks) - before))" -v hz="$(getconf CLK_TCK)" 'BEGIN { print t / hz }')
senders=$(awk '/processor time/ { print $4 }' "$work/insert.txt")
awk -v n="$stored" -v s="$server" -v c="$senders" -v cores="$(nproc)" 'BEGIN {
    printf "stored %d events; the server used %.1f s of processor time, the senders %.1f s:\n", n, s, c
    printf "%.0f us a line in the server (%.0f with the senders): %.0f lines/s on %d idle cores\n",
        s / n * 1e6, (s + c) / n * 1e6, cores * n / s, cores }'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

# A fleet sends at its own pace, not as fast as the server takes lines: at that pace, does the
# filer keep up? The inbox's backlog (about: its ids' span) is read each second.
echo "== at $rate lines a second offered, for $seconds s, the filer running"
filed_before=$(sql -At -c "SELECT count(*) FROM norv_fleet.events")
"$cli" fleet file --db "host=$work dbname=norv user=postgres" &
filer=$!
"$insert" "host=$work dbname=norv user=norv_fleet_writer" 4 "$hosts" 100 "$seconds" 1000000 "$rate" \
    >"$work/paced.txt" &
sender=$!
most=0
while kill -0 "$sender" 2>/dev/null; do
    backlog=$(sql -At -c "SELECT coalesce(max(id) - min(id) + 1, 0) FROM norv_fleet.inbox")
    [ "$backlog" -gt "$most" ] && most=$backlog
    sleep 1
done
wait "$sender"
sender=
kill "$filer"
wait "$filer" || true
filer=
backlog=$(sql -At -c "SELECT count(*) FROM norv_fleet.inbox")
sent_at=$(date +%s.%N)
"$cli" fleet file --once --db "host=$work dbname=norv user=postgres"
cat "$work/paced.txt"
echo "inbox backlog: at most about $most lines, $backlog when the senders stopped, filed by the" \
    "filer alone in $(awk -v s="$sent_at" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s" \
    "($(( $(sql -At -c "SELECT count(*) FROM norv_fleet.events") - filed_before )) lines filed in all)"
[ "${NORV_BENCH_INSERT_ONLY:-0}" = 1 ] && exit 0

echo "== loading $((hosts * 1000)) events of $hosts hosts over 10 days (straight into the tables)"
started=$(date +%s)
PGOPTIONS="-c norv_bench.hosts=$hosts" sql <<'SQL'
TRUNCATE norv_fleet.events, norv_fleet.hosts, norv_fleet.host_hours;
DO $parts$ BEGIN
    PERFORM norv_fleet.ensure_partition(now() - d * interval '1 day') FROM generate_series(11, 0, -1) d;
END $parts$;
-- Day d (0 today) holds each host's events 100 * (9 - d) + 1 ... + 100, one every 14.4 minutes
-- up to now: one in four a run (check), two changes, one a restore. Every 100th host's baseline
-- changes at its run 500, with no init between.
DO $load$
BEGIN
    FOR d IN REVERSE 9..0 LOOP
        INSERT INTO norv_fleet.events (received_at, sender, host_id, host_name, sequence,
                                       event_time, kind, action, severity, run, command,
                                       baseline_sha256, path, flags, digest, body)
        SELECT t + interval '2 seconds', sender, 'bench' || h, 'h' || h, seq, t,
               CASE seq % 4 WHEN 0 THEN 'state' WHEN 3 THEN 'event' ELSE 'alert' END,
               CASE seq % 4 WHEN 0 THEN 'run' WHEN 3 THEN 'action' ELSE 'change' END,
               CASE seq % 4 WHEN 0 THEN 6 WHEN 3 THEN 5 ELSE 4 END,
               run, CASE WHEN seq % 4 = 0 THEN 'check' END,
               CASE WHEN seq % 4 = 0 THEN baseline END,
               CASE WHEN seq % 4 <> 0 THEN path END,
               '{}', sha256(convert_to(h || '-' || seq, 'UTF8')),
               jsonb_build_object(
                   'schema', jsonb_build_object('name', 'norv.event', 'version', '1.1.0'),
                   'time', t, 'host', jsonb_build_object('name', 'h' || h, 'id', 'bench' || h),
                   'event', jsonb_build_object('sequence', seq),
                   'norv', CASE seq % 4
                       WHEN 0 THEN jsonb_build_object('version', '1.1.0', 'run', run,
                           'command', 'check', 'outcome', 'completed', 'checked', 1200,
                           'altered', 1, 'created', 1, 'deleted', 0, 'unchecked', 0,
                           'duration_s', 0.42, 'baseline_sha256', baseline)
                       WHEN 3 THEN jsonb_build_object('version', '1.1.0', 'run', run,
                           'action', 'restore', 'path', path, 'outcome', 'done', 'result', path)
                       ELSE jsonb_build_object('version', '1.1.0', 'run', run,
                           'kind', 'altered', 'path', path, 'size', 4, 'mtime', t,
                           'old_md5', '60b725f10c9c85c70d97880dfe8191b3',
                           'new_md5', 'dd8c4f3e0a4d7c8c2e0a5c0b1f9e3a77',
                           'changed', jsonb_build_array('content'),
                           'old', jsonb_build_object('content', 'sha256:9f86d081884c7d65'),
                           'new', jsonb_build_object('content', 'sha256:60303ae22b998861'),
                           'rule', jsonb_build_object('number', 1, 'path', '/var/www/html',
                                                      'flag', 3),
                           'writer', NULL) END)
          FROM generate_series(1, current_setting('norv_bench.hosts')::int) h,
               LATERAL (SELECT '10.' || (h >> 16) || '.' || ((h >> 8) & 255) || '.' || (h & 255)
                               AS sender) s,
               generate_series(1, 100) k,
               LATERAL (SELECT 100 * (9 - d) + k AS seq,
                               now() - d * interval '1 day' - (100 - k) * interval '14.4 minutes'
                               AS t,
                               lpad(to_hex(h), 8, '0') || lpad(to_hex(100 * (9 - d) + k), 8, '0')
                               AS run,
                               '/var/www/html/page' || k || '.html' AS path,
                               CASE WHEN h % 100 = 0 AND 100 * (9 - d) + k >= 500
                                    THEN repeat('b', 64) ELSE repeat('a', 64) END AS baseline) e;
        COMMIT;
    END LOOP;
END
$load$;
-- What the trigger keeps beside: each host's last line, last run and service (every 50th
-- stopped), and the hourly rollup.
INSERT INTO norv_fleet.hosts (host_id, host_name, sender, first_seen, last_seen, last_sequence,
                              last_run_sequence, last_run_at, last_run_time, last_run_command,
                              last_run_outcome, last_run_counts, last_baseline_sha256,
                              service_sequence, service_state, service_period_s, service_time)
SELECT DISTINCT ON (host_id) host_id, host_name, sender, received_at - interval '10 days',
       received_at, 1000, sequence, received_at, event_time, command, 'completed',
       '{"checked":1200,"altered":1,"created":1,"deleted":0,"unchecked":0}',
       baseline_sha256, 1,
       CASE WHEN substr(host_id, 6)::int % 50 = 0 THEN 'stopped' ELSE 'started' END,
       CASE WHEN substr(host_id, 6)::int % 50 = 0 THEN NULL ELSE 3600 END,
       received_at - interval '10 days'
  FROM norv_fleet.events WHERE action = 'run' ORDER BY host_id, sequence DESC;
INSERT INTO norv_fleet.host_hours (host_id, hour, changes, restores, failed_restores, flagged)
SELECT host_id, date_bin('1 hour', event_time, timestamptz '2000-01-01 00:00+00'),
       count(*) FILTER (WHERE action = 'change'), count(*) FILTER (WHERE action = 'action'), 0, 0
  FROM norv_fleet.events WHERE action IN ('change', 'action') GROUP BY 1, 2;
VACUUM ANALYZE norv_fleet.events, norv_fleet.hosts, norv_fleet.host_hours;
SQL
echo "loaded in $(($(date +%s) - started)) s: $(sql -At -c "SELECT count(*) || ' events, ' ||
    (SELECT count(*) FROM norv_fleet.hosts) || ' hosts, ' ||
    pg_size_pretty(pg_database_size('norv')) FROM norv_fleet.events")"

echo "== reports (norv-cli fleet as norv_fleet_reader; output to a file)"
report() {
    local started ended rc
    started=$(date +%s.%N)
    rc=0
    "$cli" fleet "$@" --db "host=$work dbname=norv user=norv_fleet_reader" >"$work/out" || rc=$?
    ended=$(date +%s.%N)
    [ "$rc" -le 1 ] || { echo "fleet $* failed ($rc)"; exit 1; }
    printf '%-36s %7.3f s  %8d lines, %s\n' "fleet $*" "$(awk "BEGIN { print $ended - $started }")" \
        "$(wc -l <"$work/out")" "$(du -h "$work/out" | cut -f1)"
}
for round in 1 2; do
    echo "-- round $round"
    report status
    report status --json
    report silent
    report seal
    report seal --since 24h
    report changes --since 1h
    report changes --since 24h --json
done
