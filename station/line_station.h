#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "line/line_db.h"
#include "line/outbox.h"
#include "plan.h"
#include "records.h"
#include "transport.h"
#include "units.h"

namespace ftmd::station {

// The station on the line database: units come from the line, keyed by the
// hardware id each one reports before anything is written to it, and every
// run goes back to the line through the outbox beside the records.

// What the station asks a unit before anything is written to it.
inline constexpr char kHwidQuery[] = "at+ftm,hwid=?";
inline constexpr char kSnQuery[] = "at+ftm,sn=?";
inline constexpr char kCsnQuery[] = "at+ftm,csn=?";
inline constexpr char kMacQuery[] = "at+ftm,ethmac=?";
inline constexpr std::chrono::milliseconds kIdentityQueryTimeout{10'000};
// Failed runs of a plan after which a unit goes to repair, unless the plan
// says otherwise (`max_attempts`).
inline constexpr int kDefaultMaxAttempts = 3;

// One value as a unit's read-back reports it.
struct Carried {
  enum class State {
    kNone,        // the unit holds none
    kValue,       // `text` is the value
    kUnreadable,  // the unit holds something it does not read back whole; `text` is the reply
  };
  State state = State::kNone;
  std::string text;
};
// "at+ftm,sn=?" / "at+ftm,csn=?": "OK," with the value and a line end, or
// "ERROR,null\n" when nothing is stored.
Carried carried_serial(const std::string& reply);
// "at+ftm,ethmac=?": "OK,ethmac=LAN4,LAN3\n" (text "LAN4,LAN3"), or
// "ERROR,ethmac read error\n" when neither unit file holds an address; any
// other reply (one address only, files and environment disagree, addresses
// not taken by the interfaces) is kUnreadable.
Carried carried_macs(const std::string& reply);

struct CarriedIdentity {
  Carried sn, csn, macs;
};

// Why a unit carrying `carried` must be stopped before anything is written,
// naming what it carries and what the line holds for its hardware id
// (`held`: nothing when the line holds no identity for it); "" when it may
// go on. A value the
// unit carries must be the line's own; MACs that do not read back whole
// (a burn cut short) stop only a unit the line holds no identity for.
std::string identity_conflict(const CarriedIdentity& carried, const std::optional<line::Identity>& held);

// The attempt limit and where it comes from, for the operator's message.
struct AttemptLimit {
  int limit = kDefaultMaxAttempts;
  std::string source = "the station's default";
};

// Why the route refuses a unit for `plan_name`, or "": a unit that
// passed the plan is refused unless `retest`; one that failed it `limit`
// times (aborted runs do not count) goes to repair.
std::string route_refusal(const line::RouteFacts& facts, const std::string& plan_name, bool retest,
                          const AttemptLimit& limit);

// A new run id: "<UTC start, 20261205T183228Z>-<hardware id, bytes outside
// [A-Za-z0-9._-] as "_", at most 64>-<8 random hex digits>".
std::string make_run_id(const std::string& hwid, std::chrono::system_clock::time_point started);

// The hardware id as the unit reports it: the reply "OK," and the id's line,
// kept without its line end.
struct HwidRead {
  std::optional<std::string> hwid;
  std::string error;       // why there is none
  bool transport = false;  // the port failed
};
HwidRead read_hwid(Transport& link);

// Whether `plan` has identity read-back steps and each passed in `record`.
bool identity_read_back(const Plan& plan, const UnitRecord& record);

// The station's side of the line database, for one station process. Not
// thread-safe.
class LineStation {
 public:
  struct Config {
    line::Actor actor;      // station and operator, for the line's log
    std::string plan_name;  // the route is per plan
    bool retest = false;    // a unit that passed may be tested again
    AttemptLimit limit;
    std::string records_dir;  // the outbox is beside it
    // Shared by the LineStations of one station's slots, which share the
    // outbox folder: one of them at a time sends what waits there.
    std::mutex* outbox_mutex = nullptr;
  };
  LineStation(std::unique_ptr<line::LineDb> db, Config config);

  line::LineDb& db() { return *db_; }
  const line::Actor& actor() const { return config_.actor; }
  const line::Outbox& outbox() const { return outbox_; }

  // What the station may do with the unit that reported `hwid` on `link`:
  // the route, what the unit carries against what the line holds, and the
  // identity to write, taken with assign. Nothing is written to the unit.
  struct Admission {
    std::optional<Unit> unit;   // the identity to write (MACs in command form); nothing: refused
    bool identity_new = false;  // taken from the pools now
    std::string refusal;        // why the unit is refused
    bool unavailable = false;   // the database could not be used: the same unit may come again
    bool transport = false;     // the port failed while the unit was read
  };
  Admission admit(const std::string& hwid, Transport& link);

  // Where the station's lines go (one line each, no line end).
  using Say = std::function<void(const std::string&)>;

  // After a unit: its run kept in the outbox, the identity marked
  // provisioned when the record says so, and the run stored. Tells `say`
  // where the run is; problems go to `err`.
  void deliver(const UnitRecord& record, const Say& say, std::FILE* err);
  // Only keeps the unit's run in the outbox, to be sent at the next start
  // (a station quitting at once). False with why in `error`.
  bool keep(const UnitRecord& record, std::string* error);
  // Sends the runs that wait (at start), saying so when any.
  void flush(const Say& say, std::FILE* err);

 private:
  static line::Result<line::Done> provision(line::LineDb& db, const line::RunRecord& run, std::FILE* err);
  line::Outbox::Flushed send_waiting(std::FILE* err, const line::RunRecord* run, Status* kept);
  line::RunRecord run_of(const UnitRecord& record) const;

  std::unique_ptr<line::LineDb> db_;
  Config config_;
  line::Outbox outbox_;
};

// "1 record waits", "3 records wait".
std::string waiting_text(std::size_t waiting);

}  // namespace ftmd::station
