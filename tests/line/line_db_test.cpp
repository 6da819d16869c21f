// The line database on both engines: ftmline's commands and their refusals,
// what a station stores and asks, the schema's version, the event log, the
// PostgreSQL roles and the station's outbox.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "line/backend.h"
#include "line/line_test_db.h"
#include "line/outbox.h"

namespace ftmd::line::test {
namespace {

class LineDb : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { db_ = std::make_unique<TestDb>(GetParam()); }
  Ran run(const std::vector<std::string>& args) { return ftmline(db_->url(), args); }
  std::unique_ptr<TestDb> db_;
};

INSTANTIATE_TEST_SUITE_P(Engines, LineDb, ::testing::Values("sqlite", "postgres"), engine_name);

std::string write_file(const std::string& dir, const std::string& name, const std::string& text) {
  std::string path = dir + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TEST_P(LineDb, CommandsGiveOneIdentityPerUnitAndRefuseWhatTheLineCannotTake) {
  std::string dir = std::filesystem::temp_directory_path() / db_->name();
  std::filesystem::create_directories(dir);
  std::string bad_list = write_file(dir, "bad.txt", "C=1\r\nC2\n\nC2\n");
  std::string good_list = write_file(dir, "good.txt",
                                     "\xEF\xBB\xBF"
                                     "C1\r\nC2\n\n");
  struct Step {
    std::vector<std::string> args;
    int code;
    std::string out;  // what stdout holds
    std::string err;  // what stderr holds
  };
  const Step steps[] = {
      {{"assign", "HW-A"}, 1, "", "run ftmline init\n"},
      {{"init"}, 0, ": schema version " + std::to_string(kSchemaVersion) + " (created)\n", ""},
      {{"init"}, 0, ": schema version " + std::to_string(kSchemaVersion) + " (already current)\n", ""},
      {{"import-macs", "--first", "00-1b-2c-3d-4e-5f", "--count", "4"},
       0,
       "imported 4 MAC addresses, 00:1B:2C:3D:4E:5F to 00:1B:2C:3D:4E:62: 2 units\n",
       ""},
      {{"import-macs", "--first", "001B2C3D4E62", "--count", "2"},
       1,
       "",
       "ftmline: the block 00:1B:2C:3D:4E:62 to 00:1B:2C:3D:4E:63 overlaps the block 00:1B:2C:3D:4E:5F to "
       "00:1B:2C:3D:4E:62 imported 20"},
      {{"import-macs", "--first", "001B2C3D4E5B", "--count", "6"},
       1,
       "",
       "overlaps the block 00:1B:2C:3D:4E:5F"},
      {{"import-macs", "--first", "001B2C3D4E63", "--count", "2"}, 0, "00:1B:2C:3D:4E:64: 1 unit\n", ""},
      {{"import-macs", "--first", "011B2C000000", "--count", "2"},
       1,
       "",
       "a multicast address (odd first octet), not a unit's address\n"},
      {{"import-macs", "--first", "00:00:00:00:00:00", "--count", "2"}, 1, "", "the all-zero address"},
      {{"import-macs", "--first", "00:1B:2D:FF:FF:FE", "--count", "4"},
       1,
       "",
       "the block runs past 00:1B:2D:FF:FF:FF, the end of its OUI (2 addresses from 00:1B:2D:FF:FF:FE)\n"},
      {{"import-macs", "--first", "00:1B:2D:00:00:00", "--count", "3"}, 1, "", "the count 3 is odd"},
      {{"import-macs", "--first", "00:1B:2D:00:00:00", "--count", "-2"}, 64, "", "bad --count \"-2\""},
      {{"import-macs", "--count", "2"}, 64, "", "import-macs needs --first\n"},
      {{"import-serials", "--kind", "sn", "--prefix", "SN", "--digits", "4", "--from", "9998", "--count",
        "2"},
       0,
       "imported 2 sn values, SN9998 to SN9999\n",
       ""},
      {{"import-serials", "--kind", "sn", "--prefix", "S", "--digits", "2", "--from", "99", "--count", "2"},
       1,
       "",
       "do not fit 2 digits"},
      {{"import-serials", "--kind", "sn", "--prefix", "SN", "--digits", "4", "--from", "9990", "--count",
        "9"},
       1,
       "",
       "ftmline: sn values already in the pool: \"SN9998\"\n"},
      {{"import-serials", "--kind", "sn", "--prefix", "-S", "--digits", "1", "--from", "1", "--count", "1"},
       1,
       "",
       "begins with \"-\", which the device refuses"},
      {{"import-serials", "--kind", "sn", "--prefix", " TaMo is rebooting...", "--digits", "1", "--from", "1",
        "--count", "1"},
       1,
       "",
       "sn reads back like the reboot reply \"OK, tamo is rebooting...\", which makes the device reboot"},
      {{"import-serials", "--kind", "csn", "--file", bad_list},
       1,
       "",
       bad_list + ":1: csn has a \"=\", which the device cannot read back: \"C=1\"\nftmline: " + bad_list +
           ":4: csn \"C2\" is also on line 2\nftmline: nothing imported\n"},
      {{"import-serials", "--kind", "csn", "--file", good_list}, 0, "imported 2 csn values, C1 to C2\n", ""},
      {{"import-serials", "--kind", "xsn", "--file", good_list}, 64, "", "--kind is sn or csn"},
      {{"import-serials", "--kind", "sn", "--file", good_list, "--count", "1"}, 64, "", "either --file F or"},
      {{"assign", "HW-A"},
       0,
       "{\"hwid\":\"HW-A\",\"sn\":\"SN9998\",\"csn\":\"C1\",\"lan4_mac\":\"001B2C3D4E5F\",\"lan3_mac\":"
       "\"001B2C3D4E60\",\"new\":true}\n",
       ""},
      {{"assign", "HW-B"},
       0,
       "{\"hwid\":\"HW-B\",\"sn\":\"SN9999\",\"csn\":\"C2\",\"lan4_mac\":\"001B2C3D4E61\",\"lan3_mac\":"
       "\"001B2C3D4E62\",\"new\":true}\n",
       ""},
      {{"assign", "HW-A"},
       0,
       "\"lan4_mac\":\"001B2C3D4E5F\",\"lan3_mac\":\"001B2C3D4E60\",\"new\":false}\n",
       ""},
      {{"assign", "HW-C"},
       1,
       "",
       "ftmline: no identity to give: the sn and csn pools are empty (import more with ftmline "
       "import-serials "
       "or import-macs)\n"},
      {{"assign", "HW\t1"}, 1, "", "the hardware id has a byte that is not printable ASCII"},
      {{"assign", "HW-A", "HW-B"}, 64, "", "assign takes no argument \"HW-B\""},
      {{"void", "HW-B", "--reason", "cracked case"}, 0, "unit HW-B is void", ""},
      {{"void", "HW-X", "--reason", "x"}, 1, "", "no unit has the hardware id HW-X (it was never assigned)"},
      {{"void", "HW-A"}, 64, "", "void needs --reason"},
      {{"assign", "HW-B"}, 1, "", "unit HW-B is void (cracked case): it gets no identity again"},
      {{"status", "--low", "2"},
       0,
       "pool    imported   assigned       void       left\n"
       "sn             2          1          1          0\n"
       "csn            2          1          1          0\n"
       "mac            3          1          1          1  (pairs: one per unit)\n",
       "warning: the sn pool has 0 left, below the low-water mark of 2\nftmline: warning: the csn pool has "
       "0"},
      {{"unit", "00:1b:2c:3d:4e:62"}, 0, "unit HW-B\n  sn           SN9999\n  csn          C2\n", ""},
      {{"unit", "C1"}, 0, "  lan3_mac     00:1B:2C:3D:4E:60\n  state        assigned\n", ""},
      {{"unit", "SN9999"}, 0, "  state        void\n", ""},
      {{"unit", "001B2C3D4E64"},
       1,
       "",
       "no unit has 001B2C3D4E64; the MAC pair from 00:1B:2C:3D:4E:63 is free in its pool\n"},
      {{"unit", "nothing"}, 1, "", "no unit has nothing\n"},
      {{"audit", "--last", "2"}, 0, "\tvoid\tHW-B\tst1\top1\t", ""},
      {{"frobnicate"}, 64, "", "unknown command \"frobnicate\""},
      {{"status", "--first", "x"}, 64, "", "status has no option --first"},
      {{"void", "HW-A", "--reason="}, 64, "", "--reason needs a value"},
      {{"init", "--help"}, 0, "  audit [--hwid HWID] [--last N]", ""},
  };
  for (const auto& step : steps) {
    Ran ran = run(step.args);
    std::string what = ::testing::PrintToString(step.args);
    EXPECT_EQ(ran.code, step.code) << what << "\n" << ran.err;
    EXPECT_NE(ran.out.find(step.out), std::string::npos) << what << " printed:\n" << ran.out;
    EXPECT_NE(ran.err.find(step.err), std::string::npos) << what << " said:\n" << ran.err;
    if (step.err.empty()) {
      EXPECT_EQ(ran.err, "") << what;
    }
  }
  auto events = db_->open()->audit({});
  ASSERT_TRUE(events.ok());
  std::vector<std::string> kinds;
  for (const auto& e : *events)
    kinds.push_back(e.kind + " " + e.hwid + " " + e.station + " " + e.operator_name);
  EXPECT_EQ(kinds, (std::vector<std::string>{"import  st1 op1", "import  st1 op1", "import  st1 op1",
                                             "import  st1 op1", "assign HW-A st1 op1", "assign HW-B st1 op1",
                                             "void HW-B st1 op1"}));
  EXPECT_EQ(events->back().detail, "cracked case");
  EXPECT_EQ((*events)[4].detail, "sn SN9998, csn C1, macs 00:1B:2C:3D:4E:5F 00:1B:2C:3D:4E:60");
  std::filesystem::remove_all(dir);
}

RunRecord run_of(const std::string& id, const std::string& hwid, const std::string& verdict,
                 const std::string& started) {
  return {id,    hwid,  verdict, "default", std::string(32, 'a'),
          "st1", "op1", started, started,   "{\"unit\":{\"sn\":\"SN1\"},\"steps\":[1,2.5,\"x\"]}"};
}

TEST_P(LineDb, StationRoutesProvisionsAndStoresEachRunOnce) {
  ASSERT_EQ(run({"init"}).code, 0);
  ASSERT_EQ(run({"import-macs", "--first", "02:00:00:00:00:00", "--count", "2"}).code, 0);
  ASSERT_EQ(
      run({"import-serials", "--kind", "sn", "--prefix", "S", "--digits", "1", "--from", "1", "--count", "1"})
          .code,
      0);
  ASSERT_EQ(run({"import-serials", "--kind", "csn", "--prefix", "C", "--digits", "1", "--from", "1",
                 "--count", "1"})
                .code,
            0);
  auto db = db_->open();
  Actor actor{"st2", "op2"};
  ASSERT_TRUE(db->assign("HW1", actor).ok());
  EXPECT_EQ(db->identity("HW1")->value().lan3_mac, "020000000001");
  EXPECT_FALSE(db->identity("HW2")->has_value());

  struct Case {
    RunRecord run;
    std::string result;  // "stored", "kept" or the refusal
  };
  const Case cases[] = {
      {run_of("r1", "HW1", "failed", "2026-12-05T18:00:00.000Z"), "stored"},
      {run_of("r1", "HW1", "passed", "2026-12-05T18:00:00.000Z"), "kept"},
      {run_of("r2", "HW1", "passed", "2026-12-05T19:00:00.5Z"), "stored"},
      {run_of("r3", "HW1", "aborted", "2026-12-05T17:00:00Z"), "stored"},
      {run_of("r4", "HW1", "ok", "2026-12-05T17:00:00Z"),
       "run r4: the verdict \"ok\" is none of passed, failed, aborted"},
      {run_of("r5", "HW1", "passed", "yesterday"), "run r5: the run's times are not UTC times"},
      {run_of("r6 x", "HW1", "passed", "2026-12-05T17:00:00Z"), "run r6 x: the run id has a blank"},
  };
  for (const auto& c : cases) {
    auto stored = db->store_run(c.run);
    std::string got = stored ? (*stored ? "stored" : "kept") : stored.error().message;
    EXPECT_TRUE(got.starts_with(c.result)) << c.run.run_id << ": " << got;
  }
  auto bad_json = run_of("r7", "HW1", "passed", "2026-12-05T17:00:00Z");
  bad_json.record_json = "{\"unit\":";
  EXPECT_EQ(db->store_run(bad_json).error().message, "run r7: the run's record is not valid JSON");

  auto route = db->route("HW1", "default");
  ASSERT_TRUE(route.ok());
  EXPECT_EQ(std::tie(route->passed, route->attempts, route->failed, route->aborted),
            std::make_tuple(true, 3, 1, 1));
  EXPECT_EQ(db->route("HW1", "other")->attempts, 0);

  EXPECT_TRUE(db->mark_provisioned("HW1", actor).ok());
  EXPECT_TRUE(db->mark_provisioned("HW1", actor).ok());
  EXPECT_EQ(db->mark_provisioned("HW9", actor).error().message,
            "no unit has the hardware id HW9 (it was never assigned)");
  auto units = db->find_units("HW1");
  ASSERT_TRUE(units.ok());
  ASSERT_EQ(units->size(), 1u);
  const UnitReport& unit = units->front();
  EXPECT_EQ(unit.state, "provisioned");
  std::vector<std::string> runs;
  for (const auto& r : unit.runs) runs.push_back(r.run_id + " " + r.verdict + " " + r.started_at);
  EXPECT_EQ(runs, (std::vector<std::string>{"r3 aborted 2026-12-05T17:00:00.000Z",
                                            "r1 failed 2026-12-05T18:00:00.000Z",
                                            "r2 passed 2026-12-05T19:00:00.500Z"}));
  auto events = db->audit({"HW1", 0});
  std::vector<std::string> kinds;
  for (const auto& e : *events) kinds.push_back(e.kind + ": " + e.detail);
  EXPECT_EQ(kinds, (std::vector<std::string>{
                       "assign: sn S1, csn C1, macs 02:00:00:00:00:00 02:00:00:00:00:01",
                       "record: run r1 failed, plan default", "record: run r2 passed, plan default",
                       "record: run r3 aborted, plan default", "provision: identity written and read back"}));
}

TEST_P(LineDb, SchemaIsVersionedAndTheEventLogAppendOnly) {
  ASSERT_EQ(run({"init"}).code, 0);
  ASSERT_EQ(run({"import-macs", "--first", "02:00:00:00:00:00", "--count", "2"}).code, 0);
  for (const char* kind : {"sn", "csn"})
    ASSERT_EQ(run({"import-serials", "--kind", kind, "--prefix", "S", "--digits", "1", "--from", "1",
                   "--count", "1"})
                  .code,
              0);
  ASSERT_EQ(run({"assign", "HW1"}).code, 0);
  const std::string prefix = db_->postgres() ? "ftmline." : "";
  // A unit's assignment is an event of the log too.
  for (std::string sql :
       {"UPDATE %events SET detail = 'x'", "DELETE FROM %events", "UPDATE %units SET sn = 'S2'",
        "UPDATE %units SET assigned_station = 'x'", "DELETE FROM %units"}) {
    sql.replace(sql.find('%'), 1, prefix);
    EXPECT_FALSE(db_->sql(sql).ok()) << sql;
  }
  if (db_->postgres()) {
    EXPECT_FALSE(db_->sql("TRUNCATE ftmline.units CASCADE").ok());
  }
  ASSERT_TRUE(
      db_->sql("UPDATE " + prefix + "meta SET schema_version = " + std::to_string(kSchemaVersion + 1)).ok());
  std::string newer = "ftmline: the line database's schema is version " + std::to_string(kSchemaVersion + 1) +
                      ", newer than this program knows (up to " + std::to_string(kSchemaVersion) +
                      "): use a newer ftmline and station\n";
  for (const char* command : {"init", "status"}) {
    Ran ran = run({command});
    EXPECT_EQ(ran.code, 1) << command;
    EXPECT_EQ(ran.err, newer) << command;
  }
}

// A version 2 line whose taken values are neither a prefix of their pools
// nor at the same place in each (as concurrent takes and rollbacks left
// them): HW-A (void) holds S3, C1 and the third pair, HW-B S2, C2 and the
// first; S1, S4, C3 and the second and fourth pairs are free.
TEST_P(LineDb, UpgradeFromVersion2KeepsEveryIdentityAndIssuesTheFreeValuesInImportOrder) {
  auto line = db_->open();
  ASSERT_TRUE(init_up_to(*line, 2, {"st0", "op0"}).ok());
  const std::string p = db_->postgres() ? "ftmline." : "", t = "'2026-12-01T09:00:00.000Z'";
  ASSERT_TRUE(
      db_->sql("INSERT INTO " + p + "mac_blocks (first_mac, count, imported_at) VALUES (2199023255552, 8, " +
               t + "); INSERT INTO " + p +
               "mac_pairs (lan4, block_id, state, hwid) VALUES "
               "(2199023255552, 1, 'assigned', 'HW-B'), (2199023255554, 1, 'free', NULL), "
               "(2199023255556, 1, 'void', 'HW-A'), (2199023255558, 1, 'free', NULL); INSERT INTO " +
               p + "serials (kind, value, state, hwid, imported_at) VALUES ('sn', 'S1', 'free', NULL, " + t +
               "), ('sn', 'S2', 'assigned', 'HW-B', " + t + "), ('sn', 'S3', 'void', 'HW-A', " + t +
               "), ('sn', 'S4', 'free', NULL, " + t + "), ('csn', 'C1', 'void', 'HW-A', " + t +
               "), ('csn', 'C2', 'assigned', 'HW-B', " + t + "), ('csn', 'C3', 'free', NULL, " + t +
               "); INSERT INTO " + p +
               "units (hwid, sn, csn, lan4, state, assigned_at, assigned_station, "
               "assigned_operator, void_reason) VALUES ('HW-A', 'S3', 'C1', 2199023255556, 'void', " +
               t + ", 'st0', 'op0', 'scrapped'), ('HW-B', 'S2', 'C2', 2199023255552, 'assigned', " + t +
               ", 'st0', 'op0', NULL); INSERT INTO " + p +
               "events (at, kind, hwid, station, operator, "
               "detail) VALUES (" +
               t + ", 'assign', 'HW-A', 'st0', 'op0', 'a'), (" + t +
               ", 'assign', 'HW-B', 'st0', 'op0', 'b'), (" + t + ", 'void', 'HW-A', 'st0', 'op0', 'v')")
          .ok());
  // Pools and units that disagree: refused, naming how, and nothing changed
  // (still version 2); put right, the same line upgrades.
  struct Disagreement {
    std::string spoil, mend, why;
  };
  const Disagreement disagreements[] = {
      {"serials SET state = 'assigned', hwid = 'HW-B' WHERE value = 'C3'",
       "serials SET state = 'free', hwid = NULL WHERE value = 'C3'", "csn C3 is assigned for HW-B"},
      {"mac_pairs SET state = 'assigned' WHERE lan4 = 2199023255556",
       "mac_pairs SET state = 'void' WHERE lan4 = 2199023255556",
       "the MAC pair from 02:00:00:00:00:04 is assigned for HW-A"},
      {"serials SET state = 'free', hwid = NULL WHERE value = 'S2'",
       "serials SET state = 'assigned', hwid = 'HW-B' WHERE value = 'S2'",
       "the sn pool has 1 values taken, but there are 2 units"},
  };
  for (const auto& d : disagreements) {
    ASSERT_TRUE(db_->sql("UPDATE " + p + d.spoil).ok()) << d.spoil;
    EXPECT_NE(run({"init"}).err.find(": cannot upgrade the line database to schema version 3: " + d.why),
              std::string::npos)
        << d.why;
    EXPECT_NE(run({"status"}).err.find("schema is version 2, this program needs version 3"),
              std::string::npos);
    ASSERT_TRUE(db_->sql("UPDATE " + p + d.mend).ok()) << d.mend;
  }
  EXPECT_NE(run({"init"}).out.find("schema version 3 (upgraded from version 2)"), std::string::npos);

  struct Step {
    std::vector<std::string> args;
    std::string out;  // what stdout or stderr holds
  };
  const Step steps[] = {
      {{"assign", "HW-B"}, "\"sn\":\"S2\",\"csn\":\"C2\",\"lan4_mac\":\"020000000000\""},
      {{"assign", "HW-A"}, "unit HW-A is void (scrapped)"},
      {{"assign", "HW-C"}, "\"sn\":\"S1\",\"csn\":\"C3\",\"lan4_mac\":\"020000000002\""},
      {{"assign", "HW-D"}, "the csn pool is empty"},
      {{"import-serials", "--kind", "csn", "--prefix", "C", "--digits", "1", "--from", "4", "--count", "1"},
       "C4"},
      {{"assign", "HW-D"}, "\"sn\":\"S4\",\"csn\":\"C4\",\"lan4_mac\":\"020000000006\",\"lan3_mac\":"},
      {{"assign", "HW-E"}, "the sn, csn and mac pools are empty"},
      {{"status"},
       "sn             4          3          1          0\ncsn            4          3          1          "
       "0\nmac            4          3          1          0"},
      {{"unit", "C1"}, "unit HW-A\n"},
      {{"unit", "02:00:00:00:00:03"}, "unit HW-C\n"},
  };
  for (const auto& step : steps) {
    Ran ran = run(step.args);
    EXPECT_NE((ran.out + ran.err).find(step.out), std::string::npos) << step.args[1] << ":\n"
                                                                     << ran.out << ran.err;
  }
  auto events = line->audit({});
  ASSERT_TRUE(events.ok());
  std::vector<std::string> log;
  for (std::size_t i = 0; i < events->size(); ++i) {
    const AuditEvent& e = (*events)[i];
    EXPECT_TRUE(i == 0 || e.id > (*events)[i - 1].id) << e.id;
    log.push_back(e.kind + " " + e.hwid + (e.kind == "assign" && e.hwid > "HW-B" ? ": " + e.detail : ""));
  }
  EXPECT_EQ(log, (std::vector<std::string>{
                     "assign HW-A", "assign HW-B", "void HW-A",
                     "assign HW-C: sn S1, csn C3, macs 02:00:00:00:00:02 02:00:00:00:00:03", "import ",
                     "assign HW-D: sn S4, csn C4, macs 02:00:00:00:00:06 02:00:00:00:00:07"}));
}

TEST_P(LineDb, OutboxKeepsRunsUntilTheDatabaseTakesThem) {
  ASSERT_EQ(run({"init"}).code, 0);
  std::string records = std::filesystem::temp_directory_path() / (db_->name() + "-records");
  Outbox outbox(Outbox::beside(records + "/"));
  EXPECT_EQ(outbox.dir(), records + ".outbox");
  // A server that is not there: runs wait, counted, none lost.
  auto away = open_line_db("host=/nonexistent-ftmline user=ftm dbname=x", std::chrono::milliseconds(0));
  Status kept;
  auto flushed = outbox.deliver(**away, run_of(".r1/a", "HW1", "passed", "2026-12-05T17:00:00Z"), &kept);
  EXPECT_TRUE(kept.ok()) << kept.message();
  EXPECT_EQ(flushed.waiting, 1u);
  EXPECT_EQ(flushed.last_error.kind, ErrorKind::kUnreachable);
  ASSERT_TRUE(outbox.put(run_of("r2", "HW1", "failed", "2026-12-05T18:00:00Z")).ok());
  EXPECT_FALSE(outbox.put(run_of("r3", "HW1", "maybe", "2026-12-05T18:00:00Z")).ok());
  std::ofstream(outbox.dir() + "/junk.json") << "{\"run_id\": 5}";
  EXPECT_EQ(outbox.waiting(), 3u);

  auto db = db_->open();
  ASSERT_TRUE(
      db->store_run(run_of("r2", "HW1", "failed", "2026-12-05T18:00:00Z")).ok());  // sent before a crash
  flushed = outbox.flush(*db);
  EXPECT_EQ(flushed.sent, 2u);
  EXPECT_EQ(flushed.waiting, 0u);
  ASSERT_EQ(flushed.problems.size(), 1u);
  EXPECT_NE(flushed.problems[0].find("junk.json: no text \"run_id\" (kept as junk.json.bad)"),
            std::string::npos);
  EXPECT_EQ(outbox.waiting(), 0u);
  EXPECT_TRUE(std::filesystem::exists(outbox.dir() + "/junk.json.bad"));
  EXPECT_EQ(db->route("HW1", "default")->attempts, 2);
  EXPECT_EQ(db->find_units("HW1")->size(), 0u);  // runs of a unit without identity are kept too
  std::filesystem::remove_all(outbox.dir());
}

TEST(LinePostgres, StationRoleMayAssignAndRecordButNotImportOrVoid) {
  TestDb db("postgres");
  ASSERT_EQ(ftmline(db.url(), {"init"}).code, 0);
  for (const char* role : {"st_role", "ad_role"})
    (void)pg_server().sql(std::string("CREATE ROLE ") + role + " LOGIN");
  ASSERT_TRUE(pg_server().sql("GRANT ftmline_station TO st_role; GRANT ftmline_admin TO ad_role").ok());
  std::string station = pg_server().conninfo(db.name(), "st_role");
  std::string admin = pg_server().conninfo(db.name(), "ad_role");
  struct Step {
    const std::string& url;
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const Step steps[] = {
      {station,
       {"import-macs", "--first", "02:00:00:00:00:00", "--count", "2"},
       1,
       "permission denied for function import_macs (this database role may not do that)\n"},
      {admin, {"import-macs", "--first", "02:00:00:00:00:00", "--count", "2"}, 0, ""},
      {station,
       {"import-serials", "--kind", "sn", "--prefix", "S", "--digits", "1", "--from", "1", "--count", "1"},
       1,
       "permission denied for function import_serials"},
      {admin,
       {"import-serials", "--kind", "sn", "--prefix", "S", "--digits", "1", "--from", "1", "--count", "1"},
       0,
       ""},
      {admin,
       {"import-serials", "--kind", "csn", "--prefix", "C", "--digits", "1", "--from", "1", "--count", "1"},
       0,
       ""},
      {station, {"assign", "HW1"}, 0, ""},
      {station, {"void", "HW1", "--reason", "x"}, 1, "permission denied for function void_unit"},
      {admin, {"void", "HW1", "--reason", "x"}, 0, ""},
  };
  for (const auto& step : steps) {
    Ran ran = ftmline(step.url, step.args);
    EXPECT_EQ(ran.code, step.code) << step.args[0] << ": " << ran.err;
    EXPECT_NE(ran.err.find(step.err), std::string::npos) << step.args[0] << ": " << ran.err;
  }
  // Not around the functions either.
  for (const char* sql :
       {"UPDATE ftmline.serials SET value = 'x'", "SELECT setval('ftmline.unit_n', 1)",
        "SELECT ftmline.first_free()", "SELECT ftmline.log_event('void', 'x', 'a', 'b', 'c')"})
    EXPECT_FALSE(pg_server().sql(std::string("SET ROLE st_role; ") + sql, db.name()).ok()) << sql;
  auto events = db.open()->audit({});
  ASSERT_TRUE(events.ok());
  EXPECT_EQ(events->at(3).db_role, "st_role");
  EXPECT_EQ(events->at(4).db_role, "ad_role");
}

TEST(LinePostgres, PasswordsAreNeverShown) {
  ::setenv("FTMLINE_RETRY_SECONDS", "0", 1);
  for (const std::string url : {"postgresql://line:s3cret@/x?host=/nonexistent-ftmline",
                                "host=/nonexistent-ftmline password='s3cret' user=line"}) {
    Ran ran = ftmline(url, {"status"});
    EXPECT_EQ(ran.code, 1);
    EXPECT_EQ(ran.err.find("s3cret"), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("user='line'"), std::string::npos) << ran.err;
  }
  ::unsetenv("FTMLINE_RETRY_SECONDS");
}

}  // namespace
}  // namespace ftmd::line::test
