#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "live_state.h"
#include "view_browser.h"
#include "web_server.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
using testing::HeadlessChromium;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1280;
constexpr int kHeight = 900;
constexpr auto kPageDeadline = 60s;

// build/<preset>/, where screenshots are left for people to look at.
std::filesystem::path build_dir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
}

StepView step(const char* name, const char* command, StepState state, std::int64_t timeout_ms) {
  StepView view;
  view.name = name;
  view.command = command;
  view.state = state;
  view.timeout_ms = timeout_ms;
  return view;
}

void finish(StepView& view, StepState state, std::int64_t elapsed_ms, const std::string& reply) {
  view.state = state;
  view.attempt = 1;
  view.elapsed_ms = elapsed_ms;
  view.reply = reply;
}

// The number of the row that shows step `name`, and its class, as the DOM has them.
std::string row_class_of(const std::string& name) {
  return "[...document.querySelectorAll('#step-rows tr')].filter(r => r.cells[1].firstChild.textContent === "
         "'" +
         name + "').map(r => r.className).join('|')";
}

// The browser shows the state the runner publishes, live: a unit starts with
// the server-rendered page, then steps pass and fail and an operator prompt
// appears while the browser keeps the page open; the page's script must show
// each change with the right colours, never let a device's reply become
// markup, and say it is live.
TEST(StationViewInChromium, ShowsStepsAndPromptLive) {
  if (access(testing::kChromiumPath, X_OK) != 0)
    GTEST_SKIP() << testing::kChromiumPath << " is not installed";

  LiveState state;
  state.update([](StationSnapshot& s) {
    s.station = "line-3";
    s.port = "/dev/serial/by-id/usb-FTM_Audio_FT0042-if00";
    s.status = "running";
    s.unit.serial = "FT0042";
    s.unit.plan = "default";
    s.unit.index = 2;
    s.unit.count = 5;
    s.unit.verdict = "running";
    s.passed = 1;
    s.unit.steps = {step("write serial", "AT+SN=FT0042", StepState::kRunning, 5000),
                    step("audio MCU version", "AT+MCUVER?", StepState::kPending, 10000),
                    step("reset key", "AT+KEYTEST", StepState::kPending, 15000),
                    step("LED red", "AT+LED=R", StepState::kPending, 5000),
                    step("activation", "handover devlic", StepState::kPending, 60000)};
    s.unit.steps[0].attempt = 1;
  });
  std::string error;
  auto view = WebServer::start(state, "127.0.0.1", 0, &error);
  ASSERT_NE(view, nullptr) << error;

  const auto started = Clock::now();
  auto browser = HeadlessChromium::open("http://127.0.0.1:" + std::to_string(view->port()) + "/", kWidth,
                                        kHeight, &error);
  ASSERT_TRUE(browser) << error;
  ASSERT_TRUE(browser->wait_until("document.body !== null && document.body.dataset.live === '1'",
                                  kPageDeadline, &error))
      << error;
  const auto live = Clock::now();
  std::printf("chromium start to live page: %.2f s\n", std::chrono::duration<double>(live - started).count());

  // What the server rendered before any change, now kept by the script.
  EXPECT_EQ(browser->evaluate(row_class_of("write serial"), &error), "step step-running") << error;
  EXPECT_EQ(browser->evaluate("document.getElementById('prompt').hidden", &error), true) << error;

  // The runner moves on while the page is open: only the script can show this.
  ASSERT_TRUE([&] {
    const auto deadline = Clock::now() + kPageDeadline;
    while (view->watchers() < 1) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }()) << "the page is not long-polling";
  std::uint64_t final_version = 0;
  const auto changed = Clock::now();
  state.update([&](StationSnapshot& s) {
    finish(s.unit.steps[0], StepState::kPassed, 310, "OK\n");
    finish(s.unit.steps[1], StepState::kFailed, 10000, "<img src=x onerror=alert(1)>\x01\n");
    s.unit.steps[1].attempt = 3;
    s.unit.steps[1].attempts = 3;
    s.unit.steps[1].message = "expected \"OK,*\" <3 tries>";
    s.unit.steps[2].state = StepState::kRunning;
    s.unit.steps[2].attempt = 1;
    s.unit.steps[2].elapsed_ms = 6200;
    s.unit.steps[2].message = "waiting for the reset key";
    s.unit.steps[4].state = StepState::kSkipped;
    s.prompt = "Press the reset key now";
    s.status = "running: reset key";
    final_version = s.version + 1;
  });
  ASSERT_TRUE(browser->wait_until("document.body.dataset.version === '" + std::to_string(final_version) + "'",
                                  kPageDeadline, &error))
      << error;
  std::printf("state change to page showing it: %.1f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - changed).count());

  struct Row {
    const char* name;
    const char* cls;
  };
  for (const Row& row : {Row{"write serial", "step step-passed"},
                         Row{"audio MCU version", "step step-failed"}, Row{"reset key", "step step-running"},
                         Row{"LED red", "step step-pending"}, Row{"activation", "step step-skipped"}}) {
    EXPECT_EQ(browser->evaluate(row_class_of(row.name), &error), row.cls) << row.name << " " << error;
  }
  EXPECT_EQ(browser->evaluate("document.getElementById('prompt').hidden", &error), false) << error;
  EXPECT_EQ(browser->evaluate("document.getElementById('prompt').textContent", &error),
            "Press the reset key now");
  EXPECT_EQ(browser->evaluate("getComputedStyle(document.getElementById('prompt')).display", &error),
            "block");
  EXPECT_EQ(browser->evaluate("document.getElementById('focus-name').textContent", &error), "reset key");
  EXPECT_EQ(browser->evaluate("document.getElementById('failure-name').textContent", &error),
            "\u2718 audio MCU version");
  // The device's reply is text on the page, never an element.
  EXPECT_EQ(browser->evaluate("document.querySelectorAll('img').length", &error), 0) << error;
  EXPECT_EQ(browser->evaluate("document.querySelectorAll('#step-rows tr')[1].cells[4].firstChild.textContent",
                              &error),
            "<img src=x onerror=alert(1)>\\x01");
  EXPECT_EQ(browser->evaluate("document.querySelector('#step-rows tr.step-failed .msg').textContent", &error),
            "expected \"OK,*\" <3 tries>");
  // The running step's clock moves on its own between updates.
  EXPECT_TRUE(browser->wait_until("parseFloat(document.getElementById('focus-time').textContent) > 6.2",
                                  kPageDeadline, &error))
      << error;

  const auto shot = browser->screenshot_png(&error);
  ASSERT_TRUE(shot) << error;
  EXPECT_TRUE(testing::is_png_of_size(*shot, kWidth, kHeight));
  // A rendered page of colours and text, not a blank frame.
  EXPECT_GT(shot->size(), 20000u);
  const auto path = build_dir() / "station-view-test.png";
  std::ofstream(path, std::ios::binary) << *shot;
  std::printf("screenshot: %s (%zu bytes)\n", path.c_str(), shot->size());

  // The server going away shows on the page rather than freezing it.
  view.reset();
  EXPECT_TRUE(browser->wait_until("document.body.dataset.live === '0'", kPageDeadline, &error)) << error;
  const auto closing = Clock::now();
  const std::string profile = browser->directory().string();
  browser.reset();
  EXPECT_EQ(testing::processes_mentioning(profile), 0) << "chromium processes left behind";
  std::printf("chromium close and reap: %.2f s; whole run %.2f s\n",
              std::chrono::duration<double>(Clock::now() - closing).count(),
              std::chrono::duration<double>(Clock::now() - started).count());
}

}  // namespace
}  // namespace ftmd::station
