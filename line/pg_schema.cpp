// The line database's schema on PostgreSQL, step by step: step N brings
// version N. Everything lives in the schema "ftmline".
//
// The rules live in the database: the tables are written only by functions
// that run as their owner (SECURITY DEFINER), and two group roles say who may
// call which:
//   ftmline_station  assign, provision, store_run, publish_station; SELECT on
//                    every table
//   ftmline_admin    all of the station's, and import_macs, import_serials,
//                    void_unit
// A line's login roles are made members of one of them, e.g.
//   CREATE ROLE station1 LOGIN PASSWORD '...' IN ROLE ftmline_station;
// No role but the owner (who runs ftmline init) may write a table directly,
// and the event log refuses UPDATE, DELETE and TRUNCATE even to the owner.
//
// Refusals are raised with SQLSTATE "FL00n" and a JSON object as the message
// (pg_db.cpp turns them into the line's messages):
//   FL001 void unit {"hwid", "reason"}
//   FL002 empty pools {"pools": [..]}
//   FL003 unknown unit {"hwid"}
//   FL004 overlapping block {"first", "count", "other_first", "other_count", "at"}
//   FL005 already imported {"kind", "total", "values": [the first few]}
#include "line/pg_schema.h"

namespace ftmd::line {

const char* const kPgSchemaSteps[] = {
    // 1: pools, units, runs, the event log, the functions and the roles.
    R"sql(
CREATE SCHEMA ftmline;
CREATE TABLE ftmline.meta (schema_version integer NOT NULL);
INSERT INTO ftmline.meta VALUES (0);

CREATE TABLE ftmline.mac_blocks (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  first_mac bigint NOT NULL,
  count bigint NOT NULL CHECK (count > 0 AND count % 2 = 0),
  imported_at timestamptz NOT NULL DEFAULT now(),
  CHECK (first_mac > 0 AND (first_mac >> 40) & 1 = 0 AND first_mac % 16777216 + count <= 16777216),
  EXCLUDE USING gist ((int8range(first_mac, first_mac + count)) WITH &&));
CREATE TABLE ftmline.mac_pairs (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  lan4 bigint NOT NULL UNIQUE,
  block_id bigint NOT NULL REFERENCES ftmline.mac_blocks,
  state text NOT NULL DEFAULT 'free' CHECK (state IN ('free', 'assigned', 'void')),
  hwid text,
  CHECK ((state = 'free') = (hwid IS NULL)))
  WITH (fillfactor = 50);
CREATE TABLE ftmline.serials (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  kind text NOT NULL CHECK (kind IN ('sn', 'csn')),
  value text NOT NULL CHECK (value <> ''),
  state text NOT NULL DEFAULT 'free' CHECK (state IN ('free', 'assigned', 'void')),
  hwid text,
  imported_at timestamptz NOT NULL DEFAULT now(),
  CHECK ((state = 'free') = (hwid IS NULL)),
  UNIQUE (kind, value))
  WITH (fillfactor = 50);
-- The pools' queue order. No index covers state or hwid, and pages keep
-- room, so taking a value is a HOT update: no new index entries, and no
-- dead ones for the next scan to walk over.
CREATE INDEX serials_queue ON ftmline.serials (kind, id);
-- Per pool, the lowest id that may still be free (see take_serial).
CREATE TABLE ftmline.pool_cursors (pool text PRIMARY KEY, low bigint NOT NULL);
INSERT INTO ftmline.pool_cursors VALUES ('sn', 0), ('csn', 0), ('mac', 0);
CREATE TABLE ftmline.units (
  hwid text PRIMARY KEY,
  sn text NOT NULL UNIQUE,
  csn text NOT NULL UNIQUE,
  lan4 bigint NOT NULL UNIQUE,
  state text NOT NULL CHECK (state IN ('assigned', 'provisioned', 'void')),
  assigned_at timestamptz NOT NULL DEFAULT now(),
  assigned_station text NOT NULL,
  assigned_operator text NOT NULL,
  provisioned_at timestamptz,
  voided_at timestamptz,
  void_reason text);
CREATE TABLE ftmline.runs (
  run_id text PRIMARY KEY,
  hwid text NOT NULL,
  verdict text NOT NULL CHECK (verdict IN ('passed', 'failed', 'aborted')),
  plan_name text NOT NULL,
  plan_md5 text NOT NULL,
  station text NOT NULL,
  operator text NOT NULL,
  started_at timestamptz NOT NULL,
  ended_at timestamptz NOT NULL,
  record json NOT NULL,
  stored_at timestamptz NOT NULL DEFAULT now());
CREATE INDEX runs_hwid ON ftmline.runs (hwid, plan_name);
CREATE TABLE ftmline.events (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  at timestamptz NOT NULL DEFAULT now(),
  kind text NOT NULL CHECK (kind IN ('import', 'assign', 'provision', 'record', 'void')),
  hwid text,
  station text NOT NULL,
  operator text NOT NULL,
  db_role text NOT NULL DEFAULT session_user,
  detail text NOT NULL);
CREATE INDEX events_hwid ON ftmline.events (hwid);

CREATE FUNCTION ftmline.refuse_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  RAISE EXCEPTION 'the audit log is append-only';
END $$;
CREATE TRIGGER events_no_change BEFORE UPDATE OR DELETE ON ftmline.events
  FOR EACH ROW EXECUTE FUNCTION ftmline.refuse_change();
CREATE TRIGGER events_no_truncate BEFORE TRUNCATE ON ftmline.events
  FOR EACH STATEMENT EXECUTE FUNCTION ftmline.refuse_change();

-- "2026-12-05T18:32:28.123Z"
CREATE FUNCTION ftmline.iso(t timestamptz) RETURNS text LANGUAGE sql STABLE AS $$
  SELECT to_char(t AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"')
$$;
-- 0x001B2C3D4E5F -> "00:1B:2C:3D:4E:5F"
CREATE FUNCTION ftmline.mac_text(m bigint) RETURNS text LANGUAGE sql IMMUTABLE AS $$
  SELECT upper(substr(lpad(to_hex(m), 12, '0'), 1, 2) || ':' || substr(lpad(to_hex(m), 12, '0'), 3, 2) || ':' ||
               substr(lpad(to_hex(m), 12, '0'), 5, 2) || ':' || substr(lpad(to_hex(m), 12, '0'), 7, 2) || ':' ||
               substr(lpad(to_hex(m), 12, '0'), 9, 2) || ':' || substr(lpad(to_hex(m), 12, '0'), 11, 2))
$$;
CREATE FUNCTION ftmline.log_event(p_kind text, p_hwid text, p_station text, p_operator text, p_detail text)
RETURNS void LANGUAGE sql AS $$
  INSERT INTO ftmline.events (kind, hwid, station, operator, detail)
  VALUES (p_kind, p_hwid, p_station, p_operator, p_detail)
$$;

-- The free values of the pools are taken in import order, FOR UPDATE SKIP
-- LOCKED: a value another transaction is taking is passed over, never
-- waited for. Each scan starts at its pool's cursor, the lowest id that may
-- still be free, so it does not walk over the index entries of every value
-- taken before. move_cursor moves a cursor up to the value just taken once
-- that is well past it (unless another transaction is moving it); a value
-- given back below the cursor (its transaction rolled back) is found by
-- take_again, when the scan from the cursor finds nothing.
CREATE FUNCTION ftmline.move_cursor(p_pool text, p_taken bigint) RETURNS void LANGUAGE sql AS $$
  UPDATE ftmline.pool_cursors SET low = p_taken WHERE pool = p_pool AND low < p_taken
    AND pool = (SELECT pool FROM ftmline.pool_cursors WHERE pool = p_pool FOR UPDATE SKIP LOCKED)
$$;
CREATE FUNCTION ftmline.take_again(p_pool text, p_hwid text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
  taken text;
BEGIN
  IF p_pool = 'mac' THEN
    UPDATE ftmline.mac_pairs SET state = 'assigned', hwid = p_hwid WHERE id =
      (SELECT id FROM ftmline.mac_pairs WHERE state = 'free' ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED)
      RETURNING lan4::text INTO taken;
  ELSE
    UPDATE ftmline.serials SET state = 'assigned', hwid = p_hwid WHERE id =
      (SELECT id FROM ftmline.serials WHERE kind = p_pool AND state = 'free' ORDER BY id LIMIT 1
        FOR UPDATE SKIP LOCKED)
      RETURNING value INTO taken;
  END IF;
  RETURN taken;
END $$;

CREATE FUNCTION ftmline.assign(p_hwid text, p_station text, p_operator text,
                               OUT o_sn text, OUT o_csn text, OUT o_lan4 bigint, OUT o_new boolean)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
DECLARE
  u units%ROWTYPE;
  sn_id bigint;
  csn_id bigint;
  pair_id bigint;
  empty text[] := '{}';
BEGIN
  SELECT * INTO u FROM units WHERE hwid = p_hwid;
  IF FOUND THEN
    IF u.state = 'void' THEN
      RAISE EXCEPTION USING ERRCODE = 'FL001',
        MESSAGE = json_build_object('hwid', p_hwid, 'reason', u.void_reason)::text;
    END IF;
    o_sn := u.sn; o_csn := u.csn; o_lan4 := u.lan4; o_new := false;
    RETURN;
  END IF;
  UPDATE serials SET state = 'assigned', hwid = p_hwid WHERE id =
    (SELECT id FROM serials WHERE kind = 'sn' AND state = 'free'
       AND id >= (SELECT low FROM pool_cursors WHERE pool = 'sn') ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED)
    RETURNING id, value INTO sn_id, o_sn;
  UPDATE serials SET state = 'assigned', hwid = p_hwid WHERE id =
    (SELECT id FROM serials WHERE kind = 'csn' AND state = 'free'
       AND id >= (SELECT low FROM pool_cursors WHERE pool = 'csn') ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED)
    RETURNING id, value INTO csn_id, o_csn;
  UPDATE mac_pairs SET state = 'assigned', hwid = p_hwid WHERE id =
    (SELECT id FROM mac_pairs WHERE state = 'free'
       AND id >= (SELECT low FROM pool_cursors WHERE pool = 'mac') ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED)
    RETURNING id, lan4 INTO pair_id, o_lan4;
  IF o_sn IS NULL THEN o_sn := take_again('sn', p_hwid); END IF;
  IF o_csn IS NULL THEN o_csn := take_again('csn', p_hwid); END IF;
  IF o_lan4 IS NULL THEN o_lan4 := take_again('mac', p_hwid)::bigint; END IF;
  IF o_sn IS NULL THEN empty := empty || 'sn'::text; END IF;
  IF o_csn IS NULL THEN empty := empty || 'csn'::text; END IF;
  IF o_lan4 IS NULL THEN empty := empty || 'mac'::text; END IF;
  IF cardinality(empty) > 0 THEN
    RAISE EXCEPTION USING ERRCODE = 'FL002', MESSAGE = json_build_object('pools', empty)::text;
  END IF;
  INSERT INTO units (hwid, sn, csn, lan4, state, assigned_station, assigned_operator)
    VALUES (p_hwid, o_sn, o_csn, o_lan4, 'assigned', p_station, p_operator)
    ON CONFLICT (hwid) DO NOTHING;
  IF NOT FOUND THEN
    -- Another station assigned this hardware id meanwhile: give back what
    -- was taken; the next attempt finds the unit.
    RAISE EXCEPTION USING ERRCODE = '40001', MESSAGE = 'the hardware id was assigned concurrently';
  END IF;
  -- log_event's INSERT, written out on this hot path.
  INSERT INTO events (kind, hwid, station, operator, detail)
    VALUES ('assign', p_hwid, p_station, p_operator,
            'sn ' || o_sn || ', csn ' || o_csn || ', macs ' || mac_text(o_lan4) || ' ' || mac_text(o_lan4 + 1));
  -- Cursors move in steps of 64 values.
  IF sn_id % 64 = 0 THEN PERFORM move_cursor('sn', sn_id); END IF;
  IF csn_id % 64 = 0 THEN PERFORM move_cursor('csn', csn_id); END IF;
  IF pair_id % 64 = 0 THEN PERFORM move_cursor('mac', pair_id); END IF;
  o_new := true;
END $$;

CREATE FUNCTION ftmline.provision(p_hwid text, p_station text, p_operator text) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
DECLARE
  u units%ROWTYPE;
BEGIN
  SELECT * INTO u FROM units WHERE hwid = p_hwid FOR UPDATE;
  IF NOT FOUND THEN
    RAISE EXCEPTION USING ERRCODE = 'FL003', MESSAGE = json_build_object('hwid', p_hwid)::text;
  ELSIF u.state = 'void' THEN
    RAISE EXCEPTION USING ERRCODE = 'FL001',
      MESSAGE = json_build_object('hwid', p_hwid, 'reason', u.void_reason)::text;
  ELSIF u.state = 'assigned' THEN
    UPDATE units SET state = 'provisioned', provisioned_at = now() WHERE hwid = p_hwid;
    PERFORM log_event('provision', p_hwid, p_station, p_operator, 'identity written and read back');
  END IF;
END $$;

CREATE FUNCTION ftmline.store_run(p_run_id text, p_hwid text, p_verdict text, p_plan_name text, p_plan_md5 text,
                                  p_station text, p_operator text, p_started timestamptz, p_ended timestamptz,
                                  p_record json) RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
BEGIN
  INSERT INTO runs (run_id, hwid, verdict, plan_name, plan_md5, station, operator, started_at, ended_at, record)
    VALUES (p_run_id, p_hwid, p_verdict, p_plan_name, p_plan_md5, p_station, p_operator, p_started, p_ended,
            p_record)
    ON CONFLICT (run_id) DO NOTHING;
  IF NOT FOUND THEN
    RETURN false;
  END IF;
  PERFORM log_event('record', p_hwid, p_station, p_operator,
                    format('run %s %s, plan %s', p_run_id, p_verdict, p_plan_name));
  RETURN true;
END $$;

CREATE FUNCTION ftmline.import_macs(p_first bigint, p_count bigint, p_station text, p_operator text)
RETURNS bigint
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
DECLARE
  other mac_blocks%ROWTYPE;
  block bigint;
BEGIN
  -- One import at a time, so the overlap check sees every block.
  LOCK TABLE mac_blocks IN SHARE ROW EXCLUSIVE MODE;
  SELECT * INTO other FROM mac_blocks
    WHERE first_mac < p_first + p_count AND p_first < first_mac + count ORDER BY first_mac LIMIT 1;
  IF FOUND THEN
    RAISE EXCEPTION USING ERRCODE = 'FL004', MESSAGE =
      json_build_object('first', p_first, 'count', p_count, 'other_first', other.first_mac,
                        'other_count', other.count, 'at', iso(other.imported_at))::text;
  END IF;
  INSERT INTO mac_blocks (first_mac, count) VALUES (p_first, p_count) RETURNING id INTO block;
  INSERT INTO mac_pairs (lan4, block_id)
    SELECT p_first + 2 * i, block FROM generate_series(0, p_count / 2 - 1) AS i ORDER BY i;
  -- Statistics for the planner before the first unit takes a pair.
  ANALYZE mac_pairs;
  PERFORM log_event('import', NULL, p_station, p_operator,
                    format('macs %s to %s, %s %s', mac_text(p_first), mac_text(p_first + p_count - 1),
                           p_count / 2, CASE WHEN p_count = 2 THEN 'pair' ELSE 'pairs' END));
  RETURN p_count / 2;
END $$;

CREATE FUNCTION ftmline.import_serials(p_kind text, p_values text[], p_station text, p_operator text)
RETURNS bigint
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
DECLARE
  total bigint;
  named text[];
BEGIN
  SELECT count(*) INTO total FROM unnest(p_values) AS v (x) JOIN serials s ON s.kind = p_kind AND s.value = v.x;
  IF total > 0 THEN
    SELECT array_agg(x ORDER BY n) INTO named FROM (
      SELECT v.x, v.n FROM unnest(p_values) WITH ORDINALITY AS v (x, n)
        JOIN serials s ON s.kind = p_kind AND s.value = v.x ORDER BY v.n LIMIT 5) AS d;
    RAISE EXCEPTION USING ERRCODE = 'FL005', MESSAGE =
      json_build_object('kind', p_kind, 'total', total, 'values', named)::text;
  END IF;
  INSERT INTO serials (kind, value)
    SELECT p_kind, v.x FROM unnest(p_values) WITH ORDINALITY AS v (x, n) ORDER BY v.n;
  ANALYZE serials;
  PERFORM log_event('import', NULL, p_station, p_operator,
                    format('%s %s %s %s to %s', p_kind, cardinality(p_values),
                           CASE WHEN cardinality(p_values) = 1 THEN 'value' ELSE 'values' END, p_values[1],
                           p_values[cardinality(p_values)]));
  RETURN cardinality(p_values);
END $$;

CREATE FUNCTION ftmline.void_unit(p_hwid text, p_reason text, p_station text, p_operator text) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
DECLARE
  u units%ROWTYPE;
BEGIN
  SELECT * INTO u FROM units WHERE hwid = p_hwid FOR UPDATE;
  IF NOT FOUND THEN
    RAISE EXCEPTION USING ERRCODE = 'FL003', MESSAGE = json_build_object('hwid', p_hwid)::text;
  END IF;
  IF u.state = 'void' THEN
    RETURN;
  END IF;
  UPDATE serials SET state = 'void' WHERE (kind, value) IN (('sn', u.sn), ('csn', u.csn));
  UPDATE mac_pairs SET state = 'void' WHERE lan4 = u.lan4;
  UPDATE units SET state = 'void', voided_at = now(), void_reason = p_reason WHERE hwid = p_hwid;
  PERFORM log_event('void', p_hwid, p_station, p_operator, p_reason);
END $$;

DO $$
BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'ftmline_station') THEN
    CREATE ROLE ftmline_station NOLOGIN;
  END IF;
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'ftmline_admin') THEN
    CREATE ROLE ftmline_admin NOLOGIN IN ROLE ftmline_station;
  END IF;
END $$;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA ftmline FROM PUBLIC;
GRANT USAGE ON SCHEMA ftmline TO ftmline_station;
GRANT SELECT ON ALL TABLES IN SCHEMA ftmline TO ftmline_station;
GRANT EXECUTE ON FUNCTION ftmline.iso(timestamptz), ftmline.mac_text(bigint),
  ftmline.assign(text, text, text), ftmline.provision(text, text, text),
  ftmline.store_run(text, text, text, text, text, text, text, timestamptz, timestamptz, json)
  TO ftmline_station;
GRANT EXECUTE ON FUNCTION ftmline.import_macs(bigint, bigint, text, text),
  ftmline.import_serials(text, text[], text, text), ftmline.void_unit(text, text, text, text)
  TO ftmline_admin;
)sql",
    // 2: the line view: a run's failure and measurements, stations' state.
    R"sql(
ALTER TABLE ftmline.runs ADD COLUMN failed_step text NOT NULL DEFAULT '',
  ADD COLUMN failed_reply text NOT NULL DEFAULT '';
CREATE INDEX runs_started ON ftmline.runs (started_at);
CREATE TABLE ftmline.measurements (
  run_id text NOT NULL REFERENCES ftmline.runs,
  step integer NOT NULL,
  plan_name text NOT NULL,
  started_at timestamptz NOT NULL,
  name text NOT NULL,
  unit text NOT NULL,
  value double precision NOT NULL,
  low double precision,
  high double precision,
  passed boolean NOT NULL,
  PRIMARY KEY (run_id, step));
CREATE INDEX measurements_started ON ftmline.measurements (started_at);
CREATE TABLE ftmline.stations (
  name text PRIMARY KEY,
  host text NOT NULL,
  published_at timestamptz NOT NULL,
  outbox_waiting bigint NOT NULL CHECK (outbox_waiting >= 0),
  slots json NOT NULL);

-- A run, its failure and its measurements (a JSON array of objects with
-- step, name, unit, value, low, high, passed), in one transaction.
DROP FUNCTION ftmline.store_run(text, text, text, text, text, text, text, timestamptz, timestamptz, json);
CREATE FUNCTION ftmline.store_run(p_run_id text, p_hwid text, p_verdict text, p_plan_name text, p_plan_md5 text,
                                  p_station text, p_operator text, p_started timestamptz, p_ended timestamptz,
                                  p_record json, p_failed_step text, p_failed_reply text,
                                  p_measurements json) RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
BEGIN
  INSERT INTO runs (run_id, hwid, verdict, plan_name, plan_md5, station, operator, started_at, ended_at, record,
                    failed_step, failed_reply)
    VALUES (p_run_id, p_hwid, p_verdict, p_plan_name, p_plan_md5, p_station, p_operator, p_started, p_ended,
            p_record, p_failed_step, p_failed_reply)
    ON CONFLICT (run_id) DO NOTHING;
  IF NOT FOUND THEN
    RETURN false;
  END IF;
  INSERT INTO measurements (run_id, step, plan_name, started_at, name, unit, value, low, high, passed)
    SELECT p_run_id, m.step, p_plan_name, p_started, m.name, m.unit, m.value, m.low, m.high, m.passed
    FROM json_to_recordset(p_measurements) AS m (step integer, name text, unit text, value double precision,
                                                  low double precision, high double precision, passed boolean);
  PERFORM log_event('record', p_hwid, p_station, p_operator,
                    format('run %s %s, plan %s', p_run_id, p_verdict, p_plan_name));
  RETURN true;
END $$;

-- One row per station; the view LISTENs on ftmline_stations.
CREATE FUNCTION ftmline.publish_station(p_name text, p_host text, p_outbox bigint, p_slots json) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
BEGIN
  INSERT INTO stations (name, host, published_at, outbox_waiting, slots)
    VALUES (p_name, p_host, now(), p_outbox, p_slots)
    ON CONFLICT (name) DO UPDATE SET host = excluded.host, published_at = excluded.published_at,
      outbox_waiting = excluded.outbox_waiting, slots = excluded.slots;
  PERFORM pg_notify('ftmline_stations', p_name);
END $$;

REVOKE ALL ON ALL FUNCTIONS IN SCHEMA ftmline FROM PUBLIC;
GRANT SELECT ON ftmline.measurements, ftmline.stations TO ftmline_station;
GRANT EXECUTE ON FUNCTION
  ftmline.store_run(text, text, text, text, text, text, text, timestamptz, timestamptz, json, text, text, json),
  ftmline.publish_station(text, text, bigint, json)
  TO ftmline_station;
)sql",
};

static_assert(std::size(kPgSchemaSteps) == kSchemaVersion);

}  // namespace ftmd::line
