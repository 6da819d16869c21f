#pragma once

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "common/deadline.h"
#include "line/result.h"

namespace ftmd::line {

// Whether an operation may run again after a lost connection left it in
// doubt: true when running it twice does what running it once does (assign
// by hardware id, store a run by run id).
enum class Replay { kSafe, kUnsafe };

// The one place where failed transactions are tried again. `attempt` runs
// until it gives a value or a failure that another attempt cannot mend, for
// at most `within`, with a growing, jittered pause between attempts (2 ms to
// 250 ms). Tried again: a transaction the engine rolled back (kRetry) and a
// server that could not be reached (kUnreachable: nothing was done); a lost
// connection (kInDoubt) only for kSafe operations. A kRetry still failing at
// the end becomes kFailed.
template <typename F>
auto retrying(std::chrono::milliseconds within, Replay replay, F&& attempt) -> decltype(attempt()) {
  using namespace std::chrono_literals;
  const Deadline deadline(within);
  thread_local std::minstd_rand jitter{std::random_device{}()};
  auto pause = 2ms;
  for (int tries = 1;; ++tries) {
    auto result = attempt();
    if (result.ok()) return result;
    const Error& error = result.error();
    bool again = error.kind == ErrorKind::kRetry || error.kind == ErrorKind::kUnreachable ||
                 (error.kind == ErrorKind::kInDoubt && replay == Replay::kSafe);
    if (!again || deadline.passed()) {
      if (error.kind != ErrorKind::kRetry) return result;
      return Error{ErrorKind::kFailed,
                   error.message + " (still so after " + std::to_string(tries) + " attempts)"};
    }
    auto sleep = std::chrono::milliseconds(pause.count() / 2 + jitter() % (pause.count() / 2 + 1));
    std::this_thread::sleep_for(std::min<Deadline::Clock::duration>(sleep, deadline.left()));
    pause = std::min(pause * 2, std::chrono::milliseconds(250));
  }
}

}  // namespace ftmd::line
