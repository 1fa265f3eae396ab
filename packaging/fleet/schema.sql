-- The fleet's store: every host's norv events, put in an inbox by rsyslog and filed from there
-- in batches by `norv-cli fleet file`.
--
-- Load as the owner the store will have (a superuser or a role with CREATEROLE), as often as
-- wanted: every statement is idempotent, and the whole file is one transaction.
--
--   psql -v ON_ERROR_STOP=1 -d norv -f schema.sql
--
-- rsyslog (ompgsql, as norv_fleet_writer) runs only
--   INSERT INTO norv_fleet.inbox(sender, line) VALUES ('<fromhost-ip>', '<the JSON line>')
-- and the inbox dates and numbers each line. norv_fleet_filer (norv-cli fleet file) may only
-- call file_inbox, which moves a batch of lines from the inbox into events in one transaction.
-- Receiving thus never waits for filing, nor fails with it: a burst waits in the inbox. (Filing
-- each line in a trigger as it came cost the sender's statement three times as much.)
-- norv_fleet_reader (norv-cli fleet) may only read. The roles are made NOLOGIN here when
-- missing; the set-up gives them LOGIN and passwords.
--
-- Layout, version 1:
--   events      one row per line stored, partitioned by day of received_at (UTC), made on
--               demand; a new day's partition drops those older than settings.retention_days
--   hosts       one row per host id: where it sends from, its last sequence, last run and
--               the service's state, kept by the filing so reports never scan events for it;
--               and the counts of its latest hour
--   host_hours  per host and earlier hour of event time: changes, restores, failed restores,
--               flagged lines
--   settings    one row: retention_days (90); hosts not heard from for as long go too
--
-- Exactly once: a line whose host, sequence and SHA-256 match a stored one from the same sender
-- is a re-send and is not stored again. Anything else odd is stored and flagged, never dropped:
--   unreadable         not JSON, or no host, sequence or time (host_id is null)
--   repeated-sequence  a sequence already stored for the host, with another line
--   out-of-order       a sequence below the host's highest, not stored before
--   forged-host        a host id arriving from another sender than the one first seen for it
-- One filer files at a time (a lock on filing_lock), so a host's lines are filed in the order
-- they came.

BEGIN;
SET LOCAL client_min_messages = warning;

-- Two loads at once wait for each other.
DO $lock$ BEGIN PERFORM pg_advisory_xact_lock(hashtext('norv_fleet schema')); END $lock$;

CREATE SCHEMA IF NOT EXISTS norv_fleet;
REVOKE ALL ON SCHEMA norv_fleet FROM PUBLIC;

DO $roles$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = 'norv_fleet_writer') THEN
        CREATE ROLE norv_fleet_writer NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = 'norv_fleet_reader') THEN
        CREATE ROLE norv_fleet_reader NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = 'norv_fleet_filer') THEN
        CREATE ROLE norv_fleet_filer NOLOGIN;
    END IF;
END
$roles$;

-- Held by the one filer at work, and by a load of this file: no other role may lock it.
CREATE TABLE IF NOT EXISTS norv_fleet.filing_lock ();
LOCK TABLE norv_fleet.filing_lock IN EXCLUSIVE MODE;

CREATE TABLE IF NOT EXISTS norv_fleet.schema_version (
    version integer PRIMARY KEY,
    applied_at timestamptz NOT NULL DEFAULT now()
);
INSERT INTO norv_fleet.schema_version (version) VALUES (1) ON CONFLICT DO NOTHING;

CREATE TABLE IF NOT EXISTS norv_fleet.settings (
    only_row boolean PRIMARY KEY DEFAULT true CHECK (only_row),
    retention_days integer NOT NULL DEFAULT 90 CHECK (retention_days > 0)
);
INSERT INTO norv_fleet.settings DEFAULT VALUES ON CONFLICT DO NOTHING;

CREATE TABLE IF NOT EXISTS norv_fleet.inbox (
    sender text,
    line text
);
-- Each line's place in the order lines came, and when.
ALTER TABLE norv_fleet.inbox
    ADD COLUMN IF NOT EXISTS id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    ADD COLUMN IF NOT EXISTS received_at timestamptz NOT NULL DEFAULT now();

CREATE TABLE IF NOT EXISTS norv_fleet.events (
    received_at timestamptz NOT NULL,
    sender text NOT NULL,
    host_id text,                 -- host.id, or host.name where there is no id; null: unreadable
    host_name text,
    sequence bigint,
    event_time timestamptz,       -- the host's "time"
    kind text,
    action text,
    severity smallint,
    run text,
    command text,                 -- a run's norv.command
    baseline_sha256 text,         -- a run's norv.baseline_sha256
    path text,
    flags text[] NOT NULL DEFAULT '{}',
    digest bytea NOT NULL,        -- SHA-256 of the line as received
    body jsonb,                   -- the line, where it is JSON
    line text                     -- the line as received, only where it is unreadable
) PARTITION BY RANGE (received_at);

-- The re-send and repeat look-up, the seal's run order, and the unreadable lines (host_id null).
CREATE INDEX IF NOT EXISTS events_host_sequence ON norv_fleet.events (host_id, sequence);
-- The seal: each host's runs in sequence order, read from the index alone.
CREATE INDEX IF NOT EXISTS events_runs ON norv_fleet.events (host_id, sequence)
    INCLUDE (event_time, command, baseline_sha256, flags) WHERE action = 'run';
-- The changes report and the part of an hour the rollup cannot give.
CREATE INDEX IF NOT EXISTS events_reported_time ON norv_fleet.events (event_time)
    WHERE action IN ('change', 'action') OR cardinality(flags) > 0;

CREATE TABLE IF NOT EXISTS norv_fleet.hosts (
    host_id text PRIMARY KEY,
    host_name text,
    sender text NOT NULL,         -- the first sender seen for this id
    first_seen timestamptz NOT NULL,
    last_seen timestamptz NOT NULL,
    last_sequence bigint NOT NULL,
    last_run_sequence bigint,
    last_run_at timestamptz,      -- received
    last_run_time timestamptz,    -- the host's time
    last_run_command text,
    last_run_outcome text,
    last_run_counts jsonb,        -- checked, altered, created, deleted, unchecked
    last_baseline_sha256 text,
    service_sequence bigint,
    service_state text,           -- started or stopped
    service_period_s double precision,
    service_time timestamptz,
    flags_count bigint NOT NULL DEFAULT 0,
    missing bigint NOT NULL DEFAULT 0,  -- sequence numbers between the first and the last not come
    -- the latest hour of event time with counts, not yet in host_hours
    hour timestamptz,
    hour_changes bigint NOT NULL DEFAULT 0,
    hour_restores bigint NOT NULL DEFAULT 0,
    hour_failed_restores bigint NOT NULL DEFAULT 0,
    hour_flagged bigint NOT NULL DEFAULT 0
);

ALTER TABLE norv_fleet.hosts ADD COLUMN IF NOT EXISTS missing bigint NOT NULL DEFAULT 0;

CREATE TABLE IF NOT EXISTS norv_fleet.host_hours (
    host_id text NOT NULL,
    hour timestamptz NOT NULL,    -- the event time's hour (UTC)
    changes bigint NOT NULL DEFAULT 0,
    restores bigint NOT NULL DEFAULT 0,
    failed_restores bigint NOT NULL DEFAULT 0,
    flagged bigint NOT NULL DEFAULT 0,
    PRIMARY KEY (host_id, hour)
);

-- The partitions for the day of `at` and the next one, made when missing; a partition made
-- drops the days past retention. A session remembers the day it made sure of.
--
-- Making or dropping a partition locks the whole events table, so a long report would hold
-- every writer behind it: only the day's own partition is waited for. The next day's and the
-- drops give up after 200 ms; the next day's first line then makes its own, and the drops wait
-- for the next day.
CREATE OR REPLACE FUNCTION norv_fleet.ensure_partition(at timestamptz) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $fn$
DECLARE
    today date := (at AT TIME ZONE 'UTC')::date;
    day date;
    name text;
    made boolean := false;
    keep integer;
    old record;
    was_timeout text := current_setting('lock_timeout');
BEGIN
    IF current_setting('norv_fleet.partition_day', true) = today::text THEN
        RETURN;
    END IF;
    FOREACH day IN ARRAY ARRAY[today, today + 1] LOOP
        name := 'events_' || to_char(day, 'YYYYMMDD');
        CONTINUE WHEN to_regclass('norv_fleet.' || name) IS NOT NULL;
        -- One session makes it. A table lock, not an advisory one: taking it reads the
        -- catalog's news, so a partition another session just made is seen here.
        LOCK TABLE norv_fleet.settings IN SHARE ROW EXCLUSIVE MODE;
        CONTINUE WHEN to_regclass('norv_fleet.' || name) IS NOT NULL;
        BEGIN
            IF day > today THEN
                PERFORM set_config('lock_timeout', '200ms', true);
            END IF;
            EXECUTE format('CREATE TABLE norv_fleet.%I PARTITION OF norv_fleet.events '
                           'FOR VALUES FROM (%L) TO (%L)', name,
                           day::timestamp AT TIME ZONE 'UTC',
                           (day + 1)::timestamp AT TIME ZONE 'UTC');
            made := true;
        EXCEPTION WHEN lock_not_available THEN
            NULL;  -- busy: the next day's first line makes it
        END;
        PERFORM set_config('lock_timeout', was_timeout, true);
    END LOOP;
    IF made THEN
        SELECT retention_days INTO keep FROM norv_fleet.settings;
        FOR old IN
            SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid
             WHERE i.inhparent = 'norv_fleet.events'::regclass
               AND c.relname ~ '^events_[0-9]{8}$'
               AND to_date(substr(c.relname, 8), 'YYYYMMDD') < today - coalesce(keep, 90)
        LOOP
            BEGIN
                PERFORM set_config('lock_timeout', '200ms', true);
                EXECUTE format('DROP TABLE norv_fleet.%I', old.relname);
            EXCEPTION WHEN lock_not_available THEN
                NULL;  -- busy: dropped with the next day's partition
            END;
            PERFORM set_config('lock_timeout', was_timeout, true);
        END LOOP;
        DELETE FROM norv_fleet.host_hours
         WHERE hour < (today - coalesce(keep, 90))::timestamp AT TIME ZONE 'UTC';
        -- A host heard from last before the retention goes with its lines (ids are free text:
        -- any sender could otherwise grow the table without end).
        DELETE FROM norv_fleet.hosts
         WHERE last_seen < (today - coalesce(keep, 90))::timestamp AT TIME ZONE 'UTC';
    END IF;
    PERFORM set_config('norv_fleet.partition_day', today::text, false);
END
$fn$;

-- Binds a host id to the address its lines will come from, before it sends: a line of that id
-- from any other address is then flagged forged-host from the first one on (otherwise the first
-- sender decides). Binds a known host anew to a new address. For the owner:
--   SELECT norv_fleet.register_host('<the host's /etc/machine-id>', '<its address>');
CREATE OR REPLACE FUNCTION norv_fleet.register_host(p_host_id text, p_sender text) RETURNS void
LANGUAGE sql SET search_path = pg_catalog, pg_temp AS $fn$
    INSERT INTO norv_fleet.hosts (host_id, sender, first_seen, last_seen, last_sequence)
    VALUES (p_host_id, p_sender, now(), now(), 0)
    ON CONFLICT (host_id) DO UPDATE SET sender = EXCLUDED.sender;
$fn$;

-- An older store filed each line in a trigger as it was inserted.
DROP TRIGGER IF EXISTS file_line ON norv_fleet.inbox;
DROP FUNCTION IF EXISTS norv_fleet.file_line();

-- Adds counts to a host's hour in the rollup.
CREATE OR REPLACE FUNCTION norv_fleet.add_hour(host text, hour timestamptz, changes bigint,
                                               restores bigint, failed bigint, flagged bigint)
RETURNS void LANGUAGE sql SET search_path = pg_catalog, pg_temp AS $fn$
    INSERT INTO norv_fleet.host_hours AS r (host_id, hour, changes, restores, failed_restores,
                                            flagged)
    VALUES (host, hour, changes, restores, failed, flagged)
    ON CONFLICT (host_id, hour) DO UPDATE SET
        changes = r.changes + EXCLUDED.changes,
        restores = r.restores + EXCLUDED.restores,
        failed_restores = r.failed_restores + EXCLUDED.failed_restores,
        flagged = r.flagged + EXCLUDED.flagged;
$fn$;

-- The values of a line that the store keeps in columns. Only the forms norv writes are taken: a
-- value of another form is null, and a line without a host, a sequence from 1 to 2^53 or a time
-- is unreadable. A time of the right form that is no date (month 13) raises an error: the
-- callers catch it, since nothing a host sends may fail a batch, other hosts' lines too.
CREATE OR REPLACE FUNCTION norv_fleet.line_fields(j jsonb)
RETURNS TABLE (host text, seq bigint, etime timestamptz, severity smallint, command text,
               baseline text, period double precision)
LANGUAGE sql STABLE AS $fn$
    SELECT CASE WHEN length(h) <= 255 THEN h END,  -- an index holds a few kilobytes at most
           CASE WHEN sq ~ '^[1-9][0-9]{0,15}$' THEN  -- (nested: AND may be taken in any order)
                CASE WHEN sq::bigint <= 9007199254740992 THEN sq::bigint END END,
           CASE WHEN t ~ '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]{1,9})?(Z|[+-][0-9]{2}:[0-9]{2})$'
                THEN t::pg_catalog.timestamptz END,
           CASE WHEN sv ~ '^[0-7]$' THEN sv::smallint END,
           CASE WHEN length(cm) <= 64 THEN cm END,
           CASE WHEN bl ~ '^[0-9a-f]{64}$' THEN bl END,
           -- a period beyond a year would put the silent report's times out of range
           CASE WHEN pd ~ '^[0-9]{1,9}(\.[0-9]{1,9})?$' THEN
                CASE WHEN pd::double precision > 0 AND pd::double precision <= 366 * 86400
                     THEN pd::double precision END END
      FROM (SELECT coalesce(nullif(j -> 'host' ->> 'id', ''), nullif(j -> 'host' ->> 'name', '')) AS h,
                   j -> 'event' ->> 'sequence' AS sq, j ->> 'time' AS t,
                   j -> 'event' ->> 'severity' AS sv, j -> 'norv' ->> 'command' AS cm,
                   j -> 'norv' ->> 'baseline_sha256' AS bl, j -> 'norv' ->> 'period_s' AS pd) v;
$fn$;

-- What a line adds to its host's counts: 'change', 'restored', 'failed' (a restore), or null.
CREATE OR REPLACE FUNCTION norv_fleet.line_tally(j jsonb) RETURNS text
LANGUAGE sql IMMUTABLE AS $fn$
    SELECT CASE WHEN j -> 'event' ->> 'action' = 'change' THEN 'change'
                WHEN j -> 'event' ->> 'action' = 'action' AND j -> 'norv' ->> 'action' = 'restore'
                THEN CASE j -> 'norv' ->> 'outcome' WHEN 'done' THEN 'restored'
                                                    WHEN 'failed' THEN 'failed' END END;
$fn$;

-- The hour a line counts in: its host's time, or, for a clock a day or more off, the time the
-- line came, so that a time far ahead never makes an hour the retention cannot reach.
CREATE OR REPLACE FUNCTION norv_fleet.line_hour(etime timestamptz, received_at timestamptz)
RETURNS timestamptz LANGUAGE sql STABLE AS $fn$
    SELECT date_bin('1 hour', CASE WHEN abs(extract(epoch FROM etime - received_at)) < 86400
                                   THEN etime ELSE received_at END,
                    timestamptz '2000-01-01 00:00+00');
$fn$;

-- Files one line, received at p_at from p_sender, and keeps hosts and the rollup: the careful
-- path, one line at a time, for every line file_inbox cannot file with its host's others. A
-- host's latest hour is counted in its hosts row, which each line rewrites anyway; a line of a
-- later hour moves those counts to host_hours.
CREATE OR REPLACE FUNCTION norv_fleet.file_one(p_at timestamptz, p_sender text, p_line text)
RETURNS void
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $fn$
DECLARE
    v_at timestamptz := p_at;
    v_sender text := coalesce(p_sender, '');
    v_digest bytea := sha256(convert_to(coalesce(p_line, ''), 'UTF8'));
    v_j jsonb;
    v_n jsonb;
    v_host text;
    v_seq bigint;
    v_etime timestamptz;
    v_act text;
    v_bucket timestamptz;
    v_c bigint := 0;  -- what the line adds: a change, a restore done, one failed, a flag
    v_r bigint := 0;
    v_f bigint := 0;
    v_flagged bigint := 0;
    v_flags text[] := '{}';
    v_h norv_fleet.hosts%ROWTYPE;
    v_same boolean;
    v_forged boolean := false;
    v_repeated boolean := false;
    v_ordered boolean := true;
    v_usual boolean;
    v_severity smallint;
    v_command text;
    v_baseline text;
    v_period double precision;
BEGIN
    IF current_setting('norv_fleet.partition_day', true)
       IS DISTINCT FROM (v_at AT TIME ZONE 'UTC')::date::text THEN
        PERFORM norv_fleet.ensure_partition(v_at);
    END IF;
    -- Nothing a host sends may fail the statement: not JSON, nested past the parser's depth, a
    -- date that is none (see read_line).
    SELECT r.j, r.host, r.seq, r.etime, r.severity, r.command, r.baseline, r.period
      INTO v_j, v_host, v_seq, v_etime, v_severity, v_command, v_baseline, v_period
      FROM norv_fleet.read_line(p_line) r;
    v_n := v_j -> 'norv';
    IF v_host IS NULL OR v_seq IS NULL OR v_etime IS NULL THEN
        INSERT INTO norv_fleet.events (received_at, sender, flags, digest, body, line)
        VALUES (v_at, v_sender, '{unreadable}', v_digest, v_j, coalesce(p_line, ''));
        RETURN;
    END IF;
    v_act := v_j -> 'event' ->> 'action';
    v_bucket := norv_fleet.line_hour(v_etime, v_at);
    CASE norv_fleet.line_tally(v_j)
        WHEN 'change' THEN v_c := 1;
        WHEN 'restored' THEN v_r := 1;
        WHEN 'failed' THEN v_f := 1;
        ELSE NULL;
    END CASE;

    -- (Only file_inbox calls this, one filer at a time: a lock for each host would fill the lock
    -- table in a batch of many new hosts.)
    -- The usual line: the next of a known host, from its sender, in the hour it counts; a run
    -- or service line is then its latest.
    UPDATE norv_fleet.hosts SET host_name = v_j -> 'host' ->> 'name', last_seen = v_at,
        last_sequence = v_seq,
        -- (a host registered before it sent has 0: what came before its first line is no gap)
        missing = missing + CASE WHEN last_sequence = 0 THEN 0 ELSE v_seq - last_sequence - 1 END,
        hour_changes = hour_changes + v_c,
        hour_restores = hour_restores + v_r, hour_failed_restores = hour_failed_restores + v_f,
        last_run_sequence = CASE WHEN v_act = 'run' THEN v_seq ELSE last_run_sequence END,
        last_run_at = CASE WHEN v_act = 'run' THEN v_at ELSE last_run_at END,
        last_run_time = CASE WHEN v_act = 'run' THEN v_etime ELSE last_run_time END,
        last_run_command = CASE WHEN v_act = 'run' THEN v_command
                                ELSE last_run_command END,
        last_run_outcome = CASE WHEN v_act = 'run' THEN v_n ->> 'outcome'
                                ELSE last_run_outcome END,
        last_run_counts = CASE WHEN v_act = 'run' THEN jsonb_build_object(
            'checked', v_n -> 'checked', 'altered', v_n -> 'altered',
            'created', v_n -> 'created', 'deleted', v_n -> 'deleted',
            'unchecked', v_n -> 'unchecked') ELSE last_run_counts END,
        last_baseline_sha256 = CASE WHEN v_act = 'run' THEN v_baseline
                                    ELSE last_baseline_sha256 END,
        service_sequence = CASE WHEN v_act = 'service' THEN v_seq ELSE service_sequence END,
        service_state = CASE WHEN v_act = 'service' THEN v_n ->> 'state' ELSE service_state END,
        service_period_s = CASE WHEN v_act = 'service'
            THEN v_period ELSE service_period_s END,
        service_time = CASE WHEN v_act = 'service' THEN v_etime ELSE service_time END
     WHERE host_id = v_host AND sender = v_sender AND last_sequence < v_seq
       AND (v_c + v_r + v_f = 0 OR hour = v_bucket);
    v_usual := FOUND;
    IF NOT v_usual THEN
        SELECT * INTO v_h FROM norv_fleet.hosts WHERE host_id = v_host;
        IF NOT FOUND THEN
            INSERT INTO norv_fleet.hosts (host_id, host_name, sender, first_seen, last_seen,
                                          last_sequence, hour, hour_changes, hour_restores,
                                          hour_failed_restores)
            VALUES (v_host, v_j -> 'host' ->> 'name', v_sender, v_at, v_at, v_seq,
                    CASE WHEN v_c + v_r + v_f > 0 THEN v_bucket END, v_c, v_r, v_f);
        ELSE
            v_forged := v_h.sender <> v_sender;
            IF v_seq <= v_h.last_sequence THEN
                v_ordered := false;
                IF NOT v_forged THEN
                    SELECT bool_or(e.digest = v_digest) INTO v_same FROM norv_fleet.events e
                     WHERE e.host_id = v_host AND e.sequence = v_seq AND e.sender = v_sender;
                    IF v_same THEN
                        RETURN;  -- a re-send
                    END IF;
                END IF;
                -- A forged line never makes the host's own late line a repeat.
                PERFORM FROM norv_fleet.events e
                  WHERE e.host_id = v_host AND e.sequence = v_seq
                    AND NOT 'forged-host' = ANY (e.flags);
                v_repeated := FOUND;
            END IF;
            IF v_forged THEN
                v_flags := v_flags || 'forged-host'::text;
                v_c := 0;  -- not the host's own doing
                v_r := 0;
                v_f := 0;
            END IF;
            IF v_repeated THEN
                v_flags := v_flags || 'repeated-sequence'::text;
            ELSIF NOT v_ordered THEN
                v_flags := v_flags || 'out-of-order'::text;
            END IF;
            v_flagged := CASE WHEN cardinality(v_flags) > 0 THEN 1 ELSE 0 END;
            IF v_c + v_r + v_f + v_flagged > 0 THEN
                IF v_h.hour IS NULL OR v_bucket > v_h.hour THEN
                    IF v_h.hour IS NOT NULL THEN
                        PERFORM norv_fleet.add_hour(v_host, v_h.hour, v_h.hour_changes,
                                                    v_h.hour_restores, v_h.hour_failed_restores,
                                                    v_h.hour_flagged);
                    END IF;
                    v_h.hour := v_bucket;
                    v_h.hour_changes := v_c;
                    v_h.hour_restores := v_r;
                    v_h.hour_failed_restores := v_f;
                    v_h.hour_flagged := v_flagged;
                ELSIF v_bucket = v_h.hour THEN
                    v_h.hour_changes := v_h.hour_changes + v_c;
                    v_h.hour_restores := v_h.hour_restores + v_r;
                    v_h.hour_failed_restores := v_h.hour_failed_restores + v_f;
                    v_h.hour_flagged := v_h.hour_flagged + v_flagged;
                ELSE
                    PERFORM norv_fleet.add_hour(v_host, v_bucket, v_c, v_r, v_f, v_flagged);
                END IF;
            END IF;
            -- A forged or repeated line tells nothing about the host.
            IF v_forged OR v_repeated THEN
                UPDATE norv_fleet.hosts SET flags_count = flags_count + 1, hour = v_h.hour,
                    hour_changes = v_h.hour_changes, hour_restores = v_h.hour_restores,
                    hour_failed_restores = v_h.hour_failed_restores,
                    hour_flagged = v_h.hour_flagged
                 WHERE host_id = v_host;
            ELSE
                UPDATE norv_fleet.hosts SET
                    host_name = CASE WHEN v_ordered THEN v_j -> 'host' ->> 'name'
                                     ELSE host_name END,
                    last_seen = v_at, last_sequence = greatest(last_sequence, v_seq),
                    -- a gap opened, or one of its lines come late
                    missing = CASE WHEN v_ordered AND last_sequence = 0 THEN missing
                                   WHEN v_ordered THEN missing + (v_seq - last_sequence - 1)
                                   ELSE greatest(missing - 1, 0) END,
                    flags_count = flags_count + v_flagged, hour = v_h.hour,
                    hour_changes = v_h.hour_changes, hour_restores = v_h.hour_restores,
                    hour_failed_restores = v_h.hour_failed_restores,
                    hour_flagged = v_h.hour_flagged
                 WHERE host_id = v_host;
            END IF;
        END IF;
    END IF;

    INSERT INTO norv_fleet.events (received_at, sender, host_id, host_name, sequence, event_time,
                                   kind, action, severity, run, command, baseline_sha256, path,
                                   flags, digest, body)
    VALUES (v_at, v_sender, v_host, v_j -> 'host' ->> 'name', v_seq, v_etime,
            v_j -> 'event' ->> 'kind', v_act, v_severity,
            v_n ->> 'run', v_command, v_baseline, v_n ->> 'path',
            v_flags, v_digest, v_j);

    -- Any other line may still be the host's latest run or service event (one out of order).
    IF v_usual OR v_forged OR v_repeated THEN
        RETURN;
    ELSIF v_act = 'run' THEN
        UPDATE norv_fleet.hosts SET
            last_run_sequence = v_seq, last_run_at = v_at, last_run_time = v_etime,
            last_run_command = v_command, last_run_outcome = v_n ->> 'outcome',
            last_run_counts = jsonb_build_object(
                'checked', v_n -> 'checked', 'altered', v_n -> 'altered',
                'created', v_n -> 'created', 'deleted', v_n -> 'deleted',
                'unchecked', v_n -> 'unchecked'),
            last_baseline_sha256 = v_baseline
         WHERE host_id = v_host AND coalesce(last_run_sequence, 0) < v_seq;
    ELSIF v_act = 'service' THEN
        UPDATE norv_fleet.hosts SET
            service_sequence = v_seq, service_state = v_n ->> 'state',
            service_period_s = v_period, service_time = v_etime
         WHERE host_id = v_host AND coalesce(service_sequence, 0) < v_seq;
    END IF;
    RETURN;
END
$fn$;

-- A line read without fail: its JSON (null when it is none) and its values (see line_fields;
-- all null when one of them raises). For a line filed on its own, and a batch that cannot be
-- read in one statement.
CREATE OR REPLACE FUNCTION norv_fleet.read_line(line text)
RETURNS TABLE (j jsonb, host text, seq bigint, etime timestamptz, severity smallint,
               command text, baseline text, period double precision)
LANGUAGE plpgsql STABLE SET search_path = pg_catalog, pg_temp AS $fn$
BEGIN
    BEGIN
        j := line::jsonb;
    EXCEPTION WHEN OTHERS THEN
        RETURN NEXT;
        RETURN;
    END;
    BEGIN
        SELECT f.host, f.seq, f.etime, f.severity, f.command, f.baseline, f.period
          INTO host, seq, etime, severity, command, baseline, period
          FROM norv_fleet.line_fields(j) f;
    EXCEPTION WHEN OTHERS THEN
        NULL;  -- a raising SELECT ... INTO assigns nothing: all stay null
    END;
    RETURN NEXT;
END
$fn$;

-- Files up to `most` lines of the inbox (at most 100,000), oldest first, and returns how many it
-- took. Lines without a host, a sequence or a time are stored unreadable. The lines of a host
-- whose lines here all simply follow its last (known host, its own sender, sequences rising
-- past its last, counts in the hour its row holds or in one hour) are filed together: one insert
-- for all, one update of each host. Every other line goes through file_one, in the order the
-- lines came. (The batch's statements are cheap but their estimates are not: compiling them took
-- longer than running them. Dates are read and written in one style whatever the session's, and
-- a batch's sorts and hashes (about 30 MB at 20,000 lines) stay in memory on any server.)
CREATE OR REPLACE FUNCTION norv_fleet.file_inbox(most integer DEFAULT 10000) RETURNS integer
LANGUAGE plpgsql SECURITY DEFINER
SET search_path = pg_catalog, pg_temp SET jit = off SET DateStyle = 'ISO, YMD'
SET TimeZone = 'UTC' SET work_mem = '64MB' AS $fn$
DECLARE
    v_most integer := least(greatest(most, 1), 100000);
    v_taken integer;
    v_day record;
    v_line record;
BEGIN
    -- One filer at a time, so that a host's lines are filed in the order they came: on a table
    -- no other role may lock.
    LOCK TABLE norv_fleet.filing_lock IN EXCLUSIVE MODE;
    -- (by the index: the lines filed last lie dead at the table's head until vacuumed)
    PERFORM FROM norv_fleet.inbox ORDER BY id LIMIT 1;
    IF NOT FOUND THEN
        RETURN 0;
    END IF;
    CREATE TEMP TABLE norv_batch (
        id bigint, received_at timestamptz, sender text, line text, j jsonb, host text,
        seq bigint, etime timestamptz, severity smallint, command text, baseline text,
        period double precision, ordered boolean
    ) ON COMMIT DROP;
    BEGIN
        WITH taken AS (  -- (one range of the index, not a look-up for each line)
            DELETE FROM norv_fleet.inbox
             WHERE id <= (SELECT max(id) FROM (SELECT id FROM norv_fleet.inbox
                                                ORDER BY id LIMIT v_most) oldest)
            RETURNING id, received_at, coalesce(sender, '') AS sender, coalesce(line, '') AS line
        ), parsed AS MATERIALIZED (  -- each line parsed once, not once for each value read
            SELECT t.*, t.line::jsonb AS j FROM taken t
        )
        INSERT INTO norv_batch
        SELECT p.id, p.received_at, p.sender, p.line, p.j, f.*,
               coalesce(lag(f.seq) OVER (PARTITION BY f.host ORDER BY p.id) < f.seq, true)
          FROM parsed p, LATERAL norv_fleet.line_fields(p.j) f;
        GET DIAGNOSTICS v_taken = ROW_COUNT;
    EXCEPTION WHEN OTHERS THEN
        -- A line that is no JSON, or a time of the right form that is no date: undone with the
        -- savepoint, the lines are taken again and each read on its own.
        WITH taken AS (
            DELETE FROM norv_fleet.inbox
             WHERE id <= (SELECT max(id) FROM (SELECT id FROM norv_fleet.inbox
                                                ORDER BY id LIMIT v_most) oldest)
            RETURNING id, received_at, coalesce(sender, '') AS sender, coalesce(line, '') AS line
        )
        INSERT INTO norv_batch
        SELECT t.id, t.received_at, t.sender, t.line, r.*,
               coalesce(lag(r.seq) OVER (PARTITION BY r.host ORDER BY t.id) < r.seq, true)
          FROM taken t, LATERAL norv_fleet.read_line(t.line) r;
        GET DIAGNOSTICS v_taken = ROW_COUNT;
    END;
    FOR v_day IN SELECT min(received_at) AS at FROM norv_batch
                  GROUP BY (received_at AT TIME ZONE 'UTC')::date LOOP
        PERFORM norv_fleet.ensure_partition(v_day.at);
    END LOOP;

    -- The hosts whose lines here all simply follow their last: each with the hour its counts go
    -- in. A host with a line it is named in but that has no sequence or time is not one of them.
    CREATE TEMP TABLE norv_batch_hosts ON COMMIT DROP AS
    SELECT b.host, coalesce(h.hour, max(b.bucket) FILTER (WHERE b.counts)) AS hour
      FROM (SELECT b.*, norv_fleet.line_tally(b.j) IS NOT NULL AS counts,
                   norv_fleet.line_hour(b.etime, b.received_at) AS bucket
              FROM norv_batch b WHERE b.host IS NOT NULL) b
      JOIN norv_fleet.hosts h ON h.host_id = b.host
     GROUP BY b.host, h.sender, h.last_sequence, h.hour
    HAVING bool_and(b.seq IS NOT NULL AND b.etime IS NOT NULL AND b.sender = h.sender
                    AND b.ordered)
       AND min(b.seq) > h.last_sequence
       -- the counts go in one hour: the host row's, or the first one
       AND CASE WHEN h.hour IS NULL THEN count(DISTINCT b.bucket) FILTER (WHERE b.counts) <= 1
                ELSE coalesce(bool_and(b.bucket = h.hour) FILTER (WHERE b.counts), true) END;

    -- Those hosts' lines, and every line without a host, a sequence or a time.
    INSERT INTO norv_fleet.events (received_at, sender, host_id, host_name, sequence, event_time,
                                   kind, action, severity, run, command, baseline_sha256, path,
                                   flags, digest, body, line)
    SELECT b.received_at, b.sender,
           CASE WHEN g.host IS NOT NULL THEN b.host END,
           CASE WHEN g.host IS NOT NULL THEN b.j -> 'host' ->> 'name' END,
           CASE WHEN g.host IS NOT NULL THEN b.seq END,
           CASE WHEN g.host IS NOT NULL THEN b.etime END,
           CASE WHEN g.host IS NOT NULL THEN b.j -> 'event' ->> 'kind' END,
           CASE WHEN g.host IS NOT NULL THEN b.j -> 'event' ->> 'action' END,
           CASE WHEN g.host IS NOT NULL THEN b.severity END,
           CASE WHEN g.host IS NOT NULL THEN b.j -> 'norv' ->> 'run' END,
           CASE WHEN g.host IS NOT NULL THEN b.command END,
           CASE WHEN g.host IS NOT NULL THEN b.baseline END,
           CASE WHEN g.host IS NOT NULL THEN b.j -> 'norv' ->> 'path' END,
           CASE WHEN g.host IS NOT NULL THEN '{}'::text[] ELSE '{unreadable}' END,
           sha256(convert_to(b.line, 'UTF8')), b.j,
           CASE WHEN g.host IS NULL THEN b.line END
      FROM norv_batch b LEFT JOIN norv_batch_hosts g ON g.host = b.host
     WHERE g.host IS NOT NULL OR b.host IS NULL OR b.seq IS NULL OR b.etime IS NULL;

    -- Each of them: its last line, its last run and its last service line, as file_one leaves
    -- them.
    UPDATE norv_fleet.hosts h SET host_name = a.host_name, last_seen = a.last_seen,
        last_sequence = a.last_sequence, hour = a.hour,
        missing = h.missing + (a.last_sequence - a.lines - CASE WHEN h.last_sequence = 0
                                   THEN a.first_sequence - 1 ELSE h.last_sequence END),
        hour_changes = h.hour_changes + a.changes, hour_restores = h.hour_restores + a.restores,
        hour_failed_restores = h.hour_failed_restores + a.failed,
        last_run_sequence = CASE WHEN r.host IS NULL THEN h.last_run_sequence ELSE r.seq END,
        last_run_at = CASE WHEN r.host IS NULL THEN h.last_run_at ELSE r.received_at END,
        last_run_time = CASE WHEN r.host IS NULL THEN h.last_run_time ELSE r.etime END,
        last_run_command = CASE WHEN r.host IS NULL THEN h.last_run_command ELSE r.command END,
        last_run_outcome = CASE WHEN r.host IS NULL THEN h.last_run_outcome
                                ELSE r.j -> 'norv' ->> 'outcome' END,
        last_run_counts = CASE WHEN r.host IS NULL THEN h.last_run_counts ELSE jsonb_build_object(
            'checked', r.j -> 'norv' -> 'checked', 'altered', r.j -> 'norv' -> 'altered',
            'created', r.j -> 'norv' -> 'created', 'deleted', r.j -> 'norv' -> 'deleted',
            'unchecked', r.j -> 'norv' -> 'unchecked') END,
        last_baseline_sha256 = CASE WHEN r.host IS NULL THEN h.last_baseline_sha256
                                    ELSE r.baseline END,
        service_sequence = CASE WHEN s.host IS NULL THEN h.service_sequence ELSE s.seq END,
        service_state = CASE WHEN s.host IS NULL THEN h.service_state
                             ELSE s.j -> 'norv' ->> 'state' END,
        service_period_s = CASE WHEN s.host IS NULL THEN h.service_period_s ELSE s.period END,
        service_time = CASE WHEN s.host IS NULL THEN h.service_time ELSE s.etime END
      FROM (
        SELECT b.host, min(g.hour) AS hour, count(*) AS lines, max(b.seq) AS last_sequence,
               min(b.seq) AS first_sequence,
               (array_agg(b.j -> 'host' ->> 'name' ORDER BY b.seq DESC))[1] AS host_name,
               (array_agg(b.received_at ORDER BY b.seq DESC))[1] AS last_seen,
               count(*) FILTER (WHERE norv_fleet.line_tally(b.j) = 'change') AS changes,
               count(*) FILTER (WHERE norv_fleet.line_tally(b.j) = 'restored') AS restores,
               count(*) FILTER (WHERE norv_fleet.line_tally(b.j) = 'failed') AS failed,
               max(b.seq) FILTER (WHERE b.j -> 'event' ->> 'action' = 'run') AS run_sequence,
               max(b.seq) FILTER (WHERE b.j -> 'event' ->> 'action' = 'service')
                   AS service_sequence
          FROM norv_batch b JOIN norv_batch_hosts g ON g.host = b.host
         GROUP BY b.host
      ) a
      -- (a host's sequences here are distinct: its last run and service lines by sequence)
      LEFT JOIN norv_batch r ON r.host = a.host AND r.seq = a.run_sequence
      LEFT JOIN norv_batch s ON s.host = a.host AND s.seq = a.service_sequence
     WHERE h.host_id = a.host;

    -- The rest, one at a time, in the order they came.
    FOR v_line IN
        SELECT b.received_at, b.sender, b.line FROM norv_batch b
         WHERE b.host IS NOT NULL AND b.seq IS NOT NULL AND b.etime IS NOT NULL
           AND NOT EXISTS (SELECT FROM norv_batch_hosts g WHERE g.host = b.host)
         ORDER BY b.id
    LOOP
        PERFORM norv_fleet.file_one(v_line.received_at, v_line.sender, v_line.line);
    END LOOP;
    DROP TABLE norv_batch_hosts;
    DROP TABLE norv_batch;
    RETURN v_taken;
END
$fn$;

-- The reports, run by norv-cli fleet as norv_fleet_reader (security invoker).

-- Every host with its last run and what it did since `since`.
-- (Its columns grew: a store loaded before gets it anew.)
DROP FUNCTION IF EXISTS norv_fleet.report_status(timestamptz);
CREATE OR REPLACE FUNCTION norv_fleet.report_status(since timestamptz)
RETURNS TABLE (host_name text, host_id text, sender text, last_seen timestamptz,
               last_run_time timestamptz, last_run_command text, last_run_outcome text,
               changes bigint, restores bigint, failed_restores bigint, flagged bigint,
               missing bigint)
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $fn$
    WITH bounds AS (
        -- whole hours from the rollup, the part before the first whole hour from events
        SELECT date_bin('1 hour', since, timestamptz '2000-01-01 00:00+00')
               + CASE WHEN date_bin('1 hour', since, timestamptz '2000-01-01 00:00+00') = since
                      THEN interval '0' ELSE interval '1 hour' END AS whole
    ), counts AS (
        SELECT r.host_id, r.changes, r.restores, r.failed_restores, r.flagged
          FROM norv_fleet.host_hours r, bounds b WHERE r.hour >= b.whole
        UNION ALL
        SELECT h.host_id, h.hour_changes, h.hour_restores, h.hour_failed_restores, h.hour_flagged
          FROM norv_fleet.hosts h, bounds b WHERE h.hour >= b.whole
        UNION ALL
        SELECT e.host_id,
               count(*) FILTER (WHERE NOT 'forged-host' = ANY (e.flags) AND e.action = 'change'),
               count(*) FILTER (WHERE NOT 'forged-host' = ANY (e.flags) AND e.action = 'action'
                                  AND e.body -> 'norv' ->> 'action' = 'restore'
                                  AND e.body -> 'norv' ->> 'outcome' = 'done'),
               count(*) FILTER (WHERE NOT 'forged-host' = ANY (e.flags) AND e.action = 'action'
                                  AND e.body -> 'norv' ->> 'action' = 'restore'
                                  AND e.body -> 'norv' ->> 'outcome' = 'failed'),
               count(*) FILTER (WHERE cardinality(e.flags) > 0)
          FROM norv_fleet.events e, bounds b
         WHERE (e.action IN ('change', 'action') OR cardinality(e.flags) > 0)
           AND e.event_time >= since AND e.event_time < b.whole AND e.host_id IS NOT NULL
         GROUP BY e.host_id
    ), totals AS (
        SELECT c.host_id, sum(c.changes)::bigint AS changes, sum(c.restores)::bigint AS restores,
               sum(c.failed_restores)::bigint AS failed_restores, sum(c.flagged)::bigint AS flagged
          FROM counts c GROUP BY c.host_id
    )
    SELECT h.host_name, h.host_id, h.sender, h.last_seen, h.last_run_time, h.last_run_command,
           h.last_run_outcome, coalesce(t.changes, 0), coalesce(t.restores, 0),
           coalesce(t.failed_restores, 0), coalesce(t.flagged, 0), h.missing
      FROM norv_fleet.hosts h LEFT JOIN totals t ON t.host_id = h.host_id
     ORDER BY h.host_name, h.host_id;
$fn$;

-- Hosts whose last run is older than twice their service's period (`period` where the service
-- gave none), counted from when the store received it, or whose service said it stopped.
CREATE OR REPLACE FUNCTION norv_fleet.report_silent(period interval)
RETURNS TABLE (host_name text, host_id text, sender text, last_seen timestamptz,
               last_run_time timestamptz, last_run_at timestamptz, period_s double precision,
               service_state text, reason text)
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $fn$
    SELECT h.host_name, h.host_id, h.sender, h.last_seen, h.last_run_time, h.last_run_at,
           coalesce(h.service_period_s, extract(epoch FROM period)::double precision),
           h.service_state,
           CASE WHEN h.service_state = 'stopped' THEN 'stopped'
                WHEN h.last_run_at IS NULL THEN 'no-run'
                ELSE 'late' END
      FROM norv_fleet.hosts h
     WHERE h.service_state = 'stopped'
        OR coalesce(h.last_run_at, h.first_seen)
           < now() - 2 * coalesce(make_interval(secs => h.service_period_s), period)
     ORDER BY h.host_name, h.host_id;
$fn$;

-- Each pair of runs of a host, in sequence order, whose baselines differ with no init or accept
-- run between them (the second one included), from `since` on; forged and repeated lines left
-- out (they are counted as flags).
CREATE OR REPLACE FUNCTION norv_fleet.report_seal(since timestamptz)
RETURNS TABLE (host_name text, host_id text, before_sequence bigint, before_time timestamptz,
               before_command text, before_sha256 text, after_sequence bigint,
               after_time timestamptz, after_command text, after_sha256 text)
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $fn$
    WITH runs AS (
        SELECT e.host_id, e.sequence, e.event_time, e.command, e.baseline_sha256 AS sha256,
               count(*) FILTER (WHERE e.command IN ('init', 'accept'))
                   OVER (PARTITION BY e.host_id ORDER BY e.sequence) AS resets
          FROM norv_fleet.events e
         WHERE e.action = 'run' AND e.host_id IS NOT NULL AND e.event_time >= since
           AND NOT e.flags && '{forged-host,repeated-sequence}'
    ), paired AS (
        SELECT r.*,
               lag(r.sequence) OVER w AS p_sequence, lag(r.event_time) OVER w AS p_time,
               lag(r.command) OVER w AS p_command, lag(r.sha256) OVER w AS p_sha256,
               lag(r.resets) OVER w AS p_resets
          FROM runs r WHERE r.sha256 IS NOT NULL
        WINDOW w AS (PARTITION BY r.host_id ORDER BY r.sequence)
    )
    SELECT h.host_name, p.host_id, p.p_sequence, p.p_time, p.p_command,
           p.p_sha256, p.sequence, p.event_time, p.command, p.sha256
      FROM paired p LEFT JOIN norv_fleet.hosts h ON h.host_id = p.host_id
     WHERE p.p_sha256 IS NOT NULL AND p.p_sha256 <> p.sha256 AND p.resets = p.p_resets
     ORDER BY 1, p.host_id, p.sequence;
$fn$;

-- Every change of every host from `since` on (the host's time), with the line's norv object.
CREATE OR REPLACE FUNCTION norv_fleet.report_changes(since timestamptz)
RETURNS TABLE (host_name text, host_id text, sender text, sequence bigint,
               event_time timestamptz, flags text[], norv jsonb)
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $fn$
    SELECT e.host_name, e.host_id, e.sender, e.sequence, e.event_time, e.flags, e.body -> 'norv'
      FROM norv_fleet.events e
     WHERE e.action = 'change' AND e.event_time >= since
     ORDER BY e.host_name, e.host_id, e.sequence, e.received_at;
$fn$;

-- Lines stored unreadable since `since` (when received).
CREATE OR REPLACE FUNCTION norv_fleet.report_unreadable(since timestamptz)
RETURNS TABLE (received_at timestamptz, sender text, line text)
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $fn$
    SELECT e.received_at, e.sender, e.line FROM norv_fleet.events e
     WHERE e.host_id IS NULL AND e.received_at >= since ORDER BY e.received_at;
$fn$;

-- Who may do what.
REVOKE ALL ON ALL TABLES IN SCHEMA norv_fleet FROM PUBLIC;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA norv_fleet FROM PUBLIC;
REVOKE ALL ON ALL TABLES IN SCHEMA norv_fleet
    FROM norv_fleet_writer, norv_fleet_reader, norv_fleet_filer;
GRANT USAGE ON SCHEMA norv_fleet TO norv_fleet_writer, norv_fleet_reader, norv_fleet_filer;
GRANT INSERT (sender, line) ON norv_fleet.inbox TO norv_fleet_writer;
GRANT EXECUTE ON FUNCTION norv_fleet.file_inbox(integer) TO norv_fleet_filer;
GRANT SELECT ON norv_fleet.schema_version, norv_fleet.settings, norv_fleet.events,
    norv_fleet.hosts, norv_fleet.host_hours TO norv_fleet_reader;
GRANT EXECUTE ON FUNCTION norv_fleet.report_status(timestamptz),
    norv_fleet.report_silent(interval), norv_fleet.report_seal(timestamptz),
    norv_fleet.report_changes(timestamptz), norv_fleet.report_unreadable(timestamptz)
    TO norv_fleet_reader;

COMMIT;
