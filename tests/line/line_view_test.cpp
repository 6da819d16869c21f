// The line view's page in a real browser against PostgreSQL: stations that
// publish show live (a slot's change within a second), one that stops shows
// as silent, what stations and devices send stays text, and the period's
// statistics, Pareto click-through and search reach the page.
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "line/line_demo.h"
#include "line/line_view_rig.h"
#include "wait_until.h"

namespace ftmd::line::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kPageDeadline = 60s;
constexpr auto kChangeShows = 1s;

// A station as the line sees it: publishes its state when told and every
// second meanwhile (its heartbeat), until stopped.
class PublishingStation {
 public:
  PublishingStation(const TestDb& db, StationStatus status) : db_(db.open()), status_(std::move(status)) {
    publish();
    beat_ = std::jthread([this](const std::stop_token& stop) {
      while (!stop.stop_requested()) {
        ftmd::test::wait_until([&] { return stop.stop_requested(); }, 1s, 20ms);
        if (!stop.stop_requested()) publish();
      }
    });
  }
  void change(const std::function<void(StationStatus&)>& edit) {
    std::lock_guard lock(mutex_);
    edit(status_);
    EXPECT_TRUE(db_->publish_station(status_).ok());
  }
  void stop() { beat_ = {}; }

 private:
  void publish() {
    change([](StationStatus&) {});
  }
  std::mutex mutex_;  // guards db_, status_
  std::unique_ptr<LineDb> db_;
  StationStatus status_;
  std::jthread beat_;
};

SlotStatus slot(const char* name, const char* verdict, const char* prompt = "") {
  return {name,  std::string("/dev/serial/by-id/usb-ftm-") + name, "", "", "default", "", 0, 0, 0, 0, verdict,
          prompt};
}

TEST(LineViewInChromium, FollowsStationsLiveAndShowsTheLinesNumbers) {
  if (access(station::testing::kChromiumPath, X_OK) != 0)
    GTEST_SKIP() << station::testing::kChromiumPath << " is not installed";
  TestDb db("postgres");
  ASSERT_EQ(ftmline(db.url(), {"init"}).code, 0);
  ASSERT_EQ(ftmline(db.url(), {"import-macs", "--first", "02:00:00:00:00:00", "--count", "4"}).code, 0);
  for (const char* kind : {"sn", "csn"})
    ASSERT_EQ(ftmline(db.url(), {"import-serials", "--kind", kind, "--prefix", "S", "--digits", "2", "--from",
                                 "1", "--count", "2"})
                  .code,
              0);
  ASSERT_TRUE(db.open()->assign("HW1", {"st-a", "op"}).ok());
  RunRecord failed{"run-1",
                   "HW1",
                   "failed",
                   "default",
                   std::string(32, 'a'),
                   "st-a",
                   "op",
                   utc_text(std::time(nullptr) - 3600),
                   utc_text(std::time(nullptr) - 3540),
                   R"({"steps":[{"name":"mcu <version>","verdict":"failed",)"
                   R"("attempts":[{"exchanges":[{"reply":"ERROR,<b>bad</b>\n"}]}]}]})"};
  ASSERT_TRUE(db.open()->store_run(failed).ok());

  const std::string kHostile = "<img src=x onerror=alert(1)>\x01";
  PublishingStation a(db, {"st-a", "pc-a", 3, {slot("1", "running", kHostile.c_str()), slot("2", "idle")}});
  LineViewRig rig;
  std::string error;
  ASSERT_TRUE(rig.open(db, &error)) << error;
  auto& page = *rig.browser;
  ASSERT_TRUE(page.wait_until(LineViewRig::slot("st-a", "1") + " !== null", kPageDeadline, &error)) << error;
  EXPECT_EQ(
      page.evaluate(LineViewRig::slot("st-a", "1") + ".querySelector('.sl-prompt').textContent", &error),
      "<img src=x onerror=alert(1)>\\x01");
  EXPECT_EQ(page.evaluate("document.querySelectorAll('img, .station b, #detail b, #pareto-steps b').length",
                          &error),
            0)
      << error;
  EXPECT_EQ(page.evaluate(LineViewRig::station("st-a") + ".querySelector('.st-outbox').textContent", &error),
            "3 waiting");

  // A slot's change reaches the open page within a second, pushed: the page
  // long-polls and the view LISTENs.
  ASSERT_TRUE(ftmd::test::wait_until([&] { return rig.view->watchers() == 1; }, kPageDeadline));
  a.change([](StationStatus& s) {
    s.slots[0] = slot("1", "failed");
    s.slots[0].sn = "S01";
  });
  EXPECT_TRUE(
      page.wait_until(LineViewRig::slot("st-a", "1") + ".dataset.verdict === 'failed'", kChangeShows, &error))
      << error;
  PublishingStation b(db, {"st-b", "pc-b", 0, {slot("left", "waiting-for-operator", "Is the LED red?")}});
  EXPECT_TRUE(page.wait_until(LineViewRig::slot("st-b", "left") + " !== null", kChangeShows, &error))
      << error;

  // The period's numbers: pools below the low-water mark, the failure and
  // its click-through to the run's record, the search.
  ASSERT_TRUE(page.wait_until("document.body.dataset.summary >= 1", kPageDeadline, &error)) << error;
  EXPECT_EQ(page.evaluate("document.querySelectorAll('#pools .warn').length", &error), 3) << error;
  ASSERT_TRUE(page.evaluate("document.querySelector('[data-period=\"7d\"]').click(), true", &error)) << error;
  ASSERT_TRUE(page.wait_until("document.querySelector('#pareto-steps .row') !== null", kPageDeadline, &error))
      << error;
  EXPECT_EQ(page.evaluate("document.querySelector('#pareto-steps .row .label span').textContent", &error),
            "mcu <version>");
  ASSERT_TRUE(page.evaluate("document.querySelector('#pareto-replies .row').click(), true", &error)) << error;
  ASSERT_TRUE(
      page.wait_until("document.querySelector('#detail-body tr.link') !== null", kPageDeadline, &error))
      << error;
  ASSERT_TRUE(page.evaluate("document.querySelector('#detail-body tr.link').click(), true", &error)) << error;
  ASSERT_TRUE(
      page.wait_until("document.querySelector('#detail-body pre.record') !== null", kPageDeadline, &error))
      << error;
  EXPECT_NE(page.evaluate("document.querySelector('#detail-body pre.record').textContent", &error)
                ->get<std::string>()
                .find("\"reply\": \"ERROR,<b>bad</b>\\n\""),
            std::string::npos);
  EXPECT_EQ(page.evaluate("document.querySelectorAll('img, .station b, #detail b, #pareto-steps b').length",
                          &error),
            0)
      << error;
  ASSERT_TRUE(
      page.evaluate("document.getElementById('search-key').value = '02:00:00:00:00:01', "
                    "document.querySelector('#search button').click(), true",
                    &error))
      << error;
  EXPECT_TRUE(
      page.wait_until("document.getElementById('detail-title').textContent === 'unit 02:00:00:00:00:01' && "
                      "document.getElementById('detail-body').textContent.includes('S01')",
                      kPageDeadline, &error))
      << error;

  // A station that stops publishing shows as silent.
  EXPECT_EQ(page.evaluate(LineViewRig::station("st-b") + ".dataset.silent", &error), "0");
  b.stop();
  EXPECT_TRUE(page.wait_until(LineViewRig::station("st-b") + ".dataset.silent === '1'",
                              std::chrono::duration_cast<std::chrono::milliseconds>(kStationSilentAfter + 5s),
                              &error))
      << error;
  EXPECT_EQ(page.evaluate(LineViewRig::station("st-a") + ".dataset.silent", &error), "0");
}

// tools/line-screenshot: the view of a made-up line (ftmline demo's), shot
// into the PNG that FTMLINE_SCREENSHOT names.
TEST(LineViewScreenshot, OfADemoLine) {
  const char* png_path = std::getenv("FTMLINE_SCREENSHOT");
  if (!png_path) GTEST_SKIP() << "FTMLINE_SCREENSHOT names the picture to take (tools/line-screenshot)";
  TestDb db("postgres");
  ASSERT_EQ(ftmline(db.url(), {"init"}).code, 0);
  ASSERT_TRUE(fill_demo_line(*db.open(), std::time(nullptr)).ok());
  auto stations = demo_stations(0);
  ASSERT_TRUE(db.open()->publish_station(stations[2]).ok());  // once: it turns silent
  PublishingStation st1(db, stations[0]), st2(db, stations[1]);
  LineViewRig rig;
  std::string error;
  ASSERT_TRUE(rig.open(db, &error, 1600, 1160)) << error;
  ASSERT_TRUE(rig.browser->wait_until("document.body.dataset.summary >= 1 && " +
                                          LineViewRig::station("line1-st3") + ".dataset.silent === '1'",
                                      kPageDeadline, &error))
      << error;
  auto png = rig.browser->screenshot_png(&error);
  ASSERT_TRUE(png) << error;
  std::ofstream(png_path, std::ios::binary) << *png;
}

}  // namespace
}  // namespace ftmd::line::test
