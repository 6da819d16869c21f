#pragma once

#include <sys/types.h>

#include <string>

#include "common/unique_fd.h"
#include "vboard/board.h"

namespace vboard {

// Several boards on one test PC, as a station with one fixture per slot has
// them: the PC's ends of every board's cables in one network namespace of
// their own. Board n (from 1) has lan4 at 192.0.(10+n).1/24 and the PC's end
// of it 192.0.(10+n).2/24, so each board's web server is reached on its own
// address; the PC's ends are named "<interface>-pc<n>". A program run in
// netns_fd() reaches them all. The PC checks a board's MAC again a second
// after it last saw it answer, so a unit swapped in with a new MAC is
// reached at once even when the kernel missed the short link drop. Create
// and destroy it on one thread.
class PcLan {
 public:
  // Makes the namespace (held by a child process that dies with this
  // object, or with the process); throws BoardError when it cannot.
  PcLan();
  ~PcLan();
  PcLan(const PcLan&) = delete;
  PcLan& operator=(const PcLan&) = delete;

  // The options of board `n` on this LAN (lan4's address set).
  static void configure(BoardOptions& options, int n);
  // Board n's web server address: "192.0.(10+n).1".
  static std::string board_address(int n);
  // Moves the PC's ends of `board` (booted with configure(options, n)) into
  // this namespace and gives lan4's end its address; throws BoardError.
  void adopt(Board& board, int n);

  int netns_fd() const { return netns_.get(); }
  pid_t holder_pid() const { return holder_; }

 private:
  pid_t holder_ = -1;
  ftmd::UniqueFd netns_;
};

}  // namespace vboard
