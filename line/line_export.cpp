#include "line/line_export.h"

#include <csv.h>

#include <ctime>

#include <nlohmann/json.hpp>

#include "pc/text.h"

namespace ftmd::line {
namespace {

using Json = nlohmann::ordered_json;

// Runs read from the database at once.
constexpr std::size_t kPage = 500;

constexpr const char* kFields[] = {"run_id",      "hwid",        "sn",         "csn",      "lan4_mac",
                                   "lan3_mac",    "plan_name",   "plan_md5",   "station",  "operator",
                                   "verdict",     "attempt",     "started_at", "ended_at", "duration_ms",
                                   "failed_step", "failed_reply"};

// Milliseconds since the epoch of a stored time ("...T18:32:28.123Z").
std::int64_t epoch_ms(const std::string& time) {
  std::tm tm{};
  if (time.size() < 23 || !strptime(time.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return 0;
  return static_cast<std::int64_t>(timegm(&tm)) * 1000 + std::stoi(time.substr(20, 3));
}

// A text field as libcsv quotes it.
std::string csv_field(std::string_view text) {
  std::string out(csv_write(nullptr, 0, text.data(), text.size()), '\0');
  csv_write(out.data(), out.size(), text.data(), text.size());
  return out;
}

}  // namespace

std::string csv_header() {
  std::string line;
  for (const char* field : kFields) line += (line.empty() ? "" : ",") + std::string(field);
  return line + "\n";
}

Json run_fields(const RunRow& r) {
  return {{"run_id", r.run_id},
          {"hwid", r.hwid},
          {"sn", r.sn},
          {"csn", r.csn},
          {"lan4_mac", r.lan4_mac},
          {"lan3_mac", r.lan3_mac},
          {"plan_name", r.plan_name},
          {"plan_md5", r.plan_md5},
          {"station", r.station},
          {"operator", r.operator_name},
          {"verdict", r.verdict},
          {"attempt", r.attempt},
          {"started_at", r.started_at},
          {"ended_at", r.ended_at},
          {"duration_ms", epoch_ms(r.ended_at) - epoch_ms(r.started_at)},
          {"failed_step", r.failed_step},
          {"failed_reply", r.failed_reply}};
}

std::string export_line(const RunRow& r, ExportFormat format) {
  if (format == ExportFormat::kCsv) {
    const std::int64_t duration = epoch_ms(r.ended_at) - epoch_ms(r.started_at);
    std::string line;
    for (const std::string* text : {&r.run_id, &r.hwid, &r.sn, &r.csn, &r.lan4_mac, &r.lan3_mac, &r.plan_name,
                                    &r.plan_md5, &r.station, &r.operator_name, &r.verdict})
      line += csv_field(*text) + ",";
    line += std::to_string(r.attempt) + "," + csv_field(r.started_at) + "," + csv_field(r.ended_at) + "," +
            std::to_string(duration) + "," + csv_field(r.failed_step) + "," +
            csv_field(pc::escape_reply(r.failed_reply));
    return line + "\n";
  }
  Json measurements = Json::array();
  for (const auto& m : record_facts(r.record_json, nullptr).measurements)
    measurements.push_back({{"step", m.step},
                            {"name", m.name},
                            {"unit", m.unit},
                            {"value", m.value},
                            {"low", m.low ? Json(*m.low) : Json()},
                            {"high", m.high ? Json(*m.high) : Json()},
                            {"passed", m.passed}});
  auto record = Json::parse(r.record_json, nullptr, false);
  Json line = run_fields(r);
  line["measurements"] = std::move(measurements);
  line["record"] = record.is_discarded() ? Json(r.record_json) : std::move(record);
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

Result<std::int64_t> export_runs(LineDb& db, const Period& period, ExportFormat format,
                                 const std::function<bool(std::string_view)>& write) {
  if (format == ExportFormat::kCsv && !write(csv_header())) return Error{ErrorKind::kFailed, "cannot write"};
  std::int64_t written = 0;
  std::string after_started, after_run_id;
  for (;;) {
    auto page = db.runs_between(period, after_started, after_run_id, kPage);
    if (!page) return page.error();
    for (const auto& run : *page) {
      if (!write(export_line(run, format))) return Error{ErrorKind::kFailed, "cannot write"};
      ++written;
    }
    if (page->size() < kPage) return written;
    after_started = page->back().started_at;
    after_run_id = page->back().run_id;
  }
}

}  // namespace ftmd::line
