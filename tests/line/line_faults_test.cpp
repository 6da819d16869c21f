// Many `ftmline assign` processes at once on one database, some killed with
// SIGKILL at random moments, the PostgreSQL server restarted (immediate) in
// the middle: afterwards every hardware id holds one identity, no value is
// held twice, and none is lost. The pools hold exactly one identity per
// hardware id, so a value taken and then lost would leave the last unit
// without one.
//
// CI size by default; tools/line-soak runs it long with FTMLINE_SOAK_UNITS,
// FTMLINE_SOAK_PARALLEL, FTMLINE_SOAK_KILL_PERCENT, FTMLINE_SOAK_SEED.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "line/child.h"
#include "line/line_test_db.h"

namespace ftmd::line::test {
namespace {

int knob(const char* name, int fallback) {
  const char* env = std::getenv(name);
  return env && *env ? std::atoi(env) : fallback;
}

class LineFaults : public ::testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(Engines, LineFaults, ::testing::Values("sqlite", "postgres"), engine_name);

TEST_P(LineFaults, KilledAssignsAndARestartLoseAndDuplicateNothing) {
  const int units = knob("FTMLINE_SOAK_UNITS", 24);
  const int parallel = knob("FTMLINE_SOAK_PARALLEL", 6);
  const int kill_percent = knob("FTMLINE_SOAK_KILL_PERCENT", 30);
  const auto seed =
      static_cast<unsigned>(knob("FTMLINE_SOAK_SEED", static_cast<int>(std::random_device{}())));
  RecordProperty("seed", static_cast<int>(seed));
  std::mt19937 random(seed);

  TestDb db(GetParam());
  // A process started while the server restarts waits for it, however slow
  // the machine is today.
  ::setenv("FTMLINE_RETRY_SECONDS", "60", 1);
  std::string n = std::to_string(units);
  for (std::vector<std::string> args :
       {std::vector<std::string>{"init"},
        {"import-macs", "--first", "02:00:00:00:00:00", "--count", std::to_string(2 * units)},
        {"import-serials", "--kind", "sn", "--prefix", "SN", "--digits", "6", "--from", "1", "--count", n},
        {"import-serials", "--kind", "csn", "--prefix", "C", "--digits", "6", "--from", "1", "--count", n}})
    ASSERT_EQ(ftmline(db.url(), args).code, 0) << args[0];

  // Every hardware id asked for by two processes, in random order.
  std::vector<std::string> hwids;
  hwids.reserve(static_cast<std::size_t>(units));
  for (int i = 0; i < units; ++i) hwids.push_back("HW" + std::to_string(1000 + i));
  std::vector<std::string> tasks = hwids;
  tasks.insert(tasks.end(), hwids.begin(), hwids.end());
  std::shuffle(tasks.begin(), tasks.end(), random);

  std::string dir = std::filesystem::temp_directory_path() / (db.name() + "-faults");
  std::filesystem::create_directories(dir);
  std::map<std::string, std::set<std::string>> answers;  // hwid -> identities printed (without "new")
  auto answer = [&](const std::string& hwid, const std::string& path) {
    auto j = nlohmann::json::parse(read_text(path), nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << read_text(path);
    EXPECT_EQ(j["hwid"], hwid);
    j.erase("new");
    answers[hwid].insert(j.dump());
  };
  auto assign = [&](const std::string& hwid, const std::string& out, Status* started) {
    return Child::start({FTMLINE_BINARY, "--db", db.url(), "--station", "faults", "assign", hwid}, out,
                        out + ".err", started);
  };

  std::jthread restarter;
  int started_count = 0, killed = 0, done = 0;
  for (std::size_t first = 0; first < tasks.size(); first += static_cast<std::size_t>(parallel)) {
    struct Run {
      std::string hwid, out;
      Child child;
      std::chrono::microseconds kill_after{-1};
    };
    std::vector<Run> wave;
    auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = first; i < std::min(tasks.size(), first + static_cast<std::size_t>(parallel)); ++i) {
      Run run{tasks[i], dir + "/out" + std::to_string(i), {}};
      Status started;
      run.child = assign(run.hwid, run.out, &started);
      ASSERT_TRUE(started.ok()) << started.message();
      if (static_cast<int>(random() % 100) < kill_percent)
        run.kill_after = std::chrono::microseconds(random() % 40'000);
      wave.push_back(std::move(run));
      ++started_count;
    }
    if (db.postgres() && !restarter.joinable() && started_count >= static_cast<int>(tasks.size()) / 2)
      restarter = std::jthread([] { EXPECT_TRUE(pg_server().restart().ok()); });
    std::sort(wave.begin(), wave.end(),
              [](const Run& a, const Run& b) { return a.kill_after < b.kill_after; });
    for (auto& run : wave) {
      if (run.kill_after.count() < 0) continue;
      std::this_thread::sleep_until(t0 + run.kill_after);  // a random moment, not a wait for an event
      run.child.kill(SIGKILL);
    }
    for (auto& run : wave) {
      int status = run.child.wait();
      if (WIFSIGNALED(status)) {
        ++killed;
        continue;
      }
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << run.hwid << ": " << read_text(run.out + ".err");
      answer(run.hwid, run.out);
      ++done;
    }
  }
  if (restarter.joinable()) restarter.join();
  std::printf("%d assign processes: %d killed, %d done%s (seed %u)\n", started_count, killed, done,
              db.postgres() ? ", server restarted once" : "", seed);

  // Each hardware id asked once more, nobody killing: every one gets its
  // identity, from pools holding exactly enough. On PostgreSQL the position
  // sequence is moved past the end first, so the positions still free are
  // found only by the search for gaps (as those of rolled-back claims are).
  if (db.postgres()) {
    ASSERT_TRUE(db.sql("SELECT setval('ftmline.unit_n', 1000000000)").ok());
  }
  for (const auto& hwid : hwids) {
    Status started;
    std::string out = dir + "/final-";
    out += hwid;
    Child child = assign(hwid, out, &started);
    int status = child.wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << hwid << ": " << read_text(out + ".err");
    answer(hwid, out);
  }

  auto line = db.open();
  std::set<std::string> sns, csns, macs;
  for (const auto& hwid : hwids) {
    EXPECT_EQ(answers[hwid].size(), 1u) << hwid << " was given two identities";
    auto units_found = line->find_units(hwid);
    ASSERT_TRUE(units_found.ok());
    ASSERT_EQ(units_found->size(), 1u) << hwid;
    const Identity& id = units_found->front().identity;
    sns.insert(id.sn);
    csns.insert(id.csn);
    macs.insert(id.lan4_mac);
    for (const auto& value : {id.sn, id.csn, id.lan4_mac}) {
      auto held = line->find_values(value);
      ASSERT_TRUE(held.ok());
      ASSERT_EQ(held->size(), 1u) << value;
      EXPECT_EQ(held->front().state + " " + held->front().hwid, "assigned " + hwid) << value;
    }
  }
  EXPECT_EQ(sns.size(), hwids.size());
  EXPECT_EQ(csns.size(), hwids.size());
  EXPECT_EQ(macs.size(), hwids.size());
  const auto levels = line->pool_levels();  // kept: the loop reads into it
  ASSERT_TRUE(levels.ok());
  for (const auto& level : *levels) {
    EXPECT_EQ(level.imported, units) << level.pool;
    EXPECT_EQ(level.assigned, units) << level.pool;
    EXPECT_EQ(level.voided + level.left, 0) << level.pool;
  }
  auto events = line->audit({});
  ASSERT_TRUE(events.ok());
  EXPECT_EQ(std::count_if(events->begin(), events->end(), [](const auto& e) { return e.kind == "assign"; }),
            units);
  std::filesystem::remove_all(dir);
  ::unsetenv("FTMLINE_RETRY_SECONDS");
}

}  // namespace
}  // namespace ftmd::line::test
