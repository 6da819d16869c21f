// The logic MCU commands on the virtual board: the real ftmd talks to the
// board's logic MCU on /dev/ttymxc2; the test plays the PC on /dev/ttyGS0.
#include <termios.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "board_fixture.h"
#include "wait_until.h"

namespace ftmd::test {
namespace {

using vboard::LogicMcu;
using Clock = std::chrono::steady_clock;

const Bytes kModeQuery = {0xAA, 0xAA, 0x01, 0x00, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 0x63};
const char kAllModes[] = "OK,1,I,2,O,3,O,4,I\n";

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class LogicMcuLink : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    if (HasFatalFailure() || !board().options().logic_port) return;
    // The receiver thread opens the UART beside the main loop; wait until it
    // has set the line up, so the first request has a port to go to.
    ASSERT_TRUE(wait_until([&] {
      auto t = mcu().line_settings();
      return t && t->c_lflag == 0;
    })) << "the daemon never configured /dev/ttymxc2";
  }

  LogicMcu& mcu() { return board().logic_mcu(); }

  // The reply text to `command`; its frame's checksum must be right.
  std::string reply_to(const std::string& command) {
    auto reply = ask(command);
    if (!reply) return "<no reply>";
    EXPECT_TRUE(reply->checksum_ok) << command;
    return reply->text;
  }

  // Everything the daemon wrote to the UART from chunk `since` on.
  Bytes uart_since(std::size_t since) {
    Bytes all;
    auto chunks = mcu().received();
    for (std::size_t i = since; i < chunks.size(); ++i)
      all.insert(all.end(), chunks[i].begin(), chunks[i].end());
    return all;
  }

  // Sends bytes as the MCU and waits until the daemon's receiver has read
  // them (it traces every read).
  void mcu_send_and_wait_read(const Bytes& bytes) {
    std::size_t mark = syslog().mark();
    ASSERT_TRUE(mcu().send(bytes));
    ASSERT_TRUE(syslog().wait_for("head1 and head2 is ", 10s, mark)) << "the receiver never read the bytes";
  }
};

TEST_F(LogicMcuLink, TheDaemonSetsTheUartUp) {
  auto t = mcu().line_settings();
  ASSERT_TRUE(t);
  EXPECT_EQ(cfgetospeed(&*t), B115200);
  EXPECT_EQ(cfgetispeed(&*t), B115200);
  EXPECT_EQ(t->c_lflag, 0u);
  EXPECT_EQ(t->c_oflag, 0u);
  EXPECT_EQ(t->c_iflag & (IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), 0u);
}

TEST_F(LogicMcuLink, CommandsReplyAndPutExactFramesOnTheUart) {
  const Bytes value_query = {0xAA, 0xAA, 0x03, 0x00, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 0x65};
  const struct {
    std::string command;
    std::string reply;
    Bytes uart;
  } cases[] = {
      {"at+ftm,logicmcugetmode=?", kAllModes, kModeQuery},
      {"at+ftm,logicmcusetmode=2,O", kAllModes, {0xAA, 0xAA, 0x02, 0x00, 0x02, 0x00, 0x02, 0x22, 0x7C}},
      {"at+ftm,logicmcusetmode=4,A",
       "OK,1,I,2,O,3,O,4,A\n",
       {0xAA, 0xAA, 0x02, 0x00, 0x02, 0x00, 0x04, 0x48, 0xA4}},
      {"at+ftm,logicmcugetvalue=?", "OK,1,I,LL,2,O,LL,3,O,LL,4,50\n", value_query},
      {"at+ftm,logicmcusetvalue=2,HL", "OK,2,HL\n",
       concat({kModeQuery, {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x01, 0x02, 0x02, 0x00, 0x66}})},
      {"at+ftm,logicmcusetvalue=3,LH", "OK,3,LH\n",
       concat({kModeQuery, {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x03, 0x01, 0x00, 0x03, 0x02, 0x01, 0x68}})},
      {"at+ftm,logicmcugetvalue=?", "OK,1,I,LL,2,O,HL,3,O,LH,4,50\n", value_query},
      // Level sets: group not in output mode, or a malformed parameter: one
      // mode exchange, no level frame.
      {"at+ftm,logicmcusetvalue=1,HH", "data format error\n", kModeQuery},
      {"at+ftm,logicmcusetvalue=4,HH", "data format error\n", kModeQuery},
      {"at+ftm,logicmcusetvalue=2,HLH", "data format error\n", kModeQuery},
      {"at+ftm,logicmcusetvalue=2,hl", "data format error\n", kModeQuery},
      {"at+ftm,logicmcusetvalue=0,HL", "data format error\n", kModeQuery},
      {"at+ftm,logicmcusetvalue=2HL", "data format error\n", kModeQuery},
      // The group is read as a decimal number: leading blanks and a sign pass.
      {"at+ftm,logicmcusetvalue= +2,LH", "OK,2,LH\n",
       concat({kModeQuery, {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x01, 0x66}})},
      // Malformed mode sets send nothing.
      {"at+ftm,logicmcusetmode=2,o", "ERROR,Command format error\n", {}},
      {"at+ftm,logicmcusetmode=5,O", "ERROR,Command format error\n", {}},
      {"at+ftm,logicmcusetmode=2,O ", "ERROR,Command format error\n", {}},
  };
  for (const auto& c : cases) {
    std::size_t since = mcu().received().size();
    EXPECT_EQ(reply_to(c.command), c.reply) << c.command;
    EXPECT_EQ(uart_since(since), c.uart) << c.command;
  }
  EXPECT_EQ(mcu().group(2).first, false);
  EXPECT_EQ(mcu().group(2).second, true);
  EXPECT_TRUE(syslog().wait_exact("Consumed: OK\n", kLogInfo, 1s));
}

TEST_F(LogicMcuLink, RejectedLevelSetFails) {
  mcu().set_reject_level_set(true);
  EXPECT_EQ(reply_to("at+ftm,logicmcusetvalue=2,LL"), "ERROR,set group level failed\n");
  EXPECT_TRUE(syslog().wait_exact("Consumed: ERROR\n", kLogInfo, 1s));
}

TEST_F(LogicMcuLink, ReplyThatCameBeforeTheCommandIsDiscarded) {
  std::size_t mark = syslog().mark();
  ASSERT_TRUE(mcu().send(LogicMcu::frame(1, {1, 0x48, 2, 0x48, 3, 0x48, 4, 0x48})));
  ASSERT_TRUE(syslog().wait_for("here: -->return from mcu data", 10s, mark));
  EXPECT_EQ(reply_to("at+ftm,logicmcugetmode=?"), kAllModes);
}

// Frames the receiver must drop or ignore, each arriving while a command
// waits; the MCU's real answer follows in a read of its own. Taking any of
// them would show in the reply (their data differ from the real answer).
TEST_F(LogicMcuLink, BadFramesDuringAnExchangeAreNotTakenAsTheReply) {
  using Fault = LogicMcu::Fault;
  const Bytes wrong = LogicMcu::frame(1, {1, 0x22, 2, 0x22, 3, 0x22, 4, 0x22});
  const Bytes right = LogicMcu::frame(1, {1, 0x11, 2, 0x22, 3, 0x22, 4, 0x11});
  const struct {
    const char* what;
    std::vector<Bytes> pieces;  // each read by the daemon on its own
  } cases[] = {
      {"bad checksum", {LogicMcu::with_fault(wrong, Fault::kBadChecksum)}},
      {"unknown code", {LogicMcu::with_fault(wrong, Fault::kUnknownCode)}},
      {"code 0", {LogicMcu::frame(0, {1, 0x22})}},
      {"msglen past the buffer", {LogicMcu::with_fault(wrong, Fault::kOverlongMsglen)}},
      {"wrong head, checksum right",
       {concat({{0xAA, 0xAB}, Bytes(wrong.begin() + 2, wrong.end() - 1), {0xF0}})}},
      {"six bytes", {Bytes(wrong.begin(), wrong.begin() + 6)}},
      {"split frame", {Bytes(wrong.begin(), wrong.begin() + 8), Bytes(wrong.begin() + 8, wrong.end())}},
  };
  mcu().set_behaviour(1, {0ms, Fault::kSilent});
  for (const auto& c : cases) {
    std::size_t mark = syslog().mark();
    std::size_t chunks = mcu().received().size();
    ASSERT_TRUE(client().send("at+ftm,logicmcugetmode=?"));
    ASSERT_TRUE(mcu().wait_received(chunks + 1, 10s)) << c.what;
    for (const Bytes& piece : c.pieces) mcu_send_and_wait_read(piece);
    ASSERT_TRUE(mcu().send(right));
    auto reply = client().read_frame(10s);
    ASSERT_TRUE(reply) << c.what;
    EXPECT_EQ(reply->text, kAllModes) << c.what;
    EXPECT_EQ(syslog().count("unknow/unsupport command(9)!", mark, kLogWarning),
              std::string(c.what) == "unknown code" ? 1u : 0u)
        << c.what;
  }
}

// ---- Time-outs (slow: a few seconds each) -----------------------------------

// A silent MCU: the query gets the empty reply after 3 seconds, the late
// answer that follows is not taken by the next command, and a level set
// fails its output check after its mode query timed out.
TEST_F(LogicMcuLink, SilentMcuTimesOutAndTheLinkServesOn) {
  mcu().set_behaviour(1, {3400ms, LogicMcu::Fault::kNone});
  std::size_t mark = syslog().mark();
  auto start = Clock::now();
  EXPECT_EQ(reply_to("at+ftm,logicmcugetmode=?"), "");
  auto took = Clock::now() - start;
  EXPECT_GE(took, 2900ms);
  EXPECT_LT(took, 4500ms);
  EXPECT_TRUE(syslog().wait_exact("Timeout: No data within 3 seconds\n", kLogWarning, 1s, mark));

  // The late mode report arrives and is decoded while no command waits.
  ASSERT_TRUE(syslog().wait_for("here: -->return from mcu data", 10s, mark));
  EXPECT_EQ(reply_to("at+ftm,logicmcugetvalue=?"), "OK,1,I,LL,2,O,LL,3,O,LL,4,I,LL\n");

  mcu().set_behaviour(1, {0ms, LogicMcu::Fault::kSilent});
  start = Clock::now();
  std::size_t since = mcu().received().size();
  EXPECT_EQ(reply_to("at+ftm,logicmcusetvalue=2,HH"), "data format error\n");
  EXPECT_GE(Clock::now() - start, 2900ms);
  EXPECT_EQ(uart_since(since), kModeQuery);
}

// A level set is two exchanges: a late mode report and an unanswered level
// frame keep the link for nearly 6 seconds, and the reply is the mode report.
TEST_F(LogicMcuLink, LevelSetWaitsUpToSixSeconds) {
  mcu().set_behaviour(1, {2700ms, LogicMcu::Fault::kNone});
  mcu().set_behaviour(4, {0ms, LogicMcu::Fault::kSilent});
  std::size_t since = mcu().received().size();
  auto start = Clock::now();
  EXPECT_EQ(reply_to("at+ftm,logicmcusetvalue=2,LH"), kAllModes);
  auto took = Clock::now() - start;
  EXPECT_GE(took, 5600ms);
  EXPECT_LT(took, 7500ms);
  EXPECT_EQ(
      uart_since(since),
      concat({kModeQuery, {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x01, 0x66}}));
}

// A hung-up UART reads 0 bytes: the receiver goes back to reading and keeps
// the port, so a request's write now fails on the hung-up line (EIO), not on
// a closed descriptor, and the link serves on.
TEST_F(LogicMcuLink, HungUpPortIsKeptAndReadAgain) {
  std::size_t mark = syslog().mark();
  mcu().port().hang_up();
  EXPECT_EQ(reply_to("at+ftm,logicmcugetmode=?"), "");
  EXPECT_TRUE(syslog().wait_exact("Write logicmsg data error: [errno = 5]", kLogError, 1s, mark));
  EXPECT_EQ(syslog().count("quit the loop", mark), 0u);
  EXPECT_EQ(reply_to("at+ftm,dsp"), "ERROR,Command not supported in tolvek\n");
}

class LogicMcuMissing : public LogicMcuLink {
 protected:
  void configure(vboard::BoardOptions& options) override { options.logic_port = false; }
};

// Without /dev/ttymxc2 the receiver ends at start-up; the commands still
// answer (empty, after their wait) and the link serves on.
TEST_F(LogicMcuMissing, CommandsTimeOutWhenThePortIsMissing) {
  EXPECT_TRUE(syslog().wait_exact("Failed to open the serial port", kLogError, 1s));
  std::size_t mark = syslog().mark();
  EXPECT_EQ(reply_to("at+ftm,logicmcugetmode=?"), "");
  EXPECT_TRUE(syslog().wait_exact("Write logicmsg data error: [errno = 9]", kLogError, 1s, mark));
  EXPECT_EQ(reply_to("at+ftm,dsp"), "ERROR,Command not supported in tolvek\n");
}

}  // namespace
}  // namespace ftmd::test
