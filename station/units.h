#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "variables.h"

namespace ftmd::station {

// One unit to test: its serial numbers and MAC pair, from the command line
// or from one row of a units CSV. After check_units the MACs are in the
// device's command form (12 upper-case hex digits); before, as typed.
struct Unit {
  std::string origin;    // "units.csv:3", or "command line", for messages
  std::string sn;        // product serial number ("" when not given)
  std::string csn;       // customer serial number
  std::string lan4_mac;  // Mac1
  std::string lan3_mac;  // Mac2
  // Further columns of a units CSV, kept for the record: (column as the
  // header names it, value), in the file's order.
  std::vector<std::pair<std::string, std::string>> properties = {};
};

// The template values of a checked unit (see kVariableNames).
Values unit_values(const Unit& unit);

// The CSV columns the station reads, named in the header row in any case and
// order, each at most once; other columns are kept as the unit's properties.
// Variables the plan uses need their column.
inline constexpr std::string_view kUnitColumns[] = {"sn", "csn", "lan4_mac", "lan3_mac"};

// Parses a units CSV (RFC 4180 with libcsv: a header row, then one unit per
// row; blank lines are skipped). On failure returns nothing and sets `error`
// to "FILE:LINE: reason".
std::optional<std::vector<Unit>> parse_units_csv(std::string_view text, const std::string& file,
                                                 std::string* error);
std::optional<std::vector<Unit>> load_units_csv(const std::string& path, std::string* error);

// Checks every unit before anything is written to any unit: each value the
// plan uses is present, serial numbers are values the device stores and
// reads back as sent (pc::serial_problem), MACs are well-formed unicast addresses, the two of a
// pair differ, and no MAC or serial number appears twice in the run. MACs
// are turned into command form in place. Returns every problem found, each
// "ORIGIN: reason"; empty when all is well.
std::vector<std::string> check_units(std::vector<Unit>& units,
                                     const std::vector<std::string>& plan_variables);

}  // namespace ftmd::station
