// The station view's script in a real browser: the page follows the state
// the runner publishes, live.
#include <gtest/gtest.h>
#include <unistd.h>

#include "live_state.h"
#include "view_browser.h"
#include "wait_until.h"
#include "web_server.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
using testing::HeadlessChromium;

constexpr int kWidth = 1280;
constexpr int kHeight = 900;
constexpr auto kPageDeadline = 60s;

StepView step(const char* name, StepState state, std::int64_t elapsed_ms, const std::string& reply = "") {
  StepView view;
  view.name = name;
  view.command = std::string("AT+") + name;
  view.state = state;
  view.attempt = state == StepState::kPending ? 0 : 1;
  view.elapsed_ms = elapsed_ms;
  view.timeout_ms = 15000;
  view.reply = reply;
  return view;
}

// The class of each row of the step table, as the DOM has them.
constexpr char kRowClasses[] =
    "[...document.querySelectorAll('#step-rows tr')].map(r => r.className).join('|')";

// A unit starts with the server-rendered page, then steps pass and fail and
// an operator prompt appears while the browser keeps the page open: the
// script must show each change, never let a device's reply become markup,
// keep the running step's clock going and show when the station is gone.
TEST(StationViewInChromium, ShowsStepsAndPromptLive) {
  if (access(testing::kChromiumPath, X_OK) != 0)
    GTEST_SKIP() << testing::kChromiumPath << " is not installed";
  LiveState state;
  state.update([](StationSnapshot& s) {
    s.station = "line-3";
    s.slots.emplace_back().unit = {.serial = "FT0042",
                                   .hwid = "",
                                   .plan = "default",
                                   .index = 2,
                                   .count = 5,
                                   .verdict = "running",
                                   .steps = {}};
    s.slots[0].unit.steps = {
        step("write serial", StepState::kRunning, 0), step("mcu version", StepState::kPending, 0),
        step("reset key", StepState::kPending, 0), step("activation", StepState::kPending, 0)};
  });
  std::string error;
  auto view = WebServer::start(state, "127.0.0.1", 0, &error);
  ASSERT_NE(view, nullptr) << error;
  auto browser = HeadlessChromium::open("http://127.0.0.1:" + std::to_string(view->port()) + "/", kWidth,
                                        kHeight, &error);
  ASSERT_TRUE(browser) << error;
  ASSERT_TRUE(browser->wait_until("document.body !== null && document.body.dataset.live === '1'",
                                  kPageDeadline, &error))
      << error;
  EXPECT_EQ(browser->evaluate(kRowClasses, &error),
            "step step-running|step step-pending|step step-pending|step step-pending")
      << error;
  EXPECT_EQ(browser->evaluate("document.getElementById('prompt').hidden", &error), true) << error;

  // The runner moves on while the page is open: only the script can show this.
  ASSERT_TRUE(test::wait_until([&] { return view->watchers() == 1; }, kPageDeadline))
      << "the page does not poll";
  std::uint64_t version = 0;
  state.update([&](StationSnapshot& s) {
    UnitView& unit = s.slots[0].unit;
    unit.steps[0] = step("write serial", StepState::kPassed, 310, "OK\n");
    unit.steps[1] = step("mcu version", StepState::kFailed, 10000, "<img src=x onerror=alert(1)>\x01\n");
    unit.steps[1].message = "expected \"OK,*\" <3 tries>";
    unit.steps[2] = step("reset key", StepState::kRunning, 6200);
    unit.steps[3].state = StepState::kSkipped;
    s.slots[0].prompt = "Press the reset key now";
    version = s.version + 1;
  });
  ASSERT_TRUE(browser->wait_until("document.body.dataset.version === '" + std::to_string(version) + "'",
                                  kPageDeadline, &error))
      << error;
  EXPECT_EQ(browser->evaluate(kRowClasses, &error),
            "step step-passed|step step-failed|step step-running|step step-skipped")
      << error;
  EXPECT_EQ(browser->evaluate("getComputedStyle(document.getElementById('prompt')).display", &error),
            "block");
  EXPECT_EQ(browser->evaluate("document.getElementById('prompt').textContent", &error),
            "Press the reset key now");
  EXPECT_EQ(browser->evaluate("document.getElementById('focus-name').textContent", &error), "reset key");
  EXPECT_EQ(browser->evaluate("document.getElementById('failure-name').textContent", &error),
            "\u2718 mcu version");
  // The device's reply is text on the page, never an element.
  EXPECT_EQ(browser->evaluate("document.querySelectorAll('img').length", &error), 0) << error;
  EXPECT_EQ(browser->evaluate(
                "document.querySelector('#step-rows tr.step-failed .reply').firstChild.textContent", &error),
            "<img src=x onerror=alert(1)>\\x01");
  EXPECT_EQ(browser->evaluate("document.querySelector('#step-rows tr.step-failed .msg').textContent", &error),
            "expected \"OK,*\" <3 tries>");
  EXPECT_TRUE(browser->wait_until("parseFloat(document.getElementById('focus-time').textContent) > 6.2",
                                  kPageDeadline, &error))
      << error;

  // The server going away shows on the page rather than freezing it.
  view.reset();
  EXPECT_TRUE(browser->wait_until("document.body.dataset.live === '0'", kPageDeadline, &error)) << error;
  const std::string profile = browser->directory().string();
  browser.reset();
  EXPECT_EQ(testing::processes_mentioning(profile), 0) << "chromium processes left behind";
}

}  // namespace
}  // namespace ftmd::station
