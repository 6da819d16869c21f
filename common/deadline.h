#pragma once

#include <chrono>
#include <climits>

namespace ftmd {

// A point on the steady clock by which something must have happened. Waits
// that poll() or wait on a condition take what is left of one deadline, so a
// loop of several waits never runs past it.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(Clock::duration within) : at_(Clock::now() + within) {}
  static Deadline at(Clock::time_point when) { return Deadline(when); }

  Clock::time_point when() const { return at_; }
  bool passed() const { return Clock::now() >= at_; }
  // What is left, never negative.
  Clock::duration left() const {
    auto left = at_ - Clock::now();
    return left > Clock::duration::zero() ? left : Clock::duration::zero();
  }
  // What is left as a poll() time-out in milliseconds: rounded up, so a wait
  // never ends just before the deadline and spins; 0 once it has passed.
  int poll_ms() const {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left()).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  }

 private:
  explicit Deadline(Clock::time_point when) : at_(when) {}
  Clock::time_point at_;
};

}  // namespace ftmd
