#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

struct InitReport {
  int from_version = 0;  // 0: there was no schema
  int to_version = 0;
};

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

 protected:
  LineDb() = default;

  // One attempt of each operation on the engine, its arguments already
  // checked. A rolled-back transaction is kRetry, a server that cannot be
  // reached kUnreachable, a connection lost during the attempt kInDoubt.
  virtual Result<InitReport> try_init(const Actor& actor) = 0;
  virtual Result<std::int64_t> try_import_macs(std::uint64_t first, std::uint64_t count,
                                               const Actor& actor) = 0;
  virtual Result<std::int64_t> try_import_serials(SerialKind kind, const std::vector<std::string>& values,
                                                  const Actor& actor) = 0;
  virtual Result<Done> try_void(const std::string& hwid, const std::string& reason, const Actor& actor) = 0;
  virtual Result<Assignment> try_assign(const std::string& hwid, const Actor& actor) = 0;
  virtual Result<Done> try_provision(const std::string& hwid, const Actor& actor) = 0;
  virtual Result<bool> try_store_run(const RunRecord& run) = 0;
  virtual Result<RouteFacts> try_route(const std::string& hwid, const std::string& plan_name) = 0;
  // Units by hardware id, serial number or MAC (`mac`: the key as a MAC
  // number when it reads as one).
  virtual Result<std::vector<UnitReport>> try_find_units(const std::string& key,
                                                         std::optional<std::uint64_t> mac) = 0;
  virtual Result<std::vector<PoolValue>> try_find_values(const std::string& key,
                                                         std::optional<std::uint64_t> mac) = 0;
  virtual Result<std::vector<PoolLevel>> try_pool_levels() = 0;
  virtual Result<std::vector<AuditEvent>> try_audit(const AuditQuery& query) = 0;

  std::chrono::milliseconds retry_within_ = kDefaultRetryWithin;

  friend Result<std::unique_ptr<LineDb>> open_line_db(const std::string& url,
                                                      std::chrono::milliseconds retry_within);
};

// The schema version this program creates and understands.
inline constexpr int kSchemaVersion = 1;

// Opens the line database at `url`: "sqlite:PATH" (a file; created only by
// init), or anything else as a libpq connection string or URI (credentials
// from the service file, the password file or the environment, the libpq
// way). A PostgreSQL server is connected on first use, so opening fails only
// for a URL that cannot be read.
Result<std::unique_ptr<LineDb>> open_line_db(const std::string& url,
                                             std::chrono::milliseconds retry_within = kDefaultRetryWithin);

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

// What init says to do when the schema is not this program's version.
std::string schema_mismatch_message(int found);

}  // namespace ftmd::line
