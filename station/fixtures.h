#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace ftmd::station {

// The station's shared fixtures (the trigger test plug, the USB stick jig):
// one slot at a time holds a fixture; the others wait for it in the order
// they asked. Thread-safe.
class FixtureBench {
 public:
  // Waits until `slot` holds `fixture` (at once when it already does or
  // nobody does). `waiting` is called with the holder's name whenever the
  // slot has to wait (and again when the holder changes). False when the
  // bench was closed first (the station is stopping).
  bool take(const std::string& fixture, const std::string& slot,
            const std::function<void(const std::string& holder)>& waiting = {});
  // Gives `fixture` back if `slot` holds it; the next waiting slot gets it.
  void give_back(const std::string& fixture, const std::string& slot);
  // Who holds `fixture` ("" nobody).
  std::string holder(const std::string& fixture) const;
  // Every waiting and later take() returns false.
  void close();

 private:
  struct Fixture {
    std::string holder;
    std::deque<std::string> queue;  // slots waiting, first come first
  };
  mutable std::mutex mutex_;  // guards fixtures_ and closed_
  std::condition_variable changed_;
  std::map<std::string, Fixture> fixtures_;
  bool closed_ = false;
};

}  // namespace ftmd::station
