#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "line/result.h"

namespace ftmd::line {

// The line database: one pool of serial numbers and MAC pairs and one history
// of every unit, shared by every station of a line. The database is the
// line's lock: each rule that must hold across stations (a value goes to one
// unit only, an identity stays with its hardware id, states change in order)
// is one transaction of the engine, never a read here followed by a write.
//
// Units are keyed by their hardware id (see pc::hwid_problem): readable from
// the device before anything is written to it, so the same board asked twice
// gets the same identity.

// Who does something, for the audit log.
struct Actor {
  std::string station;
  std::string operator_name;
};

// A unit's identity. MACs in the device's command form ("001B2C3D4E5F");
// lan3 is always lan4 + 1.
struct Identity {
  std::string hwid;
  std::string sn;
  std::string csn;
  std::string lan4_mac;
  std::string lan3_mac;
};

struct Assignment {
  Identity identity;
  // True when this call took the values from the pools. False when the
  // hardware id already had them, also when an earlier attempt of this same
  // call took them and the connection broke before the answer came.
  bool is_new = false;
};

enum class SerialKind { kSn, kCsn };
const char* kind_name(SerialKind kind);  // "sn", "csn"

// What the line knows of a hardware id and one plan, for a station's route
// check: has it passed, how often was it tried.
struct RouteFacts {
  bool passed = false;
  int attempts = 0;  // runs of this plan, whatever their verdict
  int failed = 0;
  int aborted = 0;
};

// One run of a plan on a unit, as a station stores it. Times are UTC, ISO
// 8601 ("2026-12-05T18:32:28.123Z").
//
// What the line reads out of `record_json` (anything else in it is kept as
// it is and shown whole):
//   "steps": [ {                       in the plan's order
//       "name": "logic adc",
//       "verdict": "passed" | "failed" | "skipped" | ...,
//       "attempts": [ {"exchanges": [ {"request": "...", "reply": "..." | null,
//                                      "outcome": "reply" | "time-out" | ...} ] } ],
//       "measurement": {               optional: a number the step took out of a reply
//           "name": "logic_adc", "value": 1.234, "unit": "V",
//           "low": 0.5, "high": 3.0,   either or both may be absent (or null): a one-sided limit
//           "passed": true } } ]       the station's judgement against the limits
// A failed run's failure is its first step whose verdict is "failed", and
// that step's last reply (the last exchange of its last attempt; its outcome
// in parentheses when no reply came, e.g. "(time-out)"). A measurement whose
// name, value (a number), unit, limits (numbers) or judgement (a boolean) is
// missing or of another type makes store_run refuse the run, naming the step.
struct RunRecord {
  std::string run_id;  // unique per run; storing the same id again keeps the first copy
  std::string hwid;
  std::string verdict;  // "passed", "failed" or "aborted"
  std::string plan_name;
  std::string plan_md5;
  std::string station;
  std::string operator_name;
  std::string started_at;
  std::string ended_at;
  std::string record_json;  // the station's whole JSON record of the run
};

struct RunSummary {
  std::string run_id;
  std::string verdict;
  std::string plan_name;
  std::string plan_md5;
  std::string station;
  std::string operator_name;
  std::string started_at;
  std::string ended_at;
};

// A unit as the line holds it. Times as in RunRecord; "" when not (yet) so.
struct UnitReport {
  Identity identity;
  std::string state;  // "assigned", "provisioned" or "void"
  std::string assigned_at;
  std::string assigned_station;
  std::string assigned_operator;
  std::string provisioned_at;
  std::string voided_at;
  std::string void_reason;
  std::vector<RunSummary> runs;  // oldest first
};

// A value of a pool, whether or not a unit holds it.
struct PoolValue {
  std::string pool;   // "sn", "csn" or "mac"
  std::string value;  // a MAC pair as its lan4 address
  std::string state;  // "free", "assigned" or "void"
  std::string hwid;   // the unit holding it ("" when free)
};

// One pool's level. The MAC pool counts pairs (one per unit).
struct PoolLevel {
  std::string pool;  // "sn", "csn", "mac"
  std::int64_t imported = 0;
  std::int64_t assigned = 0;
  std::int64_t voided = 0;
  std::int64_t left = 0;
};

// One entry of the append-only event log.
struct AuditEvent {
  std::int64_t id = 0;  // ascending in the order the events were written
  std::string at;
  std::string kind;  // "import", "assign", "provision", "record", "void"
  std::string hwid;  // "" for imports
  std::string station;
  std::string operator_name;
  std::string db_role;  // the database's login role (PostgreSQL); "" on SQLite
  std::string detail;
};

struct AuditQuery {
  std::string hwid;      // only this unit's events when not empty
  std::size_t last = 0;  // only the newest `last` events when not 0
};

// ---- the line view's side ----

// What one test slot of a station is doing, as the station publishes it.
struct SlotStatus {
  std::string name;  // the slot's name, unique in its station ("1", "left")
  std::string port;  // its port, as the station names it
  std::string hwid;  // the unit in the slot ("" when none yet)
  std::string sn;    // its serial number ("" when not known yet)
  std::string plan;  // the plan's name
  // The running step (or the last one, once the unit is done); "" and 0s
  // when no step ran yet. step_index is 1-based, of step_count.
  std::string step;
  int step_index = 0;
  int step_count = 0;
  std::int64_t elapsed_ms = 0;  // time in the running step so far
  std::int64_t timeout_ms = 0;  // its time-out; 0 for none
  // One of kSlotVerdicts: "idle", "running", "passed", "failed", "aborted",
  // "waiting-for-fixture", "waiting-for-operator".
  std::string verdict = "idle";
  std::string prompt;  // the operator prompt the slot shows ("" for none)
};

inline constexpr const char* kSlotVerdicts[] = {
    "idle", "running", "passed", "failed", "aborted", "waiting-for-fixture", "waiting-for-operator"};

// A station's whole state, as it publishes it: on every change of a slot,
// and at least every kStationHeartbeat while it runs.
struct StationStatus {
  std::string station;              // the station's name, unique on the line
  std::string host;                 // the PC it runs on
  std::int64_t outbox_waiting = 0;  // its records waiting for the database
  std::vector<SlotStatus> slots;    // in the station's order; at most kSlotsMax
};

inline constexpr std::chrono::seconds kStationHeartbeat{2};
// A station not heard from for this long shows as silent.
inline constexpr std::chrono::seconds kStationSilentAfter{6};
inline constexpr std::size_t kSlotsMax = 64;
inline constexpr std::size_t kFailuresShown = 50;

// A station as the line view reads it.
struct StationState {
  StationStatus status;
  std::string published_at;  // when it last published, by the database's clock
  std::int64_t age_ms = 0;   // how long before this read, by the same clock
};

// Runs that started in [since, until), of one plan or of all. Times as in
// RunRecord ("" for no bound); plan "" for every plan.
struct Period {
  std::string since;
  std::string until;
  std::string plan;
};

// Yield counts of a group of units. A unit's tries of a plan are its runs
// of that plan that were not aborted, in the order they started; a unit
// counts in the group of its first try (its plan, station and start time),
// also for its later tries.
struct YieldCounts {
  std::int64_t units = 0;       // units whose first try is in the group
  std::int64_t first_pass = 0;  // ... whose first try passed
  std::int64_t final_pass = 0;  // ... whose latest try passed
  std::int64_t retests = 0;     // their tries after the first
  std::int64_t aborted = 0;     // aborted runs that started in the group (by their own station and time)
};

// Yield counts per plan, station and quarter of an hour (seconds since the
// epoch / 900, UTC), from which hours and shifts in any time zone are sums.
struct YieldRow {
  std::string plan;
  std::string station;
  std::int64_t quarter = 0;
  YieldCounts counts;
};

// Failed runs with the same first failed step (and, by reply, the same last
// reply of that step). Most frequent first.
struct FailureCount {
  std::string step;   // "" for a failed run without a failed step
  std::string reply;  // "" when counted by step
  std::int64_t runs = 0;
};

// One run with the unit's identity as the line holds it ("" when the
// hardware id has none), for lists, the record view and the export.
struct RunRow {
  std::string run_id;
  std::string hwid;
  std::string sn;
  std::string csn;
  std::string lan4_mac;  // command form, "" when the unit has no identity
  std::string lan3_mac;
  std::string plan_name;
  std::string plan_md5;
  std::string station;
  std::string operator_name;
  std::string verdict;
  std::int64_t attempt = 0;  // 1 for the unit's first run of this plan, aborted runs included
  std::string started_at;
  std::string ended_at;
  std::string failed_step;  // a failed run's failure (see RunRecord); "" otherwise
  std::string failed_reply;
  std::string record_json;  // only where asked for
};

// A measurement's statistics over a period: one row per plan, name, unit and
// limits (a plan whose limits changed has a row per set of limits).
struct MeasurementStats {
  std::string plan;
  std::string name;
  std::string unit;
  std::optional<double> low;
  std::optional<double> high;
  std::int64_t count = 0;
  double mean = 0;
  double min = 0;
  double max = 0;
  std::int64_t outside = 0;  // values below low or above high
};

struct InitReport {
  int from_version = 0;  // 0: there was no schema
  int to_version = 0;
};

enum class Access { kReadWrite, kReadOnly };
struct RecordFacts;

// Rolled back transactions (serialization failure, deadlock, a busy SQLite
// file) and an unreachable server are tried again for this long, so a
// database restart of a second or two is not a failure.
inline constexpr std::chrono::milliseconds kDefaultRetryWithin{8000};

// The database a line or station uses. Not thread-safe: one object per
// thread (each holds its own connection). Every method validates what it is
// given, then runs its transaction, retrying what the engine rolled back;
// no exception leaves it.
class LineDb {
 public:
  virtual ~LineDb() = default;
  LineDb(const LineDb&) = delete;
  LineDb& operator=(const LineDb&) = delete;

  // "sqlite:PATH", or the PostgreSQL connection without its password.
  virtual std::string describe() const = 0;

  // Creates the schema, or upgrades it step by step to this program's
  // version. Refused when the database's schema is newer than this program.
  Result<InitReport> init(const Actor& actor);

  // Admin: a block of `count` consecutive MAC addresses from `first` (as
  // typed, see pc::mac_block_problem), cut into pairs. Refused whole when it
  // overlaps a block already imported. Gives the number of pairs.
  Result<std::int64_t> import_macs(const std::string& first, std::uint64_t count, const Actor& actor);
  // Admin: serial numbers of one kind, in this order. Refused whole, naming
  // the values, when one is refused by the device's rules, appears twice in
  // `values`, or is already in the pool. Gives the number imported.
  Result<std::int64_t> import_serials(SerialKind kind, const std::vector<std::string>& values,
                                      const Actor& actor);
  // Admin: a scrapped unit. Its values are never issued again; the hardware
  // id gets no new identity. Refused for an unknown hardware id.
  Result<Done> void_unit(const std::string& hwid, const std::string& reason, const Actor& actor);

  // Station: the identity this hardware id holds, or the next free value of
  // every pool, taken in one transaction. Refused when a pool is empty
  // (naming it) or the unit is void.
  Result<Assignment> assign(const std::string& hwid, const Actor& actor);
  // Station: the identity the hardware id holds, if any (also when void).
  Result<std::optional<Identity>> identity(const std::string& hwid);
  // Station: the runs of `plan_name` on this hardware id.
  Result<RouteFacts> route(const std::string& hwid, const std::string& plan_name);
  // Station: the unit's identity was written and read back. Idempotent;
  // refused for an unknown or void unit.
  Result<Done> mark_provisioned(const std::string& hwid, const Actor& actor);
  // Station: stores a run. Idempotent by run id: true when stored now, false
  // when a run with this id was already there (the first copy stays).
  Result<bool> store_run(const RunRecord& run);

  // Every unit whose hardware id, serial number (either kind) or MAC (any
  // form, either of the pair) is `key`.
  Result<std::vector<UnitReport>> find_units(const std::string& key);
  // Every pool value that is `key` (to say a value is free or void).
  Result<std::vector<PoolValue>> find_values(const std::string& key);
  Result<std::vector<PoolLevel>> pool_levels();
  Result<std::vector<AuditEvent>> audit(const AuditQuery& query);

  // Station: publishes the station's state, replacing what it published
  // before (one row per station). On PostgreSQL the change is also a NOTIFY
  // on kStationsChannel. Refused for a bad name, slot or verdict.
  Result<Done> publish_station(const StationStatus& status);

  // ---- the line view: reads only ----

  // Every station that ever published, by name.
  Result<std::vector<StationState>> stations();
  // Waits up to `within` for a station to publish; true when one may have
  // (PostgreSQL: LISTEN on kStationsChannel; SQLite: the file changed).
  // The first call, and the first after a lost connection, gives true.
  Result<bool> watch_stations(std::chrono::milliseconds within);
  Result<std::vector<YieldRow>> yield_rows(const Period& period);
  // Failed runs by first failed step, or by that step and its last reply;
  // the kFailuresShown most frequent.
  Result<std::vector<FailureCount>> failures(const Period& period, bool by_reply);
  // The failed runs with this failure (reply: any when nullopt), newest
  // first, at most `limit`.
  Result<std::vector<RunRow>> failed_runs(const Period& period, const std::string& step,
                                          const std::optional<std::string>& reply, std::size_t limit);
  Result<std::vector<MeasurementStats>> measurement_stats(const Period& period);
  // One run with its whole record; nullopt for an unknown run id.
  Result<std::optional<RunRow>> run(const std::string& run_id);
  // Runs of `period`, oldest first, with their records: at most `limit`
  // after the run (`after_started`, `after_run_id`) of an earlier page
  // ("" for the first page).
  Result<std::vector<RunRow>> runs_between(const Period& period, const std::string& after_started,
                                           const std::string& after_run_id, std::size_t limit);

 protected:
  LineDb() = default;

  // One attempt of each operation on the engine, its arguments already
  // checked. A rolled-back transaction is kRetry, a server that cannot be
  // reached kUnreachable, a connection lost during the attempt kInDoubt.
  // Applies the schema's steps up to version `up_to` (kSchemaVersion but in
  // tests of the upgrade).
  virtual Result<InitReport> try_init(const Actor& actor, int up_to) = 0;
  virtual Result<std::int64_t> try_import_macs(std::uint64_t first, std::uint64_t count,
                                               const Actor& actor) = 0;
  virtual Result<std::int64_t> try_import_serials(SerialKind kind, const std::vector<std::string>& values,
                                                  const Actor& actor) = 0;
  virtual Result<Done> try_void(const std::string& hwid, const std::string& reason, const Actor& actor) = 0;
  virtual Result<Assignment> try_assign(const std::string& hwid, const Actor& actor) = 0;
  virtual Result<Done> try_provision(const std::string& hwid, const Actor& actor) = 0;
  virtual Result<bool> try_store_run(const RunRecord& run, const RecordFacts& facts) = 0;
  virtual Result<RouteFacts> try_route(const std::string& hwid, const std::string& plan_name) = 0;
  // Units by hardware id, serial number or MAC (`mac`: the key as a MAC
  // number when it reads as one).
  virtual Result<std::vector<UnitReport>> try_find_units(const std::string& key,
                                                         std::optional<std::uint64_t> mac) = 0;
  virtual Result<std::vector<PoolValue>> try_find_values(const std::string& key,
                                                         std::optional<std::uint64_t> mac) = 0;
  virtual Result<std::vector<PoolLevel>> try_pool_levels() = 0;
  virtual Result<std::vector<AuditEvent>> try_audit(const AuditQuery& query) = 0;
  virtual Result<Done> try_publish_station(const StationStatus& status, const std::string& slots_json) = 0;
  virtual Result<std::vector<StationState>> try_stations() = 0;
  virtual Result<bool> try_watch_stations(std::chrono::milliseconds within) = 0;
  virtual Result<std::vector<YieldRow>> try_yield_rows(const Period& period) = 0;
  virtual Result<std::vector<FailureCount>> try_failures(const Period& period, bool by_reply) = 0;
  virtual Result<std::vector<RunRow>> try_failed_runs(const Period& period, const std::string& step,
                                                      const std::optional<std::string>& reply,
                                                      std::size_t limit) = 0;
  virtual Result<std::vector<MeasurementStats>> try_measurement_stats(const Period& period) = 0;
  virtual Result<std::optional<RunRow>> try_run(const std::string& run_id) = 0;
  virtual Result<std::vector<RunRow>> try_runs_between(const Period& period, const std::string& after_started,
                                                       const std::string& after_run_id,
                                                       std::size_t limit) = 0;

  std::chrono::milliseconds retry_within_ = kDefaultRetryWithin;

  friend Result<std::unique_ptr<LineDb>> open_line_db(const std::string& url,
                                                      std::chrono::milliseconds retry_within, Access access);
  friend Result<InitReport> init_up_to(LineDb& db, int version, const Actor& actor);
};

// The schema version this program creates and understands.
inline constexpr int kSchemaVersion = 3;

// The PostgreSQL channel a station's publish notifies (its name as payload).
inline constexpr char kStationsChannel[] = "ftmline_stations";

// Opens the line database at `url`: "sqlite:PATH" (a file; created only by
// init), or anything else as a libpq connection string or URI (credentials
// from the service file, the password file or the environment, the libpq
// way). A PostgreSQL server is connected on first use, so opening fails only
// for a URL that cannot be read. kReadOnly: the connection itself refuses to
// write (SQLite's query_only; PostgreSQL's default_transaction_read_only),
// whatever the database role may do.
Result<std::unique_ptr<LineDb>> open_line_db(const std::string& url,
                                             std::chrono::milliseconds retry_within = kDefaultRetryWithin,
                                             Access access = Access::kReadWrite);

// $FTMLINE_DB, else "sqlite:line.db".
std::string default_db_url();

// How long an unreachable database or a rolled-back transaction is tried
// again: $FTMLINE_RETRY_SECONDS (0 to 3600), else kDefaultRetryWithin.
std::chrono::milliseconds retry_within_from_env();

// A libpq connection string or URI without its password, for messages; ""
// when it cannot be read.
std::string redact_conninfo(const std::string& conninfo);

// What is wrong with `run` for store_run, or "" when it can be stored.
std::string run_problem(const RunRecord& run);

// What the line reads out of a run's record (see RunRecord).
struct Measurement {
  int step = 0;  // 1-based index of the step in the record
  std::string name;
  std::string unit;
  double value = 0;
  std::optional<double> low;
  std::optional<double> high;
  bool passed = false;
};
struct RecordFacts {
  std::string failed_step;  // both "" unless the record has a failed step
  std::string failed_reply;
  std::vector<Measurement> measurements;
};
// The facts of `record_json` (valid JSON); the problem with its
// measurements in `why` (facts without them then).
RecordFacts record_facts(const std::string& record_json, std::string* why);

// What is wrong with `status` for publish_station, or "".
std::string station_problem(const StationStatus& status);
// The slots as stored (a JSON array), and back; nullopt for a text that is
// not that.
std::string slots_to_json(const std::vector<SlotStatus>& slots);
// One slot as stored and as the line view shows it.
nlohmann::ordered_json slot_json(const SlotStatus& slot);
std::optional<std::vector<SlotStatus>> slots_from_json(const std::string& text);

// A time as the line stores and compares it: "2026-12-05T18:32:28.123Z",
// milliseconds always there. nullopt for a text that is not a UTC time like
// RunRecord's.
std::optional<std::string> normal_utc_time(const std::string& text);

// What init says to do when the schema is not this program's version.
std::string schema_mismatch_message(int found);

}  // namespace ftmd::line
