#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "board_fixture.h"

namespace ftmd::test {
namespace {

using Clock = std::chrono::steady_clock;

// Processes (host pids) that still live in any of the given namespaces.
std::vector<int> processes_in(const vboard::Board::Namespaces& ns) {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (!std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    for (const char* kind : {"user", "mnt", "net", "pid"}) {
      struct stat st {};
      if (::stat((entry.path() / "ns" / kind).c_str(), &st) != 0) continue;
      ino_t want = std::string(kind) == "user"  ? ns.user
                   : std::string(kind) == "mnt" ? ns.mnt
                   : std::string(kind) == "net" ? ns.net
                                                : ns.pid;
      if (st.st_ino == want) {
        found.push_back(std::stoi(name));
        break;
      }
    }
  }
  return found;
}

std::size_t open_fds() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

std::string host_interfaces() {
  std::string out;
  for (const auto& e : std::filesystem::directory_iterator("/sys/class/net"))
    out += e.path().filename().string() + " ";
  return out;
}

std::string own_mounts() {
  std::ifstream in("/proc/self/mountinfo");
  std::string all, line;
  while (std::getline(in, line)) all += line + "\n";
  return all;
}

// Boots, serves and tears down repeatedly; nothing of a board may survive
// it: no process in its namespaces, no descriptor in this process, no mount
// or interface on the host, no state directory. VBOARD_SOAK=50 runs 50.
TEST(BoardLifecycle, BootsServesAndTearsDownWithoutLeftovers) {
  int rounds = 5;
  if (const char* env = std::getenv("VBOARD_SOAK")) rounds = std::max(1, std::atoi(env));
  const std::size_t fds_before = open_fds();
  const std::string interfaces_before = host_interfaces();
  const std::string mounts_before = own_mounts();
  std::vector<double> boot_ms, setup_ms;
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE("round " + std::to_string(i));
    vboard::Board::Namespaces ns;
    std::string state_dir;
    {
      auto start = Clock::now();
      vboard::Board board(default_board_options());
      ASSERT_TRUE(board.wait_serving(10s));
      boot_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      setup_ms.push_back(static_cast<double>(board.setup_time().count()) / 1000.0);
      vboard::HostClient client(board.usb_host().port());
      auto reply = client.request("at+ftm,dsp");
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->text, "ERROR,Command not supported in tolvek\n");
      ns = board.namespaces();
      state_dir = board.state_dir();
      ASSERT_NE(ns.pid, 0u);
      EXPECT_FALSE(processes_in(ns).empty());
    }
    EXPECT_EQ(processes_in(ns), std::vector<int>{});
    EXPECT_FALSE(std::filesystem::exists(state_dir));
    EXPECT_EQ(open_fds(), fds_before);
  }
  EXPECT_EQ(host_interfaces(), interfaces_before);
  EXPECT_EQ(own_mounts(), mounts_before);
  std::sort(boot_ms.begin(), boot_ms.end());
  std::sort(setup_ms.begin(), setup_ms.end());
  RecordProperty("boot_to_serving_ms_median", std::to_string(boot_ms[boot_ms.size() / 2]));
  RecordProperty("board_setup_ms_median", std::to_string(setup_ms[setup_ms.size() / 2]));
  std::printf(
      "over %d rounds: board set up in %.1f/%.1f/%.1f ms, ftmd serving after %.1f/%.1f/%.1f ms "
      "(min/median/max)\n",
      rounds, setup_ms.front(), setup_ms[setup_ms.size() / 2], setup_ms.back(), boot_ms.front(),
      boot_ms[boot_ms.size() / 2], boot_ms.back());
}

// A vboard killed outright takes its board with it: the board's processes
// die with their parents (PR_SET_PDEATHSIG), the namespaces with them, and
// the next board removes the directory it left.
TEST(BoardLifecycle, KilledToolTakesItsBoardWithIt) {
  // Orphans of the killed tool come to this process, which reaps them.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t tool = ::fork();
  if (tool == 0) {
    ::dup2(out[1], 1);
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::execl(VBOARD_BINARY, "vboard", "--ftmd", FTMD_BINARY, "up", static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(out[1]);
  FILE* from_tool = ::fdopen(out[0], "r");
  int init_pid = 0;
  char dir[256] = {};
  char line[512];
  while (init_pid == 0 && std::fgets(line, sizeof(line), from_tool))
    std::sscanf(line, "board pid 1 (host pid): %d, directory %255s", &init_pid, dir);
  ASSERT_GT(init_pid, 0) << "vboard up did not come up";
  struct stat st {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(init_pid) + "/ns/pid").c_str(), &st), 0);
  vboard::Board::Namespaces ns{.pid = st.st_ino};
  ASSERT_FALSE(processes_in(ns).empty());

  ::kill(tool, SIGKILL);
  ::waitpid(tool, nullptr, 0);
  std::fclose(from_tool);
  auto deadline = Clock::now() + 10s;
  while (!processes_in(ns).empty() && Clock::now() < deadline) {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(processes_in(ns), std::vector<int>{});
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  // (Any board made meanwhile, by another test process too, may have
  // removed it already.)
  { vboard::Board next(default_board_options()); }
  EXPECT_FALSE(std::filesystem::exists(dir)) << "the stale board directory stayed";
}

TEST(BoardLifecycle, RefusesAMissingDaemonInOneLine) {
  vboard::BoardOptions o = default_board_options();
  o.ftmd = "/nonexistent/ftmd";
  try {
    vboard::Board board(o);
    FAIL() << "booted without a daemon";
  } catch (const vboard::BoardError& e) {
    std::string what = e.what();
    EXPECT_NE(what.find("/nonexistent/ftmd"), std::string::npos) << what;
    EXPECT_EQ(what.find('\n'), std::string::npos) << what;
  }
}

}  // namespace
}  // namespace ftmd::test
