// Helpers shared by the fuzz targets: an input cut into fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace ftmd::fuzz {

// The separator between fields in a fuzz input (seed files use it too).
inline constexpr char kFieldSeparator = '\x01';

// `data` cut at every separator into exactly `count` fields (missing ones are
// empty; the last field takes the rest, separators included).
inline std::vector<std::string> fields(const std::uint8_t* data, std::size_t size, std::size_t count) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> out;
  while (out.size() + 1 < count) {
    std::size_t cut = rest.find(kFieldSeparator);
    if (cut == std::string_view::npos) break;
    out.emplace_back(rest.substr(0, cut));
    rest.remove_prefix(cut + 1);
  }
  out.emplace_back(rest);
  out.resize(count);
  return out;
}

// Stops the run with a finding when an invariant does not hold.
inline void require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace ftmd::fuzz
