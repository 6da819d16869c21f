// vboard: boots the virtual board with the unchanged ftmd and lets a person,
// a session file or a client program talk to it. See vboard/README.md.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "vboard/board.h"
#include "vboard/control_service.h"
#include "vboard/host_client.h"
#include "vboard/pc_usb_names.h"
#include "vboard/soak.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// What the command line asked for.
struct Args {
  std::string ftmd;
  std::string port;
  bool log = false;
  std::string container = "running";
  std::string usb_serial;
  std::string usb_location;
  int boot_time_ms = 1500;
  bool reenumerate = true;
  std::vector<std::string> rest;  // the subcommand's own arguments
};

// How a subcommand takes the board down on SIGINT, SIGTERM and SIGHUP.
enum class OnSignal {
  kKillBoard,           // at once, whatever the main thread does
  kKillBoardButSigint,  // the same, but a Ctrl-C belongs to the program run as the test PC
  kStopCleanly,         // the subcommand waits for them and stops the board itself
};

struct Subcommand {
  const char* name;
  const char* args;  // in the usage, e.g. "CMD..."
  const char* help;
  std::size_t min_args, max_args;
  // Options end at its first argument, whose words are its own (a program's
  // options, a control line).
  bool verbatim;
  // A board the test PC's programs use: it reboots as a real one does (its
  // port goes and comes back).
  bool test_pc;
  OnSignal on_signal;
  int (*run)(const Args&);
};

struct Option {
  const char* name;
  const char* value;  // "" for a flag
  const char* help;
  void (*set)(Args&, const std::string& value);
};

[[noreturn]] void usage_error(const std::string& what);

constexpr std::size_t kAny = ~std::size_t{0};

int cmd_send(const Args& a);
int cmd_session(const Args& a);
int cmd_up(const Args& a);
int cmd_run(const Args& a);
int cmd_shell(const Args& a);
int cmd_control(const Args& a);
int cmd_soak(const Args& a);
int cmd_controls(const Args&) {
  std::fputs(vboard::Controls::help().c_str(), stdout);
  return 0;
}

const Subcommand kSubcommands[] = {
    {"send", "CMD...", "sends each command to ftmd, printing request and reply", 0, kAny, true, false,
     OnSignal::kKillBoard, cmd_send},
    {"session", "FILE",
     "runs a session file: one command per line, '@control' lines act on the board, '#' lines are captions, "
     "'##' comments",
     1, 1, false, false, OnSignal::kKillBoard, cmd_session},
    {"up", "",
     "keeps the board up: prints the PC-side port and takes board controls on stdin (help lists them) until "
     "quit or Ctrl-C",
     0, 0, false, true, OnSignal::kStopCleanly, cmd_up},
    {"run", "PROG ARGS...",
     "runs PROG on the host as the test PC, with {port} in ARGS (and $VBOARD_PORT) the PC-side port, in the "
     "PC's network (the board's web server is http://192.0.2.1/); exits with PROG's status. $VBOARD_CONTROL "
     "is the board's control socket",
     1, kAny, true, true, OnSignal::kKillBoardButSigint, cmd_run},
    {"shell", "", "an interactive $SHELL as the test PC, with $VBOARD_PORT set", 0, 0, false, true,
     OnSignal::kKillBoardButSigint, cmd_shell},
    {"control", "LINE",
     "(under run or shell) sends a board control line, e.g. `vboard control key-in 300`; ';' separates "
     "several",
     1, kAny, true, false, OnSignal::kKillBoard, cmd_control},
    {"soak", "[N]",
     "boots, serves and tears down N boards (default 50), checking for leftovers and printing boot times", 0,
     1, false, false, OnSignal::kKillBoard, cmd_soak},
    {"controls", "", "lists the board controls", 0, 0, false, false, OnSignal::kKillBoard, cmd_controls},
};

const Option kOptions[] = {
    {"--ftmd", "PATH", "the daemon binary (default: ftmd next to vboard)",
     [](Args& a, const std::string& v) { a.ftmd = v; }},
    {"--port", "PATH", "where to put the PC-side port link (default: in the board dir)",
     [](Args& a, const std::string& v) { a.port = v; }},
    {"--log", "", "print the daemon's syslog lines as they come",
     [](Args& a, const std::string&) { a.log = true; }},
    {"--container", "STATE", "initial state of the dante container (default running)",
     [](Args& a, const std::string& v) { a.container = v; }},
    {"--usb-serial", "SN",
     "(run, shell) the program sees the port also as /dev/serial/by-id/usb-Acme_FTM-Audio_SN-if00 and by "
     "location",
     [](Args& a, const std::string& v) { a.usb_serial = v; }},
    {"--usb-location", "NAME", "its /dev/serial/by-path name (default pci-0000:00:14.0-usb-0:2:1.0)",
     [](Args& a, const std::string& v) { a.usb_location = v; }},
    {"--boot-time", "MS",
     "(run, shell, up) how long a reboot takes: the PC-side port is gone for MS milliseconds, then ftmd "
     "starts "
     "(default 1500)",
     [](Args& a, const std::string& v) {
       char* end = nullptr;
       long ms = std::strtol(v.c_str(), &end, 10);
       if (v.empty() || *end != '\0' || ms < 0 || ms > 600000)
         usage_error("--boot-time takes milliseconds, 0-600000");
       a.boot_time_ms = static_cast<int>(ms);
     }},
    {"--no-reenumerate", "", "(run, shell, up) `reboot` on the board is only recorded",
     [](Args& a, const std::string&) { a.reenumerate = false; }},
};

// "  NAME ARGS    help" lines, the help folded at 80 columns.
void append_row(std::string& out, const std::string& head, const std::string& help) {
  constexpr std::size_t kColumn = 23, kWidth = 80;
  std::string line = "  " + head;
  line.resize(std::max(line.size() + 1, kColumn), ' ');
  std::size_t start = 0;
  while (start < help.size()) {
    std::size_t room = kWidth - line.size();
    std::size_t end = help.size() - start <= room ? help.size() : help.rfind(' ', start + room);
    if (end == std::string::npos || end <= start) end = std::min(help.size(), start + room);
    line += help.substr(start, end - start);
    out += line + "\n";
    line = std::string(kColumn, ' ');
    start = end + (end < help.size() && help[end] == ' ' ? 1 : 0);
  }
}

std::string usage() {
  std::string verbatim;
  for (const auto& s : kSubcommands)
    if (s.verbatim) verbatim += std::string(verbatim.empty() ? "" : ", ") + s.name;
  std::string out =
      "usage: vboard [OPTIONS] COMMAND [OPTIONS] [ARGS]\n\nOptions may also follow COMMAND; for " + verbatim +
      " they end\nat its first argument (the rest is its own), and \"--\" ends them.\n\n"
      "Boots a fresh virtual board running ftmd, then:\n";
  for (const auto& s : kSubcommands)
    append_row(out, std::string(s.name) + (*s.args ? " " : "") + s.args, s.help);
  out += "\nOptions:\n";
  for (const auto& o : kOptions)
    append_row(out, std::string(o.name) + (*o.value ? " " : "") + o.value, o.help);
  return out;
}

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "vboard: %s\n%s", what.c_str(), usage().c_str());
  std::exit(2);
}

std::string default_ftmd() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "ftmd" : (self.parent_path() / "ftmd").string();
}

// Options may come before and after the subcommand, up to its first
// argument when that starts a program's own command line; "--" ends them.
std::pair<const Subcommand*, Args> parse(int argc, char** argv) {
  Args a;
  a.ftmd = default_ftmd();
  const Subcommand* sub = nullptr;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (options_done) {
      a.rest.push_back(word);
    } else if (word == "--") {
      options_done = true;
    } else if (word == "-h" || word == "--help") {
      std::fputs(usage().c_str(), stdout);
      std::exit(0);
    } else if (word.size() > 1 && word[0] == '-') {
      const Option* o = std::find_if(std::begin(kOptions), std::end(kOptions),
                                     [&](const Option& x) { return word == x.name; });
      if (o == std::end(kOptions)) usage_error("unknown option " + word);
      std::string value;
      if (*o->value) {
        if (i + 1 >= argc) usage_error(word + " needs a value");
        value = argv[++i];
      }
      o->set(a, value);
    } else if (sub == nullptr) {
      sub = std::find_if(std::begin(kSubcommands), std::end(kSubcommands),
                         [&](const Subcommand& s) { return word == s.name; });
      if (sub == std::end(kSubcommands)) usage_error("unknown command " + word);
    } else {
      a.rest.push_back(word);
      options_done = sub->verbatim;
    }
  }
  if (sub == nullptr) usage_error("no command");
  if (a.rest.size() < sub->min_args || a.rest.size() > sub->max_args)
    usage_error(std::string("usage: vboard ") + sub->name + " " + sub->args);
  return {sub, a};
}

// ---- The board ----------------------------------------------------------------

// The board a signal must take down.
std::atomic<vboard::Board*> g_board{nullptr};
// The subcommand being run (set once in main).
const Subcommand* g_command = nullptr;

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

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

vboard::BoardOptions board_options(const Args& a) {
  vboard::BoardOptions o;
  o.ftmd = a.ftmd;
  o.container_status = a.container;
  o.reboot_reenumerates = a.reenumerate && g_command->test_pc;
  o.boot_time = std::chrono::milliseconds(a.boot_time_ms);
  return o;
}

// Forgets the board for the signal watcher before destroying it.
struct Unregister {
  void operator()(vboard::Board* b) const {
    g_board = nullptr;
    std::default_delete<vboard::Board>()(b);
  }
};
using BoardPtr = std::unique_ptr<vboard::Board, Unregister>;

// Boots and waits for the daemon's first read; prints the boot time.
BoardPtr boot(const Args& a) {
  auto start = Clock::now();
  BoardPtr board(std::make_unique<vboard::Board>(board_options(a)).release());
  g_board = board.get();
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
  std::printf("board up: ftmd serving %.1f ms after boot began\n", ms_since(start));
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

// How another terminal reaches the test PC's network (ftmctl handover, a
// station's --web view).
std::string pc_network_command(const vboard::Board& board) {
  pid_t pid = board.pc_pid();
  return pid > 0 ? "nsenter --net=/proc/" + std::to_string(pid) + "/ns/net COMMAND" : "(no PC network)";
}

// ---- The subcommands ----------------------------------------------------------

int cmd_send(const Args& a) {
  auto board = boot(a);
  vboard::HostClient client(board->usb_host().port());
  for (const auto& c : a.rest) print_exchange(client, c);
  return 0;
}

int cmd_session(const Args& a) {
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
    if (line.empty() || line.starts_with("##")) continue;
    if (line[0] == '#') {
      std::printf("%s\n", line.c_str());
    } else if (line[0] == '@') {
      std::printf("@ %s\n", line.c_str() + 1);
      try {
        std::string out = controls.run(line.substr(1));
        if (!out.empty()) std::printf("  %s%s", out.c_str(), out.ends_with('\n') ? "" : "\n");
      } catch (const vboard::ControlError& e) {
        std::printf("  control failed: %s\n", e.what());
        ++failures;
      }
      std::fflush(stdout);
    } else {
      print_exchange(client, line);
    }
  }
  return failures == 0 ? 0 : 1;
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
  std::printf("the test PC's network (lan4's far end, 192.0.2.2; ftmctl handover): %s\n",
              pc_network_command(*board).c_str());
  vboard::ControlService controls(*board);
  std::printf("board controls on stdin (help lists them) and at %s\n", controls.path().c_str());
  std::printf("  (VBOARD_CONTROL=%s vboard control LINE); quit or Ctrl-C stops the board\n",
              controls.path().c_str());
  std::fflush(stdout);
  std::jthread prompt([&controls](const std::stop_token&) {
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
  sigset_t set = stop_signals();
  int sig = 0;
  sigwait(&set, &sig);
  std::printf("stopping the board\n");
  prompt.detach();
  board.reset();
  std::_Exit(0);  // the prompt thread may still sit in getline
}

// Runs a program on the host as the test PC: in the PC's network namespace
// (it reaches the board's web server on lan4), with {port} replaced, the
// board's control socket in $VBOARD_CONTROL and, when asked for, the port's
// USB names in its /dev/serial.
int run_as_test_pc(std::vector<std::string> argv, vboard::Board& board, const std::string& port,
                   const vboard::ControlService& controls, const Args& a) {
  for (auto& arg : argv)
    for (std::size_t at; (at = arg.find("{port}")) != std::string::npos;) arg.replace(at, 6, port);
  vboard::Launch program{
      .argv = argv,
      .netns = board.pc_netns_fd(),
      .env = {"VBOARD_PORT=" + port, std::string(vboard::ControlSocket::kEnv) + "=" + controls.path()}};
  if (wants_usb_names(a))
    program.prepare = [dir = usb_names_dir(board)] { return vboard::enter_pc_usb_names(dir); };
  pid_t pid = vboard::launch(program);
  if (pid < 0) {
    std::fprintf(stderr, "vboard: cannot run %s: fork: %s\n", argv[0].c_str(), std::strerror(errno));
    return 127;
  }
  return vboard::wait_exit(pid);
}

int cmd_run(const Args& a) {
  auto board = boot(a);
  const std::string port = attach_port(*board, a);
  vboard::ControlService controls(*board);
  return run_as_test_pc(a.rest, *board, port, controls, a);
}

int cmd_shell(const Args& a) {
  auto board = boot(a);
  const std::string port = attach_port(*board, a);
  vboard::ControlService controls(*board);
  std::printf("PC-side port: %s (also in $VBOARD_PORT); exit the shell to stop the board\n", port.c_str());
  std::printf("board controls: vboard control LINE (socket in $VBOARD_CONTROL)\n");
  std::printf("the test PC's network from another terminal: %s\n", pc_network_command(*board).c_str());
  std::fflush(stdout);
  const char* shell = std::getenv("SHELL");
  return run_as_test_pc({shell && *shell ? shell : "/bin/sh"}, *board, port, controls, a);
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
  int rounds = 50;
  if (!a.rest.empty()) {
    char* end = nullptr;
    long n = std::strtol(a.rest[0].c_str(), &end, 10);
    if (*end != '\0' || n < 1 || n > 100000) usage_error("soak takes a number of rounds, 1-100000");
    rounds = static_cast<int>(n);
  }
  return vboard::soak(board_options(a), rounds, [](vboard::Board* b) { g_board = b; });
}

}  // namespace

int main(int argc, char** argv) {
  auto [command, args] = parse(argc, argv);
  g_command = command;
  // Signals are taken by sigwait, in every thread the board starts too.
  sigset_t set = stop_signals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (command->on_signal != OnSignal::kStopCleanly) {
    if (command->on_signal == OnSignal::kKillBoardButSigint) sigdelset(&set, SIGINT);
    watch_signals(set);
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    return command->run(args);
  } catch (const vboard::BoardError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
  }
}
