#include "vboard/soak.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "vboard/host_client.h"

namespace vboard {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

void print_spread(const char* what, std::vector<double> ms, const char* after) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-17smin %.1f ms, median %.1f ms, max %.1f ms%s\n", what, ms.front(), ms[ms.size() / 2],
              ms.back(), after);
}

}  // namespace

std::string board_leftovers(const Board::Namespaces& namespaces, const std::string& state_dir) {
  const std::string pid_ns = "pid:[" + std::to_string(namespaces.pid) + "]";
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    std::error_code link_ec;
    if (fs::read_symlink(e.path() / "ns" / "pid", link_ec).string() == pid_ns && !link_ec)
      return "process " + e.path().filename().string() + " outlived its board";
  }
  if (fs::exists(state_dir)) return state_dir + " left behind";
  return {};
}

int soak(const BoardOptions& options, int rounds, const std::function<void(Board*)>& on_board) {
  std::vector<double> serving, setups;
  for (int i = 1; i <= rounds; ++i) {
    const auto start = Clock::now();
    Board::Namespaces namespaces;
    std::string dir;
    {
      auto board = std::make_unique<Board>(options);
      on_board(board.get());
      if (!board->wait_serving(30s)) {
        on_board(nullptr);
        std::fprintf(stderr, "vboard: round %d: ftmd did not serve; its output: %s\n", i,
                     board->daemon_output().c_str());
        return 1;
      }
      serving.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      setups.push_back(static_cast<double>(board->setup_time().count()) / 1000.0);
      HostClient client(board->usb_host().port());
      if (!client.request("at+ftm,dsp", 10s)) {
        on_board(nullptr);
        std::fprintf(stderr, "vboard: round %d: no reply\n", i);
        return 1;
      }
      namespaces = board->namespaces();
      dir = board->state_dir();
      on_board(nullptr);
    }
    if (std::string left = board_leftovers(namespaces, dir); !left.empty()) {
      std::fprintf(stderr, "vboard: round %d: %s\n", i, left.c_str());
      return 1;
    }
  }
  std::printf("%d boards booted, served and torn down without leftovers\n", rounds);
  print_spread("board set up:", setups, "");
  print_spread("ftmd serving:", serving, " (from the start of the boot)");
  return 0;
}

}  // namespace vboard
