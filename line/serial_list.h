#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ftmd::line {

// The serial numbers of an import, before any goes to the database.

// `count` numbers from `from`, each `digits` wide with leading zeros, after
// `prefix`: ("SN", 6, 41, 3) -> SN000041, SN000042, SN000043. Nothing, and
// the reason in `why`, when the last number needs more than `digits` digits.
std::optional<std::vector<std::string>> numbered_serials(const std::string& prefix, int digits,
                                                         std::uint64_t from, std::uint64_t count,
                                                         std::string* why);

// A list of serial numbers of kind `kind` ("sn" or "csn"), one a line
// (e.g. a customer's list): line ends LF or CRLF, blank lines skipped, a
// byte-order mark ignored, every other byte part of the value. Every value is
// checked with the device's rules and against the list's other lines;
// nothing, and every problem as "FILE:LINE: reason" (at most 10), when one
// fails.
std::optional<std::vector<std::string>> parse_serial_list(std::string_view text, const std::string& file,
                                                          std::string_view kind,
                                                          std::vector<std::string>* problems);

}  // namespace ftmd::line
