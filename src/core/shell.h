#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace ftmd {

// A read pipe from `popen(command, "r")`. The destructor closes it and so
// reaps the shell; close() does the same early and returns pclose's status.
class ReadPipe {
 public:
  explicit ReadPipe(const char* command);
  ReadPipe(const ReadPipe&) = delete;
  ReadPipe& operator=(const ReadPipe&) = delete;
  ~ReadPipe();

  bool started() const { return fp_ != nullptr; }
  FILE* get() const { return fp_; }
  // Reads one line (fgets semantics, at most size-1 bytes). False at EOF.
  bool read_line(char* buf, int size);
  // Waits for the command; returns its wait status, or -1 if never started.
  int close();

 private:
  FILE* fp_ = nullptr;
};

// Runs `command` through the shell and waits (system(3)); returns the status.
int run_shell(const char* command);

}  // namespace ftmd
