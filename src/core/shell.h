#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

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
  // Waits for the command; returns its wait status, or -1 if never started.
  int close();

 private:
  FILE* fp_ = nullptr;
};

// Runs `command` through the shell and waits (system(3)); returns the status.
int run_shell(const char* command);

// What a command printed first.
struct OutputLine {
  bool started = false;             // the shell could be started
  std::optional<std::string> line;  // its first output line, if it printed any
};

// Runs `command` through the shell on a read pipe, reads the first line of its
// standard output the way fgets reads it with a buffer of `max_chars` + 1
// bytes (at most `max_chars` bytes, the line feed included when it fits, cut
// at a NUL byte), and waits for the command before returning. Its standard
// error is not captured and its exit status is not judged.
OutputLine first_output_line(const char* command, std::size_t max_chars);

}  // namespace ftmd
