#!/usr/bin/env bash
# A fleet on one machine, in network namespaces joined by a bridge on 10.88.0.0/24: a central
# server (norv-fleet-central: rsyslog over RELP/TLS into PostgreSQL 15) and three hosts, each
# with its own norv program folder, host name and machine id, and its own rsyslog sending with
# the shipped sender configuration. Two intruders are refused: one whose certificate the fleet's
# CA did not sign, one whose certificate it signed for a name outside the fleet. Shown:
#   - every event of each host's init, checks and restores is stored once, byte for byte (the
#     stored SHA-256 of each line, in sequence order, is that of the host's events file);
#   - an outage of the central rsyslog, then of both, then of PostgreSQL alone, loses nothing and
#     stores nothing twice; NORV_FLEET_OUTAGE_S seconds in all (default 120);
#   - each intruder's refusal on both ends, and none of their events stored;
#   - the writer role cannot read, the reader cannot write; the filer runs as a user of its own;
#   - where `norv-cli fleet` exists, its reports answer from the stored events;
#   - a host registered with `norv-fleet-central register`: a line of its id from another address
#     is flagged forged-host though it came first.
# Needs root, `ip netns`, rsyslog's RELP and PostgreSQL modules and PostgreSQL 15; exits 77
# (skipped) without them.
set -u
cli=$1
here=$(cd "$(dirname "$0")" && pwd)
central_cmd=$here/../../scripts/fleet-central.sh
outage=${NORV_FLEET_OUTAGE_S:-120}
pg_bin=/usr/lib/postgresql/15/bin

[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
for c in ip rsyslogd openssl unshare runuser ss /usr/bin/python3 "$pg_bin/initdb" "$pg_bin/psql"; do
    command -v "$c" >/dev/null || { echo "SKIP: $c is not installed"; exit 77; }
done
for m in imfile omrelp imrelp ompgsql; do
    ls /usr/lib/*/rsyslog/$m.so >/dev/null 2>&1 || { echo "SKIP: rsyslog's $m is not installed"; exit 77; }
done
id postgres >/dev/null 2>&1 || { echo "SKIP: there is no user postgres"; exit 77; }
. "$here/../support/session.sh"
# PostgreSQL runs as postgres, below this folder.
chmod 0711 "$work"

tag=nf$$
ns_c=${tag}c
hosts=(h1 h2 h3)
declare -A ns addr
for i in 1 2 3 4 5; do ns[h$i]=${tag}h$i addr[h$i]=10.88.0.1$i; done
made_ns=()
central=$work/central
secrets=$central/secrets
pg_port=5433

teardown() {
    if [ -d "$central" ]; then
        ip netns exec "$ns_c" bash "$central_cmd" stop --dir "$central" >/dev/null 2>&1
        # Whatever would not stop.
        [ -f "$central/rsyslog/pid" ] && kill -9 "$(cat "$central/rsyslog/pid")" 2>/dev/null
        [ -f "$central/pg/data/postmaster.pid" ] && kill -9 "$(head -1 "$central/pg/data/postmaster.pid")" 2>/dev/null
        [ -f "$central/filer.pid" ] && kill -9 "$(cat "$central/filer.pid")" 2>/dev/null
    fi
    for n in "${made_ns[@]}"; do ip netns del "$n" 2>/dev/null; done
    cleanup
}
trap teardown EXIT
# Polls "$@" every tenth of a second for at most $1 seconds (each poll of the database takes
# time of its own, so a count of polls would not bound the wait).
within() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}
fail() {
    echo "FAIL: $*"
    for f in "$central/rsyslog/messages" "$work"/h?/rsyslog/messages; do
        [ -f "$f" ] && { echo "== $f"; grep -v "10.88.0.1[45]\|authentication error" "$f" | tail -25; }
    done
    [ -f "$central/filer.log" ] && { echo "== $central/filer.log"; tail -10 "$central/filer.log"; }
    exit 1
}

# The network: the central server on the bridge at 10.88.0.1, each host on its own veth.
ip netns add "$ns_c" 2>/dev/null || { echo "SKIP: cannot make network namespaces"; exit 77; }
made_ns+=("$ns_c")
in_c() { ip netns exec "$ns_c" "$@"; }
in_c ip link set lo up
in_c ip link add br0 type bridge || { echo "SKIP: no bridge in a namespace"; exit 77; }
in_c ip addr add 10.88.0.1/24 dev br0
in_c ip link set br0 up
for i in 1 2 3 4 5; do
    h=h$i
    ip netns add "${ns[$h]}" || fail "cannot make namespace ${ns[$h]}"
    made_ns+=("${ns[$h]}")
    ip link add v0 netns "${ns[$h]}" type veth peer name "p$i" netns "$ns_c" || fail "no veth pair for $h"
    in_c ip link set "p$i" master br0 up
    ip netns exec "${ns[$h]}" ip link set lo up
    ip netns exec "${ns[$h]}" ip addr add "${addr[$h]}/24" dev v0
    ip netns exec "${ns[$h]}" ip link set v0 up
done

# The central server, as an administrator starts it.
in_c bash "$central_cmd" start --dir "$central" --address 10.88.0.1 --port 2514 \
    --pg-port "$pg_port" --hosts "${hosts[*]}" --cli "$cli" >"$work/central.txt" 2>&1 ||
    { cat "$work/central.txt"; fail "norv-fleet-central start"; }
grep -q "norv-cli fleet status --db 'host=127.0.0.1 port=$pg_port dbname=norv user=norv_fleet_reader" \
    "$work/central.txt" || { cat "$work/central.txt"; fail "the set-up does not say how to read the reports"; }
sql() { runuser -u postgres -- "$pg_bin/psql" -X -q -At -h "$central/pg/run" -p "$pg_port" -d norv -c "$1"; }
# The filer runs as a user of its own, its password in a folder only that user (and root) reads.
filer_as=$(stat -c %U "/proc/$(cat "$central/filer.pid")")
[ "$filer_as $(stat -c %U:%a "$central/filer" "$central/filer/filer.pgpass" | tr '\n' ' ')" = \
    "norv-fleet-filer norv-fleet-filer:700 norv-fleet-filer:600 " ] ||
    fail "the filer runs as $filer_as; its password: $(stat -c '%U:%a %n' "$central/filer" "$central/filer/filer.pgpass" 2>&1)"
# A filer an earlier set-up left running as root is replaced at the next start.
kill "$(cat "$central/filer.pid")"
# (ip and setsid each replace themselves: $! is the filer's own pid.)
ip netns exec "$ns_c" setsid "$cli" fleet file \
    --db "host=127.0.0.1 port=$pg_port dbname=norv user=norv_fleet_filer passfile=$central/filer/filer.pgpass" \
    </dev/null >/dev/null 2>&1 &
root_filer=$!
echo "$root_filer" >"$central/filer.pid"
is_filer() { grep -q norv-cli "/proc/$root_filer/comm"; }
within 10 is_filer || fail "the filer started as root did not start"
in_c bash "$central_cmd" start --dir "$central" --address 10.88.0.1 --port 2514 \
    --pg-port "$pg_port" --hosts "${hosts[*]}" --cli "$cli" >"$work/central2.txt" 2>&1 ||
    { cat "$work/central2.txt"; fail "a start over a filer running as root"; }
filer_as=$(stat -c %U "/proc/$(cat "$central/filer.pid")")
case $(ps -o stat= -p "$root_filer") in
"" | Z*) wait "$root_filer" 2>/dev/null ;;
*) kill "$root_filer"; fail "a filer left running as root was not stopped" ;;
esac
[ "$filer_as" = norv-fleet-filer ] || fail "a filer left running as root was kept (it runs as $filer_as)"

# Each host: a program folder, a machine id and host name of its own (norv reads both for its
# events), and rsyslog with the sender configuration the set-up made for it.
setup_host() {
    local h=$1 restore=$2 i
    mkdir -p "$work/$h/program" "$work/$h/site" "$work/$h/fleet" "$work/$h/rsyslog/spool" \
        "$work/$h/save" "$work/$h/cracked"
    openssl rand -hex 16 >"$work/$h/machine-id"
    printf '%s\r\n' x fleet " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " $restore " "$work/$h/save" \
        "$work/$h/cracked" >"$work/$h/program/norvcfg.txt"
    printf '<rule>%s,3</rule>\r\n' "$work/$h/site" >"$work/$h/program/user_rule.txt"
    for i in $(seq 20); do echo "$h page $i" >"$work/$h/site/page$i.html"; done
}
norv_on() {
    local h=$1
    shift
    unshare -u -m sh -c 'hostname "$1" && mount --bind "$2" /etc/machine-id && shift 2 && exec "$@"' \
        sh "$h" "$work/$h/machine-id" "$cli" --dir "$work/$h/program" "$@"
}
checked() {
    norv_on "$1" check >/dev/null 2>&1
    local status=$?
    [ $status -le 1 ] || fail "check on $1 exited $status"
}
start_sender() {
    local h=$1 d=$work/$1/rsyslog
    sed -e "s|/etc/norv/fleet/|$work/$h/fleet/|g" \
        -e "s|/var/log/norv/norv-events.jsonl|$work/$h/program/norv-events.jsonl|" \
        "$central/hosts/h1/norv-fleet.conf" >"$d/norv-fleet.conf"
    printf '%s\n' "global(workDirectory=\"$d/spool\" processInternalMessages=\"on\")" \
        "syslog.* action(type=\"omfile\" file=\"$d/messages\")" \
        "include(file=\"$d/norv-fleet.conf\")" >"$d/rsyslog.conf"
    ip netns exec "${ns[$h]}" rsyslogd -n -f "$d/rsyslog.conf" -i "$d/pid" >>"$d/out" 2>&1 &
    pids+=($!)
}

setup_host h1 1
setup_host h2 0
setup_host h3 0
setup_host h4 0
setup_host h5 0
for h in "${hosts[@]}"; do cp "$central/hosts/$h/"{ca.pem,host.pem,host.key} "$work/$h/fleet/"; done
# The intruder trusts the central server, but its own certificate is from a CA of its own.
cp "$central/hosts/h1/ca.pem" "$work/h4/fleet/ca.pem"
(cd "$work/h4/fleet" &&
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=other CA" \
        -keyout other.key -out other.pem 2>/dev/null &&
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=h4.fleet.internal" \
        -keyout host.key -out host.csr 2>/dev/null &&
    openssl x509 -req -in host.csr -CA other.pem -CAkey other.key -CAcreateserial -days 2 -out host.pem \
        -extfile <(echo subjectAltName=DNS:h4.fleet.internal) 2>/dev/null) || fail "the intruder's certificate"
# The other intruder's certificate is the fleet CA's, but for a name outside the fleet.
cp "$central/hosts/h1/ca.pem" "$work/h5/fleet/ca.pem"
(cd "$work/h5/fleet" &&
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=h5.elsewhere.internal" \
        -keyout host.key -out host.csr 2>/dev/null &&
    openssl x509 -req -in host.csr -CA "$central/tls/ca.pem" -CAkey "$central/tls/ca.key" -CAcreateserial \
        -days 2 -out host.pem -extfile <(echo subjectAltName=DNS:h5.elsewhere.internal) 2>/dev/null) ||
    fail "the second intruder's certificate"
for h in h1 h2 h3 h4 h5; do start_sender "$h"; done

# Init (and the archive a restore needs, on h1), then changes found and, on h1, undone.
for h in h1 h2 h3 h4 h5; do norv_on "$h" init >/dev/null 2>&1 || fail "init on $h"; done
norv_on h1 archive >"$work/archive.txt" 2>&1 || { cat "$work/archive.txt"; fail "archive on h1"; }
round() {
    local n=$1
    echo "defaced $n" >"$work/h1/site/page1.html"
    checked h1
    echo "new $n" >"$work/h2/site/new$n.html"
    checked h2
    echo "more $n" >>"$work/h3/site/page2.html"
    checked h3
}
# A name a collector must not mangle: quotes, a backslash, a byte that is not UTF-8.
printf 'x\n' >"$work/h3/site/it's \"quoted\" \\ $(printf '\xff').html"
round 0
checked h4
checked h5
grep -q '"action":"restore","path":"[^"]*page1.html","outcome":"done"' "$work/h1/program/norv-events.jsonl" ||
    fail "h1 did not restore its page"

host_id() { cat "$work/$1/machine-id"; }
stored() { sql "SELECT count(*) FROM norv_fleet.events WHERE host_id = '$(host_id "$1")'"; }
lines() { wc -l <"$work/$1/program/norv-events.jsonl"; }
all_stored() {
    local h
    for h in "${hosts[@]}"; do [ "$(stored "$h")" -ge "$(lines "$h")" ] || return 1; done
}
# Each host's stored lines are its file's lines, once each, in order, byte for byte, from its
# own address, and nothing was flagged.
exactly_once() {
    local h
    for h in "${hosts[@]}"; do
        /usr/bin/python3 -c 'import sys, hashlib
for l in open(sys.argv[1], "rb"): print(hashlib.sha256(l.rstrip(b"\n")).hexdigest())' \
            "$work/$h/program/norv-events.jsonl" >"$work/$h/sent.txt"
        sql "SELECT encode(digest, 'hex') FROM norv_fleet.events WHERE host_id = '$(host_id "$h")'
             ORDER BY sequence" >"$work/$h/stored.txt"
        cmp -s "$work/$h/sent.txt" "$work/$h/stored.txt" ||
            fail "$1: $h sent $(wc -l <"$work/$h/sent.txt") lines, $(wc -l <"$work/$h/stored.txt") stored, not the same ($(diff "$work/$h/sent.txt" "$work/$h/stored.txt" | grep -c '^[<>]') differ)"
        [ "$(sql "SELECT string_agg(DISTINCT sender, ' ') FROM norv_fleet.events WHERE host_id = '$(host_id "$h")'")" = "${addr[$h]}" ] ||
            fail "$1: $h's lines came from elsewhere than ${addr[$h]}"
    done
    # Nothing repeated, forged or unreadable; the queues are large enough that nothing spilled to
    # disk, where lines may change order.
    [ "$(sql "SELECT count(*) FROM norv_fleet.events WHERE cardinality(flags) > 0")" = 0 ] ||
        fail "$1: lines were flagged: $(sql "SELECT flags, sender, host_name FROM norv_fleet.events WHERE cardinality(flags) > 0 LIMIT 3")"
    [ "$(sql "SELECT count(*) FROM norv_fleet.inbox")" = 0 ] || fail "$1: lines left in the inbox"
}
# "h1 stored/sent ...", for the messages.
tally() { for h in "${hosts[@]}"; do printf '%s %s/%s ' "$h" "$(stored "$h")" "$(lines "$h")"; done; }
within 60 all_stored || fail "not every event was stored within 60 s: $(tally)"
exactly_once "at first"
grep -q "'" <(sql "SELECT path FROM norv_fleet.events WHERE host_id = '$(host_id h3)' AND path LIKE '%quoted%'") ||
    fail "the name with quotes was not stored as sent"
echo "fleet: $(for h in "${hosts[@]}"; do printf '%s %s  ' "$h" "$(stored "$h")"; done)events stored once each"

# The intruders are refused, and both ends say so: the one whose certificate another CA signed
# (its client does not even offer it), and the one whose name is outside the fleet.
refused() {
    grep -q "imrelp.*authentication error 'peer did not provide a certificate'" "$central/rsyslog/messages" 2>/dev/null &&
        grep -q "imrelp.*authentication error.*h5.elsewhere.internal" "$central/rsyslog/messages" 2>/dev/null &&
        grep -q "omrelp.*error" "$work/h4/rsyslog/messages" 2>/dev/null &&
        grep -q "omrelp.*error" "$work/h5/rsyslog/messages" 2>/dev/null
}
within 60 refused || fail "the intruder's refusal is not in the logs"
echo "fleet: the intruders are refused:"
grep -o "imrelp.*authentication error[^\[]*" "$central/rsyslog/messages" | sort -u | sed 's/^/    /'


# An outage: the central rsyslog away for a third of it, then PostgreSQL too for a third, then
# PostgreSQL alone for the last third, the hosts checking and restoring all along. (An rsyslog
# restarted while its action waits for the other end drops the lines that action holds: see
# README, "A fleet"; so nothing here restarts one that waits.)
n=0
rounds_until() {
    local until=$1
    while [ $SECONDS -lt "$until" ]; do
        n=$((n + 1))
        round $n
        sleep 2
    done
}
t0=$SECONDS
before=$(sql "SELECT count(*) FROM norv_fleet.events")
in_c bash "$central_cmd" stop --dir "$central" --part rsyslog || fail "stopping the central rsyslog"
rounds_until $((t0 + outage / 3))
[ "$(sql "SELECT count(*) FROM norv_fleet.events")" = "$before" ] || fail "lines were stored while the central rsyslog was away"
in_c bash "$central_cmd" stop --dir "$central" --part postgresql || fail "stopping PostgreSQL"
rounds_until $((t0 + outage * 2 / 3))
in_c bash "$central_cmd" start --dir "$central" --part rsyslog >/dev/null || fail "starting the central rsyslog"
rounds_until $((t0 + outage))
in_c bash "$central_cmd" start --dir "$central" --part postgresql >/dev/null || fail "starting PostgreSQL"
t1=$SECONDS
within 180 all_stored || fail "not every event was stored within 180 s of the outage's end: $(tally)"
caught_up=$((SECONDS - t1))
exactly_once "after the outage"
echo "fleet: a $((t1 - t0)) s outage, $n rounds of checks meanwhile: stored once each $caught_up s after PostgreSQL came back ($(for h in "${hosts[@]}"; do printf '%s %s ' "$h" "$(stored "$h")"; done))"

for h in h4 h5; do
    [ "$(sql "SELECT count(*) FROM norv_fleet.events WHERE host_id = '$(host_id $h)' OR sender = '${addr[$h]}'")" = 0 ] ||
        fail "the events of the intruder $h were stored"
done

# Each role can do its part and nothing more.
as_role() {
    local passfile=$secrets/$1.pgpass
    [ "$1" = filer ] && passfile=$central/filer/filer.pgpass
    in_c "$pg_bin/psql" -X -q -At \
        "postgresql://norv_fleet_$1@127.0.0.1:$pg_port/norv?passfile=$passfile" -c "$2" 2>&1
}
out=$(as_role writer "SELECT count(*) FROM norv_fleet.events") && fail "the writer can read: $out"
grep -q "permission denied" <<<"$out" || fail "the writer's read failed otherwise: $out"
out=$(as_role writer "SELECT count(*) FROM norv_fleet.inbox") && fail "the writer can read the inbox: $out"
out=$(as_role reader "INSERT INTO norv_fleet.inbox(sender, line) VALUES ('10.88.0.99', '{}')") &&
    fail "the reader can write: $out"
grep -q "permission denied" <<<"$out" || fail "the reader's write failed otherwise: $out"
out=$(as_role reader "SELECT count(*) FROM norv_fleet.events") || fail "the reader cannot read: $out"
out=$(as_role filer "SELECT count(*) FROM norv_fleet.events") && fail "the filer can read: $out"
grep -q "permission denied" <<<"$out" || fail "the filer's read failed otherwise: $out"
echo "fleet: the writer cannot read, the reader cannot write, the filer can only file"

# The reports, where norv-cli has them.
db="host=127.0.0.1 port=$pg_port dbname=norv user=norv_fleet_reader passfile=$secrets/reader.pgpass"
# A report's text; it exits 0, or 1 when it found something.
fleet() {
    local status
    in_c "$cli" fleet "$@" --db "$db" 2>&1
    status=$?
    [ $status -le 1 ]
}
report_status() {
    local out h
    out=$(fleet status) || fail "fleet status: $out"
    for h in "${hosts[@]}"; do grep -qw "$h" <<<"$out" || fail "fleet status does not list $h: $out"; done
    grep -qw 'h[45]' <<<"$out" && fail "fleet status lists an intruder: $out"
    echo "fleet: status lists the three hosts"
}
report_silent() {
    # h2's service starts and stops; its last word is that it stopped.
    sed -i '10s/.*/ 1 \r/; 11s/.*/60\r/' "$work/h2/program/norvcfg.txt"
    # exec: the process started is norv-cli itself, so the signal reaches it.
    (exec unshare -u -m sh -c 'hostname "$1" && mount --bind "$2" /etc/machine-id && shift 2 && exec "$@"' \
        sh h2 "$work/h2/machine-id" "$cli" --dir "$work/h2/program" service) >"$work/h2/service.txt" 2>&1 &
    local pid=$!
    pids+=($pid)
    said() { grep -q "\"action\":\"service\".*\"state\":\"$1\"" "$work/h2/program/norv-events.jsonl"; }
    if ! until_true 100 said started; then
        echo "SKIP: norv's service sends no service events; fleet silent not shown"
        kill "$pid"
        return
    fi
    kill -TERM "$pid"
    until_true 100 said stopped || fail "h2's service did not say it stopped"
    within 60 all_stored || fail "h2's service events were not stored"
    local out
    out=$(fleet silent) || fail "fleet silent: $out"
    grep -qw h2 <<<"$out" || fail "fleet silent does not find h2, whose service stopped: $out"
    echo "fleet: silent finds h2, whose service stopped"
}
report_seal() {
    # h3's baseline replaced by hand with h1's, then a check: a baseline no init or accept made.
    rm -f "$work/h3/program/norv.db-wal" "$work/h3/program/norv.db-shm"
    cp "$work/h1/program/norv.db" "$work/h3/program/norv.db"
    # h1's records under h3's rules: changes, and h1's folders not seen (exit 4), but a run.
    norv_on h3 check >/dev/null 2>&1
    case $? in 0 | 1 | 3 | 4) ;; *) fail "check on h3 after the swap failed" ;; esac
    within 60 all_stored || fail "h3's check after the swap was not stored"
    local out
    out=$(fleet seal) || fail "fleet seal: $out"
    grep -qw h3 <<<"$out" || fail "fleet seal does not find h3's replaced baseline: $out"
    grep -qw h1 <<<"$out" && fail "fleet seal reports h1, whose baseline is its own: $out"
    echo "fleet: seal finds h3's replaced baseline"
}
# (A norv-cli without the command answers `fleet --help` with its general help, which has no
# word of it.)
if "$cli" fleet --help 2>&1 | grep -qw silent; then
    report_status
    report_silent
    report_seal
    exactly_once "after the reports"
else
    echo "SKIP: norv-cli has no fleet command; the reports are not shown"
fi

# A host registered before it sends (after the checks above that nothing is flagged): a line of
# its id from another address is flagged even though it came first, one from its own is not. A
# bad address or id is refused by name.
R=$(openssl rand -hex 16)
in_c bash "$central_cmd" register "$R" 10.88.0.20/24 --dir "$central" 2>&1 | grep -q "10.88.0.20/24: not an IP" ||
    fail "a bad address was not refused by name"
in_c bash "$central_cmd" register h1 10.88.0.20 --dir "$central" 2>&1 | grep -q "h1: not a host id" ||
    fail "a bad host id was not refused by name"
in_c bash "$central_cmd" register "$R" 10.88.0.20 --dir "$central" >/dev/null || fail "register"
line=$(printf '{"schema":{"name":"norv.event","version":"1.1.0"},"time":"%s","host":{"name":"r1","id":"%s"},"event":{"kind":"state","action":"run","severity":6,"sequence":1},"norv":{"version":"1.0.0"}}' \
    "$(date -u +%Y-%m-%dT%H:%M:%S.000+00:00)" "$R")
out=$(as_role writer "INSERT INTO norv_fleet.inbox(sender, line) VALUES ('10.88.0.21', '$line'), ('10.88.0.20', '$line')") ||
    fail "the writer's insert: $out"
filed() { [ "$(sql "SELECT count(*) FROM norv_fleet.events WHERE host_id = '$R'")" = 2 ]; }
within 30 filed || fail "the registered host's lines were not filed"
out=$(sql "SELECT string_agg(sender || ':' || array_to_string(flags, '+'), ' ' ORDER BY sender)
           FROM norv_fleet.events WHERE host_id = '$R'")
[ "$out" = "10.88.0.20: 10.88.0.21:forged-host" ] || fail "the registered host's lines were filed as: $out"
echo "fleet: a host registered at its address; a line of its id from another is flagged forged-host"
exit 0
