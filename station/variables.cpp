#include "variables.h"

#include <algorithm>

namespace ftmd::station {
namespace {

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Calls `on_text` for literal pieces and `on_variable` for references.
template <typename Text, typename Var>
void scan(std::string_view text, Text on_text, Var on_variable) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t open = text.find('{', pos);
    if (open == std::string_view::npos) break;
    std::size_t end = open + 1;
    while (end < text.size() && is_name_char(text[end])) ++end;
    bool named = end > open + 1 && !(text[open + 1] >= '0' && text[open + 1] <= '9');
    if (named && end < text.size() && text[end] == '}') {
      on_text(text.substr(pos, open - pos));
      on_variable(text.substr(open + 1, end - open - 1));
      pos = end + 1;
    } else {
      on_text(text.substr(pos, open + 1 - pos));
      pos = open + 1;
    }
  }
  on_text(text.substr(pos));
}

std::string fill_with(std::string_view text, const Values& values, bool escape) {
  std::string out;
  scan(
      text, [&](std::string_view piece) { out += piece; },
      [&](std::string_view name) {
        auto it = values.find(name);
        if (it == values.end()) return;
        out += escape ? regex_escape(it->second) : it->second;
      });
  return out;
}

}  // namespace

bool is_variable_name(std::string_view name) {
  return std::find(std::begin(kVariableNames), std::end(kVariableNames), name) != std::end(kVariableNames);
}

std::optional<std::vector<std::string>> template_variables(std::string_view text, std::string* error,
                                                           const std::vector<std::string>& also_known) {
  std::vector<std::string> names;
  std::string bad;
  scan(
      text, [](std::string_view) {},
      [&](std::string_view name) {
        const bool known = is_variable_name(name) ||
                           std::find(also_known.begin(), also_known.end(), name) != also_known.end();
        if (!known && bad.empty()) bad = std::string(name);
        names.emplace_back(name);
      });
  if (!bad.empty()) {
    if (error) {
      *error = "unknown variable {" + bad + "} (known:";
      for (auto known : kVariableNames) *error += " {" + std::string(known) + "}";
      for (const auto& known : also_known) *error += " {" + known + "}";
      *error += ")";
    }
    return std::nullopt;
  }
  return names;
}

std::string fill(std::string_view text, const Values& values) { return fill_with(text, values, false); }

std::string fill_regex(std::string_view text, const Values& values) { return fill_with(text, values, true); }

std::string regex_escape(std::string_view text) {
  static constexpr std::string_view kSpecial = "\\^$.|?*+()[]{}";
  std::string out;
  for (char c : text) {
    if (kSpecial.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace ftmd::station
