// The station's run: everything checked before the first unit, one thread
// per slot, and the main thread watching the operator's Ctrl-C and the
// records that wait to be written.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/deadline.h"
#include "publisher.h"
#include "slot.h"
#include "station_cli.h"
#include "terminal.h"
#include "web_view.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;

// Ctrl-C (or SIGTERM) during a run: each slot finishes the step under way,
// writes its unit's record with the rest skipped, and stops. A second one
// stops the station at once: the main thread writes every running unit's
// record (aborted) before it exits. A third kills it.
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_abort_now{false};

void on_interrupt(int sig) {
  if (!g_interrupted.exchange(true)) {
    static constexpr char kFirst[] =
        "\nftmstation: stopping: each slot finishes the step under way and writes its unit's record "
        "(Ctrl-C again: stop at once, every record still written)\n";
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, kFirst, sizeof kFirst - 1);
    return;
  }
  g_abort_now.store(true);
  static constexpr char kSecond[] = "\nftmstation: stopping at once: writing every unit's record\n";
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, kSecond, sizeof kSecond - 1);
  ::signal(sig, SIG_DFL);
}

// Installed for the run only; restores the previous handlers.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted.store(false);
    g_abort_now.store(false);
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

// How often the main thread looks at the operator's Ctrl-C, and how often it
// tries again to write records that could not be written.
constexpr auto kWatchStep = 50ms;
constexpr auto kRecordRetry = 2s;
// How long a quitting station waits for the hooks it killed to be reaped,
// and for open pages to be handed the final state.
constexpr auto kHookReapWait = 2s;
constexpr auto kPagesLinger = 2s;

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

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "station";
  return name;
}

// "sqlite:line.db: 12 sn, 12 csn, 6 MAC pairs left"
std::string pool_summary(const std::vector<line::PoolLevel>& levels) {
  std::string text;
  for (const auto& level : levels)
    text += (text.empty() ? "" : ", ") + std::to_string(level.left) + " " +
            (level.pool == "mac" ? std::string(level.left == 1 ? "MAC pair" : "MAC pairs") : level.pool);
  return text + " left";
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string rescue_dir(const std::string& run_time) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/ftmstation-rescue-" + run_time;
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
  for (const auto& warning : plan->warnings) std::fprintf(err, "ftmstation: %s\n", warning.c_str());
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
  if (!options.on_record.empty() && ::access(options.on_record.c_str(), X_OK) != 0) {
    std::fprintf(err, "ftmstation: on-record hook %s: %s\n", options.on_record.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  const std::string station = options.station.empty() ? host_name() : options.station;
  const std::string operator_name = options.operator_name.empty() ? login_name() : options.operator_name;
  const bool several = options.slots.size() > 1;
  std::mutex outbox_mutex;
  std::vector<std::unique_ptr<LineStation>> lines;
  std::string pools;
  if (on_line) {
    // One connection per slot; the first also checks the database.
    for (std::size_t i = 0; i < options.slots.size(); ++i) {
      auto db = line::open_line_db(options.db, line::retry_within_from_env());
      if (!db) {
        std::fprintf(err, "ftmstation: line database: %s\n", db.error().message.c_str());
        return kExitUsage;
      }
      if (i == 0) {
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
        pools.insert(0, (*db)->describe() + ": ");
      }
      AttemptLimit limit;
      if (plan->max_attempts) limit = {*plan->max_attempts, "from the plan"};
      lines.push_back(std::make_unique<LineStation>(
          std::move(*db),
          LineStation::Config{
              {station, operator_name}, plan->name, options.retest, limit, options.records, &outbox_mutex}));
    }
  }
  const std::string slots_text =
      several ? "; " + plural(options.slots.size(), "slot", "slots") : std::string();
  if (options.check) {
    const std::string steps = plural(plan->steps.size(), "step", "steps");
    if (on_line) {
      std::fprintf(out, "plan \"%s\" (%s): %s%s; line database %s\n", plan->name.c_str(), plan->file.c_str(),
                   steps.c_str(), slots_text.c_str(), pools.c_str());
    } else {
      std::fprintf(out, "plan \"%s\" (%s): %s%s; %s checked, all good\n", plan->name.c_str(),
                   plan->file.c_str(), steps.c_str(), slots_text.c_str(),
                   plural(units.size(), "unit", "units").c_str());
    }
    return kExitAllPassed;
  }
  // The records directory must take a record before any unit is touched.
  std::error_code ec;
  std::filesystem::create_directories(options.records, ec);
  if (ec) {
    std::fprintf(err, "ftmstation: %s: cannot create the records directory: %s\n", options.records.c_str(),
                 ec.message().c_str());
    return kExitUsage;
  }
  if (Status probe = RecordBook::probe(options.records); !probe) {
    std::fprintf(err, "ftmstation: the records directory %s cannot take records: %s; nothing was tested\n",
                 options.records.c_str(), probe.message().c_str());
    return kExitUsage;
  }
  // Each slot holds its port for its whole life, reboots included.
  std::vector<PortLock> locks;
  const std::string since = iso_time(std::chrono::system_clock::now());
  for (const auto& slot : options.slots) {
    std::string holder = "station \"" + station;
    holder.append("\", slot ").append(slot.name).append(" (pid ").append(std::to_string(::getpid()));
    holder.append(", since ").append(since).append(")");
    auto lock = PortLock::take(slot.port, holder, &error);
    if (!lock) {
      std::fprintf(err, "ftmstation: slot %s: %s; nothing was tested\n", slot.name.c_str(), error.c_str());
      return kExitPort;
    }
    locks.push_back(std::move(*lock));
  }

  Console console(out, !several && ::isatty(::fileno(out)) == 1);
  if (!lines.empty()) {
    console.line("line database " + pools + "; operator " + operator_name);
    lines.front()->flush([&](const std::string& text) { console.line(text); }, err);
  }

  LiveState state;
  OperatorDesk desk;
  FixtureBench fixtures;
  state.update([&](StationSnapshot& s) {
    s.station = station;
    s.status = "starting";
    s.operator_name = operator_name;
    for (const auto& chosen : options.slots) {
      SlotView slot;
      slot.name = chosen.name;
      slot.port = chosen.port.describe();
      slot.status = "starting";
      slot.unit.plan = plan->name;
      slot.unit.count = on_line ? options.count : static_cast<int>(units.size());
      s.slots.push_back(std::move(slot));
    }
  });
  // With the line database, the line view follows the slots.
  std::unique_ptr<StationPublisher> publisher;
  if (on_line) {
    publisher = StationPublisher::start(
        state, {options.db, host_name(), line::Outbox::beside(options.records)}, err, &error);
    if (!publisher) {
      std::fprintf(err, "ftmstation: line database: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  std::unique_ptr<WebView> web;
  if (!options.web.empty()) {
    std::string address;
    int port = 0;
    split_address(options.web, address, port);
    // Off loopback the view makes the answer token itself; its URL carries it.
    const bool needs_token = !is_loopback_address(address);
    state.update([&](StationSnapshot& s) { s.answer_needs_token = needs_token; });
    web = WebView::start(state, desk, {address, port, "", operator_name}, &error);
    if (!web) {
      std::fprintf(err, "ftmstation: web view on %s: %s\n", options.web.c_str(), error.c_str());
      return kExitUsage;
    }
    console.line("station view: " + web->url() +
                 (needs_token ? " (answers from the page need the token this link carries)" : ""));
  }

  InterruptGuard interrupt_guard;
  EventFd stop_hooks;
  std::atomic<int> hooks_running{0};
  const OperatorSetup operator_setup{options.operator_hook, options.yes,   operator_name, station,
                                     &stop_hooks,           &hooks_running};
  std::vector<std::string> slot_names;
  for (const auto& slot : options.slots) slot_names.push_back(slot.name);
  std::optional<TerminalAnswers> terminal;
  if (in_fd >= 0) terminal.emplace(desk, console, in_fd, operator_name, slot_names);

  // File names carry the run's start to the second: a run that starts in
  // the second of an earlier one in the same directory waits for the next,
  // rather than overwrite that run's records.
  auto run_started = std::chrono::system_clock::now();
  for (std::error_code exists_error; std::filesystem::exists(
           options.records + "/junit-" + file_time(run_started) + ".xml", exists_error);) {
    std::this_thread::sleep_for(50ms);
    run_started = std::chrono::system_clock::now();
  }
  const std::string run_time = file_time(run_started);
  RecordBook records(options.records, run_time, "ftmstation " + station + " " + plan->name);
  UnitQueue queue(units);
  UnitTickets tickets(options.count);
  StationRun run{options,
                 *plan,
                 station,
                 operator_name,
                 console,
                 err,
                 state,
                 desk,
                 fixtures,
                 records,
                 operator_setup,
                 g_interrupted,
                 several,
                 on_line ? nullptr : &queue,
                 on_line ? &tickets : nullptr,
                 {},
                 0,
                 0,
                 0,
                 0,
                 kExitAllPassed};

  std::vector<std::unique_ptr<SlotWorker>> workers;
  for (std::size_t i = 0; i < options.slots.size(); ++i)
    workers.push_back(std::make_unique<SlotWorker>(run, i, options.slots[i], std::move(locks[i]),
                                                   on_line ? std::move(lines[i]) : nullptr));
  state.update([](StationSnapshot& s) { s.status = "running"; });
  std::atomic<std::size_t> finished{0};
  std::vector<std::jthread> threads;
  threads.reserve(workers.size());
  for (auto& worker : workers)
    threads.emplace_back([&finished, &worker] {
      worker->run();
      ++finished;
    });

  bool stopping = false;
  for (auto next_retry = std::chrono::steady_clock::now() + kRecordRetry; finished.load() < workers.size();) {
    std::this_thread::sleep_for(kWatchStep);
    if (g_interrupted.load() && !stopping) {
      // Whoever waits for the operator or a fixture stops waiting.
      stopping = true;
      desk.close();
      fixtures.close();
      state.update([](StationSnapshot& s) { s.status = "stopping"; });
    }
    if (g_abort_now.load()) break;
    if (std::chrono::steady_clock::now() >= next_retry) {
      next_retry += kRecordRetry;
      std::vector<std::string> written;
      if (records.pending() > 0) records.retry(&written);
      for (const auto& path : written) console.line("record written now: " + path);
    }
  }

  if (g_abort_now.load()) {
    // The slots' threads may sit in a request to a unit for many seconds:
    // their units' records are written from here, and the station exits
    // without waiting for them.
    stop_hooks.signal();
    const std::string why = "the station was stopped at once (a second Ctrl-C or SIGTERM)";
    records.freeze();
    for (auto& worker : workers) {
      auto record = worker->abort_record(why);
      if (!record) continue;
      record->elapsed_ms = 0;
      Status written;
      std::string path;
      if (!records.keep_if_new(*record, &written, &path)) continue;
      run.count(*record);
      const std::string prefix = several ? ("[" + worker->slot().name).append("] ") : std::string();
      console.line(prefix + Runner::summary_line(*record));
      const std::string where =
          written ? "  record: " + path : "  the record cannot be written: " + written.message();
      console.line(prefix + where);
      if (worker->line() && record->line) {
        std::string kept_error;
        if (worker->line()->keep(*record, &kept_error))
          console.line(prefix + "  line: run " + record->line->run_id +
                       " waits in the outbox, sent at the next start");
        else
          std::fprintf(err, "ftmstation: run %s cannot wait in the outbox: %s\n",
                       record->line->run_id.c_str(), kept_error.c_str());
      }
    }
    for (const Deadline reap(kHookReapWait); hooks_running.load() > 0 && !reap.passed();)
      std::this_thread::sleep_for(10ms);
  } else {
    threads.clear();  // joins
  }

  // The summary. A record still not written goes somewhere it can be.
  if (records.pending() > 0) records.retry();
  const std::size_t pending = records.pending();
  int passed = 0, failed = 0, aborted = 0, refused = 0, status = kExitAllPassed;
  {
    std::lock_guard lock(run.mutex);
    passed = run.passed, failed = run.failed, aborted = run.aborted, refused = run.refused,
    status = run.status;
  }
  if (pending > 0) {
    console.line(plural(pending, "record", "records") + " could not be written to " + options.records);
    for (const auto& line : records.rescue(rescue_dir(run_time), err)) console.line("  " + line);
    if (status == kExitAllPassed) status = kExitSomeFailed;
  }
  if (g_interrupted.load() && status == kExitAllPassed) status = kExitSomeFailed;
  if (aborted > 0 && status == kExitAllPassed) status = kExitSomeFailed;
  const int tested = passed + failed + aborted;
  std::string why_no_report;
  auto junit = records.junit(&why_no_report);
  const std::string report =
      junit ? "JUnit report " + *junit
            : "JUnit report not written" + (why_no_report.empty() ? "" : " (" + why_no_report + ")");
  std::string tail;
  if (failed > 0 && several) tail += ", " + std::to_string(failed) + " failed";
  if (aborted > 0) tail += ", " + std::to_string(aborted) + " aborted";
  if (refused > 0) tail += ", " + std::to_string(refused) + " refused";
  if (on_line) {
    if (g_interrupted.load()) console.line("stopped by the operator");
    console.line(std::to_string(passed) + " of " + plural(tested, "unit", "units") + " passed" + tail + "; " +
                 report);
    std::size_t waiting = 0;
    for (auto& worker : workers)
      if (worker->line()) waiting = worker->line()->outbox().waiting();
    if (waiting > 0)
      console.line(waiting_text(waiting) + " for the line database in " +
                   workers.front()->line()->outbox().dir());
  } else {
    const int count = queue.total();
    if (g_interrupted.load())
      console.line("interrupted: " + std::to_string(tested) + " of " + std::to_string(count) +
                   " units tested");
    console.line(std::to_string(passed) + " of " + plural(count, "unit", "units") + " passed" + tail + "; " +
                 report);
  }
  state.update([&](StationSnapshot& s) {
    s.status = "finished";
    s.ended = true;
  });
  if (publisher) publisher->finish();
  if (web) web->linger(kPagesLinger);
  std::fflush(out);
  std::fflush(err);
  if (g_abort_now.load()) std::_Exit(status);  // the slots' threads may still wait on their units
  return status;
}

}  // namespace ftmd::station
