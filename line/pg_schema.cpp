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
    // 3: the pools as positions. The k-th unit takes the k-th value of every
    // pool, so an assign writes one row: its unit, whose unique position is
    // its claim and whose assignment is its assign event.
    R"sql(
-- Existing units are numbered in the order they were assigned; each pool's
-- values are numbered so that the values a unit holds sit at its number,
-- and the free ones follow in import order. That needs pools and units that
-- agree: every value taken is held by the unit it names, as void as it is,
-- and every unit holds one value of each pool.
DO $$
DECLARE
  units_count bigint := (SELECT count(*) FROM ftmline.units);
  bad text;
BEGIN
  SELECT format('%s %s is %s for %s, which does not hold it', s.kind, s.value, s.state, s.hwid) INTO bad
    FROM ftmline.serials s LEFT JOIN ftmline.units u ON u.hwid = s.hwid
    WHERE s.state <> 'free' AND (u.hwid IS NULL OR s.value <> CASE s.kind WHEN 'sn' THEN u.sn ELSE u.csn END
                                 OR (s.state = 'void') <> (u.state = 'void'))
    ORDER BY s.id LIMIT 1;
  IF bad IS NULL THEN
    SELECT format('the MAC pair from %s is %s for %s, which does not hold it', ftmline.mac_text(m.lan4), m.state,
                  m.hwid) INTO bad
      FROM ftmline.mac_pairs m LEFT JOIN ftmline.units u ON u.hwid = m.hwid
      WHERE m.state <> 'free' AND (u.hwid IS NULL OR m.lan4 <> u.lan4 OR (m.state = 'void') <> (u.state = 'void'))
      ORDER BY m.id LIMIT 1;
  END IF;
  IF bad IS NULL THEN
    SELECT format('the %s pool has %s values taken, but there are %s units', p.pool, p.taken, units_count) INTO bad
      FROM (SELECT 'sn' AS pool, (SELECT count(*) FROM ftmline.serials WHERE kind = 'sn' AND state <> 'free') AS taken
            UNION ALL SELECT 'csn', (SELECT count(*) FROM ftmline.serials WHERE kind = 'csn' AND state <> 'free')
            UNION ALL SELECT 'mac', (SELECT count(*) FROM ftmline.mac_pairs WHERE state <> 'free')) AS p
      WHERE p.taken <> units_count LIMIT 1;
  END IF;
  IF bad IS NOT NULL THEN
    RAISE EXCEPTION 'cannot upgrade the line database to schema version 3: %', bad;
  END IF;
END $$;

ALTER TABLE ftmline.units ADD COLUMN n bigint, ADD COLUMN assigned_role text, ADD COLUMN assign_event bigint;
UPDATE ftmline.units u SET n = o.n
  FROM (SELECT hwid, row_number() OVER (ORDER BY assigned_at, hwid) AS n FROM ftmline.units) AS o
  WHERE o.hwid = u.hwid;
-- A unit's values are those at its position n: its n is unique, so no value
-- is held twice. The assignment of a unit upgraded from version 2 has its
-- event in the event log; a later one is its own event (assign_event, by
-- the event log's sequence, and the database role that assigned it).
ALTER TABLE ftmline.units ALTER COLUMN n SET NOT NULL, ADD CONSTRAINT units_n_key UNIQUE (n),
  ADD CHECK (n > 0), ADD CHECK ((assign_event IS NULL) = (assigned_role IS NULL)),
  DROP CONSTRAINT units_sn_key, DROP CONSTRAINT units_csn_key, DROP CONSTRAINT units_lan4_key,
  ALTER COLUMN assigned_role SET DEFAULT session_user,
  ALTER COLUMN assign_event SET DEFAULT nextval('ftmline.events_id_seq');

ALTER TABLE ftmline.serials ADD COLUMN pos bigint;
UPDATE ftmline.serials s SET pos = u.n FROM ftmline.units u WHERE s.state <> 'free' AND u.hwid = s.hwid;
UPDATE ftmline.serials s SET pos = f.pos
  FROM (SELECT id, (SELECT count(*) FROM ftmline.units) + row_number() OVER (PARTITION BY kind ORDER BY id) AS pos
        FROM ftmline.serials WHERE state = 'free') AS f
  WHERE f.id = s.id;
ALTER TABLE ftmline.serials DROP COLUMN state, DROP COLUMN hwid, DROP COLUMN id;
ALTER TABLE ftmline.serials ALTER COLUMN pos SET NOT NULL, ADD PRIMARY KEY (kind, pos), ADD CHECK (pos > 0),
  SET (fillfactor = 100);

ALTER TABLE ftmline.mac_pairs ADD COLUMN pos bigint;
UPDATE ftmline.mac_pairs m SET pos = u.n FROM ftmline.units u WHERE m.state <> 'free' AND u.hwid = m.hwid;
UPDATE ftmline.mac_pairs m SET pos = f.pos
  FROM (SELECT id, (SELECT count(*) FROM ftmline.units) + row_number() OVER (ORDER BY id) AS pos
        FROM ftmline.mac_pairs WHERE state = 'free') AS f
  WHERE f.id = m.id;
ALTER TABLE ftmline.mac_pairs DROP COLUMN state, DROP COLUMN hwid, DROP COLUMN id;
ALTER TABLE ftmline.mac_pairs ALTER COLUMN pos SET NOT NULL, ADD PRIMARY KEY (pos), ADD CHECK (pos > 0),
  SET (fillfactor = 100);

DROP FUNCTION ftmline.take_again(text, text), ftmline.move_cursor(text, bigint);
DROP TABLE ftmline.pool_cursors;

-- The next position to take. Not transactional: a position whose
-- transaction rolled back (or a killed process, or the values a restart
-- skips) is a gap below it, which first_free finds once the sequence has
-- passed the end of the pools.
CREATE SEQUENCE ftmline.unit_n;
SELECT setval('ftmline.unit_n', max(n)) FROM ftmline.units HAVING count(*) > 0;

-- A unit's assignment is an event of the audit log: never changed, never
-- deleted (its state, provisioning and voiding change, in order).
CREATE FUNCTION ftmline.refuse_unit_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  RAISE EXCEPTION 'the audit log is append-only (a unit''s assignment is part of it)';
END $$;
CREATE TRIGGER units_keep_assignment
  BEFORE UPDATE OF hwid, n, sn, csn, lan4, assigned_at, assigned_station, assigned_operator, assigned_role,
    assign_event OR DELETE ON ftmline.units
  FOR EACH ROW EXECUTE FUNCTION ftmline.refuse_unit_change();
CREATE TRIGGER units_no_truncate BEFORE TRUNCATE ON ftmline.units
  FOR EACH STATEMENT EXECUTE FUNCTION ftmline.refuse_unit_change();

-- The audit log: the events, and the assignments that are their own event.
CREATE VIEW ftmline.audit_log AS
  SELECT id, at, kind, hwid, station, operator, db_role, detail FROM ftmline.events
  UNION ALL
  SELECT assign_event, assigned_at, 'assign', hwid, assigned_station, assigned_operator, assigned_role,
         'sn ' || sn || ', csn ' || csn || ', macs ' || ftmline.mac_text(lan4) || ' ' || ftmline.mac_text(lan4 + 1)
  FROM ftmline.units WHERE assign_event IS NOT NULL;

-- The first position below the end of every pool that no unit holds, for
-- an assign whose position from the sequence is past the end of a pool: a
-- position whose claim rolled back, or the first one never taken. Raises
-- FL002 naming the pools that are used up. When no position below the
-- first free one is free, the sequence continues from there: a refused
-- assign takes no position, and the one after an import takes the first
-- value imported.
CREATE FUNCTION ftmline.first_free() RETURNS bigint
LANGUAGE plpgsql SET search_path = ftmline, pg_temp SET enable_seqscan = off AS $$
DECLARE
  sn_end bigint := coalesce((SELECT max(pos) FROM serials WHERE kind = 'sn'), 0);
  csn_end bigint := coalesce((SELECT max(pos) FROM serials WHERE kind = 'csn'), 0);
  mac_end bigint := coalesce((SELECT max(pos) FROM mac_pairs), 0);
  top bigint := least(sn_end, csn_end, mac_end);
  held bigint;
  free bigint;
  empty text[] := '{}';
BEGIN
  SELECT count(*), min(o.r) FILTER (WHERE o.n <> o.r) INTO held, free
    FROM (SELECT n, row_number() OVER (ORDER BY n) AS r FROM units) AS o;
  IF free IS NULL THEN
    free := held + 1;
    PERFORM setval('unit_n', free, free <= top);  -- taken here, or the next one to take
  END IF;
  IF free <= top THEN
    RETURN free;
  END IF;
  IF sn_end < free THEN empty := empty || 'sn'::text; END IF;
  IF csn_end < free THEN empty := empty || 'csn'::text; END IF;
  IF mac_end < free THEN empty := empty || 'mac'::text; END IF;
  RAISE EXCEPTION USING ERRCODE = 'FL002', MESSAGE = json_build_object('pools', empty)::text;
END $$;

-- Every statement here looks a row up by a unique key: a plan that scans a
-- table (one a session cached while the table was small) never is right.
CREATE OR REPLACE FUNCTION ftmline.assign(p_hwid text, p_station text, p_operator text,
                                          OUT o_sn text, OUT o_csn text, OUT o_lan4 bigint, OUT o_new boolean)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp SET enable_seqscan = off AS $$
DECLARE
  u units%ROWTYPE;
  k bigint;
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
  k := nextval('unit_n');
  SELECT s.value, c.value, m.lan4 INTO o_sn, o_csn, o_lan4 FROM serials s, serials c, mac_pairs m
    WHERE s.kind = 'sn' AND s.pos = k AND c.kind = 'csn' AND c.pos = k AND m.pos = k;
  IF NOT FOUND THEN
    k := first_free();
    SELECT s.value, c.value, m.lan4 INTO o_sn, o_csn, o_lan4 FROM serials s, serials c, mac_pairs m
      WHERE s.kind = 'sn' AND s.pos = k AND c.kind = 'csn' AND c.pos = k AND m.pos = k;
  END IF;
  -- Another station taking the same hardware id or the same position
  -- meanwhile makes this a unique violation: the attempt is rolled back and
  -- the next one finds the unit, or takes another position.
  INSERT INTO units (hwid, n, sn, csn, lan4, state, assigned_station, assigned_operator)
    VALUES (p_hwid, k, o_sn, o_csn, o_lan4, 'assigned', p_station, p_operator);
  o_new := true;
END $$;

CREATE OR REPLACE FUNCTION ftmline.void_unit(p_hwid text, p_reason text, p_station text, p_operator text)
RETURNS void
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
  UPDATE units SET state = 'void', voided_at = now(), void_reason = p_reason WHERE hwid = p_hwid;
  PERFORM log_event('void', p_hwid, p_station, p_operator, p_reason);
END $$;

CREATE OR REPLACE FUNCTION ftmline.import_macs(p_first bigint, p_count bigint, p_station text, p_operator text)
RETURNS bigint
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
DECLARE
  other mac_blocks%ROWTYPE;
  block bigint;
  last bigint;
BEGIN
  -- One import at a time, so the overlap check sees every block and the
  -- positions follow on.
  LOCK TABLE mac_blocks IN SHARE ROW EXCLUSIVE MODE;
  SELECT * INTO other FROM mac_blocks
    WHERE first_mac < p_first + p_count AND p_first < first_mac + count ORDER BY first_mac LIMIT 1;
  IF FOUND THEN
    RAISE EXCEPTION USING ERRCODE = 'FL004', MESSAGE =
      json_build_object('first', p_first, 'count', p_count, 'other_first', other.first_mac,
                        'other_count', other.count, 'at', iso(other.imported_at))::text;
  END IF;
  INSERT INTO mac_blocks (first_mac, count) VALUES (p_first, p_count) RETURNING id INTO block;
  last := coalesce((SELECT max(pos) FROM mac_pairs), 0);
  INSERT INTO mac_pairs (pos, lan4, block_id)
    SELECT last + i + 1, p_first + 2 * i, block FROM generate_series(0, p_count / 2 - 1) AS i;
  -- Statistics for the planner before the first unit takes a pair.
  ANALYZE mac_pairs;
  PERFORM log_event('import', NULL, p_station, p_operator,
                    format('macs %s to %s, %s %s', mac_text(p_first), mac_text(p_first + p_count - 1),
                           p_count / 2, CASE WHEN p_count = 2 THEN 'pair' ELSE 'pairs' END));
  RETURN p_count / 2;
END $$;

CREATE OR REPLACE FUNCTION ftmline.import_serials(p_kind text, p_values text[], p_station text, p_operator text)
RETURNS bigint
LANGUAGE plpgsql SECURITY DEFINER SET search_path = ftmline, pg_temp AS $$
DECLARE
  total bigint;
  named text[];
  last bigint;
BEGIN
  -- One import at a time, so the positions follow on (assigns only read).
  LOCK TABLE serials IN SHARE ROW EXCLUSIVE MODE;
  SELECT count(*) INTO total FROM unnest(p_values) AS v (x) JOIN serials s ON s.kind = p_kind AND s.value = v.x;
  IF total > 0 THEN
    SELECT array_agg(x ORDER BY n) INTO named FROM (
      SELECT v.x, v.n FROM unnest(p_values) WITH ORDINALITY AS v (x, n)
        JOIN serials s ON s.kind = p_kind AND s.value = v.x ORDER BY v.n LIMIT 5) AS d;
    RAISE EXCEPTION USING ERRCODE = 'FL005', MESSAGE =
      json_build_object('kind', p_kind, 'total', total, 'values', named)::text;
  END IF;
  last := coalesce((SELECT max(pos) FROM serials WHERE kind = p_kind), 0);
  INSERT INTO serials (kind, pos, value)
    SELECT p_kind, last + v.n, v.x FROM unnest(p_values) WITH ORDINALITY AS v (x, n);
  ANALYZE serials;
  PERFORM log_event('import', NULL, p_station, p_operator,
                    format('%s %s %s %s to %s', p_kind, cardinality(p_values),
                           CASE WHEN cardinality(p_values) = 1 THEN 'value' ELSE 'values' END, p_values[1],
                           p_values[cardinality(p_values)]));
  RETURN cardinality(p_values);
END $$;

REVOKE ALL ON ALL FUNCTIONS IN SCHEMA ftmline FROM PUBLIC;
GRANT SELECT ON ftmline.audit_log TO ftmline_station;
)sql",
};

static_assert(std::size(kPgSchemaSteps) == kSchemaVersion);

}  // namespace ftmd::line
