// Two stations, each a ftmstation process with its slot on a virtual board,
// feeding one PostgreSQL line database while the line view shows it in
// headless chromium: both stations live, a slot's step on the page within a
// second of the station publishing it, the yield, Pareto, measurement and
// pool numbers of the runs the stations stored, the runs exported, and the
// --on-record hook run once per record with its path. The board of the
// second station reads an analogue value above the default plan's limit.
#include <unistd.h>

#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "board_fixture.h"
#include "line/line_test_db.h"
#include "line/line_view_rig.h"
#include "station_rig.h"
#include "vboard/control_service.h"
#include "vboard/launcher.h"
#include "vboard/pc_lan.h"
#include "wait_until.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using line::test::LineViewRig;

constexpr auto kPageDeadline = 60s;
constexpr auto kChangeShows = 1s;
constexpr int kLiveChecks = 3;  // at least

struct Station {
  std::string name, slot, port;
  std::unique_ptr<vboard::Board> board;
  std::unique_ptr<vboard::ControlService> control;
  std::future<vboard::RunResult> run;
};

// The page's slot tile of `st` shows step `index` or a later one.
std::string shows_step(const Station& st, int index) {
  const std::string tile = LineViewRig::slot(st.name, st.slot);
  return tile + " !== null && parseInt(" + tile +
         ".querySelector('.sl-step').textContent) >= " + std::to_string(index);
}

TEST(LineTwoStations, FeedOnePostgresAndTheLineViewShowsThemLive) {
  if (access(station::testing::kChromiumPath, X_OK) != 0)
    GTEST_SKIP() << station::testing::kChromiumPath << " is not installed";
  line::test::TestDb db("postgres");
  ASSERT_EQ(seed_line(db.url(), 4), "");
  const std::string dir = fs::temp_directory_path() / ("line-two-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string hook = dir + "/on-record";
  std::ofstream(hook) << "#!/bin/sh\necho \"$FTMSTATION_SLOT $1\" >> '" << dir
                      << "/on-record.log'\necho pushed to the MES\n";
  ::chmod(hook.c_str(), 0755);

  vboard::PcLan lan;
  Station stations[2] = {{"st-a", "a", "", {}, {}, {}}, {"st-b", "b", "", {}, {}, {}}};
  for (int n = 1; n <= 2; ++n) {
    Station& st = stations[n - 1];
    vboard::BoardOptions options = default_board_options();
    options.reboot_reenumerates = true;
    options.soc_uid = "0x" + std::to_string(2000 + n) + "\n";
    vboard::PcLan::configure(options, n);
    st.board = std::make_unique<vboard::Board>(options);
    lan.adopt(*st.board, n);
    st.control = std::make_unique<vboard::ControlService>(*st.board);
  }
  // The second unit's analogue input reads above the plan's high limit.
  EXPECT_EQ(stations[1].control->run("logic-analogue 3 95"), "");

  LineViewRig rig;
  std::string error;
  ASSERT_TRUE(rig.open(db, &error, 1600, 860)) << error;
  auto& page = *rig.browser;
  // Each station tests the unit on its board: `retest`, once more.
  auto start = [&](Station& st, bool retest) {
    std::vector<std::string> argv{
        FTMSTATION_BINARY, "--db",        db.url(), "--records", dir + "/records-" + st.slot, "--station",
        st.name,           "--on-record", hook,     "--slot",    st.slot + "=" + st.port};
    for (const char* arg : {"--count", "1", "--operator", "ann", "--yes", "--operator-hook"})
      argv.push_back(arg);
    argv.push_back(std::string(STATION_EXAMPLES_DIR) + "/vboard-operator");
    if (retest) argv.push_back("--retest");
    vboard::Launch launch;
    launch.argv = argv;
    launch.netns = lan.netns_fd();
    launch.env = {"VBOARD=" + std::string(VBOARD_BINARY),
                  "VBOARD_CONTROL_" + st.slot + "=" + st.control->path()};
    st.run = std::async(std::launch::async, [launch] { return vboard::run_collecting(launch, 300s); });
  };
  for (int n = 1; n <= 2; ++n) {
    Station& st = stations[n - 1];
    ASSERT_TRUE(st.board->wait_serving(kBoardsServingDeadline));
    st.port = st.board->usb_host().attach_cable(dir + "/ttyPC" + std::to_string(n));
    start(st, false);
  }

  // Both stations on the page while they run; a step the first one
  // publishes is on the page within a second.
  for (const Station& st : stations)
    EXPECT_TRUE(page.wait_until(LineViewRig::slot(st.name, st.slot) + " !== null", kPageDeadline, &error))
        << error;
  auto reader = db.open();
  int checked = 0, last_index = 0;
  while (stations[0].run.wait_for(0s) != std::future_status::ready) {
    auto states = reader->stations();
    ASSERT_TRUE(states.ok());
    for (const auto& state : *states) {
      if (state.status.station != "st-a" || state.status.slots.empty()) continue;
      const line::SlotStatus& slot = state.status.slots[0];
      if (slot.verdict == "idle" || slot.step_index <= last_index) continue;
      last_index = slot.step_index;
      ++checked;
      EXPECT_TRUE(page.wait_until(shows_step(stations[0], slot.step_index), kChangeShows, &error))
          << "step " << slot.step_index << " " << slot.step << ": " << error;
    }
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_GE(checked, kLiveChecks);

  for (Station& st : stations) {
    const auto ran = st.run.get();
    // The second unit fails its analogue measurement: exit status 1.
    EXPECT_EQ(ran.status, st.slot == "a" ? 0 : 1) << ran.output;
    EXPECT_NE(ran.output.find("[" + st.slot + "] on-record: pushed to the MES"), std::string::npos)
        << ran.output;
    EXPECT_NE(ran.output.find(st.slot == "a" ? "  measured logic_adc = 50 raw (limits 20 .. 80)\n"
                                             : "  measured logic_adc = 95 raw (limits 20 .. 80): OUTSIDE\n"),
              std::string::npos)
        << ran.output;
  }

  // The hook ran once per record, with its path.
  std::set<std::string> records, calls;
  for (const Station& st : stations)
    for (const auto& entry : fs::directory_iterator(dir + "/records-" + st.slot))
      if (entry.path().extension() == ".json") records.insert(st.slot + " " + entry.path().string());
  std::istringstream hooked(slurp(dir + "/on-record.log"));
  for (std::string text; std::getline(hooked, text);) EXPECT_TRUE(calls.insert(text).second) << text;
  EXPECT_EQ(calls, records);
  EXPECT_EQ(records.size(), 2u);

  // The page's numbers are those of the two runs stored.
  ASSERT_TRUE(page.wait_until("document.getElementById('units').textContent === '2'", kPageDeadline, &error))
      << error;
  EXPECT_EQ(page.evaluate("document.getElementById('fpy').textContent", &error), "50.0%") << error;
  EXPECT_TRUE(page.wait_until(
      "document.querySelector('#pareto-steps .row .label span').textContent === 'logic MCU analogue value'",
      kPageDeadline, &error))
      << error;
  EXPECT_EQ(page.evaluate("Array.from(document.querySelectorAll('#measurements tr.outside td'))"
                          ".map(function (td) { return td.textContent; }).join('|')",
                          &error),
            "default|logic_adc|20 \u2026 80 raw|2|72.5|50|95|50.0%")
      << error;
  EXPECT_NE(page.evaluate("document.getElementById('pools').textContent", &error)
                ->get<std::string>()
                .find("sn: 2 left of 4"),
            std::string::npos);
  // Both stations ended: their slots idle.
  for (const Station& st : stations)
    EXPECT_TRUE(page.wait_until(LineViewRig::slot(st.name, st.slot) + ".dataset.verdict === 'idle'",
                                kPageDeadline, &error))
        << error;
  // The export of those runs, in both formats: the measured values and
  // verdicts as the stations recorded them.
  auto jsonl =
      line::test::ftmline(db.url(), {"export", "--since", "2000-01-01T00:00:00Z", "--format", "jsonl"});
  ASSERT_EQ(jsonl.code, 0) << jsonl.err;
  std::istringstream lines(jsonl.out);
  std::set<std::string> verdicts;
  for (std::string text; std::getline(lines, text);) {
    Json run = Json::parse(text);
    verdicts.insert(run["station"].get<std::string>() + " " + run["verdict"].get<std::string>() + " " +
                    run["measurements"][0]["value"].dump());
  }
  EXPECT_EQ(verdicts, (std::set<std::string>{"st-a passed 50.0", "st-b failed 95.0"})) << jsonl.out;
  auto csv = line::test::ftmline(db.url(), {"export", "--since", "2000-01-01T00:00:00Z", "--format", "csv"});
  ASSERT_EQ(csv.code, 0) << csv.err;
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 3) << csv.out;
  EXPECT_NE(csv.out.find("logic MCU analogue value"), std::string::npos) << csv.out;

  // For the README: both stations testing their units again, the runs
  // above in the numbers.
  if (const char* png_path = std::getenv("FTMLINE_SCREENSHOT")) {
    for (Station& st : stations) start(st, true);
    ASSERT_TRUE(page.wait_until(shows_step(stations[0], 12) + " && " + shows_step(stations[1], 10),
                                kPageDeadline, &error))
        << error;
    auto png = page.screenshot_png(&error);
    ASSERT_TRUE(png) << error;
    std::ofstream(png_path, std::ios::binary) << *png;
    for (Station& st : stations) st.run.get();
  }
  rig.browser.reset();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace ftmd::test
