#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace ftmd::station {

// The station's standard output, shared by every slot: whole lines, never
// two slots' text in one line. With one slot on a terminal, a running step
// may keep a progress line ("\r" redrawn) below the last line; any line
// clears it first. Thread-safe.
class Console {
 public:
  Console(std::FILE* out, bool progress_line) : out_(out), progress_allowed_(progress_line) {}

  // Prints `text` and a line end.
  void line(const std::string& text);
  // Redraws the progress line (only when progress lines are on).
  void progress(const std::string& text);
  // Clears the progress line if one is shown.
  void end_progress();
  bool progress_lines() const { return progress_allowed_; }

 private:
  std::mutex mutex_;  // guards the stream and progress_shown_
  std::FILE* out_;
  const bool progress_allowed_;
  bool progress_shown_ = false;
};

}  // namespace ftmd::station
