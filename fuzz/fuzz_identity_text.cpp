// The text rules of identity provisioning and the argument parsers of the
// other commands, on any bytes: what the daemon makes of tool output, release
// files and the PC's arguments, and the shell command lines it builds.
#include <cstdint>
#include <string>

#include "activation/activation.h"
#include "autotest/autotest.h"
#include "core/boot_env.h"
#include "fuzz_input.h"
#include "hwtest/trigger.h"
#include "identity/identity_text.h"
#include "identity/netfile.h"

using namespace ftmd;
using namespace ftmd::identity;
using ftmd::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // line, name, value
  auto f = fuzz::fields(data, size, 3);
  const std::string& line = f[0];
  const std::string& name = f[1];
  const std::string& value = f[2];

  os_release_version(line);
  scratch_value(std::optional<std::string>(line), name);
  scratch_value(std::nullopt, name);
  csn_value(std::optional<std::string>(line));
  env_line_is_unset(line, name);
  boot_env_value(line, name);
  os_release_value(line);
  parse_gpio_value(line);
  parse_trigger_listing(line);
  activation_argument_ok(line);
  autotest_wants_report(line);
  autotest_parameter(line);

  if (auto candidate = env_mac_candidate(line, name)) require(candidate->size() <= 17);

  // A command line is the prefix and the value quoted so that a shell sees
  // one word: every single quote is closed, escaped and reopened. The value's
  // own length decides whether it fits.
  auto cmd = quoted_command_line(name, value);
  require(cmd.has_value() == (name.size() + value.size() <= 255));
  if (cmd) {
    require(cmd->compare(0, name.size(), name) == 0);
    std::string quoted = cmd->substr(name.size());
    require(quoted.size() >= 2 && quoted.front() == '\'' && quoted.back() == '\'');
    std::string unquoted;
    bool inside = false;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
      char c = quoted[i];
      if (inside) {
        if (c == '\'')
          inside = false;
        else
          unquoted += c;
      } else if (c == '\'') {
        inside = true;
      } else {
        require(c == '\\' && i + 1 < quoted.size());
        unquoted += quoted[++i];
      }
    }
    require(!inside && unquoted == value);
  }

  // The MAC forms: a command address that passes gives a unit-file address
  // that passes, and the colons come off again.
  if (mac_command_form_ok(line, false)) {
    std::string colons = mac_insert_colons(line);
    require(check_mac_format(colons));
    require(mac_strip_colons(colons) == line);
  }
  return 0;
}
