// The runner's verdicts against a scripted link: what a failed step does to
// the rest, retries, time-outs, a port that fails, the reboot's reconnect,
// the handover's digest check and the operator's prompts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <regex>

#include "runner.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
using pc::LinkOutcome;

pc::Exchange reply(std::string text) {
  pc::Exchange ex;
  ex.outcome = LinkOutcome::kReply;
  ex.reply = std::move(text);
  return ex;
}
pc::Exchange failure(LinkOutcome outcome, std::string error) {
  pc::Exchange ex;
  ex.outcome = outcome;
  ex.error = std::move(error);
  return ex;
}

// Answers each command from its queue (the last answer repeats); logs
// what was sent into a log shared by every fake of a test.
class FakeLink : public Transport {
 public:
  FakeLink(std::vector<std::string>& log, std::map<std::string, std::deque<pc::Exchange>> script)
      : log_(log), script_(std::move(script)) {}
  pc::Exchange transact(std::string_view command, std::chrono::milliseconds) override {
    log_.emplace_back(command);
    auto it = script_.find(std::string(command));
    if (it == script_.end()) return reply("ERROR,Invalid Cmd\n");
    pc::Exchange ex = it->second.front();
    if (it->second.size() > 1) it->second.pop_front();
    return ex;
  }

 private:
  std::vector<std::string>& log_;
  std::map<std::string, std::deque<pc::Exchange>> script_;
};

class FakeOperator : public Operator {
 public:
  explicit FakeOperator(std::vector<std::string>& log, LiveState& state) : log_(log), state_(state) {}
  void prompt(const std::string& action, const std::string& text, bool confirm) override {
    log_.push_back("prompt " + action + (confirm ? " confirm" : "") + ": " + text);
    shown_ = state_.snapshot().prompt;
    if (action == "ctrl-c") interrupted_ = true;
  }
  std::string shown_;  // the live prompt while the operator was asked
  std::atomic<bool> interrupted_{false};

 private:
  std::vector<std::string>& log_;
  LiveState& state_;
};

class RunnerTest : public testing::Test {
 protected:
  Plan plan(const std::string& steps) {
    std::string error;
    auto p = parse_plan("name: t\ndefaults:\n  retry_delay: 0\nsteps:\n" + steps, "t.yaml", &error);
    EXPECT_TRUE(p) << error;
    return p ? *p : Plan{};
  }
  UnitRecord run(const Plan& p, std::map<std::string, std::deque<pc::Exchange>> script) {
    std::unique_ptr<Transport> link = std::make_unique<FakeLink>(log_, std::move(script));
    return run_on(p, link);
  }
  UnitRecord run_on(const Plan& p, std::unique_ptr<Transport>& link) {
    out_ = std::tmpfile();
    RunnerServices services;
    services.op = &operator_;
    services.reconnect = reconnect_;
    services.http_get = http_;
    services.interrupted = &operator_.interrupted_;
    Runner runner(p, {"st", "/dev/fake", false, out_}, services, state_);
    UnitRecord r = runner.run_unit(unit_, 1, 1, link);
    std::rewind(out_);
    char buf[4096];
    output_.assign(buf, std::fread(buf, 1, sizeof buf, out_));
    std::fclose(out_);
    return r;
  }

  std::vector<std::string> log_;
  LiveState state_;
  FakeOperator operator_{log_, state_};
  Unit unit_{"cli", "SN.1", "C1", "001B2C3D4E5F", "001B2C3D4E60"};
  std::function<std::unique_ptr<Transport>(std::chrono::milliseconds, std::string*)> reconnect_;
  std::function<pc::HttpFetch(const pc::HttpUrl&, std::chrono::milliseconds)> http_;
  std::FILE* out_ = nullptr;
  std::string output_;
};

constexpr char kThreeSteps[] = R"(  - name: one
    send: "at+ftm,sn={sn}"
    expect: "OK\n"
  - name: two
    send: "at+ftm,sn=?"
    expect: "OK,{sn}\n"
    on_fail: ON_FAIL
  - name: three
    send: "at+ftm,ftmver=?"
    match: "OK,ftmver=V[0-9.]+\n"
)";

std::string with_on_fail(const char* on_fail) {
  std::string text = kThreeSteps;
  text.replace(text.find("ON_FAIL"), 7, on_fail);
  return text;
}

TEST_F(RunnerTest, AllStepsPassAndFillTheirCommands) {
  auto r = run(plan(with_on_fail("stop")), {{"at+ftm,sn=SN.1", {reply("OK\n")}},
                                            {"at+ftm,sn=?", {reply("OK,SN.1\n")}},
                                            {"at+ftm,ftmver=?", {reply("OK,ftmver=V1.0\n")}}});
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(log_, (std::vector<std::string>{"at+ftm,sn=SN.1", "at+ftm,sn=?", "at+ftm,ftmver=?"}));
  ASSERT_EQ(r.steps.size(), 3u);
  EXPECT_EQ(r.steps[1].expect, "OK,SN.1\n");
  EXPECT_EQ(r.steps[2].attempts[0].exchanges[0].reply, "OK,ftmver=V1.0\n");
  EXPECT_NE(output_.find("PASS SN.1  3/3 steps passed"), std::string::npos) << output_;
  auto snap = state_.snapshot();
  EXPECT_EQ(snap.unit.verdict, "passed");
  EXPECT_EQ(snap.passed, 1);
  for (const auto& s : snap.unit.steps) EXPECT_EQ(s.state, StepState::kPassed);
}

TEST_F(RunnerTest, OnFailDecidesWhetherTheRestRuns) {
  struct Case {
    const char* on_fail;
    Verdict third;
    std::size_t sent;
  };
  for (auto c : {Case{"stop", Verdict::kSkipped, 2}, Case{"continue", Verdict::kPassed, 3}}) {
    log_.clear();
    auto r = run(plan(with_on_fail(c.on_fail)), {{"at+ftm,sn=SN.1", {reply("OK\n")}},
                                                 {"at+ftm,sn=?", {reply("ERROR,null\n")}},
                                                 {"at+ftm,ftmver=?", {reply("OK,ftmver=V1.0\n")}}});
    EXPECT_FALSE(r.passed) << c.on_fail;
    EXPECT_EQ(log_.size(), c.sent) << c.on_fail;
    EXPECT_EQ(r.steps[1].verdict, Verdict::kFailed);
    EXPECT_EQ(r.steps[1].message, "expected \"OK,SN.1\\n\", got \"ERROR,null\\n\"");
    EXPECT_EQ(r.message, "step \"two\": expected \"OK,SN.1\\n\", got \"ERROR,null\\n\"");
    EXPECT_EQ(r.steps[2].verdict, c.third) << c.on_fail;
    if (c.third == Verdict::kSkipped) {
      EXPECT_EQ(r.steps[2].message, "not run: step \"two\" failed");
    }
  }
}

TEST_F(RunnerTest, VariableValuesMatchLiterallyInARegex) {
  // "SN.1" must not match "SNx1" although "." is a regex wildcard.
  auto p = plan("  - name: back\n    send: \"at+ftm,sn=?\"\n    match: \"OK,{sn}\\n\"\n");
  auto r = run(p, {{"at+ftm,sn=?", {reply("OK,SNx1\n")}}});
  EXPECT_FALSE(r.passed);
  EXPECT_EQ(r.steps[0].message, "expected a reply matching \"OK,SN\\\\.1\\n\", got \"OK,SNx1\\n\"");
}

TEST_F(RunnerTest, RetriesUntilARightReplyAndRecordsEachAttempt) {
  auto p = plan("  - name: stick\n    send: at+ftm,udisk\n    expect: \"OK,udisk=1\\n\"\n    retries: 3\n");
  auto r = run(p, {{"at+ftm,udisk",
                    {reply("ERROR,Insert or Pull out Usb first\n"),
                     failure(LinkOutcome::kTimeout, "no reply"), reply("OK,udisk=1\n")}}});
  EXPECT_TRUE(r.passed);
  ASSERT_EQ(r.steps[0].attempts.size(), 3u);
  EXPECT_EQ(r.steps[0].attempts[0].message,
            "expected \"OK,udisk=1\\n\", got \"ERROR,Insert or Pull out Usb first\\n\"");
  EXPECT_EQ(r.steps[0].attempts[1].message, "no reply within 10 s");
  EXPECT_TRUE(r.steps[0].attempts[2].passed);
  EXPECT_EQ(state_.snapshot().unit.steps[0].attempt, 3);
}

TEST_F(RunnerTest, AnEmptyReplyIsCalledSo) {
  auto p = plan("  - name: key\n    send: at+ftm,keytest=1\n    expect: \"OK\\n\"\n    retries: 1\n");
  auto r = run(p, {{"at+ftm,keytest=1", {reply("")}}});
  EXPECT_FALSE(r.passed);
  EXPECT_EQ(r.steps[0].attempts.size(), 2u);
  EXPECT_EQ(r.steps[0].message, "expected \"OK\\n\", got an empty reply");
}

TEST_F(RunnerTest, APortFailureStopsTheUnitWithoutRetries) {
  auto p = plan(with_on_fail("continue") + "    retries: 5\n    on_fail: continue\n");
  auto r = run(p, {{"at+ftm,sn=SN.1", {reply("OK\n")}},
                   {"at+ftm,sn=?", {failure(LinkOutcome::kTransport, "read: Input/output error")}}});
  EXPECT_FALSE(r.passed);
  EXPECT_TRUE(r.transport_failed);
  EXPECT_EQ(r.steps[1].attempts.size(), 1u);
  EXPECT_TRUE(r.steps[1].transport_failed);
  EXPECT_EQ(r.steps[1].message, "port failed: read: Input/output error");
  EXPECT_EQ(r.steps[2].verdict, Verdict::kSkipped);
  EXPECT_EQ(r.steps[2].message, "not run: the port failed at step \"two\"");
  EXPECT_NE(output_.find("FAIL SN.1  1/3 steps passed, 1 failed, 1 skipped"), std::string::npos) << output_;
}

constexpr char kReboot[] = R"(  - name: reboot
    send: at+ftm,reboot=1
    expect: OK, tamo is rebooting...
    reconnect: true
    reconnect_within: 5
  - name: after
    send: at+ftm,swver=?
    match: "OK,swver=.*\n"
)";

TEST_F(RunnerTest, RebootReconnectsAndGoesOnOnTheNewPort) {
  std::chrono::milliseconds asked{0};
  reconnect_ = [&](std::chrono::milliseconds within, std::string*) -> std::unique_ptr<Transport> {
    asked = within;
    log_.push_back("reconnect");
    return std::make_unique<FakeLink>(log_, std::map<std::string, std::deque<pc::Exchange>>{
                                                {"at+ftm,ftmver=?", {reply("OK,ftmver=V1.0\n")}},
                                                {"at+ftm,swver=?", {reply("OK,swver=1.2.3\n")}}});
  };
  auto r = run(plan(kReboot), {{"at+ftm,reboot=1", {reply("OK, tamo is rebooting...")}}});
  EXPECT_TRUE(r.passed) << r.message;
  EXPECT_EQ(asked, 5s);
  EXPECT_EQ(log_,
            (std::vector<std::string>{"at+ftm,reboot=1", "reconnect", "at+ftm,ftmver=?", "at+ftm,swver=?"}));
  EXPECT_EQ(r.steps[0].attempts[0].exchanges.size(), 2u);  // the reboot and the probe
}

TEST_F(RunnerTest, ADeviceThatDoesNotComeBackIsAPortFailure) {
  reconnect_ = [&](std::chrono::milliseconds, std::string* error) -> std::unique_ptr<Transport> {
    *error = "/dev/fake did not appear";
    return nullptr;
  };
  auto r = run(plan(kReboot), {{"at+ftm,reboot=1", {reply("OK, tamo is rebooting...")}}});
  EXPECT_FALSE(r.passed);
  EXPECT_TRUE(r.transport_failed);
  EXPECT_EQ(r.steps[0].message, "the device did not come back within 5 s: /dev/fake did not appear");
  EXPECT_EQ(r.steps[1].verdict, Verdict::kSkipped);
}

TEST_F(RunnerTest, HandoverDownloadsAndComparesTheDigest) {
  const std::string body = "licence bytes";
  const std::string md5 = pc::md5_hex(body);
  std::string fetched;
  http_ = [&](const pc::HttpUrl& url, std::chrono::milliseconds) {
    fetched = url.host + url.path;
    pc::HttpFetch f;
    f.transport_ok = true;
    f.response.status = 200;
    f.response.body = body;
    return f;
  };
  struct Case {
    std::string confirm;
    bool passed;
    std::string message;
  };
  const Case cases[] = {
      {"OK," + md5 + ",0x1122\n\n", true, ""},
      {"OK,00000000000000000000000000000000,0x1122\n\n", false,
       "MD5 differs: the device reports 00000000000000000000000000000000 for device.lic, the 13 downloaded "
       "bytes have "
       "MD5 " +
           md5},
  };
  for (const auto& c : cases) {
    log_.clear();
    auto r = run(plan("  - name: lic\n    handover: devlic\n"),
                 {{"at+ftm,dantedevlic=?", {reply("OK,http://192.0.2.1/device.lic\n")}},
                  {"at+ftm,checkdantedevlic=?", {reply(c.confirm)}}});
    EXPECT_EQ(r.passed, c.passed) << c.confirm;
    EXPECT_EQ(r.steps[0].message, c.message);
    EXPECT_EQ(fetched, "192.0.2.1/device.lic");
    EXPECT_EQ(log_, (std::vector<std::string>{"at+ftm,dantedevlic=?", "at+ftm,checkdantedevlic=?"}));
    const auto& h = *r.steps[0].attempts[0].handover;
    EXPECT_EQ(h.bytes, body.size());
    EXPECT_EQ(h.md5, md5);
    EXPECT_EQ(h.hardware_id, "0x1122");  // its line end removed
  }
}

TEST_F(RunnerTest, PromptComesBeforeTheCommandAndIsClearedAfter) {
  auto p = plan(
      "  - name: key\n    prompt: Press the reset key now\n    action: reset-key\n    send: "
      "at+ftm,keytest=1\n"
      "    expect: \"OK\\n\"\n  - name: plug\n    prompt: Plug it\n    confirm: true\n    send: "
      "at+ftm,triggerin=?\n"
      "    expect: \"OK,triggerin=1\\n\"\n");
  auto r =
      run(p, {{"at+ftm,keytest=1", {reply("OK\n")}}, {"at+ftm,triggerin=?", {reply("OK,triggerin=1\n")}}});
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(log_, (std::vector<std::string>{"prompt reset-key: Press the reset key now", "at+ftm,keytest=1",
                                            "prompt  confirm: Plug it", "at+ftm,triggerin=?"}));
  EXPECT_EQ(operator_.shown_, "Plug it");
  EXPECT_EQ(state_.snapshot().prompt, "");
}

TEST_F(RunnerTest, AnInterruptEndsTheStepUnderWayAndSkipsTheRest) {
  auto p = plan(
      "  - name: one\n    send: a\n    expect: \"OK\\n\"\n"
      "  - name: two\n    prompt: stop now\n    action: ctrl-c\n    send: b\n    expect: \"OK\\n\"\n    "
      "retries: 5\n"
      "    on_fail: continue\n"
      "  - name: three\n    send: c\n    expect: \"OK\\n\"\n");
  auto r = run(p, {{"a", {reply("OK\n")}}, {"b", {reply("ERROR\n")}}, {"c", {reply("OK\n")}}});
  EXPECT_FALSE(r.passed);
  EXPECT_TRUE(r.interrupted);
  EXPECT_EQ(r.steps[1].attempts.size(), 1u);  // no retries once interrupted
  EXPECT_EQ(r.steps[2].verdict, Verdict::kSkipped);
  EXPECT_EQ(r.steps[2].message, "not run: the run was interrupted");
  EXPECT_EQ(log_, (std::vector<std::string>{"a", "prompt ctrl-c: stop now", "b"}));
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
      {"OK\n", {}, "OK", "expected a reply matching \"OK\", got \"OK\\n\""},  // whole reply
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
