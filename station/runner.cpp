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
  record.kind = step.handover ? "handover" : "send";
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
  state_.update([&](StationSnapshot& s) {
    if (i < s.unit.steps.size()) change(s.unit.steps[i]);
  });
}

ExchangeRecord Runner::exchange(Transport& link, const std::string& command,
                                std::chrono::milliseconds timeout) {
  ExchangeRecord record;
  record.request = command;
  record.at = iso_time(SystemClock::now());
  pc::Exchange ex = link.transact(command, timeout);
  record.outcome = ex.outcome;
  record.reply = ex.reply;
  record.error = ex.outcome == pc::LinkOutcome::kReply ? std::string() : link_failure(ex, timeout);
  record.elapsed_ms = ex.elapsed.count();
  return record;
}

Runner::Outcome Runner::attempt_send(const PlanStep& step, const StepRecord& record, Transport& link,
                                     AttemptRecord& attempt) {
  attempt.exchanges.push_back(exchange(link, record.command, step.timeout));
  const ExchangeRecord& ex = attempt.exchanges.back();
  if (ex.outcome != pc::LinkOutcome::kReply)
    return {false, ex.outcome == pc::LinkOutcome::kTransport, ex.error};
  std::string why = check_reply(ex.reply, record.expect, record.match);
  return {why.empty(), false, why};
}

Runner::Outcome Runner::attempt_handover(const PlanStep& step, Transport& link, AttemptRecord& attempt) {
  const pc::HandoverTarget& target = pc::handover_target(*step.handover);
  HandoverRecord& h = attempt.handover.emplace();
  h.file = target.file;
  auto serial = [&](std::string_view command) -> const ExchangeRecord& {
    attempt.exchanges.push_back(exchange(link, std::string(command), step.timeout));
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

Runner::Outcome Runner::reconnect(const PlanStep& step, std::unique_ptr<Transport>& link,
                                  AttemptRecord& attempt) {
  state_.update(
      [&](StationSnapshot& s) { s.status = "waiting for the device to come back on " + config_.port; });
  // The old port goes with the device; holding it open would only get in
  // the way of the new one.
  link.reset();
  if (!services_.reconnect) return {false, true, "the station cannot reconnect to this port"};
  std::string error;
  link = services_.reconnect(step.reconnect_within, &error);
  if (!link)
    return {false, true,
            "the device did not come back within " + seconds(step.reconnect_within) + ": " + error};
  state_.update([&](StationSnapshot& s) { s.status = "running"; });
  attempt.exchanges.push_back(exchange(*link, kReconnectProbe, step.timeout));
  const ExchangeRecord& probe = attempt.exchanges.back();
  if (probe.outcome != pc::LinkOutcome::kReply)
    return {false, true, "the device came back but does not answer: " + probe.error};
  if (!probe.reply.starts_with("OK"))
    return {false, false,
            "the device came back but answers " + in_quotes(probe.reply) + " to " + kReconnectProbe};
  return {true, false, {}};
}

StepRecord Runner::run_step(std::size_t i, const PlanStep& step, const Values& values,
                            std::unique_ptr<Transport>& link, bool& transport_failed) {
  StepRecord record = step_record(step, values);
  const auto step_start = Clock::now();
  const int attempts = step.retries + 1;

  if (!step.prompt.empty()) {
    state_.update([&](StationSnapshot& s) { s.prompt = step.prompt; });
    set_step(i, [&](StepView& v) {
      v.state = StepState::kRunning;
      v.message = step.confirm ? "waiting for the operator" : step.prompt;
    });
    services_.op->prompt(step.action, step.prompt, step.confirm);
  }

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
    set_step(i, [&](StepView& v) {
      v.state = StepState::kRunning;
      v.attempt = n;
      v.elapsed_ms = 0;
    });
    {
      Ticker ticker(
          [&](std::int64_t elapsed) {
            set_step(i, [&](StepView& v) { v.elapsed_ms = elapsed; });
            if (config_.progress_line && elapsed >= kProgressAfter.count()) {
              std::fprintf(
                  config_.out, "\r\033[K  [%zu/%zu] %s  %.1f s / %s%s", i + 1, plan_.steps.size(),
                  step.name.c_str(), static_cast<double>(elapsed) / 1000.0, seconds(step.timeout).c_str(),
                  attempts > 1
                      ? (" (attempt " + std::to_string(n) + "/" + std::to_string(attempts) + ")").c_str()
                      : "");
              std::fflush(config_.out);
            }
          },
          kTickInterval);
      outcome = link ? (step.handover ? attempt_handover(step, *link, attempt)
                                      : attempt_send(step, record, *link, attempt))
                     : Outcome{false, true, "port failed: the device is not connected"};
      if (outcome.passed && step.reconnect) outcome = reconnect(step, link, attempt);
    }
    if (config_.progress_line && ms_since(start) >= kProgressAfter.count()) {
      std::fprintf(config_.out, "\r\033[K");
      std::fflush(config_.out);
    }
    attempt.elapsed_ms = ms_since(start);
    attempt.passed = outcome.passed;
    attempt.message = outcome.message;
    std::string last_reply;
    for (const auto& ex : attempt.exchanges)
      if (ex.outcome == pc::LinkOutcome::kReply) last_reply = ex.reply;
    record.attempts.push_back(std::move(attempt));
    set_step(i, [&](StepView& v) {
      v.elapsed_ms = ms_since(start);
      v.reply = last_reply;
      v.message = outcome.message;
    });
    if (outcome.passed || outcome.transport) break;
  }

  record.verdict = outcome.passed ? Verdict::kPassed : Verdict::kFailed;
  record.message = outcome.message;
  record.transport_failed = outcome.transport;
  record.elapsed_ms = ms_since(step_start);
  transport_failed = outcome.transport;
  if (!outcome.passed) {
    std::fprintf(config_.out, "  FAILED %s: %s\n", step.name.c_str(), outcome.message.c_str());
    std::fflush(config_.out);
  }
  if (!step.prompt.empty()) state_.update([&](StationSnapshot& s) { s.prompt.clear(); });
  set_step(i, [&](StepView& v) { v.state = outcome.passed ? StepState::kPassed : StepState::kFailed; });
  return record;
}

UnitRecord Runner::run_unit(const Unit& unit, int index, int count, std::unique_ptr<Transport>& link) {
  UnitRecord record;
  record.station = config_.station;
  record.plan_name = plan_.name;
  record.plan_file = plan_.file;
  record.plan_md5 = plan_.md5;
  record.port = config_.port;
  record.index = index;
  record.unit = unit;
  record.started_at = iso_time(SystemClock::now());
  const auto start = Clock::now();
  const Values values = unit_values(unit);

  state_.update([&](StationSnapshot& s) {
    s.status = "running";
    s.prompt.clear();
    s.unit = UnitView{};
    s.unit.serial = unit.sn;
    s.unit.plan = plan_.name;
    s.unit.index = index;
    s.unit.count = count;
    s.unit.verdict = "running";
    for (const auto& step : plan_.steps) {
      StepView v;
      v.name = step.name;
      v.command = step.handover ? step.describe() : fill(step.send, values);
      v.attempts = step.retries + 1;
      v.timeout_ms = step.timeout.count();
      s.unit.steps.push_back(std::move(v));
    }
  });
  // An open-ended run (count 0) numbers its units without a total.
  std::string number = std::to_string(index) + (count > 0 ? "/" + std::to_string(count) : std::string());
  std::fprintf(config_.out, "unit %s %s (%s) on %s\n", number.c_str(),
               unit.sn.empty() ? "-" : unit.sn.c_str(), unit.origin.c_str(), config_.port.c_str());
  std::fflush(config_.out);

  std::string skip_reason;
  for (std::size_t i = 0; i < plan_.steps.size(); ++i) {
    const PlanStep& step = plan_.steps[i];
    if (skip_reason.empty() && interrupted()) {
      skip_reason = "not run: the run was interrupted";
      if (record.message.empty()) record.message = "interrupted before step \"" + step.name + "\"";
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
    if (done.verdict == Verdict::kFailed) {
      if (record.message.empty()) record.message = "step \"" + step.name + "\": " + done.message;
      if (transport_failed) {
        record.transport_failed = true;
        skip_reason = "not run: the port failed at step \"" + step.name + "\"";
      } else if (step.on_fail == OnFail::kStop) {
        skip_reason = "not run: step \"" + step.name + "\" failed";
      }
    }
    record.steps.push_back(std::move(done));
  }

  record.interrupted = interrupted();
  record.passed = std::all_of(record.steps.begin(), record.steps.end(),
                              [](const StepRecord& s) { return s.verdict == Verdict::kPassed; });
  record.ended_at = iso_time(SystemClock::now());
  record.elapsed_ms = ms_since(start);
  state_.update([&](StationSnapshot& s) {
    s.unit.verdict = record.passed ? "passed" : "failed";
    s.prompt.clear();
    (record.passed ? s.passed : s.failed) += 1;
  });
  std::fprintf(config_.out, "%s\n", summary_line(record).c_str());
  std::fflush(config_.out);
  return record;
}

std::string Runner::summary_line(const UnitRecord& record) {
  int passed = 0, failed = 0, skipped = 0;
  for (const auto& s : record.steps) {
    passed += s.verdict == Verdict::kPassed;
    failed += s.verdict == Verdict::kFailed;
    skipped += s.verdict == Verdict::kSkipped;
  }
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", static_cast<double>(record.elapsed_ms) / 1000.0);
  std::string sn = record.unit.sn.empty() ? "unit " + std::to_string(record.index) : record.unit.sn;
  std::string line = std::string(record.passed ? "PASS " : "FAIL ") + sn + "  " + std::to_string(passed) +
                     "/" + std::to_string(record.steps.size()) + " steps passed";
  if (failed) line += ", " + std::to_string(failed) + " failed";
  if (skipped) line += ", " + std::to_string(skipped) + " skipped";
  line += ", " + std::string(time);
  if (!record.passed) line += "; first: " + record.message;
  return line;
}

}  // namespace ftmd::station
