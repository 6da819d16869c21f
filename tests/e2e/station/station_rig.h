#pragma once

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "line/line_test_db.h"

namespace ftmd::test {

// How long boards started together may take to serve: they boot at once and,
// under the sanitizers beside another test, share two cores.
constexpr std::chrono::seconds kBoardsServingDeadline{60};

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A new line database at `url` with `units` units' worth of values (SN0001,
// C-0001, MACs from 00:1B:2C:00:00:00 up); "" or what went wrong.
inline std::string seed_line(const std::string& url, int units) {
  const std::string n = std::to_string(units), macs = std::to_string(2 * units);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"init"},
        {"import-macs", "--first", "00:1B:2C:00:00:00", "--count", macs},
        {"import-serials", "--kind", "sn", "--prefix", "SN", "--digits", "4", "--from", "1", "--count", n},
        {"import-serials", "--kind", "csn", "--prefix", "C-", "--digits", "4", "--from", "1", "--count", n}})
    if (auto ran = line::test::ftmline(url, args); ran.code != 0) return ran.err;
  return "";
}

// ftmstation on a board as a line PC runs it: in the PC's network (for the
// activation downloads) on the PC's end of the USB cable, with a records
// folder and an operator hook that appends each action to `dir_/actions`
// and waits (up to 30 s) until the test has done it on the board and made
// `dir_/ack.<n>`. The reboot at the end of the default plan takes the port
// away and brings it back, as the device's re-enumeration does.
class StationBoardTest : public BoardTest {
 protected:
  using Run = std::future<vboard::Board::ExecResult>;

  void configure(vboard::BoardOptions& o) override {
    o.reboot_reenumerates = true;
    o.boot_time = 500ms;
  }
  void SetUp() override {
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    port_ = board().usb_host().attach_cable(board().state_dir() + "/ttyPC0");
    dir_ = board().state_dir() + "/station";
    std::filesystem::create_directories(dir_ + "/records");
    hook_ = dir_ + "/hook";
    std::ofstream(hook_) << "#!/bin/sh\necho \"$1\" >> '" << dir_ << "/actions'\nn=$(wc -l < '" << dir_
                         << "/actions')\ni=0\nwhile [ ! -e '" << dir_ << "/ack.'$n ]; do\n"
                         << "  sleep 0.02; i=$((i+1)); [ $i -gt 1500 ] && exit 1\ndone\nexit 0\n";
    ::chmod(hook_.c_str(), 0755);
  }

  // Starts ftmstation with `args` after the port, hook and records options.
  Run start_station(std::vector<std::string> args) {
    std::vector<std::string> argv{
        FTMSTATION_BINARY, "--port", port_,  "--operator-hook", hook_, "--records", dir_ + "/records",
        "--station",       "e2e",    "--yes"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::async(std::launch::async, [this, argv] { return board().run_on_pc(argv, 180s); });
  }

  // Does the operator's actions as the hook reports them until the station
  // has finished; returns them in order. `before` sees each action before it
  // is done (the reset key: while the daemon waits for it); "next-unit" is
  // `before`'s alone, done before the hook returns.
  std::vector<std::string> operate(Run& run, const std::function<void(const std::string&)>& before = {}) {
    std::vector<std::string> done;
    while (run.wait_for(20ms) != std::future_status::ready) {
      std::istringstream lines(slurp(dir_ + "/actions"));
      std::vector<std::string> actions;
      for (std::string line; std::getline(lines, line);) actions.push_back(line);
      for (; done.size() < actions.size(); done.push_back(actions[done.size()])) {
        const std::string& action = actions[done.size()];
        if (action == "next-unit") {
          // The next unit is on the fixture before the station looks for it.
          if (before) before(action);
          std::ofstream ack(dir_ + "/ack." + std::to_string(done.size() + 1));
          continue;
        }
        const std::size_t mark = syslog().mark();
        std::ofstream ack(dir_ + "/ack." + std::to_string(done.size() + 1));  // the hook goes on
        if (action == "reset-key") {
          EXPECT_TRUE(syslog().wait_for("device opened OK", 20s, mark)) << "the key test did not start";
        }
        if (before) before(action);
        if (action == "reset-key") {
          board().keypad().press_reset_key();
        } else if (action == "trigger-plug") {
          board().gpio().set_input(9, 1);  // something is plugged in
          board().gpio().set_input(6, 0);  // and drives the input (active low)
        } else if (action == "usb-stick-in" || action == "usb-stick-out") {
          board().uevents().usb_stick(action == "usb-stick-in");
        }
      }
    }
    return done;
  }

  std::vector<std::filesystem::path> records(const std::string& extension) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/records"))
      if (entry.path().extension() == extension) found.push_back(entry.path());
    return found;
  }

  std::string port_, dir_, hook_;
};

}  // namespace ftmd::test
