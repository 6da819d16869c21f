#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "live_state.h"
#include "wait_until.h"
#include "web_page.h"
#include "web_server.h"
#include "web_view.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::wait_until;

// A reply a broken or hostile device could send: markup, an escape
// sequence, NUL and DEL.
const std::string kNastyReply = std::string("<script>alert(1)</script>\x1b[1m\x01") + '\0' + "\x7f\"'&\n";

StationSnapshot sample_snapshot() {
  StationSnapshot s;
  s.version = 7;
  s.station = "line-3 <b>";
  SlotView& slot = s.slots.emplace_back();
  slot.port = "/dev/serial/by-id/usb-FTM_1234-if00";
  slot.status = "running";
  slot.prompt = "Press the reset key now & hold";
  slot.passed = 4;
  slot.failed = 1;
  slot.unit = {.serial = "SN0042",
               .hwid = "",
               .plan = "default",
               .index = 5,
               .count = 9,
               .verdict = "running",
               .steps = {}};
  slot.unit.steps = {
      {"identity", "AT+SN=SN0042", StepState::kPassed, 1, 1, 120, 5000, "OK\n", "", "", "", "", ""},
      {"mcu version", "AT+MCUVER?", StepState::kFailed, 3, 3, 10000, 10000, kNastyReply,
       "expected \"OK\" <got>", "", "", "", ""},
      {"reset key", "AT+KEY", StepState::kRunning, 1, 1, 4100, 15000, "", "waiting for the key", "", "", "",
       ""},
      {"usb stick", "AT+USB", StepState::kPending, 0, 1, 0, 5000, "OK,\xff\xfe\n", "", "", "", "", ""},
      {"reboot", "AT+REBOOT", StepState::kSkipped, 0, 1, 0, 5000, "", "", "", "", "", ""},
  };
  return s;
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// The text a browser shows for `page` (hidden parts too): style and script
// left out, tags taken away, entities read, white space runs as one space.
std::string shown_text(std::string page) {
  for (std::string element : {"style", "script"}) {
    const std::string open = "<" + element + ">", close = "</" + element + ">";
    for (auto at = page.find(open); at != std::string::npos; at = page.find(open, at))
      page.erase(at, page.find(close, at) + close.size() - at);
  }
  std::string text;
  bool in_tag = false;
  for (const char c : page) {
    if (c == '<' || c == '>') in_tag = c == '<';
    text += in_tag || c == '>' ? ' ' : c;
  }
  for (auto [entity, ch] : {std::pair{"&lt;", "<"},
                            {"&gt;", ">"},
                            {"&quot;", "\""},
                            {"&#39;", "'"},
                            {"&nbsp;", " "},
                            {"&amp;", "&"}})
    replace_all(text, entity, ch);
  std::string collapsed;
  for (const char c : text) {
    const bool space = c == ' ' || c == '\n' || c == '\t';
    if (!space || !collapsed.ends_with(' ')) collapsed += space ? ' ' : c;
  }
  return collapsed;
}

std::string http_get(int port, const std::string& path, int* status = nullptr) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  const auto result = client.Get(path);
  if (!result) return "<no answer: " + httplib::to_string(result.error()) + ">";
  if (status) *status = result->status;
  return result->body;
}

TEST(WebPageText, EscapesMarkupAndShowsControlBytes) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"OK\n", "OK"},
      {"OK\r\n", "OK"},
      {"two\n\n", "two\n"},
      {"a<b>&c", "a&lt;b&gt;&amp;c"},
      {"\"'", "&quot;&#39;"},
      {"tab\there", "tab\there"},
      {std::string("x\0y", 3), "x\\x00y"},
      {"\x1b[1m\r mid\x7f", "\\x1b[1m\\x0d mid\\x7f"},
      {"caf\xc3\xa9 \xe6\xb5\x8b", "caf\xc3\xa9 \xe6\xb5\x8b"},
  };
  for (const Case& c : cases) EXPECT_EQ(html_text(c.in), c.out) << "input: " << c.in;
}

// What the operator reads on the page before its script runs: every step
// with its state, the running step's clock, the failure, the prompt, and a
// device's reply as text, never as markup.
TEST(WebPage, ShowsTheUnitAsTextWhateverTheDeviceSent) {
  const std::string page = render_station_page(sample_snapshot());
  const std::string text = shown_text(page);
  for (const char* shown :
       {"line-3 <b>", "SN0042", "Unit 5 of 9", "TESTING", "4 passed", "1 failed",
        "Press the reset key now & hold", "identity AT+SN=SN0042 \u2714 passed 120 ms OK",
        "\u2718 failed 3/3 10.0 s", "\u25b6 running 4.1 / 15 s", "usb stick AT+USB \u00b7 pending",
        "\u2013 skipped", "reset key AT+KEY 4.1 / 15 s", "\u2718 mcu version expected \"OK\" <got>",
        "<script>alert(1)</script>\\x1b[1m\\x01\\x00\\x7f\"'&"})
    EXPECT_NE(text.find(shown), std::string::npos) << shown << "\nin: " << text;
  // Only the page's own script, nothing fetched from elsewhere, no raw
  // control byte.
  EXPECT_EQ(page.find("<script"), page.rfind("<script"));
  for (const char* outside : {"http://", "https://", "src=", "href=", "@import"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  for (const char c : page) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) << "raw control byte " << int(byte);
  }
  const std::string idle = shown_text(render_station_page(StationSnapshot{}));
  EXPECT_NE(idle.find("WAITING"), std::string::npos) << idle;
  EXPECT_NE(idle.find("\u2014"), std::string::npos) << idle;  // no serial number yet
}

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_.update([](StationSnapshot& s) {
      const auto version = s.version;
      s = sample_snapshot();
      s.version = version;
    });
    std::string error;
    view_ = WebServer::start(state_, "127.0.0.1", 0, &error);
    ASSERT_NE(view_, nullptr) << error;
  }

  std::future<std::string> long_poll(std::uint64_t since) {
    return std::async(std::launch::async, [port = view_->port(), since] {
      return http_get(port, "/api/state?since=" + std::to_string(since));
    });
  }

  LiveState state_;
  std::unique_ptr<WebServer> view_;
};

// The state as JSON carries texts exactly; what is not UTF-8 becomes
// U+FFFD, as JSON cannot carry it.
TEST_F(WebServerTest, ServesThePageTheStateAndNothingElse) {
  int status = 0;
  EXPECT_NE(http_get(view_->port(), "/", &status).find("Press the reset key now"), std::string::npos);
  EXPECT_EQ(status, 200);
  const std::string text = http_get(view_->port(), "/api/state", &status);
  for (const char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << "raw control byte in JSON";
  const auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json["version"], state_.snapshot().version);
  EXPECT_EQ(json["prompt"], "Press the reset key now & hold");
  EXPECT_EQ(json["unit"]["steps"][1]["reply"], kNastyReply);
  EXPECT_EQ(json["unit"]["steps"][2]["timeout_ms"], 15000);
  EXPECT_EQ(json["unit"]["steps"][3]["reply"], "OK,\ufffd\ufffd\n");
  for (const char* path : {"/nope", "/api/state/x", "/../etc/passwd", "/api/state?since=",
                           "/api/state?since=-1", "/api/state?since=99999999999999999999999"}) {
    http_get(view_->port(), path, &status);
    EXPECT_EQ(status, std::string(path).find('=') == std::string::npos ? 404 : 400) << path;
  }
  EXPECT_EQ(httplib::Client("127.0.0.1", view_->port()).Post("/", "x", "text/plain")->status, 404);
}

TEST_F(WebServerTest, LongPollAnswersAChangeAtOnceAndNoChangeAfterItsWait) {
  const auto seen = state_.snapshot().version;
  auto answer = long_poll(seen);
  ASSERT_TRUE(wait_until([&] { return view_->watchers() == 1; }, 20s));
  state_.update([](StationSnapshot& s) { s.slots[0].unit.steps[2].state = StepState::kPassed; });
  ASSERT_EQ(answer.wait_for(5s), std::future_status::ready) << "the long-poll did not answer the change";
  const auto json = nlohmann::json::parse(answer.get());
  EXPECT_EQ(json["version"], seen + 1);
  EXPECT_EQ(json["unit"]["steps"][2]["state"], "passed");
  EXPECT_EQ(nlohmann::json::parse(long_poll(0).get())["version"], seen + 1);  // an old version: at once

  const auto start = Clock::now();
  EXPECT_EQ(nlohmann::json::parse(long_poll(seen + 1).get())["version"], seen + 1);
  EXPECT_GE(Clock::now() - start, 9s);
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
  std::string error;
  auto first = WebServer::start(state, "127.0.0.1", 0, &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(WebServer::start(state, "127.0.0.1", first->port(), &error), nullptr);
  EXPECT_EQ(error,
            "cannot listen on 127.0.0.1:" + std::to_string(first->port()) + ": Address already in use");
  EXPECT_EQ(WebServer::start(state, "no.such.host.invalid", 0, &error), nullptr);
  EXPECT_TRUE(error.starts_with("cannot listen on no.such.host.invalid:0: ")) << error;
  EXPECT_EQ(WebServer::start(state, "192.0.2.77", 0, &error), nullptr);  // not an address of this host
  EXPECT_NE(error.find("Cannot assign requested address"), std::string::npos) << error;
  OperatorDesk desk;
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
