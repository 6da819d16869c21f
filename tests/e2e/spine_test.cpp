#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "pty_sandbox.h"

namespace ftmd::test {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Spine : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(board_.wait_serving()) << "daemon never reached its read"; }

  Bytes ask(const Bytes& request) {
    board_.send(request);
    auto frame = board_.read_frame();
    return frame.value_or(Bytes{});
  }

  PtySandbox board_;
};

TEST_F(Spine, AnswersEachRequestWithExactlyOneFrame) {
  struct Case {
    Bytes request;
    Bytes reply;
  };
  const Bytes h{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
  const Case cases[] = {
      // Unknown, empty and short requests.
      {make_request("at+ftm,nonsense", h), expected_reply("ERROR,Invalid Cmd\n", h)},
      {make_request("", h), expected_reply("ERROR,Invalid Cmd\n", h)},
      {Bytes{0xAB, 0xCD, 0xEF}, expected_reply("ERROR,Invalid Cmd\n", Bytes{0xAB, 0xCD, 0xEF})},
      // Fixed replies, any letter case, anything after the prefix.
      {make_request("AT+FTM,DSP=1,2", h), expected_reply("ERROR,Command not supported in tolvek\n", h)},
      {make_request("at+ftm,swver", h), expected_reply("ERROR,Invalid Cmd\n", h)},
      {make_request("at+ftm,reboot=0", h), expected_reply("ERROR,Invalid Cmd\n", h)},
      {make_request("at+ftm,tamosound", h), expected_reply("ERROR,Invalid Cmd\n", h)},
      // A NUL in the body and a length field past the bytes that arrived.
      {make_request(std::string("at+ftm,dsp\0zz", 13), h),
       expected_reply("ERROR,Command not supported in tolvek\n", h)},
      {[&] {
         Bytes r = make_request("at+ftm,dsp", h);
         r[7] = 0xff;
         r[8] = 0xff;
         return r;
       }(),
       expected_reply("ERROR,Command not supported in tolvek\n", h)},
  };
  for (const auto& c : cases) EXPECT_EQ(ask(c.request), c.reply);
  EXPECT_TRUE(board_.read_available(200ms).empty()) << "a request got more than one reply";
}

TEST_F(Spine, WorkedExampleHeaderOfZeros) {
  // The software version handler is not on this build yet: the frame still
  // carries the zero header, the length and a checksum that zeroes the sum.
  Bytes reply = ask(make_request("at+ftm,swver=?"));
  ASSERT_GE(reply.size(), 10u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 7), Bytes(7, 0));
  unsigned sum = 0;
  for (auto b : reply) sum += b;
  EXPECT_EQ(sum % 256, 0u);
}

TEST_F(Spine, StartUpSwitchesLedsOnAndSeedsTheUsbStatus) {
  for (const char* led : {"red", "green", "blue"})
    EXPECT_EQ(slurp(board_.state_path(std::string("sys/class/leds/") + led + "/brightness")),
              std::string("1\0", 2))
        << led;
  EXPECT_EQ(slurp(board_.state_path("tmp/usbdetect.txt")), "ERROR,Insert or Pull out Usb first\n");
}

TEST_F(Spine, RebootRepliesFirstThenReboots) {
  std::size_t mark = board_.log_mark();
  EXPECT_EQ(ask(make_request("AT+FTM,REBOOT=1")), expected_reply("OK, tamo is rebooting..."));
  EXPECT_EQ(board_.reboot_count(), 0) << "reboot ran before the pause";
  ASSERT_TRUE(board_.wait_log("string is reboot", 5s, mark));
  ASSERT_TRUE(board_.wait_log("try to read for", 5s, board_.log_mark()));
  EXPECT_EQ(board_.reboot_count(), 1);
}

TEST_F(Spine, ServesAgainAfterTheHostHangsUp) {
  std::size_t mark = board_.log_mark();
  board_.hang_up();
  // Reopened after the pause, the port is raw again: the reply is not echoed.
  ASSERT_TRUE(board_.wait_log("try to read for 2048 bytes...", 10s, mark));
  EXPECT_EQ(ask(make_request("at+ftm,dsp")), expected_reply("ERROR,Command not supported in tolvek\n"));
}

TEST_F(Spine, TracesEveryFrameAtInfoLevel) {
  ask(make_request("at+ftm,dsp"));
  ASSERT_TRUE(board_.wait_log("line 344: result-->ERROR,Command not supported in tolvek"));
  bool saw_handle = false;
  for (const auto& line : board_.logs())
    if (line.text == "handle data is at+ftm,dsp\n") saw_handle = line.level == 6;
  EXPECT_TRUE(saw_handle);
}

TEST(SpineStartUp, WithoutTheHostPortExitsWith255) {
  PtySandbox board(PtySandbox::Options{.with_host_port = false});
  EXPECT_EQ(board.wait_exit(10s), 255);
  bool logged = false;
  for (const auto& line : board.logs())
    logged |= line.level == 6 && line.text == "file /dev/ttyGS0 open failed!\n";
  EXPECT_TRUE(logged);
}

}  // namespace
}  // namespace ftmd::test
