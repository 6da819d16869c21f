#pragma once

#include <string>
#include <string_view>

namespace ftmd {

// Single-quotes `value` for /bin/sh: a quote inside becomes '\'' so that no
// byte of the value is ever interpreted by the shell. The device quotes every
// value from the test PC this way; PC-side tools use it for the command lines
// they hand to a shell.
std::string shell_quote(std::string_view value);

}  // namespace ftmd
