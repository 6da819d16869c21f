// What the station keeps whatever happens around it, against the real
// daemon on the virtual board: its port against a second station, also
// while its unit reboots; a unit's record when the records' file system is
// full; every running unit's record when the operator presses Ctrl-C twice.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "line/line_test_db.h"
#include "station_rig.h"
#include "vboard/launcher.h"
#include "wait_until.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

class StationRecords : public StationBoardTest {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
    return dir_ + "/" + name;
  }
  vboard::RunResult second_station() {
    return board().run_on_pc({FTMSTATION_BINARY, "--port", port_, "--sn", "S2", "--plan", dir_ + "/plan.yaml",
                              "--records", dir_ + "/records-b", "--station", "e2e-b"});
  }
};

constexpr char kKeyAndReboot[] = R"(name: key and reboot
steps:
  - {name: key, send: "at+ftm,keytest=1", expect: "OK\n", timeout: 20}
  - {name: reboot, send: "at+ftm,reboot=1", expect: "OK, tamo is rebooting...", reconnect: true,
     reconnect_within: 30}
  - {name: after, send: "at+ftm,ftmver=?", expect: "OK,ftmver=V1.0\n"}
)";

TEST_F(StationRecords, ASecondStationIsRefusedOnAHeldPortAlsoDuringAReboot) {
  write("plan.yaml", kKeyAndReboot);
  std::size_t mark = syslog().mark();
  auto first = start_station({"--plan", dir_ + "/plan.yaml", "--sn", "S1"});
  ASSERT_TRUE(syslog().wait_for("device opened OK", 30s, mark));
  const std::string held = "slot 1: " + port_ + " is in use by station \"e2e\", slot 1 (pid ";
  auto refused = second_station();
  EXPECT_EQ(refused.status, 2) << refused.output;
  EXPECT_NE(refused.output.find(held), std::string::npos) << refused.output;
  board().keypad().press_reset_key();
  // The unit reboots: its port is gone, and still the station's.
  ASSERT_TRUE(board().standins().wait_reboot(1, 20s));
  ASSERT_TRUE(wait_until([&] { return !fs::exists(port_); }, 10s));
  refused = second_station();
  EXPECT_EQ(refused.status, 2) << refused.output;
  EXPECT_NE(refused.output.find(held), std::string::npos) << refused.output;
  auto result = first.get();
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_FALSE(fs::exists(dir_ + "/records-b/.ftmstation-probe"));
  EXPECT_EQ(board().uboot_env().get("msn"), std::nullopt);
}

// The records directory on a small file system of its own that fills up
// during the first unit (the hook fills it): the unit's record is not lost,
// the station takes no further unit and claims no report it did not write.
TEST_F(StationRecords, AFullRecordsFileSystemLosesNoRecord) {
  write("plan.yaml",
        "name: full\nsteps:\n  - {name: version, send: \"at+ftm,ftmver=?\", expect: \"OK,ftmver=V1.0\\n\"}\n"
        "  - {name: fill, prompt: " +
            dir_ +
            "/records/filler, action: fill, send: \"at+ftm,ftmver=?\","
            " expect: \"OK,ftmver=V1.0\\n\"}\n");
  write("units.csv", "sn\nS1\nS2\n");
  const std::string filler =
      write("filler", "#!/bin/sh\n[ \"$1\" = fill ] && cat /dev/zero > \"$2\"\nexit 0\n");
  ::chmod(filler.c_str(), 0755);
  fs::create_directories(dir_ + "/tmp");
  vboard::Launch station;
  station.argv = {FTMSTATION_BINARY,
                  "--port",
                  port_,
                  "--units",
                  dir_ + "/units.csv",
                  "--plan",
                  dir_ + "/plan.yaml",
                  "--records",
                  dir_ + "/records",
                  "--operator-hook",
                  filler,
                  "--yes"};
  station.netns = board().pc_netns_fd();
  station.env = {"TMPDIR=" + dir_ + "/tmp"};
  station.prepare = [records = dir_ + "/records"] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", records.c_str(), "tmpfs", 0, "size=160k") != 0)
      return Status::from_errno("a small file system for the records");
    return Status();
  };
  const auto ran = vboard::run_collecting(station, 120s);
  EXPECT_EQ(ran.status, 1) << ran.output;
  for (const std::string& said :
       {std::string("  STOP: the record of S1 cannot be written: "), std::string("No space left on device"),
        std::string("1 record could not be written to " + dir_ + "/records\n"),
        std::string("1 of 2 units passed; JUnit report not written (")})
    EXPECT_NE(ran.output.find(said), std::string::npos) << said << "\n" << ran.output;
  EXPECT_EQ(ran.output.find("unit 2/2"), std::string::npos) << "a second unit was taken";
  std::vector<fs::path> rescued;
  for (const auto& entry : fs::recursive_directory_iterator(dir_ + "/tmp"))
    if (entry.path().extension() == ".json") rescued.push_back(entry.path());
  ASSERT_EQ(rescued.size(), 1u) << ran.output;
  EXPECT_NE(ran.output.find("is in " + rescued[0].string()), std::string::npos) << ran.output;
  Json r = Json::parse(slurp(rescued[0]));
  EXPECT_EQ(r["verdict"], "passed");
  EXPECT_EQ(r["unit"]["sn"], "S1");
}

// Ctrl-C twice during a key test that waits 15 s for its key: the station
// does not wait for it, and the unit's record (aborted, the request in
// flight in it) is on disk and its run in the line's outbox before it exits.
TEST_F(StationRecords, ADoubleCtrlCWritesTheRunningUnitsRecordAborted) {
  write("plan.yaml",
        "name: key\nsteps:\n  - {name: sn, send: \"at+ftm,sn={sn}\", expect: \"OK\\n\"}\n"
        "  - {name: key, send: \"at+ftm,keytest=1\", expect: \"OK\\n\", timeout: 20}\n"
        "  - {name: after, send: \"at+ftm,ftmver=?\", expect: \"OK,ftmver=V1.0\\n\"}\n");
  line::test::TestDb db("sqlite");
  ASSERT_EQ(seed_line(db.url(), 1), "");
  const std::string output = dir_ + "/output";
  UniqueFd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  vboard::Launch station;
  station.argv = {FTMSTATION_BINARY,
                  "--port",
                  port_,
                  "--db",
                  db.url(),
                  "--count",
                  "1",
                  "--plan",
                  dir_ + "/plan.yaml",
                  "--records",
                  dir_ + "/records",
                  "--station",
                  "e2e",
                  "--operator",
                  "ann"};
  station.out = station.err = out.get();
  station.netns = board().pc_netns_fd();
  const std::size_t mark = syslog().mark();
  const pid_t pid = vboard::launch(station);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(syslog().wait_for("device opened OK", 30s, mark)) << slurp(output);
  const auto start = std::chrono::steady_clock::now();
  ::kill(pid, SIGINT);
  ASSERT_TRUE(
      wait_until([&] { return slurp(output).find("ftmstation: stopping:") != std::string::npos; }, 5s));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(vboard::wait_exit(pid), 1) << slurp(output);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "the station waited for the key test";
  const std::string text = slurp(output);
  EXPECT_NE(text.find("ABORTED SN0001  1/3 steps passed, 1 aborted, 1 skipped"), std::string::npos) << text;
  EXPECT_NE(text.find("waits in the outbox, sent at the next start"), std::string::npos) << text;
  auto json = records(".json");
  ASSERT_EQ(json.size(), 1u) << text;
  Json r = Json::parse(slurp(json[0]));
  EXPECT_EQ(r["verdict"], "aborted");
  EXPECT_EQ(r["steps"][1]["verdict"], "aborted");
  EXPECT_EQ(r["steps"][1]["attempts"][0]["exchanges"][0]["request"], "at+ftm,keytest=1");
  EXPECT_EQ(r["steps"][2]["verdict"], "skipped");
  EXPECT_NE(slurp(records(".xml").at(0)).find("<property name=\"verdict\" value=\"aborted\"/>"),
            std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "/records.outbox"), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace ftmd::test
