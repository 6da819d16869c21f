#include "line/line_db.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/c_handle.h"
#include "line/backend.h"
#include "line/retry.h"
#include "pc/identity_rules.h"
#include "pc/text.h"

namespace ftmd::line {
namespace {

constexpr std::string_view kSqlitePrefix = "sqlite:";
constexpr std::size_t kNameMax = 100;     // station, operator, plan name
constexpr std::size_t kReasonMax = 1000;  // a void's reason
constexpr std::size_t kRunIdMax = 128;
constexpr std::size_t kHostMax = 255;
constexpr std::size_t kShownMax = 2000;  // a slot's port, serial number or prompt

using ConnInfo = CHandle<PQconninfoOption, PQconninfoFree>;

Error invalid(std::string message) { return {ErrorKind::kRefused, std::move(message)}; }

// Valid UTF-8 without control characters, at most `max` bytes.
std::string text_problem(const std::string& what, const std::string& text, std::size_t max) {
  if (text.size() > max)
    return what + " is too long (" + std::to_string(text.size()) + " bytes, at most " + std::to_string(max) +
           ")";
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return what + " has a control character";
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (len == 0 || i + len > text.size()) return what + " is not valid UTF-8";
    for (std::size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return what + " is not valid UTF-8";
    i += len;
  }
  return {};
}

std::string actor_problem(const Actor& actor) {
  if (auto why = text_problem("the station name", actor.station, kNameMax); !why.empty()) return why;
  return text_problem("the operator name", actor.operator_name, kNameMax);
}

// "2026-12-05T18:32:28Z" or with 1 to 6 digits of fraction.
bool is_utc_time(const std::string& text) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
  if (text.size() < kShape.size() + 1 || text.back() != 'Z') return false;
  for (std::size_t i = 0; i < kShape.size(); ++i)
    if (kShape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != kShape[i])
      return false;
  std::string_view rest(text.data() + kShape.size(), text.size() - kShape.size() - 1);
  if (rest.empty()) return true;
  if (rest.front() != '.' || rest.size() < 2 || rest.size() > 7) return false;
  for (char c : rest.substr(1))
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::optional<std::uint64_t> key_as_mac(const std::string& key) {
  auto normal = pc::normalize_mac(key, nullptr);
  if (!normal) return std::nullopt;
  return pc::mac_number(*normal);
}

// A JSON object's text member, "" when absent or not text.
std::string text_of(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The last reply of a step: the last exchange of its last attempt, or that
// exchange's outcome in parentheses when no reply came.
std::string last_reply(const nlohmann::json& step) {
  auto attempts = step.find("attempts");
  if (attempts == step.end() || !attempts->is_array() || attempts->empty()) return {};
  const auto& attempt = attempts->back();
  if (!attempt.is_object()) return {};
  auto exchanges = attempt.find("exchanges");
  if (exchanges == attempt.end() || !exchanges->is_array() || exchanges->empty()) return {};
  const auto& exchange = exchanges->back();
  if (!exchange.is_object()) return {};
  if (auto reply = exchange.find("reply"); reply != exchange.end() && reply->is_string())
    return reply->get<std::string>();
  std::string outcome = text_of(exchange, "outcome");
  return "(" + (outcome.empty() ? std::string("no reply") : outcome) + ")";
}

// A measurement object of a step, or the problem with it.
std::string read_measurement(const nlohmann::json& m, Measurement& out) {
  if (!m.is_object()) return "is not an object";
  auto name = m.find("name");
  if (name == m.end() || !name->is_string() || name->get<std::string>().empty()) return "has no \"name\"";
  out.name = name->get<std::string>();
  if (auto why = text_problem("its name", out.name, kNameMax); !why.empty()) return why;
  auto unit = m.find("unit");
  if (unit == m.end() || !unit->is_string()) return "has no \"unit\" (a text, \"\" for none)";
  out.unit = unit->get<std::string>();
  if (auto why = text_problem("its unit", out.unit, kNameMax); !why.empty()) return why;
  auto value = m.find("value");
  if (value == m.end() || !value->is_number()) return "has no number \"value\"";
  out.value = value->get<double>();
  for (auto [key, limit] : {std::pair{"low", &out.low}, std::pair{"high", &out.high}}) {
    auto it = m.find(key);
    if (it == m.end() || it->is_null()) continue;
    if (!it->is_number()) return std::string("has a \"") + key + "\" that is not a number";
    *limit = it->get<double>();
  }
  auto passed = m.find("passed");
  if (passed == m.end() || !passed->is_boolean()) return "has no \"passed\" (true or false)";
  out.passed = passed->get<bool>();
  return {};
}

// A slot's text fields: names without control characters, shown texts
// (port, serial number, prompt) only bounded: the view escapes them.
std::string slot_problem(const SlotStatus& slot) {
  std::string what = "slot \"" + slot.name + "\"";
  if (slot.name.empty()) return "a slot has no name";
  if (auto why = text_problem("a slot's name", slot.name, kNameMax); !why.empty()) return why;
  for (auto [field, text] : {std::pair{"plan name", &slot.plan}, std::pair{"step name", &slot.step}})
    if (auto why = text_problem(what + "'s " + field, *text, kNameMax); !why.empty()) return why;
  if (!slot.hwid.empty())
    if (auto why = pc::hwid_problem(slot.hwid); !why.empty()) return what + ": " + why;
  for (auto [field, text] : {std::pair{"port", &slot.port}, std::pair{"serial number", &slot.sn},
                             std::pair{"prompt", &slot.prompt}})
    if (text->size() > kShownMax)
      return what + "'s " + field + " is too long (" + std::to_string(text->size()) + " bytes, at most " +
             std::to_string(kShownMax) + ")";
  if (slot.step_index < 0 || slot.step_count < 0 || slot.step_index > slot.step_count)
    return what + ": step " + std::to_string(slot.step_index) + " of " + std::to_string(slot.step_count);
  if (slot.elapsed_ms < 0 || slot.timeout_ms < 0) return what + ": a negative time";
  if (std::find(std::begin(kSlotVerdicts), std::end(kSlotVerdicts), slot.verdict) == std::end(kSlotVerdicts))
    return what + ": the verdict \"" + slot.verdict +
           "\" is none of idle, running, passed, failed, aborted, waiting-for-fixture, waiting-for-operator";
  return {};
}

std::string join_quoted(const std::vector<std::string>& values, std::size_t total) {
  std::string out;
  for (std::size_t i = 0; i < values.size() && i < kValuesNamed; ++i)
    out += (i ? ", \"" : "\"") + values[i] + "\"";
  if (total > kValuesNamed) out += " and " + std::to_string(total - kValuesNamed) + " more";
  return out;
}

}  // namespace

const char* kind_name(SerialKind kind) { return kind == SerialKind::kSn ? "sn" : "csn"; }

std::string run_problem(const RunRecord& run) {
  if (run.run_id.empty() || run.run_id.size() > kRunIdMax) return "the run id must have 1 to 128 characters";
  for (unsigned char c : run.run_id)
    if (c <= 0x20 || c > 0x7e) return "the run id has a blank or a byte that is not printable ASCII";
  if (auto why = pc::hwid_problem(run.hwid); !why.empty()) return why;
  if (run.verdict != "passed" && run.verdict != "failed" && run.verdict != "aborted")
    return "the verdict \"" + run.verdict + "\" is none of passed, failed, aborted";
  if (run.plan_name.empty()) return "the plan name is empty";
  if (auto why = text_problem("the plan name", run.plan_name, kNameMax); !why.empty()) return why;
  if (run.plan_md5.size() != 32 || run.plan_md5.find_first_not_of("0123456789abcdef") != std::string::npos)
    return "the plan MD5 is not 32 lower-case hex digits";
  if (auto why = actor_problem({run.station, run.operator_name}); !why.empty()) return why;
  if (!normal_utc_time(run.started_at) || !normal_utc_time(run.ended_at))
    return "the run's times are not UTC times like 2026-12-05T18:32:28.123Z";
  if (!nlohmann::json::accept(run.record_json)) return "the run's record is not valid JSON";
  std::string why;
  record_facts(run.record_json, &why);
  return why;
}

RecordFacts record_facts(const std::string& record_json, std::string* why) {
  RecordFacts facts;
  auto record = nlohmann::json::parse(record_json, nullptr, false);
  if (!record.is_object()) return facts;
  auto steps = record.find("steps");
  if (steps == record.end() || !steps->is_array()) return facts;
  bool failure_found = false;
  for (std::size_t i = 0; i < steps->size(); ++i) {
    const auto& step = (*steps)[i];
    if (!step.is_object()) continue;
    if (!failure_found && text_of(step, "verdict") == "failed") {
      facts.failed_step = text_of(step, "name");
      facts.failed_reply = last_reply(step);
      failure_found = true;
    }
    auto m = step.find("measurement");
    if (m == step.end() || m->is_null()) continue;
    Measurement measurement;
    measurement.step = static_cast<int>(i + 1);
    if (auto problem = read_measurement(*m, measurement); !problem.empty()) {
      if (why)
        *why = "step " + std::to_string(i + 1) + " (\"" + text_of(step, "name") + "\"): the measurement " +
               problem;
      facts.measurements.clear();
      return facts;
    }
    facts.measurements.push_back(std::move(measurement));
  }
  return facts;
}

std::string station_problem(const StationStatus& status) {
  if (status.station.empty()) return "the station has no name";
  if (auto why = text_problem("the station name", status.station, kNameMax); !why.empty()) return why;
  if (auto why = text_problem("the host name", status.host, kHostMax); !why.empty()) return why;
  if (status.outbox_waiting < 0) return "a negative count of records waiting";
  if (status.slots.size() > kSlotsMax)
    return std::to_string(status.slots.size()) + " slots, at most " + std::to_string(kSlotsMax);
  std::set<std::string_view> names;
  for (const auto& slot : status.slots) {
    if (auto why = slot_problem(slot); !why.empty()) return why;
    if (!names.insert(slot.name).second) return "two slots are named \"" + slot.name + "\"";
  }
  return {};
}

nlohmann::ordered_json slot_json(const SlotStatus& s) {
  return {{"name", s.name},
          {"port", s.port},
          {"hwid", s.hwid},
          {"sn", s.sn},
          {"plan", s.plan},
          {"step", s.step},
          {"step_index", s.step_index},
          {"step_count", s.step_count},
          {"elapsed_ms", s.elapsed_ms},
          {"timeout_ms", s.timeout_ms},
          {"verdict", s.verdict},
          {"prompt", s.prompt}};
}

std::string slots_to_json(const std::vector<SlotStatus>& slots) {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const auto& s : slots) out.push_back(slot_json(s));
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::vector<SlotStatus>> slots_from_json(const std::string& text) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_array()) return std::nullopt;
  std::vector<SlotStatus> slots;
  for (const auto& s : j) {
    if (!s.is_object()) return std::nullopt;
    auto number = [&](const char* key) {
      auto it = s.find(key);
      return it != s.end() && it->is_number_integer() ? it->get<std::int64_t>() : std::int64_t{0};
    };
    slots.push_back({text_of(s, "name"), text_of(s, "port"), text_of(s, "hwid"), text_of(s, "sn"),
                     text_of(s, "plan"), text_of(s, "step"), static_cast<int>(number("step_index")),
                     static_cast<int>(number("step_count")), number("elapsed_ms"), number("timeout_ms"),
                     text_of(s, "verdict"), text_of(s, "prompt")});
  }
  return slots;
}

std::optional<std::string> normal_utc_time(const std::string& text) {
  if (!is_utc_time(text)) return std::nullopt;
  auto field = [&](std::size_t at, std::size_t n) { return std::stoi(text.substr(at, n)); };
  int month = field(5, 2), day = field(8, 2), hour = field(11, 2), minute = field(14, 2),
      second = field(17, 2);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  std::string fraction = text.size() > 21 ? text.substr(20, text.size() - 21) : "";
  fraction.resize(3, '0');
  return text.substr(0, 19) + "." + fraction + "Z";
}

Result<InitReport> LineDb::init(const Actor& actor) {
  if (auto why = actor_problem(actor); !why.empty()) return invalid(why);
  // The steps and the new version commit together, so init run again after
  // a lost connection finds the schema as it was or as it is now.
  return retrying(retry_within_, Replay::kSafe, [&] { return try_init(actor, kSchemaVersion); });
}

Result<InitReport> init_up_to(LineDb& db, int version, const Actor& actor) {
  return retrying(db.retry_within_, Replay::kSafe, [&] { return db.try_init(actor, version); });
}

Result<std::int64_t> LineDb::import_macs(const std::string& first, std::uint64_t count, const Actor& actor) {
  if (auto why = actor_problem(actor); !why.empty()) return invalid(why);
  std::uint64_t first_number = 0;
  if (auto why = pc::mac_block_problem(first, count, &first_number); !why.empty()) return invalid(why);
  return retrying(retry_within_, Replay::kUnsafe,
                  [&] { return try_import_macs(first_number, count, actor); });
}

Result<std::int64_t> LineDb::import_serials(SerialKind kind, const std::vector<std::string>& values,
                                            const Actor& actor) {
  if (auto why = actor_problem(actor); !why.empty()) return invalid(why);
  if (values.empty()) return invalid("no serial numbers to import");
  std::vector<std::string> problems, twice;
  std::size_t bad = 0, doubled = 0;
  std::set<std::string_view> seen;
  for (const auto& value : values) {
    if (auto why = pc::serial_problem(kind_name(kind), value); !why.empty()) {
      if (bad++ < kValuesNamed) problems.push_back("\"" + pc::escape_reply(value) + "\": " + why);
    } else if (!seen.insert(value).second && doubled++ < kValuesNamed) {
      twice.push_back(value);
    }
  }
  if (bad > 0) {
    std::string message = "refused " + std::string(kind_name(kind)) + " values: ";
    for (std::size_t i = 0; i < problems.size(); ++i) message += (i ? "; " : "") + problems[i];
    if (bad > problems.size()) message += "; and " + std::to_string(bad - problems.size()) + " more";
    return invalid(message);
  }
  if (doubled > 0)
    return invalid(std::string(kind_name(kind)) + " values listed twice: " + join_quoted(twice, doubled));
  return retrying(retry_within_, Replay::kUnsafe, [&] { return try_import_serials(kind, values, actor); });
}

Result<Done> LineDb::void_unit(const std::string& hwid, const std::string& reason, const Actor& actor) {
  if (auto why = pc::hwid_problem(hwid); !why.empty()) return invalid(why);
  if (auto why = actor_problem(actor); !why.empty()) return invalid(why);
  if (reason.empty()) return invalid("a void needs a reason");
  if (auto why = text_problem("the reason", reason, kReasonMax); !why.empty()) return invalid(why);
  return retrying(retry_within_, Replay::kSafe, [&] { return try_void(hwid, reason, actor); });
}

Result<Assignment> LineDb::assign(const std::string& hwid, const Actor& actor) {
  if (auto why = pc::hwid_problem(hwid); !why.empty()) return invalid(why);
  if (auto why = actor_problem(actor); !why.empty()) return invalid(why);
  return retrying(retry_within_, Replay::kSafe, [&] { return try_assign(hwid, actor); });
}

Result<std::optional<Identity>> LineDb::identity(const std::string& hwid) {
  if (auto why = pc::hwid_problem(hwid); !why.empty()) return invalid(why);
  auto units = retrying(retry_within_, Replay::kSafe, [&] { return try_find_units(hwid, std::nullopt); });
  if (!units) return units.error();
  for (const auto& unit : *units)
    if (unit.identity.hwid == hwid) return std::optional<Identity>(unit.identity);
  return std::optional<Identity>();
}

Result<RouteFacts> LineDb::route(const std::string& hwid, const std::string& plan_name) {
  if (auto why = pc::hwid_problem(hwid); !why.empty()) return invalid(why);
  return retrying(retry_within_, Replay::kSafe, [&] { return try_route(hwid, plan_name); });
}

Result<Done> LineDb::mark_provisioned(const std::string& hwid, const Actor& actor) {
  if (auto why = pc::hwid_problem(hwid); !why.empty()) return invalid(why);
  if (auto why = actor_problem(actor); !why.empty()) return invalid(why);
  return retrying(retry_within_, Replay::kSafe, [&] { return try_provision(hwid, actor); });
}

Result<bool> LineDb::store_run(const RunRecord& run) {
  if (auto why = run_problem(run); !why.empty()) return invalid("run " + run.run_id + ": " + why);
  RecordFacts facts = record_facts(run.record_json, nullptr);
  // Milliseconds, as SQLite keeps them, on both engines.
  RunRecord stored = run;
  stored.started_at = *normal_utc_time(run.started_at);
  stored.ended_at = *normal_utc_time(run.ended_at);
  return retrying(retry_within_, Replay::kSafe, [&] { return try_store_run(stored, facts); });
}

Result<std::vector<UnitReport>> LineDb::find_units(const std::string& key) {
  if (key.empty()) return invalid("nothing to look for");
  auto mac = key_as_mac(key);
  return retrying(retry_within_, Replay::kSafe, [&] { return try_find_units(key, mac); });
}

Result<std::vector<PoolValue>> LineDb::find_values(const std::string& key) {
  if (key.empty()) return invalid("nothing to look for");
  auto mac = key_as_mac(key);
  return retrying(retry_within_, Replay::kSafe, [&] { return try_find_values(key, mac); });
}

Result<std::vector<PoolLevel>> LineDb::pool_levels() {
  return retrying(retry_within_, Replay::kSafe, [&] { return try_pool_levels(); });
}

Result<std::vector<AuditEvent>> LineDb::audit(const AuditQuery& query) {
  return retrying(retry_within_, Replay::kSafe, [&] { return try_audit(query); });
}

Result<Done> LineDb::publish_station(const StationStatus& status) {
  if (auto why = station_problem(status); !why.empty())
    return invalid("station " + status.station + ": " + why);
  std::string slots = slots_to_json(status.slots);
  return retrying(retry_within_, Replay::kSafe, [&] { return try_publish_station(status, slots); });
}

Result<std::vector<StationState>> LineDb::stations() {
  return retrying(retry_within_, Replay::kSafe, [&] { return try_stations(); });
}

Result<bool> LineDb::watch_stations(std::chrono::milliseconds within) {
  return retrying(retry_within_, Replay::kSafe, [&] { return try_watch_stations(within); });
}

namespace {

// The period with its bounds in the stored form; a refusal names a bad one.
Result<Period> checked(const Period& period) {
  Period out = period;
  for (auto [bound, name] : {std::pair{&out.since, "since"}, std::pair{&out.until, "until"}}) {
    if (bound->empty()) continue;
    auto normal = normal_utc_time(*bound);
    if (!normal)
      return invalid(std::string("the period's ") + name + " \"" + *bound + "\" is not a UTC time");
    *bound = *normal;
  }
  return out;
}

}  // namespace

Result<std::vector<YieldRow>> LineDb::yield_rows(const Period& period) {
  auto p = checked(period);
  if (!p) return p.error();
  return retrying(retry_within_, Replay::kSafe, [&] { return try_yield_rows(*p); });
}

Result<std::vector<FailureCount>> LineDb::failures(const Period& period, bool by_reply) {
  auto p = checked(period);
  if (!p) return p.error();
  return retrying(retry_within_, Replay::kSafe, [&] { return try_failures(*p, by_reply); });
}

Result<std::vector<RunRow>> LineDb::failed_runs(const Period& period, const std::string& step,
                                                const std::optional<std::string>& reply, std::size_t limit) {
  auto p = checked(period);
  if (!p) return p.error();
  return retrying(retry_within_, Replay::kSafe, [&] { return try_failed_runs(*p, step, reply, limit); });
}

Result<std::vector<MeasurementStats>> LineDb::measurement_stats(const Period& period) {
  auto p = checked(period);
  if (!p) return p.error();
  return retrying(retry_within_, Replay::kSafe, [&] { return try_measurement_stats(*p); });
}

Result<std::optional<RunRow>> LineDb::run(const std::string& run_id) {
  return retrying(retry_within_, Replay::kSafe, [&] { return try_run(run_id); });
}

Result<std::vector<RunRow>> LineDb::runs_between(const Period& period, const std::string& after_started,
                                                 const std::string& after_run_id, std::size_t limit) {
  auto p = checked(period);
  if (!p) return p.error();
  std::string after = after_started;
  if (!after.empty()) {
    auto normal = normal_utc_time(after);
    if (!normal) return invalid("\"" + after + "\" is not a UTC time");
    after = *normal;
  }
  return retrying(retry_within_, Replay::kSafe,
                  [&] { return try_runs_between(*p, after, after_run_id, limit); });
}

Result<std::unique_ptr<LineDb>> open_line_db(const std::string& url, std::chrono::milliseconds retry_within,
                                             Access access) {
  bool read_only = access == Access::kReadOnly;
  Result<std::unique_ptr<LineDb>> db = url.starts_with(kSqlitePrefix)
                                           ? open_sqlite(url.substr(kSqlitePrefix.size()), read_only)
                                           : open_postgres(url, read_only);
  if (db) (*db)->retry_within_ = retry_within;
  return db;
}

std::chrono::milliseconds retry_within_from_env() {
  const char* env = std::getenv("FTMLINE_RETRY_SECONDS");
  if (!env || !*env) return kDefaultRetryWithin;
  char* end = nullptr;
  double seconds = std::strtod(env, &end);
  if (*end != '\0' || !(seconds >= 0 && seconds <= 3600)) return kDefaultRetryWithin;
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

std::string default_db_url() {
  const char* env = std::getenv("FTMLINE_DB");
  return env && *env ? env : "sqlite:line.db";
}

std::string redact_conninfo(const std::string& conninfo) {
  char* error = nullptr;
  ConnInfo options(PQconninfoParse(conninfo.c_str(), &error));
  PQfreemem(error);
  if (!options) return {};
  std::string out;
  for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
    if (!o->val || std::string_view(o->keyword) == "password") continue;
    std::string value;
    for (char c : std::string_view(o->val)) {
      if (c == '\\' || c == '\'') value += '\\';
      value += c;
    }
    if (!out.empty()) out += ' ';
    out += std::string(o->keyword) + "='" + value + "'";
  }
  return out;
}

std::string schema_mismatch_message(int found) {
  if (found == 0) return "the line database has no schema yet: run ftmline init";
  if (found < kSchemaVersion)
    return "the line database's schema is version " + std::to_string(found) +
           ", this program needs version " + std::to_string(kSchemaVersion) +
           ": run ftmline init to upgrade it";
  return "the line database's schema is version " + std::to_string(found) +
         ", newer than this program knows (up to " + std::to_string(kSchemaVersion) +
         "): use a newer ftmline and station";
}

Identity identity_of(const std::string& hwid, const std::string& sn, const std::string& csn,
                     std::uint64_t lan4) {
  return {hwid, sn, csn, pc::mac_command_form(lan4), pc::mac_command_form(lan4 + 1)};
}

std::vector<PoolLevel> levels_in_order(const std::vector<Row>& rows) {
  std::vector<PoolLevel> levels;
  for (const char* pool : {"sn", "csn", "mac"}) {
    PoolLevel level{pool};
    for (const Row& r : rows)
      if (r[0] == pool)
        level = {pool, std::stoll(r[1]), std::stoll(r[2]), std::stoll(r[3]), std::stoll(r[4])};
    levels.push_back(level);
  }
  return levels;
}

std::string empty_pools_message(const std::vector<std::string>& pools) {
  std::string names;
  for (std::size_t i = 0; i < pools.size(); ++i)
    names += (i == 0 ? "" : i + 1 == pools.size() ? " and " : ", ") + pools[i];
  return "no identity to give: the " + names + (pools.size() > 1 ? " pools are" : " pool is") +
         " empty (import more with ftmline import-serials or import-macs)";
}

std::string overlap_message(std::uint64_t first, std::uint64_t count, std::uint64_t other_first,
                            std::uint64_t other_count, const std::string& other_imported_at) {
  auto range = [](std::uint64_t from, std::uint64_t n) {
    return pc::mac_with_colons(pc::mac_command_form(from)) + " to " +
           pc::mac_with_colons(pc::mac_command_form(from + n - 1));
  };
  return "the block " + range(first, count) + " overlaps the block " + range(other_first, other_count) +
         " imported " + other_imported_at;
}

std::string already_imported_message(const std::string& kind, const std::vector<std::string>& values,
                                     std::int64_t total) {
  return kind + " values already in the pool: " + join_quoted(values, static_cast<std::size_t>(total));
}

std::string void_unit_message(const std::string& hwid, const std::string& reason) {
  return "unit " + hwid + " is void (" + reason + "): it gets no identity again";
}

std::string unknown_unit_message(const std::string& hwid) {
  return "no unit has the hardware id " + hwid + " (it was never assigned)";
}

}  // namespace ftmd::line
