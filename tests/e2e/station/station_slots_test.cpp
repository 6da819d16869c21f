// One ftmstation with four slots on four virtual boards, as a line PC with
// four fixtures has them: every board's cable on its own port, every board's
// lan4 on its own address in the PC's one network. The shipped operator hook
// for the board does what the prompts ask and judges the LEDs by looking at
// them; identities come from one line database.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "board_fixture.h"
#include "line/line_test_db.h"
#include "station_rig.h"
#include "vboard/control_service.h"
#include "vboard/launcher.h"
#include "vboard/pc_lan.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kSlots = 4;
const char* const kSlotNames[kSlots] = {"a", "b", "c", "d"};

TEST(StationSlots, FourSlotsOnFourBoardsPassTheDefaultPlanWithTheLinesIdentities) {
  vboard::PcLan lan;
  std::vector<std::unique_ptr<vboard::Board>> boards;
  std::vector<std::unique_ptr<vboard::ControlService>> controls;
  const std::string dir = fs::temp_directory_path() / ("station-slots-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::vector<std::string> argv{FTMSTATION_BINARY,
                                "--db",
                                "sqlite:" + dir + "/line.db",
                                "--count",
                                "4",
                                "--records",
                                dir + "/records",
                                "--station",
                                "e2e",
                                "--operator",
                                "ann",
                                "--yes",
                                "--operator-hook",
                                std::string(STATION_EXAMPLES_DIR) + "/vboard-operator"};
  std::vector<std::string> env{"VBOARD=" + std::string(VBOARD_BINARY)};
  for (int n = 1; n <= kSlots; ++n) {
    vboard::BoardOptions options = default_board_options();
    options.reboot_reenumerates = true;
    // The board's own boot time: one shorter than the kernel's second
    // between carrier reports can leave the PC with the last unit's MAC.
    options.soc_uid = "0x" + std::to_string(1000 + n) + "\n";
    vboard::PcLan::configure(options, n);
    boards.push_back(std::make_unique<vboard::Board>(options));
    lan.adopt(*boards.back(), n);
    const std::string port = boards.back()->usb_host().attach_cable(dir + "/ttyPC" + std::to_string(n));
    controls.push_back(std::make_unique<vboard::ControlService>(*boards.back()));
    argv.push_back("--slot");
    argv.push_back(std::string(kSlotNames[n - 1]) + "=" + port);
    env.push_back(std::string("VBOARD_CONTROL_") + kSlotNames[n - 1] + "=" + controls.back()->path());
  }
  ASSERT_EQ(seed_line("sqlite:" + dir + "/line.db", 4), "");
  for (auto& board : boards) ASSERT_TRUE(board->wait_serving(kBoardsServingDeadline));

  vboard::Launch station;
  station.argv = argv;
  station.netns = lan.netns_fd();
  station.env = env;
  const auto ran = vboard::run_collecting(station, 300s);
  ASSERT_EQ(ran.status, 0) << ran.output;
  EXPECT_NE(ran.output.find("4 of 4 units passed; JUnit report " + dir + "/records/junit-"),
            std::string::npos)
      << ran.output;

  std::set<std::string> serials, macs;
  for (const auto& entry : fs::directory_iterator(dir + "/records")) {
    if (entry.path().extension() != ".json") continue;
    Json r = Json::parse(slurp(entry.path()));
    EXPECT_EQ(r["verdict"], "passed") << r["message"];
    serials.insert(r["unit"]["sn"].get<std::string>());
    macs.insert(r["unit"]["lan4_mac"].get<std::string>());
    macs.insert(r["unit"]["lan3_mac"].get<std::string>());
    EXPECT_EQ(r["line"]["operator"], "ann");
    int judged = 0;
    for (const auto& step : r["steps"]) {
      if (step["kind"] != "judge") continue;
      ++judged;
      EXPECT_EQ(step["answer"]["value"], "pass") << step.dump();
      EXPECT_EQ(step["answer"]["who"], "ann");
      EXPECT_EQ(step["answer"]["channel"], "hook");
    }
    EXPECT_EQ(judged, 5) << "the five LED steps";
  }
  EXPECT_EQ(serials, (std::set<std::string>{"SN0001", "SN0002", "SN0003", "SN0004"}));
  EXPECT_EQ(macs.size(), 8u);
  // Each board carries the identity its record names.
  for (auto& board : boards) EXPECT_TRUE(serials.contains(board->uboot_env().get("msn").value_or("")));
  controls.clear();
  boards.clear();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace ftmd::test
