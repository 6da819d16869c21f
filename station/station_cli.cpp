#include "station_cli.h"

#include <pwd.h>
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
#include "line_station.h"
#include "live_state.h"
#include "records.h"
#include "runner.h"
#include "web_view.h"

namespace ftmd::station {

const char kStationUsage[] =
    "usage: ftmstation [--plan FILE] [--port PATH | --usb-serial SN | --usb-location LOC]\n"
    "                  [--units CSV | --sn SN --csn CSN --mac LAN4,LAN3 |\n"
    "                   --db URL [--count N] [--retest]] [--records DIR]\n"
    "                  [--web ADDR:PORT] [--operator-hook PROG] [--yes] [--station NAME]\n"
    "                  [--operator NAME] [--port-wait SEC] [--check]\n"
    "Runs a test plan (default: the shipped default.yaml) on each unit and writes a JSON\n"
    "record per unit and a JUnit XML report into DIR (default ./station-records).\n"
    "  --db URL         units take their identity from the line database (sqlite:PATH or a\n"
    "                   PostgreSQL connection; also $FTMLINE_DB) and runs go back to it\n"
    "  --count N        with --db: stop after N units (default: until Ctrl-C)\n"
    "  --retest         with --db: test again a unit that already passed the plan\n"
    "  --operator NAME  who runs the station (default: the login name)\n"
    "  --check          check the plan and the units (or the database), touch no device\n"
    "  --yes            do not wait for Enter at confirm prompts\n"
    "  --operator-hook  run PROG ACTION PROMPT-TEXT at every operator prompt\n"
    "Exit status: 0 all units passed, 1 some failed or were refused, 2 port problems,\n"
    "64 usage, plan, units or database errors.\n";

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
    {"--plan", true},      {"--port", true},  {"--usb-serial", true},    {"--usb-location", true},
    {"--units", true},     {"--sn", true},    {"--csn", true},           {"--mac", true},
    {"--records", true},   {"--web", true},   {"--operator-hook", true}, {"--station", true},
    {"--port-wait", true}, {"--yes", false},  {"--check", false},        {"--help", false},
    {"--db", true},        {"--count", true}, {"--retest", false},       {"--operator", true},
};

// How long the station waits before it asks again for the next unit when
// the one on the fixture is still the unit just tested.
constexpr std::chrono::milliseconds kSameUnitPause{1000};

std::string login_name() {
  char name[256] = {};
  if (::getlogin_r(name, sizeof name) == 0 && name[0] != '\0') return name;
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  return "uid " + std::to_string(::getuid());
}

// Sleeps `pause`, or less when the operator interrupts.
void pause_unless_interrupted(std::chrono::milliseconds pause) {
  for (const Deadline deadline(pause); !deadline.passed() && !g_interrupted.load();)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

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
    if (arg == "--operator") o.operator_name = value;
    if (arg == "--db") o.db = value;
    if (arg == "--retest") o.retest = true;
    if (arg == "--count") {
      if (value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(value) < 1)
        return {std::nullopt, "bad --count \"" + value + "\" (a whole number of units from 1)"};
      o.count = std::stoi(value);
    }
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
  const bool units_given = !o.units_csv.empty() || !o.sn.empty() || !o.csn.empty() || !o.mac.empty();
  if (!o.db.empty() && units_given)
    return {std::nullopt,
            "give either --db or --units/--sn/--csn/--mac: with the line database units take "
            "their identity from it"};
  // The line's database from the environment serves only a station given no units.
  if (const char* env = std::getenv("FTMLINE_DB"); o.db.empty() && !units_given && env && *env) o.db = env;
  if (o.db.empty() && (o.count > 0 || o.retest))
    return {std::nullopt, o.count > 0 ? "--count is for runs on the line database (--db): a units file or "
                                        "--sn is its own count"
                                      : "--retest is for runs on the line database (--db)"};
  if (!o.web.empty()) {
    std::string address;
    int port = 0;
    if (!split_address(o.web, address, port))
      return {std::nullopt, "bad --web \"" + o.web + "\" (ADDR:PORT)"};
  }
  return {o, {}};
}

namespace {

// What every unit of one run shares: where its records go and how the run
// is doing so far.
struct RunContext {
  const StationOptions& options;
  const Plan& plan;
  std::string station;
  std::FILE* out;
  std::FILE* err;
  LiveState& state;
  TerminalOperator& op;
  Runner& runner;
  std::string run_time;
  std::string junit_path;
  std::vector<UnitRecord> done;
  int status = kExitAllPassed;

  void worse(int s) {
    if (status == kExitAllPassed || s == kExitPort) status = s;
  }
};

// The unit's record and the run's JUnit report, written whole before the
// next unit; the unit's verdict goes into the run's exit status.
void finish_unit(RunContext& run, UnitRecord record) {
  std::string path = run.options.records + "/" + record_file_name(record, run.run_time);
  Status written = write_file_atomic(
      path, unit_json(record).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
  if (!written) std::fprintf(run.err, "ftmstation: %s\n", written.message().c_str());
  run.done.push_back(std::move(record));
  if (Status junit = write_file_atomic(
          run.junit_path, junit_xml(run.done, "ftmstation " + run.station + " " + run.plan.name));
      !junit) {
    std::fprintf(run.err, "ftmstation: %s\n", junit.message().c_str());
    written = junit;
  }
  if (written) std::fprintf(run.out, "  record: %s\n", path.c_str());
  std::fflush(run.out);
  if (run.done.back().transport_failed) {
    run.status = kExitPort;
  } else if (!run.done.back().passed && run.status == kExitAllPassed) {
    run.status = kExitSomeFailed;
  }
  if (!written && run.status == kExitAllPassed) run.status = kExitSomeFailed;
}

// Asks the operator for the next unit (the hook's action "next-unit").
void ask_next_unit(RunContext& run, const std::string& text) {
  run.state.update([&](StationSnapshot& s) { s.prompt = text; });
  run.op.prompt("next-unit", text, true);
  run.state.update([&](StationSnapshot& s) { s.prompt.clear(); });
}

// The port did not come (or went) before a unit could start: the run stops.
void stop_at_port(RunContext& run, const std::string& error, const std::string& unit) {
  std::fprintf(run.err, "ftmstation: %s: %s\n", run.options.port.describe().c_str(), error.c_str());
  std::fprintf(run.out, "STOP at unit %s: the port cannot be used; the remaining units were not tested\n",
               unit.c_str());
  run.status = kExitPort;
}

// The units of a file or of the command line, one after another.
void run_listed_units(RunContext& run, const std::vector<Unit>& units) {
  std::string error;
  const int count = static_cast<int>(units.size());
  for (int index = 1; index <= count && !g_interrupted.load(); ++index) {
    const Unit& unit = units[static_cast<std::size_t>(index - 1)];
    if (index > 1)
      ask_next_unit(run, "Connect unit " + std::to_string(index) + " of " + std::to_string(count) +
                             (unit.sn.empty() ? std::string() : " (" + unit.sn + ")"));
    auto link = open_device(run.options.port, run.options.port_wait, run.state, run.out, run.err, &error);
    if (!link && g_interrupted.load()) break;  // Ctrl-C while waiting: not a port problem
    if (!link) {
      stop_at_port(run, error, std::to_string(index) + "/" + std::to_string(count) + " " + unit.sn);
      break;
    }
    UnitRecord record = run.runner.run_unit(unit, index, count, link);
    link.reset();
    finish_unit(run, std::move(record));
  }
  if (g_interrupted.load()) {
    if (run.status == kExitAllPassed) run.status = kExitSomeFailed;
    std::fprintf(run.out, "interrupted: %zu of %d units tested\n", run.done.size(), count);
  }
  int passed = 0;
  for (const auto& r : run.done) passed += r.passed;
  std::fprintf(run.out, "%d of %d unit%s passed; JUnit report %s\n", passed, count, count == 1 ? "" : "s",
               run.done.empty() ? "not written" : run.junit_path.c_str());
}

// Units as they come to the fixture, each identified by its hardware id and
// given its identity by the line, until `--count` units were taken (tested
// or refused) or the operator stops the run between units.
void run_line_units(RunContext& run, LineStation& line) {
  const int count = run.options.count;
  std::string error, last_hwid;
  int taken = 0, refused = 0;
  bool ask = false;
  while (!g_interrupted.load() && (count == 0 || taken < count)) {
    const int index = taken + 1;
    const std::string number =
        count > 0 ? std::to_string(index) + "/" + std::to_string(count) : std::to_string(index);
    if (ask)
      ask_next_unit(run, count > 0 ? "Connect unit " + std::to_string(index) + " of " + std::to_string(count)
                                   : std::string("Connect the next unit"));
    ask = true;
    auto link = open_device(run.options.port, run.options.port_wait, run.state, run.out, run.err, &error);
    if (!link && g_interrupted.load()) break;
    if (!link) {
      stop_at_port(run, error, number);
      break;
    }
    auto refuse = [&](const std::string& who, const std::string& why, bool transport) {
      std::fprintf(run.out, "REFUSED unit %s %s: %s; nothing was written to it\n", number.c_str(),
                   who.c_str(), why.c_str());
      std::fflush(run.out);
      run.state.update([&](StationSnapshot& s) { s.status = "unit " + number + " refused: " += why; });
      run.worse(transport ? kExitPort : kExitSomeFailed);
      ++taken;
      ++refused;
    };
    HwidRead id = read_hwid(*link);
    if (!id.hwid) {
      refuse("(hardware id unknown)", "its hardware id cannot be read: " + id.error, id.transport);
      continue;
    }
    const std::string& hwid = *id.hwid;
    if (hwid == last_hwid) {
      // Still the unit just tested: not a new unit.
      std::fprintf(run.out, "the unit on the fixture is still %s, taken just now: put the next unit on\n",
                   hwid.c_str());
      std::fflush(run.out);
      run.state.update(
          [&](StationSnapshot& s) { s.status = "waiting for the next unit: " + hwid + " is still on"; });
      link.reset();
      pause_unless_interrupted(kSameUnitPause);
      continue;
    }
    last_hwid = hwid;
    const auto started = std::chrono::system_clock::now();
    LineStation::Admission admission = line.admit(hwid, *link);
    if (!admission.unit) {
      // A unit refused only because the database could not be used may come again.
      if (admission.unavailable) last_hwid.clear();
      refuse("(hwid " + hwid + ")", admission.refusal, admission.transport);
      continue;
    }
    UnitRecord record = run.runner.run_unit(*admission.unit, index, count, link);
    link.reset();
    record.line = LineRun{hwid, make_run_id(hwid, started), line.actor().operator_name,
                          admission.identity_new, identity_read_back(run.plan, record)};
    finish_unit(run, std::move(record));
    line.deliver(run.done.back(), run.out, run.err);
    ++taken;
  }
  int passed = 0, aborted = 0;
  for (const auto& r : run.done) {
    passed += r.passed;
    aborted += !r.passed && r.interrupted;
  }
  // Ctrl-C between units is how an open-ended run ends; during a unit it
  // leaves that unit aborted.
  if (g_interrupted.load()) std::fprintf(run.out, "stopped by the operator\n");
  if (aborted > 0 && run.status == kExitAllPassed) run.status = kExitSomeFailed;
  const int tested = static_cast<int>(run.done.size());
  std::string refusals = refused > 0 ? ", " + std::to_string(refused) + " refused" : std::string();
  std::fprintf(run.out, "%d of %d unit%s passed%s; JUnit report %s\n", passed, tested, tested == 1 ? "" : "s",
               refusals.c_str(), run.done.empty() ? "not written" : run.junit_path.c_str());
  if (std::size_t waiting = line.outbox().waiting(); waiting > 0)
    std::fprintf(run.out, "%zu record%s wait%s for the line database in %s\n", waiting,
                 waiting == 1 ? "" : "s", waiting == 1 ? "s" : "", line.outbox().dir().c_str());
}

// "sqlite:line.db: 12 sn, 12 csn, 6 MAC pairs left"
std::string pool_summary(const std::vector<line::PoolLevel>& levels) {
  std::string text;
  for (const auto& level : levels)
    text += (text.empty() ? "" : ", ") + std::to_string(level.left) + " " +
            (level.pool == "mac" ? std::string(level.left == 1 ? "MAC pair" : "MAC pairs") : level.pool);
  return text + " left";
}

}  // namespace

int run_station(const StationOptions& options, std::FILE* out, std::FILE* err, int in_fd) {
  // Everything is checked before the first unit is touched.
  std::string error;
  std::string plan_path = options.plan.empty() ? default_plan_path() : options.plan;
  auto plan = load_plan(plan_path, &error);
  if (!plan) {
    std::fprintf(err, "ftmstation: %s\n", error.c_str());
    return kExitUsage;
  }
  const bool on_line = !options.db.empty();
  std::vector<Unit> units;
  if (on_line) {
    // Units come from the line one by one.
  } else if (!options.units_csv.empty()) {
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
  const std::string station = options.station.empty() ? host_name() : options.station;
  const std::string operator_name = options.operator_name.empty() ? login_name() : options.operator_name;
  std::unique_ptr<LineStation> line;
  std::string pools;
  if (on_line) {
    auto db = line::open_line_db(options.db, line::retry_within_from_env());
    if (!db) {
      std::fprintf(err, "ftmstation: line database: %s\n", db.error().message.c_str());
      return kExitUsage;
    }
    // A database that cannot be reached now is waited for unit by unit;
    // one that cannot serve this station (no schema, a newer one, no
    // rights) stops the station here.
    auto levels = (*db)->pool_levels();
    if (!levels && !levels.error().unavailable()) {
      std::fprintf(err, "ftmstation: line database %s: %s\n", (*db)->describe().c_str(),
                   levels.error().message.c_str());
      return kExitUsage;
    }
    pools = levels ? pool_summary(*levels) : "cannot be reached now (" + levels.error().message + ")";
    pools = (*db)->describe() + ": " + pools;
    AttemptLimit limit;
    if (plan->max_attempts) limit = {*plan->max_attempts, "from the plan"};
    line = std::make_unique<LineStation>(
        std::move(*db),
        LineStation::Config{{station, operator_name}, plan->name, options.retest, limit, options.records});
  }
  if (options.check) {
    if (on_line) {
      std::fprintf(out, "plan \"%s\" (%s): %zu steps; line database %s\n", plan->name.c_str(),
                   plan->file.c_str(), plan->steps.size(), pools.c_str());
    } else {
      std::fprintf(out, "plan \"%s\" (%s): %zu steps; %zu unit%s checked, all good\n", plan->name.c_str(),
                   plan->file.c_str(), plan->steps.size(), units.size(), units.size() == 1 ? "" : "s");
    }
    return kExitAllPassed;
  }
  std::error_code ec;
  std::filesystem::create_directories(options.records, ec);
  if (ec) {
    std::fprintf(err, "ftmstation: %s: cannot create the records directory: %s\n", options.records.c_str(),
                 ec.message().c_str());
    return kExitUsage;
  }
  if (line) {
    std::fprintf(out, "line database %s; operator %s\n", pools.c_str(), operator_name.c_str());
    line->flush(out, err);
  }

  LiveState state;
  state.update([&](StationSnapshot& s) {
    s.station = station;
    s.port = options.port.describe();
    s.status = "starting";
    s.unit.plan = plan->name;
    s.unit.count = on_line ? options.count : static_cast<int>(units.size());
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
  RunContext run{options,  *plan,
                 station,  out,
                 err,      state,
                 op,       runner,
                 run_time, options.records + "/junit-" + run_time + ".xml",
                 {},       kExitAllPassed};
  if (line)
    run_line_units(run, *line);
  else
    run_listed_units(run, units);
  state.update([&](StationSnapshot& s) { s.status = "finished"; });
  std::fflush(out);
  return run.status;
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
