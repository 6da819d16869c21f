#include "line/serial_list.h"

#include <map>

#include "pc/identity_rules.h"
#include "pc/text.h"

namespace ftmd::line {
namespace {

constexpr std::size_t kProblemsShown = 10;
constexpr int kDigitsMax = 18;

}  // namespace

std::optional<std::vector<std::string>> numbered_serials(const std::string& prefix, int digits,
                                                         std::uint64_t from, std::uint64_t count,
                                                         std::string* why) {
  if (digits < 1 || digits > kDigitsMax) {
    *why = "the digits must be 1 to " + std::to_string(kDigitsMax);
    return std::nullopt;
  }
  std::uint64_t limit = 1;
  for (int i = 0; i < digits; ++i) limit *= 10;
  if (count == 0 || from >= limit || count > limit - from) {
    *why = count == 0 ? "the count must be above zero"
                      : "the numbers from " + std::to_string(from) + " (" + std::to_string(count) +
                            " of them) do not fit " + std::to_string(digits) + " digits";
    return std::nullopt;
  }
  std::vector<std::string> values;
  values.reserve(count);
  for (std::uint64_t n = from; n < from + count; ++n) {
    std::string number = std::to_string(n);
    std::string& value = values.emplace_back(prefix);
    value.append(static_cast<std::size_t>(digits) - number.size(), '0').append(number);
  }
  return values;
}

std::optional<std::vector<std::string>> parse_serial_list(std::string_view text, const std::string& file,
                                                          std::string_view kind,
                                                          std::vector<std::string>* problems) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::string> values;
  std::map<std::string, int, std::less<>> seen;  // value -> its line
  std::size_t found = 0;
  auto problem = [&](int line, const std::string& reason) {
    if (found++ < kProblemsShown) problems->push_back(file + ":" + std::to_string(line) + ": " + reason);
  };
  int line = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    ++line;
    std::size_t end = text.find('\n', pos);
    std::string_view value = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (value.ends_with('\r')) value.remove_suffix(1);
    if (value.empty()) continue;
    std::string v(value);
    if (auto why = pc::serial_problem(kind, v); !why.empty()) {
      problem(line, why + ": \"" + pc::escape_reply(v) + "\"");
    } else if (auto [it, fresh] = seen.emplace(v, line); !fresh) {
      problem(line, std::string(kind) + " \"" + v + "\" is also on line " + std::to_string(it->second));
    } else {
      values.push_back(std::move(v));
    }
  }
  if (found > kProblemsShown) problems->push_back("and " + std::to_string(found - kProblemsShown) + " more");
  if (found > 0) return std::nullopt;
  if (values.empty()) {
    problems->push_back(file + ": no serial numbers in the file");
    return std::nullopt;
  }
  return values;
}

}  // namespace ftmd::line
