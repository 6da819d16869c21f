#include <gtest/gtest.h>

#include "board_fixture.h"

namespace ftmd::test {
namespace {

using vboard::HostClient;
using Clock = std::chrono::steady_clock;

constexpr char kServing[] = "try to read for 2048 bytes...\n";

Bytes reply_bytes(const std::optional<vboard::ReplyFrame>& frame) { return frame ? frame->raw : Bytes{}; }

class Spine : public BoardTest {
 protected:
  Bytes ask_raw(const Bytes& request) {
    client().send_raw(request);
    return reply_bytes(client().read_frame());
  }
};

TEST_F(Spine, AnswersEachRequestWithExactlyOneFrame) {
  struct Case {
    Bytes request;
    Bytes reply;
  };
  const Bytes h{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
  auto req = [&](const std::string& text) { return HostClient::encode_request(text, h); };
  auto rep = [&](const std::string& text) { return HostClient::expected_reply(text, h); };
  const Case cases[] = {
      // Unknown, empty and short requests.
      {req("at+ftm,nonsense"), rep("ERROR,Invalid Cmd\n")},
      {req(""), rep("ERROR,Invalid Cmd\n")},
      {Bytes{0xAB, 0xCD, 0xEF}, HostClient::expected_reply("ERROR,Invalid Cmd\n", Bytes{0xAB, 0xCD, 0xEF})},
      // Fixed replies, any letter case, anything after the prefix.
      {req("AT+FTM,DSP=1,2"), rep("ERROR,Command not supported in tolvek\n")},
      {req("at+ftm,reboot=0"), rep("ERROR,Invalid Cmd\n")},
      {req("at+ftm,tamosound"), rep("ERROR,Invalid Cmd\n")},
      // A NUL in the body and a length field past the bytes that arrived.
      {req(std::string("at+ftm,dsp\0zz", 13)), rep("ERROR,Command not supported in tolvek\n")},
      {[&] {
         Bytes r = req("at+ftm,dsp");
         r[7] = 0xff;
         r[8] = 0xff;
         return r;
       }(),
       rep("ERROR,Command not supported in tolvek\n")},
  };
  for (const auto& c : cases) EXPECT_EQ(ask_raw(c.request), c.reply);
  EXPECT_TRUE(client().read_available(200ms).empty()) << "a request got more than one reply";
}

TEST_F(Spine, ReplyFrameEchoesAZeroHeaderAndSumsToZero) {
  auto reply = ask("at+ftm,nonsense");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->header, Bytes(7, 0));
  EXPECT_TRUE(reply->checksum_ok);
  EXPECT_EQ(reply->raw, HostClient::expected_reply("ERROR,Invalid Cmd\n"));
}

TEST_F(Spine, StartUpSwitchesLedsOnAndSeedsTheUsbStatus) {
  const char* leds[] = {"red", "green", "blue"};
  auto writes = board().hw().writes();
  std::vector<std::string> led_writes;
  for (const auto& w : writes)
    if (w.path.starts_with("/sys/class/leds/"))
      led_writes.push_back(w.path + "=" + HostClient::escaped(w.bytes));
  EXPECT_EQ(led_writes, (std::vector<std::string>{"/sys/class/leds/red/brightness=1\\x00",
                                                  "/sys/class/leds/green/brightness=1\\x00",
                                                  "/sys/class/leds/blue/brightness=1\\x00"}));
  for (const char* led : leds) EXPECT_EQ(board().leds().brightness(led), 1) << led;
  EXPECT_EQ(board().read_file("/tmp/usbdetect.txt"), "ERROR,Insert or Pull out Usb first\n");
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
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->raw, HostClient::expected_reply("OK, tamo is rebooting..."));
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

// The host goes away and comes back: the daemon's read returns 0 (hang-up)
// or fails (the PC's end closed); either way it reopens the port after about
// a second and serves again.
TEST_F(Spine, ServesAgainAfterTheHostGoesAway) {
  struct Case {
    const char* name;
    void (*disconnect)(vboard::UsbHost&);
  };
  const Case cases[] = {
      {"hang-up, read returns 0", [](vboard::UsbHost& h) { h.hang_up(); }},
      {"PC end closed, read fails with EIO",
       [](vboard::UsbHost& h) {
         h.unplug();
         h.connect();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Served once, and back in its read (nothing is logged after that line
    // until the host goes away).
    std::size_t mark = syslog().mark();
    EXPECT_EQ(reply_bytes(ask("at+ftm,dsp")),
              HostClient::expected_reply("ERROR,Command not supported in tolvek\n"));
    ASSERT_TRUE(wait_back_in_read(mark));
    mark = syslog().mark();
    auto gone = Clock::now();
    c.disconnect(board().usb_host());
    ASSERT_TRUE(wait_serving(mark, 10s));
    EXPECT_GE(Clock::now() - gone, 900ms) << "reopened without the pause";
    // Reopened, the port is raw again: the reply is not echoed or mangled.
    EXPECT_EQ(reply_bytes(ask("at+ftm,dsp")),
              HostClient::expected_reply("ERROR,Command not supported in tolvek\n"));
    EXPECT_TRUE(board().daemon_running());
  }
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

class SpineWithoutHostPort : public BoardTest {
  void configure(vboard::BoardOptions& o) override {
    o.host_port = false;
    expect_serving_ = false;
  }
};

TEST_F(SpineWithoutHostPort, ExitsWith255AfterStartUp) {
  EXPECT_EQ(board().wait_daemon_exit(10s), 255);
  EXPECT_TRUE(syslog().wait_exact("file /dev/ttyGS0 open failed!\n", kLogInfo, 1s));
  EXPECT_EQ(syslog().count(kServing), 0u);
  // Start-up ran before the port was tried.
  EXPECT_EQ(board().leds().brightness("blue"), 1);
  EXPECT_EQ(board().read_file("/tmp/usbdetect.txt"), "ERROR,Insert or Pull out Usb first\n");
}

// A missing LED is skipped without a word; one that cannot be written is
// logged at error level; start-up goes on either way.
class SpineLedFaults : public BoardTest {
  void configure(vboard::BoardOptions& o) override { o.start_daemon = false; }
};

TEST_F(SpineLedFaults, StartUpGoesOnPastBrokenLeds) {
  board().leds().remove("green");
  board().hw().set_fault(vboard::Leds::brightness_path("blue"), vboard::HwTree::Fault::kWriteFails);
  start_daemon();
  EXPECT_EQ(board().leds().brightness("red"), 1);
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
