// ftmctl, the test PC's client, against the real daemon on the virtual board.
// The board's USB cable (a relay pty) gives ftmctl a serial port path to open,
// as the station's adapter does, and ftmctl runs in the PC's network.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "board_fixture.h"
#include "pc/handover.h"

namespace ftmd::test {
namespace {

class FtmctlOnBoard : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    port_ = board().usb_host().attach_cable(board().state_dir() + "/ttyPC0");
  }

  // ftmctl with `args` after --port, `input` on stdin; its stderr comes
  // before its stdout in `output` wherever it wrote first.
  vboard::Board::ExecResult ftmctl(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {FTMCTL_BINARY, "--port", port_});
    return board().run_on_pc(args, 60s, input);
  }

  std::string port_;
};

TEST_F(FtmctlOnBoard, PrintsEachReplyEscapedAndExitsOnItsFirstWord) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string output;
  };
  const std::string dsp = "ERROR,Command not supported in tolvek\\n\n";
  const Case cases[] = {
      {{"at+ftm,dsp"}, "", 1, dsp},
      {{"at+ftm,dsp", "at+ftm,nonsense", "AT+FTM,DSP=1,2"}, "", 1, dsp + "ERROR,Invalid Cmd\\n\n" + dsp},
      // Without commands they come from stdin, one per line.
      {{}, "at+ftm,tamosound\n\nat+ftm,dsp\r\n", 1, "ERROR,Invalid Cmd\\n\n" + dsp},
      {{"at+ftm,ftmver=?"}, "", 0, "OK,ftmver=V1.0\\n\n"},
  };
  for (const auto& c : cases) {
    auto run = ftmctl(c.args, c.input);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_EQ(run.output, c.output);
  }
}

TEST_F(FtmctlOnBoard, JsonCarriesTheWholeFrame) {
  auto run = ftmctl({"--json", "at+ftm,dsp"});
  EXPECT_EQ(run.status, 1) << run.output;
  const auto json = nlohmann::json::parse(run.output);
  const std::string text = "ERROR,Command not supported in tolvek\n";
  EXPECT_EQ(json["command"], "at+ftm,dsp");
  EXPECT_EQ(json["reply"], text);
  EXPECT_EQ(json["ok"], false);
  EXPECT_EQ(json["outcome"], "reply");
  // The frame: the request's 7 header bytes, length 0x26 0x00, the text and
  // a checksum that brings the sum of all bytes to 0.
  const std::string raw = json["raw"];
  std::string bytes;
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2)
    bytes += static_cast<char>(std::stoi(raw.substr(i, 2), nullptr, 16));
  ASSERT_EQ(bytes.size(), 7 + 2 + text.size() + 1) << raw;
  EXPECT_EQ(bytes.substr(7, bytes.size() - 8), (std::string{'\x26', '\x00'} + text));
  unsigned sum = 0;
  for (unsigned char b : bytes) sum += b;
  EXPECT_EQ(sum % 256, 0u);
}

// The key test waits 15 s for the key, longer than the first run waits for
// its reply: the next run skips that late reply and gets its own.
TEST_F(FtmctlOnBoard, NextRunSkipsTheLateReplyOfATimedOutRequest) {
  const std::size_t mark = syslog().mark();
  auto first = ftmctl({"--timeout", "1", "at+ftm,keytest=1"});
  EXPECT_EQ(first.status, 2) << first.output;
  ASSERT_TRUE(syslog().wait_for("device opened OK", 5s, mark)) << "the key test did not start";
  auto second = ftmctl({"at+ftm,ftmver=?"});
  EXPECT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(second.output,
            "ftmctl: at+ftm,ftmver=?: skipped a late reply to an earlier request: \"\"\nOK,ftmver=V1.0\\n\n");
}

TEST_F(FtmctlOnBoard, OkReplyExitsZeroAndTheRebootFollows) {
  auto run = ftmctl({"AT+FTM,REBOOT=1"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "OK, tamo is rebooting...\n");
  EXPECT_TRUE(syslog().wait_exact("string is reboot\n", kLogInfo, 10s));
  EXPECT_TRUE(board().standins().wait_reboot(1, 10s));
}

// The whole handover from the PC's side: ftmctl downloads from the board's
// web server at lan4's address and checks the device's digest against the
// bytes it got.
TEST_F(FtmctlOnBoard, HandoverDownloadsAndMatchesTheDevicesDigest) {
  const std::string licence = std::string("licence") + '\0' + "\x01\xff\r\n" + std::string(3000, 'L');
  const std::string cert = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  board().write_file("/data/dante_data/activation/device.lic", licence);
  board().write_file("/data/dante_data/activation/manufacturer.cert", cert);
  const std::string hw = "0x1122334455667788";

  auto run = ftmctl({"handover", "devlic"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("at+ftm,dantedevlic=?: OK,http://192.0.2.1/device.lic\\n\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("handover device.lic: OK, 3012 bytes, md5 " + pc::md5_hex(licence) +
                            ", hardware id " + hw + "\n"),
            std::string::npos)
      << run.output;
  EXPECT_FALSE(board().read_file("/var/www/html/device.lic")) << "the published copy stays after confirm";

  run = ftmctl({"--json", "handover", "cert"});
  EXPECT_EQ(run.status, 0) << run.output;
  const std::string md5 = pc::md5_hex(cert);
  EXPECT_NE(run.output.find("\"bytes\":" + std::to_string(cert.size()) + ",\"md5\":\"" + md5 +
                            "\",\"device_md5\":\"" + md5 + "\",\"hardware_id\":\"" + hw + "\",\"ok\":true"),
            std::string::npos)
      << run.output;
}

}  // namespace
}  // namespace ftmd::test
