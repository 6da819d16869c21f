#pragma once

#include <cstddef>
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

// One argument of a control as its table row declares it; the usage text
// and every check of a control line come from these declarations.
struct ControlArg {
  enum class Kind {
    kWord,    // any one word
    kNumber,  // an integer (decimal, 0x hex or 0 octal) from min to max
    kChoice,  // one of the words of `name` ("add|remove")
    kRest,    // the remaining words, joined by single spaces
  };
  Kind kind;
  const char* name;  // in the usage: "MS", "add|remove", "TEXT"
  bool optional = false;
  long min = 0, max = 0;

  static constexpr ControlArg word(const char* name) { return {Kind::kWord, name}; }
  static constexpr ControlArg number(const char* name, long min, long max) {
    return {Kind::kNumber, name, false, min, max};
  }
  static constexpr ControlArg choice(const char* words) { return {Kind::kChoice, words}; }
  static constexpr ControlArg rest(const char* name) { return {Kind::kRest, name}; }
  // The same argument, which may be left out (only at the end of the line).
  constexpr ControlArg or_none() const {
    ControlArg a = *this;
    a.optional = true;
    return a;
  }
};

// The arguments of one control line, checked against the control's
// declarations: index i is the i-th declared argument.
class ControlArgs {
 public:
  bool given(std::size_t i) const { return i < words_.size(); }
  const std::string& word(std::size_t i) const { return words_.at(i); }
  long number(std::size_t i) const { return values_.at(i); }
  // For a choice: the position of the given word in the declared list.
  std::size_t choice(std::size_t i) const { return static_cast<std::size_t>(values_.at(i)); }

 private:
  friend class Controls;
  std::vector<std::string> words_;  // one per given argument (a rest joined)
  std::vector<long> values_;        // numbers and choice positions (0 for the others)
};

// The board's controls by name, for the vboard tool: typed at `vboard up`'s
// prompt, written as "@name args" lines in a session file, or sent to the
// control socket. Each maps to the peripheral control APIs; add a row to the
// table in controls.cpp to offer a new one.
class Controls {
 public:
  struct Entry {
    const char* name;
    std::vector<ControlArg> args;
    const char* help;
    // Runs the control; returns a text to print (may be empty).
    std::function<std::string(Controls&, const ControlArgs&)> run;
  };

  explicit Controls(Board& board) : board_(board) {}
  // Stops controls still pending in the background (e.g. a delayed key press).
  ~Controls();

  // Runs one control line ("key", "usb-stick add", ...); throws ControlError
  // when the line does not fit the table.
  std::string run(const std::string& line);
  // Finds the control of a line and checks its arguments (no board needed);
  // throws ControlError. Nothing for an empty line.
  static std::pair<const Entry*, ControlArgs> parse(const std::string& line);
  static const std::vector<Entry>& table();
  static std::string usage(const Entry& entry);
  static std::string help();

  Board& board() { return board_; }
  // How many reboots the session has waited for so far.
  int& reboots_waited() { return reboots_waited_; }
  // Runs `action` after `delay` on a background thread owned by this object;
  // the action should end soon once its stop token is set.
  void later(std::chrono::milliseconds delay, std::function<void(std::stop_token)> action);

 private:
  Board& board_;
  int reboots_waited_ = 0;
  std::mutex mutex_;
  std::vector<std::jthread> pending_;  // guarded by mutex_
};

}  // namespace vboard
