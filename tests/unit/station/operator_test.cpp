// The operator side: the hook is run with an argv (no shell), waited for
// within its deadline and always reaped; a confirm reads one line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "operator.h"
#include "station_cli.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

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
                                        "'\nread line && echo stdin-not-empty >> '" + (dir_ / "args").string() + "'\nexit 0\n");
  EXPECT_EQ(run_hook(hook, {"reset-key", "Press the key; $(touch x) `now`"}, 5s), "");
  EXPECT_EQ(read("args"), "2|reset-key|Press the key; $(touch x) `now`");
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
  EXPECT_STREQ(text,
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
  const char* good[] = {"--usb-location=1-2", "--mac", "00:1B:2C:3D:4E:5F,001B2C3D4E60", "--web", "[::1]:0",
                        "--port-wait", "2.5", "--yes"};
  auto parsed = parse_station_args(good);
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->port.usb_location, "1-2");
  EXPECT_EQ(parsed.options->port.path, "");
  EXPECT_EQ(parsed.options->port_wait, 2500ms);
  EXPECT_TRUE(parsed.options->yes);
  EXPECT_EQ(parse_station_args({}).options->port.path, "/dev/ttyACM0");
}

}  // namespace
}  // namespace ftmd::station
