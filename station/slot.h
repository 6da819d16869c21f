#pragma once

#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "console.h"
#include "fixtures.h"
#include "line_station.h"
#include "live_state.h"
#include "operator.h"
#include "operator_desk.h"
#include "plan.h"
#include "port_lock.h"
#include "record_book.h"
#include "runner.h"
#include "station_cli.h"

namespace ftmd::station {

// How long the --on-record hook may run before it is killed.
inline constexpr std::chrono::milliseconds kOnRecordTimeout{30'000};

// The units of a units file or of the command line, handed to the slots as
// they become free, in the file's order. Thread-safe.
class UnitQueue {
 public:
  explicit UnitQueue(const std::vector<Unit>& units);
  // The next unit and its number (1-based, its place in the file).
  std::optional<std::pair<int, Unit>> take();
  // A unit taken but not tested goes back to the front.
  void put_back(std::pair<int, Unit> unit);
  int total() const { return total_; }

 private:
  std::mutex mutex_;  // guards units_
  std::deque<std::pair<int, Unit>> units_;
  const int total_;
};

// With the line database: how many units the station may still take (all
// slots together; --count), and the units' numbers. Thread-safe.
class UnitTickets {
 public:
  explicit UnitTickets(int count) : left_(count), count_(count) {}
  // A ticket for one more unit; false once --count units were taken.
  bool take();
  // A ticket taken but not used (no new unit came).
  void give_back();
  // The next unit's number.
  int next_index() { return ++last_index_; }
  int count() const { return count_; }
  int taken() const { return last_index_.load(); }

 private:
  std::atomic<int> left_;  // unused when count_ is 0 (open-ended)
  const int count_;
  std::atomic<int> last_index_{0};
};

// What every slot of one station shares.
struct StationRun {
  const StationOptions& options;
  const Plan& plan;
  std::string station;
  std::string operator_name;
  Console& console;
  std::FILE* err;
  LiveState& state;
  OperatorDesk& desk;
  FixtureBench& fixtures;
  RecordBook& records;
  const OperatorSetup& operator_setup;
  const std::atomic<bool>& interrupted;  // the operator stopped the station
  bool several = false;                  // more than one slot: lines carry the slot's name
  UnitQueue* units = nullptr;            // the listed units, or
  UnitTickets* tickets = nullptr;        // the line's

  // How the units went, all slots together.
  std::mutex mutex;  // guards the counts and status below
  int passed = 0, failed = 0, aborted = 0, refused = 0;
  int status = kExitAllPassed;
  void worse(int s);
  void count(const UnitRecord& record);
};

// One test slot: its port (locked for its life), its runner and operator,
// and the loop that takes its units one after another. run() is the slot's
// thread; a slot whose port fails, or whose record cannot be written, stops
// without disturbing the others.
class SlotWorker {
 public:
  SlotWorker(StationRun& run, std::size_t index, SlotChoice slot, PortLock lock,
             std::unique_ptr<LineStation> line);

  void run();
  // For a station quitting at once: the unit under way as its record says
  // now, marked aborted with `why`, with its line data.
  std::optional<UnitRecord> abort_record(const std::string& why) const;
  LineStation* line() { return line_.get(); }
  const SlotChoice& slot() const { return slot_; }

 private:
  RunnerServices services();
  void run_listed();
  void run_line();
  void say(const std::string& text) const { run_.console.line(prefix_ + text); }
  void set_status(const std::string& status);
  // Asks for the next unit (the hook's action "next-unit"); false when the
  // station is stopping or the operator said no.
  bool ask_next_unit(const std::string& text);
  std::unique_ptr<Transport> open_device(std::string* error);
  // The port cannot be used: the slot stops.
  void stop_at_port(const std::string& error, const std::string& unit);
  // Writes the unit's record (and sends its run to the line); false when
  // the record cannot be written: the slot stops.
  bool finish_unit(const UnitRecord& record);
  // Runs the --on-record hook with the record's path.
  void on_record(const std::string& path);

  StationRun& run_;
  const std::size_t index_;
  const SlotChoice slot_;
  const std::string prefix_;
  PortLock lock_;
  std::unique_ptr<LineStation> line_;
  SlotOperator operator_;
  Runner runner_;
  mutable std::mutex line_mutex_;        // guards current_line_
  std::optional<LineRun> current_line_;  // the line data of the unit under way
};

}  // namespace ftmd::station
