#include "vboard/pc_lan.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vboard/launcher.h"

namespace vboard {
namespace {

using namespace std::chrono_literals;

constexpr auto kIpWithin = 10s;

void run_ip(const std::vector<std::string>& argv, int netns) {
  RunResult r = run_collecting({.argv = argv, .netns = netns}, kIpWithin);
  if (r.status != 0) {
    std::string line;
    for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
    throw BoardError("the test PC's LAN: " + line + " failed: " + r.output);
  }
}

}  // namespace

PcLan::PcLan() {
  Pipe ready = Pipe::make();
  if (!ready.read) throw BoardError(std::string("the test PC's LAN: pipe: ") + std::strerror(errno));
  holder_ = ::fork();
  if (holder_ < 0) throw BoardError(std::string("the test PC's LAN: fork: ") + std::strerror(errno));
  if (holder_ == 0) {
    // Only async-signal-safe calls: the parent may have other threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    char c = ::unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
    [[maybe_unused]] ssize_t n = ::write(ready.write.get(), &c, 1);
    // It only holds the namespace: no copy of the parent's descriptors
    // (another thread's pipe) stays open for its life.
    ::close_range(0, ~0U, 0);
    for (;;) ::pause();
  }
  ready.write.reset();
  try {
    char c = 'n';
    if (::read(ready.read.get(), &c, 1) != 1 || c != 'y')
      throw BoardError("the test PC's LAN: cannot make a network namespace");
    netns_ = ftmd::UniqueFd(
        ::open(("/proc/" + std::to_string(holder_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC));
    if (!netns_)
      throw BoardError(std::string("the test PC's LAN: open its namespace: ") + std::strerror(errno));
    run_ip({"ip", "link", "set", "lo", "up"}, netns_.get());
  } catch (...) {
    // No destructor runs for a constructor that throws: the holder goes here.
    ::kill(holder_, SIGKILL);
    while (::waitpid(holder_, nullptr, 0) < 0 && errno == EINTR) {
    }
    throw;
  }
}

PcLan::~PcLan() {
  if (holder_ > 0) {
    ::kill(holder_, SIGKILL);
    while (::waitpid(holder_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

std::string PcLan::board_address(int n) { return "192.0." + std::to_string(10 + n) + ".1"; }

void PcLan::configure(BoardOptions& options, int n) {
  for (auto& i : options.interfaces)
    if (i.name == "lan4") i.address = board_address(n) + "/24";
}

void PcLan::adopt(Board& board, int n) {
  const std::string suffix = std::to_string(n);
  for (const auto& i : board.options().interfaces) {
    const std::string name = Network::peer_of(i.name) + suffix;
    run_ip({"ip", "link", "set", "dev", Network::peer_of(i.name), "netns", std::to_string(holder_), "name",
            name},
           board.pc_netns_fd());
    run_ip({"ip", "link", "set", name, "up"}, netns_.get());
    // A board's reboot drops its links for its boot time only, and the
    // kernel reports a carrier change at most once a second: a short drop
    // can pass unseen, and the PC would keep the last unit's MAC for the
    // board's address as long as the entry counts as reachable (15 to 45 s).
    // Entries that are checked again after a second make a unit with a new
    // MAC reachable within a few seconds, as on a line whose units take
    // seconds to boot.
    run_ip({"ip", "ntable", "change", "name", "arp_cache", "dev", name, "base_reachable", "1000",
            "delay_probe", "1000"},
           netns_.get());
    if (i.name == "lan4")
      run_ip({"ip", "addr", "add", "192.0." + std::to_string(10 + n) + ".2/24", "dev", name}, netns_.get());
  }
}

}  // namespace vboard
