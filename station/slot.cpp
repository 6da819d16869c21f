#include "slot.h"

#include <thread>

#include "common/deadline.h"
#include "pc/text.h"
#include "port.h"

namespace ftmd::station {
namespace {

// How long the station waits before it asks again for the next unit when
// the one on the fixture is still the unit just tested.
constexpr std::chrono::milliseconds kSameUnitPause{1000};
// How often a port that is not there yet is looked for.
constexpr std::chrono::milliseconds kPortPoll{200};

}  // namespace

UnitQueue::UnitQueue(const std::vector<Unit>& units) : total_(static_cast<int>(units.size())) {
  for (std::size_t i = 0; i < units.size(); ++i) units_.emplace_back(static_cast<int>(i + 1), units[i]);
}

std::optional<std::pair<int, Unit>> UnitQueue::take() {
  std::lock_guard lock(mutex_);
  if (units_.empty()) return std::nullopt;
  auto unit = std::move(units_.front());
  units_.pop_front();
  return unit;
}

void UnitQueue::put_back(std::pair<int, Unit> unit) {
  std::lock_guard lock(mutex_);
  units_.push_front(std::move(unit));
}

bool UnitTickets::take() {
  if (count_ == 0) return true;
  for (int left = left_.load(); left > 0;)
    if (left_.compare_exchange_weak(left, left - 1)) return true;
  return false;
}

void UnitTickets::give_back() {
  if (count_ > 0) ++left_;
}

void StationRun::worse(int s) {
  std::lock_guard lock(mutex);
  if (status == kExitAllPassed || s == kExitPort) status = s;
}

void StationRun::count(const UnitRecord& record) {
  {
    std::lock_guard lock(mutex);
    (record.verdict == Verdict::kPassed   ? passed
     : record.verdict == Verdict::kFailed ? failed
                                          : aborted) += 1;
  }
  if (record.transport_failed)
    worse(kExitPort);
  else if (!record.passed())
    worse(kExitSomeFailed);
}

SlotWorker::SlotWorker(StationRun& run, std::size_t index, SlotChoice slot, PortLock lock,
                       std::unique_ptr<LineStation> line)
    : run_(run),
      index_(index),
      slot_(std::move(slot)),
      prefix_(run.several ? "[" + slot_.name + "] " : ""),
      lock_(std::move(lock)),
      line_(std::move(line)),
      operator_(run.operator_setup, {index, slot_.name, slot_.port.describe(), prefix_}, run.desk,
                run.console, run.state),
      runner_(run.plan, {run.station, slot_.port.describe(), slot_.name, index, prefix_}, services(),
              run.state) {}

RunnerServices SlotWorker::services() {
  RunnerServices services;
  services.op = &operator_;
  services.console = &run_.console;
  services.fixtures = &run_.fixtures;
  services.interrupted = &run_.interrupted;
  services.reconnect = [this](std::chrono::milliseconds within,
                              std::string* why) -> std::unique_ptr<Transport> {
    auto link = reopen_after_reboot(slot_.port, kRebootGoneWithin, within, why);
    if (!link) return nullptr;
    return std::make_unique<LinkTransport>(std::move(*link), run_.err);
  };
  return services;
}

void SlotWorker::set_status(const std::string& status) {
  run_.state.update_slot(index_, [&](SlotView& s) { s.status = status; });
}

std::optional<UnitRecord> SlotWorker::abort_record(const std::string& why) const {
  auto record = runner_.abort_record(why);
  if (!record) return record;
  std::lock_guard lock(line_mutex_);
  record->line = current_line_;
  return record;
}

bool SlotWorker::ask_next_unit(const std::string& text) {
  run_.state.update_slot(index_, [&](SlotView& s) { s.prompt = text; });
  auto answer = operator_.ask({QuestionKind::kConfirm, text, {}, {}, "next-unit"});
  run_.state.update_slot(index_, [](SlotView& s) { s.prompt.clear(); });
  if (answer && !answer->positive()) say("the operator stops this slot: no more units on it");
  return answer && answer->positive();
}

std::unique_ptr<Transport> SlotWorker::open_device(std::string* error) {
  set_status("waiting for the device on " + slot_.port.describe());
  const Deadline deadline(run_.options.port_wait);
  for (bool told = false;; told = true) {
    if (auto link = open_port(slot_.port, error))
      return std::make_unique<LinkTransport>(std::move(*link), run_.err);
    if (deadline.passed() || run_.interrupted.load()) return nullptr;
    if (!told) say("waiting for the device on " + slot_.port.describe() + ": " + *error);
    std::this_thread::sleep_for(kPortPoll);
  }
}

void SlotWorker::stop_at_port(const std::string& error, const std::string& unit) {
  std::fprintf(run_.err, "ftmstation: %s%s: %s\n", prefix_.c_str(), slot_.port.describe().c_str(),
               error.c_str());
  std::fflush(run_.err);
  say("STOP at unit " + unit + ": the port cannot be used; " +
      (run_.several ? "this slot takes no more units" : "the remaining units were not tested"));
  set_status("stopped: the port cannot be used");
  run_.state.update_slot(index_, [](SlotView& s) { s.stopped = true; });
  run_.worse(kExitPort);
}

bool SlotWorker::finish_unit(const UnitRecord& record) {
  std::string path;
  bool left_alone = false;
  Status written = run_.records.keep(record, &path, &left_alone);
  // The station was stopped at once and has already written, counted and
  // sent this unit's record as it stood.
  if (left_alone) return false;
  run_.count(record);
  if (written) {
    say("  record: " + path);
  } else {
    say("  STOP: the record of " +
        (record.unit.sn.empty() ? "unit " + std::to_string(record.index) : record.unit.sn) +
        " cannot be written: " + written.message() + "; " +
        (run_.several ? "this slot takes no more units" : "no more units are tested") +
        " (the record is kept and written as soon as it can be)");
    set_status("stopped: its record cannot be written");
    run_.state.update_slot(index_, [](SlotView& s) { s.stopped = true; });
    run_.worse(kExitSomeFailed);
  }
  if (line_ && record.line)
    line_->deliver(
        record, [this](const std::string& text) { say(text); }, run_.err);
  {
    std::lock_guard lock(line_mutex_);
    current_line_.reset();
  }
  if (written && !run_.options.on_record.empty()) on_record(path);
  return written.ok();
}

void SlotWorker::on_record(const std::string& path) {
  const OperatorSetup& setup = run_.operator_setup;
  const HookCounted counted(setup.hooks_running);
  const std::string& program = run_.options.on_record;
  HookResult result = run_hook(program,
                               {{path},
                                {"FTMSTATION_STATION=" + run_.station, "FTMSTATION_SLOT=" + slot_.name},
                                true,
                                -1,
                                setup.stop_hooks ? setup.stop_hooks->fd() : -1,
                                true},
                               kOnRecordTimeout);
  // Its output goes to the station's standard error, line by line, marked
  // with the slot.
  const std::string mark = "ftmstation: [" + slot_.name + "] on-record: ";
  std::string out;
  for (std::size_t start = 0; start < result.output.size();) {
    std::size_t end = result.output.find('\n', start);
    if (end == std::string::npos) end = result.output.size();
    out += mark + pc::escape_reply(result.output.substr(start, end - start)) + "\n";
    start = end + 1;
  }
  if (std::string why = result.failure(); !why.empty()) {
    out += mark + program + " " + path + ": " + why + " (the record is kept)\n";
    say("  on-record hook failed: " + why);
  }
  std::fputs(out.c_str(), run_.err);
  std::fflush(run_.err);
}

void SlotWorker::run_listed() {
  const int count = run_.units->total();
  bool first = true;
  std::string error;
  while (!run_.interrupted.load()) {
    auto next = run_.units->take();
    if (!next) break;
    const auto& [index, unit] = *next;
    if (!first && !ask_next_unit("Connect unit " + std::to_string(index) + " of " + std::to_string(count) +
                                 (unit.sn.empty() ? std::string() : " (" + unit.sn + ")"))) {
      run_.units->put_back(std::move(*next));
      break;
    }
    first = false;
    auto link = open_device(&error);
    if (!link) {
      run_.units->put_back(*next);
      if (run_.interrupted.load()) break;  // Ctrl-C while waiting: not a port problem
      stop_at_port(error, std::to_string(index) + "/" + std::to_string(count) + " " + unit.sn);
      break;
    }
    UnitRecord record = runner_.run_unit(unit, index, count, link);
    link.reset();
    if (!finish_unit(record)) break;
  }
}

// Units as they come to the fixture, each identified by its hardware id and
// given its identity by the line, until `--count` units were taken (tested
// or refused, by all slots together) or the operator stops the station.
void SlotWorker::run_line() {
  UnitTickets& tickets = *run_.tickets;
  const int count = tickets.count();
  std::string error, last_hwid;
  bool ask = false;
  while (!run_.interrupted.load()) {
    if (!tickets.take()) break;
    if (ask) {
      const std::string text = count > 0
                                   ? "Connect unit " + std::to_string(std::min(tickets.taken() + 1, count)) +
                                         " of " + std::to_string(count)
                                   : std::string("Connect the next unit");
      if (!ask_next_unit(text)) {
        tickets.give_back();
        break;
      }
    }
    ask = true;
    auto link = open_device(&error);
    if (!link) {
      tickets.give_back();
      if (run_.interrupted.load()) break;
      stop_at_port(error, count > 0 ? std::to_string(tickets.taken() + 1) + "/" + std::to_string(count)
                                    : std::to_string(tickets.taken() + 1));
      break;
    }
    HwidRead id = read_hwid(*link);
    if (id.hwid && *id.hwid == last_hwid) {
      // Still the unit just tested: not a new unit.
      tickets.give_back();
      say("the unit on the fixture is still " + last_hwid + ", taken just now: put the next unit on");
      set_status("waiting for the next unit: " + last_hwid + " is still on");
      link.reset();
      for (const Deadline pause(kSameUnitPause); !pause.passed() && !run_.interrupted.load();)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    const int index = tickets.next_index();
    const std::string number =
        std::to_string(index) + (count > 0 ? "/" + std::to_string(count) : std::string());
    auto refuse = [&](const std::string& who, const std::string& why, bool transport) {
      say(("REFUSED unit " + number)
              .append(" ")
              .append(who)
              .append(": ")
              .append(why)
              .append("; nothing was written to it"));
      set_status(("unit " + number).append(" refused: ").append(why));
      run_.worse(transport ? kExitPort : kExitSomeFailed);
      std::lock_guard lock(run_.mutex);
      ++run_.refused;
    };
    if (!id.hwid) {
      refuse("(hardware id unknown)", "its hardware id cannot be read: " + id.error, id.transport);
      continue;
    }
    const std::string hwid = *id.hwid;
    last_hwid = hwid;
    const auto started = std::chrono::system_clock::now();
    LineStation::Admission admission = line_->admit(hwid, *link);
    if (!admission.unit) {
      // A unit refused only because the database could not be used may come again.
      if (admission.unavailable) last_hwid.clear();
      refuse("(hwid " + hwid + ")", admission.refusal, admission.transport);
      continue;
    }
    run_.state.update_slot(index_, [&](SlotView& s) { s.unit.hwid = hwid; });
    {
      std::lock_guard lock(line_mutex_);
      current_line_ = LineRun{hwid, make_run_id(hwid, started), line_->actor().operator_name,
                              admission.identity_new, false};
    }
    UnitRecord record = runner_.run_unit(*admission.unit, index, count, link);
    link.reset();
    {
      std::lock_guard lock(line_mutex_);
      record.line = current_line_;
    }
    record.line->provisioned = identity_read_back(run_.plan, record);
    run_.state.update_slot(index_, [&](SlotView& s) { s.unit.hwid = hwid; });
    if (!finish_unit(record)) break;
  }
}

void SlotWorker::run() {
  if (run_.tickets)
    run_line();
  else
    run_listed();
  run_.state.update_slot(index_, [](SlotView& s) {
    if (s.status.rfind("stopped", 0) != 0) s.status = "done";
    s.stopped = true;
  });
}

}  // namespace ftmd::station
