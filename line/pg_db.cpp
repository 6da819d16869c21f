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
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/c_handle.h"
#include "line/backend.h"
#include "line/pg_schema.h"
#include "pc/identity_rules.h"

namespace ftmd::line {
namespace {

struct Prepared {
  const char* name;
  const char* sql;
};

constexpr Prepared kStatements[] = {
    {"has_meta", "SELECT to_regclass('ftmline.meta') IS NOT NULL"},
    {"version", "SELECT schema_version FROM ftmline.meta"},
    {"assign", "SELECT o_sn, o_csn, o_lan4, o_new FROM ftmline.assign($1, $2, $3)"},
    {"provision", "SELECT ftmline.provision($1, $2, $3)"},
    {"store_run", "SELECT ftmline.store_run($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)"},
    {"import_macs", "SELECT ftmline.import_macs($1, $2, $3, $4)"},
    {"import_serials", "SELECT ftmline.import_serials($1, $2, $3, $4)"},
    {"void", "SELECT ftmline.void_unit($1, $2, $3, $4)"},
    {"route",
     "SELECT count(*), count(*) FILTER (WHERE verdict = 'passed'), count(*) FILTER (WHERE verdict = "
     "'failed'), "
     "count(*) FILTER (WHERE verdict = 'aborted') FROM ftmline.runs WHERE hwid = $1 AND plan_name = $2"},
    {"find_units",
     "SELECT hwid FROM ftmline.units WHERE hwid = $1 OR sn = $1 OR csn = $1 OR lan4 = $2 OR lan4 = $2 - 1 "
     "ORDER BY hwid"},
    {"unit_report",
     "SELECT sn, csn, lan4, state, ftmline.iso(assigned_at), assigned_station, assigned_operator, "
     "coalesce(ftmline.iso(provisioned_at), ''), coalesce(ftmline.iso(voided_at), ''), coalesce(void_reason, "
     "'') "
     "FROM ftmline.units WHERE hwid = $1"},
    {"unit_runs",
     "SELECT run_id, verdict, plan_name, plan_md5, station, operator, ftmline.iso(started_at), "
     "ftmline.iso(ended_at) FROM ftmline.runs WHERE hwid = $1 ORDER BY started_at, run_id"},
    {"find_values",
     "SELECT kind, value, state, coalesce(hwid, '') FROM ftmline.serials WHERE kind IN ('sn', 'csn') AND "
     "value = $1 "
     "UNION ALL SELECT 'mac', lan4::text, state, coalesce(hwid, '') FROM ftmline.mac_pairs "
     "WHERE lan4 = $2 OR lan4 = $2 - 1"},
    {"levels",
     "SELECT kind, count(*), count(*) FILTER (WHERE state = 'assigned'), count(*) FILTER (WHERE state = "
     "'void'), "
     "count(*) FILTER (WHERE state = 'free') FROM ftmline.serials GROUP BY kind UNION ALL "
     "SELECT 'mac', count(*), count(*) FILTER (WHERE state = 'assigned'), count(*) FILTER (WHERE state = "
     "'void'), "
     "count(*) FILTER (WHERE state = 'free') FROM ftmline.mac_pairs"},
    {"audit",
     "SELECT id, ftmline.iso(at), kind, coalesce(hwid, ''), station, operator, db_role, detail "
     "FROM ftmline.events WHERE $1 = '' OR hwid = $1 ORDER BY id DESC LIMIT $2"},
};

// Init runs alone: a second init waits here, then finds the schema done.
constexpr const char* kInitLock = "SELECT pg_advisory_xact_lock(hashtext('ftmline init'))";
constexpr const char* kSetVersion = "UPDATE ftmline.meta SET schema_version = $1";

// A connection that does not answer within this many seconds is unreachable.
constexpr const char* kConnectTimeout = "10";

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
std::string with_defaults(const std::string& conninfo) {
  char* error = nullptr;
  ConnInfo options(PQconninfoParse(conninfo.c_str(), &error));
  PQfreemem(error);
  if (!options) return conninfo;
  std::string out;
  bool timeout = false, name = false;
  for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
    if (!o->val) continue;
    std::string_view keyword(o->keyword);
    timeout |= keyword == "connect_timeout";
    name |= keyword == "application_name";
    std::string value;
    for (char c : std::string_view(o->val)) {
      if (c == '\\' || c == '\'') value += '\\';
      value += c;
    }
    out += std::string(keyword) + "='" + value + "' ";
  }
  if (!timeout) out += std::string("connect_timeout=") + kConnectTimeout + " ";
  if (!name) out += "application_name=ftmline";
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
      conn_.reset();
      return Error{connected ? ErrorKind::kInDoubt : ErrorKind::kUnreachable, where() + one_line(e.what())};
    } catch (const pqxx::in_doubt_error& e) {
      conn_.reset();
      return Error{ErrorKind::kInDoubt, where() + one_line(e.what())};
    } catch (const pqxx::statement_completion_unknown& e) {
      conn_.reset();
      return Error{ErrorKind::kInDoubt, where() + one_line(e.what())};
    } catch (const pqxx::transaction_rollback& e) {
      // Serialization failure or deadlock: the engine rolled it all back.
      return Error{ErrorKind::kRetry, where() + one_line(e.what())};
    } catch (const pqxx::insufficient_privilege& e) {
      return Error{ErrorKind::kDenied,
                   where() + one_line(e.what()) + " (this database role may not do that)"};
    } catch (const pqxx::unique_violation& e) {
      // Another station's concurrent import of the same values: the next
      // attempt names them.
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
      conn_.reset();
      return {ErrorKind::kInDoubt, where() + message};
    }
    return {ErrorKind::kFailed, where() + message};
  }

  std::string where() const { return "the line database " + shown_ + ": "; }

  static std::int64_t count(std::uint64_t n) { return static_cast<std::int64_t>(n); }

  // ---- the operations ----

  Result<InitReport> try_init(const Actor&) override {
    return guarded(false, [&](pqxx::connection& c) -> Result<InitReport> {
      pqxx::work tx(c);
      tx.exec(kInitLock);
      int version = 0;
      if (tx.exec_prepared1("has_meta")[0].as<bool>()) version = tx.exec_prepared1("version")[0].as<int>();
      if (version > kSchemaVersion) return Error{ErrorKind::kSchema, schema_mismatch_message(version)};
      for (int step = version + 1; step <= kSchemaVersion; ++step) {
        tx.exec(kPgSchemaSteps[step - 1]);
        tx.exec_params(kSetVersion, step);
      }
      tx.commit();
      checked_ = true;
      return InitReport{version, kSchemaVersion};
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

  Result<bool> try_store_run(const RunRecord& r) override {
    return guarded(true, [&](pqxx::connection& c) -> Result<bool> {
      pqxx::nontransaction tx(c);
      return tx
          .exec_prepared1("store_run", r.run_id, r.hwid, r.verdict, r.plan_name, r.plan_md5, r.station,
                          r.operator_name, r.started_at, r.ended_at, r.record_json)[0]
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
  std::unique_ptr<pqxx::connection> conn_;  // made on first use, dropped when it breaks
  bool checked_ = false;                    // the schema version was checked on conn_
};

}  // namespace

Result<std::unique_ptr<LineDb>> open_postgres(const std::string& conninfo) {
  std::string shown = redact_conninfo(conninfo);
  if (shown.empty() && !conninfo.empty())
    return refused("cannot read the database URL (sqlite:PATH, or a PostgreSQL URI or connection string)");
  return std::unique_ptr<LineDb>(
      std::make_unique<PgDb>(with_defaults(conninfo), shown.empty() ? "(PostgreSQL defaults)" : shown));
}

}  // namespace ftmd::line
