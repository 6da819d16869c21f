#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/event_fd.h"
#include "console.h"
#include "operator_desk.h"

namespace ftmd::station {

// The station's terminal as an answering channel: reads the operator's
// lines from `in_fd` on a thread of its own and answers the desk's open
// questions (channel kChannelTerminal, as `operator_name`).
//
// A line answers the only open question; with several open, it begins with
// the slot's name ("b p", "c SN000123"). Confirm: Enter or y (yes), n (no);
// judge: p or y (pass), f or n (fail); scan: the text. A refused answer is
// said why. At the end of input, confirmations are answered yes from then on
// (a station fed from a file or /dev/null goes on, as before); judgements and
// scans wait for another channel. When a question opens, the console tells
// how to answer it.
class TerminalAnswers {
 public:
  // Registers with `desk` (before any question is asked) and starts reading.
  TerminalAnswers(OperatorDesk& desk, Console& console, int in_fd, std::string operator_name,
                  std::vector<std::string> slots);
  ~TerminalAnswers();
  TerminalAnswers(const TerminalAnswers&) = delete;
  TerminalAnswers& operator=(const TerminalAnswers&) = delete;

  // What one line of input does (the reading thread calls it; tests too).
  void take_line(const std::string& raw);

 private:
  void opened(const OpenQuestion& question);
  void read_loop(const std::stop_token& stop);
  std::string prefix(const std::string& slot) const;

  OperatorDesk& desk_;
  Console& console_;
  const int in_fd_;
  const std::string operator_name_;
  const std::vector<std::string> slots_;
  std::atomic<bool> at_end_{false};  // the input has ended
  EventFd wake_;
  std::jthread reader_;
};

}  // namespace ftmd::station
