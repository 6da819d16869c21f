// ftmstation on the line database, against the real daemon on virtual
// boards: identities from one pool for stations on two boards, the route on
// a second run, a unit that carries a foreign identity, and a unit swapped on
// the fixture while the database is busy (the outbox).
#include <sqlite3.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "common/c_handle.h"
#include "line/line_test_db.h"
#include "pc/identity_rules.h"
#include "station_rig.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;
using line::test::TestDb;

constexpr char kHwidA[] = "0x1122334455667788";  // the board's default soc_uid

// The identity steps of the default plan: written, read back, the read-backs
// marking the identity provisioned.
constexpr char kIdentityPlan[] = R"(name: identity
steps:
  - {name: write sn, send: "at+ftm,sn={sn}", expect: "OK\n"}
  - {name: read back sn, send: "at+ftm,sn=?", expect: "OK,{sn}\n", provisions: true}
  - {name: write csn, send: "at+ftm,csn={csn}", expect: "OK\n"}
  - {name: read back csn, send: "at+ftm,csn=?", expect: "OK,{csn}\n", provisions: true}
  - {name: burn MACs, send: "at+ftm,ethmac={lan4_mac},{lan3_mac}", expect: "OK\n", timeout: 30}
  - {name: read back MACs, send: "at+ftm,ethmac=?", expect: "OK,ethmac={lan4_mac},{lan3_mac}\n", retries: 5,
     provisions: true}
)";

class StationOnLine : public StationBoardTest {
 protected:
  // A line database with four units' worth of values.
  void seed(const TestDb& db) { ASSERT_EQ(seed_line(db.url(), 4), ""); }
  std::string plan(const std::string& extra = "") {
    std::ofstream(dir_ + "/plan.yaml") << kIdentityPlan << extra;
    return dir_ + "/plan.yaml";
  }
  // What a board carries, and what the line holds, as "sn csn lan4 lan3".
  static std::string unit_line(vboard::Board& b) {
    auto env = b.uboot_env().read().value_or(vboard::UbootEnv::Vars{});
    return env["msn"] + " " + env["csn"] + " " + env["ethaddr"] + " " + env["eth1addr"];
  }
  static std::string identity_line(const line::Identity& id) {
    return id.sn + " " + id.csn + " " + pc::mac_with_colons(id.lan4_mac) + " " +
           pc::mac_with_colons(id.lan3_mac);
  }
};

TEST_F(StationOnLine, TwoStationsOnOnePostgresGetDistinctIdentitiesAndARetestTheSameOne) {
  TestDb db("postgres");
  seed(db);
  vboard::BoardOptions options = default_board_options();
  options.soc_uid = "0xB0B\n";
  vboard::Board other(options);
  ASSERT_TRUE(other.wait_serving(10s));
  const std::string other_port = other.usb_host().attach_cable(other.state_dir() + "/ttyPC0");
  const std::vector<std::string> line_args{"--db", db.url(), "--plan", plan(), "--count", "1"};

  auto a = start_station(line_args);
  std::vector<std::string> argv{FTMSTATION_BINARY,   "--port",    other_port, "--records",
                                dir_ + "/records-b", "--station", "e2e-b",    "--yes"};
  argv.insert(argv.end(), line_args.begin(), line_args.end());
  auto b = std::async(std::launch::async, [&] { return other.run_on_pc(argv, 120s); });
  auto ran_a = a.get(), ran_b = b.get();
  ASSERT_EQ(ran_a.status, 0) << ran_a.output;
  ASSERT_EQ(ran_b.status, 0) << ran_b.output;

  // Each board carries the identity the line holds for its hardware id,
  // and the two differ in every value.
  auto line_db = db.open();
  auto id_a = line_db->identity(kHwidA), id_b = line_db->identity("0xB0B");
  ASSERT_TRUE(id_a && *id_a && id_b && *id_b);
  EXPECT_EQ(unit_line(board()), identity_line(**id_a));
  EXPECT_EQ(unit_line(other), identity_line(**id_b));
  EXPECT_NE((*id_a)->sn, (*id_b)->sn);
  EXPECT_NE((*id_a)->csn, (*id_b)->csn);
  EXPECT_NE((*id_a)->lan4_mac, (*id_b)->lan4_mac);
  for (const char* hwid : {kHwidA, "0xB0B"}) EXPECT_EQ(line_db->find_units(hwid)->at(0).state, "provisioned");

  // Again on the same board: refused as passed, then with --retest tested
  // with the same identity.
  auto again = start_station(line_args);
  auto ran = again.get();
  EXPECT_EQ(ran.status, 1) << ran.output;
  EXPECT_NE(
      ran.output.find("REFUSED unit 1/1 (hwid 0x1122334455667788): it already passed plan \"identity\""),
      std::string::npos)
      << ran.output;
  auto args = line_args;
  args.push_back("--retest");
  auto retest = start_station(args);
  ran = retest.get();
  EXPECT_EQ(ran.status, 0) << ran.output;
  EXPECT_EQ(unit_line(board()), identity_line(**id_a));
  auto report = line_db->find_units(kHwidA);
  ASSERT_TRUE(report && report->size() == 1);
  EXPECT_EQ(report->at(0).runs.size(), 2u);
  EXPECT_EQ(identity_line(report->at(0).identity), identity_line(**id_a));
}

TEST_F(StationOnLine, ABoardCarryingAForeignSerialNumberIsStoppedBeforeAnyWrite) {
  TestDb db("postgres");
  seed(db);
  board().uboot_env().set("msn", "FOREIGN-7");
  const auto env_before = board().uboot_env().read();
  auto run = start_station({"--db", db.url(), "--plan", plan(), "--count", "1"});
  auto ran = run.get();
  EXPECT_EQ(ran.status, 1) << ran.output;
  EXPECT_NE(
      ran.output.find("REFUSED unit 1/1 (hwid 0x1122334455667788): the unit carries sn \"FOREIGN-7\", but "
                      "the line holds no identity for it: it was provisioned elsewhere; nothing was written"),
      std::string::npos)
      << ran.output;
  EXPECT_EQ(board().uboot_env().read(), env_before);
  EXPECT_TRUE(fs::is_empty(board().host_path("/etc/systemd/network")));
  EXPECT_TRUE(board().standins().systemctl_calls().empty());
  auto levels = db.open()->pool_levels();
  ASSERT_TRUE(levels);
  for (const auto& level : *levels) EXPECT_EQ(level.assigned, 0) << level.pool;
  EXPECT_TRUE(records(".json").empty());
}

// SQLite, two units through the operator hook: the first unit stays on the
// fixture once (not a new unit), and the database is busy when it ends, so
// its run waits in the outbox until the second unit's goes.
TEST_F(StationOnLine, OnSqliteTheSameUnitIsNotANewOneAndARunWaitsInTheOutbox) {
  TestDb db("sqlite");
  seed(db);
  ::setenv("FTMLINE_RETRY_SECONDS", "1", 1);
  using Sqlite = CHandle<sqlite3, sqlite3_close_v2>;
  Sqlite holder;
  int next_units = 0;
  auto run = start_station({"--db", db.url(), "--plan",
                            plan("  - {name: hold, prompt: Hold the database, action: db-busy, send: "
                                 "\"at+ftm,ftmver=?\", expect: \"OK,ftmver=V1.0\\n\"}\n"),
                            "--count", "2", "--operator", "ann"});
  auto actions = operate(run, [&](const std::string& action) {
    if (action == "db-busy" && !holder) {
      // Another writer holds the database while the first unit ends.
      sqlite3* raw = nullptr;
      sqlite3_open_v2(db.url().substr(7).c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
      holder.reset(raw);
      // The station's publisher may be writing its state just then.
      sqlite3_busy_timeout(raw, 30000);
      ASSERT_EQ(sqlite3_exec(holder.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    if (action == "next-unit" && ++next_units == 2) {
      sqlite3_exec(holder.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      board().swap_unit("0xC0FFEE\n");
    }
  });
  ::unsetenv("FTMLINE_RETRY_SECONDS");
  auto ran = run.get();
  ASSERT_EQ(ran.status, 0) << ran.output;
  EXPECT_EQ(actions, (std::vector<std::string>{"db-busy", "next-unit", "next-unit", "db-busy"}));
  EXPECT_NE(
      ran.output.find("the unit on the fixture is still 0x1122334455667788, taken just now: put the next "
                      "unit on\n"),
      std::string::npos)
      << ran.output;
  EXPECT_NE(ran.output.find("1 record waits in " + dir_ + "/records.outbox\n"), std::string::npos)
      << ran.output;
  EXPECT_NE(ran.output.find("2 of 2 units passed;"), std::string::npos) << ran.output;
  EXPECT_EQ(ran.output.find("wait for the line database"), std::string::npos) << ran.output;

  // Both runs reached the database, the first one's identity marked
  // provisioned when its run went; the outbox is empty.
  auto line_db = db.open();
  for (const char* hwid : {kHwidA, "0xC0FFEE"}) {
    auto units = line_db->find_units(hwid);
    ASSERT_TRUE(units && units->size() == 1) << hwid;
    EXPECT_EQ(units->at(0).state, "provisioned") << hwid;
    ASSERT_EQ(units->at(0).runs.size(), 1u) << hwid;
    EXPECT_EQ(units->at(0).runs[0].operator_name, "ann");
    EXPECT_EQ(units->at(0).runs[0].verdict, "passed");
  }
  EXPECT_TRUE(fs::is_empty(dir_ + "/records.outbox"));
}

}  // namespace
}  // namespace ftmd::test
