#!/bin/bash
# A trial central server for a norv fleet, on one machine, in one folder: a PostgreSQL 15
# cluster holding the norv_fleet schema, a certificate authority with the server's and each
# host's certificate, rsyslog receiving the hosts' events over RELP with TLS and writing them
# into PostgreSQL's inbox, and `norv-cli fleet file` filing the inbox into the store. Prints what
# each host needs and how to read the reports.
#
#   norv-fleet-central start [--dir DIR] [--port 2514] [--address ADDR] [--name NAME]
#                            [--domain DOMAIN] [--hosts "www1 www2"] [--pg-port 5433]
#                            [--schema schema.sql] [--cli norv-cli]
#   norv-fleet-central stop [--dir DIR] [--part rsyslog|postgresql]
#   norv-fleet-central status [--dir DIR]
#   norv-fleet-central register HOST-ID ADDRESS [--dir DIR]
#
# start sets up what is missing, loads the schema again (it changes only what is older) and
# starts what is not running, so it also brings back a part that `stop --part` stopped;
# certificates, passwords and stored events are kept. The filer waits out a PostgreSQL stopped by
# `stop --part postgresql`; a plain stop stops it too. register binds a host's id (its
# /etc/machine-id) to the address its lines will come from, so that a line of that id from any
# other address is flagged forged-host, even before the host's first. Runs as root; the filer
# runs as the system user norv-fleet-filer, made when missing.
set -euo pipefail

here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
pg_bin=/usr/lib/postgresql/15/bin

dir=/var/lib/norv-fleet
port=2514
address=
name=
domain=fleet.internal
hosts=
pg_port=5433
schema=
part=
cli=

die() {
    echo "norv-fleet-central: $*" >&2
    exit 1
}
usage() {
    sed -n '8,13s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

[ $# -ge 1 ] || usage
command=$1
shift
declare -A given=()
args=()
while [ $# -gt 0 ]; do
    case $1 in --*) ;; *) args+=("$1"); shift; continue ;; esac
    [ $# -ge 2 ] || usage
    given[${1#--}]=1
    given[pg_port]=${given[pg-port]:-}
    case $1 in
    --dir) dir=$2 ;;
    --port) port=$2 ;;
    --address) address=$2 ;;
    --name) name=$2 ;;
    --domain) domain=$2 ;;
    --hosts) hosts=$2 ;;
    --pg-port) pg_port=$2 ;;
    --schema) schema=$2 ;;
    --part) part=$2 ;;
    --cli) cli=$2 ;;
    *) usage ;;
    esac
    shift 2
done
case $command in
start | stop | status) [ ${#args[@]} -eq 0 ] || usage ;;
register) [ ${#args[@]} -eq 2 ] || usage ;;
*) usage ;;
esac
[ "$(id -u)" -eq 0 ] || die "run as root"
[ "$command" = start ] || [ -d "$dir" ] || die "$dir: no such folder"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# Keys and passwords are made and read here as root: a folder another user may change is refused.
[ "$(stat -c %u "$dir")" = 0 ] && [ $((0$(stat -c %a "$dir") & 022)) = 0 ] ||
    die "$dir: not owned by root, or others may write it"
# The first start's choices stay the folder's: a later start or stop without them uses them.
if [ -f "$dir/options" ]; then
    while IFS='=' read -r key value; do
        case $key in
        port | address | name | domain | hosts | pg_port | cli) [ -n "${given[$key]:-}" ] || printf -v "$key" '%s' "$value" ;;
        esac
    done <"$dir/options"
fi
case $part in "" | rsyslog | postgresql) ;; *) die "--part is rsyslog or postgresql" ;; esac
[[ $port =~ ^[0-9]+$ && $pg_port =~ ^[0-9]+$ ]] || die "a port is a number"
[[ $domain =~ ^[A-Za-z0-9.-]+$ ]] || die "the domain is letters, digits, dots and dashes"
[ -n "$name" ] || name=central.$domain

tls=$dir/tls
secrets=$dir/secrets
pgdata=$dir/pg/data
pgrun=$dir/pg/run
rs=$dir/rsyslog
# The filer runs as a user of its own, not as postgres: postgres owns the cluster and logs in as
# its superuser, so a filer running as it could do anything to the store, not only file.
filer_user=norv-fleet-filer
filer_dir=$dir/filer

as_postgres() { runuser -u postgres -- "$@"; }
pg_running() { [ -f "$pgdata/postmaster.pid" ] && as_postgres "$pg_bin/pg_ctl" -D "$pgdata" status >/dev/null 2>&1; }
rsyslog_pid() {
    local pid
    pid=$(cat "$rs/pid" 2>/dev/null) || return 1
    [ -n "$pid" ] && [ -d "/proc/$pid" ] && grep -q rsyslogd "/proc/$pid/comm" 2>/dev/null && echo "$pid"
}
filer_pid() {
    local pid
    pid=$(cat "$dir/filer.pid" 2>/dev/null) || return 1
    # That very process: norv-cli running `fleet file`, not another that took its number.
    [ -n "$pid" ] && [ -d "/proc/$pid" ] && grep -q norv-cli "/proc/$pid/comm" 2>/dev/null &&
        tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q " fleet file " && echo "$pid"
}
# (After prepare_filer.) setpriv replaces itself, where runuser would stay as the parent.
as_filer() { setpriv "${filer_ids[@]}" -- "$@"; }
# Stops the process $1 (named $2 in the message) and waits until it is gone.
stop_process() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || true
    gone() { [ ! -d "/proc/$pid" ]; }
    wait_for 60 gone || die "$2 $pid did not stop"
}
psql_admin() { as_postgres "$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$pgrun" -p "$pg_port" "$@"; }

# Polls "$@" every tenth of a second for at most $1 seconds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# Copies an example configuration, replacing its example values (pairs of FROM TO, in order),
# and fails if one is left over.
render() {
    local src=$1 dest=$2 text from to
    shift 2
    text=$(cat "$src")
    while [ $# -ge 2 ]; do
        from=$1 to=$2
        text=${text//"$from"/"$to"}
        shift 2
    done
    if grep -qE 'example\.org|192\.0\.2\.10' <<<"$text"; then
        die "$dest: an example value is left"
    fi
    printf '%s\n' "$text" >"$dest"
}

# The shipped files: beside this script when installed, in packaging/fleet in the source tree.
find_shipped() {
    local f
    for f in "$here/$1" "$here/../packaging/fleet/$1"; do
        [ -f "$f" ] && { echo "$f"; return 0; }
    done
    die "cannot find $1 beside $here"
}

# The fleet's CA, and a certificate it signs for one name (in the subject and as its DNS
# subjectAltName, which RELP's name check reads): KEY and PEM in FOLDER.
make_ca() {
    [ -f "$tls/ca.pem" ] && return 0
    (umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 \
        -subj "/CN=norv fleet CA ($domain)" -keyout "$tls/ca.key" -out "$tls/ca.pem" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        2>/dev/null) || die "openssl could not make the CA"
    chmod 0644 "$tls/ca.pem"
}
make_cert() {
    local cn=$1 key=$2 pem=$3
    [ -f "$pem" ] && return 0
    (umask 077 && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -subj "/CN=$cn" -keyout "$key" -out "$pem.csr" 2>/dev/null &&
        openssl x509 -req -in "$pem.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial \
            -days 825 -out "$pem" -extfile <(printf '%s\n' "subjectAltName=DNS:$cn" \
                "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
                "extendedKeyUsage=serverAuth,clientAuth") 2>/dev/null) ||
        die "openssl could not make the certificate of $cn"
    rm -f "$pem.csr"
}

start_postgresql() {
    id postgres >/dev/null 2>&1 || die "there is no user postgres (apt install postgresql-15)"
    [ -x "$pg_bin/initdb" ] || die "PostgreSQL 15 is not installed (apt install postgresql-15)"
    install -d -m 0700 -o postgres -g postgres "$dir/pg"
    install -d -m 0700 -o postgres -g postgres "$pgrun"
    as_postgres test -x "$dir/pg/." || die "the user postgres cannot reach $dir: let others search its parents (chmod o+x)"
    if [ ! -f "$pgdata/PG_VERSION" ]; then
        install -d -m 0700 -o postgres -g postgres "$pgdata"
        # Its output and the files below are written as postgres: root never writes by name in a
        # folder postgres owns.
        as_postgres "$pg_bin/initdb" -D "$pgdata" -U postgres -E UTF8 --locale=C.UTF-8 \
            --auth-local=peer --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 ||
            { cat "$dir/initdb.log" >&2; die "initdb failed"; }
        # The administrator through the socket only; the writer and the reader by password from
        # this machine.
        as_postgres tee "$pgdata/pg_hba.conf" >/dev/null <<HBA
local all postgres peer
host norv norv_fleet_writer 127.0.0.1/32 scram-sha-256
host norv norv_fleet_reader 127.0.0.1/32 scram-sha-256
host norv norv_fleet_filer 127.0.0.1/32 scram-sha-256
HBA
        as_postgres tee -a "$pgdata/postgresql.conf" >/dev/null <<CONF
listen_addresses = '127.0.0.1'
port = $pg_port
unix_socket_directories = '$pgrun'
CONF
    fi
    # A cluster made before the filer was: let the filer in too.
    if ! grep -q norv_fleet_filer "$pgdata/pg_hba.conf"; then
        echo "host norv norv_fleet_filer 127.0.0.1/32 scram-sha-256" | as_postgres tee -a "$pgdata/pg_hba.conf" >/dev/null
        pg_running && as_postgres "$pg_bin/pg_ctl" -D "$pgdata" reload >/dev/null
    fi
    if ! pg_running; then
        as_postgres "$pg_bin/pg_ctl" -D "$pgdata" -l "$dir/pg/postgresql.log" -w -t 60 start >/dev/null ||
            { tail -20 "$dir/pg/postgresql.log" >&2; die "PostgreSQL did not start"; }
    fi
    [ -n "$schema" ] || schema=$(find_shipped schema.sql)
    [ -f "$schema" ] || die "$schema: no such file (give schema.sql with --schema)"
    if [ "$(psql_admin -tA -d postgres -c "SELECT 1 FROM pg_database WHERE datname = 'norv'")" != 1 ]; then
        psql_admin -d postgres -c "CREATE DATABASE norv" || die "cannot create the database"
    fi
    psql_admin -d norv -f - <"$schema" || die "$schema did not load"
    local role file
    for role in writer reader filer; do
        file=$secrets/$role.pgpass
        [ "$role" = filer ] && file=$filer_dir/filer.pgpass
        [ -f "$file" ] && continue
        local pw
        pw=$(openssl rand -hex 24)
        # On standard input, never on a command line others may read.
        psql_admin -d norv <<<"\\set pw '$pw'
ALTER ROLE norv_fleet_$role LOGIN PASSWORD :'pw';" ||
            die "cannot let norv_fleet_$role log in"
        # The filer's is written as the filer: root never writes by name in a folder another owns.
        (umask 077 && printf '127.0.0.1:%s:norv:norv_fleet_%s:%s\n' "$pg_port" "$role" "$pw" |
            if [ "$role" = filer ]; then as_filer tee "$file" >/dev/null; else cat >"$file"; fi) ||
            die "cannot write $file"
    done
}

# The filer's user, made when missing, and its folder, which only it and root may read.
prepare_filer() {
    if ! id "$filer_user" >/dev/null 2>&1; then
        useradd --system --user-group --home-dir /nonexistent --no-create-home \
            --shell /usr/sbin/nologin --comment "norv fleet filer" "$filer_user" ||
            die "cannot make the user $filer_user"
    fi
    # An account made before (by hand, or served from a directory) must not carry root's or
    # postgres's powers: not their uid, not root's group, and no other group (none is kept).
    local uid gid
    uid=$(id -u "$filer_user") gid=$(id -g "$filer_user")
    [ "$uid" != 0 ] && [ "$gid" != 0 ] || die "the user $filer_user is root or in root's group"
    [ "$uid" != "$(id -u postgres)" ] || die "the user $filer_user has postgres's uid"
    filer_ids=(--reuid="$uid" --regid="$gid" --clear-groups --no-new-privs)
    install -d -m 0700 -o "$filer_user" -g "$gid" "$filer_dir"
    as_filer test -x "$filer_dir/." ||
        die "the user $filer_user cannot reach $dir: let others search its parents (chmod o+x)"
    as_filer test -x "$cli" || die "the user $filer_user cannot run $cli: let others read and search its folders"
    # A set-up made when the filer ran as root kept its password with the others.
    if [ -f "$secrets/filer.pgpass" ] && [ ! -f "$filer_dir/filer.pgpass" ]; then
        (umask 077 && as_filer tee "$filer_dir/filer.pgpass" >/dev/null <"$secrets/filer.pgpass") ||
            die "cannot move the filer's password to $filer_dir"
    fi
    rm -f "$secrets/filer.pgpass"
}

# The filer: files what rsyslog put in the inbox, a batch at a time; it waits out a PostgreSQL
# that is away. setsid and setpriv each replace themselves, so the pid is the filer's own.
start_filer() {
    local pid
    if pid=$(filer_pid); then
        [ "$(stat -c %u "/proc/$pid")" = "$(id -u "$filer_user")" ] && return 0
        # One an earlier set-up started as root: replaced by one of the filer's user.
        stop_process "$pid" "the filer"
    fi
    [ -f "$filer_dir/filer.pgpass" ] ||
        die "the store has no filer's password yet: start without --part first"
    # Nothing of root's environment goes with it; env and setpriv replace themselves too.
    (cd / && exec setsid env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG="${LANG:-C.UTF-8}" \
        setpriv "${filer_ids[@]}" -- "$cli" fleet file \
        --db "host=127.0.0.1 port=$pg_port dbname=norv user=norv_fleet_filer passfile=$filer_dir/filer.pgpass") \
        </dev/null >>"$dir/filer.log" 2>&1 &
    echo $! >"$dir/filer.pid"
    # One that cannot log in or finds no schema ends at once: say so rather than start nothing.
    sleep 1
    filer_pid >/dev/null || { tail -3 "$dir/filer.log" >&2; die "the filer stopped (its messages: $dir/filer.log)"; }
}

start_rsyslog() {
    command -v rsyslogd >/dev/null || die "rsyslogd is not installed (apt install rsyslog)"
    local m
    for m in imrelp ompgsql; do
        ls /usr/lib/*/rsyslog/$m.so >/dev/null 2>&1 ||
            die "rsyslog's $m is not installed (apt install rsyslog-relp rsyslog-pgsql)"
    done
    install -d -m 0700 "$rs" "$rs/spool"
    render "$(find_shipped norv-fleet-central.conf)" "$rs/norv-fleet-central.conf" \
        /etc/norv/fleet/pgpass "$secrets/writer.pgpass" /etc/norv/fleet/ "$tls/" \
        'port="2514"' "port=\"$port\"" '127.0.0.1:5432/' "127.0.0.1:$pg_port/" '*.fleet.example.org' "*.$domain"
    # A rsyslogd of its own beside the system's: its own work folder and pid file, and its own
    # messages (a refused peer, a lost database) in one file.
    cat >"$rs/rsyslog.conf" <<CONF
global(workDirectory="$rs/spool" processInternalMessages="on")
syslog.* action(type="omfile" file="$rs/messages")
include(file="$rs/norv-fleet-central.conf")
CONF
    rsyslogd -N1 -f "$rs/rsyslog.conf" >"$rs/check.txt" 2>&1 || { cat "$rs/check.txt" >&2; die "rsyslog refuses the configuration"; }
    if ! rsyslog_pid >/dev/null; then
        rm -f "$rs/pid"
        rsyslogd -f "$rs/rsyslog.conf" -i "$rs/pid" </dev/null >>"$rs/out" 2>&1 || { cat "$rs/out" >&2; die "rsyslogd did not start"; }
        listening() { ss -Hltn "sport = :$port" | grep -q .; }
        wait_for 30 listening || { cat "$rs/messages" >&2 2>/dev/null; die "rsyslog does not listen on port $port"; }
    fi
}

make_hosts() {
    local h
    for h in $hosts; do
        [[ $h =~ ^[A-Za-z0-9-]+$ ]] || die "a host's name is letters, digits and dashes: $h"
        # The central server's own name on a host's certificate would let it pose as the server.
        [ "$h.$domain" != "$name" ] || die "$h: the central server's own name"
        install -d -m 0700 "$dir/hosts/$h"
        make_cert "$h.$domain" "$dir/hosts/$h/host.key" "$dir/hosts/$h/host.pem"
        cp "$tls/ca.pem" "$dir/hosts/$h/ca.pem"
        render "$(find_shipped norv-fleet-sender.conf)" "$dir/hosts/$h/norv-fleet.conf" \
            192.0.2.10 "$address" 'port="2514"' "port=\"$port\"" central.example.org "$name"
    done
}

case $command in
start)
    [ -n "$cli" ] || cli=$(command -v norv-cli) ||
        die "norv-cli is not installed: it files what rsyslog stores (give it with --cli)"
    [ -x "$cli" ] || die "$cli: not a program"
    cli=$(readlink -f "$cli")
    if [ -z "$address" ]; then
        address=$(hostname -I 2>/dev/null | awk '{print $1}')
        [ -n "$address" ] || address=127.0.0.1
    fi
    install -d -m 0700 "$tls" "$secrets"
    chmod 0755 "$dir"
    printf '%s\n' "port=$port" "address=$address" "name=$name" "domain=$domain" "hosts=$hosts" \
        "pg_port=$pg_port" "cli=$cli" >"$dir/options"
    make_ca
    make_cert "$name" "$tls/central.key" "$tls/central.pem"
    make_hosts
    prepare_filer
    [ "$part" = rsyslog ] || start_postgresql
    [ "$part" = postgresql ] || start_rsyslog
    start_filer
    cat <<TEXT
norv fleet central server running in $dir
  RELP over TLS on port $port (every address), as $name
  PostgreSQL 15 on 127.0.0.1:$pg_port, database norv, schema norv_fleet
  rsyslog's own messages: $rs/messages
  the filer (norv-cli fleet file) as the user $filer_user; its messages: $dir/filer.log

Each host needs, in /etc/norv/fleet/ (root's, 0600): ca.pem, host.pem and host.key, and
norv-fleet.conf in /etc/rsyslog.d/; then \`systemctl restart rsyslog\`. Made here:
TEXT
    for h in $hosts; do echo "  $dir/hosts/$h/   ($h.$domain, sending to $address:$port)"; done
    [ -n "$hosts" ] || echo "  (none yet: start again with --hosts \"NAME ...\" to make them)"
    cat <<TEXT

The reports, on this machine:
  norv-cli fleet status --db 'host=127.0.0.1 port=$pg_port dbname=norv user=norv_fleet_reader passfile=$secrets/reader.pgpass'
Stop it all: norv-fleet-central stop --dir $dir
TEXT
    ;;
stop)
    # rsyslog before PostgreSQL: an rsyslog stopped while it waits for the database drops the
    # lines it is retrying (its queue is saved, those lines are not).
    if [ "$part" = rsyslog ] && ! pg_running && [ -f "$pgdata/PG_VERSION" ]; then
        echo "norv-fleet-central: PostgreSQL is stopped: rsyslog drops the lines it is retrying for it" >&2
    fi
    if [ "$part" != postgresql ] && pid=$(rsyslog_pid); then stop_process "$pid" rsyslogd; fi
    if [ -z "$part" ] && pid=$(filer_pid); then stop_process "$pid" "the filer"; fi
    if [ "$part" != rsyslog ] && pg_running; then
        as_postgres "$pg_bin/pg_ctl" -D "$pgdata" -m fast -w -t 60 stop >/dev/null || die "PostgreSQL did not stop"
    fi
    ;;
register)
    host_id=${args[0]} sender=${args[1]}
    # The id as the events carry it in host.id: the host's /etc/machine-id.
    [[ $host_id =~ ^[0-9a-f]{32}$ ]] ||
        die "$host_id: not a host id (the host's /etc/machine-id: 32 hex digits in lower case)"
    pg_running || die "PostgreSQL is not running: start it with norv-fleet-central start --dir $dir"
    # One address, not a network, written as rsyslog writes the sender (2001:db8::1 for
    # 2001:DB8:0::1): the store compares the text.
    canon=$(psql_admin -d postgres -tA -v a="$sender" <<<"SELECT host(i) FROM CAST(:'a' AS inet) i
        WHERE masklen(i) = CASE family(i) WHEN 4 THEN 32 ELSE 128 END" 2>/dev/null) && [ -n "$canon" ] ||
        die "$sender: not an IP address"
    before=$(psql_admin -d norv -tA -v id="$host_id" -v a="$canon" <<<"
SELECT coalesce((SELECT sender FROM norv_fleet.hosts WHERE host_id = :'id'), '');
SELECT norv_fleet.register_host(:'id', :'a');") || die "cannot register $host_id"
    before=${before%%$'\n'*}
    case $before in
    "") echo "registered host $host_id at $canon: its lines from any other address are flagged forged-host" ;;
    "$canon") echo "host $host_id was bound to $canon already" ;;
    *) echo "registered host $host_id at $canon, no longer $before: its lines from any other address are flagged forged-host" ;;
    esac
    ;;
status)
    state=0
    if pid=$(rsyslog_pid); then echo "rsyslog: running ($pid)"; else echo "rsyslog: stopped"; state=3; fi
    if pg_running; then echo "postgresql: running"; else echo "postgresql: stopped"; state=3; fi
    if pid=$(filer_pid); then echo "filer: running ($pid, as $(stat -c %U "/proc/$pid"))"; else echo "filer: stopped"; state=3; fi
    exit $state
    ;;
esac
