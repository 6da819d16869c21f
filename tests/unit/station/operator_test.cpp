// The operator side and the station's command line: the hook is run with an
// argv (no shell), waited for within its deadline and always reaped; a
// confirm reads one line; everything decided before a unit is touched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "operator.h"
#include "plan.h"
#include "station_cli.h"
#include "terminal.h"
#include "wait_until.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string read_all(std::FILE* file) {
  std::fflush(file);
  std::ifstream in("/proc/self/fd/" + std::to_string(::fileno(file)));
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class HookTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("station-hook-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string script(const std::string& name, const std::string& body) {
    std::string path = (dir_ / name).string();
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
    return path;
  }

  fs::path dir_;
};

TEST_F(HookTest, GetsActionPromptAndSlotButNoShellAndNoOtherDescriptor) {
  // A descriptor opened without O_CLOEXEC, as the web view's accepted
  // connections are, does not reach the hook; nor does the station's stdin.
  const int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 3);
  std::string hook = script("hook",
                            "printf '%s|%s|%s|%s' \"$#\" \"$1\" \"$2\" \"$FTMSTATION_SLOT\"\n"
                            "read line && echo stdin-not-empty\n[ -e /proc/$$/fd/" +
                                std::to_string(fd) + " ] && echo fd-inherited\nexit 0\n");
  HookResult r =
      run_hook(hook, {{"reset-key", "Press the key; $(touch x) `now`"}, {"FTMSTATION_SLOT=b"}, true}, 5s);
  ::close(fd);
  EXPECT_TRUE(r.exited(0)) << r.failure();
  EXPECT_EQ(r.output, "2|reset-key|Press the key; $(touch x) `now`|b");
  EXPECT_FALSE(fs::exists(dir_ / "x"));
  // All it wrote before it ended, also when its end and its output are seen
  // in one poll.
  const std::string loud = script("loud", "printf '%03000d' 0\n");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(run_hook(loud, {{}, {}, true}, 5s).output.size(), 3000u);
}

TEST_F(HookTest, ReportsFailuresAndKillsAHookPastItsDeadlineOrWhenCancelled) {
  EventFd cancel;
  struct Case {
    std::string body;
    std::chrono::milliseconds timeout;
    bool cancelled;
    std::string result;
  };
  const Case cases[] = {
      {"exit 3\n", 5s, false, "exit status 3"},
      {"kill -TERM $$\n", 5s, false, "killed by signal 15"},
      {"sleep 30 &\nsleep 30\n", 300ms, false, "killed after 0.3 s"},
      {"sleep 30 &\nsleep 30\n", 30s, true, "stopped"},
  };
  for (const auto& c : cases) {
    auto start = std::chrono::steady_clock::now();
    std::jthread canceller;
    if (c.cancelled)
      canceller = std::jthread([&] {
        std::this_thread::sleep_for(200ms);
        cancel.signal();
      });
    EXPECT_EQ(run_hook(script("h", c.body), {{"a", "b"}, {}, false, cancel.fd()}, c.timeout).failure(),
              c.result)
        << c.body;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.body;
  }
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left unreaped";
  EXPECT_EQ(run_hook((dir_ / "missing").string(), {}, 5s).failure(), "cannot run: No such file or directory");
  std::ofstream(dir_ / "plain") << "x";
  EXPECT_EQ(run_hook((dir_ / "plain").string(), {}, 5s).failure(), "cannot run: Permission denied");
}

// The terminal answers the only open question, or the one of the slot its
// line names; the end of input goes on at confirmations only.
TEST_F(HookTest, TerminalLinesAnswerTheQuestionTheyName) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::FILE* out = std::tmpfile();
  Console console(out, false);
  OperatorDesk desk;
  std::vector<std::string> said;
  {
    TerminalAnswers terminal(desk, console, fds[0], "ann", {"a", "b"});
    std::optional<Answer> judged, scanned;
    std::jthread a([&] { judged = desk.ask("a", {QuestionKind::kJudge, "Is the LED red?", {}, "LED", {}}); });
    // a asks first: the desk names the slots in the order they asked.
    ASSERT_TRUE(test::wait_until([&] { return desk.open_questions().size() == 1; }, 5s));
    std::jthread b([&] {
      scanned = desk.ask("b", {QuestionKind::kScan, "Scan", "SN[0-9]{2}", "label", {}});
    });
    ASSERT_TRUE(test::wait_until([&] { return desk.open_questions().size() == 2; }, 5s));
    for (const char* line : {"p", "a maybe", "b SN1", "a p", "b SN12"}) terminal.take_line(line);
    a.join();
    b.join();
    ASSERT_TRUE(judged && scanned);
    EXPECT_EQ(judged->value, "pass");
    EXPECT_EQ(judged->who, "ann");
    EXPECT_EQ(judged->channel, "terminal");
    EXPECT_EQ(scanned->value, "SN12");
    ::close(fds[1]);  // the end of input
    EXPECT_EQ(desk.ask("a", {QuestionKind::kConfirm, "Plug it", {}, "t", {}})->value, "yes");
  }
  ::close(fds[0]);
  const std::string text = read_all(out);
  for (const char* expected :
       {"several slots ask (a, b): begin the answer with the slot's name\n",
        "[a]      not taken: a judgement is pass or fail, not \"maybe\"\n",
        "[b]      not taken: the scanned value \"SN1\" does not match the pattern \"SN[0-9]{2}\"\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << text;
  std::fclose(out);
}

TEST(StationArgs, RefusesBadCommandLines) {
  struct Case {
    std::vector<const char*> args;
    std::string error;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--plan"}, "--plan needs a value"},
      {{"--plan="}, "--plan needs a value"},
      {{"--yes=1"}, "--yes takes no value"},
      {{"--port", "/dev/a", "--usb-serial", "1"}, "give one of --port, --usb-serial and --usb-location"},
      {{"--units", "u.csv", "--sn", "S"}, "give either --units or --sn/--csn/--mac, not both"},
      {{"--mac", "001B2C3D4E5F"}, "--mac takes the pair LAN4,LAN3"},
      {{"--web", "8080"}, "bad --web \"8080\" (ADDR:PORT)"},
      {{"--web", "127.0.0.1:99999"}, "bad --web \"127.0.0.1:99999\" (ADDR:PORT)"},
      {{"--port-wait", "soon"}, "bad --port-wait \"soon\" (seconds from 0 to 3600)"},
      {{"--db", "sqlite:l.db", "--sn", "S"},
       "give either --db or --units/--sn/--csn/--mac: with the line database units take their identity from "
       "it"},
      {{"--db", "sqlite:l.db", "--count", "0"}, "bad --count \"0\" (a whole number of units from 1)"},
      {{"--units", "u.csv", "--retest"}, "--retest is for runs on the line database (--db)"},
      {{"--slot", "a"}, "--slot takes NAME=PORT, not \"a\""},
      {{"--slot", "a b=/dev/x"}, "bad slot name \"a b\" (letters, digits, \"_\" and \"-\", at most 32)"},
      {{"--slot", "a=/dev/x", "--slot", "a=/dev/y"}, "slot a twice"},
      {{"--slot", "a=/dev/x", "--slot", "b=/dev/x"}, "slot b: /dev/x is another slot's port too"},
      {{"--slot", "a=/dev/x", "--port", "/dev/y"},
       "give either --slot NAME=PORT for each slot or one --port, --usb-serial or --usb-location"},
      {{"--station-file", "/nonexistent.yaml"},
       "/nonexistent.yaml: cannot read the station file: No such file or directory"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_station_args(c.args).error, c.error);
  const char* good[] = {"--usb-location=1-2",
                        "--mac",
                        "00:1B:2C:3D:4E:5F,001B2C3D4E60",
                        "--web",
                        "[::1]:0",
                        "--port-wait",
                        "2.5",
                        "--yes"};
  auto parsed = parse_station_args(good);
  ASSERT_TRUE(parsed.options) << parsed.error;
  ASSERT_EQ(parsed.options->slots.size(), 1u);
  EXPECT_EQ(parsed.options->slots[0].port.usb_location, "1-2");
  EXPECT_EQ(parsed.options->slots[0].port.path, "");
  EXPECT_EQ(parsed.options->port_wait, 2500ms);
  EXPECT_TRUE(parsed.options->yes);
  EXPECT_EQ(parse_station_args({}).options->slots[0].port.path, "/dev/ttyACM0");
}

// A station file gives what the command line does not; a bad one is named
// by file and line.
TEST_F(HookTest, StationFileFillsWhatTheCommandLineLeaves) {
  const std::string file = (dir_ / "station.yaml").string();
  std::ofstream(file)
      << "station: st3\nslots:\n  - {name: a, port: /dev/ttyACM0}\n  - name: b\n"
         "    usb_serial: \"0042\"\nrecords: /srv/rec\noperator: ann\non_record: /usr/bin/mes-push\n";
  const char* args[] = {"--station-file", file.c_str(), "--operator", "bob", "--sn", "S"};
  auto parsed = parse_station_args(args);
  ASSERT_TRUE(parsed.options) << parsed.error;
  const StationOptions& o = *parsed.options;
  EXPECT_EQ(o.station, "st3");
  EXPECT_EQ(o.operator_name, "bob");
  EXPECT_EQ(o.records, "/srv/rec");
  EXPECT_EQ(o.on_record, "/usr/bin/mes-push");
  ASSERT_EQ(o.slots.size(), 2u);
  EXPECT_EQ(o.slots[1].name, "b");
  EXPECT_EQ(o.slots[1].port.usb_serial, "0042");
  const char* one_port[] = {"--station-file", file.c_str(), "--port", "/dev/ttyUSB3"};
  EXPECT_EQ(parse_station_args(one_port).options->slots.size(), 1u);  // the command line's slot wins

  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"station: a\nslot: []\n",
       ":2: unknown key \"slot\" in the station file (known: station, slots, database, "
       "records, web, operator_hook, on_record, operator, plan)"},
      {"slots:\n  - {name: a, port: /dev/x, usb_serial: \"1\"}\n",
       ":2: slot a needs exactly one of port, usb_serial and usb_location"},
      {"slots:\n  - {name: a, port: /dev/x}\n  - {name: b, port: /dev/x}\n",
       ":3: slot b: /dev/x is another slot's port too"},
      {"station: [1]\n", ":1: station must be a text"},
  };
  for (const auto& c : cases) {
    std::ofstream(file) << c.text;
    auto bad = parse_station_args(std::vector<const char*>{"--station-file", file.c_str()});
    EXPECT_EQ(bad.error, file + c.error);
    EXPECT_TRUE(bad.in_file);
  }
}

// The run's exit statuses for everything that is decided before a unit is
// touched: the plan, the units, and a port that is not there (also when the
// operator presses Ctrl-C while the station waits for it).
TEST_F(HookTest, RunStationExitStatusBeforeAnyUnit) {
  std::ofstream(dir_ / "bad.yaml") << "name: x\nsteps:\n  - name: a\n    send: b\n";
  std::ofstream(dir_ / "bad.csv") << "sn,csn,lan4_mac,lan3_mac\nS1,C1,001B2C3D4E5F\n";
  std::ofstream(dir_ / "good.csv") << "sn,csn,lan4_mac,lan3_mac\nS1,C1,001B2C3D4E5F,001B2C3D4E60\n";
  struct Case {
    std::vector<std::string> args;  // one value: --port-wait for a port that is not there
    int status;
    std::string output;  // stdout and stderr
  };
  const std::string d = dir_.string(), no_port = d + "/no-such-port";
  const Case cases[] = {
      {{"--plan", d + "/bad.yaml"},
       kExitUsage,
       "ftmstation: " + d + "/bad.yaml:3: step \"a\" has no expect, match or measure for its reply\n"},
      {{"--units", d + "/bad.csv"},
       kExitUsage,
       "ftmstation: " + d + "/bad.csv:2: 3 values, the header names 4 columns\n"},
      {{"--sn", "S1"},
       kExitUsage,
       "ftmstation: command line: no csn (the plan uses {csn})\n"
       "ftmstation: command line: no lan4_mac (the plan uses {lan4_mac})\n"
       "ftmstation: command line: no lan3_mac (the plan uses {lan3_mac})\n"
       "ftmstation: nothing was written to any unit\n"},
      {{"--units", d + "/good.csv", "--operator-hook", d + "/good.csv"},
       kExitUsage,
       "ftmstation: operator hook " + d + "/good.csv: Permission denied\n"},
      {{"--units", d + "/good.csv", "--check"},
       kExitAllPassed,
       "plan \"default\" (" + default_plan_path() + "): 31 steps; 1 unit checked, all good\n"},
      {{"0"},
       kExitPort,
       "ftmstation: " + no_port + ": no port " + no_port +
           " (it does not exist)\n"
           "STOP at unit 1/1 S1: the port cannot be used; the remaining units were not tested\n"
           "0 of 1 unit passed; JUnit report not written\n"},
      // Ctrl-C while waiting for the port: an interrupted run, not a port problem.
      {{"60"},
       kExitSomeFailed,
       "interrupted: 0 of 1 units tested\n0 of 1 unit passed; JUnit report not written\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    const bool interrupt = args == std::vector<std::string>{"60"};
    if (args.size() == 1)
      args = {"--units", d + "/good.csv", "--port", no_port, "--records", d + "/rec", "--port-wait", args[0]};
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const auto& a : args) argv.push_back(a.c_str());
    auto parsed = parse_station_args(argv);
    ASSERT_TRUE(parsed.options) << parsed.error;
    std::FILE* out = std::tmpfile();
    int status = -1;
    std::thread run([&] { status = run_station(*parsed.options, out, out, -1); });
    if (interrupt) {
      // The interrupt handler is in place once the station says it waits.
      EXPECT_TRUE(test::wait_until([&] { return read_all(out).starts_with("waiting for the device"); }, 20s));
      ::kill(::getpid(), SIGINT);
    }
    run.join();
    EXPECT_EQ(status, c.status) << args[0];
    std::string text = read_all(out);
    if (interrupt) text.erase(0, text.find('\n') + 1);  // the "waiting for the device" line
    EXPECT_EQ(text, c.output) << args[0];
    std::fclose(out);
  }
}

}  // namespace
}  // namespace ftmd::station
