#include <dirent.h>

#include <algorithm>
#include <filesystem>

#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "board_fixture.h"

namespace ftmd::test {
namespace {

using vboard::HostClient;
using vboard::HwTree;
using Clock = std::chrono::steady_clock;
using Fault = HwTree::Fault;
using LineFault = vboard::Triggers::LineFault;

constexpr char kKeyReaderReady[] = "--Thread-- /dev/input/by-path/platform-keys-event device opened OK\n";

std::size_t count_entries(const std::string& dir) {
  std::size_t n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

class HwTest : public BoardTest {
 protected:
  // The daemon's host pid: the child of the board's pid 1 named ftmd.
  pid_t daemon_pid() {
    pid_t found = -1;
    DIR* d = ::opendir("/proc");
    while (dirent* e = d ? ::readdir(d) : nullptr) {
      pid_t pid = std::atoi(e->d_name);
      if (pid <= 0) continue;
      std::ifstream status("/proc/" + std::string(e->d_name) + "/status");
      std::string line, name;
      pid_t ppid = -1;
      while (std::getline(status, line)) {
        if (line.starts_with("Name:")) name = line.substr(line.find_first_not_of(" \t", 5));
        if (line.starts_with("PPid:")) ppid = std::atoi(line.c_str() + 5);
      }
      if (name == "ftmd" && ppid == board().init_pid()) found = pid;
    }
    if (d) ::closedir(d);
    return found;
  }

  // The daemon's threads and open files ("fd -> target"), to show that a
  // request left nothing behind.
  struct Resources {
    std::size_t threads = 0;
    std::vector<std::string> fds;
    bool operator==(const Resources&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Resources& r) {
      os << r.threads << " threads; fds:";
      for (const auto& fd : r.fds) os << " " << fd;
      return os;
    }
  };
  Resources resources(pid_t pid) {
    std::string base = "/proc/" + std::to_string(pid);
    Resources r{count_entries(base + "/task"), {}};
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(base + "/fd", ec))
      r.fds.push_back(entry.path().filename().string() + "->" +
                      std::filesystem::read_symlink(entry, ec).string());
    std::sort(r.fds.begin(), r.fds.end());
    return r;
  }

  // The daemon's resources once they equal `expected`, or after 2 s. A joined
  // thread can still be listed in /proc for a moment after the join returned
  // (the kernel wakes the joiner before the thread is gone; under qemu-user
  // the host thread ends later still).
  Resources resources_back_to(pid_t pid, const Resources& expected) {
    auto deadline = Clock::now() + 2s;
    for (;; std::this_thread::sleep_for(5ms)) {
      Resources r = resources(pid);
      if (r == expected || Clock::now() > deadline) return r;
    }
  }

  // The daemon's resources once start-up is over in every thread: the USB
  // monitor's socket is bound and the logic MCU receiver has its port open
  // (both come a little after the daemon first serves).
  Resources settled_resources(pid_t pid) {
    EXPECT_TRUE(wait_uevent_listener(pid));
    std::error_code ec;
    std::string logic_port =
        board().host_path(std::filesystem::read_symlink(board().host_path("/dev/ttymxc2"), ec).string());
    auto deadline = Clock::now() + 5s;
    for (;; std::this_thread::sleep_for(5ms)) {
      Resources r = resources(pid);
      for (const auto& fd : r.fds)
        if (fd.ends_with("->" + logic_port)) return r;
      if (Clock::now() > deadline) {
        ADD_FAILURE() << "the logic MCU port " << logic_port << " never opened: " << r;
        return r;
      }
    }
  }

  // Writes to the LED brightness files since `mark`, as "red=1\x00"; a
  // write that failed is marked " failed".
  std::vector<std::string> led_writes(std::size_t mark) {
    std::vector<std::string> out;
    for (const auto& w : board().hw().writes(mark)) {
      if (!w.path.starts_with("/sys/class/leds/")) continue;
      std::string name = w.path.substr(16, w.path.find('/', 16) - 16);
      out.push_back(name + "=" + HostClient::escaped(w.bytes) + (w.error ? " failed" : ""));
    }
    return out;
  }

  // Waits until the daemon has a kernel device-event socket bound to its own
  // port id (its pid inside the board): events sent before that are lost.
  bool wait_uevent_listener(pid_t pid, std::chrono::milliseconds timeout = 5s) {
    std::string ns_pid;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("NSpid:")) ns_pid = line.substr(line.find_last_of(" \t") + 1);
    auto deadline = Clock::now() + timeout;
    for (; Clock::now() < deadline; std::this_thread::sleep_for(5ms)) {
      // "sk Eth Pid Groups ...": protocol 15 is NETLINK_KOBJECT_UEVENT.
      std::ifstream netlink("/proc/" + std::to_string(pid) + "/net/netlink");
      std::string header;
      std::getline(netlink, header);
      for (std::string sk, eth, port, groups, rest;
           netlink >> sk >> eth >> port >> groups && std::getline(netlink, rest);)
        if (eth == "15" && port == ns_pid && groups == "00000001") return true;
    }
    return false;
  }

  std::vector<std::string> writes_to(const std::string& path, std::size_t mark) {
    std::vector<std::string> out;
    for (const auto& w : board().hw().writes_to(path, mark)) out.push_back(HostClient::escaped(w.bytes));
    return out;
  }
};

// ---- LED ---------------------------------------------------------------------

TEST_F(HwTest, LedPatternsWriteExactlyTheirBytesInOrder) {
  struct Case {
    std::string command;
    std::string reply;
    std::vector<std::string> writes;
  };
  const Case cases[] = {
      {"at+ftm,led=1,255,0,0", "OK\n", {"red=1\\x00", "green=0\\x00", "blue=0\\x00"}},
      {"at+ftm,led=1,0,255,0", "OK\n", {"green=1\\x00", "red=0\\x00", "blue=0\\x00"}},
      {"at+ftm,led=1,0,0,255", "OK\n", {"blue=1\\x00", "green=0\\x00", "red=0\\x00"}},
      {"at+ftm,led=1,255,255,255", "OK\n", {"red=1\\x00", "green=1\\x00", "blue=1\\x00"}},
      {"at+ftm,led=1,255,255,0", "OK\n", {"blue=0\\x00", "red=1\\x00", "green=1\\x00"}},
      {"at+ftm,led=1,0,255,255", "OK\n", {"red=0\\x00", "green=1\\x00", "blue=1\\x00"}},
      {"at+ftm,led=1,255,0,255", "OK\n", {"green=0\\x00", "red=1\\x00", "blue=1\\x00"}},
      {"at+ftm,led=1,0,0,0", "OK\n", {"red=0\\x00", "green=0\\x00", "blue=0\\x00"}},
      {"AT+FTM,LED=1,0,0,255", "OK\n", {"blue=1\\x00", "green=0\\x00", "red=0\\x00"}},
      // Patterns are compared whole and case-sensitively; nothing is written.
      {"at+ftm,led=1,255,0,0 ", " ERROR,Invaild Cmd\n", {}},
      {"at+ftm,led=1,255,0,0\n", " ERROR,Invaild Cmd\n", {}},
      {"at+ftm,led=1,0,0", " ERROR,Invaild Cmd\n", {}},
      {"at+ftm,led=", " ERROR,Invaild Cmd\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(HostClient::escaped(c.command));
    std::size_t mark = board().hw().write_mark();
    EXPECT_EQ(ask_text(c.command), c.reply);
    EXPECT_EQ(led_writes(mark), c.writes);
  }
  // The last pattern left blue alone on.
  EXPECT_EQ(board().leds().brightness("red"), 0);
  EXPECT_EQ(board().leds().brightness("green"), 0);
  EXPECT_EQ(board().leds().brightness("blue"), 1);
}

TEST_F(HwTest, LedFaultsAnswerAsTheirTablesSay) {
  const std::string red = vboard::Leds::brightness_path("red");
  const std::string green = vboard::Leds::brightness_path("green");
  const std::string blue = vboard::Leds::brightness_path("blue");
  struct Case {
    const char* name;
    std::function<void()> fault;
    std::string pattern;
    std::string reply;
    std::vector<std::string> writes;
    std::string error_log;  // one level 3 line the request must log, if any
  };
  const Case cases[] = {
      {"no red driver",
       [&] { board().leds().remove("red"); },
       "1,0,0,0",
       "can not find led driver\n",
       {},
       "/sys/class/leds/red does not exist\n"},
      {"no red driver, unknown pattern",
       [&] { board().leds().remove("red"); },
       "x",
       "can not find led driver\n",
       {},
       ""},
      {"no green driver, red lit",
       [&] { board().leds().remove("green"); },
       "1,255,0,0",
       "OK\n",
       {"red=1\\x00", "blue=0\\x00"},
       "/sys/class/leds/green does not exist\n"},
      {"no green driver, green lit",
       [&] { board().leds().remove("green"); },
       "1,0,255,0",
       "green driver broken\n",
       {},
       ""},
      {"no blue driver, group",
       [&] { board().leds().remove("blue"); },
       "1,0,255,255",
       "check led: blue led error, \n",
       {"red=0\\x00", "green=1\\x00"},
       "cannot read blue the file\n"},
      {"red unwritable",
       [&] { board().hw().set_fault(red, Fault::kWriteFails); },
       "1,255,0,0",
       "red state error\n",
       {"red=1\\x00 failed"},
       "write 0 value to red/brightness error"},
      {"red cannot be opened",
       [&] { board().hw().set_fault(red, Fault::kOpenFails); },
       "1,255,0,0",
       "red state error\n",
       {},
       "cannot read red the file\n"},
      {"blue cannot be opened",
       [&] { board().hw().set_fault(blue, Fault::kOpenFails); },
       "1,0,0,255",
       "blue state error\n",
       {},
       "cannot read blue the file\n"},
      {"switch-off failure is best effort",
       [&] { board().hw().set_fault(green, Fault::kWriteFails); },
       "1,255,0,0",
       "OK\n",
       {"red=1\\x00", "green=0\\x00 failed", "blue=0\\x00"},
       "write 0 value to green/brightness error"},
      {"red and blue fail, blue reported",
       [&] {
         board().hw().set_fault(red, Fault::kWriteFails);
         board().hw().set_fault(blue, Fault::kWriteFails);
       },
       "1,255,255,255",
       "check led: blue led error, \n",
       {"red=1\\x00 failed", "green=1\\x00", "blue=1\\x00 failed"},
       ""},
      {"red and green fail, green reported",
       [&] {
         board().hw().set_fault(red, Fault::kOpenFails);
         board().hw().set_fault(green, Fault::kOpenFails);
       },
       "1,0,0,0",
       "check led: green led error, \n",
       {"blue=0\\x00"},
       "cannot read green the file\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.fault();
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
  pid_t pid = daemon_pid();
  ASSERT_GT(pid, 0);
  Resources before = settled_resources(pid);
  for (const char* command : {"at+ftm,keytest=1", "AT+FTM,KEYTEST=1"}) {
    SCOPED_TRACE(command);
    std::size_t mark = syslog().mark();
    ASSERT_TRUE(client().send(command));
    ASSERT_TRUE(syslog().wait_exact(kKeyReaderReady, kLogInfo, 5s, mark));
    // Neither a release, a repeat nor another key counts as a press.
    ASSERT_TRUE(board().keypad().inject(vboard::Keypad::kEvKey, vboard::Keypad::kResetKeyCode, 0));
    ASSERT_TRUE(board().keypad().inject(vboard::Keypad::kEvKey, vboard::Keypad::kResetKeyCode, 2));
    ASSERT_TRUE(board().keypad().inject(vboard::Keypad::kEvKey, 3, 1));
    ASSERT_TRUE(syslog().wait_exact("code: 3\n\n", kLogInfo, 5s, mark));
    EXPECT_TRUE(client().read_available(200ms).empty()) << "answered before the key was pressed";

    auto pressed = Clock::now();
    ASSERT_TRUE(board().keypad().inject(vboard::Keypad::kEvKey, vboard::Keypad::kResetKeyCode, 1));
    auto reply = client().read_frame(5s);
    auto latency = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - pressed);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "OK\n");
    EXPECT_LT(latency, 100ms);
    std::printf("key press to reply: %lld us\n", static_cast<long long>(latency.count()));
    EXPECT_TRUE(syslog().wait_exact("Reset key event are detected, notify caller\n", kLogInfo, 1s, mark));

    ASSERT_TRUE(wait_back_in_read(mark));
    EXPECT_EQ(resources_back_to(pid, before), before) << "a reader thread or fd outlived the request";
  }
}

// The one slow test: 15 s without a press.
TEST_F(HwTest, KeyTestWithoutPressAnswersEmptyAfterFifteenSeconds) {
  pid_t pid = daemon_pid();
  ASSERT_GT(pid, 0);
  Resources before = settled_resources(pid);
  std::size_t mark = syslog().mark();
  auto start = Clock::now();
  ASSERT_TRUE(client().send("at+ftm,keytest=1"));
  ASSERT_TRUE(syslog().wait_exact(kKeyReaderReady, kLogInfo, 5s, mark));
  ASSERT_TRUE(board().keypad().inject(vboard::Keypad::kEvKey, vboard::Keypad::kResetKeyCode, 0));
  auto reply = client().read_frame(25s);
  auto waited = Clock::now() - start;
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->raw, HostClient::expected_reply(""));
  EXPECT_GE(waited, 14500ms);
  EXPECT_LT(waited, 17s);
  for (const char* line : {"oh, this is timeout for key testing case.\n",
                           "try to kill the background thread...\n", "the child thread killed[OK]\n"})
    EXPECT_TRUE(syslog().wait_exact(line, kLogInfo, 1s, mark)) << line;
  EXPECT_TRUE(syslog().wait_for("would quit for signal trigger\n", 1s, mark, kLogInfo));
  ASSERT_TRUE(wait_back_in_read(mark));
  EXPECT_EQ(resources_back_to(pid, before), before) << "the stopped reader left a thread or fd";

  // The next request starts afresh.
  mark = syslog().mark();
  ASSERT_TRUE(client().send("at+ftm,keytest=1"));
  ASSERT_TRUE(syslog().wait_exact(kKeyReaderReady, kLogInfo, 5s, mark));
  ASSERT_TRUE(board().keypad().press_reset_key());
  auto second = client().read_frame(5s);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->text, "OK\n");
}

TEST_F(HwTest, KeyTestRejectsOtherTextsAndAnswersAtOnceWithoutADevice) {
  std::size_t mark = syslog().mark();
  for (const char* command :
       {"at+ftm,keytest=0", "at+ftm,keytest=1 ", "at+ftm,keytest=1\n", "at+ftm,keytest="})
    EXPECT_EQ(ask_text(command), "ERROR,Invalid Cmd\n") << HostClient::escaped(command);
  EXPECT_EQ(syslog().count("now, will create the thread", mark), 0u);

  board().keypad().set_present(false);
  mark = syslog().mark();
  auto start = Clock::now();
  auto reply = ask("at+ftm,keytest=1", 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->text, "");
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(syslog().wait_exact("failed to open the device\n", kLogInfo, 1s, mark));
}

// ---- Triggers ----------------------------------------------------------------

TEST_F(HwTest, TriggerInAnswersPerTheInputTable) {
  struct Case {
    int input;   // gpio6
    int detect;  // gpio9
    std::string reply;
  };
  const Case cases[] = {
      {0, 0, "ERROR,(Not detected trigger-in and trigger-in value is error)\n"},
      {0, 1, "OK,triggerin=1\n"},
      {1, 0, "ERROR,(Not detected trigger-in)\n"},
      {1, 1, "OK,triggerin=0\n"},
  };
  const std::string export_node = "/sys/class/gpio/export";
  std::size_t first = board().hw().write_mark();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    board().gpio().set_input(6, c.input);
    board().gpio().set_input(9, c.detect);
    EXPECT_EQ(ask_text("at+ftm,triggerin=?"), c.reply);
  }
  // Exported once, the input line first, the bare numbers.
  EXPECT_EQ(writes_to(export_node, first), (std::vector<std::string>{"6", "9"}));

  std::size_t mark = syslog().mark();
  board().gpio().set_input(6, 0);
  board().gpio().set_input(9, 1);
  EXPECT_EQ(ask_text("AT+FTM,TRIGGERIN=?"), "OK,triggerin=1\n");
  EXPECT_EQ(syslog().count("Node1 exists", mark), 0u);

  board().hw().set_fault("/sys/class/gpio/gpio9/value", Fault::kOpenFails);
  EXPECT_EQ(ask_text("at+ftm,triggerin=?"), "ERROR,(Not detected trgger-in or trigger-det)\n");
  EXPECT_TRUE(
      syslog().wait_for("Error opening file : /sys/class/gpio/gpio9/value,errno:", 1s, mark, kLogError));
  board().hw().clear_faults();

  for (const char* command : {"at+ftm,triggerin=?x", "at+ftm,triggerin=1", "at+ftm,triggerin="})
    EXPECT_EQ(ask_text(command), "ERROR,Invalid Cmd\n") << command;
}

TEST_F(HwTest, TriggerOutAnswersPerTheModeTable) {
  struct Case {
    LineFault out1;
    LineFault out2;
    int mode;
    std::string reply;
  };
  using enum LineFault;
  const Case cases[] = {
      {kNone, kNone, 1, "OK\n"},
      {kNone, kNone, 0, "OK\n"},
      {kStuckLow, kNone, 1, "ERROR,(trigger out 1 value is 0)\n"},
      {kNone, kStuckLow, 1, "ERROR,(trigger out 2 value is 0)\n"},
      {kStuckLow, kStuckLow, 1, "ERROR,(trigger out 1 value and  trigger out 2 value are 0)\n"},
      {kStuckHigh, kNone, 0, "ERROR,(trigger out 1 value is 1)\n"},
      {kNone, kStuckHigh, 0, "ERROR,(trigger out 2 value is 1)\n"},
      {kStuckHigh, kStuckHigh, 0, "ERROR,(trigger out 1 value and trigger out 2 value are 1)\n"},
      {kNone, kMissing, 1, "ERROR,(get trigger out 1 and trigger out 2 value ifailed)\n"},
      {kMissing, kNone, 0, "ERROR,(get trigger out 1 and trigger out 2 value ifailed)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply + " mode " + std::to_string(c.mode));
    board().triggers().set_fault(1, c.out1);
    board().triggers().set_fault(2, c.out2);
    std::size_t mark = board().hw().write_mark();
    EXPECT_EQ(ask_text("at+ftm,triggertest=" + std::to_string(c.mode)), c.reply);
    EXPECT_EQ(writes_to(vboard::Triggers::kDevice, mark),
              (std::vector<std::string>{c.mode == 1 ? "3\\n" : "0\\n"}));
  }
  board().triggers().set_fault(1, kNone);
  board().triggers().set_fault(2, kNone);
  EXPECT_EQ(ask_text("AT+FTM,TRIGGERTEST=1"), "OK\n");

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
  ASSERT_TRUE(wait_uevent_listener(daemon_pid()));

  // Waits until the monitor has taken in an event it logs as `header`; the
  // monitor handles events in order, so everything before it is done too.
  auto wait_handled = [&](std::size_t mark, const std::string& header) {
    return syslog().wait_exact(header + "\n", kLogInfo, 5s, mark).has_value();
  };
  auto wait_status = [&](const std::string& text) {
    auto deadline = Clock::now() + 5s;
    for (; Clock::now() < deadline; std::this_thread::sleep_for(10ms))
      if (board().read_file("/tmp/usbdetect.txt") == text) return true;
    return false;
  };

  ASSERT_TRUE(board().uevents().usb_stick(true));
  ASSERT_TRUE(wait_status("OK,udisk=1\n"));
  EXPECT_EQ(ask_text("at+ftm,udisk"), "OK,udisk=1\n");
  EXPECT_EQ(ask_text("at+ftm,udisk=?"), "OK,udisk=1\n");

  // Events to ignore: a change, paths outside /devices/platform. A marker in
  // the file shows any rewrite. One event at a time: the monitor's small
  // socket buffer drops events sent in a burst, as it would the kernel's; the
  // last one only shows that the monitor is done with those before it.
  board().write_file("/tmp/usbdetect.txt", "marker\n");
  const std::pair<std::string, std::string> ignored[] = {
      {"change", "/devices/platform/soc@0/32f10108.usb/38200000.usb/xhci-hcd.1.auto/usb1/1-1"},
      {"remove", "/devices/virtual/block/loop0"},
      {"add", "/devices/virtual/net/veth0"},
      {"add", "/devices/platfor"},
      {"ADD", "/devices/platform/soc@0/usb1/1-1"},
      {"bind", "/devices/platform/soc@0/usb1/1-1"},
  };
  for (const auto& [action, path] : ignored) {
    std::size_t mark = syslog().mark();
    ASSERT_TRUE(board().uevents().send(action, path, "usb"));
    ASSERT_TRUE(wait_handled(mark, action + "@" + path));
  }
  EXPECT_EQ(ask_text("at+ftm,udisk"), "marker\n");

  ASSERT_TRUE(board().uevents().usb_stick(false));
  ASSERT_TRUE(wait_status("OK,udisk=0\n"));
  EXPECT_EQ(ask_text("AT+FTM,UDISK"), "OK,udisk=0\n");

  ::unlink(board().host_path("/tmp/usbdetect.txt").c_str());
  EXPECT_EQ(ask_text("at+ftm,udisk"), "error");
}

}  // namespace
}  // namespace ftmd::test
