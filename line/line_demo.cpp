#include "line/line_demo.h"

#include <array>
#include <cmath>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include "line/line_stats.h"

namespace ftmd::line {
namespace {

using nlohmann::json;

constexpr unsigned kSeed = 20261206;
constexpr int kUnits = 112;
constexpr std::time_t kSpan = std::time_t{8} * 3600;

struct Step {
  const char* name;
  const char* request;
  const char* reply;  // when it passes
};

// The default plan's steps, as the station records them.
constexpr Step kSteps[] = {
    {"read hardware id", "at+ftm,hwid=?", "OK,8F3A0C217B4D9E11\n"},
    {"write serial", "at+ftm,sn=SN", "OK\n"},
    {"write macs", "at+ftm,mac=", "OK\n"},
    {"identity read-back", "at+ftm,sn=?", "OK,SN\n"},
    {"mcu version", "at+ftm,mcuver=?", "OK,mcuver=V2.31\n"},
    {"logic adc", "at+ftm,logicmcugetvalue=?", "OK,logic=1.82\n"},
    {"reset key", "at+ftm,keytest=1", "OK\n"},
    {"led red", "at+ftm,led=red", "OK\n"},
    {"handover devlic", "handover devlic", "OK\n"},
    {"autotest", "at+ftm,autotest", "OK,autotest pass\n"},
};
constexpr std::size_t kAdcStep = 5;

// How a run fails: the step and its last reply (nullptr: no reply came).
struct Failure {
  std::size_t step;
  const char* reply;
  int weight;
};
constexpr Failure kFailures[] = {
    {4, "ERROR,Invalid Cmd\n", 5},    {4, nullptr, 3},
    {6, "FAIL,key not pressed\n", 4}, {8, "FAIL,md5 mismatch\n", 2},
    {9, "FAIL,audio loopback\n", 1},
};

constexpr const char* kStations[] = {"line1-st1", "line1-st2", "line1-st3"};

std::string record(const std::string& station, const std::string& sn, int fail_at, const Failure* failure,
                   double adc, const std::string& started) {
  json steps = json::array();
  for (std::size_t i = 0; i < std::size(kSteps); ++i) {
    const Step& s = kSteps[i];
    bool failed = static_cast<int>(i) == fail_at;
    bool skipped = fail_at >= 0 && static_cast<int>(i) > fail_at;
    json step = {{"name", s.name}, {"kind", "send"}, {"command", s.request}};
    step["verdict"] = failed ? "failed" : skipped ? "skipped" : "passed";
    if (!skipped) {
      std::string reply = s.reply;
      if (i == kAdcStep) reply = "OK,logic=" + std::to_string(adc).substr(0, 4) + "\n";
      if (i == 3) reply = "OK," + sn + "\n";
      json exchange = {{"request", s.request}, {"at", started}, {"outcome", "reply"}, {"reply", reply}};
      if (failed && failure) {
        exchange["reply"] = failure->reply ? json(failure->reply) : json();
        if (!failure->reply) exchange["outcome"] = "time-out";
      }
      step["attempts"] = json::array({{{"attempt", 1}, {"exchanges", json::array({exchange})}}});
    }
    if (i == kAdcStep && !skipped)
      step["measurement"] = {{"name", "logic_adc"}, {"value", adc}, {"unit", "V"},
                             {"low", 0.5},          {"high", 3.0},  {"passed", adc >= 0.5 && adc <= 3.0}};
    steps.push_back(step);
  }
  return json{{"station", station}, {"unit", {{"sn", sn}}}, {"steps", steps}}.dump();
}

}  // namespace

Result<std::int64_t> fill_demo_line(LineDb& db, std::time_t now) {
  auto levels = db.pool_levels();
  if (!levels) return levels.error();
  for (const auto& l : *levels)
    if (l.imported > 0) return refused("the demo only fills an empty line database; this one has pools");
  const Actor admin{"demo", "planner"};
  if (auto done = db.import_macs("02:1B:2C:00:00:00", std::uint64_t{2} * 400, admin); !done)
    return done.error();
  std::vector<std::string> sns, csns;
  for (int i = 1; i <= 400; ++i) sns.push_back("FT26" + std::to_string(100000 + i));
  for (int i = 1; i <= kUnits + 20; ++i) csns.push_back("C-" + std::to_string(7700 + i));
  if (auto done = db.import_serials(SerialKind::kSn, sns, admin); !done) return done.error();
  if (auto done = db.import_serials(SerialKind::kCsn, csns, admin); !done) return done.error();

  std::mt19937 random(kSeed);
  std::normal_distribution<double> adc(1.8, 0.45);
  std::vector<int> weights;
  for (const auto& f : kFailures) weights.push_back(f.weight);
  std::discrete_distribution<int> failure_of(weights.begin(), weights.end());
  std::int64_t runs = 0;
  const std::time_t first = now - kSpan;
  for (int u = 0; u < kUnits; ++u) {
    char hwid[20];
    std::snprintf(hwid, sizeof hwid, "8F3A0C21%08X", 0x7B4D0000u + static_cast<unsigned>(u) * 7919u);
    const std::string station = kStations[u % 3];
    auto assigned = db.assign(hwid, {station, "op-" + std::to_string(u % 4 + 1)});
    if (!assigned) return assigned.error();
    std::time_t start = first + kSpan * u / kUnits;
    // Most pass at once; a failure is tried again once, on the next station.
    for (int attempt = 0; attempt < 2; ++attempt) {
      double value = adc(random);
      int fail_at = value < 0.5 || value > 3.0 ? static_cast<int>(kAdcStep) : -1;
      const Failure* failure = nullptr;
      if (fail_at < 0 && random() % 100 < (attempt == 0 ? 11u : 30u)) {
        failure = &kFailures[failure_of(random)];
        fail_at = static_cast<int>(failure->step);
      }
      const std::string at_station = kStations[(u + attempt) % 3];
      const std::string started = utc_text(start);
      RunRecord run{"demo-" + std::to_string(u) + "-" + std::to_string(attempt),
                    hwid,
                    fail_at < 0 ? "passed" : "failed",
                    u % 5 == 4 ? "audio-fixture" : "default",
                    std::string(32, u % 5 == 4 ? 'b' : 'a'),
                    at_station,
                    "op-" + std::to_string(u % 4 + 1),
                    started,
                    utc_text(start + 95 + static_cast<std::time_t>(random() % 40)),
                    record(at_station, assigned->identity.sn, fail_at, failure, value, started)};
      if (auto stored = db.store_run(run); !stored) return stored.error();
      ++runs;
      if (fail_at < 0) break;
      start += std::time_t{20} * 60;
    }
  }
  return runs;
}

std::vector<StationStatus> demo_stations(std::int64_t tick) {
  std::vector<StationStatus> out;
  for (int s = 0; s < 3; ++s) {
    StationStatus status{kStations[s], "line1-pc" + std::to_string(s + 1), s == 1 ? 2 : 0, {}};
    for (int k = 0; k < 2; ++k) {
      std::int64_t t = tick + std::int64_t{s} * 7 + std::int64_t{k} * 11;
      int step = static_cast<int>(t / 3 % static_cast<std::int64_t>(std::size(kSteps)));
      SlotStatus slot{std::to_string(k + 1),
                      "/dev/serial/by-path/pci-0000:00:14.0-usb-0:" + std::to_string(k + 1) + ":1.0",
                      "",
                      "FT26" + std::to_string(100200 + s * 10 + k),
                      "default",
                      kSteps[step].name,
                      step + 1,
                      static_cast<int>(std::size(kSteps)),
                      t % 3 * 1000 + 400,
                      10000,
                      "running",
                      ""};
      if (s == 0 && k == 1) {
        slot.verdict = "waiting-for-operator";
        slot.prompt = "Is the LED red?";
        slot.step = "led red";
        slot.step_index = 8;
      }
      if (s == 2) slot.verdict = k == 0 ? "passed" : "failed";
      status.slots.push_back(slot);
    }
    out.push_back(status);
  }
  return out;
}

}  // namespace ftmd::line
