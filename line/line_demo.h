#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "line/line_db.h"

namespace ftmd::line {

// A small line's last eight hours, made up, for trying the line view
// without a line (`ftmline demo`) and for its screenshot: three stations of
// two slots, about 130 runs of two plans with retests, failures with their
// replies and measurements, pools running low. The same numbers every time
// (a fixed seed); times end at `now`.

// Imports the pools and stores the runs. Refused for a database that
// already holds pool values or runs: the demo never mixes into a real line.
Result<std::int64_t> fill_demo_line(LineDb& db, std::time_t now);

// What the demo stations publish at second `tick`: their slots move through
// the plan. `ftmline demo` publishes the third one only at tick 0, so that
// it turns silent.
std::vector<StationStatus> demo_stations(std::int64_t tick);

}  // namespace ftmd::line
