// Round trip of the daemon's handlers: the release ftmd on the virtual board
// against the floor of this machine, measured side by side in one run.
//
// For each command the daemon is asked first to learn what it does per
// request (its syslog lines, its reply frame); then a minimal C responder
// (ftmd_floor_responder) runs inside the same board, on a pty of its own, and
// per request does the same: the same syslog calls to the board's captured
// /dev/log, the same device attribute reads, the same command lines through
// system()/popen() with the board's PATH and U-Boot environment, and writes the
// same reply bytes. Requests alternate between the daemon and the floor one by
// one, so a machine whose load changes during the run weighs on both alike.
// Prints markdown table rows.
//
//   ftmd_roundtrip_bench [--ftmd PATH] [--floor PATH] [--count N] [--only TEXT]
//
// --only runs just the rows whose command contains TEXT (to look at one row
// with strace or perf while it runs).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vboard/board.h"
#include "vboard/host_client.h"
#include "vboard/pty_port.h"
#include "vboard/syslog_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kDefaultCount = 3000;
constexpr int kWarmUp = 50;
constexpr auto kReplyTimeout = 5s;

// What the floor does per request: the daemon's handler steps in the daemon's
// order (the command lines are the daemon's own, the read sizes its buffers).
// Each "log" marks where the handler makes its next syslog call; the main
// loop's own trace lines around the handler are placed from what the daemon
// logged (see floor_steps), so the floor does every step where the daemon does.
struct Row {
  const char* label;
  const char* command;
  std::vector<std::string> steps;
  double target;          // p50 may be at most this multiple of its floor
  int count_divisor = 1;  // shell-bound rows run fewer requests
};

constexpr double kPureTarget = 1.2;
constexpr double kShellTarget = 1.1;
constexpr int kShellDivisor = 10;

std::vector<Row> rows() {
  return {
      {"`at+ftm,ftmver=?`", "at+ftm,ftmver=?", {}, kPureTarget},
      {"`at+ftm,hwid=?`", "at+ftm,hwid=?", {"read:255:/sys/devices/soc0/soc_uid"}, kPureTarget},
      {"unknown command", "at+ftm,nosuchcommand=?", {}, kPureTarget},
      {"shell `at+ftm,sn=BENCH0001` (write)",
       "at+ftm,sn=BENCH0001",
       {"system:fw_setenv msn 'BENCH0001'"},
       kShellTarget,
       kShellDivisor},
      {"shell `at+ftm,sn=?`",
       "at+ftm,sn=?",
       {"system:fw_printenv msn >/tmp/1.txt", "read:255:/tmp/1.txt", "log"},
       kShellTarget,
       kShellDivisor},
      {"shell `at+ftm,csn=?`",
       "at+ftm,csn=?",
       {"popen:fw_printenv csn | awk -F '=' '{print $2}'"},
       kShellTarget,
       kShellDivisor},
      // The MAC query: both network units, both U-Boot variables, the three
      // live addresses.
      {"shell `at+ftm,ethmac=?`",
       "at+ftm,ethmac=?",
       {"log",
        "readall:/etc/systemd/network/lan4.network",
        "log",
        "log",
        "readall:/etc/systemd/network/lan3.network",
        "log",
        "log",
        "log",
        "log",
        "popen:fw_printenv ethaddr",
        "log",
        "log",
        "log",
        "log",
        "popen:fw_printenv eth1addr",
        "log",
        "log",
        "read:23:/sys/class/net/eth0/address",
        "read:23:/sys/class/net/lan4/address",
        "read:23:/sys/class/net/lan3/address"},
       kShellTarget,
       kShellDivisor},
  };
}

constexpr std::string_view kDispatchLine = "handle data is ";
constexpr std::string_view kFrameLine = "feedback[7] = ";
constexpr std::string_view kReadLine = "try to read for ";

std::string as_step(const vboard::LogLine& line) { return std::to_string(line.level) + ":" + line.text; }

// The floor's steps for one request, in the daemon's order: the main loop's
// lines up to the dispatch, the handler's steps with its own lines where the
// row marks them, the reply frame's lines, the reply, then the loop's trace
// before its next read. Empty when the lines do not have that shape.
std::vector<std::string> floor_steps(const Row& row, const std::vector<vboard::LogLine>& lines) {
  const auto starts = [&](std::size_t i, std::string_view text) { return lines[i].text.starts_with(text); };
  std::size_t dispatch = 0;
  while (dispatch < lines.size() && !starts(dispatch, kDispatchLine)) ++dispatch;
  std::size_t frame = dispatch;
  while (frame < lines.size() && !starts(frame, kFrameLine)) ++frame;
  if (frame + 1 >= lines.size() || !starts(lines.size() - 1, kReadLine)) return {};
  std::vector<std::string> steps;
  for (std::size_t i = 0; i <= dispatch; ++i) steps.push_back(as_step(lines[i]));
  std::size_t next_handler_line = dispatch + 1;
  for (const auto& step : row.steps) {
    if (step != "log") {
      steps.push_back(step);
      continue;
    }
    if (next_handler_line >= frame) return {};
    steps.push_back(as_step(lines[next_handler_line++]));
  }
  for (std::size_t i = next_handler_line; i + 1 < lines.size(); ++i) steps.push_back(as_step(lines[i]));
  steps.push_back("reply");
  steps.push_back(as_step(lines.back()));
  return steps;
}

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

}  // namespace

int main(int argc, char** argv) {
  std::string ftmd = next_to_self("ftmd");
  std::string floor = next_to_self("ftmd_floor_responder");
  int count = kDefaultCount;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string o = argv[i];
    if (o == "--ftmd")
      ftmd = argv[i + 1];
    else if (o == "--floor")
      floor = argv[i + 1];
    else if (o == "--count")
      count = std::max(1, std::atoi(argv[i + 1]));
    else if (o == "--only")
      only = argv[i + 1];
    else {
      std::fprintf(stderr, "usage: %s [--ftmd PATH] [--floor PATH] [--count N] [--only TEXT]\n", argv[0]);
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

  // The floor responder runs inside the board, from the board's /tmp.
  {
    std::ifstream in(floor, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", floor.c_str());
      return 1;
    }
    board.write_file("/tmp/ftmd_floor_responder", content.str());
    ::chmod(board.host_path("/tmp/ftmd_floor_responder").c_str(), 0755);
  }
  board.uboot_env().set("msn", "BENCH0001");
  board.uboot_env().set("csn", "CBENCH0001");
  // MACs written and in effect, so the MAC query takes its whole path.
  board.uboot_env().set("ethaddr", "02:00:00:00:04:01");
  board.uboot_env().set("eth1addr", "02:00:00:00:03:01");
  board.write_file("/etc/systemd/network/lan4.network",
                   "[Match]\nName=lan4\n\n[Link]\nMACAddress=02:00:00:00:04:01\n");
  board.write_file("/etc/systemd/network/lan3.network",
                   "[Match]\nName=lan3\n\n[Link]\nMACAddress=02:00:00:00:03:01\n");

  int status = 0;
  for (const auto& row : rows()) {
    if (!only.empty() && std::string(row.command).find(only) == std::string::npos) continue;
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
    std::vector<vboard::LogLine> all;
    for (auto& l : board.syslog().lines(mark))
      if (l.ident == "ftmd") all.push_back(l);
    const std::size_t per_request = all.size() / kWarmUp;
    if (per_request * kWarmUp != all.size()) {
      std::fprintf(stderr, "%s: %zu log lines over %d requests\n", row.command, all.size(), kWarmUp);
      return 1;
    }

    // The lines of one request, from the loop's "ret value" line after a read
    // to its trace before the next read.
    std::size_t first = 0;
    while (first < all.size() && !all[first].text.starts_with("ret value --> ")) ++first;
    if (first + per_request > all.size()) return 1;
    const std::vector<vboard::LogLine> one_request(all.begin() + static_cast<long>(first),
                                                   all.begin() + static_cast<long>(first + per_request));
    const auto steps = floor_steps(row, one_request);
    if (steps.empty()) {
      std::fprintf(stderr, "%s: the daemon's log lines do not have the main loop's shape\n", row.command);
      return 1;
    }
    std::vector<std::string> floor_argv{"/tmp/ftmd_floor_responder", "", hex(reply)};
    floor_argv.insert(floor_argv.end(), steps.begin(), steps.end());
    vboard::PtyPort port(board.host_path("/tmp/ftmd-floor-tty"));
    port.connect(true);
    floor_argv[1] = port.slave_path();
    vboard::HostClient floor_client(port);
    const int floor_service = board.start_service("ftmd-floor", floor_argv);
    const int warm = std::max(1, kWarmUp / row.count_divisor);
    for (int i = 0; i < warm; ++i) {
      if (timed_request(floor_client, row.command, reply) < 0) {
        std::fprintf(stderr, "floor: no or wrong reply to %s; its output: %s\n", row.command,
                     board.read_file("/run/vboard/ftmd-floor.log").value_or("").c_str());
        board.stop_service(floor_service, SIGKILL);
        return 1;
      }
    }
    const auto floor_mark = board.syslog().mark();

    const int n = std::max(1, count / row.count_divisor);
    std::vector<double> daemon_us, floor_us;
    for (int i = 0; i < n; ++i) {
      daemon_us.push_back(timed_request(client, row.command, reply));
      floor_us.push_back(timed_request(floor_client, row.command, reply));
    }
    // The floor logs its last line after its last reply, as the daemon does:
    // let every line arrive before it is stopped and its lines are counted.
    const std::size_t floor_expected = per_request * floor_us.size();
    std::size_t floor_lines = 0;
    for (const auto deadline = Clock::now() + kReplyTimeout;;) {
      floor_lines = 0;
      for (auto& l : board.syslog().lines(floor_mark))
        if (l.ident == "ftmd_floor_responder") ++floor_lines;
      if (floor_lines >= floor_expected || Clock::now() > deadline) break;
      std::this_thread::sleep_for(1ms);
    }
    board.stop_service(floor_service);

    const auto failed = [](const std::vector<double>& v) {
      return std::count_if(v.begin(), v.end(), [](double x) { return x < 0; });
    };
    if (failed(daemon_us) != 0 || failed(floor_us) != 0 || floor_lines < floor_expected) {
      std::fprintf(stderr, "%s: %ld daemon and %ld floor requests failed, floor logged %zu lines\n",
                   row.command, static_cast<long>(failed(daemon_us)), static_cast<long>(failed(floor_us)),
                   floor_lines);
      status = 1;
      continue;
    }
    const Stats d = stats(daemon_us);
    const Stats f = stats(floor_us);
    const double ratio = d.p50_us / f.p50_us;
    std::printf(
        "| round trip %s (%zu log lines, %zu-byte reply), n=%zu | %.0f / %.0f µs | %.0f / %.0f µs | "
        "%.2f× | p50 ≤ %.1f× | %s |\n",
        row.label, per_request, reply.size(), daemon_us.size(), d.p50_us, d.p99_us, f.p50_us, f.p99_us, ratio,
        row.target, ratio <= row.target ? "met" : "**missed**");
    std::fflush(stdout);
  }
  return status;
}
