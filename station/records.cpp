#include "records.h"

#include <cstdio>
#include <ctime>

#include "pc/text.h"

namespace ftmd::station {
namespace {

using Json = nlohmann::ordered_json;

// The reply (or any device text) for JSON: exact when it is UTF-8, else
// escaped with the bytes alongside.
void put_text(Json& object, const std::string& key, const std::string& text) {
  if (valid_utf8(text)) {
    object[key] = text;
  } else {
    object[key] = pc::escape_reply(text);
    object[key + "_hex"] = pc::hex_bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }
}

Json exchange_json(const ExchangeRecord& ex) {
  Json j;
  put_text(j, "request", ex.request);
  j["at"] = ex.at;
  j["outcome"] = pc::outcome_name(ex.outcome);
  if (ex.outcome == pc::LinkOutcome::kReply) {
    put_text(j, "reply", ex.reply);
  } else {
    j["reply"] = nullptr;
    j["error"] = ex.error;
  }
  j["elapsed_ms"] = ex.elapsed_ms;
  return j;
}

Json attempt_json(const AttemptRecord& a) {
  Json j;
  j["attempt"] = a.attempt;
  j["started_at"] = a.started_at;
  j["elapsed_ms"] = a.elapsed_ms;
  j["verdict"] = a.passed ? "passed" : "failed";
  if (!a.passed) j["message"] = a.message;
  j["exchanges"] = Json::array();
  for (const auto& ex : a.exchanges) j["exchanges"].push_back(exchange_json(ex));
  if (a.handover) {
    Json h;
    h["file"] = a.handover->file;
    h["url"] = a.handover->url;
    h["bytes"] = a.handover->bytes;
    h["md5"] = a.handover->md5;
    h["device_md5"] = a.handover->device_md5;
    put_text(h, "hardware_id", a.handover->hardware_id);
    j["handover"] = h;
  }
  return j;
}

std::string seconds_text(std::int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
  return text;
}

// Length of the valid UTF-8 sequence at `s[i]`, or 0.
std::size_t utf8_length(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  std::size_t n = 0;
  std::uint32_t min = 0;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  std::uint32_t code = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

std::string safe_file_part(std::string_view text) {
  std::string out;
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-';
    out += ok ? c : '_';
  }
  if (out.empty() || out.front() == '.') out.insert(out.begin(), 'u');
  return out;
}

// What a failed step's report says beyond its message: each attempt's
// request and reply, escaped onto one line each.
std::string failure_details(const StepRecord& step) {
  std::string text;
  if (step.expect) text += "expected: \"" + pc::escape_reply(*step.expect) + "\"\n";
  if (step.match) text += "expected to match: \"" + pc::escape_reply(*step.match) + "\"\n";
  for (const auto& a : step.attempts) {
    text += "attempt " + std::to_string(a.attempt) + " at " + a.started_at + ": " + a.message + "\n";
    for (const auto& ex : a.exchanges) {
      text += "  sent \"" + pc::escape_reply(ex.request) + "\", ";
      text += ex.outcome == pc::LinkOutcome::kReply
                  ? "got \"" + pc::escape_reply(ex.reply) + "\""
                  : std::string(pc::outcome_name(ex.outcome)) + ": " + ex.error;
      text += "\n";
    }
  }
  return text;
}

}  // namespace

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPassed:
      return "passed";
    case Verdict::kFailed:
      return "failed";
    case Verdict::kSkipped:
      return "skipped";
    case Verdict::kAborted:
      return "aborted";
  }
  return "skipped";
}

std::string iso_time(std::chrono::system_clock::time_point when) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return text;
}

std::string file_time(std::chrono::system_clock::time_point when) {
  std::time_t secs = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
  return text;
}

nlohmann::ordered_json unit_json(const UnitRecord& r) {
  Json j;
  j["station"] = r.station;
  j["slot"] = r.slot;
  j["plan"] = {{"name", r.plan_name}, {"file", r.plan_file}, {"md5", r.plan_md5}};
  j["port"] = r.port;
  j["unit"] = {{"index", r.index},  {"origin", r.unit.origin},     {"sn", r.unit.sn},
               {"csn", r.unit.csn}, {"lan4_mac", r.unit.lan4_mac}, {"lan3_mac", r.unit.lan3_mac}};
  if (!r.unit.properties.empty()) {
    Json properties = Json::object();
    for (const auto& [name, value] : r.unit.properties) put_text(properties, name, value);
    j["unit"]["properties"] = properties;
  }
  if (r.line)
    j["line"] = {{"hwid", r.line->hwid},
                 {"run_id", r.line->run_id},
                 {"operator", r.line->operator_name},
                 {"identity_new", r.line->identity_new},
                 {"provisioned", r.line->provisioned}};
  j["started_at"] = r.started_at;
  j["ended_at"] = r.ended_at;
  j["elapsed_ms"] = r.elapsed_ms;
  j["verdict"] = verdict_name(r.verdict);
  j["transport_failed"] = r.transport_failed;
  j["message"] = r.message;
  j["steps"] = Json::array();
  for (const auto& s : r.steps) {
    Json step;
    step["name"] = s.name;
    step["kind"] = s.kind;
    put_text(step, "command", s.command);
    if (s.expect) put_text(step, "expect", *s.expect);
    if (s.match) put_text(step, "match", *s.match);
    step["verdict"] = verdict_name(s.verdict);
    step["message"] = s.message;
    if (s.transport_failed) step["transport_failed"] = true;
    step["elapsed_ms"] = s.elapsed_ms;
    if (!s.fixture.empty()) step["fixture"] = {{"name", s.fixture}, {"waited_ms", s.fixture_wait_ms}};
    if (s.answer) {
      Json answer;
      answer["kind"] = s.answer->kind;
      put_text(answer, "question", s.answer->question);
      put_text(answer, "value", s.answer->value);
      put_text(answer, "who", s.answer->who);
      answer["channel"] = s.answer->channel;
      answer["asked_at"] = s.answer->asked_at;
      answer["answered_at"] = s.answer->answered_at;
      answer["took_ms"] = s.answer->took_ms;
      step["answer"] = answer;
    }
    if (s.measurement) {
      const MeasurementRecord& m = *s.measurement;
      Json measurement{{"name", m.name}, {"value", m.value}, {"unit", m.unit}};
      if (m.low) measurement["low"] = *m.low;
      if (m.high) measurement["high"] = *m.high;
      measurement["passed"] = m.passed;
      step["measurement"] = measurement;
    }
    step["attempts"] = Json::array();
    for (const auto& a : s.attempts) step["attempts"].push_back(attempt_json(a));
    j["steps"].push_back(step);
  }
  return j;
}

std::string junit_xml(const std::vector<UnitRecord>& units, const std::string& run_name) {
  int tests = 0, failures = 0, skipped = 0;
  std::int64_t total_ms = 0;
  for (const auto& u : units) {
    tests += static_cast<int>(u.steps.size());
    total_ms += u.elapsed_ms;
    for (const auto& s : u.steps) {
      failures += s.verdict == Verdict::kFailed;
      skipped += s.verdict == Verdict::kSkipped || s.verdict == Verdict::kAborted;
    }
  }
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml += "<testsuites name=\"" + xml_escape(run_name) + "\" tests=\"" + std::to_string(tests) +
         "\" failures=\"" + std::to_string(failures) + "\" errors=\"0\" skipped=\"" +
         std::to_string(skipped) + "\" time=\"" + seconds_text(total_ms) + "\">\n";
  for (const auto& u : units) {
    int f = 0, sk = 0;
    for (const auto& s : u.steps) {
      f += s.verdict == Verdict::kFailed;
      sk += s.verdict == Verdict::kSkipped || s.verdict == Verdict::kAborted;
    }
    std::string suite = u.unit.sn.empty() ? "unit " + std::to_string(u.index) : u.unit.sn;
    xml += "  <testsuite name=\"" + xml_escape(suite) + "\" id=\"" + std::to_string(u.index) +
           "\" package=\"" + xml_escape(u.plan_name) + "\" hostname=\"" + xml_escape(u.station) +
           "\" timestamp=\"" + xml_escape(u.started_at) + "\" tests=\"" + std::to_string(u.steps.size()) +
           "\" failures=\"" + std::to_string(f) + "\" errors=\"0\" skipped=\"" + std::to_string(sk) +
           "\" time=\"" + seconds_text(u.elapsed_ms) + "\">\n";
    xml += "    <properties>\n";
    auto property_named = [&](const std::string& name, const std::string& value) {
      xml += "      <property name=\"" + xml_escape(name) + "\" value=\"" + xml_escape(value) + "\"/>\n";
    };
    auto property = [&](const char* name, const std::string& value) { property_named(name, value); };
    property("verdict", verdict_name(u.verdict));
    property("slot", u.slot);
    property("sn", u.unit.sn);
    property("csn", u.unit.csn);
    property("lan4_mac", u.unit.lan4_mac);
    property("lan3_mac", u.unit.lan3_mac);
    property("port", u.port);
    property("plan_file", u.plan_file);
    property("plan_md5", u.plan_md5);
    for (const auto& [name, value] : u.unit.properties) property_named("unit." + name, value);
    xml += "    </properties>\n";
    for (const auto& s : u.steps) {
      xml += "    <testcase name=\"" + xml_escape(s.name) + "\" classname=\"" +
             xml_escape(u.plan_name + "." + suite) + "\" time=\"" + seconds_text(s.elapsed_ms) + "\"";
      if (s.verdict == Verdict::kPassed) {
        xml += "/>\n";
      } else if (s.verdict == Verdict::kSkipped || s.verdict == Verdict::kAborted) {
        xml += ">\n      <skipped message=\"" + xml_escape(s.message) + "\"/>\n    </testcase>\n";
      } else {
        xml += ">\n      <failure message=\"" + xml_escape(s.message) + "\" type=\"" +
               (s.transport_failed ? "transport" : "reply") + "\">" + xml_escape(failure_details(s)) +
               "</failure>\n    </testcase>\n";
      }
    }
    xml += "  </testsuite>\n";
  }
  xml += "</testsuites>\n";
  return xml;
}

bool valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = utf8_length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string xml_escape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t n = utf8_length(text, i);
    // U+FFFE and U+FFFF are UTF-8 but not characters XML allows.
    if (n == 3 && c == 0xEF && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        static_cast<unsigned char>(text[i + 2]) >= 0xBE)
      n = 0;
    if (n == 0 || c < 0x20 || c == 0x7F) {
      switch (c) {
        case '\n':
          out += "&#10;";
          break;
        case '\r':
          out += "&#13;";
          break;
        case '\t':
          out += "&#9;";
          break;
        default:
          pc::append_byte_escape(out, c);
      }
      ++i;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string record_file_name(const UnitRecord& record, const std::string& run_time) {
  std::string sn = record.unit.sn.empty() ? "unit" : safe_file_part(record.unit.sn);
  return sn + "-" + run_time + "-" + std::to_string(record.index) + ".json";
}

}  // namespace ftmd::station
