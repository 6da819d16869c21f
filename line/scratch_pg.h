#pragma once

#include <memory>
#include <string>

#include "common/status.h"
#include "common/unique_fd.h"
#include "line/child.h"

namespace ftmd::line {

// A PostgreSQL server of its own for tests, fault runs and benchmarks: a
// cluster made by initdb in a new temporary folder as the "postgres" system
// user (the server refuses to run as root; so this needs root), trust
// authentication for the login role "ftm" (a superuser), listening only on
// a Unix socket in that folder. For throw-away data only.
//
// A watchdog process waits on a pipe from this one; when the pipe closes
// (the destructor, or this process dying in any way, SIGKILL included) it
// stops the server (immediate) and removes the folder. So no server is left
// behind, whatever happens to a test.
class ScratchPg {
 public:
  // The server programs: $FTMLINE_PG_BIN, else Debian's PostgreSQL 15.
  static std::string bin_dir();

  static std::unique_ptr<ScratchPg> start(std::string* error);
  ~ScratchPg();
  ScratchPg(const ScratchPg&) = delete;
  ScratchPg& operator=(const ScratchPg&) = delete;

  // A libpq connection string for database `dbname` as role `user`.
  std::string conninfo(const std::string& dbname = "postgres", const std::string& user = "ftm") const;
  // Runs SQL text through psql on database `dbname` (stops at the first error).
  Status sql(const std::string& text, const std::string& dbname = "postgres") const;
  // A crash and a start: `pg_ctl restart -m immediate`.
  Status restart();
  const std::string& dir() const { return dir_; }

 private:
  explicit ScratchPg(std::string dir) : dir_(std::move(dir)) {}
  std::vector<std::string> ctl_argv(const std::string& action) const;
  Status ctl(const std::string& action) const;
  Status start_watchdog();
  std::string dir_;
  UniqueFd keepalive_;  // the watchdog's pipe: closing it stops the server
  Child watchdog_;
};

}  // namespace ftmd::line
