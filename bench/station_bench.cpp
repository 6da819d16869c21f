// The station's throughput on virtual boards: one ftmstation with 1, 2 and 4
// slots, each slot on a board of its own (one PC LAN, as a line PC with four
// fixtures), runs the default plan on `--units-per-slot` units each (the
// board's operator hook doing the operator's part and judging the LEDs;
// between a slot's units it puts the next unit on), all in one run. Also 4
// slots with a set of fixtures each (the plan's `fixture` keys left out), to
// show what the station's shared trigger plug and USB stick cost. Prints one
// markdown table: wall time, units per hour, and the time of N slots against
// one slot's for the same units per slot.
//
//   ftmstation_bench [--units-per-slot K] [--rounds R]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "vboard/board.h"
#include "vboard/control_service.h"
#include "vboard/launcher.h"
#include "vboard/pc_lan.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBoards = 4;
constexpr int kDefaultUnitsPerSlot = 2;
constexpr int kDefaultRounds = 3;
constexpr double kRatioTarget = 1.3;
constexpr auto kRunWithin = 600s;
const char* const kSlotNames[kBoards] = {"a", "b", "c", "d"};

std::string next_to_self(const char* name) {
  std::error_code ec;
  auto self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? name : (self.parent_path() / name).string();
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Rig {
  vboard::PcLan lan;
  std::vector<std::unique_ptr<vboard::Board>> boards;
  std::vector<std::unique_ptr<vboard::ControlService>> controls;
  std::vector<std::string> ports;
};

struct Run {
  int slots = 0;
  int units = 0;
  double seconds = 0;
  std::string plan;
};

// The runs of one configuration over every round: median, min and max.
struct Figures {
  std::string plan;
  int slots = 0;
  int units = 0;
  std::vector<double> seconds;
  double median() const {
    std::vector<double> s = seconds;
    std::sort(s.begin(), s.end());
    return s.size() % 2 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
  }
};

// The station with `slots` slots on `units` units from a CSV, timed from
// its start to its exit.
Run run_station(Rig& rig, const std::string& dir, const std::string& plan, const std::string& plan_name,
                int slots, int units_per_slot) {
  const int units = slots * units_per_slot;
  static int serial = 0;
  std::ofstream csv(dir + "/units.csv");
  csv << "sn,csn,lan4_mac,lan3_mac\n";
  for (int i = 0; i < units; ++i, ++serial) {
    char line[128];
    std::snprintf(line, sizeof line, "SN%06d,C-%06d,001B2C%06X,001B2C%06X\n", serial, serial, 2 * serial,
                  2 * serial + 1);
    csv << line;
  }
  csv.close();
  vboard::Launch station;
  station.argv = {next_to_self("ftmstation"),
                  "--units",
                  dir + "/units.csv",
                  "--plan",
                  plan,
                  "--records",
                  dir + "/records",
                  "--yes",
                  "--station",
                  "bench",
                  "--operator",
                  "bench",
                  "--operator-hook",
                  std::string(STATION_EXAMPLES_DIR) + "/vboard-operator"};
  station.env = {"VBOARD=" + next_to_self("vboard")};
  for (int n = 0; n < slots; ++n) {
    station.argv.push_back("--slot");
    station.argv.push_back(std::string(kSlotNames[n]) + "=" + rig.ports[static_cast<std::size_t>(n)]);
    station.env.push_back(std::string("VBOARD_CONTROL_") + kSlotNames[n] + "=" +
                          rig.controls[static_cast<std::size_t>(n)]->path());
  }
  station.netns = rig.lan.netns_fd();
  const auto start = Clock::now();
  const auto ran = vboard::run_collecting(station, kRunWithin);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (ran.status != 0) {
    std::fprintf(stderr, "ftmstation_bench: the station with %d slots failed (%d):\n%s", slots, ran.status,
                 ran.output.c_str());
    std::exit(1);
  }
  return {slots, units, seconds, plan_name};
}

}  // namespace

int main(int argc, char** argv) {
  int units_per_slot = kDefaultUnitsPerSlot;
  int rounds = kDefaultRounds;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--units-per-slot" && i + 1 < argc) {
      units_per_slot = std::atoi(argv[++i]);
    } else if (std::string(argv[i]) == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: ftmstation_bench [--units-per-slot K] [--rounds R]\n");
      return 64;
    }
  }
  if (units_per_slot < 1 || rounds < 1) return 64;
  const std::string dir = fs::temp_directory_path() / ("ftmstation-bench-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string shared = std::string(STATION_PLAN_DIR) + "/default.yaml";
  // The same plan with a set of fixtures at every slot.
  const std::string own = dir + "/own-fixtures.yaml";
  std::ofstream(own) << std::regex_replace(slurp(shared), std::regex("\n *fixture: [^\n]*"), "");

  Rig rig;
  for (int n = 1; n <= kBoards; ++n) {
    vboard::BoardOptions options;
    options.ftmd = next_to_self("ftmd");
    options.reboot_reenumerates = true;
    // The board's own boot time (1.5 s): the kernel reports a link's
    // carrier changes at most once a second, so a board back sooner can
    // leave the PC with the last unit's MAC for its address.
    options.soc_uid = "0x" + std::to_string(5000 + n) + "\n";
    vboard::PcLan::configure(options, n);
    rig.boards.push_back(std::make_unique<vboard::Board>(options));
    rig.lan.adopt(*rig.boards.back(), n);
    rig.ports.push_back(rig.boards.back()->usb_host().attach_cable(dir + "/ttyPC" + std::to_string(n)));
    rig.controls.push_back(std::make_unique<vboard::ControlService>(*rig.boards.back()));
  }
  for (auto& board : rig.boards)
    if (!board->wait_serving(30s)) {
      std::fprintf(stderr, "ftmstation_bench: a board's ftmd does not serve\n");
      return 1;
    }

  // The configurations take turns, round after round, so that the load of
  // the machine weighs on all of them alike.
  const std::string own_name = "default, a set of fixtures per slot";
  std::vector<Figures> figures{{"default", 1, units_per_slot, {}},
                               {"default", 2, 2 * units_per_slot, {}},
                               {"default", 4, 4 * units_per_slot, {}},
                               {own_name, 1, units_per_slot, {}},
                               {own_name, 4, 4 * units_per_slot, {}}};
  for (int round = 0; round < rounds; ++round)
    for (auto& f : figures)
      f.seconds.push_back(
          run_station(rig, dir, f.plan == own_name ? own : shared, f.plan, f.slots, units_per_slot).seconds);

  std::printf(
      "| plan | slots | units | wall time, median (min–max) of %d | units per hour | time against 1 slot | "
      "target | |\n",
      rounds);
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const Figures& f : figures) {
    double one = 0;
    for (const Figures& o : figures)
      if (o.slots == 1 && o.plan == f.plan) one = o.median();
    const double ratio = f.median() / one;
    const bool judged = f.slots == 4;
    char ratio_text[32];
    std::snprintf(ratio_text, sizeof ratio_text, "%.2f×", ratio);
    std::printf("| %s | %d | %d | %.1f s (%.1f–%.1f) | %.0f | %s | %s | %s |\n", f.plan.c_str(), f.slots,
                f.units, f.median(), *std::min_element(f.seconds.begin(), f.seconds.end()),
                *std::max_element(f.seconds.begin(), f.seconds.end()), 3600.0 * f.units / f.median(),
                ratio_text, judged ? "≤ 1.3×" : "",
                judged ? (ratio <= kRatioTarget ? "met" : "**missed**") : "");
  }
  rig.controls.clear();
  rig.boards.clear();
  fs::remove_all(dir);
  return 0;
}
