#include "station_cli.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <set>

#include "pc/link.h"
#include "station_file.h"

namespace ftmd::station {

const char kStationUsage[] =
    "usage: ftmstation [--plan FILE] [--port PATH | --usb-serial SN | --usb-location LOC |\n"
    "                   --slot NAME=PORT ...] [--station-file FILE]\n"
    "                  [--units CSV | --sn SN --csn CSN --mac LAN4,LAN3 |\n"
    "                   --db URL [--count N] [--retest]] [--records DIR]\n"
    "                  [--web ADDR:PORT] [--operator-hook PROG] [--on-record PROG] [--yes]\n"
    "                  [--station NAME] [--operator NAME] [--port-wait SEC] [--check]\n"
    "Runs a test plan (default: the shipped default.yaml) on each unit and writes a JSON\n"
    "record per unit and a JUnit XML report into DIR (default ./station-records).\n"
    "  --slot NAME=PORT one test slot (repeat for several, tested at once); PORT is a path,\n"
    "                   usb-serial:SN or usb-location:LOC\n"
    "  --station-file   a YAML file with the station's name, slots, database, records,\n"
    "                   web address, hooks, operator and plan; options override it\n"
    "  --db URL         units take their identity from the line database (sqlite:PATH or a\n"
    "                   PostgreSQL connection; also $FTMLINE_DB) and runs go back to it\n"
    "  --count N        with --db: stop after N units (default: until Ctrl-C)\n"
    "  --retest         with --db: test again a unit that already passed the plan\n"
    "  --operator NAME  who runs the station (default: the login name)\n"
    "  --check          check the plan and the units (or the database), touch no device\n"
    "  --yes            confirmations go on at once (judgements and scans still wait)\n"
    "  --operator-hook  run PROG ACTION PROMPT-TEXT at every prompt and question; its exit\n"
    "                   status answers a question: 0 yes/pass, 1 no/fail, 2 no answer\n"
    "  --on-record PROG run PROG RECORD-PATH after each unit's record is stored (e.g. to push\n"
    "                   it to the factory's MES); killed after 30 s, a failure only reported\n"
    "Exit status: 0 all units passed, 1 some failed, were refused or aborted, or a record\n"
    "could not be written, 2 port problems, 64 usage, station file, plan, units, records\n"
    "directory or database errors.\n";

namespace {

struct Flag {
  const char* name;
  bool takes_value;
};

constexpr Flag kFlags[] = {
    {"--plan", true},      {"--port", true},         {"--usb-serial", true},    {"--usb-location", true},
    {"--units", true},     {"--sn", true},           {"--csn", true},           {"--mac", true},
    {"--records", true},   {"--web", true},          {"--operator-hook", true}, {"--station", true},
    {"--port-wait", true}, {"--yes", false},         {"--check", false},        {"--help", false},
    {"--db", true},        {"--count", true},        {"--retest", false},       {"--operator", true},
    {"--slot", true},      {"--station-file", true}, {"--on-record", true},
};

}  // namespace

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

ParsedStationArgs parse_station_args(std::span<const char* const> args) {
  StationOptions o;
  std::set<std::string> given;
  PortChoice single;
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
    given.insert(arg);
    if (arg == "--plan") o.plan = value;
    if (arg == "--port") single.path = value, ++port_choices;
    if (arg == "--usb-serial") single.usb_serial = value, ++port_choices;
    if (arg == "--usb-location") single.usb_location = value, ++port_choices;
    if (arg == "--slot") {
      std::string error;
      auto slot = parse_slot_arg(value, &error);
      if (!slot) return {std::nullopt, error};
      o.slots.push_back(std::move(*slot));
    }
    if (arg == "--station-file") o.station_file = value;
    if (arg == "--units") o.units_csv = value;
    if (arg == "--sn") o.sn = value;
    if (arg == "--csn") o.csn = value;
    if (arg == "--mac") o.mac = value;
    if (arg == "--records") o.records = value;
    if (arg == "--web") o.web = value;
    if (arg == "--operator-hook") o.operator_hook = value;
    if (arg == "--on-record") o.on_record = value;
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
  if (o.help) return {o, {}};
  if (port_choices > 1) return {std::nullopt, "give one of --port, --usb-serial and --usb-location"};
  if (port_choices > 0 && !o.slots.empty())
    return {std::nullopt,
            "give either --slot NAME=PORT for each slot or one --port, --usb-serial or --usb-location"};
  if (port_choices > 0) o.slots.push_back({kSingleSlotName, single});

  // What the command line does not say, the station file may.
  if (!o.station_file.empty()) {
    std::string error;
    auto file = load_station_file(o.station_file, &error);
    if (!file) return {std::nullopt, error, true};
    auto take = [&](const char* flag, std::string& option, const std::string& from_file) {
      if (!given.contains(flag) && !from_file.empty()) option = from_file;
    };
    take("--station", o.station, file->station);
    take("--db", o.db, file->database);
    take("--records", o.records, file->records);
    take("--web", o.web, file->web);
    take("--operator-hook", o.operator_hook, file->operator_hook);
    take("--on-record", o.on_record, file->on_record);
    take("--operator", o.operator_name, file->operator_name);
    take("--plan", o.plan, file->plan);
    if (o.slots.empty()) o.slots = file->slots;
  }
  if (o.slots.empty()) o.slots.push_back({kSingleSlotName, PortChoice{pc::kDefaultPort, {}, {}}});
  if (auto why = slots_problem(o.slots); !why.empty()) return {std::nullopt, why};

  if (!o.units_csv.empty() && (!o.sn.empty() || !o.csn.empty() || !o.mac.empty()))
    return {std::nullopt, "give either --units or --sn/--csn/--mac, not both"};
  if (!o.mac.empty() && o.mac.find(',') == std::string::npos)
    return {std::nullopt, "--mac takes the pair LAN4,LAN3"};
  const bool units_given = !o.units_csv.empty() || !o.sn.empty() || !o.csn.empty() || !o.mac.empty();
  if (!o.db.empty() && units_given) {
    if (!given.contains("--db"))
      o.db.clear();  // the station file's database serves stations given no units
    else
      return {std::nullopt,
              "give either --db or --units/--sn/--csn/--mac: with the line database units take "
              "their identity from it"};
  }
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

int station_main(int argc, char** argv) {
  auto parsed =
      parse_station_args({const_cast<const char* const*>(argv) + 1, static_cast<std::size_t>(argc - 1)});
  if (!parsed.options) {
    std::fprintf(stderr, "ftmstation: %s\n%s", parsed.error.c_str(), parsed.in_file ? "" : kStationUsage);
    return kExitUsage;
  }
  if (parsed.options->help) {
    std::fputs(kStationUsage, stdout);
    return kExitAllPassed;
  }
  return run_station(*parsed.options, stdout, stderr, STDIN_FILENO);
}

}  // namespace ftmd::station
