#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "line/line_db.h"

namespace ftmd::line {

// The runs of a period for the factory's other systems (an MES), one line
// per run, oldest first. The fields, in this order, are the same in both
// formats and keep their names from version to version:
//   run_id hwid sn csn lan4_mac lan3_mac plan_name plan_md5 station operator
//   verdict attempt started_at ended_at duration_ms failed_step failed_reply
// (RunRow; times ISO 8601 UTC with milliseconds, MACs as "001B2C3D4E5F").
// JSON Lines adds "measurements" (the record's, as stored) and "record"
// (the station's whole record). CSV has a header line; text fields are
// quoted by libcsv, and failed_reply is escaped as the records escape replies
// ("\n", "\xNN"), so every run is one line.
enum class ExportFormat { kJsonl, kCsv };

// The header line of a CSV export, with its line end.
std::string csv_header();
// A run's fields above, in that order (JSON), as the export and the line
// view give them.
nlohmann::ordered_json run_fields(const RunRow& run);
// One run as one line, with its line end.
std::string export_line(const RunRow& run, ExportFormat format);

// Reads the runs of `period` page by page and hands each line to `write`
// (which says whether it could take it). Gives how many runs were written.
Result<std::int64_t> export_runs(LineDb& db, const Period& period, ExportFormat format,
                                 const std::function<bool(std::string_view)>& write);

}  // namespace ftmd::line
