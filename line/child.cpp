#include "line/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <utility>

extern char** environ;

namespace ftmd::line {
namespace {

// Spawn attributes and file actions, destroyed on every path.
class SpawnAttr {
 public:
  SpawnAttr() { posix_spawnattr_init(&attr_); }
  ~SpawnAttr() { posix_spawnattr_destroy(&attr_); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_{};
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
};

}  // namespace

Child Child::start(const std::vector<std::string>& argv, const std::string& stdout_path,
                   const std::string& stderr_path, Status* status, int stdin_fd, bool own_session) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  FileActions actions;
  int flags = O_WRONLY | O_CREAT | O_APPEND;
  if (stdin_fd >= 0)
    posix_spawn_file_actions_adddup2(actions.get(), stdin_fd, 0);
  else
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), 1, stdout_path.empty() ? "/dev/null" : stdout_path.c_str(),
                                   flags, 0644);
  posix_spawn_file_actions_addopen(actions.get(), 2, stderr_path.empty() ? "/dev/null" : stderr_path.c_str(),
                                   flags, 0644);
  SpawnAttr attr;
  if (own_session) posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], actions.get(), attr.get(), args.data(), environ);
  if (rc != 0) {
    *status = Status::from_errno("cannot start " + argv[0], rc);
    return Child();
  }
  *status = Status();
  return Child(pid);
}

Child::Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

void Child::kill(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

int Child::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0)
    if (errno != EINTR) {
      status = -1;
      break;
    }
  pid_ = -1;
  return status;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Status run_program(const std::vector<std::string>& argv, const std::string& log_path) {
  Status started;
  Child child = Child::start(argv, log_path, log_path, &started);
  if (!started) return started;
  int status = child.wait();
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  std::string log = read_text(log_path);
  constexpr std::size_t kTail = 600;
  if (log.size() > kTail) log = "..." + log.substr(log.size() - kTail);
  return Status::failure(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") + " failed (wait status " +
                         std::to_string(status) + "): " + log);
}

}  // namespace ftmd::line
