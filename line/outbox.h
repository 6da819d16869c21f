#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "line/line_db.h"

namespace ftmd::line {

// Runs waiting for the line database: one JSON file per run in a folder
// beside the station's records, written whole (temp file, fsync, rename)
// before the database is asked, and removed only after the database has
// stored the run. A station that dies, or a database that cannot be reached,
// loses no run; one sent twice is stored once (runs are keyed by run id).
// Not thread-safe; one Outbox per folder per process. Several processes
// flushing one folder send some runs twice, which is harmless.
class Outbox {
 public:
  explicit Outbox(std::string dir);

  // The outbox of the records folder `records_dir`: "<records_dir>.outbox".
  static std::string beside(const std::string& records_dir);

  const std::string& dir() const { return dir_; }

  // Keeps `run` until it is sent (creates the folder when needed).
  Status put(const RunRecord& run);

  // How many runs wait.
  std::size_t waiting() const;

  struct Flushed {
    std::size_t sent = 0;     // stored now, or found already stored
    std::size_t waiting = 0;  // still here: the database could not be used
    // Files that are not runs, or runs the database refused: each renamed
    // to "<name>.bad" (kept, no longer sent) and named here with the reason.
    std::vector<std::string> problems;
    Error last_error;  // why runs still wait (when waiting > 0)
  };
  // Called for each run just before it is stored (the station marks the
  // unit provisioned there). A failure other than a refusal leaves the run,
  // and those after it, waiting; a refusal does not keep the run back.
  using BeforeStore = std::function<Result<Done>(LineDb&, const RunRecord&)>;

  // Sends every waiting run, in file name order; stops at the first
  // failure that is not a refusal of the run itself (the database cannot
  // be reached, or may not be written by this role now).
  Flushed flush(LineDb& db, const BeforeStore& before = {});

  // put, then flush: the run is safe on disk before the database is asked.
  Flushed deliver(LineDb& db, const RunRecord& run, Status* kept, const BeforeStore& before = {});

 private:
  std::vector<std::string> files() const;  // waiting runs' file names, sorted
  std::string dir_;
};

// A run as the outbox writes it, and back; nullopt (with `why`) for a text
// that is not a run.
std::string run_to_json(const RunRecord& run);
std::optional<RunRecord> run_from_json(const std::string& text, std::string* why);

}  // namespace ftmd::line
