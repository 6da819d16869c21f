// The audio MCU link on the board: the start-up handshake on /dev/ttyRPMSG30,
// the volume exchange and the test lines of the circuit and ageing commands.
#include <functional>
#include <vector>

#include "board_fixture.h"

namespace ftmd::test {
namespace {

using vboard::AudioMcu;
using vboard::VolumeAnswer;
using Clock = std::chrono::steady_clock;

const Bytes kWakeupMessage = AudioMcu::message(0xAA, 1, AudioMcu::kWakeup);
const Bytes kLeaveMessage = AudioMcu::message(0xAA, 2, AudioMcu::kLeaveLowPower);

Bytes volume_request(std::uint8_t channel, std::uint8_t volume) {
  return AudioMcu::message(0xBB, 2, AudioMcu::kVolume, {channel, volume});
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Whether the daemon has the rpmsg tty open: between commands it must not.
bool daemon_holds_rpmsg_tty(vboard::Board& board) {
  auto r =
      board.shell("for p in /proc/[0-9]*; do [ \"$(cat $p/comm)\" = ftmd ] && readlink $p/fd/*; done; true");
  EXPECT_NE(r.output.find("socket:"), std::string::npos) << "the daemon's descriptors were not listed";
  return r.output.find(board.audio_mcu().port().slave_path() + "\n") != std::string::npos;
}

// ---- Start-up ----------------------------------------------------------------

class McuStartUp : public BoardTest {
 protected:
  void configure(vboard::BoardOptions& options) override {
    options.container_status = "absent";
    options.start_daemon = false;
    expect_serving_ = false;
  }
};

TEST_F(McuStartUp, WaitsForTheContainerAndTheMcuBeforeServing) {
  AudioMcu& mcu = board().audio_mcu();
  mcu.set_answer_leave_low_power(false);
  board().start_daemon();

  // GPIO 84 is up before the greeting goes out.
  ASSERT_TRUE(mcu.wait_records(1, 10s));
  auto greeting = mcu.messages();
  ASSERT_EQ(greeting.size(), 1u);
  EXPECT_EQ(greeting[0].bytes, kWakeupMessage);
  EXPECT_EQ(greeting[0].gpio84, "out/1");

  // Every state but running keeps it polling, each answer logged.
  ASSERT_TRUE(syslog().wait_exact("output --> ", kLogDebug, 10s)) << "absent container";
  for (const char* status : {"paused", "created", "stopped"}) {
    std::size_t mark = syslog().mark();
    board().standins().set_container_status(status);
    ASSERT_TRUE(syslog().wait_exact(std::string("output --> ") + status + "\n", kLogDebug, 10s, mark))
        << status;
  }
  EXPECT_EQ(mcu.messages().size(), 1u) << "the leave message went out before the container ran";

  const std::size_t before_running = syslog().mark();
  board().standins().set_container_status("running");
  ASSERT_TRUE(mcu.wait_leave_low_power(1, 10s));
  auto messages = mcu.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].bytes, kLeaveMessage);
  // The leave message follows the poll that saw "running" by 1 s (the log's
  // time stamp is when the board took the line in, late on a loaded machine).
  auto saw_running = syslog().wait_exact("output --> running\n", kLogDebug, 1s, before_running);
  ASSERT_TRUE(saw_running);
  EXPECT_GE(seconds(messages[1].when - saw_running->when), 0.5);
  EXPECT_TRUE(syslog().wait_exact("---->MCU_SOC_IPC_LEAVE_LPM-----", kLogDebug, 1s));

  // No answer from the MCU: the USB link stays closed.
  EXPECT_FALSE(board().wait_serving(1500ms)) << "served before the MCU answered";
  EXPECT_TRUE(board().daemon_running());

  mcu.set_answer_leave_low_power(true);
  ASSERT_TRUE(board().wait_serving(10s));
  EXPECT_EQ(ask_text("at+ftm,dsp"), "ERROR,Command not supported in tolvek\n");
  EXPECT_EQ(mcu.messages().size(), 2u) << "more than the two start-up messages";
  EXPECT_FALSE(daemon_holds_rpmsg_tty(board()));
  EXPECT_EQ(syslog().count("---->MCU_SOC_IPC_LEAVE_LPM-----"), 1u);
}

// Bytes the MCU sent before the leave-low-power message (here, before the
// container ran) are the answer the handshake waits for.
TEST_F(McuStartUp, AnswerAlreadySentEndsTheHandshake) {
  AudioMcu& mcu = board().audio_mcu();
  mcu.set_answer_leave_low_power(false);
  board().start_daemon();
  ASSERT_TRUE(mcu.wait_records(1, 10s));
  ASSERT_TRUE(mcu.port().write(AudioMcu::message(0xAA, 2, AudioMcu::kLeaveLowPower)));
  board().standins().set_container_status("running");
  ASSERT_TRUE(mcu.wait_leave_low_power(1, 10s));
  ASSERT_TRUE(board().wait_serving(10s)) << "the handshake did not take the answer already sent";
  EXPECT_EQ(ask_text("at+ftm,dsp"), "ERROR,Command not supported in tolvek\n");
}

// Each case boots its own board: GPIO 84's sysfs files as a restarted daemon
// (already exported) or a board without the line finds them. The handshake
// goes on in every case.
TEST(McuGpio, EnableLogsEachStepAndCarriesOn) {
  const struct {
    const char* what;
    std::function<void(vboard::Board&)> prepare;
    std::vector<std::pair<int, std::string>> logs;
    const char* gpio84;
  } cases[] = {
      {"direction refused, value write fails",
       [](vboard::Board& b) {
         ASSERT_EQ(b.shell("echo 84 > /sys/class/gpio/export").status, 0);
         b.hw().set_fault("/sys/class/gpio/gpio84/direction", vboard::HwTree::Fault::kOpenFails);
         b.hw().set_fault("/sys/class/gpio/gpio84/value", vboard::HwTree::Fault::kWriteFails);
       },
       {{kLogInfo, "Node1 exists, start handle step1......\n"},
        {kLogError, "write 84 value to node1 error\n"},
        {kLogInfo, "Node2 exists, start handle step2......\n"},
        {kLogError, "cannot read /sys/class/gpio/gpio84/direction the file\n"},
        {kLogInfo, "Node3 exists, start handle step3......\n"},
        {kLogError, "write 1 value to node3 error"}},
       "in/0"},
      {"no GPIO interface",
       [](vboard::Board& b) { b.hw().remove("/sys/class/gpio"); },
       {{kLogError, "/sys/class/gpio/export not exists, please check it\n"},
        {kLogError, "/sys/class/gpio/gpio84/direction not exists, please check it\n"},
        {kLogError, "/sys/class/gpio/gpio84/value not exists, please check it\n"}},
       "unexported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto options = default_board_options();
    options.start_daemon = false;
    vboard::Board board(options);
    c.prepare(board);
    board.start_daemon();
    ASSERT_TRUE(board.wait_serving(10s)) << board.daemon_output();
    // Every line the enable steps may log names a node or a GPIO file.
    std::vector<std::pair<int, std::string>> gpio_logs;
    for (const auto& line : board.syslog().lines())
      if (line.text.find("ode") != std::string::npos ||
          line.text.find("/sys/class/gpio") != std::string::npos)
        gpio_logs.emplace_back(line.level, line.text);
    EXPECT_EQ(gpio_logs, c.logs);
    auto messages = board.audio_mcu().messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].gpio84, c.gpio84);
  }
}

// ---- Volume ------------------------------------------------------------------

class McuVolume : public BoardTest {
 protected:
  // The volume requests that reached the MCU since `since`.
  std::vector<Bytes> requests(std::size_t since) {
    std::vector<Bytes> out;
    for (const auto& m : board().audio_mcu().messages(since)) out.push_back(m.bytes);
    return out;
  }
};

TEST_F(McuVolume, ConfirmsOnlyTheMcusEcho) {
  AudioMcu& mcu = board().audio_mcu();
  const struct {
    const char* command;
    VolumeAnswer answer;
    std::vector<Bytes> sent;
    const char* reply;
  } cases[] = {
      {"at+ftm,volume=3,50", VolumeAnswer::kEcho, {volume_request(3, 50)}, "OK,volume=3,50\n"},
      // Any separator after the prefix; upper case matches too.
      {"at+ftm,volume:3,50", VolumeAnswer::kEcho, {volume_request(3, 50)}, "OK,volume=3,50\n"},
      {"AT+FTM,VOLUME=0,100", VolumeAnswer::kEcho, {volume_request(0, 100)}, "OK,volume=0,100\n"},
      // Only the channel's low byte goes out, and must come back.
      {"at+ftm,volume=258,7", VolumeAnswer::kEcho, {volume_request(2, 7)}, "OK,volume=2,7\n"},
      // A carriage return and a line feed inside both messages: the tty is raw both ways.
      {"at+ftm,volume=13,10", VolumeAnswer::kEcho, {volume_request(13, 10)}, "OK,volume=13,10\n"},
      {"at+ftm,volume=3,50", VolumeAnswer::kShifted, {volume_request(3, 50)}, "OK,volume=3,50\n"},
      {"at+ftm,volume=3,50", VolumeAnswer::kWrongSync, {volume_request(3, 50)}, "ERROR\n"},
      {"at+ftm,volume=3,50", VolumeAnswer::kWrongCommand, {volume_request(3, 50)}, "ERROR\n"},
      {"at+ftm,volume=3,50", VolumeAnswer::kShort, {volume_request(3, 50)}, "ERROR\n"},
      // Bad arguments never reach the MCU.
      {"at+ftm,volume=3,101", VolumeAnswer::kEcho, {}, "ERROR\n"},
      {"at+ftm,volume=3,50\r\n", VolumeAnswer::kEcho, {}, "ERROR\n"},
      {"at+ftm,volume=99999999999,5", VolumeAnswer::kEcho, {}, "ERROR\n"},
      {"at+ftm,volume", VolumeAnswer::kEcho, {}, "ERROR\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(vboard::HostClient::escaped(c.command));
    mcu.set_volume_answer(c.answer);
    const std::size_t records = mcu.record_mark();
    const std::size_t logs = syslog().mark();
    EXPECT_EQ(ask_text(c.command), c.reply);
    EXPECT_EQ(requests(records), c.sent);
    if (c.answer == VolumeAnswer::kWrongCommand) {
      EXPECT_TRUE(syslog().wait_exact("unknow/unsupport command(2)!", kLogWarning, 1s, logs));
    }
    if (!c.sent.empty()) {
      EXPECT_EQ(syslog().count("---channel--- = ", logs, kLogInfo), 1u);
    }
  }

  EXPECT_FALSE(daemon_holds_rpmsg_tty(board()));

  // An answer that takes a few seconds still counts.
  mcu.set_volume_answer(VolumeAnswer::kEcho);
  mcu.set_volume_delay(2500ms);
  std::size_t logs = syslog().mark();
  EXPECT_EQ(ask_text("at+ftm,volume=4,60"), "OK,volume=4,60\n");
  EXPECT_GE(syslog().count("Got EINTR/EAGAIN, continue for reading data.", logs, kLogDebug), 2u);

  // Without the tty the exchange fails at once.
  mcu.set_volume_delay(0ms);
  board().audio_mcu().port().remove_link();
  logs = syslog().mark();
  EXPECT_EQ(ask_text("at+ftm,volume=3,50"), "ERROR\n");
  EXPECT_TRUE(syslog().wait_exact("Failed open /dev/ttyRPMSG30 serial", kLogError, 1s, logs));
  EXPECT_TRUE(syslog().wait_exact("Please insert the imx_rpmsg_tty module\n", kLogError, 1s, logs));
  EXPECT_EQ(ask_text("at+ftm,dsp"), "ERROR,Command not supported in tolvek\n");
}

TEST_F(McuVolume, GivesUpAfterAboutTenSecondsWithoutAnAnswer) {
  AudioMcu& mcu = board().audio_mcu();
  mcu.set_volume_answer(VolumeAnswer::kNone);
  const std::size_t logs = syslog().mark();
  const auto start = Clock::now();
  EXPECT_EQ(ask_text("at+ftm,volume=3,50", 30s), "ERROR\n");
  const double took = seconds(Clock::now() - start);
  EXPECT_GE(took, 9.0);
  EXPECT_LT(took, 20.0);
  EXPECT_EQ(syslog().count("Got EINTR/EAGAIN, continue for reading data.", logs, kLogDebug), 10u);
  EXPECT_FALSE(daemon_holds_rpmsg_tty(board()));
}

// Whatever the MCU sent last is the answer the next request reads first: a
// late echo confirms that request when it carries its values, and fails it
// when it does not.
TEST_F(McuVolume, AnAnswerAlreadySentIsTheAnswer) {
  AudioMcu& mcu = board().audio_mcu();
  mcu.set_volume_answer(VolumeAnswer::kNone);
  ASSERT_TRUE(mcu.port().write(AudioMcu::message(0xAA, 2, AudioMcu::kVolume, {5, 10})));
  EXPECT_EQ(ask_text("at+ftm,volume=5,10"), "OK,volume=5,10\n");
  ASSERT_TRUE(mcu.port().write(AudioMcu::message(0xAA, 2, AudioMcu::kVolume, {5, 9})));
  mcu.set_volume_answer(VolumeAnswer::kEcho);
  EXPECT_EQ(ask_text("at+ftm,volume=5,10"), "ERROR\n");
}

// ---- Circuit test and ageing record -----------------------------------------

class McuTestLines : public BoardTest {
 protected:
  std::optional<std::string> env_aging() {
    auto r = board().exec({"fw_printenv", "aging"});
    if (r.status != 0) return std::nullopt;
    return r.output;
  }
};

TEST_F(McuTestLines, CircuitWritesOneLinePerValidCommand) {
  AudioMcu& mcu = board().audio_mcu();
  const std::pair<const char*, const char*> accepted[] = {
      {"3,1", "test:3,1\n"},    {"14,2", "test:14,2\n"}, {"1,2", "test:1,2\n"},
      {"3abc,1", "test:3,1\n"}, {"3,1,9", "test:3,1\n"}, {",3,,1", "test:3,1\n"},
  };
  for (const auto& [args, line] : accepted) {
    const std::size_t records = mcu.record_mark();
    EXPECT_EQ(ask_text(std::string("at+ftm,circuit=") + args), "OK\n") << args;
    ASSERT_TRUE(mcu.wait_records(records + 1, 5s)) << args;
    EXPECT_EQ(mcu.lines(records), std::vector<std::string>{line}) << args;
  }
  for (const char* args : {"0,1", "15,1", "3,3", "3,12", "3", "x,1", "-3,1", "99999999999,1", ""})
    EXPECT_EQ(ask_text(std::string("at+ftm,circuit=") + args), "ERROR,Command format error\n") << args;
  // Nothing else arrived, not even from the rejected ones.
  EXPECT_EQ(mcu.lines().size(), std::size(accepted));
  EXPECT_EQ(mcu.messages().size(), 2u);
}

TEST_F(McuTestLines, AgingStartsTheRunAndRecordsTheValue) {
  AudioMcu& mcu = board().audio_mcu();
  // Not set yet: the board's fw_printenv prints "aging=" for it.
  EXPECT_EQ(ask_text("at+ftm,aging=?"), "ERROR\n");

  for (const char* args : {"14,120", "?x", ""})
    EXPECT_EQ(ask_text(std::string("at+ftm,aging=") + args), "ERROR,Command data1 format error\n") << args;
  for (const char* args : {"15", "15,12a", "15,-1", "15,99999999999"})
    EXPECT_EQ(ask_text(std::string("at+ftm,aging=") + args), "ERROR,Command format error\n") << args;
  EXPECT_TRUE(mcu.lines().empty());
  EXPECT_EQ(env_aging().value_or("<failed>"), "aging=\n") << "a rejected command touched the environment";

  std::size_t records = mcu.record_mark();
  std::size_t logs = syslog().mark();
  EXPECT_EQ(ask_text("at+ftm,aging=15,120"), "OK\n");
  ASSERT_TRUE(mcu.wait_records(records + 1, 5s));
  EXPECT_EQ(mcu.lines(records), std::vector<std::string>{"test:15,120\n"});
  EXPECT_TRUE(syslog().wait_exact("command -> fw_setenv aging 120", kLogWarning, 1s, logs));
  EXPECT_EQ(env_aging(), "aging=120\n");
  EXPECT_EQ(ask_text("at+ftm,aging=?"), "OK,aging=120\n");

  // A later run replaces the record; 15abc reads as 15, extra values are ignored.
  records = mcu.record_mark();
  EXPECT_EQ(ask_text("at+ftm,aging=15abc,0,7"), "OK\n");
  ASSERT_TRUE(mcu.wait_records(records + 1, 5s));
  EXPECT_EQ(mcu.lines(records), std::vector<std::string>{"test:15,0\n"});
  EXPECT_EQ(env_aging(), "aging=0\n");
  EXPECT_EQ(ask_text("AT+FTM,AGING=?"), "OK,aging=0\n");

  // Without a readable environment the run still starts and the PC hears OK;
  // reading back then has nothing to report.
  board().uboot_env().remove();
  records = mcu.record_mark();
  EXPECT_EQ(ask_text("at+ftm,aging=15,5"), "OK\n");
  ASSERT_TRUE(mcu.wait_records(records + 1, 5s));
  EXPECT_EQ(mcu.lines(records), std::vector<std::string>{"test:15,5\n"});
  EXPECT_EQ(ask_text("at+ftm,aging=?"), "ERROR\n");
}

}  // namespace
}  // namespace ftmd::test
