#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pc/handover.h"

namespace ftmd::station {

// A test plan: the steps the station runs on every unit, read from a YAML
// file (format in station/README.md). Parsing checks everything that can be
// checked without a device: keys, values, regular expressions and variable
// names, so that a plan that loads runs to its end unless the device says
// otherwise.

enum class OnFail { kStop, kContinue };
const char* on_fail_name(OnFail on_fail);

// Limits of the plan's numbers, in one place.
inline constexpr std::chrono::milliseconds kMinStepTimeout{100};
inline constexpr std::chrono::milliseconds kMaxStepTimeout{3'600'000};
inline constexpr int kMaxRetries = 100;
inline constexpr std::chrono::milliseconds kMaxRetryDelay{600'000};
inline constexpr std::size_t kMaxActionLength = 32;  // also the longest fixture name
inline constexpr int kMaxAttemptLimit = 100;
inline constexpr std::size_t kMaxMeasureName = 64;  // also the longest unit

// Defaults of a plan's steps when the plan's `defaults` do not say.
inline constexpr std::chrono::milliseconds kDefaultStepTimeout{10'000};
inline constexpr std::chrono::milliseconds kDefaultRetryDelay{1'000};
inline constexpr std::chrono::milliseconds kDefaultReconnectWithin{60'000};

// A number a step takes out of its reply and judges against limits: the
// first group of `regex` (searched in the reply) read as a decimal number.
// Either limit may be absent (a one-sided limit); the value passes when
// low <= value <= high.
struct Measure {
  std::string name;
  std::string regex;  // ECMAScript, exactly one capture group
  std::string unit;   // "V", "mA", "" for a bare count
  std::optional<double> low;
  std::optional<double> high;
};

// What a reply gives for a measure: the value (when one was read), whether
// it is within the limits, and why not in `problem` ("" when it passed).
struct MeasureResult {
  std::optional<double> value;
  bool passed = false;
  std::string problem;
};
MeasureResult take_measure(const Measure& measure, const std::string& reply);
// "1.23 V (limits 0.5 .. 3)", "50 raw (at least 20)": a value and its limits for people.
std::string measure_text(const Measure& measure, double value);

struct PlanStep {
  int line = 0;  // where the step begins in the plan file
  std::string name;
  // At most one of `send` (a command text template) and `handover`; a step
  // without either asks the operator only (`judge` or `scan`).
  std::string send;
  std::optional<pc::HandoverFile> handover;
  // For `send`: exactly one of `expect` (the whole reply, exactly) and
  // `match` (an ECMAScript regular expression for the whole reply), or
  // neither when the step has a `measure`. Both are templates; the values
  // of variables are matched literally.
  std::optional<std::string> expect;
  std::optional<std::string> match;
  std::chrono::milliseconds timeout = kDefaultStepTimeout;
  int retries = 0;  // further attempts after a failed one
  std::chrono::milliseconds retry_delay = kDefaultRetryDelay;
  OnFail on_fail = OnFail::kStop;
  std::string prompt;    // operator text shown before the step ("" none)
  std::string action;    // short id of the operator action ("" none)
  bool confirm = false;  // wait for the operator before sending
  // A question whose answer decides the step, asked once the reply passed
  // (or at once without `send`): "Is the LED red?", pass or fail.
  std::string judge;
  // A question whose answer is a text (a barcode scanner types it): it must
  // match `pattern` (a regular expression template) whole, and becomes the
  // variable `variable` for the later steps.
  std::string scan;
  std::string pattern;
  std::string variable;
  // A shared fixture the step uses (the trigger plug, the USB stick jig):
  // one slot at a time holds it, across consecutive steps naming it.
  std::string fixture;
  bool reconnect = false;  // the device reboots after the reply
  std::chrono::milliseconds reconnect_within = kDefaultReconnectWithin;
  // An identity read-back: when every such step of the plan passed, the line
  // database marks the unit's identity provisioned.
  bool provisions = false;
  // A number taken out of the reply (send steps only).
  std::optional<Measure> measure;

  // What the station sends, for views and records: the command template,
  // "handover devlic", or "" for a question alone.
  std::string describe() const;
  // "send", "handover", "judge" or "scan".
  const char* kind() const;
};

struct Plan {
  std::string file;  // as given (for messages and records)
  std::string md5;   // of the plan's text, so a record names the exact plan run
  std::string name;
  std::string description;
  std::vector<PlanStep> steps;
  // The unit's variables the plan's templates use, sorted, each once
  // (the values its scan steps make are not among them).
  std::vector<std::string> variables;
  // What is legal but most likely not meant, each "FILE:LINE: warning: ...".
  std::vector<std::string> warnings;
  // With the line database: how many failed runs of this plan a unit may
  // have before it is sent to repair (`max_attempts`; none: the station's).
  std::optional<int> max_attempts;

  // Whether the plan has identity read-back steps (`provisions: true`).
  bool provisions() const;
};

// Parses a plan. On failure returns nothing and sets `error` to
// "FILE:LINE: reason" (the line of the offending key or value).
std::optional<Plan> parse_plan(std::string_view text, const std::string& file, std::string* error);
// Reads and parses a plan file; an unreadable file gives "FILE: reason".
std::optional<Plan> load_plan(const std::string& path, std::string* error);

// The plan used when none is named: default.yaml in the installed plan
// directory if there is one, else in the source tree.
std::string default_plan_path();

}  // namespace ftmd::station
