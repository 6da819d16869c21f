#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/status.h"

namespace ftmd::line {

// A program started with an argv (no shell, found on PATH), its output
// going to files, so no pipe can fill and stall it. Move-only; the
// destructor kills (SIGKILL) and reaps a child still running, so none is
// left behind on any path.
class Child {
 public:
  // `stdout_path` and `stderr_path`: files to write (created or appended);
  // "" for /dev/null. stdin is /dev/null, or `stdin_fd` when given. With
  // `own_session` the child leaves this process's session and group, so a
  // signal to the whole group does not reach it.
  static Child start(const std::vector<std::string>& argv, const std::string& stdout_path,
                     const std::string& stderr_path, Status* status, int stdin_fd = -1,
                     bool own_session = false);

  Child() = default;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void kill(int signal) const;
  // Waits for the child to end; its wait status (as waitpid gives it), or -1
  // when there was none.
  int wait();

 private:
  explicit Child(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;
};

// Runs argv to its end with stdout and stderr into `log_path` (appended);
// fails with the program's exit status and the log's last lines.
Status run_program(const std::vector<std::string>& argv, const std::string& log_path);

// The whole text of a file ("" when it cannot be read).
std::string read_text(const std::string& path);

}  // namespace ftmd::line
