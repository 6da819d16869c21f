// Round trip of the pure handlers: the release ftmd on the virtual board
// against the floor of this machine, measured side by side in one run.
//
// For each command the daemon is asked once to learn what it does per request
// (its syslog lines, its reply frame); then a minimal C responder
// (ftmd_floor_responder) on the same kind of pty makes the same syslog calls
// to a captured socket and writes the same reply bytes. Requests alternate
// between the daemon and the floor one by one, so a machine whose load
// changes during the run weighs on both alike. Prints markdown table rows.
//
// "at+ftm,hwid=?" reads /sys/devices/soc0/soc_uid per request; the floor
// reads the same simulated attribute (a FUSE round trip into this process),
// through /proc/<board init>/root.
//
//   ftmd_roundtrip_bench [--ftmd PATH] [--floor PATH] [--count N]
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vboard/board.h"
#include "vboard/host_client.h"
#include "vboard/pty_port.h"
#include "vboard/syslog_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kDefaultCount = 3000;
// Requests alternate one by one between the daemon and the floor.
constexpr int kBlock = 1;
constexpr int kWarmUp = 50;
constexpr auto kReplyTimeout = 5s;

// Pure handlers: no device access beyond what the daemon reads once.
struct Row {
  const char* label;
  const char* command;
  const char* reads = nullptr;  // a board file the handler reads per request
};
constexpr Row kRows[] = {
    {"`at+ftm,ftmver=?`", "at+ftm,ftmver=?"},
    {"`at+ftm,hwid=?`", "at+ftm,hwid=?", "/sys/devices/soc0/soc_uid"},
    {"unknown command", "at+ftm,nosuchcommand=?"},
};
// Pure-handler p50 may be at most this multiple of its floor.
constexpr double kPureTarget = 1.2;

std::string next_to_self(const char* name) {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? name : (self.parent_path() / name).string();
}

struct Stats {
  double p50_us = 0;
  double p99_us = 0;
};

Stats stats(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * us.size()))]; };
  return {at(0.50), at(0.99)};
}

// One request, send to the whole reply frame read, in microseconds; < 0 when
// no reply or a different one came.
double timed_request(vboard::HostClient& client, const std::string& command, const vboard::Bytes& expected) {
  const auto start = Clock::now();
  auto frame = client.request(command, kReplyTimeout);
  const auto end = Clock::now();
  if (!frame || (!expected.empty() && frame->raw != expected)) return -1;
  return std::chrono::duration<double, std::micro>(end - start).count();
}

std::string hex(const vboard::Bytes& bytes) {
  std::string out;
  char b[3];
  for (auto c : bytes) {
    std::snprintf(b, sizeof b, "%02x", c);
    out += b;
  }
  return out;
}

// The floor responder in a mount namespace of its own in which /dev/log is
// the captured socket (as on the board). The tty is handed over as an open
// descriptor, reached again through /proc/self/fd.
pid_t spawn_floor(const std::string& floor, const std::string& tty, const std::string& log_socket,
                  const vboard::Bytes& reply, const std::string& reads, const std::vector<vboard::LogLine>& lines) {
  std::vector<std::string> args{floor, "", hex(reply)};
  if (!reads.empty()) args.push_back("read:" + reads);
  for (const auto& l : lines) args.push_back(std::to_string(l.level) + ":" + l.text);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0 || ::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0) {
    std::perror("floor: namespace");
    ::_exit(127);
  }
  const int log = ::open("/dev/log", O_CREAT | O_WRONLY, 0644);
  if (log < 0 || ::mount(log_socket.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
    std::perror("floor: /dev/log");
    ::_exit(127);
  }
  ::close(log);
  args[1] = "/proc/self/fd/" + std::to_string(fd);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  std::perror("floor: exec");
  ::_exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  std::string ftmd = next_to_self("ftmd");
  std::string floor = next_to_self("ftmd_floor_responder");
  int count = kDefaultCount;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string o = argv[i];
    if (o == "--ftmd") ftmd = argv[i + 1];
    else if (o == "--floor") floor = argv[i + 1];
    else if (o == "--count") count = std::max(kBlock, std::atoi(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: %s [--ftmd PATH] [--floor PATH] [--count N]\n", argv[0]);
      return 2;
    }
  }

  vboard::BoardOptions options;
  options.ftmd = ftmd;
  vboard::Board board(options);
  if (!board.wait_serving(30s)) {
    std::fprintf(stderr, "ftmd did not serve within 30 s\n");
    return 1;
  }
  vboard::HostClient client(board.usb_host().port());

  // The floor's own pty and log socket, in a directory of its own (not under /dev, which the floor covers).
  char dir_template[] = "/tmp/ftmd-bench-XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string floor_dir = dir;
  int status = 0;
  {
    vboard::SyslogCapture floor_log(floor_dir + "/log");
    for (const auto& row : kRows) {
      // What the daemon does for one request: its reply and its log lines
      // (counted over the warm-up, so the lines of one request are whole).
      const auto mark = board.syslog().mark();
      vboard::Bytes reply;
      for (int i = 0; i < kWarmUp; ++i) {
        auto frame = client.request(row.command, kReplyTimeout);
        if (!frame) {
          std::fprintf(stderr, "no reply to %s\n", row.command);
          return 1;
        }
        reply = frame->raw;
      }
      if (!board.syslog().wait_for(vboard::Board::kServingLine, 5s, board.syslog().mark() - 1)) return 1;
      const auto all = board.syslog().lines(mark);
      const std::size_t per_request = all.size() / kWarmUp;
      if (per_request * kWarmUp != all.size()) {
        std::fprintf(stderr, "%s: %zu log lines over %d requests\n", row.command, all.size(), kWarmUp);
        return 1;
      }
      const std::vector<vboard::LogLine> lines(all.begin(), all.begin() + static_cast<long>(per_request));

      vboard::PtyPort port(floor_dir + "/tty");
      port.connect(true);
      vboard::HostClient floor_client(port);
      const pid_t floor_pid = spawn_floor(floor, port.slave_path(), floor_dir + "/log", reply,
          row.reads == nullptr ? std::string() : "/proc/" + std::to_string(board.init_pid()) + "/root" + row.reads,
          lines);
      for (int i = 0; i < kWarmUp; ++i) {
        if (timed_request(floor_client, row.command, reply) < 0) {
          std::fprintf(stderr, "floor: no or wrong reply to %s\n", row.command);
          ::kill(floor_pid, SIGKILL);
          ::waitpid(floor_pid, nullptr, 0);
          return 1;
        }
      }
      const auto floor_mark = floor_log.mark();

      std::vector<double> daemon_us, floor_us;
      for (int done = 0; done < count; done += kBlock) {
        for (int i = 0; i < kBlock; ++i) daemon_us.push_back(timed_request(client, row.command, reply));
        for (int i = 0; i < kBlock; ++i) floor_us.push_back(timed_request(floor_client, row.command, reply));
      }
      ::kill(floor_pid, SIGTERM);
      ::waitpid(floor_pid, nullptr, 0);
      const std::size_t floor_lines = floor_log.lines(floor_mark).size();

      const auto failed = [](const std::vector<double>& v) { return std::count_if(v.begin(), v.end(), [](double x) { return x < 0; }); };
      if (failed(daemon_us) != 0 || failed(floor_us) != 0 || floor_lines < per_request * floor_us.size()) {
        std::fprintf(stderr, "%s: %ld daemon and %ld floor requests failed, floor logged %zu lines\n", row.command,
                     static_cast<long>(failed(daemon_us)), static_cast<long>(failed(floor_us)), floor_lines);
        status = 1;
        continue;
      }
      const Stats d = stats(daemon_us);
      const Stats f = stats(floor_us);
      const double ratio = d.p50_us / f.p50_us;
      std::printf("| round trip %s (%zu log lines, %zu-byte reply), n=%zu | %.0f / %.0f µs | %.0f / %.0f µs | "
                  "%.2f× | ≤ %.1f× | %s |\n",
                  row.label, per_request, reply.size(), daemon_us.size(), d.p50_us, d.p99_us, f.p50_us, f.p99_us,
                  ratio, kPureTarget, ratio <= kPureTarget ? "met" : "**missed**");
      std::fflush(stdout);
    }
  }
  std::filesystem::remove_all(floor_dir);
  return status;
}
