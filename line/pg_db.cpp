// The line database on PostgreSQL, for a line of many stations. Every write
// is one call of a function of the schema (pg_schema.cpp), in its own
// implicit transaction: one round trip, and the database's roles decide who
// may call it. Reads are plain SELECTs. All of this back end's statements are
// in this file and pg_schema.cpp.
#include <libpq-fe.h>

#include <pqxx/pqxx>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/c_handle.h"
#include "line/backend.h"
#include "line/pg_schema.h"
#include "pc/identity_rules.h"

namespace ftmd::line {
namespace {

// $1 since, $2 until (never empty here), $3 plan or ''.
#define IN_PERIOD(t) t "started_at >= $1 AND " t "started_at < $2 AND ($3 = '' OR " t "plan_name = $3)"
#define QUARTER "floor(extract(epoch FROM started_at) / 900)::bigint"
// A pool value's state, from the unit u holding it (none: free).
#define VALUE_STATE "CASE WHEN u.n IS NULL THEN 'free' WHEN u.state = 'void' THEN 'void' ELSE 'assigned' END"
// A run and the identity of its unit, as RunRow has them, and `record`.
#define RUN_ROW(record)                                                                                    \
  "SELECT r.run_id, r.hwid, coalesce(u.sn, ''), coalesce(u.csn, ''), coalesce(u.lan4::text, ''), "         \
  "r.plan_name, r.plan_md5, r.station, r.operator, r.verdict, (SELECT count(*) FROM ftmline.runs p "       \
  "WHERE p.hwid = r.hwid AND p.plan_name = r.plan_name AND (p.started_at, p.run_id) <= (r.started_at, "    \
  "r.run_id)), ftmline.iso(r.started_at), ftmline.iso(r.ended_at), r.failed_step, r.failed_reply, " record \
  " FROM ftmline.runs r LEFT JOIN ftmline.units u ON u.hwid = r.hwid "

struct Prepared {
  const char* name;
  const char* sql;
};

constexpr Prepared kStatements[] = {
    {"has_meta", "SELECT to_regclass('ftmline.meta') IS NOT NULL"},
    {"version", "SELECT schema_version FROM ftmline.meta"},
    {"assign", "SELECT o_sn, o_csn, o_lan4, o_new FROM ftmline.assign($1, $2, $3)"},
    {"provision", "SELECT ftmline.provision($1, $2, $3)"},
    {"store_run", "SELECT ftmline.store_run($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)"},
    {"publish", "SELECT ftmline.publish_station($1, $2, $3, $4)"},
    {"stations",
     "SELECT name, host, ftmline.iso(published_at), outbox_waiting, slots::text, "
     "round(extract(epoch FROM now() - published_at) * 1000)::bigint FROM ftmline.stations ORDER BY name"},
    // A unit counts where its first try is; its tries are its runs of the
    // plan that were not aborted. Only units with a try in the period are
    // looked at.
    {"yield",
     "WITH recent AS (SELECT DISTINCT hwid, plan_name FROM ftmline.runs WHERE " IN_PERIOD(
         "") " AND verdict <> 'aborted'), "
             "tries AS (SELECT r.plan_name, r.station, r.started_at, r.verdict, row_number() OVER w AS n, "
             "count(*) OVER (PARTITION BY r.hwid, r.plan_name) AS total, "
             "last_value(r.verdict) OVER (w ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING) AS "
             "latest "
             "FROM ftmline.runs r JOIN recent USING (hwid, plan_name) WHERE r.verdict <> 'aborted' "
             "WINDOW w AS (PARTITION BY r.hwid, r.plan_name ORDER BY r.started_at, r.run_id)) "
             "SELECT plan_name, station, " QUARTER ", count(*), count(*) FILTER (WHERE verdict = 'passed'), "
             "count(*) FILTER (WHERE latest = 'passed'), sum(total - 1), 0 FROM tries "
             "WHERE n = 1 AND started_at >= $1 AND started_at < $2 GROUP BY 1, 2, 3 "
             "UNION ALL SELECT plan_name, station, " QUARTER ", 0, 0, 0, 0, count(*) FROM ftmline.runs "
             "WHERE verdict = 'aborted' AND " IN_PERIOD("") " GROUP BY 1, 2, 3 ORDER BY 1, 2, 3"},
    {"failures_by_step",
     "SELECT failed_step, '', count(*) FROM ftmline.runs WHERE verdict = 'failed' AND " IN_PERIOD(
         "") " GROUP BY 1 ORDER BY 3 DESC, failed_step COLLATE \"C\" LIMIT $4"},
    {"failures_by_reply",
     "SELECT failed_step, failed_reply, count(*) FROM ftmline.runs WHERE verdict = 'failed' AND " IN_PERIOD(
         "") " GROUP BY 1, 2 ORDER BY 3 DESC, failed_step COLLATE \"C\", failed_reply COLLATE \"C\" LIMIT "
             "$4"},
    {"failed_runs", RUN_ROW("''") "WHERE r.verdict = 'failed' AND " IN_PERIOD(
                        "r.") " AND r.failed_step = $4 AND ($5::text IS NULL OR r.failed_reply = $5) "
                              "ORDER BY r.started_at DESC, r.run_id DESC LIMIT $6"},
    {"run", RUN_ROW("r.record::text") "WHERE r.run_id = $1"},
    {"runs_between",
     RUN_ROW("r.record::text") "WHERE " IN_PERIOD(
         "r.") " AND (r.started_at, r.run_id) > ($4::timestamptz, $5::text) ORDER BY r.started_at, r.run_id "
               "LIMIT $6"},
    {"measurement_stats",
     "SELECT plan_name, name, unit, low, high, count(*), avg(value), min(value), max(value), "
     "count(*) FILTER (WHERE value < low OR value > high) FROM ftmline.measurements WHERE " IN_PERIOD(
         "") " GROUP BY plan_name, name, unit, low, high "
             "ORDER BY plan_name COLLATE \"C\", name COLLATE \"C\", unit COLLATE \"C\", 4 NULLS FIRST, 5 "
             "NULLS FIRST"},
    {"import_macs", "SELECT ftmline.import_macs($1, $2, $3, $4)"},
    {"import_serials", "SELECT ftmline.import_serials($1, $2, $3, $4)"},
    {"void", "SELECT ftmline.void_unit($1, $2, $3, $4)"},
    {"route",
     "SELECT count(*), count(*) FILTER (WHERE verdict = 'passed'), count(*) FILTER (WHERE verdict = "
     "'failed'), "
     "count(*) FILTER (WHERE verdict = 'aborted') FROM ftmline.runs WHERE hwid = $1 AND plan_name = $2"},
    // A unit holds the values at its position n of every pool.
    {"find_units",
     "SELECT hwid FROM ftmline.units WHERE hwid = $1 UNION "
     "SELECT u.hwid FROM ftmline.serials s JOIN ftmline.units u ON u.n = s.pos "
     "WHERE s.kind IN ('sn', 'csn') AND s.value = $1 UNION "
     "SELECT u.hwid FROM ftmline.mac_pairs m JOIN ftmline.units u ON u.n = m.pos "
     "WHERE m.lan4 IN ($2::bigint, $2::bigint - 1) ORDER BY hwid"},
    {"unit_report",
     "SELECT sn, csn, lan4, state, ftmline.iso(assigned_at), assigned_station, assigned_operator, "
     "coalesce(ftmline.iso(provisioned_at), ''), coalesce(ftmline.iso(voided_at), ''), coalesce(void_reason, "
     "'') "
     "FROM ftmline.units WHERE hwid = $1"},
    {"unit_runs",
     "SELECT run_id, verdict, plan_name, plan_md5, station, operator, ftmline.iso(started_at), "
     "ftmline.iso(ended_at) FROM ftmline.runs WHERE hwid = $1 ORDER BY started_at, run_id"},
    {"find_values",
     "SELECT s.kind, s.value, " VALUE_STATE ", coalesce(u.hwid, '') FROM ftmline.serials s "
     "LEFT JOIN ftmline.units u ON u.n = s.pos WHERE s.kind IN ('sn', 'csn') AND s.value = $1 "
     "UNION ALL SELECT 'mac', m.lan4::text, " VALUE_STATE ", coalesce(u.hwid, '') FROM ftmline.mac_pairs m "
     "LEFT JOIN ftmline.units u ON u.n = m.pos WHERE m.lan4 IN ($2::bigint, $2::bigint - 1)"},
    // Every unit holds one value of each pool.
    {"levels",
     "WITH u AS (SELECT count(*) AS units, count(*) FILTER (WHERE state = 'void') AS void "
     "FROM ftmline.units) "
     "SELECT p.pool, p.imported, u.units - u.void, u.void, p.imported - u.units FROM u, "
     "(SELECT kind AS pool, count(*) AS imported FROM ftmline.serials GROUP BY kind "
     "UNION ALL SELECT 'mac', count(*) FROM ftmline.mac_pairs) AS p"},
    {"audit",
     "SELECT id, ftmline.iso(at), kind, coalesce(hwid, ''), station, operator, db_role, detail "
     "FROM ftmline.audit_log WHERE $1 = '' OR hwid = $1 ORDER BY id DESC LIMIT $2"},
};

#undef RUN_ROW
#undef VALUE_STATE
#undef QUARTER
#undef IN_PERIOD

// Init runs alone: a second init waits here, then finds the schema done.
constexpr const char* kInitLock = "SELECT pg_advisory_xact_lock(hashtext('ftmline init'))";
constexpr const char* kSetVersion = "UPDATE ftmline.meta SET schema_version = $1";
// The upgrade to version 2 reads every run stored before.
constexpr const char* kAllRuns = "SELECT run_id, record::text FROM ftmline.runs";
constexpr const char* kSetFailure =
    "UPDATE ftmline.runs SET failed_step = $2, failed_reply = $3 WHERE run_id = $1";
constexpr const char* kAddMeasurements =
    "INSERT INTO ftmline.measurements (run_id, step, plan_name, started_at, name, unit, value, low, high, "
    "passed) "
    "SELECT r.run_id, m.step, r.plan_name, r.started_at, m.name, m.unit, m.value, m.low, m.high, m.passed "
    "FROM ftmline.runs r, json_to_recordset($2::json) AS m (step integer, name text, unit text, "
    "value double precision, low double precision, high double precision, passed boolean) WHERE r.run_id = "
    "$1";

// The period's open bounds.
std::string since_of(const Period& p) { return p.since.empty() ? "-infinity" : p.since; }
std::string until_of(const Period& p) { return p.until.empty() ? "infinity" : p.until; }

std::optional<double> optional_number(const pqxx::field& field) {
  if (field.is_null()) return std::nullopt;
  return field.as<double>();
}

// A run's measurements as store_run takes them.
std::string measurements_json(const std::vector<Measurement>& measurements) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& m : measurements)
    out.push_back({{"step", m.step},
                   {"name", m.name},
                   {"unit", m.unit},
                   {"value", m.value},
                   {"low", m.low ? nlohmann::json(*m.low) : nlohmann::json()},
                   {"high", m.high ? nlohmann::json(*m.high) : nlohmann::json()},
                   {"passed", m.passed}});
  return out.dump();
}

RunRow run_row(const pqxx::row& r) {
  std::string lan4, lan3;
  if (!r[4].is_null() && r[4].size() > 0) {
    auto mac = r[4].as<std::uint64_t>();
    lan4 = pc::mac_command_form(mac);
    lan3 = pc::mac_command_form(mac + 1);
  }
  auto text = [&](int i) { return std::string(r[i].c_str()); };
  return {text(0),  text(1),  text(2),  text(3),  lan4,    lan3,
          text(5),  text(6),  text(7),  text(8),  text(9), r[10].as<std::int64_t>(),
          text(11), text(12), text(13), text(14), text(15)};
}

// Hears the stations' notifications on a connection.
class StationsListener final : public pqxx::notification_receiver {
 public:
  explicit StationsListener(pqxx::connection_base& connection)
      : pqxx::notification_receiver(connection, kStationsChannel) {}
  void operator()(const std::string&, int) override { heard = true; }
  bool heard = false;
};

// A connection that does not answer within this many seconds is unreachable.
constexpr const char* kConnectTimeout = "10";
// A server lost mid-statement over TCP is given up after about 30 s rather
// than the kernel's quarter of an hour (no effect on a Unix socket).
constexpr std::pair<const char*, const char*> kLostServerDefaults[] = {{"keepalives_idle", "10"},
                                                                       {"keepalives_interval", "5"},
                                                                       {"keepalives_count", "3"},
                                                                       {"tcp_user_timeout", "30000"}};

using ConnInfo = CHandle<PQconninfoOption, PQconninfoFree>;

std::vector<Row> rows_of(const pqxx::result& result) {
  std::vector<Row> rows;
  for (const auto& r : result) {
    Row& row = rows.emplace_back();
    for (const auto& field : r) row.emplace_back(field.is_null() ? "" : field.c_str());
  }
  return rows;
}

// libpq's message on one line, without "ERROR:  " and the line end.
std::string one_line(std::string text) {
  for (const char* prefix : {"ERROR:  ", "FATAL:  "})
    if (text.starts_with(prefix)) text.erase(0, std::string_view(prefix).size());
  std::string out;
  bool blank = false;
  for (char c : text) {
    bool space = c == '\n' || c == '\t' || c == ' ';
    if (space && !out.empty()) blank = true;
    if (space) continue;
    if (blank) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

std::string refusal_text(const std::string& sqlstate, const nlohmann::json& j);

// The refusals the schema's functions raise, as the line's messages.
std::optional<std::string> refusal(const std::string& sqlstate, const std::string& what) {
  if (!sqlstate.starts_with("FL")) return std::nullopt;
  std::string message = what.substr(std::min(what.find('{'), what.size()));
  auto j = nlohmann::json::parse(message, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return one_line(what);
  try {
    return refusal_text(sqlstate, j);
  } catch (const nlohmann::json::exception&) {
    return one_line(what);  // a field of another type than the schema sends
  }
}

std::string refusal_text(const std::string& sqlstate, const nlohmann::json& j) {
  auto text = [&](const char* key) { return j.value(key, std::string()); };
  auto number = [&](const char* key) { return j.value(key, std::uint64_t{0}); };
  if (sqlstate == "FL001") return void_unit_message(text("hwid"), text("reason"));
  if (sqlstate == "FL002") return empty_pools_message(j.value("pools", std::vector<std::string>()));
  if (sqlstate == "FL003") return unknown_unit_message(text("hwid"));
  if (sqlstate == "FL004")
    return overlap_message(number("first"), number("count"), number("other_first"), number("other_count"),
                           text("at"));
  if (sqlstate == "FL005")
    return already_imported_message(text("kind"), j.value("values", std::vector<std::string>()),
                                    j.value("total", std::int64_t{0}));
  return j.dump();
}

// A connection string for libpq with a connect time-out and our application
// name unless the caller gave them; the caller's own text when it cannot be
// read (libpq then says why).
std::string with_defaults(const std::string& conninfo, bool read_only) {
  char* error = nullptr;
  ConnInfo options(PQconninfoParse(conninfo.c_str(), &error));
  PQfreemem(error);
  if (!options) return conninfo;
  std::string out;
  bool timeout = false, name = false;
  std::set<std::string_view> given;
  std::string options_value;  // the caller's server options, kept when adding ours
  for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
    if (!o->val) continue;
    std::string_view keyword(o->keyword);
    given.insert(keyword);
    timeout |= keyword == "connect_timeout";
    name |= keyword == "application_name";
    std::string value;
    for (char c : std::string_view(o->val)) {
      if (c == '\\' || c == '\'') value += '\\';
      value += c;
    }
    if (read_only && keyword == "options") {
      options_value = value;
      continue;
    }
    out += std::string(keyword) + "='" + value + "' ";
  }
  if (!timeout) out += std::string("connect_timeout=") + kConnectTimeout + " ";
  if (!name) out += "application_name=ftmline ";
  for (const auto& [keyword, value] : kLostServerDefaults)
    if (!given.contains(keyword)) out += std::string(keyword) + "=" + value + " ";
  if (read_only) {
    std::string value = options_value + " -c default_transaction_read_only=on";
    out += "options='" + value + "'";
  }
  return out;
}

// A PostgreSQL array literal of `values`: each one double-quoted, with '"'
// and '\' escaped. It is bound as one parameter like any other value.
std::string array_literal(const std::vector<std::string>& values) {
  std::string out = "{";
  for (const auto& value : values) {
    if (out.size() > 1) out += ',';
    out += '"';
    for (char c : value) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

class PgDb final : public LineDb {
 public:
  PgDb(std::string conninfo, std::string shown) : conninfo_(std::move(conninfo)), shown_(std::move(shown)) {}

  std::string describe() const override { return shown_; }

 private:
  // Runs `body` on a connection (made on first use, its schema version
  // checked unless `check_schema` is false) and turns whatever it throws
  // into an Error. A connection that broke is dropped; the next attempt
  // makes a new one.
  template <typename F>
  auto guarded(bool check_schema, F&& body) -> decltype(body(std::declval<pqxx::connection&>())) {
    bool connected = false;
    try {
      if (!conn_) {
        auto conn = std::make_unique<pqxx::connection>(conninfo_);
        conn->set_verbosity(pqxx::connection_base::terse);
        for (const auto& s : kStatements) conn->prepare(s.name, s.sql);
        conn_ = std::move(conn);
        checked_ = false;
      }
      connected = true;
      if (check_schema && !checked_) {
        pqxx::nontransaction tx(*conn_);
        int version = 0;
        if (tx.exec_prepared1("has_meta")[0].as<bool>()) version = tx.exec_prepared1("version")[0].as<int>();
        if (version != kSchemaVersion) return Error{ErrorKind::kSchema, schema_mismatch_message(version)};
        checked_ = true;
      }
      return body(*conn_);
    } catch (const pqxx::broken_connection& e) {
      drop();
      return Error{connected ? ErrorKind::kInDoubt : ErrorKind::kUnreachable, where() + one_line(e.what())};
    } catch (const pqxx::in_doubt_error& e) {
      drop();
      return Error{ErrorKind::kInDoubt, where() + one_line(e.what())};
    } catch (const pqxx::statement_completion_unknown& e) {
      drop();
      return Error{ErrorKind::kInDoubt, where() + one_line(e.what())};
    } catch (const pqxx::transaction_rollback& e) {
      // Serialization failure or deadlock: the engine rolled it all back.
      return Error{ErrorKind::kRetry, where() + one_line(e.what())};
    } catch (const pqxx::insufficient_privilege& e) {
      return Error{ErrorKind::kDenied,
                   where() + one_line(e.what()) + " (this database role may not do that)"};
    } catch (const pqxx::unique_violation& e) {
      // Another station's concurrent import of the same values (the next
      // attempt names them), or its assign of the same hardware id or
      // position (the next attempt finds the unit or takes another).
      return Error{ErrorKind::kRetry, where() + one_line(e.what())};
    } catch (const pqxx::sql_error& e) {
      return sql_failure(e.sqlstate(), e.what());
    } catch (const std::exception& e) {
      return Error{ErrorKind::kFailed, where() + one_line(e.what())};
    }
  }

  Error sql_failure(const std::string& sqlstate, const std::string& what) {
    if (auto text = refusal(sqlstate, what)) return refused(*text);
    std::string message = one_line(what);
    // libpqxx gives the SQLSTATE only with its generic exceptions (the
    // specific ones are caught by type in guarded()).
    if (sqlstate.starts_with("40") || sqlstate == "23505" || sqlstate == "23P01")
      return {ErrorKind::kRetry, where() + message};
    if (sqlstate == "42501")
      return {ErrorKind::kDenied, where() + message + " (this database role may not do that)"};
    if (sqlstate.starts_with("08") || sqlstate.starts_with("57P")) {
      drop();
      return {ErrorKind::kInDoubt, where() + message};
    }
    return {ErrorKind::kFailed, where() + message};
  }

  std::string where() const { return "the line database " + shown_ + ": "; }

  // Forgets a broken connection (its listener first: it belongs to it).
  void drop() {
    listener_.reset();
    conn_.reset();
  }

  static std::int64_t count(std::uint64_t n) { return static_cast<std::int64_t>(n); }

  // ---- the operations ----

  Result<InitReport> try_init(const Actor&, int up_to) override {
    return guarded(false, [&](pqxx::connection& c) -> Result<InitReport> {
      pqxx::work tx(c);
      tx.exec(kInitLock);
      int version = 0;
      if (tx.exec_prepared1("has_meta")[0].as<bool>()) version = tx.exec_prepared1("version")[0].as<int>();
      if (version > kSchemaVersion) return Error{ErrorKind::kSchema, schema_mismatch_message(version)};
      for (int step = version + 1; step <= up_to; ++step) {
        tx.exec(kPgSchemaSteps[step - 1]);
        if (step == 2) read_old_records(tx);
        tx.exec_params(kSetVersion, step);
      }
      tx.commit();
      checked_ = up_to == kSchemaVersion;
      return InitReport{version, std::max(version, up_to)};
    });
  }

  Result<std::int64_t> try_import_macs(std::uint64_t first, std::uint64_t n, const Actor& actor) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::int64_t> {
      pqxx::nontransaction tx(c);
      return tx.exec_prepared1("import_macs", count(first), count(n), actor.station, actor.operator_name)[0]
          .as<std::int64_t>();
    });
  }

  Result<std::int64_t> try_import_serials(SerialKind kind, const std::vector<std::string>& values,
                                          const Actor& actor) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::int64_t> {
      pqxx::nontransaction tx(c);
      return tx
          .exec_prepared1("import_serials", std::string(kind_name(kind)), array_literal(values),
                          actor.station, actor.operator_name)[0]
          .as<std::int64_t>();
    });
  }

  Result<Done> try_void(const std::string& hwid, const std::string& reason, const Actor& actor) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<Done> {
      pqxx::nontransaction tx(c);
      tx.exec_prepared("void", hwid, reason, actor.station, actor.operator_name);
      return Done{};
    });
  }

  Result<Assignment> try_assign(const std::string& hwid, const Actor& actor) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<Assignment> {
      pqxx::nontransaction tx(c);
      auto r = tx.exec_prepared1("assign", hwid, actor.station, actor.operator_name);
      return Assignment{identity_of(hwid, r[0].c_str(), r[1].c_str(), r[2].as<std::uint64_t>()),
                        r[3].as<bool>()};
    });
  }

  Result<Done> try_provision(const std::string& hwid, const Actor& actor) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<Done> {
      pqxx::nontransaction tx(c);
      tx.exec_prepared("provision", hwid, actor.station, actor.operator_name);
      return Done{};
    });
  }

  Result<bool> try_store_run(const RunRecord& r, const RecordFacts& facts) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<bool> {
      pqxx::nontransaction tx(c);
      return tx
          .exec_prepared1("store_run", r.run_id, r.hwid, r.verdict, r.plan_name, r.plan_md5, r.station,
                          r.operator_name, r.started_at, r.ended_at, r.record_json, facts.failed_step,
                          facts.failed_reply, measurements_json(facts.measurements))[0]
          .as<bool>();
    });
  }

  Result<RouteFacts> try_route(const std::string& hwid, const std::string& plan_name) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<RouteFacts> {
      pqxx::nontransaction tx(c);
      auto r = tx.exec_prepared1("route", hwid, plan_name);
      return RouteFacts{r[1].as<int>() > 0, r[0].as<int>(), r[2].as<int>(), r[3].as<int>()};
    });
  }

  // The upgrade to version 2: the failure and measurements of every run
  // stored before. A measurement the line would refuse now is left out.
  static void read_old_records(pqxx::work& tx) {
    for (const auto& r : tx.exec(kAllRuns)) {
      std::string why;
      RecordFacts facts = record_facts(r[1].c_str(), &why);
      tx.exec_params(kSetFailure, r[0].c_str(), facts.failed_step, facts.failed_reply);
      if (!facts.measurements.empty())
        tx.exec_params(kAddMeasurements, r[0].c_str(), measurements_json(facts.measurements));
    }
  }

  // ---- the line view ----

  Result<Done> try_publish_station(const StationStatus& status, const std::string& slots) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<Done> {
      pqxx::nontransaction tx(c);
      tx.exec_prepared("publish", status.station, status.host, status.outbox_waiting, slots);
      return Done{};
    });
  }

  Result<std::vector<StationState>> try_stations() override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<StationState>> {
      pqxx::nontransaction tx(c);
      std::vector<StationState> stations;
      for (const auto& r : tx.exec_prepared("stations")) {
        auto slots = slots_from_json(r[4].c_str());
        stations.push_back({{r[0].c_str(), r[1].c_str(), r[3].as<std::int64_t>(),
                             slots ? std::move(*slots) : std::vector<SlotStatus>{}},
                            r[2].c_str(),
                            r[5].as<std::int64_t>()});
      }
      return stations;
    });
  }

  // LISTEN on the stations' channel (the listener issues it when made, on
  // each new connection), then waits for a notification.
  Result<bool> try_watch_stations(std::chrono::milliseconds within) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<bool> {
      bool fresh = !listener_;
      if (fresh) listener_ = std::make_unique<StationsListener>(c);
      listener_->heard = false;
      c.get_notifs();
      if (!fresh && !listener_->heard) {
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(within).count();
        c.await_notification(static_cast<long>(us / 1000000), static_cast<long>(us % 1000000));
      }
      return fresh || listener_->heard;
    });
  }

  Result<std::vector<YieldRow>> try_yield_rows(const Period& p) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<YieldRow>> {
      pqxx::nontransaction tx(c);
      std::vector<YieldRow> out;
      for (const auto& r : tx.exec_prepared("yield", since_of(p), until_of(p), p.plan))
        out.push_back({r[0].c_str(),
                       r[1].c_str(),
                       r[2].as<std::int64_t>(),
                       {r[3].as<std::int64_t>(), r[4].as<std::int64_t>(), r[5].as<std::int64_t>(),
                        r[6].as<std::int64_t>(), r[7].as<std::int64_t>()}});
      return out;
    });
  }

  Result<std::vector<FailureCount>> try_failures(const Period& p, bool by_reply) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<FailureCount>> {
      pqxx::nontransaction tx(c);
      std::vector<FailureCount> out;
      for (const auto& r : tx.exec_prepared(by_reply ? "failures_by_reply" : "failures_by_step", since_of(p),
                                            until_of(p), p.plan, count(kFailuresShown)))
        out.push_back({r[0].c_str(), r[1].c_str(), r[2].as<std::int64_t>()});
      return out;
    });
  }

  static std::vector<RunRow> run_rows(const pqxx::result& result) {
    std::vector<RunRow> out;
    for (const auto& r : result) out.push_back(run_row(r));
    return out;
  }

  Result<std::vector<RunRow>> try_failed_runs(const Period& p, const std::string& step,
                                              const std::optional<std::string>& reply,
                                              std::size_t limit) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<RunRow>> {
      pqxx::nontransaction tx(c);
      return run_rows(reply ? tx.exec_prepared("failed_runs", since_of(p), until_of(p), p.plan, step, *reply,
                                               count(limit))
                            : tx.exec_prepared("failed_runs", since_of(p), until_of(p), p.plan, step, nullptr,
                                               count(limit)));
    });
  }

  Result<std::optional<RunRow>> try_run(const std::string& run_id) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::optional<RunRow>> {
      pqxx::nontransaction tx(c);
      auto rows = run_rows(tx.exec_prepared("run", run_id));
      if (rows.empty()) return std::optional<RunRow>();
      return std::optional<RunRow>(std::move(rows.front()));
    });
  }

  Result<std::vector<RunRow>> try_runs_between(const Period& p, const std::string& after_started,
                                               const std::string& after_run_id, std::size_t limit) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<RunRow>> {
      pqxx::nontransaction tx(c);
      return run_rows(tx.exec_prepared("runs_between", since_of(p), until_of(p), p.plan,
                                       after_started.empty() ? std::string("-infinity") : after_started,
                                       after_run_id, count(limit)));
    });
  }

  Result<std::vector<MeasurementStats>> try_measurement_stats(const Period& p) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<MeasurementStats>> {
      pqxx::nontransaction tx(c);
      std::vector<MeasurementStats> out;
      for (const auto& r : tx.exec_prepared("measurement_stats", since_of(p), until_of(p), p.plan))
        out.push_back({r[0].c_str(), r[1].c_str(), r[2].c_str(), optional_number(r[3]), optional_number(r[4]),
                       r[5].as<std::int64_t>(), r[6].as<double>(), r[7].as<double>(), r[8].as<double>(),
                       r[9].as<std::int64_t>()});
      return out;
    });
  }

  // Runs a prepared statement whose $2 is a MAC number or NULL.
  static pqxx::result with_mac(pqxx::transaction_base& tx, const char* name, const std::string& key,
                               std::optional<std::uint64_t> mac) {
    return mac ? tx.exec_prepared(name, key, count(*mac)) : tx.exec_prepared(name, key, nullptr);
  }

  Result<std::vector<UnitReport>> try_find_units(const std::string& key,
                                                 std::optional<std::uint64_t> mac) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<UnitReport>> {
      // One snapshot for the units and their runs.
      pqxx::transaction<pqxx::repeatable_read, pqxx::read_only> tx(c);
      std::vector<UnitReport> units;
      for (const Row& h : rows_of(with_mac(tx, "find_units", key, mac))) {
        Row r = rows_of(tx.exec_prepared("unit_report", h[0])).at(0);
        UnitReport report{
            identity_of(h[0], r[0], r[1], std::stoull(r[2])), r[3], r[4], r[5], r[6], r[7], r[8], r[9], {}};
        for (const Row& x : rows_of(tx.exec_prepared("unit_runs", h[0])))
          report.runs.push_back({x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]});
        units.push_back(std::move(report));
      }
      tx.commit();
      return units;
    });
  }

  Result<std::vector<PoolValue>> try_find_values(const std::string& key,
                                                 std::optional<std::uint64_t> mac) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<PoolValue>> {
      pqxx::nontransaction tx(c);
      std::vector<PoolValue> values;
      for (const Row& r : rows_of(with_mac(tx, "find_values", key, mac)))
        values.push_back({r[0], r[0] == "mac" ? pc::mac_command_form(std::stoull(r[1])) : r[1], r[2], r[3]});
      return values;
    });
  }

  Result<std::vector<PoolLevel>> try_pool_levels() override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<PoolLevel>> {
      pqxx::nontransaction tx(c);
      return levels_in_order(rows_of(tx.exec_prepared("levels")));
    });
  }

  Result<std::vector<AuditEvent>> try_audit(const AuditQuery& query) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<std::vector<AuditEvent>> {
      pqxx::nontransaction tx(c);
      auto result = query.last ? tx.exec_prepared("audit", query.hwid, count(query.last))
                               : tx.exec_prepared("audit", query.hwid, nullptr);
      std::vector<AuditEvent> events;
      for (auto r = result.rbegin(); r != result.rend(); ++r)
        events.push_back({(*r)[0].as<std::int64_t>(), (*r)[1].c_str(), (*r)[2].c_str(), (*r)[3].c_str(),
                          (*r)[4].c_str(), (*r)[5].c_str(), (*r)[6].c_str(), (*r)[7].c_str()});
      return events;
    });
  }

  std::string conninfo_;  // may hold a password: never shown
  std::string shown_;
  std::unique_ptr<pqxx::connection> conn_;      // made on first use, dropped when it breaks
  std::unique_ptr<StationsListener> listener_;  // on conn_, once watch_stations was called
  bool checked_ = false;                        // the schema version was checked on conn_
};

}  // namespace

Result<std::unique_ptr<LineDb>> open_postgres(const std::string& conninfo, bool read_only) {
  std::string shown = redact_conninfo(conninfo);
  if (shown.empty() && !conninfo.empty())
    return refused("cannot read the database URL (sqlite:PATH, or a PostgreSQL URI or connection string)");
  return std::unique_ptr<LineDb>(std::make_unique<PgDb>(with_defaults(conninfo, read_only),
                                                        shown.empty() ? "(PostgreSQL defaults)" : shown));
}

}  // namespace ftmd::line
