// The operator side: the hook is run with an argv (no shell), waited for
// within its deadline and always reaped; a confirm reads one line.
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

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string read_path(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
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
  std::string read(const std::string& name) {
    std::ifstream in(dir_ / name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  fs::path dir_;
};

TEST_F(HookTest, GetsActionAndPromptAsArgumentsWithoutAShell) {
  std::string hook = script("hook", "printf '%s|%s|%s' \"$#\" \"$1\" \"$2\" > '" + (dir_ / "args").string() +
                                        "'\nread line && echo stdin-not-empty >> '" +
                                        (dir_ / "args").string() + "'\nexit 0\n");
  EXPECT_EQ(run_hook(hook, {"reset-key", "Press the key; $(touch x) `now`"}, 5s), "");
  EXPECT_EQ(read("args"), "2|reset-key|Press the key; $(touch x) `now`");
  EXPECT_FALSE(fs::exists(dir_ / "x"));
}

TEST_F(HookTest, InheritsNoDescriptorBeyondTheStandardThree) {
  // A descriptor opened without O_CLOEXEC, as the web view's accepted
  // connections are.
  int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 3);
  std::string hook = script("fds", "[ -e /proc/$$/fd/" + std::to_string(fd) + " ] && exit 3\nexit 0\n");
  EXPECT_EQ(run_hook(hook, {"a", "b"}, 5s), "");
  ::close(fd);
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
  // No child is left unreaped.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
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
  TerminalOperator yes("", true, out, fds[0]);
  yes.prompt("trigger-plug", "Plug it", true);  // would block if it read
  ::close(fds[1]);
  waits.prompt("", "Last", true);  // end of input goes on
  ::close(fds[0]);
  std::rewind(out);
  char text[512] = {};
  std::fread(text, 1, sizeof text - 1, out);
  std::fclose(out);
  EXPECT_STREQ(
      text,
      "  >> Plug it\n     press Enter when done \n  >> Plug it\n  >> Last\n     press Enter when done \n");
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
  };
  for (const auto& c : cases) {
    auto parsed = parse_station_args(c.args);
    EXPECT_FALSE(parsed.options) << c.error;
    EXPECT_EQ(parsed.error, c.error);
  }
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
// touched: the plan, the units, and a port that is not there.
TEST_F(HookTest, RunStationExitStatusBeforeAnyUnit) {
  std::ofstream(dir_ / "bad.yaml") << "name: x\nsteps:\n  - name: a\n    send: b\n";
  std::ofstream(dir_ / "bad.csv") << "sn,csn,lan4_mac,lan3_mac\nS1,C1,001B2C3D4E5F\n";
  std::ofstream(dir_ / "good.csv") << "sn,csn,lan4_mac,lan3_mac\nS1,C1,001B2C3D4E5F,001B2C3D4E60\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const std::string d = dir_.string();
  const Case cases[] = {
      {{"--plan", d + "/bad.yaml"},
       kExitUsage,
       "",
       "ftmstation: " + d + "/bad.yaml:3: step \"a\" has no expect or match for its reply\n"},
      {{"--units", d + "/bad.csv"},
       kExitUsage,
       "",
       "ftmstation: " + d + "/bad.csv:2: 3 values, the header names 4 columns\n"},
      {{"--sn", "S1"},
       kExitUsage,
       "",
       "ftmstation: command line: no csn (the plan uses {csn})\n"
       "ftmstation: command line: no lan4_mac (the plan uses {lan4_mac})\n"
       "ftmstation: command line: no lan3_mac (the plan uses {lan3_mac})\n"
       "ftmstation: nothing was written to any unit\n"},
      {{"--units", d + "/good.csv", "--operator-hook", d + "/good.csv"},
       kExitUsage,
       "",
       "ftmstation: operator hook " + d + "/good.csv: Permission denied\n"},
      {{"--units", d + "/good.csv", "--check"},
       kExitAllPassed,
       "plan \"default\" (" + default_plan_path() + "): 29 steps; 1 unit checked, all good\n",
       ""},
      {{"--units", d + "/good.csv", "--port", d + "/no-such-port", "--port-wait", "0", "--records",
        d + "/rec"},
       kExitPort,
       "STOP at unit 1/1 S1: the port cannot be used; the remaining units were not tested\n"
       "0 of 1 unit passed; JUnit report not written\n",
       "ftmstation: " + d + "/no-such-port: no port " + d + "/no-such-port (it does not exist)\n"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv;
    for (const auto& a : c.args) argv.push_back(a.c_str());
    auto parsed = parse_station_args(argv);
    ASSERT_TRUE(parsed.options) << parsed.error;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(run_station(*parsed.options, out, err, -1), c.status) << c.args[0];
    auto text = [](std::FILE* f) {
      std::rewind(f);
      std::string s;
      char buf[1024];
      for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
      std::fclose(f);
      return s;
    };
    EXPECT_EQ(text(out), c.out) << c.args[0];
    EXPECT_EQ(text(err), c.err) << c.args[0];
  }
}

TEST_F(HookTest, CtrlCWhileWaitingForThePortIsAnInterruptedRun) {
  std::ofstream(dir_ / "good.csv") << "sn,csn,lan4_mac,lan3_mac\nS1,C1,001B2C3D4E5F,001B2C3D4E60\n";
  const std::string d = dir_.string();
  const std::vector<std::string> args = {"--units",           d + "/good.csv", "--port",
                                         d + "/no-such-port", "--port-wait",   "60",
                                         "--records",         d + "/rec"};
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  auto parsed = parse_station_args(argv);
  ASSERT_TRUE(parsed.options) << parsed.error;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  int status = -1;
  std::thread run([&] { status = run_station(*parsed.options, out, err, -1); });
  // The interrupt handler is in place once the station says it waits.
  const std::string path = "/proc/self/fd/" + std::to_string(::fileno(out));
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (read_path(path).find("waiting for the device") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  ASSERT_NE(read_path(path).find("waiting for the device"), std::string::npos);
  ::kill(::getpid(), SIGINT);
  run.join();
  EXPECT_EQ(status, kExitSomeFailed);
  std::string text = read_path(path);
  EXPECT_EQ(text.find("STOP"), std::string::npos) << text;
  EXPECT_NE(text.find("interrupted: 0 of 1 units tested\n"), std::string::npos) << text;
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace ftmd::station
