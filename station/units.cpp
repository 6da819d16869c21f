#include "units.h"

#include <csv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace ftmd::station {
namespace {

constexpr std::size_t kMacDigits = 12;
constexpr std::string_view kRebootReply = "OK, tamo is rebooting...";
// The Autotest report reads "msn=" and the value with a 23-character limit:
// up to 18 characters the line end fits, longer values are cut at 19.
constexpr std::size_t kReportValueMax = 19;

std::string in_quotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The serial numbers the device cannot store and read back as sent.
std::string serial_problem(std::string_view name, std::string_view value) {
  for (unsigned char c : value)
    if (c < 0x20 || c > 0x7e)
      return name == "sn" ? "sn has a byte that is not printable ASCII"
                          : "csn has a byte that is not printable ASCII";
  if (value.front() == '-') return std::string(name) + " begins with \"-\", which the device refuses";
  if (value.size() > kSerialMax)
    return std::string(name) + " is too long for the device (" + std::to_string(value.size()) +
           " characters)";
  // csn is read back through awk split at "=", msn treats "null" as unset.
  if (name == "csn" && value.find('=') != std::string_view::npos)
    return "csn has a \"=\", which the device cannot read back";
  if (name == "sn" && value == "null") return "sn \"null\" reads back as \"no serial number\"";
  // The device reboots after any reply that begins like its reboot reply,
  // letter case aside, and the read-back reply is "OK," and the value.
  const std::string reply = "OK," + std::string(value);
  if (reply.size() >= kRebootReply.size() &&
      std::equal(kRebootReply.begin(), kRebootReply.end(), reply.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
      }))
    return std::string(name) + " reads back as the reboot reply, which reboots the unit";
  return {};
}

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
      {"lan4_mac_colons", mac_with_colons(unit.lan4_mac)},
      {"lan3_mac_colons", mac_with_colons(unit.lan3_mac)},
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
  std::map<std::string, std::size_t> column;
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    const std::string& name = header.fields[i];
    if (std::find(std::begin(kUnitColumns), std::end(kUnitColumns), name) == std::end(kUnitColumns))
      return failed(header.line,
                    "unknown column " + in_quotes(name) + " (known: sn, csn, lan4_mac, lan3_mac)");
    if (!column.emplace(name, i).second) return failed(header.line, "column " + in_quotes(name) + " twice");
  }
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
    units.push_back(std::move(unit));
  }
  return units;
}

std::optional<std::vector<Unit>> load_units_csv(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot read the units: " + std::strerror(errno);
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  return parse_units_csv(text.str(), path, error);
}

std::optional<std::string> normalize_mac(std::string_view text, std::string* reason) {
  auto bad = [&](const std::string& why) -> std::optional<std::string> {
    if (reason) *reason = why;
    return std::nullopt;
  };
  std::string digits;
  if (text.size() == 17) {
    char separator = text[2];
    if (separator != ':' && separator != '-')
      return bad("not a MAC address (12 hex digits, or six pairs with : or -)");
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i % 3 == 2) {
        if (text[i] != separator) return bad("not a MAC address (12 hex digits, or six pairs with : or -)");
      } else {
        digits += text[i];
      }
    }
  } else if (text.size() == kMacDigits) {
    digits = text;
  } else {
    return bad("not a MAC address (12 hex digits, or six pairs with : or -)");
  }
  if (!std::all_of(digits.begin(), digits.end(), is_hex))
    return bad("not a MAC address (12 hex digits, or six pairs with : or -)");
  std::transform(digits.begin(), digits.end(), digits.begin(),
                 [](char c) { return static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c); });
  if (digits == "000000000000") return bad("the all-zero address is not a unit's address");
  int first_octet = std::stoi(digits.substr(0, 2), nullptr, 16);
  if (first_octet & 1) return bad("a multicast address (odd first octet), not a unit's address");
  return digits;
}

std::string mac_with_colons(std::string_view mac) {
  std::string out;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    if (i > 0 && i % 2 == 0) out += ':';
    out += mac[i];
  }
  return out;
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
      if (auto why = serial_problem(serial.name, serial.value); !why.empty()) {
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
      auto normal = normalize_mac(mac.value, &why);
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
