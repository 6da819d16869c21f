#pragma once

#include <string_view>

namespace ftmd {

// The device may carry either family of U-Boot environment tools. For a
// variable that is not set one prints nothing on stdout, Debian's
// libubootenv prints "name=" and a line feed. Every reader of fw_printenv
// output asks this first and treats both alike: the variable is not set.
//
// `line` is the first output line as read (line feed or not); true when it is
// empty, or is "name=" with nothing (or only a line feed) after the "=".
bool env_line_is_unset(std::string_view line, std::string_view name);

}  // namespace ftmd
