#include "plan.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>

#include "pc/text.h"
#include "variables.h"

#ifndef FTMSTATION_PLAN_DIR
#define FTMSTATION_PLAN_DIR "station/plans"
#endif
#ifndef FTMSTATION_INSTALLED_PLAN_DIR
#define FTMSTATION_INSTALLED_PLAN_DIR "/usr/share/ftmstation/plans"
#endif

namespace ftmd::station {
namespace {

// Where an installed station finds its plans.
constexpr char kInstalledPlanDir[] = FTMSTATION_INSTALLED_PLAN_DIR;
constexpr char kDefaultPlanFile[] = "default.yaml";

// Thrown only inside this file, caught in parse_plan.
struct PlanError {
  int line;
  std::string reason;
};

int line_of(const YAML::Node& node) { return node.Mark().is_null() ? 0 : node.Mark().line + 1; }

[[noreturn]] void fail_at(int line, std::string reason) { throw PlanError{line, std::move(reason)}; }
[[noreturn]] void fail(const YAML::Node& node, std::string reason) {
  fail_at(line_of(node), std::move(reason));
}

std::string in_quotes(const std::string& text) { return "\"" + text + "\""; }

// A finite number that is the whole of `text` (strtod's forms).
std::optional<double> finite_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}
// A text from the plan that may hold line ends or other control bytes, as
// the station's messages show device texts.
std::string escaped_quotes(const std::string& text) { return "\"" + pc::escape_reply(text) + "\""; }

std::string scalar(const YAML::Node& node, const std::string& key) {
  if (!node.IsScalar()) fail(node, key + " must be a text");
  return node.Scalar();
}

std::string nonempty_text(const YAML::Node& node, const std::string& key) {
  std::string value = scalar(node, key);
  if (value.empty()) fail(node, key + " must not be empty");
  return value;
}

std::chrono::milliseconds seconds(const YAML::Node& node, const std::string& key,
                                  std::chrono::milliseconds min, std::chrono::milliseconds max) {
  auto bad = [&] {
    char range[64];
    std::snprintf(range, sizeof range, " (seconds from %g to %g)", std::chrono::duration<double>(min).count(),
                  std::chrono::duration<double>(max).count());
    fail(node, "bad " + key + (node.IsScalar() ? " " + in_quotes(node.Scalar()) : std::string()) + range);
  };
  const std::optional<double> number = node.IsScalar() ? finite_number(node.Scalar()) : std::nullopt;
  if (!number) bad();
  const double value = number.value_or(0.0);  // bad() does not return
  auto ms = std::chrono::milliseconds(std::llround(value * 1000.0));
  if (value < 0 || ms < min || ms > max) bad();
  return ms;
}

int count(const YAML::Node& node, const std::string& key, int max) {
  auto bad = [&] {
    fail(node, "bad " + key + (node.IsScalar() ? " " + in_quotes(node.Scalar()) : std::string()) +
                   " (a whole number from 0 to " + std::to_string(max) + ")");
  };
  if (!node.IsScalar() || node.Scalar().empty()) bad();
  const std::string& text = node.Scalar();
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) || text.size() > 4)
    bad();
  int value = std::stoi(text);
  if (value > max) bad();
  return value;
}

bool flag(const YAML::Node& node, const std::string& key) {
  if (node.IsScalar()) {
    const std::string& text = node.Scalar();
    if (text == "true" || text == "yes") return true;
    if (text == "false" || text == "no") return false;
  }
  fail(node, "bad " + key + (node.IsScalar() ? " " + in_quotes(node.Scalar()) : std::string()) +
                 " (true or false)");
}

OnFail on_fail(const YAML::Node& node) {
  if (node.IsScalar() && node.Scalar() == "stop") return OnFail::kStop;
  if (node.IsScalar() && node.Scalar() == "continue") return OnFail::kContinue;
  fail(node, "bad on_fail" + (node.IsScalar() ? " " + in_quotes(node.Scalar()) : std::string()) +
                 " (stop or continue)");
}

[[noreturn]] void unknown_key(const YAML::Node& key, std::initializer_list<std::string_view> known,
                              const std::string& what) {
  std::string list;
  for (auto k : known) list.append(list.empty() ? "" : ", ").append(k);
  fail(key, "unknown key " + in_quotes(key.Scalar()) + " in " + what + " (known: " + list + ")");
}

// Visits the keys of a map in file order, refusing unknown and repeated keys.
template <typename Visit>
void for_each_key(const YAML::Node& map, std::initializer_list<std::string_view> known,
                  const std::string& what, Visit visit) {
  std::set<std::string> seen;
  for (auto it = map.begin(); it != map.end(); ++it) {
    // Copies: the iterator hands out a temporary pair.
    const YAML::Node key = it->first;
    const YAML::Node value = it->second;
    if (!key.IsScalar()) fail(key, "a key of " + what + " must be a name");
    const std::string& name = key.Scalar();
    if (std::find(known.begin(), known.end(), name) == known.end()) unknown_key(key, known, what);
    if (!seen.insert(name).second) fail(key, "duplicate key " + in_quotes(name) + " in " + what);
    if (value.IsNull()) fail(key, name + " has no value");
    visit(name, value);
  }
}

struct Defaults {
  std::chrono::milliseconds timeout = kDefaultStepTimeout;
  int retries = 0;
  std::chrono::milliseconds retry_delay = kDefaultRetryDelay;
  OnFail on_fail = OnFail::kStop;
};

// What the steps parsed so far have made known: the unit's variables the
// templates use, and the names earlier scan steps define.
struct Known {
  std::set<std::string> used;
  std::vector<std::string> scanned;
};

void check_template(const YAML::Node& node, const std::string& text, Known& known) {
  std::string error;
  auto names = template_variables(text, &error, known.scanned);
  if (!names) fail(node, error);
  for (const auto& name : *names)
    if (is_variable_name(name)) known.used.insert(name);
}

// A regular expression template, checked with every variable standing for
// a plain word.
void check_regex(const YAML::Node& node, const std::string& key, const std::string& text,
                 const Known& known) {
  Values sample;
  for (auto name : kVariableNames) sample.emplace(std::string(name), "x");
  for (const auto& name : known.scanned) sample.emplace(name, "x");
  try {
    std::regex check(fill_regex(text, sample), std::regex::ECMAScript);
  } catch (const std::regex_error& e) {
    fail(node, "bad " + key + " " + escaped_quotes(text) + ": " + e.what());
  }
}

bool good_id(const std::string& id) {
  return !id.empty() && id.size() <= kMaxActionLength && id.front() != '-' &&
         std::all_of(id.begin(), id.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

void check_id(const YAML::Node& node, const std::string& key, const std::string& id) {
  if (!good_id(id))
    fail(node, "bad " + key + " " + escaped_quotes(id) + " (lower-case letters, digits and \"-\", at most " +
                   std::to_string(kMaxActionLength) + " characters)");
}

void check_variable_name(const YAML::Node& node, const std::string& name, const Known& known) {
  const bool well_formed =
      !name.empty() && name.size() <= kMaxActionLength && !(name.front() >= '0' && name.front() <= '9') &&
      std::all_of(name.begin(), name.end(),
                  [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
  if (!well_formed)
    fail(node, "bad variable " + escaped_quotes(name) + " (lower-case letters, digits and \"_\", at most " +
                   std::to_string(kMaxActionLength) + " characters, not beginning with a digit)");
  if (is_variable_name(name)) fail(node, "variable {" + name + "} is the unit's own: scan into another name");
  if (std::find(known.scanned.begin(), known.scanned.end(), name) != known.scanned.end())
    fail(node, "variable {" + name + "} is already scanned by an earlier step");
}

// YAML single quotes keep a backslash as it is: 'OK\n' is "OK\\n", not a
// line end, which is almost never what a reply text means.
void warn_single_quoted(const YAML::Node& value, const std::string& key, std::string_view source,
                        const std::string& file, std::vector<std::string>& warnings) {
  const YAML::Mark mark = value.Mark();
  if (mark.is_null() || mark.pos < 0 || static_cast<std::size_t>(mark.pos) >= source.size()) return;
  if (source[static_cast<std::size_t>(mark.pos)] != '\'' || value.Scalar().find("\\n") == std::string::npos)
    return;
  std::string what = key == "expect" ? "a reply with a line end never matches it"
                                     : "the regular expression happens to read \\n as a line end";
  warnings.push_back(file + ":" + std::to_string(line_of(value)) + ": warning: " + key +
                     " is in single quotes, so its \\n is a backslash and an n, not a line end (" + what +
                     "); write it in double quotes");
}

double limit(const YAML::Node& node, const std::string& key) {
  auto bad = [&] {
    fail(node,
         "bad " + key + (node.IsScalar() ? " " + in_quotes(node.Scalar()) : std::string()) + " (a number)");
  };
  const std::optional<double> number = node.IsScalar() ? finite_number(node.Scalar()) : std::nullopt;
  if (!number) bad();
  return number.value_or(0.0);  // bad() does not return
}

bool good_measure_name(const std::string& name) {
  return !name.empty() && name.size() <= kMaxMeasureName && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
  });
}

Measure parse_measure(const YAML::Node& node) {
  if (!node.IsMap()) fail(node, "measure must be a map (name, regex, unit, low, high)");
  Measure measure;
  for_each_key(node, {"name", "regex", "unit", "low", "high"}, "measure",
               [&](const std::string& key, const YAML::Node& value) {
                 if (key == "name") {
                   measure.name = scalar(value, key);
                   if (!good_measure_name(measure.name))
                     fail(value, "bad measure name " + escaped_quotes(measure.name) +
                                     " (letters, digits, \"_\", \"-\" and \".\", at most " +
                                     std::to_string(kMaxMeasureName) + " characters)");
                 } else if (key == "regex") {
                   measure.regex = nonempty_text(value, key);
                   std::size_t groups = 0;
                   try {
                     groups = std::regex(measure.regex, std::regex::ECMAScript).mark_count();
                   } catch (const std::regex_error& e) {
                     fail(value, "bad measure regex " + escaped_quotes(measure.regex) + ": " + e.what());
                   }
                   if (groups != 1)
                     fail(value, "measure regex " + escaped_quotes(measure.regex) + " has " +
                                     std::to_string(groups) +
                                     " groups: it needs exactly one, around the number");
                 } else if (key == "unit") {
                   measure.unit = scalar(value, key);
                   if (measure.unit.size() > kMaxMeasureName ||
                       std::any_of(measure.unit.begin(), measure.unit.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
                     fail(value, "bad measure unit " + escaped_quotes(measure.unit) +
                                     " (no control characters, at most " + std::to_string(kMaxMeasureName) +
                                     " bytes)");
                 } else if (key == "low") {
                   measure.low = limit(value, key);
                 } else if (key == "high") {
                   measure.high = limit(value, key);
                 }
               });
  if (measure.name.empty()) fail(node, "measure needs a name");
  if (measure.regex.empty()) fail(node, "measure " + in_quotes(measure.name) + " needs a regex");
  if (measure.low && measure.high && *measure.low > *measure.high)
    fail(node["low"], "measure " + in_quotes(measure.name) + ": low is above high");
  return measure;
}

struct Source {
  std::string_view text;
  const std::string& file;
  std::vector<std::string>& warnings;
};

PlanStep parse_step(const YAML::Node& node, const Defaults& defaults, Known& known, const Source& source) {
  if (!node.IsMap()) fail(node, "a step must be a map of keys (name, send, expect, ...)");
  PlanStep step;
  step.line = line_of(node);
  step.timeout = defaults.timeout;
  step.retries = defaults.retries;
  step.retry_delay = defaults.retry_delay;
  step.on_fail = defaults.on_fail;
  // Lines of keys the checks after the loop point at (0: absent).
  int send_line = 0, expect_line = 0, measure_line = 0, action_line = 0, confirm_line = 0, reconnect_line = 0,
      within_line = 0, provisions_line = 0, judge_line = 0, scan_line = 0, pattern_line = 0,
      variable_line = 0;
  std::optional<YAML::Node> pattern_node, variable_node;
  for_each_key(node, {"name",    "send",      "handover",         "expect",
                      "match",   "timeout",   "retries",          "retry_delay",
                      "on_fail", "prompt",    "action",           "confirm",
                      "judge",   "scan",      "pattern",          "variable",
                      "fixture", "reconnect", "reconnect_within", "provisions",
                      "measure"},
               "a step", [&](const std::string& key, const YAML::Node& value) {
                 if (key == "name") {
                   step.name = nonempty_text(value, key);
                 } else if (key == "send") {
                   step.send = nonempty_text(value, key);
                   check_template(value, step.send, known);
                   send_line = line_of(value);
                 } else if (key == "handover") {
                   std::string name = scalar(value, key);
                   step.handover = pc::handover_file_from_name(name);
                   if (!step.handover) fail(value, "bad handover " + in_quotes(name) + " (devlic or cert)");
                 } else if (key == "expect" || key == "match") {
                   if (expect_line) fail(value, "a step has either expect or match, not both");
                   std::string text = scalar(value, key);
                   check_template(value, text, known);
                   if (key == "match") {
                     check_regex(value, "regex", text, known);
                     step.match = text;
                   } else {
                     step.expect = text;
                   }
                   warn_single_quoted(value, key, source.text, source.file, source.warnings);
                   expect_line = line_of(value);
                 } else if (key == "timeout") {
                   step.timeout = seconds(value, key, kMinStepTimeout, kMaxStepTimeout);
                 } else if (key == "retries") {
                   step.retries = count(value, key, kMaxRetries);
                 } else if (key == "retry_delay") {
                   step.retry_delay = seconds(value, key, std::chrono::milliseconds(0), kMaxRetryDelay);
                 } else if (key == "on_fail") {
                   step.on_fail = on_fail(value);
                 } else if (key == "prompt") {
                   step.prompt = nonempty_text(value, key);
                 } else if (key == "action") {
                   step.action = scalar(value, key);
                   check_id(value, "action", step.action);
                   action_line = line_of(value);
                 } else if (key == "confirm") {
                   step.confirm = flag(value, key);
                   confirm_line = line_of(value);
                 } else if (key == "judge") {
                   step.judge = nonempty_text(value, key);
                   judge_line = line_of(value);
                 } else if (key == "scan") {
                   step.scan = nonempty_text(value, key);
                   scan_line = line_of(value);
                 } else if (key == "pattern") {
                   step.pattern = nonempty_text(value, key);
                   pattern_node = value;
                   pattern_line = line_of(value);
                 } else if (key == "variable") {
                   step.variable = nonempty_text(value, key);
                   variable_node = value;
                   variable_line = line_of(value);
                 } else if (key == "fixture") {
                   step.fixture = scalar(value, key);
                   check_id(value, "fixture", step.fixture);
                 } else if (key == "reconnect") {
                   step.reconnect = flag(value, key);
                   reconnect_line = line_of(value);
                 } else if (key == "reconnect_within") {
                   step.reconnect_within =
                       seconds(value, key, std::chrono::milliseconds(1000), kMaxStepTimeout);
                   within_line = line_of(value);
                 } else if (key == "provisions") {
                   step.provisions = flag(value, key);
                   provisions_line = line_of(value);
                 } else if (key == "measure") {
                   step.measure = parse_measure(value);
                   measure_line = line_of(value);
                 }
               });
  const std::string named = "step " + in_quotes(step.name);
  if (step.name.empty()) fail(node, "a step needs a name");
  if (judge_line && scan_line) fail_at(scan_line, named + " has both judge and scan: one question a step");
  const bool asks = judge_line || scan_line;
  if (step.send.empty() && !step.handover && !asks)
    fail(node, named + " has none of send, handover, judge and scan");
  if (!step.send.empty() && step.handover) fail_at(send_line, named + " has both send and handover");
  if (!step.send.empty() && !expect_line && !measure_line)
    fail(node, named + " has no expect, match or measure for its reply");
  if (measure_line && (step.send.empty() || step.reconnect))
    fail_at(measure_line,
            "only a send step (no reconnect) can measure: " + named + " has no reply to measure");
  if (step.send.empty() && !step.handover && expect_line)
    fail_at(expect_line, "expect and match check the reply to send: " + named + " sends nothing");
  if (step.handover && expect_line)
    fail_at(expect_line, "a handover step checks its replies itself: no expect or match");
  if (step.handover && asks)
    fail_at(judge_line ? judge_line : scan_line,
            "a handover step cannot ask the operator: judge or scan in a step of its own");
  if (scan_line && !step.send.empty())
    fail_at(send_line, "a scan step only asks the operator: send the command in a step of its own");
  if (scan_line && !pattern_line)
    fail_at(scan_line, named + " scans: it needs a pattern the value must match");
  if (scan_line && !variable_line)
    fail_at(scan_line, named + " scans: it needs the variable the value goes into");
  if (!scan_line && (pattern_line || variable_line))
    fail_at(pattern_line ? pattern_line : variable_line, "pattern and variable belong to a scan step");
  if (confirm_line && step.confirm && asks)
    fail_at(confirm_line, "a judge or scan step asks the operator already: no confirm");
  if ((action_line || step.confirm) && step.prompt.empty() && !asks)
    fail_at(action_line ? action_line : confirm_line,
            "an action or confirm needs a prompt (or a judge or scan question) for the operator");
  if ((step.handover || asks) && step.reconnect) {
    if (step.handover || step.send.empty()) fail_at(reconnect_line, "only a send step can reconnect");
    fail_at(reconnect_line, "a rebooting step cannot be judged: judge in a step of its own");
  }
  if (within_line && !step.reconnect) fail_at(within_line, "reconnect_within without reconnect");
  if (step.provisions && (step.handover || step.reconnect || step.send.empty()))
    fail_at(provisions_line, "only a read-back step (send, no reconnect) can mark the identity provisioned");
  if (scan_line) {
    check_template(*pattern_node, step.pattern, known);
    check_regex(*pattern_node, "pattern", step.pattern, known);
    check_variable_name(*variable_node, step.variable, known);
    known.scanned.push_back(step.variable);
  }
  return step;
}

Plan parse_document(const YAML::Node& root, const std::string& file, std::string_view text) {
  if (root.IsNull()) throw PlanError{1, "the plan is empty"};
  if (!root.IsMap()) fail(root, "a plan must be a map with name, description, defaults and steps");
  Plan plan;
  plan.file = file;
  Defaults defaults;
  std::optional<YAML::Node> steps;
  for_each_key(root, {"name", "description", "max_attempts", "defaults", "steps"}, "the plan",
               [&](const std::string& key, const YAML::Node& value) {
                 if (key == "name") {
                   plan.name = nonempty_text(value, key);
                 } else if (key == "description") {
                   plan.description = scalar(value, key);
                 } else if (key == "max_attempts") {
                   plan.max_attempts = count(value, key, kMaxAttemptLimit);
                   if (*plan.max_attempts == 0)
                     fail(value, "bad max_attempts \"0\" (a whole number from 1 to " +
                                     std::to_string(kMaxAttemptLimit) + ")");
                 } else if (key == "defaults") {
                   if (!value.IsMap())
                     fail(value, "defaults must be a map (timeout, retries, retry_delay, on_fail)");
                   for_each_key(value, {"timeout", "retries", "retry_delay", "on_fail"}, "defaults",
                                [&](const std::string& k, const YAML::Node& v) {
                                  if (k == "timeout")
                                    defaults.timeout = seconds(v, k, kMinStepTimeout, kMaxStepTimeout);
                                  if (k == "retries") defaults.retries = count(v, k, kMaxRetries);
                                  if (k == "retry_delay")
                                    defaults.retry_delay =
                                        seconds(v, k, std::chrono::milliseconds(0), kMaxRetryDelay);
                                  if (k == "on_fail") defaults.on_fail = on_fail(v);
                                });
                 } else if (key == "steps") {
                   if (!value.IsSequence() || value.size() == 0)
                     fail(value, "steps must be a list of at least one step");
                   steps.emplace(value);
                 }
               });
  if (plan.name.empty()) fail(root, "the plan needs a name");
  if (!steps) fail(root, "the plan has no steps");
  Known known;
  std::set<std::string> names;
  const Source source{text, file, plan.warnings};
  for (const auto& node : *steps) {
    PlanStep step = parse_step(node, defaults, known, source);
    if (!names.insert(step.name).second) fail(node["name"], "duplicate step name " + in_quotes(step.name));
    plan.steps.push_back(std::move(step));
  }
  plan.variables.assign(known.used.begin(), known.used.end());
  return plan;
}

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

}  // namespace

MeasureResult take_measure(const Measure& measure, const std::string& reply) {
  MeasureResult result;
  std::smatch found;
  bool matched = false;
  try {
    matched = std::regex_search(reply, found, std::regex(measure.regex, std::regex::ECMAScript));
  } catch (const std::regex_error& e) {
    result.problem = "bad measure regex " + escaped_quotes(measure.regex) + ": " + e.what();
    return result;
  }
  const std::string got = reply.empty() ? "an empty reply" : escaped_quotes(reply);
  if (!matched || found.size() < 2 || !found[1].matched) {
    result.problem =
        "measure " + measure.name + ": no value in " + got + " (regex " + escaped_quotes(measure.regex) + ")";
    return result;
  }
  const std::string text = found[1].str();
  // Decimal only: strtod would also take hexadecimal, "inf" and blanks.
  const bool decimal = text.find_first_not_of("0123456789+-.eE") == std::string::npos;
  const std::optional<double> number = decimal ? finite_number(text) : std::nullopt;
  if (!number) {
    result.problem =
        "measure " + measure.name + ": " + escaped_quotes(text) + " in " + got + " is not a number";
    return result;
  }
  const double value = *number;
  result.value = value;
  result.passed = (!measure.low || value >= *measure.low) && (!measure.high || value <= *measure.high);
  if (!result.passed)
    result.problem = "measure " + measure.name + ": " + measure_text(measure, value) + " is " +
                     (measure.low && value < *measure.low ? "below" : "above") + " its limit";
  return result;
}

std::string measure_text(const Measure& measure, double value) {
  std::string text = number_text(value) + (measure.unit.empty() ? "" : " " + measure.unit);
  if (measure.low && measure.high)
    text += " (limits " + number_text(*measure.low) + " .. " + number_text(*measure.high) + ")";
  else if (measure.low)
    text += " (at least " + number_text(*measure.low) + ")";
  else if (measure.high)
    text += " (at most " + number_text(*measure.high) + ")";
  return text;
}

bool Plan::provisions() const {
  return std::any_of(steps.begin(), steps.end(), [](const PlanStep& s) { return s.provisions; });
}

const char* on_fail_name(OnFail on_fail) { return on_fail == OnFail::kStop ? "stop" : "continue"; }

std::string PlanStep::describe() const {
  if (handover) return "handover " + std::string(pc::handover_target(*handover).name);
  return send;
}

const char* PlanStep::kind() const {
  if (handover) return "handover";
  if (!scan.empty()) return "scan";
  if (!judge.empty()) return "judge";
  return "send";
}

std::optional<Plan> parse_plan(std::string_view text, const std::string& file, std::string* error) {
  try {
    YAML::Node root = YAML::Load(std::string(text));
    Plan plan = parse_document(root, file, text);
    plan.md5 = pc::md5_hex(text);
    return plan;
  } catch (const PlanError& e) {
    if (error) *error = file + ":" + std::to_string(e.line) + ": " + e.reason;
  } catch (const YAML::Exception& e) {
    // yaml-cpp's own syntax errors carry the place they were found.
    int line = e.mark.is_null() ? 1 : e.mark.line + 1;
    if (error) *error = file + ":" + std::to_string(line) + ": " + e.msg;
  }
  return std::nullopt;
}

std::optional<Plan> load_plan(const std::string& path, std::string* error) {
  const std::optional<std::string> text = pc::read_text_file(path, "plan", error);
  if (!text) return std::nullopt;
  return parse_plan(*text, path, error);
}

std::string default_plan_path() {
  std::string installed = std::string(kInstalledPlanDir) + "/" + kDefaultPlanFile;
  std::error_code ec;
  if (std::filesystem::exists(installed, ec)) return installed;
  return std::string(FTMSTATION_PLAN_DIR) + "/" + kDefaultPlanFile;
}

}  // namespace ftmd::station
