#include "runner.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <regex>
#include <stop_token>
#include <thread>

#include "pc/text.h"

namespace ftmd::station {
namespace {

using Clock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

std::int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string seconds(std::chrono::milliseconds ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms.count()) / 1000.0);
  return text;
}

std::string in_quotes(const std::string& text) { return "\"" + pc::escape_reply(text) + "\""; }

// Calls `tick` with the time since it was made, every `every`, on a thread
// of its own, until destroyed.
class Ticker {
 public:
  Ticker(std::function<void(std::int64_t)> tick, std::chrono::milliseconds every)
      : start_(Clock::now()), thread_([this, tick = std::move(tick), every](const std::stop_token& stop) {
          std::unique_lock lock(mutex_);
          while (!stop.stop_requested()) {
            if (wake_.wait_for(lock, stop, every, [] { return false; })) break;
            lock.unlock();
            tick(ms_since(start_));
            lock.lock();
          }
        }) {}
  ~Ticker() {
    thread_.request_stop();
    thread_.join();
  }

 private:
  Clock::time_point start_;
  std::mutex mutex_;  // only for the wait
  std::condition_variable_any wake_;
  std::jthread thread_;
};

// What a link outcome other than a reply means for the step.
std::string link_failure(const pc::Exchange& ex, std::chrono::milliseconds timeout) {
  switch (ex.outcome) {
    case pc::LinkOutcome::kTimeout:
      return "no reply within " + seconds(timeout);
    case pc::LinkOutcome::kBadFrame:
      return "bad reply frame: " + ex.error;
    case pc::LinkOutcome::kTransport:
      return "port failed: " + ex.error;
    case pc::LinkOutcome::kReply:
      break;
  }
  return {};
}

// A step's record before it runs: what it sends and expects, with the unit's
// values filled in.
StepRecord step_record(const PlanStep& step, const Values& values) {
  StepRecord record;
  record.name = step.name;
  record.kind = step.kind();
  record.command = step.handover ? step.describe() : fill(step.send, values);
  if (step.expect) record.expect = fill(*step.expect, values);
  if (step.match) record.match = fill_regex(*step.match, values);
  return record;
}

}  // namespace

std::string check_reply(const std::string& reply, const std::optional<std::string>& expected,
                        const std::optional<std::string>& pattern) {
  std::string got = reply.empty() ? "an empty reply" : in_quotes(reply);
  if (expected)
    return reply == *expected ? std::string() : "expected " + in_quotes(*expected) + ", got " + got;
  if (pattern) {
    bool matched = false;
    try {
      matched = std::regex_match(reply, std::regex(*pattern, std::regex::ECMAScript));
    } catch (const std::regex_error& e) {
      return "bad regex " + in_quotes(*pattern) + ": " + e.what();
    }
    return matched ? std::string() : "expected a reply matching " + in_quotes(*pattern) + ", got " + got;
  }
  return {};
}

void Runner::set_step(std::size_t i, const std::function<void(StepView&)>& change) {
  state_.update_slot(config_.slot, [&](SlotView& s) {
    if (i < s.unit.steps.size()) change(s.unit.steps[i]);
  });
}

void Runner::restart_clock(std::size_t i, std::int64_t limit_ms, std::string note) {
  {
    std::lock_guard lock(clock_mutex_);
    clock_base_ = Clock::now();
    clock_limit_ms_ = limit_ms;
    clock_note_ = std::move(note);
  }
  set_step(i, [&](StepView& v) {
    v.elapsed_ms = 0;
    v.timeout_ms = limit_ms;
  });
}

void Runner::tick(std::size_t i, const PlanStep& step) {
  std::int64_t elapsed = 0, limit = 0;
  std::string note;
  {
    std::lock_guard lock(clock_mutex_);
    elapsed = ms_since(clock_base_);
    limit = clock_limit_ms_;
    note = clock_note_;
  }
  set_step(i, [&](StepView& v) { v.elapsed_ms = elapsed; });
  if (elapsed < kProgressAfter.count()) return;
  char line[96];
  std::snprintf(line, sizeof line, "  [%zu/%zu] ", i + 1, plan_.steps.size());
  char clock[64];
  std::snprintf(clock, sizeof clock, "  %.1f s", static_cast<double>(elapsed) / 1000.0);
  std::string text = config_.prefix + line + step.name + clock;
  if (limit > 0) text += " / " + seconds(std::chrono::milliseconds(limit));
  services_.console->progress(text + note);
}

ExchangeRecord Runner::exchange(Transport& link, const std::string& command,
                                std::chrono::milliseconds timeout, AttemptRecord& attempt) {
  ExchangeRecord record;
  record.request = command;
  record.at = iso_time(SystemClock::now());
  {
    std::lock_guard lock(progress_mutex_);
    attempt_progress_ = attempt;
    in_flight_ = record;
  }
  pc::Exchange ex = link.transact(command, timeout);
  record.outcome = ex.outcome;
  record.reply = ex.reply;
  record.error = ex.outcome == pc::LinkOutcome::kReply ? std::string() : link_failure(ex, timeout);
  record.elapsed_ms = ex.elapsed.count();
  {
    std::lock_guard lock(progress_mutex_);
    in_flight_.reset();
    attempt_progress_->exchanges.push_back(record);
  }
  return record;
}

Runner::Outcome Runner::attempt_send(const PlanStep& step, StepRecord& record, Transport& link,
                                     AttemptRecord& attempt) {
  record.measurement.reset();  // only the last attempt's value counts
  attempt.exchanges.push_back(exchange(link, record.command, step.timeout, attempt));
  const ExchangeRecord& ex = attempt.exchanges.back();
  if (ex.outcome != pc::LinkOutcome::kReply)
    return {false, ex.outcome == pc::LinkOutcome::kTransport, ex.error};
  std::string why = check_reply(ex.reply, record.expect, record.match);
  if (!why.empty() || !step.measure) return {why.empty(), false, why};
  const Measure& m = *step.measure;
  MeasureResult measured = take_measure(m, ex.reply);
  if (measured.value) {
    record.measurement = MeasurementRecord{m.name, *measured.value, m.unit, m.low, m.high, measured.passed};
    const std::string text = m.name + " = " + measure_text(m, *measured.value);
    say(std::string("  measured ") + text + (measured.passed ? "" : ": OUTSIDE"));
  }
  return {measured.passed, false, measured.problem};
}

Runner::Outcome Runner::attempt_handover(const PlanStep& step, Transport& link, AttemptRecord& attempt) {
  const pc::HandoverTarget& target = pc::handover_target(*step.handover);
  HandoverRecord& h = attempt.handover.emplace();
  h.file = target.file;
  auto serial = [&](std::string_view command) -> const ExchangeRecord& {
    attempt.exchanges.push_back(exchange(link, std::string(command), step.timeout, attempt));
    return attempt.exchanges.back();
  };
  // 1. The device copies the file to its web server and says where.
  const ExchangeRecord& publish = serial(target.publish);
  if (publish.outcome != pc::LinkOutcome::kReply)
    return {false, publish.outcome == pc::LinkOutcome::kTransport, "publish: " + publish.error};
  pc::PublishReply published = pc::parse_publish_reply(publish.reply, target);
  if (!published.url) return {false, false, published.error};
  h.url = *published.url;
  auto url = pc::parse_http_url(h.url);
  if (!url) return {false, false, "publish reply has a URL the station cannot fetch: " + h.url};
  // 2. Download it as the line's systems will. A failed download leaves the
  // copy published, so a retry can fetch it again.
  pc::HttpFetch fetch = services_.http_get(*url, step.timeout);
  if (!fetch.transport_ok) return {false, false, "download of " + h.url + " failed: " + fetch.error};
  if (!fetch.response.error.empty())
    return {false, false, "download of " + h.url + " failed: " + fetch.response.error};
  h.bytes = fetch.response.body.size();
  h.md5 = pc::md5_hex(fetch.response.body);
  // 3. The device reports its digest and withdraws the copy.
  const ExchangeRecord& confirm = serial(target.confirm);
  if (confirm.outcome != pc::LinkOutcome::kReply)
    return {false, confirm.outcome == pc::LinkOutcome::kTransport, "confirm: " + confirm.error};
  pc::ConfirmReply confirmed = pc::parse_confirm_reply(confirm.reply);
  if (!confirmed.digest) return {false, false, confirmed.error};
  h.device_md5 = *confirmed.digest;
  h.hardware_id = confirmed.hardware_id;
  if (h.hardware_id.ends_with('\n')) h.hardware_id.pop_back();
  // 4. The device's digest must be that of the bytes the station holds.
  std::string differs = pc::compare_digests(confirmed, h.md5, h.bytes, target.file);
  return {differs.empty(), false, differs};
}

Runner::Outcome Runner::reconnect(std::size_t i, const PlanStep& step, std::unique_ptr<Transport>& link,
                                  AttemptRecord& attempt) {
  state_.update_slot(config_.slot, [&](SlotView& s) {
    s.status = "waiting for the device to come back on " + config_.port;
  });
  // From here the clock runs against the time the device has to come back,
  // not against the reply's time-out.
  restart_clock(i, step.reconnect_within.count(), " (waiting for the device to come back)");
  set_step(i, [&](StepView& v) { v.message = "waiting for the device to come back"; });
  // The old port goes with the device; holding it open would only get in
  // the way of the new one.
  link.reset();
  if (!services_.reconnect) return {false, true, "the station cannot reconnect to this port"};
  std::string error;
  link = services_.reconnect(step.reconnect_within, &error);
  if (!link)
    return {false, true,
            "the device did not come back within " + seconds(step.reconnect_within) + ": " + error};
  state_.update_slot(config_.slot, [&](SlotView& s) { s.status = "running"; });
  attempt.exchanges.push_back(exchange(*link, kReconnectProbe, step.timeout, attempt));
  const ExchangeRecord& probe = attempt.exchanges.back();
  if (probe.outcome != pc::LinkOutcome::kReply)
    return {false, true, "the device came back but does not answer: " + probe.error};
  if (!probe.reply.starts_with("OK"))
    return {false, false,
            "the device came back but answers " + in_quotes(probe.reply) + " to " + kReconnectProbe};
  return {true, false, {}};
}

Runner::Outcome Runner::ask(std::size_t i, const PlanStep& step, QuestionKind kind, const std::string& text,
                            const std::string& pattern, StepRecord& record) {
  restart_clock(i, 0, " (waiting for the operator)");
  set_step(i, [&](StepView& v) { v.message = "waiting for the operator"; });
  Question question{kind, text, pattern, step.name, step.action};
  std::optional<Answer> answer = services_.op->ask(question);
  if (!answer)
    return {false, false, "aborted: the station was stopped while it waited for the operator", true};
  record.answer = AnswerRecord{question_kind_name(kind),
                               text,
                               answer->value,
                               answer->who,
                               answer->channel,
                               iso_time(answer->asked_at),
                               iso_time(answer->answered_at),
                               answer->took.count()};
  set_step(i, [&](StepView& v) {
    v.answer = answer->value;
    v.answered_by = answer->who;
    v.message.clear();
  });
  if (kind == QuestionKind::kScan || answer->positive()) return {true, false, {}};
  if (kind == QuestionKind::kJudge)
    return {false, false, "judged fail by " + answer->who + ": " + in_quotes(text)};
  return {false, false, answer->who + " answered no to " + in_quotes(text)};
}

bool Runner::take_fixture(std::size_t i, const PlanStep& step, StepRecord& record) {
  if (step.fixture == held_fixture_) return true;
  give_back_fixture();
  if (step.fixture.empty() || !services_.fixtures) return true;
  const auto start = Clock::now();
  restart_clock(i, 0, " (waiting for the " + step.fixture + ")");
  const bool taken =
      services_.fixtures->take(step.fixture, config_.slot_name, [&](const std::string& holder) {
        state_.update_slot(config_.slot, [&](SlotView& s) {
          s.waiting_for_fixture = step.fixture;
          s.fixture_holder = holder;
        });
        set_step(i, [&](StepView& v) {
          v.message = "waiting for the " + step.fixture + ", used by slot " + holder;
        });
        say("  waiting for the " + step.fixture + ", used by slot " + holder);
      });
  state_.update_slot(config_.slot, [](SlotView& s) {
    s.waiting_for_fixture.clear();
    s.fixture_holder.clear();
  });
  record.fixture_wait_ms = ms_since(start);
  if (taken) held_fixture_ = step.fixture;
  return taken;
}

void Runner::give_back_fixture() {
  if (!held_fixture_.empty() && services_.fixtures)
    services_.fixtures->give_back(held_fixture_, config_.slot_name);
  held_fixture_.clear();
}

Runner::Outcome Runner::run_attempts(std::size_t i, const PlanStep& step, StepRecord& record,
                                     std::unique_ptr<Transport>& link) {
  const int attempts = step.retries + 1;
  Outcome outcome;
  for (int n = 1; n <= attempts; ++n) {
    if (n > 1 && interrupted()) break;
    if (n > 1 && step.retry_delay.count() > 0) {
      set_step(i, [&](StepView& v) {
        v.message = "retrying in " + seconds(step.retry_delay) + ": " + outcome.message;
      });
      std::this_thread::sleep_for(step.retry_delay);
    }
    AttemptRecord attempt;
    attempt.attempt = n;
    attempt.started_at = iso_time(SystemClock::now());
    const auto start = Clock::now();
    restart_clock(
        i, step.timeout.count(),
        attempts > 1 ? " (attempt " + std::to_string(n) + "/" + std::to_string(attempts) + ")" : "");
    set_step(i, [&](StepView& v) {
      v.state = StepState::kRunning;
      v.attempt = n;
    });
    outcome = link ? (step.handover ? attempt_handover(step, *link, attempt)
                                    : attempt_send(step, record, *link, attempt))
                   : Outcome{false, true, "port failed: the device is not connected"};
    if (outcome.passed && step.reconnect) outcome = reconnect(i, step, link, attempt);
    attempt.elapsed_ms = ms_since(start);
    attempt.passed = outcome.passed;
    attempt.message = outcome.message;
    std::string last_reply;
    for (const auto& ex : attempt.exchanges)
      if (ex.outcome == pc::LinkOutcome::kReply) last_reply = ex.reply;
    record.attempts.push_back(std::move(attempt));
    {
      std::lock_guard lock(progress_mutex_);
      step_progress_ = record;
      attempt_progress_.reset();
    }
    set_step(i, [&](StepView& v) {
      v.reply = last_reply;
      v.message = outcome.message;
    });
    if (record.measurement)
      state_.update_slot(config_.slot, [&](SlotView& s) {
        std::erase_if(s.measured, [&](const MeasuredView& m) { return m.step == i; });
        s.measured.push_back(
            {i, measure_text(*step.measure, record.measurement->value), record.measurement->passed});
      });
    if (outcome.passed || outcome.transport) break;
  }
  return outcome;
}

StepRecord Runner::run_step(std::size_t i, const PlanStep& step, Values& values,
                            std::unique_ptr<Transport>& link, bool& transport_failed) {
  StepRecord record = step_record(step, values);
  record.fixture = step.fixture;
  const auto step_start = Clock::now();
  {
    std::lock_guard lock(progress_mutex_);
    step_progress_ = record;
  }
  set_step(i, [&](StepView& v) {
    v.state = StepState::kRunning;
    v.command = record.command;  // values scanned by earlier steps are known now
  });
  restart_clock(i, 0, "");
  Outcome outcome{true, false, {}};
  {
    // The step's clock keeps moving in the live state and on the terminal.
    Ticker ticker([&](std::int64_t) { tick(i, step); }, kTickInterval);
    if (!take_fixture(i, step, record))
      outcome = {false, false,
                 "aborted: the station was stopped while the step waited for the " + step.fixture, true};
    if (outcome.passed && !step.prompt.empty()) {
      state_.update_slot(config_.slot, [&](SlotView& s) { s.prompt = step.prompt; });
      if (step.confirm) {
        outcome = ask(i, step, QuestionKind::kConfirm, step.prompt, {}, record);
      } else {
        set_step(i, [&](StepView& v) { v.message = step.prompt; });
        services_.op->tell(step.action, step.prompt);
      }
    }
    if (outcome.passed && (!step.send.empty() || step.handover))
      outcome = run_attempts(i, step, record, link);
    if (outcome.passed && !step.judge.empty())
      outcome = ask(i, step, QuestionKind::kJudge, step.judge, {}, record);
    if (outcome.passed && !step.scan.empty()) {
      outcome = ask(i, step, QuestionKind::kScan, step.scan, fill_regex(step.pattern, values), record);
      if (outcome.passed) values[step.variable] = record.answer->value;
    }
  }
  services_.console->end_progress();
  record.verdict = outcome.passed ? Verdict::kPassed : outcome.aborted ? Verdict::kAborted : Verdict::kFailed;
  record.message = outcome.message;
  record.transport_failed = outcome.transport;
  record.elapsed_ms = ms_since(step_start);
  transport_failed = outcome.transport;
  if (record.verdict == Verdict::kFailed) say("  FAILED " + step.name + ": " + outcome.message);
  if (!step.prompt.empty()) state_.update_slot(config_.slot, [&](SlotView& s) { s.prompt.clear(); });
  set_step(i, [&](StepView& v) {
    v.state = outcome.passed    ? StepState::kPassed
              : outcome.aborted ? StepState::kAborted
                                : StepState::kFailed;
    v.message = outcome.message;
  });
  return record;
}

UnitRecord Runner::run_unit(const Unit& unit, int index, int count, std::unique_ptr<Transport>& link) {
  UnitRecord record;
  record.station = config_.station;
  record.slot = config_.slot_name;
  record.plan_name = plan_.name;
  record.plan_file = plan_.file;
  record.plan_md5 = plan_.md5;
  record.port = config_.port;
  record.index = index;
  record.unit = unit;
  record.started_at = iso_time(SystemClock::now());
  const auto start = Clock::now();
  Values values = unit_values(unit);
  {
    std::lock_guard lock(progress_mutex_);
    progress_ = record;
    step_progress_.reset();
  }

  state_.update_slot(config_.slot, [&](SlotView& s) {
    s.status = "running";
    s.prompt.clear();
    s.unit = UnitView{};
    s.measured.clear();
    s.unit.serial = unit.sn;
    s.unit.plan = plan_.name;
    s.unit.index = index;
    s.unit.count = count;
    s.unit.verdict = "running";
    for (const auto& step : plan_.steps) {
      StepView v;
      v.name = step.name;
      v.kind = step.kind();
      v.command = step.handover ? step.describe() : fill(step.send, values);
      v.attempts = step.retries + 1;
      v.timeout_ms = step.timeout.count();
      v.fixture = step.fixture;
      s.unit.steps.push_back(std::move(v));
    }
  });
  // An open-ended run (count 0) numbers its units without a total.
  std::string number = std::to_string(index) + (count > 0 ? "/" + std::to_string(count) : std::string());
  say("unit " + number + " " + (unit.sn.empty() ? "-" : unit.sn) + " (" + unit.origin + ") on " +
      config_.port);

  std::string skip_reason;
  bool cut = false;  // the station's stop cut the unit short
  for (std::size_t i = 0; i < plan_.steps.size(); ++i) {
    const PlanStep& step = plan_.steps[i];
    if (skip_reason.empty() && interrupted()) {
      skip_reason = "not run: the station was stopped";
      cut = true;
      if (record.message.empty()) record.message = "aborted before step \"" + step.name + "\"";
    }
    if (!skip_reason.empty()) {
      StepRecord skipped = step_record(step, values);
      skipped.verdict = Verdict::kSkipped;
      skipped.message = skip_reason;
      record.steps.push_back(std::move(skipped));
      set_step(i, [&](StepView& v) {
        v.state = StepState::kSkipped;
        v.message = skip_reason;
      });
      continue;
    }
    bool transport_failed = false;
    StepRecord done = run_step(i, step, values, link, transport_failed);
    if (done.verdict == Verdict::kAborted) {
      cut = true;
      if (record.message.empty()) record.message = "step \"" + step.name + "\": " + done.message;
      skip_reason = "not run: the station was stopped";
    } else if (done.verdict == Verdict::kFailed) {
      if (record.message.empty()) record.message = "step \"" + step.name + "\": " + done.message;
      if (transport_failed) {
        record.transport_failed = true;
        skip_reason = "not run: the port failed at step \"" + step.name + "\"";
      } else if (step.on_fail == OnFail::kStop) {
        skip_reason = "not run: step \"" + step.name + "\" failed";
      }
    }
    record.steps.push_back(std::move(done));
    std::lock_guard lock(progress_mutex_);
    progress_->steps = record.steps;
    progress_->message = record.message;
    progress_->unit = record.unit;
    step_progress_.reset();
  }
  give_back_fixture();

  const bool all_passed = std::all_of(record.steps.begin(), record.steps.end(),
                                      [](const StepRecord& s) { return s.verdict == Verdict::kPassed; });
  const bool any_failed = std::any_of(record.steps.begin(), record.steps.end(),
                                      [](const StepRecord& s) { return s.verdict == Verdict::kFailed; });
  // A failure seen is a failure; a unit only cut short is aborted.
  record.verdict = all_passed             ? Verdict::kPassed
                   : (cut && !any_failed) ? Verdict::kAborted
                                          : Verdict::kFailed;
  record.ended_at = iso_time(SystemClock::now());
  record.elapsed_ms = ms_since(start);
  state_.update_slot(config_.slot, [&](SlotView& s) {
    s.unit.verdict = verdict_name(record.verdict);
    s.prompt.clear();
    (record.verdict == Verdict::kPassed   ? s.passed
     : record.verdict == Verdict::kFailed ? s.failed
                                          : s.aborted) += 1;
  });
  {
    std::lock_guard lock(progress_mutex_);
    progress_.reset();
  }
  say(summary_line(record));
  return record;
}

std::optional<UnitRecord> Runner::abort_record(const std::string& why) const {
  std::lock_guard lock(progress_mutex_);
  if (!progress_) return std::nullopt;
  UnitRecord record = *progress_;
  if (step_progress_) {
    StepRecord step = *step_progress_;
    if (attempt_progress_) {
      AttemptRecord attempt = *attempt_progress_;
      if (in_flight_) {
        // Sent, and no reply yet: what was asked of the unit stays on record.
        ExchangeRecord cut = *in_flight_;
        cut.outcome = pc::LinkOutcome::kTimeout;
        cut.error = "no reply yet: " + why;
        attempt.exchanges.push_back(std::move(cut));
      }
      attempt.message = why;
      step.attempts.push_back(std::move(attempt));
    }
    step.verdict = Verdict::kAborted;
    step.message = "aborted: " + why;
    record.steps.push_back(std::move(step));
  }
  for (std::size_t i = record.steps.size(); i < plan_.steps.size(); ++i) {
    StepRecord skipped = step_record(plan_.steps[i], unit_values(record.unit));
    skipped.verdict = Verdict::kSkipped;
    skipped.message = "not run: " + why;
    record.steps.push_back(std::move(skipped));
  }
  const bool any_failed = std::any_of(record.steps.begin(), record.steps.end(),
                                      [](const StepRecord& s) { return s.verdict == Verdict::kFailed; });
  record.verdict = any_failed ? Verdict::kFailed : Verdict::kAborted;
  if (record.message.empty()) record.message = "aborted: " + why;
  record.ended_at = iso_time(SystemClock::now());
  return record;
}

std::string Runner::summary_line(const UnitRecord& record) {
  int passed = 0, failed = 0, skipped = 0, aborted = 0;
  for (const auto& s : record.steps) {
    passed += s.verdict == Verdict::kPassed;
    failed += s.verdict == Verdict::kFailed;
    skipped += s.verdict == Verdict::kSkipped;
    aborted += s.verdict == Verdict::kAborted;
  }
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", static_cast<double>(record.elapsed_ms) / 1000.0);
  std::string sn = record.unit.sn.empty() ? "unit " + std::to_string(record.index) : record.unit.sn;
  const char* word = record.verdict == Verdict::kPassed   ? "PASS "
                     : record.verdict == Verdict::kFailed ? "FAIL "
                                                          : "ABORTED ";
  std::string line = std::string(word) + sn + "  " + std::to_string(passed) + "/" +
                     std::to_string(record.steps.size()) + (record.steps.size() == 1 ? " step" : " steps") +
                     " passed";
  if (failed) line += ", " + std::to_string(failed) + " failed";
  if (aborted) line += ", " + std::to_string(aborted) + " aborted";
  if (skipped) line += ", " + std::to_string(skipped) + " skipped";
  line += ", " + std::string(time);
  if (record.verdict == Verdict::kFailed) line += "; first: " + record.message;
  if (record.verdict == Verdict::kAborted) line += "; " + record.message;
  return line;
}

}  // namespace ftmd::station
