// The station view's script in a real browser: two slots ask the operator
// at once and each tile answers its own question, only with the token on a
// view that is not loopback; the end of the station stays readable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <regex>

#include "live_state.h"
#include "operator_desk.h"
#include "view_browser.h"
#include "wait_until.h"
#include "web_server.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
using testing::HeadlessChromium;

constexpr int kWidth = 1600;
constexpr int kHeight = 900;
constexpr auto kPageDeadline = 60s;

// Asks `question` for slot `index` as a slot's runner does: the question
// shows in the live state while it is open, its answer after.
std::future<std::optional<Answer>> ask(LiveState& state, OperatorDesk& desk, std::size_t index,
                                       Question question) {
  return std::async(std::launch::async, [&state, &desk, index, question] {
    const std::string name = state.snapshot().slots[index].name;
    auto answer = desk.ask(name, question, [&](const OpenQuestion& open) {
      state.update_slot(index, [&](SlotView& s) {
        s.question = {open.id, question_kind_name(question.kind), question.text, question.pattern,
                      question.step};
      });
    });
    state.update_slot(index, [&](SlotView& s) {
      s.question = {};
      s.unit.steps.back().answer = answer ? answer->value : "";
    });
    return answer;
  });
}

std::string in_tile(const std::string& slot, const std::string& selector) {
  return "document.querySelector('[data-slot=\"" + slot + "\"] " + selector + "')";
}

TEST(StationViewInChromium, TwoSlotsAnswerTheirOwnQuestionsAndTheEndStaysReadable) {
  if (access(testing::kChromiumPath, X_OK) != 0)
    GTEST_SKIP() << testing::kChromiumPath << " is not installed";
  LiveState state;
  OperatorDesk desk;
  state.update([](StationSnapshot& s) {
    s.station = "line-3";
    s.operator_name = "ann";
    s.status = "running";
    for (const char* name : {"a", "b"}) {
      SlotView& slot = s.slots.emplace_back();
      slot.name = name;
      slot.unit.serial = std::string("SN000") + (name[0] == 'a' ? "1" : "2");
      slot.unit.verdict = "running";
      slot.unit.steps.resize(2);
      slot.unit.steps[0].name = "mcu version";
      slot.unit.steps[0].state = StepState::kFailed;
      slot.unit.steps[0].reply = "<img src=x onerror=alert(1)>\x01\n";
      slot.unit.steps[1].name = "operator";
      slot.unit.steps[1].state = StepState::kRunning;
    }
  });
  std::string error;
  // Not loopback: answering needs the token.
  auto view = WebServer::start(state, desk, {"0.0.0.0", 0, "", "ann"}, &error);
  ASSERT_NE(view, nullptr) << error;
  const std::string base = "http://127.0.0.1:" + std::to_string(view->port()) + "/";
  const std::string token = view->url().substr(view->url().find("?token="));

  // Without the token the page shows the questions as they open, and only that.
  auto browser = HeadlessChromium::open(base, kWidth, kHeight, &error);
  ASSERT_TRUE(browser) << error;
  ASSERT_TRUE(browser->wait_until("document.body?.dataset.live === '1'", kPageDeadline, &error)) << error;
  auto judged = ask(state, desk, 0, {QuestionKind::kJudge, "Is the LED red?", "", "operator", ""});
  auto scanned = ask(state, desk, 1, {QuestionKind::kScan, "Scan the label", "SN[0-9]{6}", "operator", ""});
  ASSERT_TRUE(browser->wait_until("document.querySelectorAll('.ask:not([hidden]) .ask-text').length === 2",
                                  kPageDeadline, &error))
      << error;
  EXPECT_EQ(browser->evaluate(in_tile("a", ".ask-text") + ".textContent", &error), "Is the LED red?");
  EXPECT_EQ(browser->evaluate("document.querySelectorAll('.ask button, .ask input').length", &error), 0);
  EXPECT_EQ(
      browser->evaluate("document.getElementById('notice').textContent.startsWith('Read-only')", &error),
      true);

  // With it (the link the station prints), each tile answers its own
  // question, with the badge scanned once.
  browser->evaluate("location.href = '" + base + token + "'", &error);
  ASSERT_TRUE(browser->wait_until("document.body?.dataset.live === '1' && location.search === '' && " +
                                      in_tile("b", "input.scan") + " !== null",
                                  kPageDeadline, &error))
      << error;
  EXPECT_EQ(browser->evaluate("getComputedStyle(document.getElementById('notice')).display", &error), "none");
  browser->evaluate("document.getElementById('badge').focus()", &error);
  ASSERT_TRUE(browser->scan("B-17", &error)) << error;
  // The scan field has the focus once the badge is taken: the scanner types there.
  ASSERT_TRUE(
      browser->wait_until("document.activeElement === " + in_tile("b", "input.scan"), kPageDeadline, &error))
      << error;
  ASSERT_TRUE(browser->scan("SN12", &error)) << error;
  ASSERT_TRUE(browser->wait_until(
      in_tile("b", ".ask-status.refusal") +
          "?.textContent === " + "'the scanned value \"SN12\" does not match the pattern \"SN[0-9]{6}\"'",
      kPageDeadline, &error))
      << error;
  ASSERT_TRUE(browser->scan("SN123456", &error)) << error;  // the refused text is selected, so replaced
  browser->evaluate(in_tile("a", "button.pass") + ".click()", &error);
  for (auto* asked : {&judged, &scanned})
    ASSERT_EQ(asked->wait_for(kPageDeadline), std::future_status::ready);
  const auto judgement = judged.get(), label = scanned.get();
  ASSERT_TRUE(judgement && label);
  EXPECT_EQ(judgement->value + " " + judgement->who + " " + judgement->channel, "pass B-17 web");
  EXPECT_EQ(label->value + " " + label->who, "SN123456 B-17");
  EXPECT_TRUE(browser->wait_until("document.querySelectorAll('.ask:not([hidden])').length === 0",
                                  kPageDeadline, &error))
      << error;
  // A device's reply is text on the page, never an element.
  EXPECT_EQ(browser->evaluate("document.querySelectorAll('img').length", &error), 0) << error;
  EXPECT_EQ(browser->evaluate(in_tile("a", ".failure pre") + ".textContent", &error),
            "<img src=x onerror=alert(1)>\\x01");

  // The station ends: the page says so, and keeps saying so once the
  // station is gone.
  state.update([](StationSnapshot& s) {
    s.slots[0].unit.verdict = "passed";
    s.slots[0].passed = 1;
    s.slots[1].unit.verdict = "aborted";
    s.slots[1].aborted = 1;
    s.status = "finished";
    s.ended = true;
  });
  view->linger(30s);
  view.reset();
  ASSERT_TRUE(browser->wait_until("!document.getElementById('ended').hidden", kPageDeadline, &error))
      << error;
  const auto ended = browser->evaluate("document.getElementById('ended').textContent", &error);
  ASSERT_TRUE(ended && ended->is_string()) << error;
  EXPECT_TRUE(std::regex_match(ended->get<std::string>(),
                               std::regex("The station has finished at [0-2][0-9]:[0-5][0-9]: 1 passed, 0 "
                                          "failed, 1 aborted")))
      << *ended;
  EXPECT_EQ(browser->evaluate(in_tile("b", ".verdict") + ".textContent", &error), "ABORTED");
  // Longer than the page's retry: it has stopped asking, so it never says the connection is lost.
  EXPECT_FALSE(browser->wait_until("document.body.dataset.live === '0'", 3s, &error));
  EXPECT_EQ(browser->evaluate("getComputedStyle(document.getElementById('link'), '::after').content", &error),
            "\" finished\"");
  const std::string profile = browser->directory().string();
  browser.reset();
  EXPECT_EQ(testing::processes_mentioning(profile), 0) << "chromium processes left behind";
}

}  // namespace
}  // namespace ftmd::station
