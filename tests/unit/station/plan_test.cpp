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
defaults:
  timeout: 2.5
  retries: 1
  retry_delay: 0.2
  on_fail: continue
steps:
  - name: version
    send: "at+ftm,ftmver=?"
    expect: "OK,ftmver=V1.0\n"
  - name: serial number
    send: "at+ftm,sn={sn}"
    expect: "OK\n"
    timeout: 5
    retries: 0
    on_fail: stop
  - name: read back
    send: "at+ftm,ethmac=?"
    match: "OK,ethmac={lan4_mac},{lan3_mac}\n"
  - name: key
    prompt: Press the reset key now
    action: reset-key
    confirm: yes
    send: at+ftm,keytest=1
    expect: "OK\n"
  - name: licence
    handover: devlic
  - name: reboot
    send: at+ftm,reboot=1
    expect: OK, tamo is rebooting...
    reconnect: true
    reconnect_within: 30
)";

TEST(Plan, ParsesStepsWithDefaultsAndOverrides) {
  std::string error;
  auto plan = parse_plan(kGood, "good.yaml", &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->name, "smoke");
  EXPECT_EQ(plan->description, "a short plan");
  EXPECT_EQ(plan->md5, pc::md5_hex(kGood));
  ASSERT_EQ(plan->steps.size(), 6u);
  const auto& s = plan->steps;
  EXPECT_EQ(s[0].line, 9);
  EXPECT_EQ(s[0].send, "at+ftm,ftmver=?");
  EXPECT_EQ(*s[0].expect, "OK,ftmver=V1.0\n");  // YAML escapes become bytes
  EXPECT_EQ(s[0].timeout, 2500ms);
  EXPECT_EQ(s[0].retries, 1);
  EXPECT_EQ(s[0].retry_delay, 200ms);
  EXPECT_EQ(s[0].on_fail, OnFail::kContinue);
  EXPECT_EQ(s[1].timeout, 5000ms);
  EXPECT_EQ(s[1].retries, 0);
  EXPECT_EQ(s[1].on_fail, OnFail::kStop);
  EXPECT_EQ(*s[2].match, "OK,ethmac={lan4_mac},{lan3_mac}\n");
  EXPECT_FALSE(s[2].expect);
  EXPECT_EQ(s[3].prompt, "Press the reset key now");
  EXPECT_EQ(s[3].action, "reset-key");
  EXPECT_TRUE(s[3].confirm);
  EXPECT_EQ(s[4].handover, pc::HandoverFile::kDeviceLicence);
  EXPECT_EQ(s[4].describe(), "handover devlic");
  EXPECT_EQ(*s[5].expect, "OK, tamo is rebooting...");
  EXPECT_TRUE(s[5].reconnect);
  EXPECT_EQ(s[5].reconnect_within, 30s);
  EXPECT_EQ(plan->variables, (std::vector<std::string>{"lan3_mac", "lan4_mac", "sn"}));
}

// Each case replaces the steps of a minimal plan (line 3 is the first step
// line) or is a whole plan.
TEST(Plan, RefusesMistakesWithLineAndReason) {
  const std::string head = "name: p\nsteps:\n";
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
       "p.yaml:2: unknown key \"step\" in the plan (known: name, description, defaults, steps)"},
      {"name: p\nname: q\nsteps: []\n", "p.yaml:2: duplicate key \"name\" in the plan"},
      {"name: p\nsteps: []\n", "p.yaml:2: steps must be a list of at least one step"},
      {"name: p\ndefaults:\n  timeout: 0\nsteps: []\n",
       "p.yaml:3: bad timeout \"0\" (seconds from 0.1 to 3600)"},
      {"name: p\ndefaults:\n  on_fail: abort\n", "p.yaml:3: bad on_fail \"abort\" (stop or continue)"},
      {"name: p\ndefaults: 3\n", "p.yaml:2: defaults must be a map (timeout, retries, retry_delay, on_fail)"},
      {"name: p\nsteps:\n  - name: a\n    send: x\n   expect: y\n", "p.yaml:5: end of sequence not found"},
      {head + "  - name: a\n    send: x\n", "p.yaml:3: step \"a\" has no expect or match for its reply"},
      {head + "  - name: a\n    expect: x\n", "p.yaml:3: step \"a\" has neither send nor handover"},
      {head + "  - send: x\n    expect: y\n", "p.yaml:3: a step needs a name"},
      {head + "  - name: a\n    send: x\n    handover: cert\n",
       "p.yaml:4: step \"a\" has both send and handover"},
      {head + "  - name: a\n    handover: licence\n", "p.yaml:4: bad handover \"licence\" (devlic or cert)"},
      {head + "  - name: a\n    handover: cert\n    expect: OK\n",
       "p.yaml:5: a handover step checks its replies itself: no expect or match"},
      {head + "  - name: a\n    send: x\n    expect: y\n    match: z\n",
       "p.yaml:6: a step has either expect or match, not both"},
      {head + "  - name: a\n    send: x\n    expect: y\n    timeout: fast\n",
       "p.yaml:6: bad timeout \"fast\" (seconds from 0.1 to 3600)"},
      {head + "  - name: a\n    send: x\n    expect: y\n    timeout: 7200\n",
       "p.yaml:6: bad timeout \"7200\" (seconds from 0.1 to 3600)"},
      {head + "  - name: a\n    send: x\n    expect: y\n    timeout: -1\n",
       "p.yaml:6: bad timeout \"-1\" (seconds from 0.1 to 3600)"},
      {head + "  - name: a\n    send: x\n    expect: y\n    retries: 2.5\n",
       "p.yaml:6: bad retries \"2.5\" (a whole number from 0 to 100)"},
      {head + "  - name: a\n    send: x\n    expect: y\n    retries: 101\n",
       "p.yaml:6: bad retries \"101\" (a whole number from 0 to 100)"},
      {head + "  - name: a\n    send: x\n    match: \"OK,(\"\n",
       "p.yaml:5: bad regex \"OK,(\": " +
           std::string(std::regex_error(std::regex_constants::error_paren).what())},
      {head + "  - name: a\n    send: \"at+ftm,sn={serial}\"\n    expect: y\n",
       "p.yaml:4: unknown variable {serial} (known: {sn} {csn} {lan4_mac} {lan3_mac} {lan4_mac_colons} "
       "{lan3_mac_colons} {sn_report} {csn_report})"},
      {head + "  - name: a\n    send: x\n    match: \"OK,{mac}\\n\"\n",
       "p.yaml:5: unknown variable {mac} (known: {sn} {csn} {lan4_mac} {lan3_mac} {lan4_mac_colons} "
       "{lan3_mac_colons} {sn_report} {csn_report})"},
      {head + "  - name: a\n    send: x\n    expect: y\n    sned: z\n",
       "p.yaml:6: unknown key \"sned\" in a step (known: name, send, handover, expect, match, timeout, "
       "retries, "
       "retry_delay, on_fail, prompt, action, confirm, reconnect, reconnect_within)"},
      {head + "  - name: a\n    send: x\n    expect: y\n    confirm: maybe\n",
       "p.yaml:6: bad confirm \"maybe\" (true or false)"},
      {head + "  - name: a\n    send: x\n    expect: y\n    confirm: true\n",
       "p.yaml:6: an action or confirm needs a prompt for the operator"},
      {head + "  - name: a\n    send: x\n    expect: y\n    prompt: go\n    action: Reset Key\n",
       "p.yaml:7: bad action \"Reset Key\" (lower-case letters, digits and \"-\", at most 32 characters)"},
      {head + "  - name: a\n    send: x\n    expect: y\n    reconnect_within: 5\n",
       "p.yaml:6: reconnect_within without reconnect"},
      {head + "  - name: a\n    handover: cert\n    reconnect: true\n",
       "p.yaml:5: only a send step can reconnect"},
      {head + "  - name: a\n    send: x\n    expect: y\n  - name: a\n    send: x\n    expect: y\n",
       "p.yaml:6: duplicate step name \"a\""},
      {head + "  - name: a\n    send:\n    expect: y\n", "p.yaml:4: send has no value"},
      {head + "  - name: a\n    send: [x]\n    expect: y\n", "p.yaml:4: send must be a text"},
      {head + "  - just a text\n", "p.yaml:3: a step must be a map of keys (name, send, expect, ...)"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_plan(c.text, "p.yaml", &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(Plan, ARegexMayUseBracesAsQuantifiers) {
  std::string error;
  auto plan = parse_plan("name: p\nsteps:\n  - name: a\n    send: x\n    match: \"OK,[0-9]{2}{sn}\"\n",
                         "p.yaml", &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->variables, std::vector<std::string>{"sn"});
}

TEST(Plan, UnreadableFileIsNamed) {
  std::string error;
  EXPECT_FALSE(load_plan("/nonexistent/plan.yaml", &error));
  EXPECT_EQ(error, "/nonexistent/plan.yaml: cannot read the plan: No such file or directory");
}

TEST(Plan, ShippedDefaultPlanLoads) {
  std::string error;
  auto plan = load_plan(default_plan_path(), &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->name, "default");
  EXPECT_EQ(plan->variables,
            (std::vector<std::string>{"csn", "csn_report", "lan3_mac", "lan4_mac", "sn", "sn_report"}));
}

}  // namespace
}  // namespace ftmd::station
