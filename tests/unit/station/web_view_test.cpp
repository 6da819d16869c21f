#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "live_state.h"
#include "operator_desk.h"
#include "wait_until.h"
#include "web_page.h"
#include "web_server.h"
#include "web_view.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;
using test::wait_until;

// A reply a broken or hostile device could send: markup that would end the
// page's script, an escape sequence, NUL and DEL.
const std::string kNastyReply =
    std::string("</script><script>alert(1)</script>\x1b[1m\x01") + '\0' + "\x7f\"'&\n";

StepView step(const char* name, StepState state, const std::string& reply = "") {
  StepView view;
  view.name = name;
  view.state = state;
  view.reply = reply;
  return view;
}

StationSnapshot sample_snapshot() {
  StationSnapshot s;
  s.version = 7;
  s.station = "line-3 <b>";
  s.operator_name = "ann";
  SlotView& a = s.slots.emplace_back();
  a.name = "a";
  a.port = "/dev/serial/by-id/usb-FTM_1234-if00";
  a.status = "running";
  a.passed = 4;
  a.failed = 1;
  a.unit.serial = "SN0042";
  a.unit.verdict = "running";
  a.unit.steps = {step("mcu version", StepState::kFailed, kNastyReply),
                  step("usb stick", StepState::kPassed, "OK,\xff\xfe\n"),
                  step("led red", StepState::kRunning)};
  a.measured = {{.step = 1, .text = "logic_adc = 95 raw (limits 20 .. 80)", .passed = false}};
  a.question = {.id = 3, .kind = "judge", .text = "Is the LED <red>?", .pattern = "", .step = "led red"};
  SlotView& b = s.slots.emplace_back();
  b.name = "b";
  b.waiting_for_fixture = "trigger plug";
  b.fixture_holder = "a";
  return s;
}

std::string http_get(int port, const std::string& path, int* status = nullptr,
                     const httplib::Headers& headers = {}) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  const auto result = client.Get(path, headers);
  if (!result) return "<no answer: " + httplib::to_string(result.error()) + ">";
  if (status) *status = result->status;
  return result->body;
}

// The JSON carries every slot and its texts exactly (what is not UTF-8 as
// U+FFFD, as JSON cannot carry it), and the page embeds it as data that no
// text can end early: the page's own script is its only script.
TEST(WebPage, CarriesTheStateExactlyAndNoTextBecomesMarkup) {
  const std::string text = station_state_json(sample_snapshot(), {Access::kWrongToken, "14:05"});
  for (const char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << "raw control byte in JSON";
  const json state = json::parse(text);
  EXPECT_EQ(state["access"], "wrong-token");
  EXPECT_EQ(state["ended_at"], "14:05");
  ASSERT_EQ(state["slots"].size(), 2u);
  EXPECT_EQ(state["slots"][0]["unit"]["steps"][0]["reply"], kNastyReply);
  EXPECT_EQ(state["slots"][0]["unit"]["steps"][1]["reply"], "OK,\ufffd\ufffd\n");
  EXPECT_EQ(state["slots"][0]["unit"]["steps"][1]["measured"], "logic_adc = 95 raw (limits 20 .. 80)");
  EXPECT_FALSE(state["slots"][0]["unit"]["steps"][0].contains("measured"));
  EXPECT_EQ(state["slots"][0]["question"]["id"], 3);
  EXPECT_EQ(state["slots"][0]["question"]["text"], "Is the LED <red>?");
  EXPECT_TRUE(state["slots"][1]["question"].is_null());
  EXPECT_EQ(state["slots"][1]["waiting_for_fixture"], "trigger plug");

  const std::string page = render_station_page(text);
  const std::string open = "<script type=\"application/json\" id=\"first-state\">";
  const auto data = page.find(open) + open.size();
  ASSERT_NE(data, std::string::npos + open.size());
  EXPECT_EQ(json::parse(page.substr(data, page.find("</script>", data) - data)), state);
  // One script that runs, nothing fetched from elsewhere, no raw control byte.
  EXPECT_EQ(page.find("<script>"), page.rfind("<script"));
  for (const char* outside : {"http://", "https://", "src=", "href=", "@import", "url("})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  for (const char c : page) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE((byte < 0x20 && c != '\n') || byte == 0x7f) << "raw control byte " << int(byte);
  }
}

TEST(WebView, LoopbackIsOnly127AndColonColon1) {
  for (const char* loopback : {"127.0.0.1", "127.0.0.2", "::1", "localhost"})
    EXPECT_TRUE(is_loopback_address(loopback)) << loopback;
  for (const char* open : {"0.0.0.0", "::", "192.0.2.7", "", "no.such.host.invalid"})
    EXPECT_FALSE(is_loopback_address(open)) << open;
  const std::string a = new_answer_token(), b = new_answer_token();
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9a-f]{32}"))) << a;
  EXPECT_NE(a, b);
}

class WebServerTest : public ::testing::Test {
 protected:
  void start(const WebViewConfig& config) {
    state_.update([](StationSnapshot& s) {
      const auto version = s.version;
      s = sample_snapshot();
      s.version = version;
    });
    std::string error;
    view_ = WebServer::start(state_, desk_, config, &error);
    ASSERT_NE(view_, nullptr) << error;
  }
  void SetUp() override { start({"127.0.0.1", 0, "", "ann"}); }

  std::future<std::string> long_poll(std::uint64_t since, const std::string& page = "") {
    return std::async(std::launch::async, [port = view_->port(), since, page] {
      return http_get(port,
                      "/api/state?since=" + std::to_string(since) + (page.empty() ? "" : "&page=" + page));
    });
  }
  // Posts `body` as an answer; the status and the refusal ("" if accepted).
  std::pair<int, std::string> post(const std::string& body, const std::string& token = "",
                                   const char* type = "application/json") {
    httplib::Client client("127.0.0.1", view_->port());
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("X-Answer-Token", token);
    const auto result = client.Post("/api/answer", headers, body, type);
    if (!result) return {0, "no answer"};
    const auto answer = json::parse(result->body, nullptr, false);
    return {result->status, answer.is_object() ? answer.value("refusal", "") : result->body};
  }

  LiveState state_;
  OperatorDesk desk_;
  std::unique_ptr<WebServer> view_;
};

TEST_F(WebServerTest, ServesThePageTheStateAndNothingElse) {
  int status = 0;
  EXPECT_NE(http_get(view_->port(), "/", &status).find("Is the LED \\u003cred\\u003e?"), std::string::npos);
  EXPECT_EQ(status, 200);
  const auto state = json::parse(http_get(view_->port(), "/api/state", &status));
  EXPECT_EQ(state["version"], state_.snapshot().version);
  EXPECT_EQ(state["access"], "open");
  EXPECT_EQ(view_->url(), "http://127.0.0.1:" + std::to_string(view_->port()) + "/");
  for (const char* path : {"/nope", "/api/state/x", "/../etc/passwd", "/api/state?since=",
                           "/api/state?since=-1", "/api/state?since=99999999999999999999999"}) {
    http_get(view_->port(), path, &status);
    EXPECT_EQ(status, std::string(path).find('=') == std::string::npos ? 404 : 400) << path;
  }
  EXPECT_EQ(httplib::Client("127.0.0.1", view_->port()).Post("/", "x", "text/plain")->status, 404);
}

// On an address that is not loopback an answer needs the token; whatever is
// refused answers nothing and the first accepted answer wins, given by the
// station's operator when the page sends no badge. Reading stays open.
TEST_F(WebServerTest, AnswersReachTheDeskOnlyWithTheToken) {
  view_.reset();
  start({"0.0.0.0", 0, "", "ann"});
  const std::string token = view_->url().substr(view_->url().find("?token=") + 7);
  ASSERT_EQ(token.size(), 32u) << view_->url();
  auto asked = std::async(std::launch::async, [&] {
    return desk_.ask("b", {QuestionKind::kScan, "Scan the label", "SN[0-9]{4}", "label", ""});
  });
  ASSERT_TRUE(wait_until([&] { return desk_.open_questions().size() == 1; }, 10s));
  const std::string id = std::to_string(desk_.open_questions()[0].id);
  const std::string good = R"({"slot":"b","question":)" + id + R"(,"value":"SN0001"})";
  struct Case {
    std::string body, token;
    const char* type;
    int status;
    std::string refusal;
  };
  const Case cases[] = {
      {good, token, "text/plain", 415, "an answer is sent as application/json"},
      {good, "", "application/json", 403,
       "answering here needs the token the station printed when it started"},
      {good, token + "0", "application/json", 403, "the token is not this station's"},
      {"[1]", token, "application/json", 400, "an answer is a JSON object"},
      {R"({"slot":"b","question":0,"value":"x"})", token, "application/json", 400,
       "\"question\" must be the open question's id (a whole number above 0)"},
      {R"({"slot":"b","question":)" + id + R"(,"value":7})", token, "application/json", 400,
       "\"value\" must be a text"},
      {R"({"slot":"b","question":)" + id + R"(,"value":"SN0001","badge":"a\u0001"})", token,
       "application/json", 400, "a badge is at most 64 printable characters, without control bytes"},
      {R"({"slot":"a","question":)" + id + R"(,"value":"SN0001"})", token, "application/json", 409,
       "slot a has no open question " + id},
      {R"({"slot":"b","question":)" + id + R"(,"value":"SN01"})", token, "application/json", 409,
       "the scanned value \"SN01\" does not match the pattern \"SN[0-9]{4}\""},
      {good, token, "application/json", 200, ""},
      {good, token, "application/json", 409, "slot b has no open question " + id},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(post(c.body, c.token, c.type), std::make_pair(c.status, c.refusal)) << c.body << " " << c.token;
  }
  ASSERT_EQ(asked.wait_for(10s), std::future_status::ready);
  const auto answer = asked.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->value, "SN0001");
  EXPECT_EQ(answer->who + " " + answer->channel, std::string("ann ") + kChannelWeb);

  for (auto [sent, access] :
       {std::pair{std::string(), "no-token"}, {token, "token"}, {"nope", "wrong-token"}}) {
    int status = 0;
    const auto state =
        json::parse(http_get(view_->port(), "/api/state", &status, {{"X-Answer-Token", sent}}));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(state["access"], access) << sent;
  }
}

TEST_F(WebServerTest, LongPollAnswersAChangeAtOnceAndNoChangeAfterItsWait) {
  const auto seen = state_.snapshot().version;
  auto answer = long_poll(seen);
  ASSERT_TRUE(wait_until([&] { return view_->watchers() == 1; }, 20s));
  state_.update_slot(0, [](SlotView& s) { s.unit.steps[2].state = StepState::kPassed; });
  ASSERT_EQ(answer.wait_for(5s), std::future_status::ready) << "the long-poll did not answer the change";
  const auto state = json::parse(answer.get());
  EXPECT_EQ(state["version"], seen + 1);
  EXPECT_EQ(state["slots"][0]["unit"]["steps"][2]["state"], "passed");
  EXPECT_EQ(json::parse(long_poll(0).get())["version"], seen + 1);  // an old version: at once

  const auto start = Clock::now();
  EXPECT_EQ(json::parse(long_poll(seen + 1).get())["version"], seen + 1);
  EXPECT_GE(Clock::now() - start, 9s);
  EXPECT_LT(Clock::now() - start, 20s);
}

// linger() holds the station's exit until every open page has been handed
// the ended state (with the time it ended), and no longer than it is told.
TEST_F(WebServerTest, LingerWaitsForOpenPagesToSeeTheEnd) {
  const auto seen = state_.snapshot().version;
  http_get(view_->port(), "/api/state?page=gone");  // a page that was closed since
  auto open_page = long_poll(seen, "open");
  ASSERT_TRUE(wait_until([&] { return view_->watchers() == 1; }, 20s));
  const auto start = Clock::now();
  auto lingering = std::async(std::launch::async, [&] { view_->linger(30s); });
  EXPECT_EQ(lingering.wait_for(500ms), std::future_status::timeout) << "linger() did not wait for the page";
  state_.update([](StationSnapshot& s) { s.ended = true; });
  const auto state = json::parse(open_page.get());
  EXPECT_EQ(state["ended"], true);
  EXPECT_TRUE(std::regex_match(state["ended_at"].get<std::string>(), std::regex("[0-2][0-9]:[0-5][0-9]")));
  // The closed page is given up after a few seconds.
  EXPECT_EQ(lingering.wait_for(20s), std::future_status::ready);
  EXPECT_LT(Clock::now() - start, 20s);
}

TEST_F(WebServerTest, StopsPromptlyWithLongPollsAndAnIdleBrowserConnectionOpen) {
  std::vector<std::future<std::string>> polls(3);
  for (auto& poll : polls) poll = long_poll(state_.snapshot().version);
  // A browser keeps its connection open between requests.
  httplib::Client browser("127.0.0.1", view_->port());
  browser.set_keep_alive(true);
  ASSERT_TRUE(browser.Get("/api/state"));
  ASSERT_TRUE(wait_until([&] { return view_->watchers() == 3; }, 20s));

  const auto start = Clock::now();
  view_.reset();
  EXPECT_LT(Clock::now() - start, 2500ms);
  for (auto& poll : polls) EXPECT_EQ(poll.wait_for(10s), std::future_status::ready);
}

TEST(WebServer, RefusesAPortInUseAndABadAddress) {
  LiveState state;
  OperatorDesk desk;
  std::string error;
  auto first = WebView::start(state, desk, {"127.0.0.1", 0, {}, {}}, &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(WebView::start(state, desk, {"127.0.0.1", first->port(), {}, {}}, &error), nullptr);
  EXPECT_EQ(error,
            "cannot listen on 127.0.0.1:" + std::to_string(first->port()) + ": Address already in use");
  EXPECT_EQ(WebView::start(state, desk, {"no.such.host.invalid", 0, {}, {}}, &error), nullptr);
  EXPECT_TRUE(error.starts_with("cannot listen on no.such.host.invalid:0: ")) << error;
  // Not an address of this host.
  EXPECT_EQ(WebView::start(state, desk, {"192.0.2.77", 0, {}, {}}, &error), nullptr);
  EXPECT_NE(error.find("Cannot assign requested address"), std::string::npos) << error;
  EXPECT_EQ(WebView::start(state, desk, {"127.0.0.1", 70000, {}, {}}, &error), nullptr);
  EXPECT_NE(error.find("70000"), std::string::npos);
}

TEST(WebServer, StartAndStopLeaveNoThreadOrDescriptorBehind) {
  const auto count = [](const char* dir) {
    return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
  };
  LiveState state;
  OperatorDesk desk;
  // One round first, so lazily made process-wide things are not counted.
  { auto view = WebView::start(state, desk, {"127.0.0.1", 0, {}, {}}, nullptr); }
  const auto fds = count("/proc/self/fd"), threads = count("/proc/self/task");
  for (int i = 0; i < 5; ++i) {
    std::string error;
    auto view = WebView::start(state, desk, {"127.0.0.1", 0, {}, {}}, &error);
    ASSERT_NE(view, nullptr) << error;
    int status = 0;
    http_get(view->port(), "/", &status);
    EXPECT_EQ(status, 200);
  }
  EXPECT_EQ(count("/proc/self/fd"), fds);
  EXPECT_EQ(count("/proc/self/task"), threads);
}

}  // namespace
}  // namespace ftmd::station
