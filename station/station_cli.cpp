#include "station_cli.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/atomic_file.h"
#include "common/deadline.h"
#include "live_state.h"
#include "records.h"
#include "runner.h"
#include "web_view.h"

namespace ftmd::station {

const char kStationUsage[] =
    "usage: ftmstation [--plan FILE] [--port PATH | --usb-serial SN | --usb-location LOC]\n"
    "                  [--units CSV | --sn SN --csn CSN --mac LAN4,LAN3] [--records DIR]\n"
    "                  [--web ADDR:PORT] [--operator-hook PROG] [--yes] [--station NAME]\n"
    "                  [--port-wait SEC] [--check]\n"
    "Runs a test plan (default: the shipped default.yaml) on each unit and writes a JSON\n"
    "record per unit and a JUnit XML report into DIR (default ./station-records).\n"
    "  --check          check the plan and the units, touch no device\n"
    "  --yes            do not wait for Enter at confirm prompts\n"
    "  --operator-hook  run PROG ACTION PROMPT-TEXT at every operator prompt\n"
    "Exit status: 0 all units passed, 1 some failed, 2 port problems, 64 usage, plan or units errors.\n";

namespace {

// Ctrl-C (or SIGTERM) during a run: the step under way finishes, the unit's
// record is written with the rest skipped, and the run stops. A second one
// kills the station at once.
std::atomic<bool> g_interrupted{false};

void on_interrupt(int sig) {
  g_interrupted.store(true);
  static constexpr char kMessage[] =
      "\nftmstation: interrupted: the unit's record is written after the current step (again to quit now)\n";
  ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  (void)ignored;
  ::signal(sig, SIG_DFL);
}

// Installed for the run only; restores the previous handlers.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &old_int_);
    ::sigaction(SIGTERM, &action, &old_term_);
  }
  ~InterruptGuard() {
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGTERM, &old_term_, nullptr);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

struct Flag {
  const char* name;
  bool takes_value;
};

constexpr Flag kFlags[] = {
    {"--plan", true},      {"--port", true}, {"--usb-serial", true},    {"--usb-location", true},
    {"--units", true},     {"--sn", true},   {"--csn", true},           {"--mac", true},
    {"--records", true},   {"--web", true},  {"--operator-hook", true}, {"--station", true},
    {"--port-wait", true}, {"--yes", false}, {"--check", false},        {"--help", false},
};

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "station";
  return name;
}

bool split_address(const std::string& text, std::string& address, int& port) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  address = text.substr(0, colon);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::stoi(digits);
  return port <= 65535;
}

// Opens the unit's port, waiting for it to appear.
std::unique_ptr<Transport> open_device(const PortChoice& choice, std::chrono::milliseconds wait,
                                       LiveState& state, std::FILE* out, std::FILE* err, std::string* error) {
  state.update([&](StationSnapshot& s) { s.status = "waiting for the device on " + choice.describe(); });
  const Deadline deadline(wait);
  for (bool told = false;; told = true) {
    if (auto link = open_port(choice, error)) return std::make_unique<LinkTransport>(std::move(*link), err);
    if (deadline.passed() || g_interrupted.load()) return nullptr;
    if (!told) {
      std::fprintf(out, "waiting for the device on %s: %s\n", choice.describe().c_str(), error->c_str());
      std::fflush(out);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

}  // namespace

ParsedStationArgs parse_station_args(std::span<const char* const> args) {
  StationOptions o;
  int port_choices = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool inline_value = false;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      inline_value = true;
    }
    const Flag* flag = nullptr;
    for (const auto& f : kFlags)
      if (arg == f.name) flag = &f;
    if (!flag) return {std::nullopt, "unknown option " + std::string(args[i])};
    if (flag->takes_value && !inline_value) {
      if (i + 1 >= args.size()) return {std::nullopt, arg + " needs a value"};
      value = args[++i];
    } else if (!flag->takes_value && inline_value) {
      return {std::nullopt, arg + " takes no value"};
    }
    if (flag->takes_value && value.empty()) return {std::nullopt, arg + " needs a value"};
    if (arg == "--plan") o.plan = value;
    if (arg == "--port") o.port.path = value, ++port_choices;
    if (arg == "--usb-serial") o.port.usb_serial = value, ++port_choices;
    if (arg == "--usb-location") o.port.usb_location = value, ++port_choices;
    if (arg == "--units") o.units_csv = value;
    if (arg == "--sn") o.sn = value;
    if (arg == "--csn") o.csn = value;
    if (arg == "--mac") o.mac = value;
    if (arg == "--records") o.records = value;
    if (arg == "--web") o.web = value;
    if (arg == "--operator-hook") o.operator_hook = value;
    if (arg == "--station") o.station = value;
    if (arg == "--yes") o.yes = true;
    if (arg == "--check") o.check = true;
    if (arg == "--help") o.help = true;
    if (arg == "--port-wait") {
      char* end = nullptr;
      double secs = std::strtod(value.c_str(), &end);
      if (end != value.c_str() + value.size() || !std::isfinite(secs) || secs < 0 || secs > 3600)
        return {std::nullopt, "bad --port-wait \"" + value + "\" (seconds from 0 to 3600)"};
      o.port_wait = std::chrono::milliseconds(std::llround(secs * 1000));
    }
  }
  if (port_choices > 1) return {std::nullopt, "give one of --port, --usb-serial and --usb-location"};
  if (port_choices == 0) o.port.path = pc::kDefaultPort;
  if (!o.units_csv.empty() && (!o.sn.empty() || !o.csn.empty() || !o.mac.empty()))
    return {std::nullopt, "give either --units or --sn/--csn/--mac, not both"};
  if (!o.mac.empty() && o.mac.find(',') == std::string::npos)
    return {std::nullopt, "--mac takes the pair LAN4,LAN3"};
  if (!o.web.empty()) {
    std::string address;
    int port = 0;
    if (!split_address(o.web, address, port))
      return {std::nullopt, "bad --web \"" + o.web + "\" (ADDR:PORT)"};
  }
  return {o, {}};
}

int run_station(const StationOptions& options, std::FILE* out, std::FILE* err, int in_fd) {
  // Everything is checked before the first unit is touched.
  std::string error;
  std::string plan_path = options.plan.empty() ? default_plan_path() : options.plan;
  auto plan = load_plan(plan_path, &error);
  if (!plan) {
    std::fprintf(err, "ftmstation: %s\n", error.c_str());
    return kExitUsage;
  }
  std::vector<Unit> units;
  if (!options.units_csv.empty()) {
    auto loaded = load_units_csv(options.units_csv, &error);
    if (!loaded) {
      std::fprintf(err, "ftmstation: %s\n", error.c_str());
      return kExitUsage;
    }
    units = std::move(*loaded);
  } else {
    Unit unit;
    unit.origin = "command line";
    unit.sn = options.sn;
    unit.csn = options.csn;
    if (auto comma = options.mac.find(','); comma != std::string::npos) {
      unit.lan4_mac = options.mac.substr(0, comma);
      unit.lan3_mac = options.mac.substr(comma + 1);
    }
    units.push_back(std::move(unit));
  }
  auto problems = check_units(units, plan->variables);
  if (!problems.empty()) {
    for (const auto& p : problems) std::fprintf(err, "ftmstation: %s\n", p.c_str());
    std::fprintf(err, "ftmstation: nothing was written to any unit\n");
    return kExitUsage;
  }
  if (!options.operator_hook.empty() && ::access(options.operator_hook.c_str(), X_OK) != 0) {
    std::fprintf(err, "ftmstation: operator hook %s: %s\n", options.operator_hook.c_str(),
                 std::strerror(errno));
    return kExitUsage;
  }
  if (options.check) {
    std::fprintf(out, "plan \"%s\" (%s): %zu steps; %zu unit%s checked, all good\n", plan->name.c_str(),
                 plan->file.c_str(), plan->steps.size(), units.size(), units.size() == 1 ? "" : "s");
    return kExitAllPassed;
  }
  std::error_code ec;
  std::filesystem::create_directories(options.records, ec);
  if (ec) {
    std::fprintf(err, "ftmstation: %s: cannot create the records directory: %s\n", options.records.c_str(),
                 ec.message().c_str());
    return kExitUsage;
  }

  LiveState state;
  const std::string station = options.station.empty() ? host_name() : options.station;
  state.update([&](StationSnapshot& s) {
    s.station = station;
    s.port = options.port.describe();
    s.status = "starting";
    s.unit.plan = plan->name;
    s.unit.count = static_cast<int>(units.size());
  });
  std::unique_ptr<WebView> web;
  if (!options.web.empty()) {
    std::string address;
    int port = 0;
    split_address(options.web, address, port);
    web = WebView::start(state, address, port, &error);
    if (!web) {
      std::fprintf(err, "ftmstation: web view on %s: %s\n", options.web.c_str(), error.c_str());
      return kExitUsage;
    }
    std::fprintf(out, "station view: http://%s:%d/\n",
                 address.find(':') != std::string::npos ? ("[" + address + "]").c_str() : address.c_str(),
                 web->port());
  }

  InterruptGuard interrupt_guard;
  TerminalOperator op(options.operator_hook, options.yes, out, in_fd, &g_interrupted);
  RunnerServices services;
  services.op = &op;
  services.interrupted = &g_interrupted;
  services.reconnect = [&](std::chrono::milliseconds within, std::string* why) -> std::unique_ptr<Transport> {
    auto link = reopen_after_reboot(options.port, kRebootGoneWithin, within, why);
    if (!link) return nullptr;
    return std::make_unique<LinkTransport>(std::move(*link), err);
  };
  Runner runner(*plan, {station, options.port.describe(), ::isatty(::fileno(out)) == 1, out}, services,
                state);

  // File names carry the run's start to the second: a run that starts in
  // the second of an earlier one in the same directory waits for the next,
  // rather than overwrite that run's records.
  auto run_started = std::chrono::system_clock::now();
  for (std::error_code exists_error; std::filesystem::exists(
           options.records + "/junit-" + file_time(run_started) + ".xml", exists_error);) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    run_started = std::chrono::system_clock::now();
  }
  const std::string run_time = file_time(run_started);
  const std::string junit_path = options.records + "/junit-" + run_time + ".xml";
  std::vector<UnitRecord> done;
  int status = kExitAllPassed;
  const int count = static_cast<int>(units.size());
  for (int index = 1; index <= count && !g_interrupted.load(); ++index) {
    const Unit& unit = units[static_cast<std::size_t>(index - 1)];
    if (index > 1) {
      std::string text = "Connect unit " + std::to_string(index) + " of " + std::to_string(count) +
                         (unit.sn.empty() ? std::string() : " (" + unit.sn + ")");
      state.update([&](StationSnapshot& s) { s.prompt = text; });
      op.prompt("next-unit", text, true);
      state.update([&](StationSnapshot& s) { s.prompt.clear(); });
    }
    auto link = open_device(options.port, options.port_wait, state, out, err, &error);
    if (!link && g_interrupted.load()) break;  // Ctrl-C while waiting: not a port problem
    if (!link) {
      std::fprintf(err, "ftmstation: %s: %s\n", options.port.describe().c_str(), error.c_str());
      std::fprintf(out,
                   "STOP at unit %d/%d %s: the port cannot be used; the remaining units were not tested\n",
                   index, count, unit.sn.c_str());
      status = kExitPort;
      break;
    }
    UnitRecord record = runner.run_unit(unit, index, count, link);
    link.reset();
    std::string path = options.records + "/" + record_file_name(record, run_time);
    Status written = write_file_atomic(
        path, unit_json(record).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
    if (!written) std::fprintf(err, "ftmstation: %s\n", written.message().c_str());
    done.push_back(std::move(record));
    if (Status junit =
            write_file_atomic(junit_path, junit_xml(done, "ftmstation " + station + " " + plan->name));
        !junit) {
      std::fprintf(err, "ftmstation: %s\n", junit.message().c_str());
      written = junit;
    }
    if (written) std::fprintf(out, "  record: %s\n", path.c_str());
    std::fflush(out);
    if (done.back().transport_failed) {
      status = kExitPort;
    } else if (!done.back().passed && status == kExitAllPassed) {
      status = kExitSomeFailed;
    }
    if (!written && status == kExitAllPassed) status = kExitSomeFailed;
  }
  if (g_interrupted.load()) {
    if (status == kExitAllPassed) status = kExitSomeFailed;
    std::fprintf(out, "interrupted: %zu of %d units tested\n", done.size(), count);
  }

  int passed = 0;
  for (const auto& r : done) passed += r.passed;
  state.update([&](StationSnapshot& s) { s.status = "finished"; });
  std::fprintf(out, "%d of %d unit%s passed; JUnit report %s\n", passed, count, count == 1 ? "" : "s",
               done.empty() ? "not written" : junit_path.c_str());
  std::fflush(out);
  return status;
}

int station_main(int argc, char** argv) {
  auto parsed =
      parse_station_args({const_cast<const char* const*>(argv) + 1, static_cast<std::size_t>(argc - 1)});
  if (!parsed.options) {
    std::fprintf(stderr, "ftmstation: %s\n%s", parsed.error.c_str(), kStationUsage);
    return kExitUsage;
  }
  if (parsed.options->help) {
    std::fputs(kStationUsage, stdout);
    return kExitAllPassed;
  }
  return run_station(*parsed.options, stdout, stderr, STDIN_FILENO);
}

}  // namespace ftmd::station
