// The board's life: it boots, serves and goes without leaving anything
// behind, also when its tool is killed outright.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "board_fixture.h"
#include "common/c_handle.h"
#include "vboard/soak.h"
#include "wait_until.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;

std::string listing(const fs::path& dir) {
  std::string out;
  for (const auto& e : fs::directory_iterator(dir)) out += e.path().filename().string() + " ";
  return out;
}

std::string own_mounts() {
  std::ifstream in("/proc/self/mountinfo");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Boots, serves and tears down repeatedly; nothing of a board may survive
// it: no process in its pid namespace, no descriptor in this process, no mount
// or interface on the host, no state directory. VBOARD_SOAK=50 runs 50.
TEST(BoardLifecycle, BootsServesAndTearsDownWithoutLeftovers) {
  int rounds = 5;
  if (const char* env = std::getenv("VBOARD_SOAK")) rounds = std::max(1, std::atoi(env));
  const std::string fds_before = listing("/proc/self/fd");
  const std::string interfaces_before = listing("/sys/class/net");
  const std::string mounts_before = own_mounts();
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE("round " + std::to_string(i));
    vboard::Board::Namespaces ns;
    std::string state_dir;
    {
      vboard::Board board(default_board_options());
      ASSERT_TRUE(board.wait_serving(10s));
      vboard::HostClient client(board.usb_host().port());
      auto reply = client.request("at+ftm,dsp");
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->text, "ERROR,Command not supported in tolvek\n");
      ns = board.namespaces();
      state_dir = board.state_dir();
      ASSERT_NE(vboard::board_leftovers(ns, state_dir), "") << "a board that is up must show";
    }
    EXPECT_EQ(vboard::board_leftovers(ns, state_dir), "");
    EXPECT_EQ(listing("/proc/self/fd"), fds_before);
  }
  EXPECT_EQ(listing("/sys/class/net"), interfaces_before);
  EXPECT_EQ(own_mounts(), mounts_before);
}

// A vboard killed outright takes its board with it: the board's processes
// die with their parents (PR_SET_PDEATHSIG), the namespaces with them, and
// the next board removes the directory it left. Options may follow the
// subcommand (`vboard up --port P`, as the README shows it).
TEST(BoardLifecycle, KilledToolTakesItsBoardWithIt) {
  // Orphans of the killed tool come to this process, which reaps them.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  const std::string port = testing::TempDir() + "vboard-port-" + std::to_string(::getpid());
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t tool = ::fork();
  if (tool == 0) {
    ::dup2(out[1], 1);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::execl(VBOARD_BINARY, "vboard", "up", "--ftmd", FTMD_BINARY, "--port", port.c_str(), nullptr);
    _exit(127);
  }
  ::close(out[1]);
  CHandle<FILE, std::fclose> from_tool(::fdopen(out[0], "r"));
  int init_pid = 0;
  char dir[256] = {};
  char line[512];
  while (init_pid == 0 && std::fgets(line, sizeof(line), from_tool.get()))
    std::sscanf(line, "board pid 1 (host pid): %d, directory %255s", &init_pid, dir);
  ASSERT_GT(init_pid, 0) << "vboard up did not come up";
  EXPECT_TRUE(fs::is_symlink(port)) << "no PC-side port at --port";
  struct stat st {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(init_pid) + "/ns/pid").c_str(), &st), 0);
  const vboard::Board::Namespaces ns{.pid = st.st_ino};

  ::kill(tool, SIGKILL);
  ::waitpid(tool, nullptr, 0);
  auto reaped_all = [&] {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return vboard::board_leftovers(ns, "").empty();
  };
  EXPECT_TRUE(wait_until(reaped_all, 10s)) << "board processes outlived the tool";
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  // (Any board made meanwhile, by another test process too, may have
  // removed it already.)
  { vboard::Board next(default_board_options()); }
  EXPECT_FALSE(fs::exists(dir)) << "the stale board directory stayed";
  fs::remove(port);
}

TEST(BoardLifecycle, RefusesAMissingDaemonInOneLine) {
  vboard::BoardOptions o = default_board_options();
  o.ftmd = "/nonexistent/ftmd";
  try {
    vboard::Board board(o);
    FAIL() << "booted without a daemon";
  } catch (const vboard::BoardError& e) {
    EXPECT_STREQ(e.what(),
                 "vboard: cannot find the ftmd binary /nonexistent/ftmd: No such file or directory");
  }
}

}  // namespace
}  // namespace ftmd::test
