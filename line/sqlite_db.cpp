// The line database in one SQLite file, the embedded default for a single
// station. Several processes may share the file: WAL mode, a busy timeout,
// and every transaction that writes starts with BEGIN IMMEDIATE, so writers
// queue for the file's lock instead of failing half-way on a lock upgrade.
// synchronous=FULL: a committed assignment survives a power cut.
//
// All of this back end's SQL is in this file.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/c_handle.h"
#include "line/backend.h"
#include "pc/identity_rules.h"

namespace ftmd::line {
namespace {

// ---- the schema: step N brings version N --------------------------------

// A MAC number as "00:1B:2C:3D:4E:5F".
#define MAC_BYTE(m, shift) "(" m ") >> " shift " & 255, "
#define MAC_BYTES(m) MAC_BYTE(m, "40") MAC_BYTE(m, "32") MAC_BYTE(m, "24") MAC_BYTE(m, "16") MAC_BYTE(m, "8")
#define MAC_TEXT(m) "printf('%02X:%02X:%02X:%02X:%02X:%02X', " MAC_BYTES(m) "(" m ") & 255)"
// An assignment's event detail: "sn S1, csn C1, macs 00:1B:2C:3D:4E:5F 00:1B:2C:3D:4E:60".
#define ASSIGN_DETAIL \
  "'sn ' || sn || ', csn ' || csn || ', macs ' || " MAC_TEXT("lan4") " || ' ' || " MAC_TEXT("lan4 + 1")

constexpr const char* kSchemaSteps[] = {
    // 1: pools, units, runs and the event log.
    R"sql(
CREATE TABLE meta (schema_version INTEGER NOT NULL) STRICT;
INSERT INTO meta VALUES (0);
CREATE TABLE mac_blocks (
  id INTEGER PRIMARY KEY,
  first_mac INTEGER NOT NULL,
  count INTEGER NOT NULL CHECK (count > 0 AND count % 2 = 0),
  imported_at TEXT NOT NULL,
  CHECK (first_mac > 0 AND (first_mac >> 40) & 1 = 0 AND first_mac % 16777216 + count <= 16777216)) STRICT;
CREATE TABLE mac_pairs (
  id INTEGER PRIMARY KEY,
  lan4 INTEGER NOT NULL UNIQUE,
  block_id INTEGER NOT NULL REFERENCES mac_blocks (id),
  state TEXT NOT NULL DEFAULT 'free' CHECK (state IN ('free', 'assigned', 'void')),
  hwid TEXT,
  CHECK ((state = 'free') = (hwid IS NULL))) STRICT;
CREATE INDEX mac_pairs_free ON mac_pairs (id) WHERE state = 'free';
CREATE TABLE serials (
  id INTEGER PRIMARY KEY,
  kind TEXT NOT NULL CHECK (kind IN ('sn', 'csn')),
  value TEXT NOT NULL,
  state TEXT NOT NULL DEFAULT 'free' CHECK (state IN ('free', 'assigned', 'void')),
  hwid TEXT,
  imported_at TEXT NOT NULL,
  CHECK ((state = 'free') = (hwid IS NULL)),
  UNIQUE (kind, value)) STRICT;
CREATE INDEX serials_free ON serials (kind, id) WHERE state = 'free';
CREATE INDEX serials_value ON serials (value);
CREATE TABLE units (
  hwid TEXT PRIMARY KEY,
  sn TEXT NOT NULL UNIQUE,
  csn TEXT NOT NULL UNIQUE,
  lan4 INTEGER NOT NULL UNIQUE,
  state TEXT NOT NULL CHECK (state IN ('assigned', 'provisioned', 'void')),
  assigned_at TEXT NOT NULL,
  assigned_station TEXT NOT NULL,
  assigned_operator TEXT NOT NULL,
  provisioned_at TEXT,
  voided_at TEXT,
  void_reason TEXT) STRICT;
CREATE TABLE runs (
  run_id TEXT PRIMARY KEY,
  hwid TEXT NOT NULL,
  verdict TEXT NOT NULL CHECK (verdict IN ('passed', 'failed', 'aborted')),
  plan_name TEXT NOT NULL,
  plan_md5 TEXT NOT NULL,
  station TEXT NOT NULL,
  operator TEXT NOT NULL,
  started_at TEXT NOT NULL,
  ended_at TEXT NOT NULL,
  record TEXT NOT NULL CHECK (json_valid(record)),
  stored_at TEXT NOT NULL) STRICT;
CREATE INDEX runs_hwid ON runs (hwid, plan_name);
CREATE TABLE events (
  id INTEGER PRIMARY KEY,
  at TEXT NOT NULL,
  kind TEXT NOT NULL CHECK (kind IN ('import', 'assign', 'provision', 'record', 'void')),
  hwid TEXT,
  station TEXT NOT NULL,
  operator TEXT NOT NULL,
  detail TEXT NOT NULL) STRICT;
CREATE INDEX events_hwid ON events (hwid);
CREATE TRIGGER events_no_update BEFORE UPDATE ON events
  BEGIN SELECT RAISE(ABORT, 'the audit log is append-only'); END;
CREATE TRIGGER events_no_delete BEFORE DELETE ON events
  BEGIN SELECT RAISE(ABORT, 'the audit log is append-only'); END;
)sql",
    // 2: the line view: a run's failure and measurements, stations' state.
    R"sql(
ALTER TABLE runs ADD COLUMN failed_step TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN failed_reply TEXT NOT NULL DEFAULT '';
CREATE INDEX runs_started ON runs (started_at);
CREATE TABLE measurements (
  run_id TEXT NOT NULL REFERENCES runs (run_id),
  step INTEGER NOT NULL,
  plan_name TEXT NOT NULL,
  started_at TEXT NOT NULL,
  name TEXT NOT NULL,
  unit TEXT NOT NULL,
  value REAL NOT NULL,
  low REAL,
  high REAL,
  passed INTEGER NOT NULL CHECK (passed IN (0, 1)),
  PRIMARY KEY (run_id, step)) STRICT;
CREATE INDEX measurements_started ON measurements (started_at);
CREATE TABLE stations (
  name TEXT PRIMARY KEY,
  host TEXT NOT NULL,
  published_at TEXT NOT NULL,
  outbox_waiting INTEGER NOT NULL CHECK (outbox_waiting >= 0),
  slots TEXT NOT NULL CHECK (json_valid(slots))) STRICT;
)sql",
    // 3: the pools as positions. The k-th unit (units.n, its row id) takes
    // the k-th value of every pool, so an assign writes one row: its unit,
    // whose assignment is its assign event. Existing units are numbered in
    // the order they were assigned; each pool's values are numbered so that
    // the values a unit holds sit at its number, and the free ones follow in
    // import order (kUpgradeProblem checks first that pools and units agree).
    R"sql(
CREATE TABLE units_v3 (
  n INTEGER PRIMARY KEY CHECK (n > 0),
  hwid TEXT NOT NULL UNIQUE,
  sn TEXT NOT NULL,
  csn TEXT NOT NULL,
  lan4 INTEGER NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('assigned', 'provisioned', 'void')),
  assigned_at TEXT NOT NULL,
  assigned_station TEXT NOT NULL,
  assigned_operator TEXT NOT NULL,
  assign_event INTEGER,
  provisioned_at TEXT,
  voided_at TEXT,
  void_reason TEXT) STRICT;
INSERT INTO units_v3 (n, hwid, sn, csn, lan4, state, assigned_at, assigned_station, assigned_operator,
                      provisioned_at, voided_at, void_reason)
  SELECT row_number() OVER (ORDER BY assigned_at, hwid), hwid, sn, csn, lan4, state, assigned_at,
         assigned_station, assigned_operator, provisioned_at, voided_at, void_reason
  FROM units;
CREATE TABLE serials_v3 (
  kind TEXT NOT NULL CHECK (kind IN ('sn', 'csn')),
  pos INTEGER NOT NULL CHECK (pos > 0),
  value TEXT NOT NULL,
  imported_at TEXT NOT NULL,
  PRIMARY KEY (kind, pos),
  UNIQUE (kind, value)) STRICT, WITHOUT ROWID;
INSERT INTO serials_v3 (kind, pos, value, imported_at)
  SELECT s.kind, CASE WHEN s.state = 'free'
           THEN (SELECT count(*) FROM units) + row_number() OVER (PARTITION BY s.kind, s.state = 'free' ORDER BY s.id)
           ELSE u.n END, s.value, s.imported_at
  FROM serials s LEFT JOIN units_v3 u ON u.hwid = s.hwid;
CREATE TABLE mac_pairs_v3 (
  pos INTEGER PRIMARY KEY CHECK (pos > 0),
  lan4 INTEGER NOT NULL UNIQUE,
  block_id INTEGER NOT NULL REFERENCES mac_blocks (id)) STRICT;
INSERT INTO mac_pairs_v3 (pos, lan4, block_id)
  SELECT CASE WHEN m.state = 'free'
           THEN (SELECT count(*) FROM units) + row_number() OVER (PARTITION BY m.state = 'free' ORDER BY m.id)
           ELSE u.n END, m.lan4, m.block_id
  FROM mac_pairs m LEFT JOIN units_v3 u ON u.hwid = m.hwid;
DROP TABLE units;
DROP TABLE serials;
DROP TABLE mac_pairs;
ALTER TABLE units_v3 RENAME TO units;
ALTER TABLE serials_v3 RENAME TO serials;
ALTER TABLE mac_pairs_v3 RENAME TO mac_pairs;

-- A unit's assignment is an event of the audit log: never changed, never
-- deleted (its state, provisioning and voiding change, in order).
CREATE TRIGGER units_keep_assignment
  BEFORE UPDATE OF n, hwid, sn, csn, lan4, assigned_at, assigned_station, assigned_operator, assign_event ON units
  BEGIN SELECT RAISE(ABORT, 'the audit log is append-only (a unit''s assignment is part of it)'); END;
CREATE TRIGGER units_no_delete BEFORE DELETE ON units
  BEGIN SELECT RAISE(ABORT, 'the audit log is append-only (a unit''s assignment is part of it)'); END;

-- The audit log: the events, and the assignments that are their own event
-- (a unit upgraded from version 2 has its assign event in events).
CREATE VIEW audit_log AS
  SELECT id, at, kind, hwid, station, operator, detail FROM events
  UNION ALL
  SELECT assign_event, assigned_at, 'assign', hwid, assigned_station, assigned_operator,
         )sql" ASSIGN_DETAIL R"sql(
  FROM units WHERE assign_event IS NOT NULL;
)sql",
};
static_assert(std::size(kSchemaSteps) == kSchemaVersion);

// ---- statements -----------------------------------------------------------

// Times as UTC text in one shape ("2026-12-05T18:32:28.123Z"), so they sort.
#define ISO(time) "strftime('%Y-%m-%dT%H:%M:%fZ', " time ")"
#define NOW ISO("'now'")

constexpr const char* kHasMeta = "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'meta'";
constexpr const char* kVersion = "SELECT schema_version FROM meta";
constexpr const char* kSetVersion = "UPDATE meta SET schema_version = ?";
// The next event's id, after every event and every assignment: writers take
// turns, so the last unit's assignment is the latest.
#define NEXT_EVENT                                          \
  "(SELECT max(coalesce((SELECT max(id) FROM events), 0), " \
  "coalesce((SELECT assign_event FROM units ORDER BY n DESC LIMIT 1), 0)) + 1)"
constexpr const char* kEvent =
    "INSERT INTO events (id, at, kind, hwid, station, operator, detail) VALUES (" NEXT_EVENT ", " NOW
    ", ?, ?, ?, ?, ?)";

constexpr const char* kOverlap =
    "SELECT first_mac, count, imported_at FROM mac_blocks WHERE first_mac < ?1 + ?2 AND ?1 < first_mac + "
    "count "
    "ORDER BY first_mac LIMIT 1";
constexpr const char* kAddBlock =
    "INSERT INTO mac_blocks (first_mac, count, imported_at) VALUES (?, ?, " NOW ") RETURNING id";
constexpr const char* kAddPair = "INSERT INTO mac_pairs (lan4, block_id) VALUES (?, ?)";
constexpr const char* kAddSerial =
    "INSERT INTO serials (kind, pos, value, imported_at) "
    "VALUES (?1, (SELECT coalesce(max(pos), 0) + 1 FROM serials WHERE kind = ?1), ?2, " NOW
    ") ON CONFLICT DO NOTHING";

constexpr const char* kUnitState = "SELECT state, coalesce(void_reason, '') FROM units WHERE hwid = ?";
constexpr const char* kUnitIdentity =
    "SELECT sn, csn, lan4, state, coalesce(void_reason, '') FROM units WHERE hwid = ?";
// The next unit's position and the values there ("" for a pool that has
// none: it is used up; no position is ever skipped, writers take turns).
constexpr const char* kNextIdentity =
    "SELECT k.n, coalesce(s.value, ''), coalesce(c.value, ''), coalesce(m.lan4, '') "
    "FROM (SELECT coalesce(max(n), 0) + 1 AS n FROM units) AS k "
    "LEFT JOIN serials s ON s.kind = 'sn' AND s.pos = k.n "
    "LEFT JOIN serials c ON c.kind = 'csn' AND c.pos = k.n "
    "LEFT JOIN mac_pairs m ON m.pos = k.n";
constexpr const char* kAddUnit =
    "INSERT INTO units (n, hwid, sn, csn, lan4, state, assigned_at, assigned_station, assigned_operator, "
    "assign_event) VALUES (?, ?, ?, ?, ?, 'assigned', " NOW ", ?, ?, " NEXT_EVENT ")";
constexpr const char* kProvision =
    "UPDATE units SET state = 'provisioned', provisioned_at = " NOW " WHERE hwid = ? AND state = 'assigned'";
constexpr const char* kVoidUnit =
    "UPDATE units SET state = 'void', voided_at = " NOW ", void_reason = ? WHERE hwid = ?";
constexpr const char* kAddRun =
    "INSERT INTO runs (run_id, hwid, verdict, plan_name, plan_md5, station, operator, started_at, ended_at, "
    "record, stored_at, failed_step, failed_reply) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, " ISO("?8") ", " ISO(
        "?9") ", ?10, " NOW
              ", ?11, ?12) "
              "ON CONFLICT (run_id) DO NOTHING";
constexpr const char* kAddMeasurement =
    "INSERT INTO measurements (run_id, step, plan_name, started_at, name, unit, value, low, high, passed) "
    "SELECT ?1, ?2, plan_name, started_at, ?3, ?4, ?5, ?6, ?7, ?8 FROM runs WHERE run_id = ?1";
constexpr const char* kAllRuns = "SELECT run_id, record FROM runs";
// The upgrade to version 3: the first way in which the pools and the units
// disagree, if any (every value taken is held by the unit it names, as void
// as it is, and every unit holds one value of each pool).
constexpr const char* kUpgradeProblem =
    "SELECT s.kind || ' ' || s.value || ' is ' || s.state || ' for ' || s.hwid || ', which does not hold it' "
    "FROM serials s LEFT JOIN units u ON u.hwid = s.hwid WHERE s.state <> 'free' AND (u.hwid IS NULL OR "
    "s.value <> CASE s.kind WHEN 'sn' THEN u.sn ELSE u.csn END OR (s.state = 'void') <> (u.state = 'void')) "
    "UNION ALL SELECT 'the MAC pair from ' || " MAC_TEXT("m.lan4") " || ' is ' || m.state || ' for ' || m.hwid "
    "|| ', which does not hold it' FROM mac_pairs m LEFT JOIN units u ON u.hwid = m.hwid WHERE m.state <> "
    "'free' AND (u.hwid IS NULL OR m.lan4 <> u.lan4 OR (m.state = 'void') <> (u.state = 'void')) "
    "UNION ALL SELECT 'the ' || pool || ' pool has ' || taken || ' values taken, but there are ' || "
    "(SELECT count(*) FROM units) || ' units' FROM (SELECT 'sn' AS pool, (SELECT count(*) FROM serials "
    "WHERE kind = 'sn' AND state <> 'free') AS taken UNION ALL SELECT 'csn', (SELECT count(*) FROM serials "
    "WHERE kind = 'csn' AND state <> 'free') UNION ALL SELECT 'mac', (SELECT count(*) FROM mac_pairs WHERE "
    "state <> 'free')) WHERE taken <> (SELECT count(*) FROM units) LIMIT 1";
constexpr const char* kSetFailure = "UPDATE runs SET failed_step = ?2, failed_reply = ?3 WHERE run_id = ?1";
constexpr const char* kRoute =
    "SELECT count(*), coalesce(sum(verdict = 'passed'), 0), coalesce(sum(verdict = 'failed'), 0), "
    "coalesce(sum(verdict = 'aborted'), 0) FROM runs WHERE hwid = ? AND plan_name = ?";

// A unit holds the values at its position n of every pool.
constexpr const char* kFindUnits =
    "SELECT hwid FROM units WHERE hwid = ?1 UNION "
    "SELECT u.hwid FROM serials s JOIN units u ON u.n = s.pos WHERE s.kind IN ('sn', 'csn') AND s.value = ?1 "
    "UNION SELECT u.hwid FROM mac_pairs m JOIN units u ON u.n = m.pos WHERE m.lan4 IN (?2, ?2 - 1) ORDER BY "
    "hwid";
constexpr const char* kUnitReport =
    "SELECT sn, csn, lan4, state, assigned_at, assigned_station, assigned_operator, coalesce(provisioned_at, "
    "''), "
    "coalesce(voided_at, ''), coalesce(void_reason, '') FROM units WHERE hwid = ?";
constexpr const char* kUnitRuns =
    "SELECT run_id, verdict, plan_name, plan_md5, station, operator, started_at, ended_at FROM runs "
    "WHERE hwid = ? ORDER BY started_at, run_id";
// A pool value's state, from the unit u holding it (none: free).
#define VALUE_STATE "CASE WHEN u.n IS NULL THEN 'free' WHEN u.state = 'void' THEN 'void' ELSE 'assigned' END"
constexpr const char* kFindValues =
    "SELECT s.kind, s.value, " VALUE_STATE
    ", coalesce(u.hwid, '') "
    "FROM serials s LEFT JOIN units u ON u.n = s.pos WHERE s.kind IN ('sn', 'csn') AND s.value = ?1 "
    "UNION ALL SELECT 'mac', m.lan4, " VALUE_STATE
    ", coalesce(u.hwid, '') "
    "FROM mac_pairs m LEFT JOIN units u ON u.n = m.pos WHERE m.lan4 IN (?2, ?2 - 1)";
#undef VALUE_STATE
// Every unit holds one value of each pool.
constexpr const char* kLevels =
    "WITH u AS (SELECT count(*) AS units, coalesce(sum(state = 'void'), 0) AS void FROM units) "
    "SELECT p.pool, p.imported, u.units - u.void, u.void, p.imported - u.units FROM u, "
    "(SELECT kind AS pool, count(*) AS imported FROM serials GROUP BY kind "
    "UNION ALL SELECT 'mac', count(*) FROM mac_pairs) AS p";
constexpr const char* kAudit =
    "SELECT id, at, kind, coalesce(hwid, ''), station, operator, detail FROM audit_log "
    "WHERE ?1 = '' OR hwid = ?1 ORDER BY id DESC LIMIT ?2";

// ---- the line view ----

constexpr const char* kPublish =
    "INSERT INTO stations (name, host, published_at, outbox_waiting, slots) VALUES (?1, ?2, " NOW
    ", ?3, ?4) "
    "ON CONFLICT (name) DO UPDATE SET host = excluded.host, published_at = excluded.published_at, "
    "outbox_waiting = excluded.outbox_waiting, slots = excluded.slots";
constexpr const char* kStations =
    "SELECT name, host, published_at, outbox_waiting, slots, "
    "CAST(round((julianday('now') - julianday(published_at)) * 86400000) AS INTEGER) FROM stations ORDER BY "
    "name";
constexpr const char* kDataVersion = "PRAGMA data_version";

// ?1 since, ?2 until (never empty here), ?3 plan or ''.
#define IN_PERIOD(t) t "started_at >= ?1 AND " t "started_at < ?2 AND (?3 = '' OR " t "plan_name = ?3)"
#define QUARTER "CAST(strftime('%s', started_at) AS INTEGER) / 900"

// A unit counts where its first try is; its tries are its runs of the plan
// that were not aborted. Only units with a try in the period are looked at.
constexpr const char* kYield =
    "WITH recent AS (SELECT DISTINCT hwid, plan_name FROM runs WHERE " IN_PERIOD("") " AND verdict <> 'aborted'), "
    "tries AS (SELECT r.plan_name, r.station, r.started_at, r.verdict, row_number() OVER w AS n, "
    "count(*) OVER (PARTITION BY r.hwid, r.plan_name) AS total, "
    "last_value(r.verdict) OVER (w ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING) AS latest "
    "FROM runs r JOIN recent USING (hwid, plan_name) WHERE r.verdict <> 'aborted' "
    "WINDOW w AS (PARTITION BY r.hwid, r.plan_name ORDER BY r.started_at, r.run_id)) "
    "SELECT plan_name, station, " QUARTER ", count(*), sum(verdict = 'passed'), sum(latest = 'passed'), "
    "sum(total - 1), 0 FROM tries WHERE n = 1 AND started_at >= ?1 AND started_at < ?2 GROUP BY 1, 2, 3 "
    "UNION ALL SELECT plan_name, station, " QUARTER ", 0, 0, 0, 0, count(*) FROM runs "
    "WHERE verdict = 'aborted' AND " IN_PERIOD("") " GROUP BY 1, 2, 3 ORDER BY 1, 2, 3";
constexpr const char* kFailuresByStep =
    "SELECT failed_step, '', count(*) FROM runs WHERE verdict = 'failed' AND " IN_PERIOD(
        "") " GROUP BY 1 ORDER BY 3 DESC, 1 LIMIT ?4";
constexpr const char* kFailuresByReply =
    "SELECT failed_step, failed_reply, count(*) FROM runs WHERE verdict = 'failed' AND " IN_PERIOD(
        "") " GROUP BY 1, 2 ORDER BY 3 DESC, 1, 2 LIMIT ?4";

// A run and the identity of its unit, as RunRow has them; ?9 says whether
// to give the record.
#define RUN_ROW                                                                                              \
  "SELECT r.run_id, r.hwid, coalesce(u.sn, ''), coalesce(u.csn, ''), coalesce(u.lan4, ''), r.plan_name, "    \
  "r.plan_md5, r.station, r.operator, r.verdict, (SELECT count(*) FROM runs p WHERE p.hwid = r.hwid AND "    \
  "p.plan_name = r.plan_name AND (p.started_at < r.started_at OR (p.started_at = r.started_at AND p.run_id " \
  "<= r.run_id))), r.started_at, r.ended_at, r.failed_step, r.failed_reply, CASE WHEN ?9 THEN r.record "     \
  "ELSE '' END FROM runs r LEFT JOIN units u ON u.hwid = r.hwid "

constexpr const char* kFailedRuns = RUN_ROW "WHERE r.verdict = 'failed' AND " IN_PERIOD(
    "r.") " AND r.failed_step = ?4 AND (?5 IS NULL OR r.failed_reply = ?5) "
          "ORDER BY r.started_at DESC, r.run_id DESC LIMIT ?6";
constexpr const char* kRun = RUN_ROW "WHERE r.run_id = ?4";
constexpr const char* kRunsBetween = RUN_ROW "WHERE " IN_PERIOD(
    "r.") " AND (r.started_at > ?4 OR (r.started_at = ?4 AND r.run_id > ?5)) "
          "ORDER BY r.started_at, r.run_id LIMIT ?6";
constexpr const char* kMeasurementStats =
    "SELECT plan_name, name, unit, low, high, count(*), avg(value), min(value), max(value), "
    "sum((low IS NOT NULL AND value < low) OR (high IS NOT NULL AND value > high)) FROM measurements "
    "WHERE " IN_PERIOD("") " GROUP BY plan_name, name, unit, low, high ORDER BY 1, 2, 3, 4, 5";

#undef RUN_ROW
#undef QUARTER
#undef IN_PERIOD
#undef NEXT_EVENT
#undef NOW
#undef ISO
#undef ASSIGN_DETAIL
#undef MAC_TEXT
#undef MAC_BYTES
#undef MAC_BYTE

// ---- connection, statements and transactions ------------------------------

using Sqlite = CHandle<sqlite3, sqlite3_close_v2>;
using Statement = CHandle<sqlite3_stmt, sqlite3_finalize>;

// A writer waits this long for the file's lock before the transaction
// fails as busy (and is tried again by the caller's retry loop).
constexpr auto kBusyTimeout = std::chrono::seconds(5);

// SQLite's own busy handler sleeps ever longer, up to 100 ms a time, so a
// writer that lost a few times waits far longer than the lock is held. This
// one asks again every 0.5 to 1.5 ms until kBusyTimeout has passed since the
// wait began.
int on_busy(void* started_at, int count) {
  auto* since = static_cast<std::chrono::steady_clock::time_point*>(started_at);
  auto now = std::chrono::steady_clock::now();
  if (count == 0) *since = now;
  if (now - *since >= kBusyTimeout) return 0;
  thread_local std::minstd_rand jitter{std::random_device{}()};
  std::this_thread::sleep_for(std::chrono::microseconds(500 + jitter() % 1000));
  return 1;
}

// How often a watch looks whether the file changed.
constexpr auto kWatchStep = std::chrono::milliseconds(100);

// A value bound to a statement's parameter.
using Param = std::variant<std::nullptr_t, std::int64_t, double, std::string_view>;

Param optional_param(const std::optional<double>& value) { return value ? Param(*value) : Param(nullptr); }

// The period's open bounds as bounds every stored time is within.
constexpr std::string_view kEarliest = "0000";
constexpr std::string_view kLatest = "9999";
std::string_view since_of(const Period& p) { return p.since.empty() ? kEarliest : std::string_view(p.since); }
std::string_view until_of(const Period& p) { return p.until.empty() ? kLatest : std::string_view(p.until); }

std::optional<double> optional_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return std::strtod(text.c_str(), nullptr);
}

RunRow run_row(const Row& r) {
  std::string lan4, lan3;
  if (!r[4].empty()) {
    auto mac = std::stoull(r[4]);
    lan4 = pc::mac_command_form(mac);
    lan3 = pc::mac_command_form(mac + 1);
  }
  return {r[0],  r[1],  r[2],  r[3],  lan4, lan3, r[5], r[6], r[7], r[8], r[9], std::stoll(r[10]),
          r[11], r[12], r[13], r[14], r[15]};
}

Error engine_error(sqlite3* db, int code, const std::string& what) {
  std::string message = what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return {ErrorKind::kRetry, message};
    case SQLITE_CANTOPEN:
      return {ErrorKind::kUnreachable, message};
    default:
      return {ErrorKind::kFailed, message};
  }
}

class SqliteDb final : public LineDb {
 public:
  SqliteDb(std::string path, bool read_only) : path_(std::move(path)), read_only_(read_only) {}

  std::string describe() const override { return "sqlite:" + path_; }

 private:
  Result<std::vector<Row>> run(const char* sql, std::initializer_list<Param> params = {}) {
    return run_all(sql, std::span<const Param>(params.begin(), params.size()));
  }

  // Runs a cached statement with `params`, gives every row.
  Result<std::vector<Row>> run_all(const char* sql, std::span<const Param> params) {
    Statement& statement = statements_[sql];
    if (!statement) {
      sqlite3_stmt* raw = nullptr;
      int rc = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
      statement.reset(raw);
      if (rc != SQLITE_OK) return engine_error(db_.get(), rc, "cannot prepare a statement");
    }
    sqlite3_stmt* s = statement.get();
    sqlite3_reset(s);
    int index = 1;
    for (const Param& p : params) {
      if (const auto* number = std::get_if<std::int64_t>(&p))
        sqlite3_bind_int64(s, index, *number);
      else if (const auto* real = std::get_if<double>(&p))
        sqlite3_bind_double(s, index, *real);
      else if (const auto* text = std::get_if<std::string_view>(&p))
        sqlite3_bind_text(s, index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
      else
        sqlite3_bind_null(s, index);
      ++index;
    }
    std::vector<Row> rows;
    for (;;) {
      int rc = sqlite3_step(s);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) {
        Error error = engine_error(db_.get(), rc, "the line database " + path_);
        sqlite3_reset(s);
        return error;
      }
      Row& row = rows.emplace_back();
      for (int c = 0; c < sqlite3_column_count(s); ++c) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
        row.emplace_back(text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, c))) : "");
      }
    }
    sqlite3_reset(s);
    return rows;
  }

  Result<Done> exec(const char* sql) {
    int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return engine_error(db_.get(), rc, "the line database " + path_);
    return Done{};
  }

  // BEGIN (IMMEDIATE for a writer) ... COMMIT; rolled back unless committed.
  class Transaction {
   public:
    explicit Transaction(SqliteDb& db) : db_(db) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
      if (open_) sqlite3_exec(db_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Result<Done> begin(bool write) {
      auto begun = db_.run(write ? "BEGIN IMMEDIATE" : "BEGIN");
      if (!begun) return begun.error();
      open_ = true;
      return Done{};
    }
    Result<Done> commit() {
      // A failed COMMIT leaves the transaction open: the destructor rolls it back.
      auto committed = db_.run("COMMIT");
      if (!committed) return committed.error();
      open_ = false;
      return Done{};
    }

   private:
    SqliteDb& db_;
    bool open_ = false;
  };

  // Opens the file on first use (init may create it) and checks that its
  // schema is this program's.
  Result<Done> connect(bool create) {
    if (!db_) {
      struct stat st {};
      if (!create && ::stat(path_.c_str(), &st) != 0)
        return Error{ErrorKind::kSchema, "the line database " + path_ + " does not exist: run ftmline init"};
      sqlite3* raw = nullptr;
      int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
      int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
      Sqlite db(raw);
      if (rc != SQLITE_OK) return engine_error(db.get(), rc, "cannot open the line database " + path_);
      sqlite3_busy_handler(db.get(), on_busy, &busy_since_);
      sqlite3_extended_result_codes(db.get(), 1);
      db_ = std::move(db);
      statements_.clear();
      for (const char* pragma : {"PRAGMA synchronous = FULL", "PRAGMA foreign_keys = ON"})
        if (auto done = exec(pragma); !done) return disconnect(done.error());
      if (read_only_)
        if (auto done = exec("PRAGMA query_only = ON"); !done) return disconnect(done.error());
      checked_ = false;
    }
    if (!create && !checked_) {
      auto version = schema_version();
      if (!version) return version.error();
      if (*version != kSchemaVersion) return Error{ErrorKind::kSchema, schema_mismatch_message(*version)};
      checked_ = true;
    }
    return Done{};
  }

  Error disconnect(Error error) {
    statements_.clear();
    db_.reset();
    return error;
  }

  Result<int> schema_version() {
    auto has = run(kHasMeta);
    if (!has) return has.error();
    if ((*has)[0][0] == "0") return 0;
    auto version = run(kVersion);
    if (!version) return version.error();
    return version->empty() ? 0 : std::stoi((*version)[0][0]);
  }

  Result<Done> event(const char* kind, const std::string& hwid, const Actor& actor,
                     const std::string& detail) {
    auto done = run(kEvent, {kind, hwid.empty() ? Param(nullptr) : Param(hwid), actor.station,
                             actor.operator_name, detail});
    if (!done) return done.error();
    return Done{};
  }

  // ---- the operations ----

  Result<InitReport> try_init(const Actor&, int up_to) override {
    if (auto c = connect(true); !c) return c.error();
    // WAL is a property of the file: set once, before any transaction.
    if (auto wal = run("PRAGMA journal_mode = WAL"); !wal) return wal.error();
    Transaction tx(*this);
    if (auto b = tx.begin(true); !b) return b.error();
    auto version = schema_version();
    if (!version) return version.error();
    if (*version > kSchemaVersion) return Error{ErrorKind::kSchema, schema_mismatch_message(*version)};
    for (int step = *version + 1; step <= up_to; ++step) {
      if (step == 3)
        if (auto done = pools_agree_with_units(); !done) return done.error();
      if (auto done = exec(kSchemaSteps[step - 1]); !done) return done.error();
      if (step == 2)
        if (auto done = read_old_records(); !done) return done.error();
      if (auto done = run(kSetVersion, {std::int64_t{step}}); !done) return done.error();
    }
    if (auto c = tx.commit(); !c) return c.error();
    checked_ = up_to == kSchemaVersion;
    return InitReport{*version, std::max(*version, up_to)};
  }

  Result<std::int64_t> try_import_macs(std::uint64_t first, std::uint64_t count,
                                       const Actor& actor) override {
    if (auto c = connect(false); !c) return c.error();
    Transaction tx(*this);
    if (auto b = tx.begin(true); !b) return b.error();
    auto first_i = static_cast<std::int64_t>(first), count_i = static_cast<std::int64_t>(count);
    auto overlap = run(kOverlap, {first_i, count_i});
    if (!overlap) return overlap.error();
    if (!overlap->empty()) {
      const Row& o = (*overlap)[0];
      return refused(overlap_message(first, count, std::stoull(o[0]), std::stoull(o[1]), o[2]));
    }
    auto block = run(kAddBlock, {first_i, count_i});
    if (!block) return block.error();
    std::int64_t block_id = std::stoll((*block)[0][0]);
    for (std::int64_t i = 0; i < count_i; i += 2)
      if (auto added = run(kAddPair, {first_i + i, block_id}); !added) return added.error();
    std::string detail = "macs " + pc::mac_with_colons(pc::mac_command_form(first)) + " to " +
                         pc::mac_with_colons(pc::mac_command_form(first + count - 1)) + ", " +
                         std::to_string(count / 2) + (count == 2 ? " pair" : " pairs");
    if (auto e = event("import", "", actor, detail); !e) return e.error();
    if (auto c = tx.commit(); !c) return c.error();
    return count_i / 2;
  }

  Result<std::int64_t> try_import_serials(SerialKind kind, const std::vector<std::string>& values,
                                          const Actor& actor) override {
    if (auto c = connect(false); !c) return c.error();
    Transaction tx(*this);
    if (auto b = tx.begin(true); !b) return b.error();
    std::vector<std::string> present;
    std::int64_t duplicates = 0;
    for (const auto& value : values) {
      if (auto added = run(kAddSerial, {kind_name(kind), value}); !added) return added.error();
      if (sqlite3_changes(db_.get()) == 0 && duplicates++ < static_cast<std::int64_t>(kValuesNamed))
        present.push_back(value);
    }
    if (duplicates > 0) return refused(already_imported_message(kind_name(kind), present, duplicates));
    std::string detail = std::string(kind_name(kind)) + " " + std::to_string(values.size()) +
                         (values.size() == 1 ? " value " : " values ") + values.front() + " to " +
                         values.back();
    if (auto e = event("import", "", actor, detail); !e) return e.error();
    if (auto c = tx.commit(); !c) return c.error();
    return static_cast<std::int64_t>(values.size());
  }

  Result<Done> try_void(const std::string& hwid, const std::string& reason, const Actor& actor) override {
    if (auto c = connect(false); !c) return c.error();
    Transaction tx(*this);
    if (auto b = tx.begin(true); !b) return b.error();
    auto unit = run(kUnitIdentity, {hwid});
    if (!unit) return unit.error();
    if (unit->empty()) return refused(unknown_unit_message(hwid));
    const Row& u = (*unit)[0];
    if (u[3] == "void") return Done{};
    // Its values stay with it: void with the unit.
    if (auto done = run(kVoidUnit, {reason, hwid}); !done) return done.error();
    if (auto e = event("void", hwid, actor, reason); !e) return e.error();
    if (auto c = tx.commit(); !c) return c.error();
    return Done{};
  }

  Result<Assignment> try_assign(const std::string& hwid, const Actor& actor) override {
    if (auto c = connect(false); !c) return c.error();
    Transaction tx(*this);
    if (auto b = tx.begin(true); !b) return b.error();
    auto held = run(kUnitIdentity, {hwid});
    if (!held) return held.error();
    if (!held->empty()) {
      const Row& u = (*held)[0];
      if (u[3] == "void") return refused(void_unit_message(hwid, u[4]));
      return Assignment{identity_of(hwid, u[0], u[1], std::stoull(u[2])), false};
    }
    auto next = run(kNextIdentity);
    if (!next) return next.error();
    const Row& k = (*next)[0];
    std::vector<std::string> empty;
    for (auto [pool, value] : {std::pair{"sn", &k[1]}, std::pair{"csn", &k[2]}, std::pair{"mac", &k[3]}})
      if (value->empty()) empty.push_back(pool);
    if (!empty.empty()) return refused(empty_pools_message(empty));
    std::int64_t lan4 = std::stoll(k[3]);
    Identity id = identity_of(hwid, k[1], k[2], static_cast<std::uint64_t>(lan4));
    if (auto added =
            run(kAddUnit, {std::stoll(k[0]), hwid, id.sn, id.csn, lan4, actor.station, actor.operator_name});
        !added)
      return added.error();
    if (auto c = tx.commit(); !c) return c.error();
    return Assignment{id, true};
  }

  Result<Done> try_provision(const std::string& hwid, const Actor& actor) override {
    if (auto c = connect(false); !c) return c.error();
    Transaction tx(*this);
    if (auto b = tx.begin(true); !b) return b.error();
    auto unit = run(kUnitState, {hwid});
    if (!unit) return unit.error();
    if (unit->empty()) return refused(unknown_unit_message(hwid));
    if ((*unit)[0][0] == "void") return refused(void_unit_message(hwid, (*unit)[0][1]));
    if ((*unit)[0][0] == "provisioned") return Done{};
    if (auto done = run(kProvision, {hwid}); !done) return done.error();
    if (auto e = event("provision", hwid, actor, "identity written and read back"); !e) return e.error();
    if (auto c = tx.commit(); !c) return c.error();
    return Done{};
  }

  Result<bool> try_store_run(const RunRecord& r, const RecordFacts& facts) override {
    if (auto c = connect(false); !c) return c.error();
    Transaction tx(*this);
    if (auto b = tx.begin(true); !b) return b.error();
    auto added =
        run(kAddRun, {r.run_id, r.hwid, r.verdict, r.plan_name, r.plan_md5, r.station, r.operator_name,
                      r.started_at, r.ended_at, r.record_json, facts.failed_step, facts.failed_reply});
    if (!added) return added.error();
    bool stored = sqlite3_changes(db_.get()) == 1;
    if (stored) {
      if (auto m = add_measurements(r.run_id, facts.measurements); !m) return m.error();
      if (auto e = event("record", r.hwid, {r.station, r.operator_name}, run_detail(r)); !e) return e.error();
    }
    if (auto c = tx.commit(); !c) return c.error();
    return stored;
  }

  Result<Done> add_measurements(const std::string& run_id, const std::vector<Measurement>& measurements) {
    for (const auto& m : measurements) {
      auto added =
          run(kAddMeasurement, {run_id, std::int64_t{m.step}, m.name, m.unit, m.value, optional_param(m.low),
                                optional_param(m.high), std::int64_t{m.passed}});
      if (!added) return added.error();
    }
    return Done{};
  }

  // The upgrade to version 2: the failure and measurements of every run
  // stored before. A measurement the line would refuse now is left out.
  Result<Done> read_old_records() {
    auto runs = run(kAllRuns);
    if (!runs) return runs.error();
    for (const Row& r : *runs) {
      std::string why;
      RecordFacts facts = record_facts(r[1], &why);
      if (auto set = run(kSetFailure, {r[0], facts.failed_step, facts.failed_reply}); !set)
        return set.error();
      if (auto m = add_measurements(r[0], facts.measurements); !m) return m.error();
    }
    return Done{};
  }

  // Before the upgrade to version 3: the pools and the units agree.
  Result<Done> pools_agree_with_units() {
    auto problem = run(kUpgradeProblem);
    if (!problem) return problem.error();
    if (!problem->empty())
      return Error{ErrorKind::kFailed,
                   "the line database " + path_ +
                       ": cannot upgrade the line database to schema version 3: " + (*problem)[0][0]};
    return Done{};
  }

  Result<RouteFacts> try_route(const std::string& hwid, const std::string& plan_name) override {
    if (auto c = connect(false); !c) return c.error();
    auto rows = run(kRoute, {hwid, plan_name});
    if (!rows) return rows.error();
    const Row& r = (*rows)[0];
    return RouteFacts{std::stoi(r[1]) > 0, std::stoi(r[0]), std::stoi(r[2]), std::stoi(r[3])};
  }

  Result<std::vector<UnitReport>> try_find_units(const std::string& key,
                                                 std::optional<std::uint64_t> mac) override {
    if (auto c = connect(false); !c) return c.error();
    Transaction tx(*this);  // one snapshot for the units and their runs
    if (auto b = tx.begin(false); !b) return b.error();
    auto hwids = run(kFindUnits, {key, mac ? Param(static_cast<std::int64_t>(*mac)) : Param(nullptr)});
    if (!hwids) return hwids.error();
    std::vector<UnitReport> units;
    for (const Row& h : *hwids) {
      auto u = run(kUnitReport, {h[0]});
      if (!u) return u.error();
      const Row& r = (*u)[0];
      UnitReport report{
          identity_of(h[0], r[0], r[1], std::stoull(r[2])), r[3], r[4], r[5], r[6], r[7], r[8], r[9], {}};
      auto runs = run(kUnitRuns, {h[0]});
      if (!runs) return runs.error();
      for (const Row& x : *runs) report.runs.push_back({x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]});
      units.push_back(std::move(report));
    }
    return units;
  }

  Result<std::vector<PoolValue>> try_find_values(const std::string& key,
                                                 std::optional<std::uint64_t> mac) override {
    if (auto c = connect(false); !c) return c.error();
    auto rows = run(kFindValues, {key, mac ? Param(static_cast<std::int64_t>(*mac)) : Param(nullptr)});
    if (!rows) return rows.error();
    std::vector<PoolValue> values;
    for (const Row& r : *rows)
      values.push_back({r[0], r[0] == "mac" ? pc::mac_command_form(std::stoull(r[1])) : r[1], r[2], r[3]});
    return values;
  }

  Result<std::vector<PoolLevel>> try_pool_levels() override {
    if (auto c = connect(false); !c) return c.error();
    auto rows = run(kLevels);
    if (!rows) return rows.error();
    return levels_in_order(*rows);
  }

  Result<std::vector<AuditEvent>> try_audit(const AuditQuery& query) override {
    if (auto c = connect(false); !c) return c.error();
    auto limit = query.last ? static_cast<std::int64_t>(query.last) : std::int64_t{-1};
    auto rows = run(kAudit, {query.hwid, limit});
    if (!rows) return rows.error();
    std::vector<AuditEvent> events;
    for (auto r = rows->rbegin(); r != rows->rend(); ++r)
      events.push_back({std::stoll((*r)[0]), (*r)[1], (*r)[2], (*r)[3], (*r)[4], (*r)[5], "", (*r)[6]});
    return events;
  }

  // ---- the line view ----

  Result<Done> try_publish_station(const StationStatus& status, const std::string& slots) override {
    if (auto c = connect(false); !c) return c.error();
    auto done = run(kPublish, {status.station, status.host, status.outbox_waiting, slots});
    if (!done) return done.error();
    return Done{};
  }

  Result<std::vector<StationState>> try_stations() override {
    if (auto c = connect(false); !c) return c.error();
    auto rows = run(kStations);
    if (!rows) return rows.error();
    std::vector<StationState> stations;
    for (const Row& r : *rows) {
      auto slots = slots_from_json(r[4]);
      stations.push_back(
          {{r[0], r[1], std::stoll(r[3]), slots ? std::move(*slots) : std::vector<SlotStatus>{}},
           r[2],
           std::stoll(r[5])});
    }
    return stations;
  }

  // SQLite has no notifications: the file's data_version, which another
  // connection's commit changes, is looked at every kWatchStep.
  Result<bool> try_watch_stations(std::chrono::milliseconds within) override {
    if (auto c = connect(false); !c) return c.error();
    const auto until = std::chrono::steady_clock::now() + within;
    for (bool first = true;; first = false) {
      auto version = run(kDataVersion);
      if (!version) return version.error();
      bool changed = (*version)[0][0] != data_version_;
      data_version_ = (*version)[0][0];
      if (changed) return true;
      auto now = std::chrono::steady_clock::now();
      if (now >= until && !first) return false;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kWatchStep, until - now));
    }
  }

  Result<std::vector<YieldRow>> try_yield_rows(const Period& p) override {
    if (auto c = connect(false); !c) return c.error();
    auto rows = run(kYield, {since_of(p), until_of(p), p.plan});
    if (!rows) return rows.error();
    std::vector<YieldRow> out;
    for (const Row& r : *rows)
      out.push_back(
          {r[0],
           r[1],
           std::stoll(r[2]),
           {std::stoll(r[3]), std::stoll(r[4]), std::stoll(r[5]), std::stoll(r[6]), std::stoll(r[7])}});
    return out;
  }

  Result<std::vector<FailureCount>> try_failures(const Period& p, bool by_reply) override {
    if (auto c = connect(false); !c) return c.error();
    auto rows = run(by_reply ? kFailuresByReply : kFailuresByStep,
                    {since_of(p), until_of(p), p.plan, static_cast<std::int64_t>(kFailuresShown)});
    if (!rows) return rows.error();
    std::vector<FailureCount> out;
    for (const Row& r : *rows) out.push_back({r[0], r[1], std::stoll(r[2])});
    return out;
  }

  // The RUN_ROW statements take the record flag as ?9.
  static constexpr int kRecordFlag = 9;

  Result<std::vector<RunRow>> run_rows(const char* sql, std::vector<Param> params, bool with_record) {
    params.resize(kRecordFlag, Param(nullptr));
    params[kRecordFlag - 1] = std::int64_t{with_record};
    auto rows = run_all(sql, params);
    if (!rows) return rows.error();
    std::vector<RunRow> out;
    for (const Row& r : *rows) out.push_back(run_row(r));
    return out;
  }

  Result<std::vector<RunRow>> try_failed_runs(const Period& p, const std::string& step,
                                              const std::optional<std::string>& reply,
                                              std::size_t limit) override {
    if (auto c = connect(false); !c) return c.error();
    return run_rows(kFailedRuns,
                    {since_of(p), until_of(p), p.plan, step, reply ? Param(*reply) : Param(nullptr),
                     static_cast<std::int64_t>(limit)},
                    false);
  }

  Result<std::optional<RunRow>> try_run(const std::string& run_id) override {
    if (auto c = connect(false); !c) return c.error();
    auto rows = run_rows(kRun, {nullptr, nullptr, nullptr, run_id}, true);
    if (!rows) return rows.error();
    if (rows->empty()) return std::optional<RunRow>();
    return std::optional<RunRow>(std::move(rows->front()));
  }

  Result<std::vector<RunRow>> try_runs_between(const Period& p, const std::string& after_started,
                                               const std::string& after_run_id, std::size_t limit) override {
    if (auto c = connect(false); !c) return c.error();
    return run_rows(
        kRunsBetween,
        {since_of(p), until_of(p), p.plan, after_started, after_run_id, static_cast<std::int64_t>(limit)},
        true);
  }

  Result<std::vector<MeasurementStats>> try_measurement_stats(const Period& p) override {
    if (auto c = connect(false); !c) return c.error();
    auto rows = run(kMeasurementStats, {since_of(p), until_of(p), p.plan});
    if (!rows) return rows.error();
    std::vector<MeasurementStats> out;
    for (const Row& r : *rows)
      out.push_back({r[0], r[1], r[2], optional_number(r[3]), optional_number(r[4]), std::stoll(r[5]),
                     std::strtod(r[6].c_str(), nullptr), std::strtod(r[7].c_str(), nullptr),
                     std::strtod(r[8].c_str(), nullptr), std::stoll(r[9])});
    return out;
  }

  static std::string run_detail(const RunRecord& r) {
    return "run " + r.run_id + " " + r.verdict + ", plan " + r.plan_name;
  }

  std::string path_;
  bool read_only_ = false;
  Sqlite db_;  // opened on first use
  // Prepared statements by their SQL text; finalized before the connection closes.
  std::map<const char*, Statement> statements_;
  bool checked_ = false;                              // the schema version was checked on this connection
  std::string data_version_;                          // as try_watch_stations last saw it
  std::chrono::steady_clock::time_point busy_since_;  // when the current wait for the lock began
};

}  // namespace

Result<std::unique_ptr<LineDb>> open_sqlite(const std::string& path, bool read_only) {
  if (path.empty()) return refused("sqlite: needs a file path (sqlite:PATH)");
  return std::unique_ptr<LineDb>(std::make_unique<SqliteDb>(path, read_only));
}

}  // namespace ftmd::line
