#include "line/scratch_pg.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "common/shell_quote.h"

namespace ftmd::line {
namespace {

constexpr const char* kSystemUser = "postgres";
constexpr const char* kRole = "ftm";

}  // namespace

std::string ScratchPg::bin_dir() {
  const char* env = std::getenv("FTMLINE_PG_BIN");
  return env && *env ? env : "/usr/lib/postgresql/15/bin";
}

std::unique_ptr<ScratchPg> ScratchPg::start(std::string* error) {
  const passwd* user = ::getpwnam(kSystemUser);
  if (!user) {
    *error = "no system user \"postgres\" (is postgresql-15 installed? ./tools/install-deps)";
    return nullptr;
  }
  char dir_template[] = "/tmp/ftmline-pg.XXXXXX";
  if (!::mkdtemp(dir_template)) {
    *error = "cannot make a temporary folder: " + std::string(std::strerror(errno));
    return nullptr;
  }
  std::unique_ptr<ScratchPg> pg(new ScratchPg(dir_template));
  if (Status watched = pg->start_watchdog(); !watched) {
    *error = watched.message();
    return nullptr;
  }
  if (::chown(pg->dir_.c_str(), user->pw_uid, user->pw_gid) != 0) {
    *error = "cannot give " + pg->dir_ + " to postgres (not root?): " + std::strerror(errno);
    return nullptr;
  }
  Status made = run_program({"runuser", "-u", kSystemUser, "--", bin_dir() + "/initdb", "-D",
                             pg->dir_ + "/data", "-A", "trust", "-U", kRole, "--no-sync"},
                            pg->dir_ + "/initdb.log");
  if (!made) {
    *error = made.message();
    return nullptr;
  }
  if (Status started = pg->ctl("start"); !started) {
    *error = started.message();
    return nullptr;
  }
  return pg;
}

Status ScratchPg::start_watchdog() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Status::from_errno("cannot make the watchdog's pipe");
  UniqueFd read_end(fds[0]);
  keepalive_.reset(fds[1]);
  // Reads until the pipe closes, then stops the server and removes the
  // folder. Every path in the line is quoted.
  std::string stop;
  for (const auto& arg : ctl_argv("stop")) stop += shell_quote(arg) + " ";
  std::string script = "read _; " + stop + ">/dev/null 2>&1; rm -rf " + shell_quote(dir_);
  Status started;
  watchdog_ = Child::start({"sh", "-c", script}, "", "", &started, read_end.get(), true);
  return started;
}

ScratchPg::~ScratchPg() {
  keepalive_.reset();
  watchdog_.wait();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> ScratchPg::ctl_argv(const std::string& action) const {
  std::vector<std::string> argv = {"runuser", "-u",           kSystemUser, "--", bin_dir() + "/pg_ctl",
                                   "-D",      dir_ + "/data", "-w",        "-l", dir_ + "/server.log"};
  if (action != "start") argv.insert(argv.end(), {"-m", "immediate"});
  // The folder's name is ours (mkdtemp): pg_ctl's shell sees no odd byte.
  // After a crash the server syncs its data directory with one syncfs()
  // instead of an fsync() per file, which takes seconds on a busy disk.
  if (action != "stop")
    argv.insert(argv.end(),
                {"-o", "-k " + dir_ + " -c listen_addresses='' -c recovery_init_sync_method=syncfs"});
  argv.push_back(action);
  return argv;
}

Status ScratchPg::ctl(const std::string& action) const {
  return run_program(ctl_argv(action), dir_ + "/pg_ctl.log");
}

std::string ScratchPg::conninfo(const std::string& dbname, const std::string& user) const {
  return "host=" + dir_ + " user=" + user + " dbname=" + dbname;
}

Status ScratchPg::sql(const std::string& text, const std::string& dbname) const {
  return run_program({"psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", conninfo(dbname), "-c", text},
                     dir_ + "/psql.log");
}

Status ScratchPg::restart() { return ctl("restart"); }

}  // namespace ftmd::line
