#pragma once

// What the two back ends of the line database share: their factories and the
// texts of the refusals both give, so a station sees the same message from
// either engine.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "line/line_db.h"

namespace ftmd::line {

// The back ends. `path` is the SQLite file; `conninfo` a libpq string or URI.
Result<std::unique_ptr<LineDb>> open_sqlite(const std::string& path, bool read_only);
Result<std::unique_ptr<LineDb>> open_postgres(const std::string& conninfo, bool read_only);

// Creates the schema or upgrades it only up to `version` (at most
// kSchemaVersion), to test the upgrade from there.
Result<InitReport> init_up_to(LineDb& db, int version, const Actor& actor);

// A result row, every column as text, NULL as "".
using Row = std::vector<std::string>;

// The identity of a unit holding the MAC pair from `lan4`.
Identity identity_of(const std::string& hwid, const std::string& sn, const std::string& csn,
                     std::uint64_t lan4);
// Pool levels from rows (pool, imported, assigned, void, free), in the order
// sn, csn, mac; a pool nothing was imported into is there with zeros.
std::vector<PoolLevel> levels_in_order(const std::vector<Row>& rows);

// "the sn pool is empty" / "the sn and mac pools are empty", with what to do.
std::string empty_pools_message(const std::vector<std::string>& pools);
// A block overlapping one already imported (numbers are MAC addresses).
std::string overlap_message(std::uint64_t first, std::uint64_t count, std::uint64_t other_first,
                            std::uint64_t other_count, const std::string& other_imported_at);
// Values of an import that are already in the pool: the first few by name.
std::string already_imported_message(const std::string& kind, const std::vector<std::string>& values,
                                     std::int64_t total);
std::string void_unit_message(const std::string& hwid, const std::string& reason);
std::string unknown_unit_message(const std::string& hwid);

// At most this many values are named in one message.
inline constexpr std::size_t kValuesNamed = 5;

}  // namespace ftmd::line
