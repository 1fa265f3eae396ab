#!/usr/bin/env bash
# The fleet's store on a real PostgreSQL 15, started here on a Unix socket in a temporary folder:
# packaging/fleet/schema.sql loaded twice, lines inserted as rsyslog's ompgsql inserts them (as
# norv_fleet_writer, in transactions), odd lines among them, and each `norv-cli fleet` report read
# back as text and as JSON. Exits 77 (skipped) where the server is not installed.
set -u
cli=$1
schema=$2
pgbin=${NORV_PG_BIN:-/usr/lib/postgresql/15/bin}
for tool in initdb postgres pg_isready psql; do
    [ -x "$pgbin/$tool" ] || { echo "SKIP: $pgbin/$tool is not installed"; exit 77; }
done
command -v /usr/bin/python3 >/dev/null || { echo "SKIP: python3 is not installed"; exit 77; }
. "$(dirname "$0")/../support/session.sh"

fail() { echo "FAIL: $*"; exit 1; }

# The server refuses to run as root: then it runs as nobody, in a folder of its own.
as=()
chmod 0711 "$work"
mkdir "$work/pg"
if [ "$(id -u)" -eq 0 ]; then
    as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    chown nobody "$work/pg"
fi
"${as[@]}" "$pgbin/initdb" -D "$work/pg/data" -A trust -U postgres >"$work/initdb.txt" 2>&1 ||
    { cat "$work/initdb.txt"; fail "initdb"; }
"${as[@]}" "$pgbin/postgres" -D "$work/pg/data" -k "$work/pg" -c listen_addresses= \
    >"$work/pg/server.txt" 2>&1 &
pids+=($!)
until_true 300 "$pgbin/pg_isready" -q -h "$work/pg" || { cat "$work/pg/server.txt"; fail "no server"; }

sql() { # ROLE [psql options...]: runs psql on database norv as ROLE
    local role=$1
    shift
    "$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h "$work/pg" -U "$role" -d norv "$@"
}
"$pgbin/psql" -X -q -h "$work/pg" -U postgres -d postgres -c "CREATE DATABASE norv" || fail "createdb"
# Loaded twice: the second load changes nothing.
sql postgres -f "$schema" && sql postgres -f "$schema" || fail "the schema does not load twice"
sql postgres -c "ALTER ROLE norv_fleet_writer LOGIN" -c "ALTER ROLE norv_fleet_reader LOGIN" \
    -c "ALTER ROLE norv_fleet_filer LOGIN"
db="host=$work/pg dbname=norv user=norv_fleet_reader"

now=$(date -u +%Y-%m-%dT%H:%M:%S.000+00:00)
earlier=$(date -u -d '-150 minutes' +%Y-%m-%dT%H:%M:%S.000+00:00)
# ID NAME SEQUENCE KIND ACTION SEVERITY NORV-FIELDS: one event line, at $at (default now).
ev() {
    printf '{"schema":{"name":"norv.event","version":"1.1.0"},"time":"%s","host":{"name":"%s","id":"%s"},"event":{"kind":"%s","action":"%s","severity":%s,"sequence":%s},"norv":{"version":"1.0.0"%s}}' \
        "${at:-$now}" "$2" "$1" "$4" "$5" "$6" "$3" "$7"
}
run() { # ID NAME SEQUENCE COMMAND BASELINE
    ev "$1" "$2" "$3" state run 6 ',"run":"00000000000000'"$3"'","command":"'"$4"'","outcome":"completed","checked":3,"altered":0,"created":0,"deleted":0,"unchecked":0,"duration_s":0.1,"baseline_sha256":"'"$5"'"'
}
service() { ev "$1" "$2" "$3" state service 6 ',"state":"'"$4"'","period_s":'"$5"; }
change() { # ID NAME SEQUENCE KIND PATH
    ev "$1" "$2" "$3" alert change 4 ',"run":"0000000000000002","kind":"'"$4"'","path":"'"$5"'","size":7,"mtime":"'"$now"'","old_md5":"60b725f10c9c85c70d97880dfe8191b3","new_md5":"dd8c4f3e0a4d7c8c2e0a5c0b1f9e3a77","changed":["content","mode"],"old":{"content":"sha256:9f86","mode":"0644"},"new":{"content":"sha256:6030","mode":"4777"},"rule":{"number":1,"path":"/var/www/html","flag":3},"writer":{"pid":4242,"exe":"/usr/bin/vi","cmdline":"vi index.html","uid":0,"euid":0,"loginuid":1000,"unit":"session-3.scope","cgroup":"/user.slice","parents":[]}'
}
restore() { # ID NAME SEQUENCE OUTCOME
    local tail=',"result":"/var/www/html/index.html"'
    [ "$4" = failed ] && tail=',"reason":"disk full"'
    ev "$1" "$2" "$3" event action 5 ',"run":"0000000000000002","action":"restore","path":"/var/www/html/index.html","outcome":"'"$4"'"'"$tail"
}
send() { # SENDER LINE...: one transaction of inserts, as ompgsql sends a batch
    local sender=$1
    shift
    {
        echo "BEGIN;"
        for line in "$@"; do
            printf "INSERT INTO norv_fleet.inbox(sender, line) VALUES ('%s', '%s');\n" \
                "$sender" "${line//\'/\'\'}"
        done
        echo "COMMIT;"
    } | sql norv_fleet_writer || return 1
    # What the filer takes in, each batch apart: a batch's lines are filed together.
    "$cli" fleet file --once --db "host=$work/pg dbname=norv user=norv_fleet_filer"
}

A=aaaa1111 B=bbbb2222 C=cccc3333
X=$(printf 'a%.0s' {1..64}) Y=$(printf 'b%.0s' {1..64}) P=$(printf 'c%.0s' {1..64})
Q=$(printf 'd%.0s' {1..64})
# www1 runs a service every 600 s, sees a change that is restored, then its baseline changes
# with no init or accept between two checks. Its first line makes it known, so that the next
# ones, simply following it, are filed together; all the rest one at a time.
send 10.0.0.1 "$(service $A www1 1 started 600)" || fail "insert"
send 10.0.0.1 "$(run $A www1 2 init "$X")" \
    "$(change $A www1 3 altered /var/www/html/index.html)" "$(restore $A www1 4 done)" \
    "$(run $A www1 5 check "$X")" "$(run $A www1 6 check "$Y")" || fail "insert"
# Sent again (rsyslog resends a batch it is not sure of), in a batch of its own and within one.
send 10.0.0.1 "$(change $A www1 3 altered /var/www/html/index.html)" || fail "resend"
send 10.0.0.1 "$(change $A www1 8 created /var/www/html/shell.php)" \
    "$(change $A www1 8 created /var/www/html/shell.php)" || fail "insert"
# Out of order (7 after 8), a sequence repeated with another line, a forged host, and a line that
# is not JSON.
send 10.0.0.1 "$(restore $A www1 7 failed)" "$(run $A www1 5 check "$Q")" "not json at all" ||
    fail "insert"
send 10.0.0.9 "$(change $A www1 9 deleted /etc/passwd)" || fail "insert"
# db1's service stopped; a change two and a half hours ago, then one now, so each hour's count
# is kept in its own place. old1 runs without a service, its baseline changed by an accept.
send 10.0.0.2 "$(service $B db1 1 started 60)" "$(run $B db1 2 check "$X")" \
    "$(service $B db1 3 stopped null)" "$(at=$earlier change $B db1 4 altered /etc/hosts)" \
    "$(change $B db1 5 altered /etc/hosts)" || fail "insert"
# Two of old1's lines never came (3 and 4); www1's gap at 7 was filled late.
send 10.0.0.3 "$(run $C old1 1 init "$P")" "$(run $C old1 2 accept "$Q")" \
    "$(run $C old1 5 check "$Q")" || fail "insert"

# Stored once each; every odd line kept and flagged; the inbox empty.
stored=$(sql postgres -At -c "SELECT string_agg(sequence || ':' || array_to_string(flags, '+'), ' '
    ORDER BY sequence, received_at, flags) FROM norv_fleet.events WHERE host_id = '$A'")
[ "$stored" = "1: 2: 3: 4: 5: 5:repeated-sequence 6: 7:out-of-order 8: 9:forged-host" ] ||
    fail "www1's lines stored as: $stored"
[ "$(sql postgres -At -c "SELECT count(*) FROM norv_fleet.events WHERE 'unreadable' = ANY (flags)
    AND line = 'not json at all'")" = 1 ] || fail "the unreadable line was not kept"
[ "$(sql postgres -At -c "SELECT count(*) FROM norv_fleet.inbox")" = 0 ] || fail "the inbox keeps lines"
# A batch takes the oldest lines, as many as asked, and leaves the rest: lines read together,
# and lines read each on its own (one of them no JSON).
for kind in '{"n":1} {"n":2} {"n":3}' 'first {"n":2} third'; do
    read -r one two three <<<"$kind"
    sql norv_fleet_writer -c "INSERT INTO norv_fleet.inbox(sender, line)
        VALUES ('10.0.0.99', '$one'), ('10.0.0.99', '$two'), ('10.0.0.99', '$three')" >/dev/null
    [ "$(sql norv_fleet_filer -At -c "SELECT norv_fleet.file_inbox(2)")" = 2 ] ||
        fail "a batch of 2 took another count ($kind)"
    [ "$(sql postgres -At -c "SELECT string_agg(line, ' ') FROM norv_fleet.inbox")" = "$three" ] ||
        fail "a batch of 2 left other lines than the newest ($kind)"
    [ "$(sql norv_fleet_filer -At -c "SELECT norv_fleet.file_inbox(2)")" = 1 ] ||
        fail "the last line was not taken ($kind)"
done
sql postgres -c "DELETE FROM norv_fleet.events WHERE sender = '10.0.0.99'" >/dev/null
# A day's partition made drops those past the retention (90 days).
old_day=$(date -u -d '-100 days' +%Y%m%d)
sql postgres -c "SELECT norv_fleet.ensure_partition(now() - interval '100 days')" >/dev/null
[ "$(sql postgres -At -c "SELECT to_regclass('norv_fleet.events_$old_day') IS NOT NULL")" = t ] ||
    fail "no partition made 100 days back"
sql postgres -c "SELECT norv_fleet.ensure_partition(now() + interval '2 days')" >/dev/null
[ "$(sql postgres -At -c "SELECT to_regclass('norv_fleet.events_$old_day') IS NULL")" = t ] ||
    fail "a partition past the retention was kept"

# Each role may do its part only.
sql norv_fleet_writer -c "SELECT * FROM norv_fleet.events" 2>/dev/null && fail "the writer reads events"
sql norv_fleet_writer -c "SELECT * FROM norv_fleet.inbox" 2>/dev/null && fail "the writer reads the inbox"
sql norv_fleet_writer -c "DELETE FROM norv_fleet.inbox" 2>/dev/null && fail "the writer deletes"
sql norv_fleet_reader -c "INSERT INTO norv_fleet.inbox VALUES ('10.0.0.1', 'x')" 2>/dev/null &&
    fail "the reader inserts"
sql norv_fleet_reader -c "UPDATE norv_fleet.hosts SET sender = 'x'" 2>/dev/null && fail "the reader updates"
sql norv_fleet_writer -c "INSERT INTO norv_fleet.inbox(sender, line, received_at)
    VALUES ('10.0.0.1', 'x', now() - interval '1 day')" 2>/dev/null && fail "the writer dates a line"
sql norv_fleet_writer -c "SELECT norv_fleet.file_inbox(1)" 2>/dev/null && fail "the writer files"
sql norv_fleet_filer -c "SELECT * FROM norv_fleet.inbox" 2>/dev/null && fail "the filer reads the inbox"
sql norv_fleet_filer -c "SELECT * FROM norv_fleet.hosts" 2>/dev/null && fail "the filer reads hosts"
# No role but the owner can hold the filer's lock, and so stop the filing.
for role in norv_fleet_writer norv_fleet_reader; do
    sql $role -c "BEGIN; LOCK TABLE norv_fleet.filing_lock IN ACCESS SHARE MODE" 2>/dev/null &&
        fail "$role can lock the filing"
done

fleet() { "$cli" fleet "$@" --db "$db" >"$work/out" 2>"$work/err"; echo $? >"$work/rc"; }
expect() { # RC TEXT: the last report's exit status and its standard output
    [ "$(cat "$work/rc")" = "$1" ] || fail "exit $(cat "$work/rc"), not $1: $(cat "$work/out" "$work/err")"
    [ "$(cat "$work/out")" = "$2" ] || fail "the report reads:
$(cat "$work/out")
not:
$2"
}
json() { /usr/bin/python3 -c "import json, sys; d = json.load(open('$work/out')); print($1)"; }

fleet status
# What www1 did: 3 and 8 are changes (the forged 9 is not its own), restores done and failed.
expect 0 "db1	$B	$now	check	completed	changes 2	restores 0	failed restores 0	flags 0	missing 0
old1	$C	$now	check	completed	changes 0	restores 0	failed restores 0	flags 0	missing 2
www1	$A	$now	check	completed	changes 2	restores 1	failed restores 1	flags 3	missing 0
-	unreadable lines 1"
fleet status --json
[ "$(json "[(h['name'], h['changes'], h['flags'], h['missing'], h['last_run']['command']) for h in d['hosts']], d['unreadable']")" = \
    "[('db1', 2, 0, 0, 'check'), ('old1', 0, 0, 2, 'check'), ('www1', 2, 3, 0, 'check')] 1" ] ||
    fail "status --json: $(cat "$work/out")"
# From a time within the earlier change's hour, and from after it.
for since in 160m 140m; do
    fleet status --json --since "$since"
    json "[h['changes'] for h in d['hosts']]" >>"$work/counts"
done
[ "$(cat "$work/counts")" = "[2, 0, 2]
[1, 0, 2]" ] || fail "changes since 160m and 140m: $(cat "$work/counts")"

# db1's service said it stopped; old1 gave no period, and its last run is older than twice 1 ms.
fleet silent --period 0.001s
expect 1 "db1	$B	stopped	last run $now	period 0.001 s
old1	$C	late	last run $now	period 0.001 s"
fleet silent --json
[ "$(json "[(h['name'], h['reason']) for h in d['hosts']]")" = "[('db1', 'stopped')]" ] ||
    fail "silent --json: $(cat "$work/out")"

# Only www1's baseline changed between two checks; old1's accept explains its own.
fleet seal
expect 1 "www1	$A	#5 check $now $X -> #6 check $now $Y"
fleet seal --json
[ "$(json "[(b['host']['id'], b['before']['sequence'], b['after']['baseline_sha256']) for b in d['breaks']]")" = \
    "[('$A', 5, '$Y')]" ] || fail "seal --json: $(cat "$work/out")"

fleet changes --since 1h
# (db1's change now has the same facts)
facts="7	$now	60b725f10c9c85c70d97880dfe8191b3	dd8c4f3e0a4d7c8c2e0a5c0b1f9e3a77	content sha256:9f86 -> sha256:6030	mode 0644 -> 4777	writer pid 4242 /usr/bin/vi, uid 0, cgroup /user.slice"
expect 1 "db1	$now	altered	/etc/hosts	$facts
www1	$now	altered	/var/www/html/index.html	$facts
www1	$now	created	/var/www/html/shell.php	$facts
www1	$now	deleted	/etc/passwd	$facts	flags forged-host"
fleet changes --json --since "$now"
[ "$(json "[(c['host']['sender'], c['sequence'], c['flags'], sorted(c['change'])) for c in d['changes']][3]")" = \
    "('10.0.0.9', 9, ['forged-host'], ['changed', 'kind', 'mtime', 'new', 'new_md5', 'old', 'old_md5', 'path', 'rule', 'size', 'writer'])" ] ||
    fail "changes --json: $(cat "$work/out")"

# Nothing a host sends fails a batch (which would lose the other hosts' lines in it): a severity
# that is no number, periods past a year, an id of 8 KiB, JSON nested past the parser, sequences
# below 1 and past 2^53, a time of "infinity". Each is kept, and the reports still answer.
D=dddd4444
deep=$(printf '[%.0s' {1..100000})
long=$(printf 'h%.0s' {1..8192})
send 10.0.0.4 "$(ev $D odd1 1 state service '"x"' ',"state":"started","period_s":1e400')" \
    "$(service $D odd1 2 started 99999999999)" "$(ev "$long" odd2 1 state run 6 '')" "$deep" \
    "$(ev $D odd1 -5 state run 6 '')" "$(ev $D odd1 99999999999999999999 state run 6 '')" \
    "$(at=infinity run $D odd1 3 check "$X")" "$(change $D odd1 4 created /tmp/x)" ||
    fail "a batch with odd lines was refused"
[ "$(sql postgres -At -c "SELECT count(*) || ' ' || count(*) FILTER (WHERE 'unreadable' = ANY (flags))
    FROM norv_fleet.events WHERE sender = '10.0.0.4'")" = "8 5" ] || fail "the odd lines were not all kept"
# A forged line with odd1's next sequence never makes odd1's own late line a repeat.
send 10.0.0.9 "$(change $D odd1 10 created /tmp/forged)" && send 10.0.0.4 "$(change $D odd1 12 created /tmp/y)" \
    "$(change $D odd1 10 created /tmp/z)" || fail "insert"
[ "$(sql postgres -At -c "SELECT flags FROM norv_fleet.events WHERE sender = '10.0.0.4' AND sequence = 10")" = \
    "{out-of-order}" ] || fail "a forged line made the host's own a repeat"
fleet silent
[ "$(cat "$work/rc")" -le 1 ] || fail "silent after odd periods: $(cat "$work/err")"
fleet status
[ "$(cat "$work/rc")" = 0 ] || fail "status after odd lines: $(cat "$work/err")"

# Both ways of filing give the same rows: each case's lines (tests/app/fleet_filing_cases.txt:
# "seed|SENDER|RECEIVED|LINE" filed first, "batch|..." after) filed in one batch, read at once or
# line by line (one line no JSON among them), in a session whose dates read otherwise, against
# the same lines filed one at a time.
today=$(date -u +%F) tomorrow=$(date -u -d tomorrow +%F)
sql postgres -q -c "CREATE DATABASE norv_both" || fail "createdb norv_both"
both() { "$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h "$work/pg" -U postgres -d norv_both "$@"; }
both -f "$schema" || fail "the schema does not load in a second database"
quoted() { printf "'%s'" "${1//\'/\'\'}"; }
file_cases() { # WAY EXTRA-LINE: batch (one call of file_inbox) or one (file_one for each line)
    local n=0 kind sender at line
    {
        echo "TRUNCATE norv_fleet.events, norv_fleet.hosts, norv_fleet.host_hours, norv_fleet.inbox;"
        # Two hosts registered before they send: r1's first line is no gap, r2's is forged.
        echo "SELECT norv_fleet.register_host('r1', '10.0.0.1'), norv_fleet.register_host('r2', '10.0.0.2');
              UPDATE norv_fleet.hosts SET first_seen = '$today 09:00Z', last_seen = '$today 09:00Z';"
        while IFS='|' read -r kind sender at line; do
            n=$((n + 1))
            at=${at//2026-12-11/$today} line=${line//2026-12-11/$today}
            line=${line//2026-12-12/$tomorrow}
            if [ "$kind" = seed ] || [ "$1" = one ]; then
                echo "SELECT norv_fleet.file_one($(quoted "$at"), $(quoted "$sender"), $(quoted "$line"));"
            else
                echo "INSERT INTO norv_fleet.inbox(id, sender, line, received_at) OVERRIDING SYSTEM VALUE
                      VALUES ($n, $(quoted "$sender"), $(quoted "$line"), $(quoted "$at"));"
            fi
        done < <(cat "$(dirname "$0")/fleet_filing_cases.txt"; [ -z "$2" ] || echo "batch|10.0.0.7|$today 10:00:09+00|$2")
        [ "$1" = batch ] && echo "SELECT norv_fleet.file_inbox(100000);"
    } | PGOPTIONS="-c DateStyle=SQL,DMY -c TimeZone=Asia/Kolkata" both >/dev/null || return 1
    both -At -c "SELECT received_at, sender, host_id, host_name, sequence, event_time, kind,
        action, severity, run, command, baseline_sha256, path, flags, digest, body, line
        FROM norv_fleet.events ORDER BY received_at, sequence, digest" \
        -c "SELECT * FROM norv_fleet.hosts ORDER BY host_id" \
        -c "SELECT * FROM norv_fleet.host_hours ORDER BY host_id, hour"
}
for extra in "" "not json"; do
    file_cases batch "$extra" >"$work/batch.txt" || fail "filing the cases in a batch (${extra:-read at once})"
    file_cases one "$extra" >"$work/one.txt" || fail "filing the cases one at a time"
    diff "$work/one.txt" "$work/batch.txt" >"$work/diff.txt" ||
        fail "a batch (${extra:-read at once}) filed otherwise than line by line:
$(head -20 "$work/diff.txt")"
done
[ "$(both -At -c "SELECT missing FROM norv_fleet.hosts WHERE host_id = 'r1'")" = 1 ] &&
    [ "$(both -At -c "SELECT string_agg(sender || ':' || array_to_string(flags, '+'), ' ' ORDER BY sequence)
        FROM norv_fleet.events WHERE host_id = 'r2'")" = "10.0.0.66:forged-host 10.0.0.2:" ] ||
    fail "a registered host's lines were not filed as its own"

# Failures name the server and the cause.
"$cli" fleet status --db "host=$work/none dbname=norv" >/dev/null 2>"$work/err"
[ $? -eq 2 ] && grep -q "$work/none" "$work/err" || fail "no server: $(cat "$work/err")"
"$cli" fleet status --db "host=$work/pg dbname=postgres user=postgres" >/dev/null 2>"$work/err"
[ $? -eq 2 ] && grep -q "norv_fleet" "$work/err" || fail "no schema: $(cat "$work/err")"
"$cli" fleet status --db "$db" --since yesterdayish >/dev/null 2>"$work/err"
[ $? -eq 64 ] || fail "a time the server cannot read: $(cat "$work/err")"
sql postgres -c "UPDATE norv_fleet.schema_version SET version = 0"
"$cli" fleet status --db "$db" >/dev/null 2>"$work/err"
[ $? -eq 2 ] && grep -q "版 0" "$work/err" || fail "an older schema: $(cat "$work/err")"
echo "fleet store: every line filed once, odd ones flagged, four reports read back"
exit 0
