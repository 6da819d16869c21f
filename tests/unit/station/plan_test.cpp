// The plan parser: what a good plan turns into, and the line and reason of
// every kind of mistake an engineer makes in one.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "plan.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;

constexpr char kGood[] = R"(name: smoke
description: a short plan
defaults: {timeout: 2.5, retries: 1, retry_delay: 0.2, on_fail: continue}
steps:
  - {name: version, send: "at+ftm,ftmver=?", expect: "OK,ftmver=V1.0\n"}
  - {name: serial number, send: "at+ftm,sn={sn}", expect: "OK\n", timeout: 5, retries: 0, on_fail: stop}
  - {name: read back, send: "at+ftm,ethmac=?", match: "OK,ethmac={lan4_mac},{lan3_mac}\n"}
  - name: key
    prompt: Press the reset key now
    action: reset-key
    confirm: yes
    send: at+ftm,keytest=1
    expect: "OK\n"
  - {name: licence, handover: devlic}
  - {name: reboot, send: "at+ftm,reboot=1", expect: "OK, tamo is rebooting...", reconnect: true, reconnect_within: 30}
)";

// A step in one line: line, what it sends and checks, its limits and
// operator prompt.
std::string described(const PlanStep& s) {
  return std::to_string(s.line) + " " + s.describe() + " | " + s.expect.value_or("-") + " | " +
         s.match.value_or("-") + " | " + std::to_string(s.timeout.count()) + " " + std::to_string(s.retries) +
         " " + std::to_string(s.retry_delay.count()) + " " + on_fail_name(s.on_fail) + " | " + s.prompt +
         " " + s.action + (s.confirm ? " confirm" : "") +
         (s.reconnect ? " reconnect " + std::to_string(s.reconnect_within.count()) : "");
}

TEST(Plan, ParsesStepsWithDefaultsAndOverrides) {
  std::string error;
  auto plan = parse_plan(kGood, "good.yaml", &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->name, "smoke");
  EXPECT_EQ(plan->description, "a short plan");
  EXPECT_EQ(plan->md5, pc::md5_hex(kGood));
  std::vector<std::string> steps;
  for (const auto& step : plan->steps) steps.push_back(described(step));
  // YAML escapes become bytes.
  EXPECT_EQ(
      steps,
      (std::vector<std::string>{
          "5 at+ftm,ftmver=? | OK,ftmver=V1.0\n | - | 2500 1 200 continue |  ",
          "6 at+ftm,sn={sn} | OK\n | - | 5000 0 200 stop |  ",
          "7 at+ftm,ethmac=? | - | OK,ethmac={lan4_mac},{lan3_mac}\n | 2500 1 200 continue |  ",
          "8 at+ftm,keytest=1 | OK\n | - | 2500 1 200 continue | Press the reset key now reset-key confirm",
          "14 handover devlic | - | - | 2500 1 200 continue |  ",
          "15 at+ftm,reboot=1 | OK, tamo is rebooting... | - | 2500 1 200 continue |   reconnect 30000",
      }));
  EXPECT_EQ(plan->variables, (std::vector<std::string>{"lan3_mac", "lan4_mac", "sn"}));
}

// Each case is a whole plan, or the steps of a minimal plan (line 3 is the
// first step line), or a step with one more key (on line 6); the error
// begins with the text given.
TEST(Plan, RefusesMistakesWithLineAndReason) {
  const std::string head = "name: p\nsteps:\n", ok = head + "  - name: a\n    send: x\n    expect: y\n";
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"", "p.yaml:1: the plan is empty"},
      {"- a\n- b\n", "p.yaml:1: a plan must be a map with name, description, defaults and steps"},
      {"name: p\n", "p.yaml:1: the plan has no steps"},
      {"steps:\n  - name: a\n    send: x\n    expect: y\n", "p.yaml:1: the plan needs a name"},
      {"name: p\nstep:\n  - name: a\n",
       "p.yaml:2: unknown key \"step\" in the plan (known: name, description, max_attempts, defaults, "
       "steps)"},
      {"name: p\nmax_attempts: 0\n", "p.yaml:2: bad max_attempts \"0\" (a whole number from 1 to 100)"},
      {"name: p\nname: q\nsteps: []\n", "p.yaml:2: duplicate key \"name\" in the plan"},
      {"name: p\nsteps: []\n", "p.yaml:2: steps must be a list of at least one step"},
      {"name: p\ndefaults:\n  timeout: 0\nsteps: []\n",
       "p.yaml:3: bad timeout \"0\" (seconds from 0.1 to 3600)"},
      {"name: p\ndefaults:\n  on_fail: abort\n", "p.yaml:3: bad on_fail \"abort\" (stop or continue)"},
      {"name: p\ndefaults: 3\n", "p.yaml:2: defaults must be a map (timeout, retries, retry_delay, on_fail)"},
      {"name: p\nsteps:\n  - name: a\n    send: x\n   expect: y\n", "p.yaml:5: end of sequence not found"},
      {head + "  - name: a\n    send: x\n",
       "p.yaml:3: step \"a\" has no expect, match or measure for its reply"},
      {ok + "    measure: {name: v, regex: \"V=[0-9]+\"}\n",
       "p.yaml:6: measure regex \"V=[0-9]+\" has 0 groups: it needs exactly one"},
      {ok + "    measure: {name: v, regex: \"(V)=([0-9]+)\"}\n",
       "p.yaml:6: measure regex \"(V)=([0-9]+)\" has 2"},
      {ok + "    measure: {name: v, regex: \"V=([0-9]+\"}\n", "p.yaml:6: bad measure regex \"V=([0-9]+\": "},
      {ok + "    measure: {name: v, regex: \"(.*)\", low: 3, high: 1}\n",
       "p.yaml:6: measure \"v\": low is above high"},
      {ok + "    measure: {name: v, regex: \"(.*)\", high: 3V}\n", "p.yaml:6: bad high \"3V\" (a number)"},
      {ok + "    measure: {regex: \"(.*)\"}\n", "p.yaml:6: measure needs a name"},
      {ok + "    measure: {name: a b, regex: \"(.*)\"}\n", "p.yaml:6: bad measure name \"a b\""},
      {head + "  - name: a\n    judge: Red?\n    measure: {name: v, regex: \"(.*)\"}\n",
       "p.yaml:5: only a send step (no reconnect) can measure"},
      {head + "  - name: a\n    expect: x\n",
       "p.yaml:3: step \"a\" has none of send, handover, judge and scan"},
      {head + "  - send: x\n    expect: y\n", "p.yaml:3: a step needs a name"},
      {head + "  - name: a\n    send: x\n    handover: cert\n",
       "p.yaml:4: step \"a\" has both send and handover"},
      {head + "  - name: a\n    handover: licence\n", "p.yaml:4: bad handover \"licence\" (devlic or cert)"},
      {head + "  - name: a\n    handover: cert\n    expect: OK\n",
       "p.yaml:5: a handover step checks its replies itself: no expect or match"},
      {ok + "    match: z\n", "p.yaml:6: a step has either expect or match, not both"},
      {ok + "    timeout: fast\n", "p.yaml:6: bad timeout \"fast\" (seconds from 0.1 to 3600)"},
      {ok + "    timeout: 7200\n", "p.yaml:6: bad timeout \"7200\" (seconds from 0.1 to 3600)"},
      {ok + "    retries: 2.5\n", "p.yaml:6: bad retries \"2.5\" (a whole number from 0 to 100)"},
      {head + "  - name: a\n    send: x\n    match: \"OK,(\"\n",
       "p.yaml:5: bad regex \"OK,(\": " +
           std::string(std::regex_error(std::regex_constants::error_paren).what())},
      {head + "  - name: a\n    send: \"at+ftm,sn={serial}\"\n    expect: y\n",
       "p.yaml:4: unknown variable {serial}"},
      {head + "  - name: a\n    send: x\n    match: \"OK,{mac}\\n\"\n", "p.yaml:5: unknown variable {mac}"},
      {ok + "    sned: z\n",
       "p.yaml:6: unknown key \"sned\" in a step (known: name, send, handover, expect, match, timeout, "},
      {ok + "    confirm: maybe\n", "p.yaml:6: bad confirm \"maybe\" (true or false)"},
      {ok + "    confirm: true\n",
       "p.yaml:6: an action or confirm needs a prompt (or a judge or scan question)"},
      {head + "  - name: a\n    judge: Red?\n    expect: x\n",
       "p.yaml:5: expect and match check the reply to send"},
      {ok + "    judge: Red?\n    scan: Label\n", "p.yaml:7: step \"a\" has both judge and scan"},
      {ok + "    scan: Label\n", "p.yaml:4: a scan step only asks the operator"},
      {head + "  - name: a\n    scan: Label\n    variable: label\n",
       "p.yaml:4: step \"a\" scans: it needs a pattern"},
      {head + "  - name: a\n    scan: Label\n    pattern: x\n    variable: sn\n",
       "p.yaml:6: variable {sn} is the unit's own: scan into another name"},
      {head + "  - name: a\n    scan: Label\n    pattern: \"(\\n\"\n    variable: l\n",
       "p.yaml:5: bad pattern \"(\\n\": "},  // escaped in the message
      {ok + "    pattern: x\n", "p.yaml:6: pattern and variable belong to a scan step"},
      {ok + "    judge: Red?\n    confirm: true\n    prompt: x\n",
       "p.yaml:7: a judge or scan step asks the operator already"},
      {ok + "    fixture: USB stick\n", "p.yaml:6: bad fixture \"USB stick\""},
      {head + "  - name: a\n    send: \"at+ftm,csn={label}\"\n    expect: y\n  - name: b\n    scan: L\n"
              "    pattern: x\n    variable: label\n",
       "p.yaml:4: unknown variable {label}"},  // a scanned value is known only after its step
      {ok + "    prompt: go\n    action: Reset Key\n",
       "p.yaml:7: bad action \"Reset Key\" (lower-case letters, digits and \"-\", at most 32 characters)"},
      {ok + "    reconnect_within: 5\n", "p.yaml:6: reconnect_within without reconnect"},
      {head + "  - name: a\n    handover: cert\n    reconnect: true\n",
       "p.yaml:5: only a send step can reconnect"},
      {head + "  - name: a\n    handover: cert\n    provisions: true\n",
       "p.yaml:5: only a read-back step (send, no reconnect) can mark the identity provisioned"},
      {ok + "  - name: a\n    send: x\n    expect: y\n", "p.yaml:6: duplicate step name \"a\""},
      {head + "  - name: a\n    send:\n    expect: y\n", "p.yaml:4: send has no value"},
      {head + "  - name: a\n    send: [x]\n    expect: y\n", "p.yaml:4: send must be a text"},
      {head + "  - just a text\n", "p.yaml:3: a step must be a map of keys (name, send, expect, ...)"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_plan(c.text, "p.yaml", &error)) << c.text;
    EXPECT_TRUE(error.starts_with(c.error)) << c.text << "\n-> " << error;
  }
}

TEST(Plan, MeasureTakesTheNumberAndJudgesItAgainstItsLimits) {
  struct Case {
    std::optional<double> low, high;
    std::string reply;
    std::optional<double> value;
    std::string problem;  // "" when it passed; else how it begins
  };
  const Case cases[] = {
      {0.5, 3.0, "OK,adc=1.25V\n", 1.25, ""},
      {0.5, 3.0, "OK,adc=0.5V\n", 0.5, ""},  // the limits themselves pass
      {0.5, 3.0, "OK,adc=3V\n", 3.0, ""},
      {0.5, 3.0, "OK,adc=0.49V\n", 0.49, "measure adc: 0.49 V (limits 0.5 .. 3) is below its limit"},
      {0.5, 3.0, "OK,adc=-7e1V\n", -70, "measure adc: -70 V (limits 0.5 .. 3) is below"},
      {0.5, 3.0, "OK,adc=3.01V\n", 3.01, "measure adc: 3.01 V (limits 0.5 .. 3) is above its limit"},
      {std::nullopt, 3.0, "OK,adc=-100V\n", -100, ""},
      {std::nullopt, 3.0, "OK,adc=4V\n", 4, "measure adc: 4 V (at most 3) is above"},
      {0.5, std::nullopt, "OK,adc=1e6V\n", 1e6, ""},
      {0.5, std::nullopt, "OK,adc=0V\n", 0, "measure adc: 0 V (at least 0.5) is below"},
      {std::nullopt, std::nullopt, "OK,adc=12V\n", 12, ""},
      {0.5, 3.0, "ERROR\n", std::nullopt, "measure adc: no value in \"ERROR\\n\""},
      {0.5, 3.0, "", std::nullopt, "measure adc: no value in an empty reply"},
      {0.5, 3.0, "OK,adc=V\n", std::nullopt, "measure adc: \"\" in \"OK,adc=V\\n\" is not a number"},
      {0.5, 3.0, "OK,adc=1.2.3V\n", std::nullopt, "measure adc: \"1.2.3\" in"},
      {0.5, 3.0, "OK,adc=nanV\n", std::nullopt, "measure adc: \"nan\" in"},
      {0.5, 3.0, "OK,adc=0x1V\n", std::nullopt, "measure adc: \"0x1\" in"},
  };
  for (const auto& c : cases) {
    const Measure m{"adc", "adc=([^V\n]*)V", "V", c.low, c.high};
    MeasureResult got = take_measure(m, c.reply);
    EXPECT_EQ(got.value, c.value) << c.reply;
    EXPECT_EQ(got.passed, c.problem.empty()) << c.reply;
    EXPECT_TRUE(got.problem.starts_with(c.problem)) << c.reply << " -> " << got.problem;
  }
}

TEST(Plan, ARegexMayUseBracesAsQuantifiers) {
  std::string error;
  auto plan = parse_plan("name: p\nsteps:\n  - name: a\n    send: x\n    match: \"OK,[0-9]{2}{sn}\"\n",
                         "p.yaml", &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->variables, std::vector<std::string>{"sn"});
}

// YAML's single quotes keep "\n" as a backslash and an n: legal, but a reply
// with a line end then never matches, so the plan is loaded with a warning.
TEST(Plan, WarnsOfABackslashNInSingleQuotes) {
  std::string error;
  auto plan = parse_plan(
      "name: p\nsteps:\n  - name: a\n    send: x\n    expect: 'OK,ftmver=V1.0\\n'\n"
      "  - name: b\n    send: x\n    expect: \"OK\\n\"\n  - name: c\n    send: x\n"
      "    match: 'OK\\n'\n  - {name: d, send: x, expect: 'a\\\\n'}\n",
      "p.yaml", &error);
  ASSERT_TRUE(plan) << error;
  ASSERT_EQ(plan->warnings.size(), 3u);
  EXPECT_EQ(
      plan->warnings[0],
      "p.yaml:5: warning: expect is in single quotes, so its \\n is a backslash and an n, not a line end (a "
      "reply with a line end never matches it); write it in double quotes");
  EXPECT_TRUE(plan->warnings[1].starts_with("p.yaml:11: warning: match is in single quotes"))
      << plan->warnings[1];
  EXPECT_TRUE(plan->warnings[2].starts_with("p.yaml:12: warning: expect")) << plan->warnings[2];
}

TEST(Plan, UnreadableFileIsNamed) {
  std::string error;
  EXPECT_FALSE(load_plan("/nonexistent/plan.yaml", &error));
  EXPECT_EQ(error, "/nonexistent/plan.yaml: cannot read the plan: No such file or directory");
  EXPECT_FALSE(load_plan("/tmp", &error));
  EXPECT_EQ(error, "/tmp: cannot read the plan: Is a directory");
}

TEST(Plan, ShippedDefaultPlanLoads) {
  std::string error;
  auto plan = load_plan(default_plan_path(), &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->name, "default");
  EXPECT_TRUE(plan->warnings.empty());
  EXPECT_EQ(plan->variables,
            (std::vector<std::string>{"csn", "csn_report", "lan3_mac", "lan4_mac", "sn", "sn_report"}));
  std::vector<std::string> provisioning;
  for (const auto& step : plan->steps)
    if (step.provisions) provisioning.push_back(step.name);
  EXPECT_EQ(provisioning,
            (std::vector<std::string>{"read back serial number", "read back customer serial number",
                                      "read back MAC addresses"}));
}

}  // namespace
}  // namespace ftmd::station
