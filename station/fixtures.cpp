#include "fixtures.h"

#include <algorithm>

namespace ftmd::station {
namespace {

// Each wait is bounded; the predicate decides.
constexpr std::chrono::seconds kWaitSlice{1};

}  // namespace

bool FixtureBench::take(const std::string& fixture, const std::string& slot,
                        const std::function<void(const std::string& holder)>& waiting) {
  std::unique_lock lock(mutex_);
  Fixture& f = fixtures_[fixture];
  if (closed_) return false;
  if (f.holder == slot) return true;
  if (f.holder.empty() && f.queue.empty()) {
    f.holder = slot;
    return true;
  }
  f.queue.push_back(slot);
  std::string told;
  for (;;) {
    if (closed_) {
      f.queue.erase(std::find(f.queue.begin(), f.queue.end(), slot));
      changed_.notify_all();
      return false;
    }
    if (f.holder.empty() && f.queue.front() == slot) {
      f.queue.pop_front();
      f.holder = slot;
      return true;
    }
    if (waiting && f.holder != told && !f.holder.empty()) {
      told = f.holder;
      lock.unlock();
      waiting(told);
      lock.lock();
      continue;
    }
    changed_.wait_for(lock, kWaitSlice, [&] {
      return closed_ || (f.holder.empty() && f.queue.front() == slot) ||
             (!f.holder.empty() && f.holder != told);
    });
  }
}

void FixtureBench::give_back(const std::string& fixture, const std::string& slot) {
  {
    std::lock_guard lock(mutex_);
    auto it = fixtures_.find(fixture);
    if (it == fixtures_.end() || it->second.holder != slot) return;
    it->second.holder.clear();
  }
  changed_.notify_all();
}

std::string FixtureBench::holder(const std::string& fixture) const {
  std::lock_guard lock(mutex_);
  auto it = fixtures_.find(fixture);
  return it == fixtures_.end() ? std::string() : it->second.holder;
}

void FixtureBench::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

}  // namespace ftmd::station
