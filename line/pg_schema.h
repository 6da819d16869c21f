#pragma once

#include "line/line_db.h"

namespace ftmd::line {

// The SQL of each schema step on PostgreSQL; step N (kPgSchemaSteps[N - 1])
// brings version N and runs in the transaction that records it.
extern const char* const kPgSchemaSteps[kSchemaVersion];

}  // namespace ftmd::line
