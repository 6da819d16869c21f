// The unit records: JSON keeps exact replies, JUnit XML stays well-formed
// whatever the device sent.
#include <gtest/gtest.h>

#include "records.h"

namespace ftmd::station {
namespace {

StepRecord step(std::string name, std::string command, Verdict verdict, std::string expect,
                std::string message, std::optional<std::string> reply) {
  StepRecord s;
  s.name = std::move(name);
  s.command = std::move(command);
  s.expect = std::move(expect);
  s.verdict = verdict;
  s.message = std::move(message);
  if (reply) {
    AttemptRecord a;
    a.passed = verdict == Verdict::kPassed;
    a.message = s.message;
    a.started_at = "t0";
    a.exchanges.push_back({s.command, "t0", pc::LinkOutcome::kReply, *reply, "", 40});
    s.attempts.push_back(a);
  }
  return s;
}

UnitRecord sample_record() {
  UnitRecord r;
  r.station = "line-3";
  r.plan_name = "default";
  r.plan_md5 = "0123456789abcdef0123456789abcdef";
  r.index = 2;
  r.unit = {"u.csv:3", "SN/0001", "C1", "001B2C3D4E5F", "001B2C3D4E60"};
  r.started_at = "2026-12-05T18:00:00.000Z";
  r.elapsed_ms = 1500;
  r.steps = {
      step("version", "at+ftm,ftmver=?", Verdict::kPassed, "OK,ftmver=V1.0\n", "", "OK,ftmver=V1.0\n"),
      step("mac <&\"'>", "at+ftm,ethmac=001B2C3D4E5F,001B2C3D4E60", Verdict::kFailed, "OK\n",
           "expected \"OK\\n\", got \"Mac1\\x01 burned\\xff failed\\n\"",
           std::string("Mac1\x01 burned\xff failed\n")),
      step("key", "at+ftm,keytest=1", Verdict::kSkipped, "OK\n", "not run: an earlier step failed", {})};
  return r;
}

TEST(Records, JsonKeepsEveryExchangeAndExactReplies) {
  auto back = nlohmann::json::parse(unit_json(sample_record()).dump());  // what a reader of the file gets
  EXPECT_EQ(back["plan"]["md5"], "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(back["unit"]["sn"], "SN/0001");
  EXPECT_EQ(back["unit"]["index"], 2);
  EXPECT_EQ(back["verdict"], "failed");
  ASSERT_EQ(back["steps"].size(), 3u);
  EXPECT_EQ(back["steps"][0]["attempts"][0]["exchanges"][0]["reply"], "OK,ftmver=V1.0\n");
  EXPECT_EQ(back["steps"][0]["expect"], "OK,ftmver=V1.0\n");
  // A reply that is not UTF-8: escaped text, and the exact bytes in hex.
  auto ex = back["steps"][1]["attempts"][0]["exchanges"][0];
  EXPECT_EQ(ex["reply"], "Mac1\\x01 burned\\xff failed\\n");
  EXPECT_EQ(ex["reply_hex"], "4d61633101206275726e6564ff206661696c65640a");
  EXPECT_EQ(back["steps"][2]["verdict"], "skipped");
  EXPECT_TRUE(back["steps"][2]["attempts"].empty());
}

// An aborted unit is neither passed nor failed, in JSON and in JUnit; the
// operator's answer and the unit file's own columns go into the record.
TEST(Records, AbortedUnitsAnswersAndUnitProperties) {
  UnitRecord r = sample_record();
  r.verdict = Verdict::kAborted;
  r.steps[1].verdict = Verdict::kAborted;
  r.steps[1].message = "aborted: the station was stopped";
  r.steps[0].answer = AnswerRecord{"judge", "Is the LED red?", "pass", "ann", "web", "t1", "t2", 2300};
  r.unit.properties = {{"Order No", "PO-7"}};
  auto back = nlohmann::json::parse(unit_json(r).dump());
  EXPECT_EQ(back["verdict"], "aborted");
  EXPECT_EQ(back["steps"][1]["verdict"], "aborted");
  EXPECT_EQ(back["steps"][0]["answer"]["who"], "ann");
  EXPECT_EQ(back["steps"][0]["answer"]["took_ms"], 2300);
  EXPECT_EQ(back["unit"]["properties"]["Order No"], "PO-7");
  const std::string xml = junit_xml({r}, "run");
  for (const char* part :
       {"failures=\"0\" errors=\"0\" skipped=\"2\"", "<property name=\"verdict\" value=\"aborted\"/>",
        "<skipped message=\"aborted: the station was stopped\"/>",
        "<property name=\"unit.Order No\" value=\"PO-7\"/>"})
    EXPECT_NE(xml.find(part), std::string::npos) << part << "\nin:\n" << xml;
}

TEST(Records, XmlEscapeLeavesNoMarkupOrControlCharacter) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&apos;"},
      {"OK\n\r\t", "OK&#10;&#13;&#9;"},
      {std::string("a\0b\x1b\x7f", 5), "a\\x00b\\x1b\\x7f"},
      {"\xff\xfe", "\\xff\\xfe"},
      {"\xe4\xb8\xad", "\xe4\xb8\xad"},     // valid UTF-8 stays
      {"\xe4\xb8", "\\xe4\\xb8"},           // cut sequence
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // a surrogate is not UTF-8
      {"\xc0\xaf", "\\xc0\\xaf"},           // overlong
      {"\xef\xbf\xbe\xef\xbf\xbf\xef\xbf\xbd",
       "\\xef\\xbf\\xbe\\xef\\xbf\\xbf\xef\xbf\xbd"},  // U+FFFE, U+FFFF
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(xml_escape(in), out) << in;
}

TEST(Records, JunitHasASuitePerUnitAndACasePerStep) {
  UnitRecord second = sample_record();
  second.index = 3;
  second.unit.sn = "SN0002";
  second.steps.resize(1);
  second.elapsed_ms = 500;
  const std::string xml = junit_xml({sample_record(), second}, "ftmstation line-3");
  for (const char* part :
       {"<testsuites name=\"ftmstation line-3\" tests=\"4\" failures=\"1\" errors=\"0\" skipped=\"1\" "
        "time=\"2.000\">",
        "<testsuite name=\"SN0002\" id=\"3\" package=\"default\" hostname=\"line-3\" "
        "timestamp=\"2026-12-05T18:00:00.000Z\" tests=\"1\" failures=\"0\" errors=\"0\" skipped=\"0\" "
        "time=\"0.500\">",
        "<testcase name=\"version\" classname=\"default.SN/0001\" time=\"0.000\"/>",
        "<testcase name=\"mac &lt;&amp;&quot;&apos;&gt;\"",
        "<failure message=\"expected &quot;OK\\n&quot;, got &quot;Mac1\\x01 burned\\xff failed\\n&quot;\" "
        "type=\"reply\">",
        // The failure body lists the exchange, its odd bytes spelled out.
        "  sent &quot;at+ftm,ethmac=001B2C3D4E5F,001B2C3D4E60&quot;, got &quot;Mac1\\x01 burned\\xff "
        "failed\\n&quot;",
        "<skipped message=\"not run: an earlier step failed\"/>"})
    EXPECT_NE(xml.find(part), std::string::npos) << part << "\nin:\n" << xml;
  for (unsigned char c : xml) EXPECT_TRUE(c >= 0x20 || c == '\n') << int(c);
}

TEST(Records, FileNamesAndTimes) {
  auto r = sample_record();
  EXPECT_EQ(record_file_name(r, "20261205T180000Z"), "SN_0001-20261205T180000Z-2.json");
  r.unit.sn = "../x";
  EXPECT_EQ(record_file_name(r, "T"), "u.._x-T-2.json");
  r.unit.sn = "";
  EXPECT_EQ(record_file_name(r, "T"), "unit-T-2.json");
  std::chrono::system_clock::time_point t{std::chrono::milliseconds(1'796'495'548'123)};
  EXPECT_EQ(iso_time(t), "2026-12-05T18:32:28.123Z");
  EXPECT_EQ(file_time(t), "20261205T183228Z");
}

}  // namespace
}  // namespace ftmd::station
