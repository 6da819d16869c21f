#pragma once

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vboard/board.h"

namespace vboard {

// A control was used wrongly (unknown name, bad arguments).
class ControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The board's controls by name, for the vboard tool: typed at `vboard up`'s
// prompt, or written as "@name args" lines in a session file. Each maps to
// the peripheral control APIs; add a row to the table in controls.cpp to
// offer a new one.
class Controls {
 public:
  struct Entry {
    const char* name;
    const char* args;  // usage, e.g. "add|remove"
    const char* help;
    // Runs the control; returns a text to print (may be empty). Throws
    // ControlError on bad use.
    std::function<std::string(Controls&, const std::vector<std::string>& args)> run;
  };

  explicit Controls(Board& board) : board_(board) {}
  // Stops controls still pending in the background (e.g. a delayed key press).
  ~Controls();

  // Runs one control line ("key", "usb-stick add", ...).
  std::string run(const std::string& line);
  static const std::vector<Entry>& table();
  static std::string help();

  Board& board() { return board_; }
  // How many reboots the session has waited for so far.
  int& reboots_waited() { return reboots_waited_; }
  // Runs `action` after `delay` on a background thread owned by this object.
  void later(std::chrono::milliseconds delay, std::function<void()> action);

 private:
  Board& board_;
  int reboots_waited_ = 0;
  std::mutex mutex_;
  std::vector<std::jthread> pending_;  // guarded by mutex_
};

}  // namespace vboard
