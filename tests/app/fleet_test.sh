#!/usr/bin/env bash
# A fleet's events in one place, with the rsyslog most Linux servers already run: a "host"
# rsyslogd follows norv-events.jsonl with imfile and forwards each line over TCP to a
# "collector" rsyslogd on 127.0.0.1, which writes what it receives to a file. Every event of a
# check must arrive whole and in order. Exits 77 (skipped) where rsyslogd is not installed.
set -u
cli=$1
command -v rsyslogd >/dev/null || { echo "SKIP: rsyslogd is not installed"; exit 77; }
command -v /usr/bin/python3 >/dev/null || { echo "SKIP: python3 is not installed"; exit 77; }
. "$(dirname "$0")/../support/session.sh"

# A free TCP port on 127.0.0.1, from the kernel.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/program" "$work/site" "$work/host" "$work/collector"
printf '%s\r\n' x fleet " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " 0 " "$work/save" "$work/cracked" \
    > "$work/program/norvcfg.txt"
printf '<rule>%s,3</rule>\r\n' "$work/site" > "$work/program/user_rule.txt"

# The same configuration a real fleet uses, with its own folders and port.
cat > "$work/collector/rsyslog.conf" <<CONF
global(workDirectory="$work/collector")
module(load="imtcp")
input(type="imtcp" address="127.0.0.1" port="$port" ruleset="norv")
template(name="norv-line" type="string" string="%msg:2:\$%\n")
ruleset(name="norv") {
    action(type="omfile" file="$work/collector/norv-events.log" template="norv-line")
}
CONF
cat > "$work/host/rsyslog.conf" <<CONF
global(workDirectory="$work/host" maxMessageSize="64k")
module(load="imfile")
input(type="imfile" file="$work/program/norv-events.jsonl" tag="norv:" ruleset="forward")
ruleset(name="forward") {
    action(type="omfwd" target="127.0.0.1" port="$port" protocol="tcp"
           action.resumeRetryCount="-1" queue.type="linkedList")
}
CONF
rsyslogd -n -f "$work/collector/rsyslog.conf" -i "$work/collector/pid" >"$work/collector/out" 2>&1 &
pids+=($!)
listening() { /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null; }
until_true 100 listening || { echo "FAIL: the collector does not listen"; cat "$work/collector/out"; exit 1; }
rsyslogd -n -f "$work/host/rsyslog.conf" -i "$work/host/pid" >"$work/host/out" 2>&1 &
pids+=($!)

for i in $(seq 40); do echo "$i" > "$work/site/page$i.html"; done
"$cli" --dir "$work/program" init >/dev/null || { echo "FAIL: init"; exit 1; }
for i in $(seq 20); do echo defaced >> "$work/site/page$i.html"; done
for i in $(seq 10); do echo "<?php" > "$work/site/shell$i.php"; done
"$cli" --dir "$work/program" check >/dev/null
[ $? -eq 1 ] || { echo "FAIL: the check found no changes"; exit 1; }

sent=$(wc -l < "$work/program/norv-events.jsonl")
arrived() { [ -f "$work/collector/norv-events.log" ] && [ "$(wc -l < "$work/collector/norv-events.log")" -ge "$sent" ]; }
until_true 300 arrived || {
    echo "FAIL: $(wc -l < "$work/collector/norv-events.log" 2>/dev/null || echo 0) of $sent events arrived"
    cat "$work/host/out" "$work/collector/out"
    exit 1
}
# Whole and in order: the collector's lines are the host's lines, byte for byte.
if ! cmp -s "$work/program/norv-events.jsonl" "$work/collector/norv-events.log"; then
    echo "FAIL: the events arrived changed or out of order"
    diff "$work/program/norv-events.jsonl" "$work/collector/norv-events.log" | head -5
    exit 1
fi
echo "fleet: $sent events of an init and a check arrived whole and in order"
exit 0
