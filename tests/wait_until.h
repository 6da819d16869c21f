#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/deadline.h"

namespace ftmd::test {

// Asks `done` until it answers true or `within` has passed, with a short pause
// between asks; returns its last answer, so a test asserts on the event it
// waited for, never on a fixed sleep. Every wait of the tests goes through
// here.
template <typename Predicate>
bool wait_until(Predicate&& done, std::chrono::milliseconds within = std::chrono::seconds(10),
                std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const Deadline deadline(within);
  for (;;) {
    if (done()) return true;
    if (deadline.passed()) return done();
    std::this_thread::sleep_for(std::min<Deadline::Clock::duration>(step, deadline.left()));
  }
}

}  // namespace ftmd::test
