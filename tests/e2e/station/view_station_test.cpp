// The station view during a real run: ftmstation with --web runs the default
// plan against the real daemon on the virtual board, and headless chromium
// watches its page from the PC's side while the operator is asked to press
// the reset key. The screenshot is left in build/<preset>/station-view.png
// (./tools/station-screenshot).
#include <gtest/gtest.h>
#include <unistd.h>

#include "station_rig.h"
#include "view_browser.h"

namespace ftmd::test {
namespace {

using station::testing::HeadlessChromium;

constexpr int kWidth = 1280;
constexpr int kHeight = 900;

class StationViewOnBoard : public StationBoardTest {
  void SetUp() override {
    if (access(station::testing::kChromiumPath, X_OK) != 0)
      GTEST_SKIP() << station::testing::kChromiumPath << " is not installed";
    StationBoardTest::SetUp();
  }
};

TEST_F(StationViewOnBoard, ShowsTheResetKeyPromptDuringTheDefaultPlan) {
  std::ofstream(dir_ + "/units.csv")
      << "sn,csn,lan4_mac,lan3_mac\nSN0001,C-77,00:1B:2C:3D:4E:5F,001B2C3D4E60\n";
  // The PC side has a network of its own per board, so a fixed port is free.
  auto run = start_station({"--web", "127.0.0.1:8080", "--units", dir_ + "/units.csv"});
  std::unique_ptr<HeadlessChromium> browser;
  std::string error;
  bool shot = false;
  operate(run, [&](const std::string& action) {
    // The first prompt comes after the view is up: the page is opened then,
    // so it is live long before the key test.
    if (!browser)
      browser =
          HeadlessChromium::open("http://127.0.0.1:8080/", kWidth, kHeight, &error, board().pc_netns_fd());
    ASSERT_TRUE(browser) << error;
    if (action != "reset-key") return;
    // The daemon waits for the key now; the page must show it.
    EXPECT_TRUE(browser->wait_until(
        "document.body !== null && document.body.dataset.live === '1' && "
        "!document.getElementById('prompt').hidden "
        "&& document.getElementById('prompt').textContent === 'Press the reset key now' && "
        "document.getElementById('focus-name').textContent === 'reset key' && "
        "parseFloat(document.getElementById('focus-time').textContent) > 0 && "
        "document.getElementById('serial').textContent === 'SN0001' && "
        "document.querySelectorAll('#step-rows tr.step-failed').length === 0",
        20s, &error))
        << error;
    const auto png = browser->screenshot_png(&error);
    ASSERT_TRUE(png) << error;
    EXPECT_TRUE(png->starts_with("\x89PNG\r\n"));
    EXPECT_GT(png->size(), 20000u);
    std::ofstream(
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "station-view.png",
        std::ios::binary)
        << *png;
    shot = true;
  });
  const auto result = run.get();
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find("station view: http://127.0.0.1:8080/"), std::string::npos) << result.output;
  ASSERT_TRUE(shot) << "no screenshot was taken";
  // The run is over: the page shows the verdict the station ended with.
  EXPECT_TRUE(browser->wait_until(
      "document.body.dataset.live === '0' || document.getElementById('verdict').textContent === 'PASS'", 10s,
      &error))
      << error;
}

}  // namespace
}  // namespace ftmd::test
