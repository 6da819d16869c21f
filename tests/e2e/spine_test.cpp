#include <gtest/gtest.h>

#include "board_fixture.h"

namespace ftmd::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kServing[] = "try to read for 2048 bytes...\n";

// A frame written out by hand: the seven header bytes and the two length
// bytes, the text, the checksum byte.
Bytes frame(Bytes head, const std::string& text, std::uint8_t checksum) {
  head.insert(head.end(), text.begin(), text.end());
  head.push_back(checksum);
  return head;
}

const Bytes kH{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
Bytes with_h(std::initializer_list<std::uint8_t> length) {
  Bytes b = kH;
  b.insert(b.end(), length);
  return b;
}
const Bytes kInvalidToH = frame(with_h({0x12, 0x00}), "ERROR,Invalid Cmd\n", 0x73);
const Bytes kDspToH = frame(with_h({0x26, 0x00}), "ERROR,Command not supported in tolvek\n", 0x78);
const Bytes kDsp = frame({0, 0, 0, 0, 0, 0, 0, 0x26, 0x00}, "ERROR,Command not supported in tolvek\n", 0x38);

Bytes reply_bytes(const std::optional<vboard::ReplyFrame>& reply) { return reply ? reply->raw : Bytes{}; }

class Spine : public BoardTest {
 protected:
  Bytes ask_raw(const Bytes& request) {
    client().send_raw(request);
    return reply_bytes(client().read_frame());
  }
};

TEST_F(Spine, AnswersEachRequestWithExactlyOneFrame) {
  auto request = [](const std::string& text, std::uint16_t length) {
    Bytes b = with_h({static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)});
    b.insert(b.end(), text.begin(), text.end());
    return b;
  };
  const struct {
    const char* what;
    Bytes request;
    Bytes reply;
  } cases[] = {
      {"unknown", request("at+ftm,nonsense", 15), kInvalidToH},
      {"empty", with_h({0, 0}), kInvalidToH},
      {"short read",
       {0xAB, 0xCD, 0xEF},
       frame({0xAB, 0xCD, 0xEF, 0, 0, 0, 0, 0x12, 0x00}, "ERROR,Invalid Cmd\n", 0xCC)},
      {"any letter case, anything after the prefix", request("AT+FTM,DSP=1,2", 14), kDspToH},
      {"reboot with another last character", request("at+ftm,reboot=0", 15), kInvalidToH},
      {"a row without a test", request("at+ftm,tamosound", 16), kInvalidToH},
      {"a NUL in the body", request(std::string("at+ftm,dsp\0zz", 13), 13), kDspToH},
      {"length field past the bytes that arrived", request("at+ftm,dsp", 0xFFFF), kDspToH},
  };
  for (const auto& c : cases) EXPECT_EQ(ask_raw(c.request), c.reply) << c.what;
  EXPECT_TRUE(client().read_available(200ms).empty()) << "a request got more than one reply";
}

TEST_F(Spine, TracesEveryFrameAtInfoLevel) {
  std::size_t mark = syslog().mark();
  ask("at+ftm,dsp");
  ASSERT_TRUE(syslog().wait_for("line 344: result-->ERROR,Command not supported in tolvek", 5s, mark));
  EXPECT_TRUE(syslog().wait_exact("handle data is at+ftm,dsp\n", kLogInfo, 1s, mark));
  EXPECT_TRUE(syslog().wait_exact("ret value --> 19", kLogDebug, 1s, mark));
  for (const auto& line : syslog().lines()) EXPECT_EQ(line.ident, "ftmd");
}

TEST_F(Spine, RebootRepliesFirstThenRebootsASecondLater) {
  std::size_t mark = syslog().mark();
  auto reply = ask("AT+FTM,REBOOT=1");
  auto replied = Clock::now();
  EXPECT_EQ(reply_bytes(reply), frame({0, 0, 0, 0, 0, 0, 0, 0x18, 0x00}, "OK, tamo is rebooting...", 0xE2));
  EXPECT_EQ(board().standins().reboot_count(), 0) << "reboot ran before the pause";
  ASSERT_TRUE(board().standins().wait_reboot(1, 5s));
  auto gap = Clock::now() - replied;
  EXPECT_GE(gap, 900ms);
  EXPECT_LT(gap, 3s);
  EXPECT_TRUE(syslog().wait_exact("string is reboot\n", kLogInfo, 1s, mark));
  // The loop goes on reading while the system would shut down.
  EXPECT_TRUE(wait_back_in_read(mark));
  EXPECT_EQ(board().standins().reboot_count(), 1);
}

TEST_F(Spine, PortGoneForGoodEndsWith255) {
  std::size_t mark = syslog().mark();
  ask("at+ftm,dsp");
  ASSERT_TRUE(wait_back_in_read(mark));
  board().usb_host().unplug();
  board().usb_host().remove_port();
  EXPECT_EQ(board().wait_daemon_exit(10s), 255);
  EXPECT_TRUE(syslog().wait_exact("file /dev/ttyGS0 open failed!\n", kLogInfo, 1s, mark));
}

// A port that is not there ends the daemon once start-up has run (LEDs on,
// status file seeded): the USB link with 255, the rpmsg tty with 1 before the
// USB link is tried. Each case boots its own board.
TEST(SpineStartUp, MissingPortsEndTheDaemon) {
  const struct {
    const char* what;
    bool vboard::BoardOptions::*port;
    int status;
    std::vector<std::pair<int, std::string>> logs;
  } cases[] = {
      {"no /dev/ttyGS0",
       &vboard::BoardOptions::host_port,
       255,
       {{kLogInfo, "file /dev/ttyGS0 open failed!\n"}}},
      {"no /dev/ttyRPMSG30",
       &vboard::BoardOptions::rpmsg_port,
       1,
       {{kLogError, "/dev/ttyRPMSG30 open error"}, {kLogError, "Please insert the imx_rpmsg_tty module\n"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vboard::BoardOptions options = default_board_options();
    options.*c.port = false;
    vboard::Board board(options);
    EXPECT_EQ(board.wait_daemon_exit(10s), c.status);
    for (const auto& [level, text] : c.logs) EXPECT_TRUE(board.syslog().wait_exact(text, level, 1s)) << text;
    EXPECT_EQ(board.syslog().count(kServing), 0u);
    EXPECT_EQ(board.leds().brightness("blue"), 1);
    EXPECT_EQ(board.read_file("/tmp/usbdetect.txt"), "ERROR,Insert or Pull out Usb first\n");
  }
}

// Start-up switches each LED on with one write of "1" and a NUL; a missing LED
// is skipped without a word, one that cannot be written is logged at error
// level, and start-up goes on either way.
class SpineLedFaults : public BoardTest {
  void configure(vboard::BoardOptions& o) override { o.start_daemon = false; }
};

TEST_F(SpineLedFaults, StartUpGoesOnPastBrokenLeds) {
  board().leds().remove("green");
  board().hw().set_fault(vboard::Leds::brightness_path("blue"), vboard::HwTree::Fault::kWriteFails);
  start_daemon();
  auto red = board().hw().writes_to(vboard::Leds::brightness_path("red"));
  ASSERT_EQ(red.size(), 1u);
  EXPECT_EQ(red[0].bytes, std::string("1\0", 2));  // the LED driver takes the NUL as part of the value
  EXPECT_EQ(board().hw().writes_to(vboard::Leds::brightness_path("green")).size(), 0u);
  auto blue = board().hw().writes_to(vboard::Leds::brightness_path("blue"));
  ASSERT_EQ(blue.size(), 1u);
  EXPECT_EQ(blue[0].error, EIO);
  EXPECT_TRUE(syslog().wait_exact("write 1 value to blue/brightness error", kLogError, 1s));
  EXPECT_EQ(syslog().count("green"), 0u);
  EXPECT_EQ(ask_text("at+ftm,dsp"), "ERROR,Command not supported in tolvek\n");
}

}  // namespace
}  // namespace ftmd::test
