#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "pc/link.h"
#include "units.h"

namespace ftmd::station {

// What happened to one unit, as the records keep it: every request and
// reply of every attempt of every step. Times are UTC, ISO 8601 with
// milliseconds ("2026-12-05T18:32:28.123Z").

// Of a step, and of a unit (passed, failed or aborted). Aborted: the
// station was stopped while it ran; it is neither passed nor failed.
enum class Verdict { kPassed, kFailed, kSkipped, kAborted };
const char* verdict_name(Verdict verdict);  // "passed", "failed", "skipped", "aborted"

struct ExchangeRecord {
  std::string request;  // the command text sent
  std::string at;       // when it was sent
  pc::LinkOutcome outcome = pc::LinkOutcome::kTransport;
  std::string reply;  // exact reply text (on kReply)
  std::string error;  // what the link said (otherwise)
  std::int64_t elapsed_ms = 0;
};

// The download and digest check of one activation file.
struct HandoverRecord {
  std::string file;  // "device.lic"
  std::string url;
  std::size_t bytes = 0;
  std::string md5;          // of the downloaded bytes
  std::string device_md5;   // as the device reported it
  std::string hardware_id;  // as reported, its line end removed
};

struct AttemptRecord {
  int attempt = 1;  // 1-based
  std::string started_at;
  std::int64_t elapsed_ms = 0;
  bool passed = false;
  std::string message;  // why it failed ("" when it passed)
  std::vector<ExchangeRecord> exchanges;
  std::optional<HandoverRecord> handover;
};

// The operator's answer to a step's question.
struct AnswerRecord {
  std::string kind;      // "confirm", "judge" or "scan"
  std::string question;  // as asked
  std::string value;     // "yes"/"no", "pass"/"fail", or the scanned text
  std::string who;       // the operator's name or badge
  std::string channel;   // "terminal", "hook", "web", or "yes-option" (--yes)
  std::string asked_at;
  std::string answered_at;
  std::int64_t took_ms = 0;  // from the question to the answer
};

// A number the step took out of its last reply, with its limits (absent:
// none on that side) and the judgement against them.
struct MeasurementRecord {
  std::string name;
  double value = 0;
  std::string unit;
  std::optional<double> low;
  std::optional<double> high;
  bool passed = false;
};

struct StepRecord {
  std::string name;
  std::string kind;                   // "send", "handover", "judge" or "scan"
  std::string command;                // the command sent (variables filled), or "handover devlic"
  std::optional<std::string> expect;  // filled in
  std::optional<std::string> match;   // filled in (values escaped)
  Verdict verdict = Verdict::kSkipped;
  std::string message;            // the last attempt's failure, or why it was skipped
  bool transport_failed = false;  // failed because the port failed
  std::int64_t elapsed_ms = 0;    // all attempts and waits together
  std::vector<AttemptRecord> attempts;
  std::optional<AnswerRecord> answer;  // the operator's, when the step asked
  std::optional<MeasurementRecord> measurement;
  std::string fixture;               // the shared fixture it used ("" none)
  std::int64_t fixture_wait_ms = 0;  // how long it waited for the fixture
};

// With the line database: the unit as the line knows it, and this run's key.
struct LineRun {
  std::string hwid;           // as "at+ftm,hwid=?" reported it, without its line end
  std::string run_id;         // the database keeps one copy per run id
  std::string operator_name;  // who ran the station
  bool identity_new = false;  // the line took the identity from its pools for this run
  bool provisioned = false;   // every identity read-back step of the plan passed
};

struct UnitRecord {
  std::string station;
  std::string slot;  // the slot that tested it
  std::string plan_name;
  std::string plan_file;
  std::string plan_md5;
  std::string port;
  int index = 1;  // 1-based in the run
  Unit unit;
  std::string started_at;
  std::string ended_at;
  std::int64_t elapsed_ms = 0;
  Verdict verdict = Verdict::kFailed;  // passed, failed or aborted
  bool transport_failed = false;       // the port failed; the unit stopped there
  std::string message;                 // the first failed step's message, or why it was aborted
  std::vector<StepRecord> steps;
  std::optional<LineRun> line;  // only with the line database

  bool passed() const { return verdict == Verdict::kPassed; }
};

std::string iso_time(std::chrono::system_clock::time_point when);
// "20261205T183228Z", for file names.
std::string file_time(std::chrono::system_clock::time_point when);

// The unit's JSON record, its keys in the order written; "line" {hwid,
// run_id, operator, identity_new, provisioned} only with the line database.
// A reply that is not valid UTF-8 is kept exactly in "reply_hex" next to its
// escaped text.
nlohmann::ordered_json unit_json(const UnitRecord& record);

// A JUnit XML report: one testsuite per unit (named after its serial
// number, its verdict among its properties), one testcase per step,
// <failure message="..."> with what was expected and what came, <skipped/>
// for steps not run and for those an abort cut short (message "aborted: ...").
std::string junit_xml(const std::vector<UnitRecord>& units, const std::string& run_name);

// Text for XML attributes and element content: markup characters as
// entities, line ends as character references, every other control
// character and every byte that is not part of valid UTF-8 as "\xNN".
std::string xml_escape(std::string_view text);
bool valid_utf8(std::string_view text);

// The file name of a unit's record: "<sn>-<time>-<index>.json" with every
// byte of the serial number outside [A-Za-z0-9._-] as "_".
std::string record_file_name(const UnitRecord& record, const std::string& run_time);

}  // namespace ftmd::station
