#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "line/line_db.h"

namespace ftmd::line {

// The line's statistics as people read them: yield by plan, station, hour
// and shift, in the local time of the machine that shows them (TZ). Pure:
// the database gives YieldRows (line_db.h), these functions sum them.

// Shift starts, minutes after local midnight, ascending; each shift runs to
// the next start (the last one to the first start of the next day).
using Shifts = std::vector<int>;

// "06:00,14:00,22:00": one to 24 starts, HH:MM, ascending. nullopt, and the
// reason in `why`, for anything else.
std::optional<Shifts> parse_shifts(const std::string& text, std::string* why);
inline constexpr char kDefaultShifts[] = "06:00,14:00,22:00";

// The yield of a group, named for people: a plan, a station, a local hour
// ("2026-12-06 07:00") or a shift ("2026-12-06 06:00–14:00").
struct YieldGroup {
  std::string name;
  YieldCounts counts;
};

struct YieldTables {
  YieldCounts total;
  std::vector<YieldGroup> plans;     // by name
  std::vector<YieldGroup> stations;  // by name
  std::vector<YieldGroup> hours;     // oldest first
  std::vector<YieldGroup> shifts;    // oldest first
};

YieldTables yield_tables(const std::vector<YieldRow>& rows, const Shifts& shifts);

// The start of the shift that `when` falls in.
std::time_t shift_start(std::time_t when, const Shifts& shifts);

// The periods the line view offers, at `now`: "shift" (the current shift so
// far), "last-shift", "today" (since local midnight), "24h", "7d". nullopt
// for another name.
std::optional<Period> named_period(const std::string& name, std::time_t now, const Shifts& shifts);

// `when` as the line stores times: "2026-12-06T07:10:00.000Z".
std::string utc_text(std::time_t when);

// A time typed by a person (export's --since and --until): a date
// ("2026-12-06", local midnight), or a date and time with "T" or a blank,
// seconds and a fraction optional, and "Z", an offset ("+01:00") or nothing
// (local time). As the line stores times; nullopt for anything else.
std::optional<std::string> parse_time(const std::string& text);

}  // namespace ftmd::line
