#include "line/ftmline_cli.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/atomic_file.h"
#include "line/line_db.h"
#include "line/line_demo.h"
#include "line/line_export.h"
#include "line/line_stats.h"
#include "line/line_view.h"
#include "line/serial_list.h"
#include "pc/identity_rules.h"

namespace ftmd::line {

const char kFtmlineUsage[] =
    "usage: ftmline [--db URL] [--station NAME] [--operator NAME] COMMAND [ARGS]\n"
    "The line database: the pools of serial numbers and MAC addresses every station takes\n"
    "its units' identities from, and the history of every unit.\n"
    "\n"
    "Commands:\n"
    "  init                                create the schema, or upgrade it to this version\n"
    "  import-macs --first MAC --count N   a block of N consecutive addresses (N even);\n"
    "                                      each unit takes two: lan4, then lan3\n"
    "  import-serials --kind sn|csn --prefix P --digits D --from K --count N\n"
    "                                      N serial numbers: P and K, K+1, ... in D digits\n"
    "  import-serials --kind sn|csn --file F\n"
    "                                      the serial numbers in F, one a line\n"
    "  assign HWID                         the unit's identity as one JSON object: the one it\n"
    "                                      holds (\"new\":false), else the next free (\"new\":true)\n"
    "  void HWID --reason TEXT             a scrapped unit: its values are never issued again\n"
    "  unit HWID|SN|MAC                    the unit's identity, state and every run\n"
    "  status [--low N]                    per pool: imported, assigned, void, left; a warning\n"
    "                                      when fewer than N are left (default 100)\n"
    "  audit [--hwid HWID] [--last N]      the event log: import, assign, provision, record, void\n"
    "  serve [--web [ADDR:]PORT] [--shift HH:MM,...] [--low N]\n"
    "                                      the line view: every station live, yield, failures,\n"
    "                                      pools, measurements, search (read-only; default\n"
    "                                      127.0.0.1:8090, shifts 06:00,14:00,22:00 local time)\n"
    "  export --since TIME [--until TIME] --format jsonl|csv [--plan NAME] [--output FILE]\n"
    "                                      one line per run that started in [since, until);\n"
    "                                      TIME: 2026-12-06, 2026-12-06T06:00 (local time), or\n"
    "                                      with Z or an offset; to stdout or FILE (atomically)\n"
    "  demo                                fill an EMPTY database with a made-up day of a small\n"
    "                                      line and keep its stations publishing (try serve on it)\n"
    "\n"
    "Options:\n"
    "  --db URL          sqlite:PATH, or a PostgreSQL URI or connection string\n"
    "                    (default: $FTMLINE_DB, else sqlite:line.db)\n"
    "  --station NAME    who acts, for the event log (default: the host name)\n"
    "  --operator NAME   (default: $USER)\n"
    "PostgreSQL passwords come the libpq way (~/.pgpass, a service file, PGPASSWORD),\n"
    "never on the command line; ftmline never prints them.\n"
    "An unreachable database is tried again for 8 s ($FTMLINE_RETRY_SECONDS to change).\n"
    "Exit status: 0 done, 1 the operation cannot be done (refused, empty pool, unknown unit,\n"
    "database not reachable), 64 a bad command line.\n";

namespace {

constexpr std::int64_t kDefaultLowWater = 100;
constexpr char kDefaultWebAddress[] = "127.0.0.1";
constexpr char kDefaultWeb[] = "127.0.0.1:8090";

struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string, std::less<>> flags;  // "--kind" -> "sn"
  bool has(std::string_view flag) const { return flags.find(flag) != flags.end(); }
  const std::string& get(std::string_view flag) const {
    static const std::string kNone;
    auto it = flags.find(flag);
    return it == flags.end() ? kNone : it->second;
  }
};

struct Context {
  const Args& args;
  const std::string& url;
  LineDb& db;
  Actor actor;
  std::FILE* out;
  std::FILE* err;

  int fail(const Error& error) const {
    std::fprintf(err, "ftmline: %s\n", error.message.c_str());
    return kExitFailed;
  }
};

using Handler = int (*)(const Context&);

struct Command {
  std::string_view name;
  std::string_view positional;  // "HWID", or "" for none
  std::array<std::string_view, 6> flags;
  std::array<std::string_view, 2> required;
  Handler run;
};

constexpr std::string_view kGlobalFlags[] = {"--db", "--station", "--operator"};

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "ftmline";
  return name;
}

// The whole-number options and their largest values.
struct NumberFlag {
  std::string_view flag;
  std::uint64_t max;
};
constexpr NumberFlag kNumberFlags[] = {
    {"--count", pc::kAddressesPerOui}, {"--digits", 18},          {"--from", 999'999'999'999'999'999},
    {"--low", 1'000'000'000},          {"--last", 1'000'000'000},
};

// A whole-number option, already checked by parse().
std::uint64_t number(const Args& args, std::string_view flag) { return std::stoull(args.get(flag)); }

std::string colons(const std::string& mac) { return pc::mac_with_colons(mac); }

// ---- the commands ----

int cmd_init(const Context& c) {
  auto report = c.db.init(c.actor);
  if (!report) return c.fail(report.error());
  std::string how = report->from_version == report->to_version ? "already current"
                    : report->from_version == 0
                        ? "created"
                        : "upgraded from version " + std::to_string(report->from_version);
  std::fprintf(c.out, "line database %s: schema version %d (%s)\n", c.db.describe().c_str(),
               report->to_version, how.c_str());
  return kExitOk;
}

int cmd_import_macs(const Context& c) {
  std::uint64_t count = number(c.args, "--count");
  auto pairs = c.db.import_macs(c.args.get("--first"), count, c.actor);
  if (!pairs) return c.fail(pairs.error());
  std::string first = *pc::normalize_mac(c.args.get("--first"), nullptr);
  std::string last = pc::mac_command_form(*pc::mac_number(first) + count - 1);
  std::fprintf(c.out, "imported %llu MAC addresses, %s to %s: %lld unit%s\n",
               static_cast<unsigned long long>(count), colons(first).c_str(), colons(last).c_str(),
               static_cast<long long>(*pairs), *pairs == 1 ? "" : "s");
  return kExitOk;
}

int cmd_import_serials(const Context& c) {
  const std::string& kind_text = c.args.get("--kind");
  SerialKind kind = kind_text == "sn" ? SerialKind::kSn : SerialKind::kCsn;
  bool numbered = !c.args.has("--file");
  std::optional<std::vector<std::string>> values;
  if (numbered) {
    std::string why;
    values = numbered_serials(c.args.get("--prefix"), static_cast<int>(number(c.args, "--digits")),
                              number(c.args, "--from"), number(c.args, "--count"), &why);
    if (!values) return c.fail(refused(why));
  } else {
    const std::string& file = c.args.get("--file");
    std::ifstream in(file, std::ios::binary);
    if (!in) return c.fail(refused(file + ": cannot read it: " + std::strerror(errno)));
    std::stringstream text;
    text << in.rdbuf();
    std::vector<std::string> problems;
    values = parse_serial_list(text.str(), file, kind_text, &problems);
    if (!values) {
      for (const auto& p : problems) std::fprintf(c.err, "ftmline: %s\n", p.c_str());
      std::fprintf(c.err, "ftmline: nothing imported\n");
      return kExitFailed;
    }
  }
  auto imported = c.db.import_serials(kind, *values, c.actor);
  if (!imported) return c.fail(imported.error());
  std::fprintf(c.out, "imported %lld %s value%s, %s to %s\n", static_cast<long long>(*imported),
               kind_text.c_str(), *imported == 1 ? "" : "s", values->front().c_str(), values->back().c_str());
  return kExitOk;
}

int cmd_assign(const Context& c) {
  auto assigned = c.db.assign(c.args.positional[0], c.actor);
  if (!assigned) return c.fail(assigned.error());
  const Identity& id = assigned->identity;
  nlohmann::ordered_json j = {{"hwid", id.hwid},         {"sn", id.sn},
                              {"csn", id.csn},           {"lan4_mac", id.lan4_mac},
                              {"lan3_mac", id.lan3_mac}, {"new", assigned->is_new}};
  std::fprintf(c.out, "%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  return kExitOk;
}

int cmd_void(const Context& c) {
  const std::string& hwid = c.args.positional[0];
  auto voided = c.db.void_unit(hwid, c.args.get("--reason"), c.actor);
  if (!voided) return c.fail(voided.error());
  std::fprintf(c.out, "unit %s is void: its values are never issued again\n", hwid.c_str());
  return kExitOk;
}

void print_unit(std::FILE* out, const UnitReport& u) {
  const Identity& id = u.identity;
  std::fprintf(out, "unit %s\n  sn           %s\n  csn          %s\n  lan4_mac     %s\n  lan3_mac     %s\n",
               id.hwid.c_str(), id.sn.c_str(), id.csn.c_str(), colons(id.lan4_mac).c_str(),
               colons(id.lan3_mac).c_str());
  std::fprintf(out, "  state        %s\n  assigned     %s by station %s, operator %s\n", u.state.c_str(),
               u.assigned_at.c_str(), u.assigned_station.c_str(), u.assigned_operator.c_str());
  if (!u.provisioned_at.empty()) std::fprintf(out, "  provisioned  %s\n", u.provisioned_at.c_str());
  if (!u.voided_at.empty())
    std::fprintf(out, "  void         %s: %s\n", u.voided_at.c_str(), u.void_reason.c_str());
  std::fprintf(out, "  runs         %zu\n", u.runs.size());
  for (const auto& r : u.runs)
    std::fprintf(out, "    %s to %s  %-7s  plan %s (md5 %s)  station %s  operator %s  run %s\n",
                 r.started_at.c_str(), r.ended_at.c_str(), r.verdict.c_str(), r.plan_name.c_str(),
                 r.plan_md5.c_str(), r.station.c_str(), r.operator_name.c_str(), r.run_id.c_str());
}

int cmd_unit(const Context& c) {
  const std::string& key = c.args.positional[0];
  auto units = c.db.find_units(key);
  if (!units) return c.fail(units.error());
  for (std::size_t i = 0; i < units->size(); ++i) {
    if (i > 0) std::fputc('\n', c.out);
    print_unit(c.out, (*units)[i]);
  }
  if (!units->empty()) return kExitOk;
  // No unit: say what the line knows of the value.
  auto values = c.db.find_values(key);
  if (!values) return c.fail(values.error());
  std::string known;
  for (const auto& v : *values)
    known += "; " + (v.pool == "mac" ? "the MAC pair from " + colons(v.value) : v.pool + " " + v.value) +
             " is " + v.state + " in its pool";
  return c.fail(refused("no unit has " + key + known));
}

int cmd_status(const Context& c) {
  std::int64_t low =
      c.args.has("--low") ? static_cast<std::int64_t>(number(c.args, "--low")) : kDefaultLowWater;
  auto levels = c.db.pool_levels();
  if (!levels) return c.fail(levels.error());
  std::fprintf(c.out, "%-5s %10s %10s %10s %10s\n", "pool", "imported", "assigned", "void", "left");
  for (const auto& l : *levels)
    std::fprintf(c.out, "%-5s %10lld %10lld %10lld %10lld%s\n", l.pool.c_str(),
                 static_cast<long long>(l.imported), static_cast<long long>(l.assigned),
                 static_cast<long long>(l.voided), static_cast<long long>(l.left),
                 l.pool == "mac" ? "  (pairs: one per unit)" : "");
  for (const auto& l : *levels)
    if (l.left < low)
      std::fprintf(c.err, "ftmline: warning: the %s pool has %lld left, below the low-water mark of %lld\n",
                   l.pool.c_str(), static_cast<long long>(l.left), static_cast<long long>(low));
  return kExitOk;
}

int cmd_audit(const Context& c) {
  AuditQuery query;
  query.hwid = c.args.get("--hwid");
  if (c.args.has("--last")) query.last = number(c.args, "--last");
  auto events = c.db.audit(query);
  if (!events) return c.fail(events.error());
  std::fprintf(c.out, "id\tat\tkind\thwid\tstation\toperator\tdb_role\tdetail\n");
  auto or_dash = [](const std::string& s) { return s.empty() ? "-" : s.c_str(); };
  for (const auto& e : *events)
    std::fprintf(c.out, "%lld\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", static_cast<long long>(e.id), e.at.c_str(),
                 e.kind.c_str(), or_dash(e.hwid), or_dash(e.station), or_dash(e.operator_name),
                 or_dash(e.db_role), e.detail.c_str());
  return kExitOk;
}

// "8090", "0.0.0.0:8090", "[::1]:8090" as address and port; nullopt for
// anything else.
std::optional<std::pair<std::string, int>> web_address(const std::string& text) {
  std::string address = kDefaultWebAddress, port = text;
  if (auto colon = text.rfind(':'); colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (address.size() > 1 && address.front() == '[' && address.back() == ']')
      address = address.substr(1, address.size() - 2);
  }
  if (address.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
    return std::nullopt;
  return std::pair{address, std::stoi(port)};
}

int cmd_serve(const Context& c) {
  LineViewOptions options;
  options.db_url = c.url;
  auto web = web_address(c.args.has("--web") ? c.args.get("--web") : kDefaultWeb);
  if (!web) {
    std::fprintf(c.err, "ftmline: --web is [ADDR:]PORT (e.g. 8090 or 0.0.0.0:8090), not \"%s\"\n",
                 c.args.get("--web").c_str());
    return kExitUsage;
  }
  std::tie(options.address, options.port) = *web;
  std::string why;
  auto shifts = parse_shifts(c.args.has("--shift") ? c.args.get("--shift") : kDefaultShifts, &why);
  if (!shifts) {
    std::fprintf(c.err, "ftmline: --shift: %s\n", why.c_str());
    return kExitUsage;
  }
  options.shifts = *shifts;
  if (c.args.has("--low")) options.low_water = static_cast<std::int64_t>(number(c.args, "--low"));
  // The view's threads start with these signals blocked; this one waits for them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  auto view = LineView::start(options, &why);
  if (!view) return c.fail(refused(why));
  std::string host =
      options.address.find(':') != std::string::npos ? "[" + options.address + "]" : options.address;
  std::fprintf(c.out, "line view of %s at http://%s:%d/ (read-only; Ctrl-C stops it)\n",
               c.db.describe().c_str(), host.c_str(), view->port());
  std::fflush(c.out);
  int signal = 0;
  sigwait(&stop, &signal);
  return kExitOk;
}

int cmd_export(const Context& c) {
  const std::string& format_text = c.args.get("--format");
  if (format_text != "jsonl" && format_text != "csv") {
    std::fprintf(c.err, "ftmline: --format is jsonl or csv, not \"%s\"\n", format_text.c_str());
    return kExitUsage;
  }
  Period period;
  for (auto [flag, bound] : {std::pair{"--since", &period.since}, std::pair{"--until", &period.until}}) {
    if (!c.args.has(flag)) continue;
    auto time = parse_time(c.args.get(flag));
    if (!time) {
      std::fprintf(
          c.err, "ftmline: %s \"%s\" is not a time like 2026-12-06, 2026-12-06T06:00 or 2026-12-06T05:00Z\n",
          flag, c.args.get(flag).c_str());
      return kExitUsage;
    }
    *bound = *time;
  }
  period.plan = c.args.get("--plan");
  auto format = format_text == "csv" ? ExportFormat::kCsv : ExportFormat::kJsonl;
  const bool to_file = c.args.has("--output");
  std::string content;
  auto written = export_runs(c.db, period, format, [&](std::string_view line) {
    if (to_file) {
      content += line;
      return true;
    }
    return std::fwrite(line.data(), 1, line.size(), c.out) == line.size();
  });
  if (!written) return c.fail(written.error());
  if (to_file) {
    const std::string& path = c.args.get("--output");
    if (auto saved = write_file_atomic(path, content); !saved) return c.fail(refused(saved.message()));
    std::fprintf(c.out, "exported %lld run%s to %s\n", static_cast<long long>(*written),
                 *written == 1 ? "" : "s", path.c_str());
  }
  return std::fflush(c.out) == 0 ? kExitOk
                                 : c.fail(refused(std::string("cannot write: ") + std::strerror(errno)));
}

// Fills an empty database with a made-up day and keeps its stations
// publishing until SIGINT or SIGTERM.
int cmd_demo(const Context& c) {
  auto runs = fill_demo_line(c.db, std::time(nullptr));
  if (!runs) return c.fail(runs.error());
  std::fprintf(c.out,
               "demo line in %s: %lld runs of the last 8 hours; its stations publish every second until "
               "Ctrl-C (line1-st3 only once: it turns silent)\n",
               c.db.describe().c_str(), static_cast<long long>(*runs));
  std::fflush(c.out);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  const timespec second{1, 0};
  for (std::int64_t tick = 0;; ++tick) {
    auto stations = demo_stations(tick);
    for (std::size_t i = 0; i < stations.size(); ++i)
      if (i + 1 < stations.size() || tick == 0)
        if (auto published = c.db.publish_station(stations[i]); !published) return c.fail(published.error());
    if (sigtimedwait(&stop, nullptr, &second) > 0) return kExitOk;
  }
}

// The commands in the order --help lists them.
constexpr Command kCommands[] = {
    {"init", "", {}, {}, cmd_init},
    {"import-macs", "", {"--first", "--count"}, {"--first", "--count"}, cmd_import_macs},
    {"import-serials",
     "",
     {"--kind", "--prefix", "--digits", "--from", "--count", "--file"},
     {"--kind"},
     cmd_import_serials},
    {"assign", "HWID", {}, {}, cmd_assign},
    {"void", "HWID", {"--reason"}, {"--reason"}, cmd_void},
    {"unit", "HWID|SN|MAC", {}, {}, cmd_unit},
    {"status", "", {"--low"}, {}, cmd_status},
    {"audit", "", {"--hwid", "--last"}, {}, cmd_audit},
    {"serve", "", {"--web", "--shift", "--low"}, {}, cmd_serve},
    {"export",
     "",
     {"--since", "--until", "--format", "--plan", "--output"},
     {"--since", "--format"},
     cmd_export},
    {"demo", "", {}, {}, cmd_demo},
};

bool is_flag_of(const Command& command, std::string_view flag) {
  return std::find(command.flags.begin(), command.flags.end(), flag) != command.flags.end() ||
         std::find(std::begin(kGlobalFlags), std::end(kGlobalFlags), flag) != std::end(kGlobalFlags);
}

// Reads the command line into `args`; the problem when it is not a good one.
std::optional<std::string> parse(std::span<const char* const> argv, Args& args, const Command*& command) {
  std::vector<std::pair<std::string, std::string>> flags;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    std::string arg = argv[i];
    if (!arg.starts_with("--")) {
      (args.command.empty() ? args.command : args.positional.emplace_back()) = arg;
      continue;
    }
    std::string value;
    if (auto eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    } else if (i + 1 < argv.size()) {
      value = argv[++i];
    } else {
      return arg + " needs a value";
    }
    flags.emplace_back(arg, value);
  }
  if (args.command.empty()) return "no command (ftmline --help lists them)";
  for (const auto& c : kCommands)
    if (c.name == args.command) command = &c;
  if (!command) return "unknown command \"" + args.command + "\" (ftmline --help lists them)";
  std::size_t wanted = command->positional.empty() ? 0 : 1;
  if (args.positional.size() > wanted)
    return args.command + " takes no argument \"" + args.positional[wanted] + "\"";
  if (args.positional.size() < wanted) return args.command + " needs " + std::string(command->positional);
  for (auto& [flag, value] : flags) {
    if (!is_flag_of(*command, flag)) return args.command + " has no option " + flag;
    if (value.empty() && flag != "--prefix") return flag + " needs a value";
    if (!args.flags.emplace(flag, value).second) return flag + " given twice";
  }
  for (auto flag : command->required)
    if (!flag.empty() && !args.has(flag)) return args.command + " needs " + std::string(flag);
  for (const auto& n : kNumberFlags) {
    if (!args.has(n.flag)) continue;
    const std::string& text = args.get(n.flag);
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(text) > n.max)
      return "bad " + std::string(n.flag) + " \"" + text + "\" (a whole number up to " +
             std::to_string(n.max) + ")";
  }
  if (args.command == "import-serials") {
    const std::string& kind = args.get("--kind");
    if (kind != "sn" && kind != "csn") return "--kind is sn or csn, not \"" + kind + "\"";
    bool numbered = args.has("--prefix") || args.has("--digits") || args.has("--from") || args.has("--count");
    bool complete = args.has("--digits") && args.has("--from") && args.has("--count");
    if (numbered == args.has("--file") || (numbered && !complete))
      return "import-serials takes either --file F or --prefix P --digits D --from K --count N";
  }
  return std::nullopt;
}

}  // namespace

int run_ftmline(std::span<const char* const> argv, std::FILE* out, std::FILE* err) {
  for (const char* arg : argv)
    if (std::string_view(arg) == "--help") {
      std::fputs(kFtmlineUsage, out);
      return kExitOk;
    }
  Args args;
  const Command* command = nullptr;
  if (auto problem = parse(argv, args, command)) {
    std::fprintf(err, "ftmline: %s\n", problem->c_str());
    return kExitUsage;
  }
  const std::string url = args.has("--db") ? args.get("--db") : default_db_url();
  auto db = open_line_db(
      url, retry_within_from_env(),
      command->run == cmd_serve || command->run == cmd_export ? Access::kReadOnly : Access::kReadWrite);
  if (!db) {
    std::fprintf(err, "ftmline: %s\n", db.error().message.c_str());
    return kExitUsage;
  }
  const char* user = std::getenv("USER");
  Actor actor{args.has("--station") ? args.get("--station") : host_name(),
              args.has("--operator") ? args.get("--operator") : (user && *user ? user : "unknown")};
  return command->run(Context{args, url, **db, actor, out, err});
}

}  // namespace ftmd::line
