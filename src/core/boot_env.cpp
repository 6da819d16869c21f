#include "core/boot_env.h"

namespace ftmd {

bool env_line_is_unset(std::string_view line, std::string_view name) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (line.empty()) return true;
  return line.size() == name.size() + 1 && line.starts_with(name) && line.back() == '=';
}

}  // namespace ftmd
