// The line view's numbers on both engines, from one fixed set of recorded
// runs: yield by plan, station, hour and shift, retests, the failure Pareto
// and its runs, measurements, export; and what stations publish.
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "line/line_stats.h"
#include "line/line_test_db.h"

namespace ftmd::line::test {
namespace {

struct Fixed {
  const char* id;
  const char* hwid;
  const char* plan;
  const char* station;
  const char* started;  // 2026-12-06, UTC
  const char* verdict;
  const char* failed_step;  // "" when none
  const char* reply;        // the failed step's last reply; nullptr: it timed out
  const char* measure;      // the measurement's name, "" for none
  double value;
};

// U2 and U3 are tested again; U4's first run was aborted; U5's failing step
// got no reply; the plan "other" has a one-sided limit (low 11).
const Fixed kRuns[] = {
    {"R1", "U1", "default", "st1", "07:10", "passed", "", "", "logic_adc", 1.2},
    {"R2", "U2", "default", "st1", "07:20", "failed", "mcu version", "ERROR,timeout\n", "logic_adc", 2.5},
    {"R3", "U2", "default", "st2", "08:05", "passed", "", "", "logic_adc", 2.0},
    {"R4", "U3", "default", "st2", "08:30", "failed", "logic adc", "OK,logic=3.7\n", "logic_adc", 3.7},
    {"R5", "U3", "default", "st2", "08:40", "failed", "logic adc", "OK,logic=3.9\n", "logic_adc", 3.9},
    {"R6", "U4", "default", "st1", "14:05", "aborted", "", "", "", 0},
    {"R7", "U4", "default", "st1", "14:10", "failed", "mcu version", "ERROR,timeout\n", "", 0},
    {"R8", "U5", "default", "st1", "14:20", "failed", "mcu version", nullptr, "", 0},
    {"R9", "U6", "other", "st2", "15:00", "passed", "", "", "v_in", 12.0},
    {"R10", "U7", "other", "st2", "15:30", "failed", "v_in", "OK,vin=\"10.5\"\n", "v_in", 10.5},
};

std::string record_of(const Fixed& f) {
  using nlohmann::json;
  json steps = json::array({{{"name", "write serial"}, {"verdict", "passed"}}});
  auto exchange = [](const char* reply) {
    json ex = {{"request", "at+x"}, {"outcome", reply ? "reply" : "time-out"}};
    ex["reply"] = reply ? json(reply) : json();
    return json{{"attempts", json::array({{{"exchanges", json::array({{{"request", "at+x"}}, ex})}}})}};
  };
  if (*f.measure) {
    bool adc = std::string(f.measure) == "logic_adc";
    json m = {{"name", f.measure}, {"value", f.value}, {"unit", "V"}, {"low", adc ? 0.5 : 11.0}};
    if (adc) m["high"] = 3.0;
    m["passed"] = f.value >= m["low"].get<double>() && (!adc || f.value <= 3.0);
    json step = {{"name", adc ? "logic adc" : "v_in"}, {"verdict", "passed"}, {"measurement", m}};
    if (step["name"] == f.failed_step) {
      step.update(exchange(f.reply));
      step["verdict"] = "failed";
    }
    steps.push_back(step);
  }
  if (*f.failed_step && steps.back()["name"] != f.failed_step) {
    json step = {{"name", f.failed_step}, {"verdict", "failed"}};
    step.update(exchange(f.reply));
    steps.push_back(step);
  }
  if (*f.failed_step) steps.push_back({{"name", "after"}, {"verdict", "failed"}});  // only the first counts
  return json{{"steps", steps}}.dump();
}

std::string at(const char* hhmm, int plus_minutes = 0) {
  int minutes = std::stoi(std::string(hhmm, 2)) * 60 + std::stoi(std::string(hhmm + 3, 2)) + plus_minutes;
  char text[64];
  std::snprintf(text, sizeof text, "2026-12-06T%02d:%02d:00.000Z", minutes / 60 % 100, minutes % 60);
  return text;
}

std::string counts(const YieldCounts& c) {
  return std::to_string(c.units) + " " + std::to_string(c.first_pass) + " " + std::to_string(c.final_pass) +
         " " + std::to_string(c.retests) + " " + std::to_string(c.aborted);
}

std::vector<std::string> groups(const std::vector<YieldGroup>& gs) {
  std::vector<std::string> out;
  out.reserve(gs.size());
  for (const auto& g : gs) out.push_back(g.name + ": " + counts(g.counts));
  return out;
}

class LineStats : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    db_ = std::make_unique<TestDb>(GetParam());
    ASSERT_EQ(ftmline(db_->url(), {"init"}).code, 0);
    ASSERT_EQ(ftmline(db_->url(), {"import-macs", "--first", "02:00:00:00:00:00", "--count", "2"}).code, 0);
    for (const char* kind : {"sn", "csn"})
      ASSERT_EQ(ftmline(db_->url(), {"import-serials", "--kind", kind, "--prefix", kind, "--digits", "1",
                                     "--from", "1", "--count", "1"})
                    .code,
                0);
    line_ = db_->open();
    ASSERT_TRUE(line_->assign("U4", {"st1", "op1"}).ok());
    for (const auto& f : kRuns) {
      RunRecord run{f.id,      f.hwid, f.verdict,     f.plan,           std::string(32, 'a'),
                    f.station, "op1",  at(f.started), at(f.started, 1), record_of(f)};
      auto stored = line_->store_run(run);
      ASSERT_TRUE(stored.ok()) << f.id << ": " << stored.error().message;
    }
  }
  std::unique_ptr<TestDb> db_;
  std::unique_ptr<LineDb> line_;
};

INSTANTIATE_TEST_SUITE_P(Engines, LineStats, ::testing::Values("sqlite", "postgres"), engine_name);

TEST_P(LineStats, YieldCountsEachUnitWhereItsFirstTryIs) {
  Shifts shifts = *parse_shifts(kDefaultShifts, nullptr);
  struct Case {
    Period period;
    std::string total;  // units first_pass final_pass retests aborted
    std::vector<std::string> plans, stations, shifts, hours;
  };
  const Case cases[] = {
      {{},
       "7 2 3 2 1",
       {"default: 5 1 2 2 1", "other: 2 1 1 0 0"},
       {"st1: 4 1 2 1 1", "st2: 3 1 1 1 0"},
       {"2026-12-06 06:00\u201314:00: 3 1 2 2 0", "2026-12-06 14:00\u201322:00: 4 1 1 0 1"},
       {"2026-12-06 07:00: 2 1 2 1 0", "2026-12-06 08:00: 1 0 0 1 0", "2026-12-06 14:00: 2 0 0 0 1",
        "2026-12-06 15:00: 2 1 1 0 0"}},
      // U2's retest at 08:05 is not a unit of its own.
      {{"2026-12-06T08:00:00Z", "2026-12-06T15:00:00Z", ""},
       "3 0 0 1 1",
       {"default: 3 0 0 1 1"},
       {"st1: 2 0 0 0 1", "st2: 1 0 0 1 0"},
       {"2026-12-06 06:00\u201314:00: 1 0 0 1 0", "2026-12-06 14:00\u201322:00: 2 0 0 0 1"},
       {"2026-12-06 08:00: 1 0 0 1 0", "2026-12-06 14:00: 2 0 0 0 1"}},
  };
  for (const auto& c : cases) {
    auto rows = line_->yield_rows(c.period);
    ASSERT_TRUE(rows.ok()) << rows.error().message;
    YieldTables t = yield_tables(*rows, shifts);
    EXPECT_EQ(counts(t.total), c.total) << c.period.since;
    EXPECT_EQ(groups(t.plans), c.plans) << c.period.since;
    EXPECT_EQ(groups(t.stations), c.stations) << c.period.since;
    EXPECT_EQ(groups(t.shifts), c.shifts) << c.period.since;
    EXPECT_EQ(groups(t.hours), c.hours) << c.period.since;
  }
  EXPECT_EQ(line_->yield_rows({"yesterday", "", ""}).error().message,
            "the period's since \"yesterday\" is not a UTC time");
}

TEST_P(LineStats, ParetoByStepAndReplyLeadsToTheRunsAndTheirRecords) {
  auto by_step = line_->failures({}, false);
  auto by_reply = line_->failures({}, true);
  ASSERT_TRUE(by_step.ok() && by_reply.ok());
  std::vector<std::string> got;
  for (const auto& f : *by_step) got.push_back(f.step + " " + std::to_string(f.runs));
  for (const auto& f : *by_reply) got.push_back(f.step + ": " + f.reply + " " + std::to_string(f.runs));
  EXPECT_EQ(got, (std::vector<std::string>{"mcu version 3", "logic adc 2", "v_in 1",
                                           "mcu version: ERROR,timeout\n 2", "logic adc: OK,logic=3.7\n 1",
                                           "logic adc: OK,logic=3.9\n 1", "mcu version: (time-out) 1",
                                           "v_in: OK,vin=\"10.5\"\n 1"}));
  EXPECT_EQ(line_->failures({"", "", "other"}, false)->size(), 1u);

  struct Case {
    std::optional<std::string> reply;
    std::string runs;  // id, unit's sn, try
  };
  const Case cases[] = {
      {"ERROR,timeout\n", "R7 sn1 2, R2  1"},
      {std::nullopt, "R8  1, R7 sn1 2, R2  1"},
      {"(time-out)", "R8  1"},
  };
  for (const auto& c : cases) {
    auto runs = line_->failed_runs({}, "mcu version", c.reply, 10);
    ASSERT_TRUE(runs.ok());
    std::string text;
    for (const auto& r : *runs)
      text += (text.empty() ? "" : ", ") + r.run_id + " " + r.sn + " " + std::to_string(r.attempt);
    EXPECT_EQ(text, c.runs);
  }
  auto run = line_->run("R7");
  ASSERT_TRUE(run.ok() && run->has_value());
  EXPECT_EQ((*run)->lan3_mac, "020000000001");
  EXPECT_EQ(nlohmann::json::parse((*run)->record_json), nlohmann::json::parse(record_of(kRuns[6])));
  EXPECT_FALSE(line_->run("R99")->has_value());
}

TEST_P(LineStats, MeasurementsGiveCountMeanRangeAndShareOutsideTheirLimits) {
  auto stats = line_->measurement_stats({});
  ASSERT_TRUE(stats.ok()) << stats.error().message;
  std::vector<std::string> got;
  for (const auto& m : *stats) {
    char line[200];
    std::snprintf(line, sizeof line, "%s %s %s [%s, %s] n=%lld mean=%.3f min=%.3f max=%.3f outside=%lld",
                  m.plan.c_str(), m.name.c_str(), m.unit.c_str(),
                  m.low ? std::to_string(*m.low).c_str() : "-",
                  m.high ? std::to_string(*m.high).c_str() : "-", static_cast<long long>(m.count), m.mean,
                  m.min, m.max, static_cast<long long>(m.outside));
    got.push_back(line);
  }
  EXPECT_EQ(got, (std::vector<std::string>{
                     "default logic_adc V [0.500000, 3.000000] n=5 mean=2.660 min=1.200 max=3.900 outside=2",
                     "other v_in V [11.000000, -] n=2 mean=11.250 min=10.500 max=12.000 outside=1"}));
  EXPECT_EQ(line_->measurement_stats({"2026-12-06T08:00:00Z", "", "default"})->at(0).count, 3);

  // A measurement the line cannot read refuses the run, naming the step.
  RunRecord bad{
      "R11",
      "U8",
      "passed",
      "default",
      std::string(32, 'a'),
      "st1",
      "op1",
      at("16:00"),
      at("16:01"),
      R"({"steps":[{"name":"a"},{"name":"adc","measurement":{"name":"x","unit":"V","value":"1.2","passed":true}}]})"};
  EXPECT_EQ(line_->store_run(bad).error().message,
            "run R11: step 2 (\"adc\"): the measurement has no number \"value\"");
}

TEST_P(LineStats, ExportGivesOneLinePerRunInBothFormats) {
  std::string file = std::filesystem::temp_directory_path() / (db_->name() + ".csv");
  Ran csv = ftmline(db_->url(), {"export", "--since", "2026-12-06T14:00Z", "--until",
                                 "2026-12-06T16:00:00+01:00", "--format", "csv"});
  ASSERT_EQ(csv.code, 0) << csv.err;
  EXPECT_EQ(
      csv.out,
      "run_id,hwid,sn,csn,lan4_mac,lan3_mac,plan_name,plan_md5,station,operator,verdict,attempt,started_at,"
      "ended_at,duration_ms,failed_step,failed_reply\n"
      "\"R6\",\"U4\",\"sn1\",\"csn1\",\"020000000000\",\"020000000001\",\"default\",\"" +
          std::string(32, 'a') +
          "\",\"st1\",\"op1\",\"aborted\",1,\"2026-12-06T14:05:00.000Z\",\"2026-12-06T14:06:00.000Z\",60000,"
          "\"\",\"\"\n"
          "\"R7\",\"U4\",\"sn1\",\"csn1\",\"020000000000\",\"020000000001\",\"default\",\"" +
          std::string(32, 'a') +
          "\",\"st1\",\"op1\",\"failed\",2,\"2026-12-06T14:10:00.000Z\",\"2026-12-06T14:11:00.000Z\",60000,"
          "\"mcu version\",\"ERROR,timeout\\n\"\n"
          "\"R8\",\"U5\",\"\",\"\",\"\",\"\",\"default\",\"" +
          std::string(32, 'a') +
          "\",\"st1\",\"op1\",\"failed\",1,\"2026-12-06T14:20:00.000Z\",\"2026-12-06T14:21:00.000Z\",60000,"
          "\"mcu version\",\"(time-out)\"\n");
  Ran saved = ftmline(db_->url(), {"export", "--since", "2026-12-06", "--format", "jsonl", "--output", file});
  ASSERT_EQ(saved.code, 0) << saved.err;
  EXPECT_EQ(saved.out, "exported 10 runs to " + file + "\n");
  std::ifstream in(file);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 10u);
  const auto& r10 = lines.back();
  EXPECT_EQ(r10["run_id"], "R10");
  EXPECT_EQ(r10["failed_reply"], "OK,vin=\"10.5\"\n");
  EXPECT_EQ(
      r10["measurements"],
      nlohmann::json::parse(
          R"([{"step":2,"name":"v_in","unit":"V","value":10.5,"low":11.0,"high":null,"passed":false}])"));
  EXPECT_EQ(r10["record"], nlohmann::json::parse(record_of(kRuns[9])));
  EXPECT_EQ(ftmline(db_->url(), {"export", "--since", "06:00", "--format", "csv"}).code, 64);
  EXPECT_EQ(ftmline(db_->url(), {"export", "--since", "2026-12-06", "--format", "xml"}).code, 64);
  std::filesystem::remove(file);
}

TEST_P(LineStats, StationsPublishTheirSlotsAndTheWatcherHearsIt) {
  auto watcher = db_->open(kDefaultRetryWithin, Access::kReadOnly);            // as the view's
  ASSERT_TRUE(watcher->watch_stations(std::chrono::milliseconds(0)).value());  // the first look
  StationStatus status{"st1",
                       "pc-1",
                       2,
                       {{"1", "/dev/ttyACM0", "U9", "SN9", "default", "logic adc", 3, 12, 1500, 10000,
                         "running", "Is the LED <b>red</b>?\n"},
                        {"2", "/dev/ttyACM1", "", "", "", "", 0, 0, 0, 0, "idle", ""}}};
  ASSERT_TRUE(line_->publish_station(status).ok());
  EXPECT_TRUE(watcher->watch_stations(std::chrono::seconds(5)).value());
  EXPECT_FALSE(watcher->watch_stations(std::chrono::milliseconds(300)).value());
  status.slots[0].verdict = "passed";
  ASSERT_TRUE(line_->publish_station(status).ok());
  auto stations = watcher->stations();
  ASSERT_TRUE(stations.ok()) << stations.error().message;
  ASSERT_EQ(stations->size(), 1u);
  const StationState& st = stations->front();
  EXPECT_EQ(slots_to_json(st.status.slots), slots_to_json(status.slots));
  EXPECT_EQ(st.status.outbox_waiting, 2);
  EXPECT_LT(st.age_ms, 5000);

  struct Bad {
    std::function<void(StationStatus&)> change;
    std::string refusal;
  };
  const Bad bad[] = {
      {[](StationStatus& s) { s.station = ""; }, "station : the station has no name"},
      {[](StationStatus& s) { s.slots[1].name = "1"; }, "station st1: two slots are named \"1\""},
      {[](StationStatus& s) { s.slots[0].verdict = "ok"; },
       "station st1: slot \"1\": the verdict \"ok\" is none of"},
      {[](StationStatus& s) { s.slots[0].step_index = 13; }, "station st1: slot \"1\": step 13 of 12"},
  };
  for (const auto& b : bad) {
    StationStatus changed = status;
    b.change(changed);
    auto published = line_->publish_station(changed);
    ASSERT_FALSE(published.ok()) << b.refusal;
    EXPECT_TRUE(published.error().message.starts_with(b.refusal)) << published.error().message;
  }
  // The view's connections cannot write, whatever the role may do.
  EXPECT_FALSE(watcher->publish_station(status).ok());
  EXPECT_FALSE(watcher->assign("U10", {"st1", "op1"}).ok());
}

}  // namespace
}  // namespace ftmd::line::test
