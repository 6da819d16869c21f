// vboard: boots the virtual board with the unchanged ftmd and lets a person,
// a session file or a client program talk to it. See vboard/README.md.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vboard/board.h"
#include "vboard/control_socket.h"
#include "vboard/controls.h"
#include "vboard/host_client.h"
#include "vboard/pc_usb_names.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "usage: vboard [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Boots a fresh virtual board running ftmd, then:\n"
    "  send CMD...          sends each command to ftmd, printing request and reply\n"
    "  session FILE         runs a session file: one command per line, '@control' lines\n"
    "                       act on the board, '#' lines are captions, '##' comments\n"
    "  up                   keeps the board up: prints the PC-side port and takes board\n"
    "                       controls on stdin (help lists them) until quit or Ctrl-C\n"
    "  run PROG ARGS...     runs PROG on the host as the test PC, with {port} in ARGS (and\n"
    "                       $VBOARD_PORT) the PC-side port, in the PC's network (the board's\n"
    "                       web server is http://192.0.2.1/); exits with PROG's status.\n"
    "                       $VBOARD_CONTROL is the board's control socket\n"
    "  shell                an interactive $SHELL as the test PC, with $VBOARD_PORT set\n"
    "  control LINE         (under run or shell) sends a board control line, e.g.\n"
    "                       `vboard control key-in 300`; ';' separates several\n"
    "  soak [N]             boots, serves and tears down N boards (default 50), checking\n"
    "                       for leftovers and printing boot times\n"
    "  controls             lists the board controls\n"
    "\n"
    "Options:\n"
    "  --ftmd PATH          the daemon binary (default: ftmd next to vboard)\n"
    "  --port PATH          where to put the PC-side port link (default: in the board dir)\n"
    "  --log                print the daemon's syslog lines as they come\n"
    "  --container STATE    initial state of the dante container (default running)\n"
    "  --usb-serial SN      (run, shell) the program sees the port also as\n"
    "                       /dev/serial/by-id/usb-Acme_FTM-Audio_SN-if00 and by location\n"
    "  --usb-location NAME  its /dev/serial/by-path name (default\n"
    "                       pci-0000:00:14.0-usb-0:2:1.0)\n"
    "  --boot-time MS       (run, shell, up) how long a reboot takes: the PC-side port\n"
    "                       is gone for MS milliseconds, then ftmd starts (default 1500)\n"
    "  --no-reenumerate     (run, shell, up) `reboot` on the board is only recorded\n";

struct Args {
  std::string ftmd;
  std::string port;
  bool log = false;
  std::string container = "running";
  std::string usb_serial;
  std::string usb_location;
  int boot_time_ms = 1500;
  bool reenumerate = true;
  std::string command;
  std::vector<std::string> rest;
};

std::string default_ftmd() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "ftmd" : (self.parent_path() / "ftmd").string();
}

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "vboard: %s\n%s", what.c_str(), kUsage);
  std::exit(2);
}

Args parse(int argc, char** argv) {
  Args a;
  a.ftmd = default_ftmd();
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string o = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage_error(o + " needs a value");
      return argv[++i];
    };
    if (o == "--ftmd") {
      a.ftmd = value();
    } else if (o == "--port") {
      a.port = value();
    } else if (o == "--container") {
      a.container = value();
    } else if (o == "--log") {
      a.log = true;
    } else if (o == "--usb-serial") {
      a.usb_serial = value();
    } else if (o == "--usb-location") {
      a.usb_location = value();
    } else if (o == "--boot-time") {
      std::string v = value();
      char* end = nullptr;
      long ms = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || ms < 0 || ms > 600000)
        usage_error("--boot-time takes milliseconds, 0-600000");
      a.boot_time_ms = static_cast<int>(ms);
    } else if (o == "--no-reenumerate") {
      a.reenumerate = false;
    } else if (o == "-h" || o == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      usage_error("unknown option " + o);
    }
  }
  if (i >= argc) usage_error("no command");
  a.command = argv[i++];
  if (i < argc && std::string(argv[i]) == "--") ++i;
  for (; i < argc; ++i) a.rest.emplace_back(argv[i]);
  return a;
}

// The board a signal must take down (send, session, run, shell, soak).
std::atomic<vboard::Board*> g_board{nullptr};

// Waits for the signals in `set`; on one, kills the board at once, removes
// its directory and exits (the main thread may be anywhere).
void watch_signals(sigset_t set) {
  std::thread([set] {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) return;
    if (vboard::Board* b = g_board.load()) {
      ::kill(b->init_pid(), SIGKILL);
      std::error_code ec;
      std::filesystem::remove_all(b->state_dir(), ec);
    }
    std::_Exit(128 + sig);
  }).detach();
}

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

vboard::BoardOptions board_options(const Args& a) {
  vboard::BoardOptions o;
  o.ftmd = a.ftmd;
  o.container_status = a.container;
  // A board the test PC's programs use reboots as a real one: its port goes
  // and comes back.
  o.reboot_reenumerates = a.reenumerate && (a.command == "run" || a.command == "shell" || a.command == "up");
  o.boot_time = std::chrono::milliseconds(a.boot_time_ms);
  return o;
}

// Forgets the board for the signal watcher before destroying it.
struct Unregister {
  void operator()(vboard::Board* b) const {
    g_board = nullptr;
    delete b;
  }
};
using BoardPtr = std::unique_ptr<vboard::Board, Unregister>;

// Boots and waits for the daemon's first read; prints the boot time.
BoardPtr boot(const Args& a, bool quiet = false) {
  auto start = Clock::now();
  BoardPtr board(new vboard::Board(board_options(a)));
  if (a.log) {
    board->syslog().set_observer([](const vboard::LogLine& l) {
      std::string text = l.text;
      while (!text.empty() && text.back() == '\n') text.pop_back();
      std::fprintf(stderr, "  [log %d] %s\n", l.level, vboard::HostClient::escaped(text).c_str());
    });
  }
  if (!board->wait_serving(30s))
    throw vboard::BoardError("vboard: ftmd did not reach its read within 30 s; its output: " +
                             board->daemon_output());
  if (!quiet) std::printf("board up: ftmd serving %.1f ms after boot began\n", ms_since(start));
  g_board = board.get();
  return board;
}

void print_exchange(vboard::HostClient& client, const std::string& command) {
  std::printf("> %s\n", vboard::HostClient::escaped(command).c_str());
  std::fflush(stdout);
  auto start = Clock::now();
  auto reply = client.request(command, 60s);
  if (!reply) {
    std::printf("< (no reply within 60 s)\n");
  } else {
    std::printf("< %s%s   [%.0f ms]\n", vboard::HostClient::escaped(reply->text).c_str(),
                reply->checksum_ok ? "" : "  (BAD CHECKSUM)", ms_since(start));
  }
  std::fflush(stdout);
}

int cmd_send(const Args& a) {
  auto board = boot(a);
  vboard::HostClient client(board->usb_host().port());
  for (const auto& c : a.rest) print_exchange(client, c);
  return 0;
}

int cmd_session(const Args& a) {
  if (a.rest.size() != 1) usage_error("session needs one FILE");
  std::ifstream in(a.rest[0]);
  if (!in) {
    std::fprintf(stderr, "vboard: cannot read %s\n", a.rest[0].c_str());
    return 2;
  }
  auto board = boot(a);
  vboard::HostClient client(board->usb_host().port());
  vboard::Controls controls(*board);
  int failures = 0;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.starts_with("##")) continue;
    if (line[0] == '#') {
      std::printf("%s\n", line.c_str());
      continue;
    }
    if (line[0] == '@') {
      std::printf("@ %s\n", line.c_str() + 1);
      try {
        std::string out = controls.run(line.substr(1));
        if (!out.empty()) std::printf("  %s%s", out.c_str(), out.ends_with('\n') ? "" : "\n");
      } catch (const vboard::ControlError& e) {
        std::printf("  control failed: %s\n", e.what());
        ++failures;
      }
      std::fflush(stdout);
      continue;
    }
    print_exchange(client, line);
  }
  return failures == 0 ? 0 : 1;
}

bool wants_usb_names(const Args& a) { return !a.usb_serial.empty() || !a.usb_location.empty(); }

// Where the port's udev names are kept (the program's /dev/serial).
std::string usb_names_dir(vboard::Board& board) { return board.state_dir() + "/usb-names"; }

std::string attach_port(vboard::Board& board, const Args& a) {
  std::string link = a.port.empty() ? board.state_dir() + "/ttyPC0" : a.port;
  if (wants_usb_names(a))
    board.usb_host().set_usb_names(
        usb_names_dir(board), a.usb_serial,
        a.usb_location.empty() ? vboard::UsbHost::kDefaultLocation : a.usb_location);
  return board.usb_host().attach_cable(link);
}

// The board's controls for the programs run as the test PC, one line at a
// time (the prompt of `up` shares them).
class ControlService {
 public:
  explicit ControlService(vboard::Board& board)
      : controls_(board), socket_(board.state_dir() + "/control.sock", [this](const std::string& line) {
          return answer(line);
        }) {}
  const std::string& path() const { return socket_.path(); }

  // Runs a line; the text to print, or throws ControlError.
  std::string run(const std::string& line) {
    std::lock_guard lock(mutex_);
    return controls_.run(line);
  }

 private:
  // One line: "ok", "ok: TEXT" (lines joined with "; ") or "error: WHY".
  std::string answer(const std::string& line) {
    try {
      std::string out = run(line);
      while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
      for (std::size_t at; (at = out.find('\n')) != std::string::npos;) out.replace(at, 1, "; ");
      return out.empty() ? "ok" : "ok: " + out;
    } catch (const std::exception& e) {
      return std::string("error: ") + e.what();
    }
  }

  std::mutex mutex_;
  vboard::Controls controls_;     // guarded by mutex_
  vboard::ControlSocket socket_;  // last: answers only while the rest is there
};

sigset_t blocked_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

int cmd_up(const Args& a) {
  auto board = boot(a);
  std::string port = attach_port(*board, a);
  std::printf("PC-side port: %s\n", port.c_str());
  if (wants_usb_names(a))
    std::printf("its USB names (by-id/, by-path/, as udev makes them) in %s\n",
                usb_names_dir(*board).c_str());
  std::printf("board pid 1 (host pid): %d, directory %s\n", static_cast<int>(board->init_pid()),
              board->state_dir().c_str());
  std::printf("talk to ftmd with:  ftmctl --port %s COMMAND...\n", port.c_str());
  ControlService controls(*board);
  std::printf("board controls on stdin (help lists them) and at %s\n", controls.path().c_str());
  std::printf("  (VBOARD_CONTROL=%s vboard control LINE); quit or Ctrl-C stops the board\n",
              controls.path().c_str());
  std::fflush(stdout);
  std::jthread prompt([&controls](std::stop_token) {
    for (std::string line; std::getline(std::cin, line);) {
      if (line == "quit" || line == "exit") {
        ::kill(::getpid(), SIGTERM);
        return;
      }
      if (line == "help") {
        std::fputs(vboard::Controls::help().c_str(), stdout);
        continue;
      }
      try {
        std::string out = controls.run(line);
        std::fputs(out.c_str(), stdout);
        if (!out.empty() && !out.ends_with('\n')) std::fputc('\n', stdout);
      } catch (const vboard::ControlError& e) {
        std::printf("%s\n", e.what());
      }
      std::fflush(stdout);
    }
    // End of input from a terminal means quit; a closed stdin (a board kept
    // up in the background) waits for a signal instead.
    if (::isatty(0)) ::kill(::getpid(), SIGTERM);
  });
  sigset_t set = blocked_signals();
  int sig = 0;
  sigwait(&set, &sig);
  std::printf("stopping the board\n");
  prompt.detach();
  board.reset();
  std::_Exit(0);  // the prompt thread may still sit in getline
}

// What a program run as the test PC is given.
struct PcSide {
  std::string port;       // the PC-side port link
  int netns = -1;         // the PC's network namespace
  std::string control;    // the control socket
  std::string usb_names;  // its /dev/serial, empty: none
};

PcSide pc_side(vboard::Board& board, const Args& a, const std::string& port, const ControlService& controls) {
  return {port, board.pc_netns_fd(), controls.path(),
          wants_usb_names(a) ? usb_names_dir(board) : std::string()};
}

// Runs a program on the host as the test PC: in the PC's network namespace
// (it reaches the board's web server on lan4), with {port} replaced.
int run_host_program(std::vector<std::string> argv, const PcSide& pc) {
  const std::string& port = pc.port;
  for (auto& arg : argv) {
    for (std::size_t at; (at = arg.find("{port}")) != std::string::npos;) arg.replace(at, 6, port);
  }
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    std::string error;
    if (!pc.usb_names.empty() && !vboard::enter_pc_usb_names(pc.usb_names, &error)) {
      std::fprintf(stderr, "vboard: cannot give the program the port's USB names: %s\n", error.c_str());
      _exit(126);
    }
    if (pc.netns >= 0 && ::setns(pc.netns, CLONE_NEWNET) != 0) {
      std::fprintf(stderr, "vboard: cannot enter the PC's network: %s\n", std::strerror(errno));
      _exit(126);
    }
    ::setenv("VBOARD_PORT", port.c_str(), 1);
    ::setenv(vboard::ControlSocket::kEnv, pc.control.c_str(), 1);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "vboard: cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  if (pid < 0) {  // waitpid(-1) below would reap any child, the board's own
    std::fprintf(stderr, "vboard: cannot run %s: fork: %s\n", args[0], std::strerror(errno));
    return 127;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int cmd_run(const Args& a) {
  if (a.rest.empty()) usage_error("run needs a program");
  auto board = boot(a);
  std::string port = attach_port(*board, a);
  ControlService controls(*board);
  return run_host_program(a.rest, pc_side(*board, a, port, controls));
}

int cmd_shell(const Args& a) {
  auto board = boot(a);
  std::string port = attach_port(*board, a);
  ControlService controls(*board);
  std::printf("PC-side port: %s (also in $VBOARD_PORT); exit the shell to stop the board\n", port.c_str());
  std::printf("board controls: vboard control LINE (socket in $VBOARD_CONTROL)\n");
  std::fflush(stdout);
  const char* shell = std::getenv("SHELL");
  return run_host_program({shell && *shell ? shell : "/bin/sh"}, pc_side(*board, a, port, controls));
}

// The client of a running board's control socket: one line, or several
// separated by ';'. Prints what a control answers; 1 when one fails.
int cmd_control(const Args& a) {
  const char* path = std::getenv(vboard::ControlSocket::kEnv);
  if (!path || !*path) {
    std::fprintf(stderr,
                 "vboard control: $%s is not set (use it in a program under vboard run or vboard shell)\n",
                 vboard::ControlSocket::kEnv);
    return 2;
  }
  std::string all;
  for (const auto& word : a.rest) all += (all.empty() ? "" : " ") + word;
  if (all.empty()) usage_error("control needs a control line (vboard controls lists them)");
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = all.find(';', begin);
    std::string line = all.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    line.erase(0, line.find_first_not_of(' '));
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) {
      std::string error;
      auto answer = vboard::ControlSocket::ask(path, line, &error);
      if (!answer) {
        std::fprintf(stderr, "vboard control: %s\n", error.c_str());
        return 3;
      }
      if (answer->starts_with("ok: ")) std::printf("%s\n", answer->c_str() + 4);
      if (answer->starts_with("error: ")) {
        std::fprintf(stderr, "vboard control: %s: %s\n", line.c_str(), answer->c_str() + 7);
        return 1;
      }
    }
    if (end == std::string::npos) return 0;
    begin = end + 1;
  }
}

int cmd_soak(const Args& a) {
  int rounds = a.rest.empty() ? 50 : std::atoi(a.rest[0].c_str());
  std::vector<double> times, setups;
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    vboard::Board::Namespaces ns;
    std::string dir;
    {
      auto board = boot(a, true);
      times.push_back(ms_since(start));
      setups.push_back(static_cast<double>(board->setup_time().count()) / 1000.0);
      vboard::HostClient client(board->usb_host().port());
      auto reply = client.request("at+ftm,dsp", 10s);
      if (!reply) {
        std::fprintf(stderr, "vboard: round %d: no reply\n", i + 1);
        return 1;
      }
      ns = board->namespaces();
      dir = board->state_dir();
    }
    // Anything left of the board: a process in its namespaces or its directory.
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
      std::error_code ec;
      auto target = std::filesystem::read_symlink(e.path() / "ns" / "pid", ec);
      if (!ec && target.string() == "pid:[" + std::to_string(ns.pid) + "]") {
        std::fprintf(stderr, "vboard: round %d: process %s outlived its board\n", i + 1,
                     e.path().filename().c_str());
        return 1;
      }
    }
    if (std::filesystem::exists(dir)) {
      std::fprintf(stderr, "vboard: round %d: %s left behind\n", i + 1, dir.c_str());
      return 1;
    }
  }
  std::sort(times.begin(), times.end());
  std::sort(setups.begin(), setups.end());
  std::printf("%d boards booted, served and torn down without leftovers\n", rounds);
  std::printf("board set up:    min %.1f ms, median %.1f ms, max %.1f ms\n", setups.front(),
              setups[setups.size() / 2], setups.back());
  std::printf("ftmd serving:    min %.1f ms, median %.1f ms, max %.1f ms (from the start of the boot)\n",
              times.front(), times[times.size() / 2], times.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args a = parse(argc, argv);
  // Signals are taken by sigwait, in every thread the board starts too: `up`
  // stops the board cleanly; the other commands kill it at once. Under run
  // and shell a Ctrl-C belongs to the host program, not to the board.
  sigset_t set = blocked_signals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (a.command != "up") {
    sigset_t watched = set;
    if (a.command == "run" || a.command == "shell") sigdelset(&watched, SIGINT);
    watch_signals(watched);
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    if (a.command == "send") return cmd_send(a);
    if (a.command == "session") return cmd_session(a);
    if (a.command == "up") return cmd_up(a);
    if (a.command == "run") return cmd_run(a);
    if (a.command == "shell") return cmd_shell(a);
    if (a.command == "soak") return cmd_soak(a);
    if (a.command == "control") return cmd_control(a);
    if (a.command == "controls") {
      std::fputs(vboard::Controls::help().c_str(), stdout);
      return 0;
    }
    usage_error("unknown command " + a.command);
  } catch (const vboard::BoardError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
  }
}
