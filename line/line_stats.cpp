#include "line/line_stats.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>

namespace ftmd::line {
namespace {

constexpr std::time_t kQuarter = 900;
constexpr std::time_t kSecondsPerDay = std::time_t{24} * 3600;

void add(YieldCounts& sum, const YieldCounts& counts) {
  sum.units += counts.units;
  sum.first_pass += counts.first_pass;
  sum.final_pass += counts.final_pass;
  sum.retests += counts.retests;
  sum.aborted += counts.aborted;
}

std::tm local(std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  return tm;
}

// Local midnight of the day `when` falls in, plus `minutes`.
std::time_t local_day_at(std::time_t when, int minutes) {
  std::tm tm = local(when);
  tm.tm_hour = minutes / 60;
  tm.tm_min = minutes % 60;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

std::string local_text(std::time_t when, const char* format) {
  std::tm tm = local(when);
  char text[64];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::vector<YieldGroup> groups_of(const std::map<std::string, YieldCounts>& sums) {
  std::vector<YieldGroup> out;
  out.reserve(sums.size());
  for (const auto& [name, counts] : sums) out.push_back({name, counts});
  return out;
}

}  // namespace

std::optional<Shifts> parse_shifts(const std::string& text, std::string* why) {
  static const std::regex kStart("([01][0-9]|2[0-3]):([0-5][0-9])");
  Shifts shifts;
  std::size_t from = 0;
  for (;;) {
    std::size_t comma = text.find(',', from);
    std::string part = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    std::smatch m;
    if (!std::regex_match(part, m, kStart)) {
      *why = "a shift start is HH:MM (00:00 to 23:59), not \"" + part + "\"";
      return std::nullopt;
    }
    int minutes = std::stoi(m[1]) * 60 + std::stoi(m[2]);
    if (!shifts.empty() && minutes <= shifts.back()) {
      *why =
          "shift starts go in ascending order within one day: \"" + part + "\" is not after the one before";
      return std::nullopt;
    }
    shifts.push_back(minutes);
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  if (shifts.size() > 24) {
    *why = "at most 24 shifts a day";
    return std::nullopt;
  }
  return shifts;
}

std::time_t shift_start(std::time_t when, const Shifts& shifts) {
  std::tm tm = local(when);
  int minute = tm.tm_hour * 60 + tm.tm_min;
  // Before the day's first start: the last shift of the day before.
  if (minute < shifts.front()) return local_day_at(local_day_at(when, 0) - 1, shifts.back());
  int start = shifts.front();
  for (int s : shifts)
    if (s <= minute) start = s;
  return local_day_at(when, start);
}

// The start of the shift after the one that starts at `start`.
std::time_t shift_end(std::time_t start, const Shifts& shifts) {
  std::tm tm = local(start);
  int minute = tm.tm_hour * 60 + tm.tm_min;
  for (int s : shifts)
    if (s > minute) return local_day_at(start, s);
  return local_day_at(start + kSecondsPerDay, shifts.front());
}

YieldTables yield_tables(const std::vector<YieldRow>& rows, const Shifts& shifts) {
  YieldTables tables;
  std::map<std::string, YieldCounts> plans, stations;
  std::map<std::time_t, YieldCounts> hours, shift_sums;
  for (const auto& row : rows) {
    add(tables.total, row.counts);
    add(plans[row.plan], row.counts);
    add(stations[row.station], row.counts);
    std::time_t when = row.quarter * kQuarter;
    std::tm tm = local(when);
    add(hours[when - std::time_t{tm.tm_min} * 60 - tm.tm_sec], row.counts);
    add(shift_sums[shift_start(when, shifts)], row.counts);
  }
  tables.plans = groups_of(plans);
  tables.stations = groups_of(stations);
  for (const auto& [start, counts] : hours)
    tables.hours.push_back({local_text(start, "%Y-%m-%d %H:00"), counts});
  for (const auto& [start, counts] : shift_sums)
    tables.shifts.push_back(
        {local_text(start, "%Y-%m-%d %H:%M") + "\u2013" + local_text(shift_end(start, shifts), "%H:%M"),
         counts});
  return tables;
}

std::optional<Period> named_period(const std::string& name, std::time_t now, const Shifts& shifts) {
  Period period;
  if (name == "shift") {
    period.since = utc_text(shift_start(now, shifts));
  } else if (name == "last-shift") {
    std::time_t current = shift_start(now, shifts);
    period.since = utc_text(shift_start(current - 1, shifts));
    period.until = utc_text(current);
  } else if (name == "today") {
    period.since = utc_text(local_day_at(now, 0));
  } else if (name == "24h") {
    period.since = utc_text(now - kSecondsPerDay);
  } else if (name == "7d") {
    period.since = utc_text(now - 7 * kSecondsPerDay);
  } else {
    return std::nullopt;
  }
  return period;
}

std::string utc_text(std::time_t when) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
  return text;
}

std::optional<std::string> parse_time(const std::string& text) {
  static const std::regex kTime(
      "([0-9]{4})-([0-9]{2})-([0-9]{2})"
      "(?:[T ]([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:\\.([0-9]{1,6}))?)?(Z|[+-][0-9]{2}:?[0-9]{2})?)?");
  std::smatch m;
  if (!std::regex_match(text, m, kTime)) return std::nullopt;
  auto number = [&](int i) { return m[i].matched ? std::stoi(m[i]) : 0; };
  std::tm tm{};
  tm.tm_year = number(1) - 1900;
  tm.tm_mon = number(2) - 1;
  tm.tm_mday = number(3);
  tm.tm_hour = number(4);
  tm.tm_min = number(5);
  tm.tm_sec = number(6);
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 59)
    return std::nullopt;
  std::time_t when = 0;
  std::string zone = m[8].matched ? m[8].str() : "";
  if (zone.empty()) {
    tm.tm_isdst = -1;
    when = std::mktime(&tm);
  } else {
    when = timegm(&tm);
    if (zone != "Z") {
      std::string digits = zone.substr(1);
      digits.erase(std::remove(digits.begin(), digits.end(), ':'), digits.end());
      int offset = std::stoi(digits.substr(0, 2)) * 3600 + std::stoi(digits.substr(2, 2)) * 60;
      when -= zone[0] == '+' ? offset : -offset;
    }
  }
  std::string fraction = m[7].matched ? m[7].str() : "";
  fraction.resize(3, '0');
  std::string out = utc_text(when);
  return out.replace(20, 3, fraction);
}

}  // namespace ftmd::line
