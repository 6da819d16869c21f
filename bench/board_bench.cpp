// Whole-daemon figures on the virtual board: start-up (the container already
// reports "running" when ftmd starts: from the start of ftmd to its first
// reply) and idle cost (wake-ups per second, CPU, RSS, private dirty memory
// and threads of the running daemon over a quiet period). Prints markdown
// table rows.
//
//   ftmd_board_bench [--ftmd PATH] [--idle-seconds N]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "vboard/board.h"
#include "vboard/host_client.h"
#include "vboard/syslog_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kDefaultIdleSeconds = 60;
constexpr double kStartupTargetMs = 1100;
constexpr double kWakeupsTarget = 10;
constexpr double kCpuTargetPercent = 0.1;
constexpr double kPrivateDirtyTargetKiB = 1024;

std::string next_to_self(const char* name) {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? name : (self.parent_path() / name).string();
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The value after "Key:" in a /proc status-like file, 0 if absent.
long field(const std::string& text, const std::string& key) {
  auto at = text.find("\n" + key + ":");
  if (at == std::string::npos) at = text.rfind(key + ":", 0) == 0 ? 0 : std::string::npos;
  if (at == std::string::npos) return 0;
  at = text.find(':', at) + 1;
  return std::strtol(text.c_str() + at, nullptr, 10);
}

// The host pid of the board's ftmd: a child of the board's pid 1.
pid_t daemon_pid(pid_t init) {
  std::istringstream children(slurp("/proc/" + std::to_string(init) + "/task/" + std::to_string(init) + "/children"));
  pid_t pid;
  while (children >> pid)
    if (slurp("/proc/" + std::to_string(pid) + "/comm") == "ftmd\n") return pid;
  return 0;
}

struct Sample {
  long switches = 0;  // voluntary + involuntary context switches, all threads
  long ticks = 0;     // utime + stime
};

Sample sample(pid_t pid) {
  Sample s;
  const std::string base = "/proc/" + std::to_string(pid);
  for (const auto& task : std::filesystem::directory_iterator(base + "/task")) {
    const std::string status = slurp(task.path().string() + "/status");
    s.switches += field(status, "voluntary_ctxt_switches") + field(status, "nonvoluntary_ctxt_switches");
  }
  const std::string stat = slurp(base + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) rest >> skip;  // fields 3..13
  long utime = 0, stime = 0;
  rest >> utime >> stime;
  s.ticks = utime + stime;
  return s;
}

const char* verdict(bool met) { return met ? "met" : "**missed**"; }

}  // namespace

int main(int argc, char** argv) {
  std::string ftmd = next_to_self("ftmd");
  int idle_seconds = kDefaultIdleSeconds;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string o = argv[i];
    if (o == "--ftmd") ftmd = argv[i + 1];
    else if (o == "--idle-seconds") idle_seconds = std::max(1, std::atoi(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: %s [--ftmd PATH] [--idle-seconds N]\n", argv[0]);
      return 2;
    }
  }

  vboard::BoardOptions options;
  options.ftmd = ftmd;
  options.start_daemon = false;
  vboard::Board board(options);
  vboard::HostClient client(board.usb_host().port());

  // Start-up: the daemon logs its read line right before its first read; the
  // first request goes out then, and the reply closes the measure.
  const auto mark = board.syslog().mark();
  const auto start = Clock::now();
  board.start_daemon();
  const auto serving = board.syslog().wait_for(vboard::Board::kServingLine, 30s, mark);
  if (!serving || !client.request("at+ftm,ftmver=?", 10s)) {
    std::fprintf(stderr, "ftmd did not serve within 30 s\n");
    return 1;
  }
  const double startup_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("| start-up: start of ftmd (container \"running\") to first reply | %.0f ms | — | — | ≤ %.0f ms | %s |\n",
              startup_ms, kStartupTargetMs, verdict(startup_ms <= kStartupTargetMs));
  std::fflush(stdout);

  // Idle cost: nothing is sent for idle_seconds.
  const pid_t pid = daemon_pid(board.init_pid());
  if (pid == 0) {
    std::fprintf(stderr, "ftmd's pid not found\n");
    return 1;
  }
  const Sample before = sample(pid);
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const Sample after = sample(pid);
  const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
  const std::string rollup = slurp("/proc/" + std::to_string(pid) + "/smaps_rollup");
  const double wakeups = static_cast<double>(after.switches - before.switches) / idle_seconds;
  const double cpu = 100.0 * static_cast<double>(after.ticks - before.ticks) /
                     static_cast<double>(::sysconf(_SC_CLK_TCK)) / idle_seconds;
  const long dirty = field(rollup, "Private_Dirty");
  std::printf("| idle %d s: wake-ups (context switches, all threads) | %.1f /s | — | — | ≤ %.0f /s | %s |\n",
              idle_seconds, wakeups, kWakeupsTarget, verdict(wakeups <= kWakeupsTarget));
  std::printf("| idle %d s: CPU | %.3f %% | — | — | ≤ %.1f %% | %s |\n", idle_seconds, cpu, kCpuTargetPercent,
              verdict(cpu <= kCpuTargetPercent));
  std::printf("| idle: private dirty memory (RSS %ld KiB, %ld threads) | %ld KiB | — | — | ≤ %.0f KiB | %s |\n",
              field(status, "VmRSS"), field(status, "Threads"), dirty, kPrivateDirtyTargetKiB,
              verdict(static_cast<double>(dirty) <= kPrivateDirtyTargetKiB));
  return 0;
}
