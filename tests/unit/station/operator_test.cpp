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

TEST_F(HookTest, GetsActionAndPromptAsArgumentsOnlyAndNoShell) {
  // A descriptor opened without O_CLOEXEC, as the web view's accepted
  // connections are, does not reach the hook; nor does the station's stdin.
  const int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 3);
  const std::string args = (dir_ / "args").string();
  std::string hook =
      script("hook", "printf '%s|%s|%s' \"$#\" \"$1\" \"$2\" > '" + args +
                         "'\nread line && echo stdin-not-empty >> '" + args + "'\n[ -e /proc/$$/fd/" +
                         std::to_string(fd) + " ] && echo fd-inherited >> '" + args + "'\nexit 0\n");
  EXPECT_EQ(run_hook(hook, {"reset-key", "Press the key; $(touch x) `now`"}, 5s), "");
  ::close(fd);
  std::ifstream in(args);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            "2|reset-key|Press the key; $(touch x) `now`");
  EXPECT_FALSE(fs::exists(dir_ / "x"));
}

TEST_F(HookTest, ReportsFailuresAndKillsAHookPastItsDeadline) {
  struct Case {
    std::string body;
    std::chrono::milliseconds timeout;
    std::string result;
  };
  const Case cases[] = {
      {"exit 3\n", 5s, "exit status 3"},
      {"kill -TERM $$\n", 5s, "killed by signal 15"},
      {"sleep 30 &\nsleep 30\n", 300ms, "killed after 0.3 s"},
  };
  for (const auto& c : cases) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_hook(script("h", c.body), {"a", "b"}, c.timeout), c.result) << c.body;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.body;
  }
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left unreaped";
  EXPECT_EQ(run_hook((dir_ / "missing").string(), {}, 5s), "cannot run: No such file or directory");
  std::ofstream(dir_ / "plain") << "x";
  EXPECT_EQ(run_hook((dir_ / "plain").string(), {}, 5s), "cannot run: Permission denied");
}

TEST_F(HookTest, ConfirmWaitsForOneLineUnlessYes) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::FILE* out = std::tmpfile();
  TerminalOperator waits("", false, out, fds[0]);
  ASSERT_EQ(::write(fds[1], "\nsecond\n", 8), 8);
  waits.prompt("trigger-plug", "Plug it", true);  // takes the first line only
  char rest[16] = {};
  ASSERT_EQ(::read(fds[0], rest, sizeof rest), 7);
  EXPECT_STREQ(rest, "second\n");
  TerminalOperator("", true, out, fds[0]).prompt("trigger-plug", "Plug it", true);  // would block if it read
  ::close(fds[1]);
  waits.prompt("", "Last", true);  // end of input goes on
  ::close(fds[0]);
  EXPECT_EQ(
      read_all(out),
      "  >> Plug it\n     press Enter when done \n  >> Plug it\n  >> Last\n     press Enter when done \n");
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
  EXPECT_EQ(parsed.options->port.usb_location, "1-2");
  EXPECT_EQ(parsed.options->port.path, "");
  EXPECT_EQ(parsed.options->port_wait, 2500ms);
  EXPECT_TRUE(parsed.options->yes);
  EXPECT_EQ(parse_station_args({}).options->port.path, "/dev/ttyACM0");
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
       "ftmstation: " + d + "/bad.yaml:3: step \"a\" has no expect or match for its reply\n"},
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
       "plan \"default\" (" + default_plan_path() + "): 29 steps; 1 unit checked, all good\n"},
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
