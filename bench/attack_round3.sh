#!/usr/bin/env bash
# An attacker who runs as nobody (65534) and may write the folders of a web tree that norv
# watches as root with automatic restore on: each case is played by a real nobody process
# against a norv-cli build, and judged from the tree, the cracked folder and norv's own output.
#
#   sudo bash bench/attack_round3.sh [NORV_CLI]     (default build/release/app/cli/norv-cli)
#
# One line per case, "held: <case>" or "FAILED: <case>: <what happened>", then "N held, M failed";
# exit 1 if any failed. Everything lives in a temporary folder under /var/lib (root's, so the
# rule's parents are root's alone), removed on exit with every process the script started.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=$(realpath "${1:-$here/build/release/app/cli/norv-cli}")
[ -x "$cli" ] || { echo "not an executable: $cli" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "run as root: norv runs as root, the attacker as nobody" >&2; exit 2; }
for tool in setpriv setfacl /usr/bin/python3 timeout; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

T=$(mktemp -d /var/lib/norv-attack3.XXXXXX)
chmod 0755 "$T"
P=$T/program # root's, 0700: settings, rules, database, log
W=$T/www     # the rule's folder: root's; site/ below it is nobody's
S=$W/site
C=$T/cracked
ORIG=$T/orig # the pages as archived, for comparison
SIG=$T/sig   # where the script tells nobody's loops to stop (nobody may read it)
mkdir -p "$P" "$T/save" "$ORIG" "$SIG"
chmod 0700 "$P" "$T/save" "$ORIG"
chmod 0755 "$SIG"

pids=()
watch_pid=
cleanup() {
    stop_watch
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$T"
}
trap cleanup EXIT

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"; }
norv() { timeout 120 "$cli" --dir "$P" --locale ja_JP "$@"; }
log() { tr -d '\r' < "$P/norv.log"; }

held=0
failed=0
ok() { echo "held: $1"; held=$((held + 1)); }
bad() { echo "FAILED: $1: $2"; failed=$((failed + 1)); }

# The attacker's loops, run as nobody. Each ends after its time or when $SIG/stop exists, and
# prints what it did.
cat > "$T/attacker.py" <<'PY'
import os, sys, time
ATTACK = b"<h1>owned by nobody</h1>\n"

def over(deadline, stop):
    return time.monotonic() > deadline or os.path.exists(stop)

def put_own(folder, name, tag):
    tmp = os.path.join(folder, ".atk-%d-%s" % (os.getpid(), tag))
    with open(tmp, "wb") as f:
        f.write(ATTACK)
    os.rename(tmp, os.path.join(folder, name))

def race(folder, page, seconds, stop):
    # Takes or overwrites any .norv-restore-* name; swaps the page once, right after norv put
    # it back (the page is root's again).
    deadline, swapped, hits, n = time.monotonic() + seconds, 0, 0, 0
    while not over(deadline, stop):
        n += 1
        for name in os.listdir(folder):
            if "norv-restore" in name:
                try:
                    if n % 2:
                        os.rename(os.path.join(folder, name), os.path.join(folder, ".took-%d" % n))
                    else:
                        put_own(folder, name, str(n))
                    hits += 1
                except OSError:
                    pass
        if not swapped:
            try:
                if os.lstat(os.path.join(folder, page)).st_uid == 0:
                    put_own(folder, page, "swap")
                    swapped = 1
            except OSError:
                pass
    print("swapped=%d temp_hits=%d" % (swapped, hits))

def read_every_name(folder, secret, say):
    # Opens and reads every name in the folder once: how many it opened, and how many held the
    # secret.
    opened, leaks = 0, 0
    for name in os.listdir(folder):
        try:
            fd = os.open(os.path.join(folder, name), os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            opened += 1
            if secret.encode() in os.read(fd, 1 << 16):
                leaks += 1
                if say:
                    print("read the page through %r" % name)
        except OSError:
            pass
        finally:
            os.close(fd)
    return opened, leaks

def read(folder, secret, seconds, stop):
    # Opens and reads every name in the folder, over and over.
    deadline, opened, leaks = time.monotonic() + seconds, 0, 0
    while not over(deadline, stop):
        o, l = read_every_name(folder, secret, True)
        opened, leaks = opened + o, leaks + l
    print("opened=%d leaks=%d" % (opened, leaks))

def steal(folder, page, count, seconds, stop):
    # Renames away what a restore puts at the page, COUNT times.
    deadline, stolen = time.monotonic() + seconds, 0
    while not over(deadline, stop) and stolen < count:
        try:
            if os.lstat(os.path.join(folder, page)).st_uid == 0:
                os.rename(os.path.join(folder, page), os.path.join(folder, ".stolen-%d" % stolen))
                stolen += 1
        except OSError:
            pass
    print("stolen=%d" % stolen)

def swap(folder, secret, seconds, stop, *pages):
    # Puts its own file at each page every time norv has put it back (the page is root's
    # again), and reads every name in the folder meanwhile.
    deadline, swaps, opened, leaks = time.monotonic() + seconds, 0, 0, 0
    for page in pages:
        put_own(folder, page, "first")
    while not over(deadline, stop):
        for page in pages:
            try:
                if os.lstat(os.path.join(folder, page)).st_uid == 0:
                    put_own(folder, page, "again")
                    swaps += 1
            except OSError:
                pass
        o, l = read_every_name(folder, secret, False)
        opened, leaks = opened + o, leaks + l
    print("swaps=%d opened=%d leaks=%d" % (swaps, opened, leaks))

mode, a = sys.argv[1], sys.argv[2:]
if mode == "race": race(a[0], a[1], float(a[2]), a[3])
elif mode == "read": read(a[0], a[1], float(a[2]), a[3])
elif mode == "swap": swap(a[0], a[1], float(a[2]), a[3], *a[4:])
elif mode == "steal": steal(a[0], a[1], int(a[2]), float(a[3]), a[4])
PY
chmod 0755 "$T/attacker.py"

# settings RESTORE: line 13 is automatic restore; mail off; checks every 10 minutes.
settings() {
    printf '%s\r\n' attack attack-host " 0 " "" "" "" "" "" "" " 0 " 10 " 0 " " $1 " \
        "$T/save" "$C" > "$P/norvcfg.txt"
    chmod 0600 "$P/norvcfg.txt"
}
rules() {
    printf '<rule>%s,3</rule>\r\n' "$@" > "$P/user_rule.txt"
    chmod 0600 "$P/user_rule.txt"
}

# fresh: a new web tree (site/ is nobody's; its pages root's), archived and recorded, restore on.
# A page of 1 MiB so a restore takes long enough to be raced; secret.html is root's 0640.
fresh() {
    stop_watch
    rm -rf "$W" "$C" "$T/extra" "$P"/norv.db* "$P/norv.log"
    mkdir -p "$W" "$S"
    chown nobody:nogroup "$S"
    head -c 1048576 /dev/urandom | base64 -w 100 | sed '1i <h1>the real index</h1>' > "$S/index.html"
    { echo "TOPSECRET-$RANDOM$RANDOM"; head -c 1048576 /dev/urandom | base64 -w 100; } > "$S/secret.html"
    chmod 0644 "$S/index.html"
    chmod 0640 "$S/secret.html"
    printf '#!/bin/sh\necho tool\n' > "$S/tool.cgi"
    chmod 0755 "$S/tool.cgi"
    [ -n "${1:-}" ] && "$@"
    cp -a "$S/index.html" "$S/secret.html" "$ORIG/"
    settings 1
    rules "$W"
    norv archive >/dev/null 2>&1 && norv init >/dev/null 2>&1 || { echo "setup failed" >&2; exit 2; }
    rm -f "$SIG/stop"
}

same() { cmp -s "$S/$1" "$ORIG/$1"; }

# deface PAGE [SIZE]: nobody replaces the page (its folder is nobody's), optionally grown with a
# hole to SIZE.
deface() {
    as_nobody sh -c 'printf "<h1>defaced</h1>\n" > "$1/.d" && { [ -z "$3" ] || truncate -s "$3" "$1/.d"; } &&
        mv -f "$1/.d" "$1/$2"' sh "$S" "$1" "${2:-}"
}

# wait_for SECONDS COMMAND...: until the command succeeds, at most SECONDS.
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.05
    done
}

start_watch() {
    : > "$T/watch.out"
    timeout 300 "$cli" --dir "$P" --locale ja_JP watch > "$T/watch.out" 2>&1 &
    watch_pid=$!
    wait_for 30 grep -q "リアルタイム監視を開始しました" "$T/watch.out" ||
        { echo "the watch did not start:" >&2; cat "$T/watch.out" >&2; exit 2; }
}
stop_watch() {
    [ -n "$watch_pid" ] || return 0
    kill -TERM "$watch_pid" 2>/dev/null
    wait "$watch_pid" 2>/dev/null
    watch_pid=
}

# --- 1. A page defaced and grown with a hole past 64 GiB is reported Altered, and the watch
# puts it back: the size is no way to hide a change nor to stall the digest.
fresh
settings 0
deface index.html 65G
status=0
out=$(norv check 2>&1) || status=$?
if [ "$status" = 0 ] || ! log | grep -q "Altered: .*index.html"; then
    bad "65 GiB sparse deface" "check exit $status, log: $(log | grep index.html | head -2)"
else
    settings 1
    start_watch
    deface index.html 65G
    if wait_for 20 same index.html; then
        ok "65 GiB sparse deface: check reports it Altered (exit $status), the watch restores it"
    else
        bad "65 GiB sparse deface" "the watch did not restore it in 20 s ($(stat -c %s "$S/index.html") bytes)"
    fi
    stop_watch
fi

# Runs one `norv check` while nobody's loop runs (its mode and arguments, then 30 s at most, and
# the stop flag the script sets once the check is done); the loop's output goes to $T/$1.
check_under_attack() {
    local out=$1
    shift
    rm -f "$SIG/stop"
    as_nobody /usr/bin/python3 "$T/attacker.py" "$@" 30 "$SIG/stop" > "$T/$out" &
    local apid=$!
    pids+=("$apid")
    sleep 0.2
    norv check > /dev/null 2>&1
    touch "$SIG/stop"
    wait "$apid"
}

# --- 2. A restore raced by nobody: any .norv-restore-* name taken or overwritten, and the page
# swapped once right after norv put it back. norv never reports it restored while nobody's file
# stands (unless nobody swapped it after norv's restore, which a further check must then catch).
fresh
fault=
caught=0 # rounds where nobody swapped the page before norv's look at it in place: norv took
late=0   # the swap out and restored again; late: swapped after it, so the next check must
for round in $(seq 10); do
    deface index.html
    check_under_attack race.out race "$S" index.html
    grep -q swapped= "$T/race.out" || { fault="round $round: nobody's loop did not run"; break; }
    if same index.html; then
        grep -q swapped=1 "$T/race.out" && caught=$((caught + 1))
        continue
    fi
    if ! grep -q swapped=1 "$T/race.out" && [ "$(log | grep -c "復旧.*\(できません\|やめ\)")" = 0 ]; then
        fault="round $round: nobody's file stands, no failure in the log, no swap after the restore"
        break
    fi
    late=$((late + 1))
    norv check > /dev/null 2>&1
    same index.html || { fault="round $round: a further check left nobody's page"; break; }
done
if [ -z "$fault" ]; then
    ok "restore raced by nobody, 10 rounds: swap caught and restored again in $caught, swapped after the restore in $late (each put back by the next check); .norv-restore-* names seen: $(sed -n 's/.*temp_hits=//p' "$T/race.out") in the last round"
else
    bad "restore raced by nobody" "$fault"
fi

# --- 3. A default ACL gives nobody read on every new file in the page's folder: while norv
# restores the root-only page, nobody reading every name in the folder never reads it.
fresh setfacl -d -m u:nobody:r "$S"
leaked=0
for round in $(seq 10); do
    deface secret.html
    check_under_attack read.out read "$S" "$(head -1 "$ORIG/secret.html")"
    grep -q "opened=[1-9].* leaks=0" "$T/read.out" || { leaked=$round; break; }
done
if [ "$leaked" != 0 ]; then
    bad "default ACL on the page's folder" "round $leaked: $(head -3 "$T/read.out" | tr '\n' ' ')"
elif ! same secret.html || [ "$(stat -c %a "$S/secret.html")" != 640 ] ||
    as_nobody cat "$S/secret.html" >/dev/null 2>&1; then
    bad "default ACL on the page's folder" "the restored page: $(stat -c '%a %U' "$S/secret.html"), $(getfacl -cp "$S/secret.html" 2>/dev/null | tr '\n' ' ')"
else
    ok "default ACL on the page's folder: nobody never read the page while it was restored (10 rounds, $(tail -1 "$T/read.out")); it is back 0640 and unreadable to nobody"
fi

# --- 4. (watch) A stolen restore: nobody renames away what the restore puts in place, 3 times;
# the watch keeps restoring, and the page is back once nobody stops.
fresh
start_watch
rm -f "$SIG/stop"
as_nobody /usr/bin/python3 "$T/attacker.py" steal "$S" index.html 3 20 "$SIG/stop" > "$T/steal.out" &
apid=$!
pids+=("$apid")
sleep 0.2
deface index.html
wait "$apid"
if ! grep -q "stolen=[1-9]" "$T/steal.out"; then
    bad "stolen restore under the watch" "nobody stole nothing ($(cat "$T/steal.out"))"
elif wait_for 30 same index.html; then
    ok "stolen restore under the watch: the page is back ($(cat "$T/steal.out"))"
elif grep -q "復旧" "$T/watch.out"; then
    ok "stolen restore under the watch: not back, each failure reported ($(cat "$T/steal.out"))"
else
    bad "stolen restore under the watch" "the page not back in 30 s, no failure said ($(cat "$T/steal.out"))"
fi
stop_watch

# --- 2w/3w. (watch) The same under the watch, with a default ACL giving nobody read: nobody
# puts its own file at both pages each time the watch has put them back, for 8 s, reading every
# name meanwhile. It never reads the root-only page, and both pages are back once it stops.
fresh setfacl -d -m u:nobody:r "$S"
start_watch
rm -f "$SIG/stop"
as_nobody /usr/bin/python3 "$T/attacker.py" swap "$S" "$(head -1 "$ORIG/secret.html")" 8 "$SIG/stop" \
    index.html secret.html > "$T/swap.out"
both_back() { same index.html && same secret.html; }
if ! grep -q "swaps=[1-9].* leaks=0" "$T/swap.out"; then
    bad "restores raced under the watch" "nobody's loop: $(cat "$T/swap.out")"
elif ! wait_for 20 both_back; then
    bad "restores raced under the watch" "pages not back 20 s after nobody stopped ($(cat "$T/swap.out"))"
elif as_nobody cat "$S/secret.html" >/dev/null 2>&1; then
    bad "restores raced under the watch" "nobody can read the restored root-only page"
else
    ok "restores raced under the watch: nobody never read the root-only page, both pages back once it stopped ($(cat "$T/swap.out"), $(grep -c 'やめました' "$T/watch.out") restores given up as an attack, said)"
fi
stop_watch

# --- 5. accept of an MD5-collision twin: nobody's new file is reviewed, then rewritten in place
# with a twin of the same MD5, size and time but another SHA-256: accept refuses it.
fresh
settings 0
python3 - "$T" <<'PY'
import sys
a = bytes.fromhex(
    "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f89"
    "55ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5b"
    "d8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0"
    "e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70")
b = bytes.fromhex(
    "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f89"
    "55ad340609f4b30283e4888325f1415a085125e8f7cdc99fd91dbd7280373c5b"
    "d8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d248cda0"
    "e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70")
open(sys.argv[1] + "/twin-a", "wb").write(a)
open(sys.argv[1] + "/twin-b", "wb").write(b)
PY
chmod 0644 "$T/twin-a" "$T/twin-b"
as_nobody cp "$T/twin-a" "$S/twin.bin"
norv check > /dev/null 2>&1
norv changes > "$T/changes.out" 2>&1
as_nobody sh -c 'stamp=$(stat -c %y "$1"); dd if="$2" of="$1" conv=notrunc status=none && touch -d "$stamp" "$1"' \
    sh "$S/twin.bin" "$T/twin-b"
status=0
out=$(norv accept "$S/twin.bin" 2>&1) || status=$?
if [ "$(md5sum < "$T/twin-a")" != "$(md5sum < "$T/twin-b")" ]; then
    bad "MD5-collision twin at accept" "the pair does not collide"
elif ! grep -q twin.bin "$T/changes.out"; then
    bad "MD5-collision twin at accept" "changes did not list twin.bin"
elif [ "$status" = 0 ]; then
    bad "MD5-collision twin at accept" "accept exit 0: $out"
else
    ok "MD5-collision twin at accept: refused (exit $status): $(echo "$out" | grep twin.bin | head -1)"
fi

# --- 6. (watch) A 2 GiB sparse file planted by nobody, then the page defaced: the page is back
# within a few seconds, not after the big file's digest.
fresh
start_watch
as_nobody truncate -s 2G "$S/big.bin"
as_nobody sh -c 'printf data | dd of="$1" bs=1 seek=1073741824 conv=notrunc status=none' sh "$S/big.bin"
deface index.html
start=$SECONDS
if wait_for 5 same index.html; then
    ok "2 GiB sparse file then a deface under the watch: page back within $((SECONDS - start + 1)) s"
else
    bad "2 GiB sparse file then a deface under the watch" "page not back in 5 s"
fi
stop_watch

# --- 7. 1,100 junk files and a webshell named to sort last, in one check with restore on: the
# webshell leaves the tree.
fresh
as_nobody sh -c 'cd "$1" && i=0; while [ $i -lt 1100 ]; do echo junk > junk-$i.txt; i=$((i+1)); done;
    echo "<?php system(\$_GET[c]); ?>" > zzzz-shell.php' sh "$S"
norv check > /dev/null 2>&1
if [ -e "$S/zzzz-shell.php" ]; then
    bad "1,100 junk files and a webshell" "the webshell is still in the tree"
else
    # Past the cracked folder's bound on copies, new files are removed without a copy: say
    # whether the webshell's own copy was kept.
    kept=$(find "$C" -name '*zzzz-shell.php' | wc -l)
    ok "1,100 junk files and a webshell: the webshell left the tree ($(find "$S" -name 'junk-*' | wc -l) junk files left; webshell copies in the cracked folder: $kept; $(log | grep -m1 'コピーせずに削除しました' | sed 's/^Warning: //'))"
fi

# --- 8. A folder planted at a page's path, nobody holding a descriptor to a file inside: the
# folder's copy in the cracked folder is root's 0700/0600, and nobody's later write through its
# descriptor never changes the evidence.
fresh
as_nobody sh -c 'rm -f "$1/index.html" && mkdir "$1/index.html" && echo "evidence v1" > "$1/index.html/evil.txt"' sh "$S"
as_nobody sh -c 'exec 3<>"$1/index.html/evil.txt"; i=0
    while [ ! -e "$2/write" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done
    echo "REWRITTEN THROUGH THE DESCRIPTOR" >&3; touch "$2/wrote" 2>/dev/null; sleep 1' sh "$S" "$SIG" &
holder=$!
pids+=("$holder")
chmod 0777 "$SIG"
sleep 0.3
norv check > /dev/null 2>&1
copy=$(find "$C" -name evil.txt 2>/dev/null | head -1)
touch "$SIG/write"
wait_for 10 test -e "$SIG/wrote"
wait "$holder"
chmod 0755 "$SIG"
rm -f "$SIG/write" "$SIG/wrote"
if [ -z "$copy" ]; then
    bad "folder planted at a page's path" "no copy of evil.txt in the cracked folder ($(ls "$C" 2>&1 | head -3 | tr '\n' ' '))"
elif [ "$(stat -c '%U %a' "$(dirname "$copy")")" != "root 700" ] || [ "$(stat -c '%U %a' "$copy")" != "root 600" ]; then
    bad "folder planted at a page's path" "copy: $(stat -c '%U %a %n' "$(dirname "$copy")" "$copy" | tr '\n' ' ')"
elif [ "$(cat "$copy")" != "evidence v1" ]; then
    bad "folder planted at a page's path" "the evidence changed through nobody's descriptor: $(head -c 80 "$copy")"
elif ! same index.html; then
    bad "folder planted at a page's path" "the page is not back"
else
    ok "folder planted at a page's path: evidence root's 0700/0600, unchanged by nobody's write through its descriptor, page back"
fi

# --- 9. A rule added for a folder that has files but no baseline: a check moves nothing out of
# it and says once to run norv-cli init.
fresh
mkdir -p "$T/extra/sub"
echo one > "$T/extra/a.html"
echo two > "$T/extra/sub/b.html"
rules "$W" "$T/extra"
norv check > "$T/check9.out" 2>&1
left=$(find "$T/extra" -type f | wc -l)
warnings=$(log | grep -c "norv-cli init")
if [ "$left" != 2 ] || [ "$warnings" != 1 ]; then
    bad "a rule added without init" "$left of 2 files left, $warnings log lines naming norv-cli init: $(log | grep -i 'extra' | head -3 | tr '\n' ' ')"
else
    ok "a rule added without init: nothing moved, one warning: $(log | grep 'norv-cli init')"
fi

# --- 15. (kept beside 9) The rule removed again and init run: a later check reports nothing of
# that folder deleted.
norv init > /dev/null 2>&1
rules "$W"
norv init > /dev/null 2>&1
norv check > /dev/null 2>&1
if log | grep -q "Deleted: .*extra"; then
    bad "a rule removed, then init" "$(log | grep 'Deleted:' | head -2 | tr '\n' ' ')"
else
    ok "a rule removed, then init: nothing of its folder reported Deleted"
fi

# --- 10. A rule file others may write, or settings owned by nobody: norv refuses to run,
# naming the file and the fix.
fresh
chmod 0666 "$P/user_rule.txt"
status=0
out=$(norv check 2>&1) || status=$?
chmod 0600 "$P/user_rule.txt"
chown nobody "$P/norvcfg.txt"
status2=0
out2=$(norv check 2>&1) || status2=$?
chown root "$P/norvcfg.txt"
if [ "$status" != 2 ] || [[ $out != *user_rule.txt* ]] || [[ $out != *chmod* && $out != *chown* ]]; then
    bad "a 0666 rule file" "exit $status: $out"
elif [ "$status2" != 2 ] || [[ $out2 != *norvcfg.txt* ]] || [[ $out2 != *chown* && $out2 != *chmod* ]]; then
    bad "settings owned by nobody" "exit $status2: $out2"
else
    ok "a 0666 rule file and settings owned by nobody: refused, $(echo "$out" | head -1) / $(echo "$out2" | head -1)"
fi

# --- 11. changes: a setuid bit alone is listed with the old and new mode and marked as a
# gain; in JSON a name holding U+202E (right-to-left override) is escaped.
fresh
settings 0
chmod 4755 "$S/tool.cgi"
norv check > /dev/null 2>&1
text=$(norv changes 2>&1)
json=$(norv changes --json 2>&1)
chmod 0755 "$S/tool.cgi"
name=$(printf 'x\xe2\x80\xaelmth.php')
as_nobody sh -c 'echo x > "$1/$2"' sh "$S" "$name"
norv check > /dev/null 2>&1
json2=$(norv changes --json 2>&1)
line=$(grep tool.cgi <<< "$text")
if [[ $line != *755* || $line != *4755* ]] || ! grep -qi 'set\|setuid\|昇格\|特権' <<< "$line"; then
    bad "changes of a setuid-only change" "text: $line | json: $(grep tool.cgi <<< "$json")"
elif ! grep -qi '\\u202e' <<< "$json2" || grep -q $'\xe2\x80\xae' <<< "$json2"; then
    bad "changes --json of a U+202E name" "$(grep -a php <<< "$json2")"
else
    ok "changes: setuid gain listed old/new and marked ($(tr '\t' ' ' <<< "$line")); JSON escapes U+202E"
fi

# --- 12. A FIFO and a socket planted by nobody are reported Created and, with restore on,
# removed; norv never blocks on the FIFO.
fresh
as_nobody mkfifo "$S/pipe"
as_nobody /usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$S/sock"
[ -S "$S/sock" ] && [ -p "$S/pipe" ] || { echo "could not plant the FIFO and the socket" >&2; exit 2; }
status=0
timeout 60 "$cli" --dir "$P" --locale ja_JP check > /dev/null 2>&1 || status=$?
if [ "$status" = 124 ]; then
    bad "FIFO and socket" "the check did not end in 60 s"
elif ! log | grep -q "Created: .*pipe" || ! log | grep -q "Created: .*sock"; then
    bad "FIFO and socket" "not both reported Created: $(log | grep -E 'pipe|sock' | tr '\n' ' ')"
elif [ -e "$S/pipe" ] || [ -e "$S/sock" ]; then
    bad "FIFO and socket" "still in the tree: $(stat -c "%F %n" "$S/pipe" "$S/sock" 2>/dev/null | tr "\n" " ")"
else
    ok "FIFO and socket: reported Created and removed, the check ended (exit $status)"
fi

# --- 12w. The same under the watch (restore on): a FIFO and a socket planted by nobody are
# reported and taken out as a new regular file beside them is, not left to the next full check.
fresh
start_watch
as_nobody sh -c 'echo "<?php ?>" > "$1/shell.php"' sh "$S"
as_nobody mkfifo "$S/pipe"
as_nobody /usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$S/sock"
gone() { [ ! -e "$S/shell.php" ] && [ ! -e "$S/pipe" ] && [ ! -e "$S/sock" ]; }
if wait_for 10 gone; then
    ok "FIFO and socket under the watch: taken out with the new file beside them"
else
    bad "FIFO and socket under the watch" "after 10 s: $(for f in shell.php pipe sock; do
        [ -e "$S/$f" ] && printf '%s stays, ' "$f" || printf '%s gone, ' "$f"; done)log: $(log |
        grep -E 'Created: .*(shell.php|pipe|sock)' | sed 's/.*Created: .*\///' | tr '\n' ' ')"
fi
stop_watch

# --- 13. A rule line whose path holds a NUL byte is refused with a warning.
fresh
printf '<rule>%s\0/x,3</rule>\r\n<rule>%s,3</rule>\r\n' "$W" "$W" > "$P/user_rule.txt"
out=$(norv show 2>&1)
out2=$(norv check 2>&1)
if grep -q "NUL" <<< "$out$out2$(log)"; then
    ok "a rule with a NUL byte: refused, $(grep -h NUL <<< "$out$out2" | head -1)"
else
    bad "a rule with a NUL byte" "no warning: $out"
fi
rules "$W"

# --- 14. norv.log made a hard link to another file (an administrator's mistake: nobody cannot
# link into root's folder): that file is never written.
fresh
echo "another file's content" > "$T/other.txt"
chmod 0644 "$T/other.txt"
before=$(sha256sum < "$T/other.txt")
rm -f "$P/norv.log"
ln "$T/other.txt" "$P/norv.log"
status=0
out=$(norv check 2>&1) || status=$?
if [ "$(sha256sum < "$T/other.txt")" != "$before" ]; then
    bad "norv.log as a hard link" "the other file was written (exit $status): $(head -c 120 "$T/other.txt")"
else
    ok "norv.log as a hard link: the other file is untouched (exit $status: $(echo "$out" | head -1))"
fi
rm -f "$P/norv.log"

echo "$held held, $failed failed"
[ "$failed" = 0 ]
