// The station view during a real run: ftmstation with --web runs the default
// plan against the real daemon on the virtual board, and headless chromium
// watches its page from the PC's side while the operator is asked to press
// the reset key. The screenshot is left in build/<preset>/station-view.png.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "station_rig.h"
#include "view_browser.h"

#ifdef FTMSTATION_BINARY

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;
using station::testing::HeadlessChromium;

constexpr int kWidth = 1280;
constexpr int kHeight = 900;
// The PC side has a network of its own per board, so a fixed port is free.
constexpr char kViewAddress[] = "127.0.0.1:8080";
constexpr char kViewUrl[] = "http://127.0.0.1:8080/";

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t line_count(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += c == '\n';
  return n;
}

fs::path build_dir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }

class StationViewOnBoard : public BoardTest {
 protected:
  void SetUp() override {
    if (access(station::testing::kChromiumPath, X_OK) != 0) {
      GTEST_SKIP() << station::testing::kChromiumPath << " is not installed";
    }
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    StationRig rig = make_station_rig(board());
    port_ = rig.port;
    dir_ = rig.dir;
    hook_ = rig.hook;
  }

  std::string port_, dir_, hook_;
};

TEST_F(StationViewOnBoard, ShowsTheResetKeyPromptDuringTheDefaultPlan) {
  std::ofstream(dir_ + "/units.csv")
      << "sn,csn,lan4_mac,lan3_mac\nSN0001,C-77,00:1B:2C:3D:4E:5F,001B2C3D4E60\n";
  const std::vector<std::string> argv{
      FTMSTATION_BINARY, "--port",          port_,       "--operator-hook",  hook_,
      "--records",       dir_ + "/records", "--station", "line-1",           "--yes",
      "--web",           kViewAddress,      "--units",   dir_ + "/units.csv"};
  auto run = std::async(std::launch::async, [&] { return board().run_on_pc(argv, 180s); });

  std::optional<HeadlessChromium> browser;
  std::string error;
  bool shot = false;
  std::size_t done = 0;
  while (run.wait_for(20ms) != std::future_status::ready) {
    const std::string actions = slurp(dir_ + "/actions");
    if (line_count(actions) <= done) continue;
    std::istringstream lines(actions);
    std::string action;
    for (std::size_t i = 0; i <= done; ++i) std::getline(lines, action);
    ++done;
    // The first prompt comes after the view is up: open the page now, so it
    // is live long before the key test.
    if (!browser) {
      browser = HeadlessChromium::open(kViewUrl, kWidth, kHeight, &error, board().pc_netns_fd());
      EXPECT_TRUE(browser) << error;
    }
    const std::size_t mark = syslog().mark();
    std::ofstream(dir_ + "/ack." + std::to_string(done));
    if (action == "reset-key") {
      EXPECT_TRUE(syslog().wait_for("device opened OK", 20s, mark)) << "the key test did not start";
      if (browser) {
        // The daemon waits for the key now; the page must show it.
        const std::string showing =
            "document.body !== null && document.body.dataset.live === '1' && "
            "!document.getElementById('prompt').hidden && "
            "document.getElementById('focus-name').textContent === 'reset key' && "
            "parseFloat(document.getElementById('focus-time').textContent) > 0";
        EXPECT_TRUE(browser->wait_until(showing, 10s, &error)) << error;
        EXPECT_EQ(browser->evaluate("document.getElementById('prompt').textContent", &error),
                  "Press the reset key now");
        EXPECT_EQ(browser->evaluate("document.querySelector('#step-rows tr.step-running .name').firstChild."
                                    "textContent",
                                    &error),
                  "reset key");
        EXPECT_EQ(browser->evaluate("document.querySelectorAll('#step-rows tr.step-failed').length", &error),
                  0);
        EXPECT_EQ(browser->evaluate("document.getElementById('serial').textContent", &error), "SN0001");
        const auto png = browser->screenshot_png(&error);
        ASSERT_TRUE(png) << error;
        EXPECT_TRUE(station::testing::is_png_of_size(*png, kWidth, kHeight));
        EXPECT_GT(png->size(), 20000u);
        const fs::path path = build_dir() / "station-view.png";
        std::ofstream(path, std::ios::binary) << *png;
        std::printf("screenshot during the reset key step: %s (%zu bytes)\n", path.c_str(), png->size());
        shot = true;
      }
      board().keypad().press_reset_key();
    } else if (action == "trigger-plug") {
      board().gpio().set_input(9, 1);
      board().gpio().set_input(6, 0);
    } else if (action == "usb-stick-in") {
      board().uevents().usb_stick(true);
    } else if (action == "usb-stick-out") {
      board().uevents().usb_stick(false);
    }
  }
  const auto result = run.get();
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("station view: http://127.0.0.1:8080/"), std::string::npos) << result.output;
  EXPECT_TRUE(shot) << "no screenshot was taken";
  // The run is over: the page shows the verdict the station ended with.
  if (browser && shot) {
    EXPECT_TRUE(
        browser->wait_until("document.body.dataset.live === '0' || "
                            "document.getElementById('verdict').textContent === 'PASS'",
                            10s, &error))
        << error;
  }
}

}  // namespace
}  // namespace ftmd::test

#endif  // FTMSTATION_BINARY
