#include "line_station.h"

#include <random>

#include <nlohmann/json.hpp>

#include "pc/identity_rules.h"
#include "pc/text.h"

namespace ftmd::station {
namespace {

constexpr std::string_view kReadBackPrefix = "OK,";
constexpr std::string_view kNothingStored = "ERROR,null\n";
constexpr std::string_view kMacReadBackPrefix = "OK,ethmac=";
constexpr std::string_view kNoMacStored = "ERROR,ethmac read error\n";
constexpr std::size_t kRunIdHwidMax = 64;

std::string in_quotes(const std::string& text) { return "\"" + pc::escape_reply(text) + "\""; }

std::string held_text(const line::Identity& id) {
  return "sn " + in_quotes(id.sn) + ", csn " + in_quotes(id.csn) + ", MACs " + id.lan4_mac + "," +
         id.lan3_mac;
}

std::string carried_text(const CarriedIdentity& c) {
  std::string out;
  auto add = [&](const std::string& part) { out += (out.empty() ? "" : ", ") + part; };
  if (c.sn.state == Carried::State::kValue) add("sn " + in_quotes(c.sn.text));
  if (c.csn.state == Carried::State::kValue) add("csn " + in_quotes(c.csn.text));
  if (c.macs.state == Carried::State::kValue) add("MACs " + c.macs.text);
  if (c.macs.state == Carried::State::kUnreadable)
    add("MAC addresses that do not read back whole (" + in_quotes(c.macs.text) + ")");
  return out;
}

line::Error db_error(const char* doing, const line::Error& e) { return {e.kind, doing + e.message}; }

}  // namespace

Carried carried_serial(const std::string& reply) {
  if (reply == kNothingStored) return {};
  if (reply.starts_with(kReadBackPrefix) && reply.ends_with('\n') &&
      reply.size() > kReadBackPrefix.size() + 1)
    return {Carried::State::kValue,
            reply.substr(kReadBackPrefix.size(), reply.size() - kReadBackPrefix.size() - 1)};
  return {Carried::State::kUnreadable, reply};
}

Carried carried_macs(const std::string& reply) {
  if (reply == kNoMacStored) return {};
  if (reply.starts_with(kMacReadBackPrefix) && reply.ends_with('\n')) {
    std::string pair = reply.substr(kMacReadBackPrefix.size(), reply.size() - kMacReadBackPrefix.size() - 1);
    auto comma = pair.find(',');
    if (comma != std::string::npos && pc::mac_number(pair.substr(0, comma)) &&
        pc::mac_number(pair.substr(comma + 1)))
      return {Carried::State::kValue, pair};
  }
  return {Carried::State::kUnreadable, reply};
}

std::string identity_conflict(const CarriedIdentity& carried, const std::optional<line::Identity>& held) {
  std::string carries = carried_text(carried);
  if (!held) {
    if (carries.empty()) return {};
    return "the unit carries " + carries +
           ", but the line holds no identity for it: it was provisioned elsewhere";
  }
  auto differs = [](const Carried& c, const std::string& mine) {
    return c.state == Carried::State::kValue && c.text != mine;
  };
  if (differs(carried.sn, held->sn) || differs(carried.csn, held->csn) ||
      differs(carried.macs, held->lan4_mac + "," + held->lan3_mac))
    return "the unit carries " + carries + ", but the line holds " + held_text(*held) + " for it";
  return {};
}

std::string route_refusal(const line::RouteFacts& facts, const std::string& plan_name, bool retest,
                          const AttemptLimit& limit) {
  if (facts.passed) {
    if (retest) return {};
    return "it already passed plan \"" + plan_name +
           "\": take it off the line, or test it again with --retest";
  }
  if (facts.failed >= limit.limit)
    return "it failed plan \"" + plan_name + "\" " + std::to_string(facts.failed) +
           " times, the attempt limit (" + std::to_string(limit.limit) + ", " + limit.source +
           "): send to repair";
  return {};
}

std::string make_run_id(const std::string& hwid, std::chrono::system_clock::time_point started) {
  std::string id = file_time(started) + "-";
  for (std::size_t i = 0; i < hwid.size() && i < kRunIdHwidMax; ++i) {
    char c = hwid[i];
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                 c == '_' || c == '-';
    id += plain ? c : '_';
  }
  std::random_device random;
  char tail[16];
  std::snprintf(tail, sizeof tail, "-%08x", static_cast<unsigned>(random()));
  return id + tail;
}

HwidRead read_hwid(Transport& link) {
  pc::Exchange ex = link.transact(kHwidQuery, kIdentityQueryTimeout);
  if (ex.outcome != pc::LinkOutcome::kReply)
    return {std::nullopt, std::string(kHwidQuery) + ": " + (ex.error.empty() ? "no reply" : ex.error),
            ex.outcome == pc::LinkOutcome::kTransport};
  std::string id = ex.reply;
  if (!id.starts_with(kReadBackPrefix))
    return {std::nullopt, std::string(kHwidQuery) + " answered " + in_quotes(ex.reply), false};
  id.erase(0, kReadBackPrefix.size());
  if (id.ends_with('\n')) id.pop_back();
  if (auto why = pc::hwid_problem(id); !why.empty())
    return {std::nullopt, std::string(kHwidQuery) + " answered " + in_quotes(ex.reply) + ": " + why, false};
  return {id, {}, false};
}

bool identity_read_back(const Plan& plan, const UnitRecord& record) {
  bool any = false;
  for (std::size_t i = 0; i < plan.steps.size(); ++i) {
    if (!plan.steps[i].provisions) continue;
    any = true;
    if (i >= record.steps.size() || record.steps[i].verdict != Verdict::kPassed) return false;
  }
  return any;
}

LineStation::LineStation(std::unique_ptr<line::LineDb> db, Config config)
    : db_(std::move(db)), config_(std::move(config)), outbox_(line::Outbox::beside(config_.records_dir)) {}

LineStation::Admission LineStation::admit(const std::string& hwid, Transport& link) {
  Admission a;
  auto failed = [&](const line::Error& e) {
    a.refusal = e.message;
    a.unavailable = e.unavailable();
    return a;
  };
  auto route = db_->route(hwid, config_.plan_name);
  if (!route) return failed(db_error("the line database: ", route.error()));
  if (a.refusal = route_refusal(*route, config_.plan_name, config_.retest, config_.limit); !a.refusal.empty())
    return a;
  auto held = db_->identity(hwid);
  if (!held) return failed(db_error("the line database: ", held.error()));

  CarriedIdentity carried;
  struct Query {
    const char* command;
    Carried* into;
    Carried (*read)(const std::string&);
  };
  for (const Query& q :
       {Query{kSnQuery, &carried.sn, carried_serial}, Query{kCsnQuery, &carried.csn, carried_serial},
        Query{kMacQuery, &carried.macs, carried_macs}}) {
    pc::Exchange ex = link.transact(q.command, kIdentityQueryTimeout);
    if (ex.outcome != pc::LinkOutcome::kReply) {
      a.refusal = std::string("reading what the unit carries: ") + q.command + ": " + ex.error;
      a.transport = ex.outcome == pc::LinkOutcome::kTransport;
      return a;
    }
    *q.into = q.read(ex.reply);
  }
  for (const Query& q : {Query{kSnQuery, &carried.sn, nullptr}, Query{kCsnQuery, &carried.csn, nullptr}}) {
    if (q.into->state != Carried::State::kUnreadable) continue;
    a.refusal = std::string("what the unit carries cannot be read: ") + q.command + " answered " +
                in_quotes(q.into->text);
    return a;
  }
  if (a.refusal = identity_conflict(carried, held.value()); !a.refusal.empty()) return a;

  auto assigned = db_->assign(hwid, config_.actor);
  if (!assigned) return failed(db_error("the line database cannot give an identity: ", assigned.error()));
  const line::Identity& id = assigned->identity;
  std::vector<Unit> unit{{"hwid " + hwid, id.sn, id.csn, id.lan4_mac, id.lan3_mac, {}}};
  if (auto problems = check_units(unit, {}); !problems.empty()) {
    a.refusal = "the line's identity for it cannot be written: " + problems.front();
    return a;
  }
  a.unit = unit.front();
  a.identity_new = assigned->is_new;
  return a;
}

// The identity is marked provisioned before its run is stored, so a run in
// the database whose record says so always has it.
line::Result<line::Done> LineStation::provision(line::LineDb& db, const line::RunRecord& run,
                                                std::FILE* err) {
  auto record = nlohmann::json::parse(run.record_json, nullptr, false);
  const auto* flag = record.is_object() && record.contains("line") ? &record["line"]["provisioned"] : nullptr;
  if (!flag || !flag->is_boolean() || !flag->get<bool>()) return line::Done{};
  auto marked = db.mark_provisioned(run.hwid, {run.station, run.operator_name});
  if (!marked && !marked.error().unavailable())
    std::fprintf(err, "ftmstation: run %s: the identity of %s is not marked provisioned: %s\n",
                 run.run_id.c_str(), run.hwid.c_str(), marked.error().message.c_str());
  return marked;
}

line::Outbox::Flushed LineStation::send_waiting(std::FILE* err, const line::RunRecord* run, Status* kept) {
  auto provision = [err](line::LineDb& db, const line::RunRecord& r) {
    return LineStation::provision(db, r, err);
  };
  std::unique_lock<std::mutex> lock;
  if (config_.outbox_mutex) lock = std::unique_lock(*config_.outbox_mutex);
  auto flushed = run ? outbox_.deliver(*db_, *run, kept, provision) : outbox_.flush(*db_, provision);
  for (const auto& problem : flushed.problems) std::fprintf(err, "ftmstation: %s\n", problem.c_str());
  return flushed;
}

line::RunRecord LineStation::run_of(const UnitRecord& record) const {
  line::RunRecord run;
  run.run_id = record.line->run_id;
  run.hwid = record.line->hwid;
  run.verdict = verdict_name(record.verdict);
  run.plan_name = record.plan_name;
  run.plan_md5 = record.plan_md5;
  run.station = config_.actor.station;
  run.operator_name = config_.actor.operator_name;
  run.started_at = record.started_at;
  run.ended_at = record.ended_at;
  run.record_json = unit_json(record).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return run;
}

bool LineStation::keep(const UnitRecord& record, std::string* error) {
  std::unique_lock<std::mutex> lock;
  if (config_.outbox_mutex) lock = std::unique_lock(*config_.outbox_mutex);
  Status kept = outbox_.put(run_of(record));
  if (!kept) *error = kept.message();
  return kept.ok();
}

void LineStation::deliver(const UnitRecord& record, const Say& say, std::FILE* err) {
  const line::RunRecord run = run_of(record);
  Status kept;
  auto flushed = send_waiting(err, &run, &kept);
  if (!kept) {
    // Not kept on disk: sent now or not at all (the record file has it).
    std::fprintf(err, "ftmstation: the run cannot wait in the outbox: %s\n", kept.message().c_str());
    auto marked = provision(*db_, run, err);
    auto stored = marked || !marked.error().unavailable() ? db_->store_run(run) : marked.error();
    if (!stored) {
      say("  line: run " + run.run_id + " NOT stored: " + stored.error().message);
      return;
    }
  }
  if (flushed.waiting == 0) {
    say("  line: run " + run.run_id + " stored");
  } else {
    say("  line: the database cannot be used now (" + flushed.last_error.message + "); " +
        waiting_text(flushed.waiting) + " in " + outbox_.dir());
  }
}

void LineStation::flush(const Say& say, std::FILE* err) {
  if (outbox_.waiting() == 0) return;
  auto flushed = send_waiting(err, nullptr, nullptr);
  if (flushed.sent > 0)
    say("line: " + std::to_string(flushed.sent) + " waiting record" + (flushed.sent == 1 ? "" : "s") +
        " sent from " + outbox_.dir());
  if (flushed.waiting > 0)
    say("line: the database cannot be used now (" + flushed.last_error.message + "); " +
        waiting_text(flushed.waiting) + " in " + outbox_.dir());
}

std::string waiting_text(std::size_t waiting) {
  return std::to_string(waiting) + (waiting == 1 ? " record waits" : " records wait");
}

}  // namespace ftmd::station
