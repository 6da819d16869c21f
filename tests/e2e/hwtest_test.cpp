// The hardware self-tests on the board: LED, reset key, trigger input and
// outputs, USB stick.
#include <unistd.h>

#include <string>
#include <vector>

#include "board_fixture.h"
#include "daemon_usage.h"

namespace ftmd::test {
namespace {

using vboard::HostClient;
using vboard::Keypad;
using Fault = vboard::HwTree::Fault;
using Clock = std::chrono::steady_clock;

constexpr char kKeyReaderReady[] = "--Thread-- /dev/input/by-path/platform-keys-event device opened OK\n";

class HwTest : public BoardTest {
 protected:
  DaemonUsage settled_usage() { return settled_daemon_usage(board(), pid_); }
  // True once the daemon holds exactly what it held before: a joined thread
  // can still be listed in /proc for a moment after the join returned.
  bool back_to(const DaemonUsage& before) {
    return wait_until(
        [&] {
          DaemonUsage now = daemon_usage(pid_);
          return now.threads == before.threads && now.fds == before.fds;
        },
        2s);
  }

  // Writes to the LED brightness files since `mark`, as "red=1\x00"; a write
  // that failed is marked " failed".
  std::vector<std::string> led_writes(std::size_t mark) {
    std::vector<std::string> out;
    for (const auto& w : board().hw().writes(mark)) {
      if (!w.path.starts_with("/sys/class/leds/")) continue;
      std::string name = w.path.substr(16, w.path.find('/', 16) - 16);
      out.push_back(name + "=" + HostClient::escaped(w.bytes) + (w.error ? " failed" : ""));
    }
    return out;
  }
  std::vector<std::string> writes_to(const std::string& path, std::size_t mark) {
    std::vector<std::string> out;
    for (const auto& w : board().hw().writes_to(path, mark)) out.push_back(HostClient::escaped(w.bytes));
    return out;
  }

  pid_t pid_ = 0;
};

// ---- LED ---------------------------------------------------------------------

TEST_F(HwTest, LedPatternsWriteExactlyTheirBytesInOrder) {
  const struct {
    std::string command;
    std::string reply;
    std::vector<std::string> writes;
  } cases[] = {
      {"at+ftm,led=1,255,0,0", "OK\n", {"red=1\\x00", "green=0\\x00", "blue=0\\x00"}},
      {"at+ftm,led=1,0,255,0", "OK\n", {"green=1\\x00", "red=0\\x00", "blue=0\\x00"}},
      {"at+ftm,led=1,0,0,255", "OK\n", {"blue=1\\x00", "green=0\\x00", "red=0\\x00"}},
      {"at+ftm,led=1,255,255,255", "OK\n", {"red=1\\x00", "green=1\\x00", "blue=1\\x00"}},
      {"at+ftm,led=1,255,255,0", "OK\n", {"blue=0\\x00", "red=1\\x00", "green=1\\x00"}},
      {"at+ftm,led=1,0,255,255", "OK\n", {"red=0\\x00", "green=1\\x00", "blue=1\\x00"}},
      {"at+ftm,led=1,255,0,255", "OK\n", {"green=0\\x00", "red=1\\x00", "blue=1\\x00"}},
      {"at+ftm,led=1,0,0,0", "OK\n", {"red=0\\x00", "green=0\\x00", "blue=0\\x00"}},
      // Patterns are compared whole and case-sensitively; nothing is written.
      {"at+ftm,led=1,255,0,0 ", " ERROR,Invaild Cmd\n", {}},
      {"at+ftm,led=1,255,0,0\n", " ERROR,Invaild Cmd\n", {}},
      {"at+ftm,led=", " ERROR,Invaild Cmd\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(HostClient::escaped(c.command));
    std::size_t mark = board().hw().write_mark();
    EXPECT_EQ(ask_text(c.command), c.reply);
    EXPECT_EQ(led_writes(mark), c.writes);
  }
  // The last pattern switched all three off.
  for (const char* led : {"red", "green", "blue"}) EXPECT_EQ(board().leds().brightness(led), 0) << led;
}

// Faults are written "-green" (class directory gone), "red:o" (brightness
// cannot be opened), "red:w" (its write fails).
TEST_F(HwTest, LedFaultsAnswerAsTheirTablesSay) {
  const struct {
    std::vector<std::string> faults;
    std::string pattern;
    std::string reply;
    std::vector<std::string> writes;
    std::string error_log;  // one level 3 line the request must log, if any
  } cases[] = {
      {{"-red"}, "1,0,0,0", "can not find led driver\n", {}, "/sys/class/leds/red does not exist\n"},
      {{"-red"}, "x", "can not find led driver\n", {}, ""},
      {{"-green"},
       "1,255,0,0",
       "OK\n",
       {"red=1\\x00", "blue=0\\x00"},
       "/sys/class/leds/green does not exist\n"},
      {{"-green"}, "1,0,255,0", "green driver broken\n", {}, ""},
      {{"-blue"},
       "1,0,255,255",
       "check led: blue led error, \n",
       {"red=0\\x00", "green=1\\x00"},
       "cannot read blue the file\n"},
      {{"red:w"},
       "1,255,0,0",
       "red state error\n",
       {"red=1\\x00 failed"},
       "write 0 value to red/brightness error"},
      {{"red:o"}, "1,255,0,0", "red state error\n", {}, "cannot read red the file\n"},
      // A failed switch-off is best effort.
      {{"green:w"},
       "1,255,0,0",
       "OK\n",
       {"red=1\\x00", "green=0\\x00 failed", "blue=0\\x00"},
       "write 0 value to green/brightness error"},
      // Of several failed channels the last in red, green, blue order is named.
      {{"red:w", "blue:w"},
       "1,255,255,255",
       "check led: blue led error, \n",
       {"red=1\\x00 failed", "green=1\\x00", "blue=1\\x00 failed"},
       ""},
      {{"red:o", "green:o"},
       "1,0,0,0",
       "check led: green led error, \n",
       {"blue=0\\x00"},
       "cannot read green the file\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern + " with " + c.faults[0]);
    for (const std::string& f : c.faults) {
      if (f[0] == '-')
        board().leds().remove(f.substr(1));
      else
        board().hw().set_fault(vboard::Leds::brightness_path(f.substr(0, f.find(':'))),
                               f.back() == 'o' ? Fault::kOpenFails : Fault::kWriteFails);
    }
    std::size_t mark = board().hw().write_mark();
    std::size_t log_mark = syslog().mark();
    EXPECT_EQ(ask_text("at+ftm,led=" + c.pattern), c.reply);
    EXPECT_EQ(led_writes(mark), c.writes);
    if (!c.error_log.empty()) {
      EXPECT_TRUE(syslog().wait_exact(c.error_log, kLogError, 1s, log_mark));
    }
    board().hw().clear_faults();
    for (const char* led : {"red", "green", "blue"})
      if (board().leds().brightness(led) < 0) board().leds().add(led);
  }
}

// ---- Key ---------------------------------------------------------------------

TEST_F(HwTest, KeyPressAnswersOkAtOnceTwiceInARowLeavingNothingBehind) {
  const DaemonUsage before = settled_usage();
  for (const char* command : {"at+ftm,keytest=1", "AT+FTM,KEYTEST=1"}) {
    SCOPED_TRACE(command);
    std::size_t mark = syslog().mark();
    ASSERT_TRUE(client().send(command));
    ASSERT_TRUE(syslog().wait_exact(kKeyReaderReady, kLogInfo, 5s, mark));
    // Neither a release, a repeat nor another key counts as a press.
    ASSERT_TRUE(board().keypad().inject(Keypad::kEvKey, Keypad::kResetKeyCode, 0));
    ASSERT_TRUE(board().keypad().inject(Keypad::kEvKey, Keypad::kResetKeyCode, 2));
    ASSERT_TRUE(board().keypad().inject(Keypad::kEvKey, 3, 1));
    ASSERT_TRUE(syslog().wait_exact("code: 3\n\n", kLogInfo, 5s, mark));
    EXPECT_TRUE(client().read_available(200ms).empty()) << "answered before the key was pressed";

    ASSERT_TRUE(board().keypad().press_reset_key());
    auto reply = client().read_frame(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "OK\n");
    EXPECT_TRUE(syslog().wait_exact("Reset key event are detected, notify caller\n", kLogInfo, 1s, mark));
    ASSERT_TRUE(wait_back_in_read(mark));
    EXPECT_TRUE(back_to(before)) << "a reader thread or fd outlived the request";
  }
}

// The one slow test: 15 s without a press.
TEST_F(HwTest, KeyTestWithoutPressAnswersEmptyAfterFifteenSeconds) {
  const DaemonUsage before = settled_usage();
  std::size_t mark = syslog().mark();
  auto start = Clock::now();
  ASSERT_TRUE(client().send("at+ftm,keytest=1"));
  ASSERT_TRUE(syslog().wait_exact(kKeyReaderReady, kLogInfo, 5s, mark));
  ASSERT_TRUE(board().keypad().inject(Keypad::kEvKey, Keypad::kResetKeyCode, 0));
  auto reply = client().read_frame(25s);
  auto waited = Clock::now() - start;
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->raw, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_GE(waited, 14500ms);
  EXPECT_LT(waited, 17s);
  for (const char* line : {"oh, this is timeout for key testing case.\n",
                           "try to kill the background thread...\n", "the child thread killed[OK]\n"})
    EXPECT_TRUE(syslog().wait_exact(line, kLogInfo, 1s, mark)) << line;
  EXPECT_TRUE(syslog().wait_for("would quit for signal trigger\n", 1s, mark, kLogInfo));
  ASSERT_TRUE(wait_back_in_read(mark));
  EXPECT_TRUE(back_to(before)) << "the stopped reader left a thread or fd";
}

TEST_F(HwTest, KeyTestRejectsOtherTextsAndAnswersAtOnceWithoutADevice) {
  std::size_t mark = syslog().mark();
  for (const char* command :
       {"at+ftm,keytest=0", "at+ftm,keytest=1 ", "at+ftm,keytest=1\n", "at+ftm,keytest="})
    EXPECT_EQ(ask_text(command), "ERROR,Invalid Cmd\n") << HostClient::escaped(command);
  EXPECT_EQ(syslog().count("now, will create the thread", mark), 0u);

  board().keypad().set_present(false);
  mark = syslog().mark();
  auto reply = ask("at+ftm,keytest=1", 5s);
  ASSERT_TRUE(reply) << "not answered at once";
  EXPECT_EQ(reply->text, "");
  EXPECT_TRUE(syslog().wait_exact("failed to open the device\n", kLogInfo, 1s, mark));
}

// ---- Triggers ----------------------------------------------------------------

TEST_F(HwTest, TriggerInAnswersPerTheInputTable) {
  const struct {
    int input;   // gpio6
    int detect;  // gpio9
    std::string reply;
  } cases[] = {
      {0, 0, "ERROR,(Not detected trigger-in and trigger-in value is error)\n"},
      {0, 1, "OK,triggerin=1\n"},
      {1, 0, "ERROR,(Not detected trigger-in)\n"},
      {1, 1, "OK,triggerin=0\n"},
  };
  std::size_t first = board().hw().write_mark();
  std::size_t mark = syslog().mark();
  for (const auto& c : cases) {
    board().gpio().set_input(6, c.input);
    board().gpio().set_input(9, c.detect);
    EXPECT_EQ(ask_text("AT+FTM,TRIGGERIN=?"), c.reply);
  }
  // Exported once, the input line first, the bare numbers.
  EXPECT_EQ(writes_to("/sys/class/gpio/export", first), (std::vector<std::string>{"6", "9"}));
  EXPECT_EQ(syslog().count("Node1 exists", mark), 2u);

  board().hw().set_fault("/sys/class/gpio/gpio9/value", Fault::kOpenFails);
  EXPECT_EQ(ask_text("at+ftm,triggerin=?"), "ERROR,(Not detected trgger-in or trigger-det)\n");
  EXPECT_TRUE(
      syslog().wait_for("Error opening file : /sys/class/gpio/gpio9/value,errno:", 1s, mark, kLogError));
  board().hw().clear_faults();

  for (const char* command : {"at+ftm,triggerin=?x", "at+ftm,triggerin=1", "at+ftm,triggerin="})
    EXPECT_EQ(ask_text(command), "ERROR,Invalid Cmd\n") << command;
}

TEST_F(HwTest, TriggerOutAnswersPerTheModeTable) {
  using enum vboard::Triggers::LineFault;
  const struct {
    vboard::Triggers::LineFault out1, out2;
    int mode;
    std::string reply;
  } cases[] = {
      {kNone, kNone, 1, "OK\n"},
      {kNone, kNone, 0, "OK\n"},
      {kStuckLow, kNone, 1, "ERROR,(trigger out 1 value is 0)\n"},
      {kNone, kStuckLow, 1, "ERROR,(trigger out 2 value is 0)\n"},
      {kStuckLow, kStuckLow, 1, "ERROR,(trigger out 1 value and  trigger out 2 value are 0)\n"},
      {kStuckHigh, kNone, 0, "ERROR,(trigger out 1 value is 1)\n"},
      {kStuckHigh, kStuckHigh, 0, "ERROR,(trigger out 1 value and trigger out 2 value are 1)\n"},
      {kNone, kMissing, 1, "ERROR,(get trigger out 1 and trigger out 2 value ifailed)\n"},
      {kMissing, kNone, 0, "ERROR,(get trigger out 1 and trigger out 2 value ifailed)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply + " mode " + std::to_string(c.mode));
    board().triggers().set_fault(1, c.out1);
    board().triggers().set_fault(2, c.out2);
    std::size_t mark = board().hw().write_mark();
    EXPECT_EQ(ask_text((c.mode ? "at+ftm,triggertest=" : "AT+FTM,TRIGGERTEST=") + std::to_string(c.mode)),
              c.reply);
    EXPECT_EQ(writes_to(vboard::Triggers::kDevice, mark),
              (std::vector<std::string>{c.mode ? "3\\n" : "0\\n"}));
  }
  std::size_t mark = board().hw().write_mark();
  for (const char* command : {"at+ftm,triggertest=2", "at+ftm,triggertest=1 ", "at+ftm,triggertest="})
    EXPECT_EQ(ask_text(command), "ERROR,Invalid Cmd\n") << HostClient::escaped(command);
  EXPECT_TRUE(writes_to(vboard::Triggers::kDevice, mark).empty());

  board().triggers().set_present(false);
  EXPECT_EQ(ask_text("at+ftm,triggertest=1"), "ERROR,(/dev/triggerout node doesn't exist)\n");
}

// ---- USB stick ---------------------------------------------------------------

TEST_F(HwTest, UsbStatusFollowsInsertAndRemove) {
  EXPECT_EQ(ask_text("at+ftm,udisk"), "ERROR,Insert or Pull out Usb first\n");
  settled_usage();
  auto status_is = [&](const std::string& text) {
    return wait_until([&] { return board().read_file("/tmp/usbdetect.txt") == text; }, 5s);
  };
  ASSERT_TRUE(board().uevents().usb_stick(true));
  ASSERT_TRUE(status_is("OK,udisk=1\n"));
  EXPECT_EQ(ask_text("at+ftm,udisk"), "OK,udisk=1\n");
  EXPECT_EQ(ask_text("at+ftm,udisk=?"), "OK,udisk=1\n");

  // Events to ignore: a change, paths outside /devices/platform. A marker in
  // the file shows any rewrite. One event at a time (the monitor's small
  // socket buffer drops a burst, as it would the kernel's), each waited for
  // in the monitor's log, which takes events in order.
  board().write_file("/tmp/usbdetect.txt", "marker\n");
  const std::pair<std::string, std::string> ignored[] = {
      {"change", "/devices/platform/soc@0/32f10108.usb/38200000.usb/xhci-hcd.1.auto/usb1/1-1"},
      {"remove", "/devices/virtual/block/loop0"},
      {"add", "/devices/platfor"},
      {"bind", "/devices/platform/soc@0/usb1/1-1"},
  };
  for (const auto& [action, path] : ignored) {
    std::size_t mark = syslog().mark();
    ASSERT_TRUE(board().uevents().send(action, path, "usb"));
    std::string header = action;
    header.append("@").append(path).append("\n");
    ASSERT_TRUE(syslog().wait_exact(header, kLogInfo, 5s, mark));
  }
  EXPECT_EQ(ask_text("at+ftm,udisk"), "marker\n");

  ASSERT_TRUE(board().uevents().usb_stick(false));
  ASSERT_TRUE(status_is("OK,udisk=0\n"));
  EXPECT_EQ(ask_text("AT+FTM,UDISK"), "OK,udisk=0\n");

  ::unlink(board().host_path("/tmp/usbdetect.txt").c_str());
  EXPECT_EQ(ask_text("at+ftm,udisk"), "error");
}

}  // namespace
}  // namespace ftmd::test
