#include "identity/identity_text.h"

#include <syslog.h>

#include "common/shell_quote.h"
#include "core/boot_env.h"
#include "identity/identity_constants.h"

namespace ftmd::identity {

std::optional<std::string> os_release_version(std::string_view head) {
  std::string_view key = kVersionIdKey;
  auto at = head.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view value = head.substr(at + key.size());
  // Verbatim up to the line feed: quotation marks stay in the reply.
  return std::string(value.substr(0, value.find('\n')));
}

std::string scratch_value(const std::optional<std::string>& first_line, std::string_view name) {
  if (!first_line || env_line_is_unset(*first_line, name)) return kNullValue;
  std::string_view line = *first_line;
  if (line.size() <= name.size() || !line.starts_with(name) || line[name.size()] != '=') return kNullValue;
  line.remove_prefix(name.size() + 1);
  if (line.ends_with('\n')) line.remove_suffix(1);
  return std::string(line);
}

std::optional<std::string> csn_value(const std::optional<std::string>& first_line) {
  if (!first_line) return std::nullopt;
  std::string_view line = *first_line;
  line = line.substr(0, line.find('\n'));
  if (line.empty()) return std::nullopt;
  return std::string(line);
}

std::optional<std::string> quoted_command_line(std::string_view prefix, std::string_view value) {
  // The quotes are ours: only the value's own length counts against the line.
  if (prefix.size() + value.size() >= kCommandLineSize) return std::nullopt;
  return std::string(prefix) + shell_quote(value);
}

std::optional<std::string> env_mac_candidate(std::string_view line, std::string_view name) {
  if (env_line_is_unset(line, name)) return std::nullopt;
  std::size_t skip = name.size() + 1;
  if (line.size() <= skip) return std::string();
  return std::string(line.substr(skip, kMacTextLength));
}

bool mac_command_form_ok(std::string_view address, bool log_count) {
  int count = 0;
  for (std::size_t i = 0; i < kMacDigits; ++i) {
    char c = i < address.size() ? address[i] : '\0';
    if (i == 1) {
      syslog(LOG_DEBUG, "hexChar == %c\n", c);
      if (!is_upper_hex(c)) return false;
      int value = c <= '9' ? c - '0' : c - 'A' + 10;
      syslog(LOG_DEBUG, "decimalValue == %d\n", value);
      if (value % 2 != 0) return false;  // multicast bit set
    }
    if (is_upper_hex(c)) ++count;
  }
  // Exactly 12 characters, all digits: a longer text fails too.
  if (count != static_cast<int>(kMacDigits) || address.size() != kMacDigits) {
    if (log_count) syslog(LOG_DEBUG, "----stat --> %d", count);
    return false;
  }
  return true;
}

std::string mac_insert_colons(std::string_view digits) {
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && i % 2 == 0) text.push_back(':');
    text.push_back(digits[i]);
  }
  return text;
}

std::string mac_strip_colons(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != ':') out.push_back(c);
  return out;
}

}  // namespace ftmd::identity
