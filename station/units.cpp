#include "units.h"

#include <csv.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>

#include "pc/identity_rules.h"
#include "pc/text.h"

namespace ftmd::station {
namespace {

// The Autotest report reads "msn=" and the value with a 23-character limit:
// up to 18 characters the line end fits, longer values are cut at 19.
constexpr std::size_t kReportValueMax = 19;

std::string in_quotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string report_form(const std::string& value) {
  if (value.size() < kReportValueMax) return value + "\n";
  return value.substr(0, kReportValueMax);
}

// Collects libcsv's fields into rows with the line each row began on.
struct CsvRows {
  struct Row {
    int line = 0;
    std::vector<std::string> fields;
  };
  std::vector<Row> rows;
  Row current;
  int line = 1;  // the line being fed

  static void on_field(void* data, std::size_t size, void* self) {
    auto* rows = static_cast<CsvRows*>(self);
    if (rows->current.fields.empty()) rows->current.line = rows->line;
    rows->current.fields.emplace_back(data ? static_cast<const char*>(data) : "", data ? size : 0);
  }
  static void on_row(int, void* self) {
    auto* rows = static_cast<CsvRows*>(self);
    rows->rows.push_back(std::move(rows->current));
    rows->current = {};
  }
};

struct CsvParser {
  csv_parser parser{};
  bool ready = false;
  ~CsvParser() {
    if (ready) csv_free(&parser);
  }
};

}  // namespace

Values unit_values(const Unit& unit) {
  return {
      {"sn", unit.sn},
      {"csn", unit.csn},
      {"lan4_mac", unit.lan4_mac},
      {"lan3_mac", unit.lan3_mac},
      {"lan4_mac_colons", pc::mac_with_colons(unit.lan4_mac)},
      {"lan3_mac_colons", pc::mac_with_colons(unit.lan3_mac)},
      {"sn_report", report_form(unit.sn)},
      {"csn_report", report_form(unit.csn)},
  };
}

std::optional<std::vector<Unit>> parse_units_csv(std::string_view text, const std::string& file,
                                                 std::string* error) {
  auto failed = [&](int line, const std::string& reason) -> std::optional<std::vector<Unit>> {
    if (error) *error = file + ":" + std::to_string(line) + ": " + reason;
    return std::nullopt;
  };
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a spreadsheet's byte-order mark

  CsvParser csv;
  if (csv_init(&csv.parser, CSV_STRICT | CSV_STRICT_FINI) != 0)
    return failed(1, "cannot start the CSV parser");
  csv.ready = true;
  CsvRows rows;
  // Fed a line at a time, so that a syntax error is known by its line.
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::size_t len = end - pos;
    if (csv_parse(&csv.parser, text.data() + pos, len, CsvRows::on_field, CsvRows::on_row, &rows) != len)
      return failed(rows.line, std::string("bad CSV: ") + csv_strerror(csv_error(&csv.parser)));
    pos = end;
    ++rows.line;
  }
  int last_line = rows.line - (text.ends_with('\n') ? 1 : 0);
  if (csv_fini(&csv.parser, CsvRows::on_field, CsvRows::on_row, &rows) != 0)
    return failed(last_line, std::string("bad CSV: ") + csv_strerror(csv_error(&csv.parser)));

  if (rows.rows.empty()) return failed(1, "no header row (sn,csn,lan4_mac,lan3_mac)");
  const auto& header = rows.rows.front();
  // The station's columns by any case; every other column is kept with the
  // unit as a property under its name as written.
  std::map<std::string, std::size_t> column;  // station column -> index
  std::vector<std::pair<std::string, std::size_t>> extra;
  std::set<std::string> seen;  // lower-case names
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    std::string name = header.fields[i];
    if (name.empty()) name = "column " + std::to_string(i + 1);
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!seen.insert(lower).second) return failed(header.line, "column " + in_quotes(name) + " twice");
    if (std::find(std::begin(kUnitColumns), std::end(kUnitColumns), lower) != std::end(kUnitColumns))
      column.emplace(lower, i);
    else
      extra.emplace_back(name, i);
  }
  if (column.empty())
    return failed(header.line, "the header names none of the columns sn, csn, lan4_mac, lan3_mac");
  if (rows.rows.size() == 1) return failed(header.line, "no units after the header");

  std::vector<Unit> units;
  for (std::size_t r = 1; r < rows.rows.size(); ++r) {
    const auto& row = rows.rows[r];
    if (row.fields.size() != header.fields.size())
      return failed(row.line, std::to_string(row.fields.size()) + " values, the header names " +
                                  std::to_string(header.fields.size()) + " columns");
    Unit unit;
    unit.origin = file + ":" + std::to_string(row.line);
    auto take = [&](const char* name, std::string& out) {
      if (auto it = column.find(name); it != column.end()) out = row.fields[it->second];
    };
    take("sn", unit.sn);
    take("csn", unit.csn);
    take("lan4_mac", unit.lan4_mac);
    take("lan3_mac", unit.lan3_mac);
    for (const auto& [name, index] : extra) unit.properties.emplace_back(name, row.fields[index]);
    units.push_back(std::move(unit));
  }
  return units;
}

std::optional<std::vector<Unit>> load_units_csv(const std::string& path, std::string* error) {
  const std::optional<std::string> text = pc::read_text_file(path, "units", error);
  if (!text) return std::nullopt;
  return parse_units_csv(*text, path, error);
}

std::vector<std::string> check_units(std::vector<Unit>& units,
                                     const std::vector<std::string>& plan_variables) {
  std::vector<std::string> problems;
  auto uses = [&](std::string_view base) {
    return std::any_of(plan_variables.begin(), plan_variables.end(),
                       [&](const std::string& v) { return v.starts_with(base); });
  };
  std::map<std::string, std::string> seen_mac, seen_sn, seen_csn;  // value -> origin
  for (auto& unit : units) {
    auto problem = [&](const std::string& reason) { problems.push_back(unit.origin + ": " + reason); };
    struct Serial {
      const char* name;
      std::string& value;
      std::map<std::string, std::string>& seen;
    };
    for (Serial serial : {Serial{"sn", unit.sn, seen_sn}, Serial{"csn", unit.csn, seen_csn}}) {
      if (serial.value.empty()) {
        if (uses(serial.name))
          problem(std::string("no ") + serial.name + " (the plan uses {" + serial.name + "})");
        continue;
      }
      if (auto why = pc::serial_problem(serial.name, serial.value); !why.empty()) {
        problem(why);
        continue;
      }
      auto [it, fresh] = serial.seen.emplace(serial.value, unit.origin);
      if (!fresh)
        problem(std::string(serial.name) + " " + in_quotes(serial.value) +
                " is used twice in this run (also " + it->second + ")");
    }
    struct Mac {
      const char* name;
      std::string& value;
    };
    bool pair_ok = true;
    for (Mac mac : {Mac{"lan4_mac", unit.lan4_mac}, Mac{"lan3_mac", unit.lan3_mac}}) {
      if (mac.value.empty()) {
        if (uses(mac.name)) problem(std::string("no ") + mac.name + " (the plan uses {" + mac.name + "})");
        pair_ok = false;
        continue;
      }
      std::string why;
      auto normal = pc::normalize_mac(mac.value, &why);
      if (!normal) {
        problem(std::string(mac.name) + " " + in_quotes(mac.value) + ": " + why);
        pair_ok = false;
        continue;
      }
      mac.value = *normal;
    }
    if (!pair_ok) continue;
    if (unit.lan4_mac == unit.lan3_mac) {
      problem("lan4_mac and lan3_mac are the same address " + unit.lan4_mac);
      continue;
    }
    for (const std::string* mac : {&unit.lan4_mac, &unit.lan3_mac}) {
      auto [it, fresh] = seen_mac.emplace(*mac, unit.origin);
      if (!fresh) problem("MAC " + *mac + " is used twice in this run (also " + it->second + ")");
    }
  }
  return problems;
}

}  // namespace ftmd::station
