// The runner's verdicts against a scripted link: what a failed step does to
// the rest, retries, time-outs, a port that fails, the reboot's reconnect,
// the handover's digest check and the operator's prompts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <regex>
#include <thread>

#include "runner.h"
#include "wait_until.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
using pc::LinkOutcome;
using Script = std::map<std::string, std::deque<pc::Exchange>>;

pc::Exchange failure(LinkOutcome outcome, std::string error) {
  pc::Exchange ex;
  ex.outcome = outcome;
  ex.error = std::move(error);
  return ex;
}
pc::Exchange reply(std::string text) {
  pc::Exchange ex = failure(LinkOutcome::kReply, {});
  ex.reply = std::move(text);
  return ex;
}

std::function<void(std::string_view)> on_send_;  // sees each command as it is sent

// Answers each command from its queue (the last answer repeats); logs what
// was sent into a log shared by every fake of a test.
class FakeLink : public Transport {
 public:
  FakeLink(std::vector<std::string>& log, Script script) : log_(log), script_(std::move(script)) {}
  pc::Exchange transact(std::string_view command, std::chrono::milliseconds) override {
    log_.emplace_back(command);
    if (on_send_) on_send_(command);
    auto it = script_.find(std::string(command));
    if (it == script_.end()) return reply("ERROR,Invalid Cmd\n");
    pc::Exchange ex = it->second.front();
    if (it->second.size() > 1) it->second.pop_front();
    return ex;
  }

 private:
  std::vector<std::string>& log_;
  Script script_;
};

// Logs each prompt and question with the live prompt shown meanwhile and
// answers questions from `answers` (none left: withdrawn); the action
// "ctrl-c" is the operator stopping the station.
class FakeOperator : public Operator {
 public:
  FakeOperator(std::vector<std::string>& log, LiveState& state) : log_(log), state_(state) {}
  void tell(const std::string& action, const std::string& text) override {
    log_.push_back("prompt " + action + ": " + text + " / shown: " + state_.snapshot().slots[0].prompt);
    if (action == "ctrl-c") interrupted_ = true;
  }
  std::optional<Answer> ask(const Question& q) override {
    log_.push_back("ask " + std::string(question_kind_name(q.kind)) + ": " + q.text +
                   (q.pattern.empty() ? "" : " ~ " + q.pattern));
    if (answers_.empty()) return std::nullopt;
    Answer a;
    a.value = answers_.front();
    a.who = "ann";
    a.channel = "hook";
    a.took = 1200ms;
    answers_.pop_front();
    return a;
  }
  std::atomic<bool> interrupted_{false};
  std::deque<std::string> answers_;

 private:
  std::vector<std::string>& log_;
  LiveState& state_;
};

class RunnerTest : public testing::Test {
 protected:
  void TearDown() override { on_send_ = {}; }
  UnitRecord run(const std::string& steps, Script script) {
    state_.update([](StationSnapshot& s) { s.slots.resize(1); });
    std::string error;
    plan_ = parse_plan("name: t\ndefaults:\n  retry_delay: 0\nsteps:\n" + steps, "t.yaml", &error);
    EXPECT_TRUE(plan_) << error;
    std::unique_ptr<Transport> link = std::make_unique<FakeLink>(log_, std::move(script));
    std::FILE* out = std::tmpfile();
    Console console(out, false);
    RunnerServices services{&operator_, &console, &fixtures_, reconnect_, http_, &operator_.interrupted_};
    runner_.emplace(*plan_, RunnerConfig{"st", "/dev/fake", "a", 0, ""}, services, state_);
    UnitRecord r = runner_->run_unit(unit_, 1, 1, link);
    std::rewind(out);
    char buf[4096];
    output_.assign(buf, std::fread(buf, 1, sizeof buf, out));
    std::fclose(out);
    return r;
  }

  std::vector<std::string> log_;
  LiveState state_;
  FixtureBench fixtures_;
  FakeOperator operator_{log_, state_};
  std::optional<Plan> plan_;
  std::optional<Runner> runner_;
  Unit unit_{"cli", "SN.1", "C1", "001B2C3D4E5F", "001B2C3D4E60"};
  std::function<std::unique_ptr<Transport>(std::chrono::milliseconds, std::string*)> reconnect_;
  std::function<pc::HttpFetch(const pc::HttpUrl&, std::chrono::milliseconds)> http_;
  std::string output_;
};

std::string three_steps(const std::string& on_fail, const std::string& third = "") {
  return "  - {name: one, send: \"at+ftm,sn={sn}\", expect: \"OK\\n\"}\n"
         "  - {name: two, send: \"at+ftm,sn=?\", match: \"OK,{sn}\\n\", on_fail: " +
         on_fail + "}\n  - {name: three, send: \"at+ftm,ftmver=?\", match: \"OK,ftmver=V[0-9.]+\\n\"" +
         third + "}\n";
}

TEST_F(RunnerTest, AllStepsPassAndFillTheirCommands) {
  auto r = run(three_steps("stop"), {{"at+ftm,sn=SN.1", {reply("OK\n")}},
                                     {"at+ftm,sn=?", {reply("OK,SN.1\n")}},
                                     {"at+ftm,ftmver=?", {reply("OK,ftmver=V1.0\n")}}});
  EXPECT_TRUE(r.passed());
  EXPECT_EQ(log_, (std::vector<std::string>{"at+ftm,sn=SN.1", "at+ftm,sn=?", "at+ftm,ftmver=?"}));
  EXPECT_EQ(r.steps[1].match, "OK,SN\\.1\n");  // the unit's value matched literally
  EXPECT_EQ(r.steps[2].attempts[0].exchanges[0].reply, "OK,ftmver=V1.0\n");
  EXPECT_NE(output_.find("PASS SN.1  3/3 steps passed"), std::string::npos) << output_;
  auto snap = state_.snapshot();
  EXPECT_EQ(snap.slots[0].unit.verdict, "passed");
  EXPECT_EQ(snap.slots[0].passed, 1);
  for (const auto& s : snap.slots[0].unit.steps) EXPECT_EQ(s.state, StepState::kPassed);
}

TEST_F(RunnerTest, OnFailDecidesWhetherTheRestRuns) {
  for (const char* on_fail : {"stop", "continue"}) {
    log_.clear();
    auto r = run(three_steps(on_fail), {{"at+ftm,sn=SN.1", {reply("OK\n")}},
                                        {"at+ftm,sn=?", {reply("OK,SNx1\n")}},
                                        {"at+ftm,ftmver=?", {reply("OK,ftmver=V1.0\n")}}});
    const bool stop = std::string(on_fail) == "stop";
    EXPECT_FALSE(r.passed());
    EXPECT_EQ(log_.size(), stop ? 2u : 3u);
    EXPECT_EQ(r.message, "step \"two\": expected a reply matching \"OK,SN\\\\.1\\n\", got \"OK,SNx1\\n\"");
    EXPECT_EQ(r.steps[2].verdict, stop ? Verdict::kSkipped : Verdict::kPassed);
    EXPECT_EQ(r.steps[2].message, stop ? "not run: step \"two\" failed" : "");
  }
}

TEST_F(RunnerTest, RetriesUntilARightReplyAndRecordsEachAttempt) {
  auto r = run("  - {name: stick, send: \"at+ftm,udisk\", expect: \"OK,udisk=1\\n\", retries: 3}\n",
               {{"at+ftm,udisk",
                 {reply("ERROR,Insert or Pull out Usb first\n"), failure(LinkOutcome::kTimeout, "no reply"),
                  reply("OK,udisk=1\n")}}});
  EXPECT_TRUE(r.passed());
  ASSERT_EQ(r.steps[0].attempts.size(), 3u);
  EXPECT_EQ(r.steps[0].attempts[0].message,
            "expected \"OK,udisk=1\\n\", got \"ERROR,Insert or Pull out Usb first\\n\"");
  EXPECT_EQ(r.steps[0].attempts[1].message, "no reply within 10 s");
  EXPECT_EQ(state_.snapshot().slots[0].unit.steps[0].attempt, 3);
}

TEST_F(RunnerTest, APortFailureStopsTheUnitWithoutRetries) {
  auto r = run(three_steps("continue", ", retries: 5, on_fail: continue"),
               {{"at+ftm,sn=SN.1", {reply("OK\n")}},
                {"at+ftm,sn=?", {failure(LinkOutcome::kTransport, "read: Input/output error")}}});
  EXPECT_TRUE(r.transport_failed);
  EXPECT_EQ(r.steps[1].attempts.size(), 1u);
  EXPECT_EQ(r.steps[1].message, "port failed: read: Input/output error");
  EXPECT_EQ(r.steps[2].verdict, Verdict::kSkipped);
  EXPECT_EQ(r.steps[2].message, "not run: the port failed at step \"two\"");
  EXPECT_NE(output_.find("FAIL SN.1  1/3 steps passed, 1 failed, 1 skipped"), std::string::npos) << output_;
}

constexpr char kReboot[] =
    "  - {name: reboot, send: \"at+ftm,reboot=1\", expect: \"OK, tamo is rebooting...\", reconnect: true, "
    "reconnect_within: 5}\n  - {name: after, send: \"at+ftm,swver=?\", match: \"OK,swver=.*\\n\"}\n";

TEST_F(RunnerTest, RebootReconnectsAndGoesOnOnTheNewPortOrFailsThePort) {
  std::chrono::milliseconds asked{0};
  reconnect_ = [&](std::chrono::milliseconds within, std::string*) -> std::unique_ptr<Transport> {
    asked = within;
    // Meanwhile the step's clock runs against the time it has to come back.
    EXPECT_EQ(state_.snapshot().slots[0].unit.steps[0].timeout_ms, 5000);
    log_.push_back("reconnect");
    return std::make_unique<FakeLink>(log_, Script{{"at+ftm,ftmver=?", {reply("OK,ftmver=V1.0\n")}},
                                                   {"at+ftm,swver=?", {reply("OK,swver=1.2.3\n")}}});
  };
  auto r = run(kReboot, {{"at+ftm,reboot=1", {reply("OK, tamo is rebooting...")}}});
  EXPECT_TRUE(r.passed()) << r.message;
  EXPECT_EQ(asked, 5s);
  EXPECT_EQ(log_,
            (std::vector<std::string>{"at+ftm,reboot=1", "reconnect", "at+ftm,ftmver=?", "at+ftm,swver=?"}));
  EXPECT_EQ(r.steps[0].attempts[0].exchanges.size(), 2u);  // the reboot and the probe

  reconnect_ = [&](std::chrono::milliseconds, std::string* error) -> std::unique_ptr<Transport> {
    *error = "/dev/fake did not appear";
    return nullptr;
  };
  r = run(kReboot, {{"at+ftm,reboot=1", {reply("OK, tamo is rebooting...")}}});
  EXPECT_TRUE(r.transport_failed);
  EXPECT_EQ(r.steps[0].message, "the device did not come back within 5 s: /dev/fake did not appear");
  EXPECT_EQ(r.steps[1].verdict, Verdict::kSkipped);
}

// The device's digest must be that of the bytes the station downloaded.
TEST_F(RunnerTest, HandoverDownloadsAndComparesTheDigest) {
  std::string fetched;
  http_ = [&](const pc::HttpUrl& url, std::chrono::milliseconds) {
    fetched = url.host + url.path;
    return pc::HttpFetch{true, {200, "licence bytes", {}}, {}};
  };
  const std::string md5 = pc::md5_hex("licence bytes");
  auto r = run("  - {name: lic, handover: devlic}\n",
               {{"at+ftm,dantedevlic=?", {reply("OK,http://192.0.2.1/device.lic\n")}},
                {"at+ftm,checkdantedevlic=?", {reply("OK," + std::string(32, '0') + ",0x1122\n\n")}}});
  EXPECT_EQ(r.steps[0].message, "MD5 differs: the device reports " + std::string(32, '0') +
                                    " for device.lic, the 13 downloaded bytes have MD5 " + md5);
  EXPECT_EQ(fetched, "192.0.2.1/device.lic");
  EXPECT_EQ(log_, (std::vector<std::string>{"at+ftm,dantedevlic=?", "at+ftm,checkdantedevlic=?"}));
  EXPECT_EQ(r.steps[0].attempts[0].handover->md5, md5);
  EXPECT_EQ(r.steps[0].attempts[0].handover->hardware_id, "0x1122");  // its line end removed
}

TEST_F(RunnerTest, PromptsComeBeforeTheCommandAndAnInterruptSkipsTheRest) {
  operator_.answers_ = {"yes"};
  auto r = run(
      "  - {name: key, prompt: Press the key, action: reset-key, send: a, expect: \"OK\\n\"}\n"
      "  - {name: plug, prompt: Plug it, confirm: true, send: b, expect: \"OK\\n\"}\n"
      "  - {name: stop, prompt: stop now, action: ctrl-c, send: c, expect: \"OK\\n\", retries: 5, on_fail: "
      "continue}\n"
      "  - {name: after, send: d, expect: \"OK\\n\"}\n",
      {{"a", {reply("OK\n")}}, {"b", {reply("OK\n")}}, {"c", {reply("ERROR\n")}}, {"d", {reply("OK\n")}}});
  EXPECT_EQ(log_, (std::vector<std::string>{"prompt reset-key: Press the key / shown: Press the key", "a",
                                            "ask confirm: Plug it", "b",
                                            "prompt ctrl-c: stop now / shown: stop now", "c"}));
  EXPECT_EQ(state_.snapshot().slots[0].prompt, "");
  EXPECT_EQ(r.verdict, Verdict::kFailed);  // a failure seen before the stop
  EXPECT_EQ(r.steps[1].answer->channel, "hook");
  EXPECT_EQ(r.steps[2].attempts.size(), 1u);  // no retries once interrupted
  EXPECT_EQ(r.steps[3].verdict, Verdict::kSkipped);
  EXPECT_EQ(r.steps[3].message, "not run: the station was stopped");
}

// The operator's judgement decides a judged step, and a scanned value is
// checked against the pattern (the unit's values escaped) and fills the
// later steps. Each answer is recorded with who gave it and how long it took.
TEST_F(RunnerTest, JudgementsDecideAndScansBecomeVariables) {
  operator_.answers_ = {"pass", "fail", "SN.1/7"};
  auto r =
      run("  - {name: red, send: a, expect: \"OK\\n\", judge: \"Is it red?\", action: led-red, on_fail: "
          "continue}\n"
          "  - {name: green, send: b, expect: \"OK\\n\", judge: \"Is it green?\", on_fail: continue}\n"
          "  - {name: label, scan: Scan the label, pattern: \"{sn}/[0-9]\", variable: label}\n"
          "  - {name: write, send: \"at+ftm,csn={label}\", expect: \"OK\\n\"}\n",
          {{"a", {reply("OK\n")}}, {"b", {reply("OK\n")}}, {"at+ftm,csn=SN.1/7", {reply("OK\n")}}});
  EXPECT_EQ(log_, (std::vector<std::string>{"a", "ask judge: Is it red?", "b", "ask judge: Is it green?",
                                            "ask scan: Scan the label ~ SN\\.1/[0-9]", "at+ftm,csn=SN.1/7"}));
  EXPECT_EQ(r.steps[0].verdict, Verdict::kPassed);
  EXPECT_EQ(r.steps[1].verdict, Verdict::kFailed);
  EXPECT_EQ(r.steps[1].message, "judged fail by ann: \"Is it green?\"");
  EXPECT_EQ(r.steps[0].answer->who, "ann");
  EXPECT_EQ(r.steps[0].answer->took_ms, 1200);
  EXPECT_EQ(r.steps[2].answer->value, "SN.1/7");
  EXPECT_EQ(r.steps[3].command, "at+ftm,csn=SN.1/7");
  EXPECT_EQ(r.verdict, Verdict::kFailed);
  // No answer (the station stopping) aborts the unit: neither passed nor failed.
  operator_.answers_.clear();
  log_.clear();
  r =
      run("  - {name: red, send: a, expect: \"OK\\n\", judge: \"Is it red?\"}\n  - {name: b, send: b, "
          "expect: x}\n",
          {{"a", {reply("OK\n")}}});
  EXPECT_EQ(r.verdict, Verdict::kAborted);
  EXPECT_EQ(r.steps[0].verdict, Verdict::kAborted);
  EXPECT_EQ(r.steps[1].verdict, Verdict::kSkipped);
  EXPECT_NE(output_.find("ABORTED SN.1  0/2 steps passed, 1 aborted, 1 skipped"), std::string::npos)
      << output_;
}

// A shared fixture held by another slot is waited for, and shown so.
TEST_F(RunnerTest, WaitsForAFixtureAnotherSlotHolds) {
  ASSERT_TRUE(fixtures_.take("usb-stick", "b"));
  std::jthread other([&] {
    ASSERT_TRUE(test::wait_until(
        [&] {
          auto s = state_.snapshot();
          return !s.slots.empty() && s.slots[0].waiting_for_fixture == "usb-stick" &&
                 s.slots[0].fixture_holder == "b";
        },
        10s));
    std::this_thread::sleep_for(100ms);
    fixtures_.give_back("usb-stick", "b");
  });
  auto r =
      run("  - {name: in, send: a, expect: \"OK\\n\", fixture: usb-stick}\n"
          "  - {name: out, send: a, expect: \"OK\\n\", fixture: usb-stick}\n",
          {{"a", {reply("OK\n")}}});
  EXPECT_TRUE(r.passed());
  EXPECT_GE(r.steps[0].fixture_wait_ms, 100);
  EXPECT_EQ(r.steps[1].fixture_wait_ms, 0);      // held across the two
  EXPECT_EQ(fixtures_.holder("usb-stick"), "");  // given back at the unit's end
}

// A station stopping at once takes the unit's record as it is: the request
// in flight and the steps not run are in it.
TEST_F(RunnerTest, AbortRecordHoldsTheRequestInFlight) {
  std::optional<UnitRecord> taken;
  Script script{{"a", {reply("OK\n")}}};
  on_send_ = [&](std::string_view command) {
    if (command == "slow") taken = runner_->abort_record("stopped now");
  };
  run("  - {name: one, send: a, expect: \"OK\\n\"}\n  - {name: two, send: slow, expect: \"OK\\n\"}\n"
      "  - {name: three, send: a, expect: \"OK\\n\"}\n",
      script);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->verdict, Verdict::kAborted);
  ASSERT_EQ(taken->steps.size(), 3u);
  EXPECT_EQ(taken->steps[0].verdict, Verdict::kPassed);
  EXPECT_EQ(taken->steps[1].verdict, Verdict::kAborted);
  EXPECT_EQ(taken->steps[1].attempts.at(0).exchanges.at(0).request, "slow");
  EXPECT_EQ(taken->steps[1].attempts[0].exchanges[0].error, "no reply yet: stopped now");
  EXPECT_EQ(taken->steps[2].message, "not run: stopped now");
  EXPECT_FALSE(runner_->abort_record("later"));  // no unit runs any more
}

TEST(CheckReply, ExactTextAndWholeReplyRegex) {
  struct Case {
    std::string reply;
    std::optional<std::string> expect, match;
    std::string why;
  };
  const Case cases[] = {
      {"OK\n", "OK\n", {}, ""},
      {"OK", "OK\n", {}, "expected \"OK\\n\", got \"OK\""},
      {"", "OK\n", {}, "expected \"OK\\n\", got an empty reply"},
      {"OK\n", {}, "OK", "expected a reply matching \"OK\", got \"OK\\n\""},  // the whole reply
      {"OK,swver=1.2\n", {}, "OK,swver=[^\\n]+\\n", ""},
      {"ERROR\n",
       {},
       "OK,(",
       "bad regex \"OK,(\": " + std::string(std::regex_error(std::regex_constants::error_paren).what())},
  };
  for (const auto& c : cases) EXPECT_EQ(check_reply(c.reply, c.expect, c.match), c.why) << c.reply;
}

}  // namespace
}  // namespace ftmd::station
