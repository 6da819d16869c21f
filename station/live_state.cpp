#include "live_state.h"

namespace ftmd::station {

const char* step_state_name(StepState state) {
  switch (state) {
    case StepState::kPending:
      return "pending";
    case StepState::kRunning:
      return "running";
    case StepState::kPassed:
      return "passed";
    case StepState::kFailed:
      return "failed";
    case StepState::kSkipped:
      return "skipped";
    case StepState::kAborted:
      return "aborted";
  }
  return "pending";
}

void LiveState::update(const std::function<void(StationSnapshot&)>& change) {
  {
    std::lock_guard lock(mutex_);
    change(snapshot_);
    ++snapshot_.version;
  }
  changed_.notify_all();
}

void LiveState::update_slot(std::size_t slot, const std::function<void(SlotView&)>& change) {
  update([&](StationSnapshot& s) {
    if (slot < s.slots.size()) change(s.slots[slot]);
  });
}

StationSnapshot LiveState::snapshot() const {
  std::lock_guard lock(mutex_);
  return snapshot_;
}

StationSnapshot LiveState::wait_newer(std::uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return snapshot_.version > seen; });
  return snapshot_;
}

}  // namespace ftmd::station
