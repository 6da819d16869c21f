// ftmstation, the production line's test station, against the real daemon
// on the virtual board. The station runs as the test PC does: in the PC's
// network (for the activation downloads) on the board's USB cable. Its
// operator hook hands each action to the test, which does it on the board
// (presses the key, plugs the trigger plug, inserts the USB stick) as the
// operator would.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "station_rig.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

class StationOnBoard : public StationBoardTest {
 protected:
  std::string write_plan(const std::string& text) {
    std::ofstream(dir_ + "/plan.yaml") << text;
    return dir_ + "/plan.yaml";
  }
};

TEST_F(StationOnBoard, DefaultPlanPassesAndWritesRecords) {
  std::ofstream(dir_ + "/units.csv")
      << "sn,csn,lan4_mac,lan3_mac\nSN0001,C-77,00:1B:2C:3D:4E:5F,001B2C3D4E60\n";
  auto run = start_station({"--units", dir_ + "/units.csv"});
  auto actions = operate(run);
  auto result = run.get();
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(actions,
            (std::vector<std::string>{"led-red", "led-green", "led-blue", "led-white", "led-off", "reset-key",
                                      "trigger-plug", "usb-stick-in", "usb-stick-out"}));
  EXPECT_NE(result.output.find("PASS SN0001  31/31 steps passed"), std::string::npos) << result.output;

  // The unit was provisioned as the records say.
  EXPECT_EQ(board().uboot_env().get("msn"), "SN0001");
  EXPECT_EQ(board().uboot_env().get("csn"), "C-77");
  EXPECT_EQ(board().uboot_env().get("ethaddr"), "00:1B:2C:3D:4E:5F");
  EXPECT_EQ(board().reboots_done(), 1);

  auto json_files = records(".json");
  ASSERT_EQ(json_files.size(), 1u);
  Json r = Json::parse(slurp(json_files[0]));
  EXPECT_EQ(r["verdict"], "passed");
  ASSERT_EQ(r["steps"].size(), 31u);
  Json by_name;
  for (const auto& step : r["steps"]) by_name[step["name"].get<std::string>()] = step;
  auto find_step = [&](const std::string& name) { return by_name[name]; };
  auto mac = find_step("read back MAC addresses");
  EXPECT_EQ(mac["attempts"].back()["exchanges"][0]["request"], "at+ftm,ethmac=?");
  EXPECT_EQ(mac["attempts"].back()["exchanges"][0]["reply"], "OK,ethmac=001B2C3D4E5F,001B2C3D4E60\n");
  auto lic = find_step("activation device licence")["attempts"].back();
  EXPECT_EQ(lic["handover"]["md5"], lic["handover"]["device_md5"]);
  EXPECT_EQ(lic["handover"]["url"], "http://192.0.2.1/device.lic");
  EXPECT_EQ(find_step("Autotest report")["attempts"][0]["exchanges"][0]["reply"],
            "-----feedback:-----\n[1],ftmver=V1.0\n[2],1.2.3\n[3],SN0001\n[4],C-77\n[5],001B2C3D4E5F\n");

  ASSERT_EQ(records(".xml").size(), 1u);
  const std::string xml = slurp(records(".xml")[0]);
  EXPECT_NE(xml.find("<testsuite name=\"SN0001\" id=\"1\" package=\"default\" hostname=\"e2e\""),
            std::string::npos);
  EXPECT_NE(xml.find("tests=\"31\" failures=\"0\""), std::string::npos) << xml;
}

// A station started while the device still answers a key test that an
// earlier program gave up on skips that late reply and gets its own.
TEST_F(StationOnBoard, SkipsTheLateReplyToAnEarlierProgramsRequest) {
  const std::size_t mark = syslog().mark();
  EXPECT_EQ(board().run_on_pc({FTMCTL_BINARY, "--port", port_, "--timeout", "1", "at+ftm,keytest=1"}).status,
            2);
  ASSERT_TRUE(syslog().wait_for("device opened OK", 5s, mark)) << "the key test did not start";
  auto run =
      start_station({"--plan", write_plan("name: late\nsteps:\n  - name: version\n    send: at+ftm,ftmver=?\n"
                                          "    expect: \"OK,ftmver=V1.0\\n\"\n    timeout: 30\n")});
  const auto result = run.get();
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_NE(
      result.output.find("ftmstation: at+ftm,ftmver=?: skipped a late reply to an earlier request: \"\"\n"),
      std::string::npos)
      << result.output;
}

TEST_F(StationOnBoard, WrongExpectedReplyFailsAtThatStepAndOnFailDecides) {
  const std::string plan = write_plan(R"(name: wrong-reply
steps:
  - {name: version, send: "at+ftm,ftmver=?", expect: "OK,ftmver=V1.0\n"}
  - {name: software version, send: "at+ftm,swver=?", expect: "OK,swver=9.9.9\n", on_fail: continue}
  - {name: hardware id, send: "at+ftm,hwid=?", match: "OK,0x[0-9a-f]+\n"}
  - {name: serial number read-back, send: "at+ftm,sn=?", expect: "OK,{sn}\n"}
  - {name: after the stop, send: "at+ftm,ftmver=?", expect: "OK,ftmver=V1.0\n"}
)");
  auto run = start_station({"--plan", plan, "--sn", "SN0002"});
  operate(run);
  auto result = run.get();
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_NE(result.output.find(
                "FAILED software version: expected \"OK,swver=9.9.9\\n\", got \"OK,swver=1.2.3\\n\""),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("FAIL SN0002  2/5 steps passed, 2 failed, 1 skipped"), std::string::npos)
      << result.output;

  Json r = Json::parse(slurp(records(".json").at(0)));
  EXPECT_EQ(r["message"],
            "step \"software version\": expected \"OK,swver=9.9.9\\n\", got \"OK,swver=1.2.3\\n\"");
  std::vector<std::string> verdicts;
  for (const auto& step : r["steps"]) verdicts.push_back(step["verdict"]);
  EXPECT_EQ(verdicts, (std::vector<std::string>{"passed", "failed", "passed", "failed", "skipped"}));
  EXPECT_EQ(r["steps"][3]["attempts"][0]["exchanges"][0]["reply"], "ERROR,null\n");
  EXPECT_TRUE(r["steps"][4]["attempts"].empty());

  // Run again at once (usually within the same second): the first run's
  // records stay.
  auto again = start_station({"--plan", plan, "--sn", "SN0002"});
  operate(again);
  EXPECT_EQ(again.get().status, 1);
  EXPECT_EQ(records(".json").size(), 2u);
  EXPECT_EQ(records(".xml").size(), 2u);
}

TEST_F(StationOnBoard, PortLostDuringAStepStopsTheUnitWithExitStatus2) {
  const std::string plan = write_plan(R"(name: cable-pulled
steps:
  - {name: version, send: "at+ftm,ftmver=?", expect: "OK,ftmver=V1.0\n"}
  - {name: reset key, send: "at+ftm,keytest=1", expect: "OK\n", timeout: 20, retries: 3, on_fail: continue}
  - {name: after, send: "at+ftm,ftmver=?", expect: "OK,ftmver=V1.0\n"}
)");
  std::size_t mark = syslog().mark();
  auto run = start_station({"--plan", plan});
  // The cable comes out while the device waits for the key.
  ASSERT_TRUE(syslog().wait_for("device opened OK", 30s, mark));
  board().usb_host().detach_cable();
  auto result = run.get();
  EXPECT_EQ(result.status, 2) << result.output;
  Json r = Json::parse(slurp(records(".json").at(0)));
  EXPECT_EQ(r["transport_failed"], true);
  EXPECT_EQ(r["steps"][1]["verdict"], "failed");
  EXPECT_EQ(r["steps"][1]["attempts"].size(), 1u);  // no retry on a dead port
  EXPECT_TRUE(r["steps"][1]["message"].get<std::string>().starts_with("port failed: "))
      << r["steps"][1].dump();
  EXPECT_EQ(r["steps"][2]["verdict"], "skipped");
  EXPECT_EQ(r["steps"][2]["message"], "not run: the port failed at step \"reset key\"");
}

TEST_F(StationOnBoard, BadUnitsAreRefusedBeforeAnythingIsWritten) {
  std::ofstream(dir_ + "/units.csv") << "sn,csn,lan4_mac,lan3_mac\n"
                                        "SN0003,C-3,001B2C3D4E5F,001B2C3D4E60\n"
                                        "SN0004,C-4,011B2C3D4E61,001B2C3D4E62\n";
  auto run = start_station({"--units", dir_ + "/units.csv"});
  auto result = run.get();
  EXPECT_EQ(result.status, 64);
  EXPECT_EQ(result.output,
            "ftmstation: " + dir_ +
                "/units.csv:3: lan4_mac \"011B2C3D4E61\": a multicast address (odd first octet), not a "
                "unit's address\nftmstation: nothing was written to any unit\n");
  EXPECT_EQ(board().uboot_env().get("msn"), std::nullopt);
  EXPECT_TRUE(records(".json").empty());
}

}  // namespace
}  // namespace ftmd::test
