#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "common/unique_fd.h"
#include "live_state.h"
#include "web_page.h"
#include "web_server.h"
#include "web_view.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A reply a broken or hostile device could send: markup, an escape
// sequence, NUL and DEL.
const std::string kNastyReply = std::string("<script>alert(1)</script>\x1b[1m\x01") + '\0' + "\x7f\"'&\n";

StationSnapshot sample_snapshot() {
  StationSnapshot s;
  s.version = 7;
  s.station = "line-3 <b>";
  s.port = "/dev/serial/by-id/usb-FTM_1234-if00";
  s.status = "running";
  s.prompt = "Press the reset key now & hold";
  s.passed = 4;
  s.failed = 1;
  s.unit = {.serial = "SN0042", .plan = "default", .index = 5, .count = 9, .verdict = "running", .steps = {}};
  s.unit.steps = {
      {"identity", "AT+SN=SN0042", StepState::kPassed, 1, 1, 120, 5000, "OK\n", ""},
      {"mcu version", "AT+MCUVER?", StepState::kFailed, 3, 3, 10000, 10000, kNastyReply,
       "expected \"OK\" <got>"},
      {"reset key", "AT+KEY", StepState::kRunning, 1, 1, 4100, 15000, "", "waiting for the key"},
      {"usb stick", "AT+USB", StepState::kPending, 0, 1, 0, 5000, "", ""},
      {"reboot", "AT+REBOOT", StepState::kSkipped, 0, 1, 0, 5000, "", ""},
  };
  return s;
}

std::string http_get(int port, const std::string& path, int* status = nullptr) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  const auto result = client.Get(path.c_str());
  if (!result) return "<no answer: " + httplib::to_string(result.error()) + ">";
  if (status) *status = result->status;
  return result->body;
}

TEST(WebPageText, EscapesMarkupAndShowsControlBytes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"OK\n", "OK"},
      {"OK\r\n", "OK"},
      {"two\n\n", "two\n"},
      {"a<b>&c", "a&lt;b&gt;&amp;c"},
      {"\"'", "&quot;&#39;"},
      {"tab\there", "tab\there"},
      {std::string("x\0y", 3), "x\\x00y"},
      {"\x1b[1m", "\\x1B[1m"},
      {"\r mid", "\\x0D mid"},
      {"\x7f", "\\x7F"},
      {"caf\xc3\xa9 \xe6\xb5\x8b", "caf\xc3\xa9 \xe6\xb5\x8b"},
  };
  for (const Case& c : cases) EXPECT_EQ(html_text(c.in), c.out) << "input: " << c.in;
}

TEST(WebPage, RendersEveryStepStateThePromptAndTheVerdict) {
  const std::string page = render_station_page(sample_snapshot());
  for (const char* row :
       {"<tr class=\"step step-passed\"", "<tr class=\"step step-failed\"", "<tr class=\"step step-running\"",
        "<tr class=\"step step-pending\"", "<tr class=\"step step-skipped\""}) {
    EXPECT_NE(page.find(row), std::string::npos) << row;
  }
  EXPECT_NE(page.find("<body data-version=\"7\">"), std::string::npos);
  EXPECT_NE(page.find("<div id=\"prompt\" class=\"prompt\">Press the reset key now &amp; hold</div>"),
            std::string::npos);
  EXPECT_NE(page.find("class=\"verdict verdict-running\">TESTING<"), std::string::npos);
  EXPECT_NE(page.find("<div id=\"serial\">SN0042</div>"), std::string::npos);
  // The running step is the one in focus, with its clock against the time-out.
  EXPECT_NE(page.find("<span id=\"focus-name\">reset key</span>"), std::string::npos);
  EXPECT_NE(page.find("<div id=\"focus-time\">4.1 / 15 s</div>"), std::string::npos);
  EXPECT_NE(page.find("style=\"width:27.3%\""), std::string::npos);
  EXPECT_NE(page.find("\u2718 failed 3/3"), std::string::npos);
  // The failure stays in sight while the next step runs.
  EXPECT_NE(page.find("<div id=\"failure-name\">\u2718 mcu version</div>"), std::string::npos);
  // Self-contained: nothing is fetched from elsewhere.
  for (const char* outside : {"http://", "https://", "src=", "href=", "@import"}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
}

TEST(WebPage, DeviceAndPlanTextsCannotInjectMarkup) {
  const std::string page = render_station_page(sample_snapshot());
  // Exactly one script element: the page's own.
  std::size_t scripts = 0;
  for (std::size_t at = page.find("<script"); at != std::string::npos; at = page.find("<script", at + 1))
    ++scripts;
  EXPECT_EQ(scripts, 1u);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;\\x1B[1m\\x01\\x00\\x7F&quot;&#39;&amp;"),
            std::string::npos);
  EXPECT_NE(page.find("line-3 &lt;b&gt;"), std::string::npos);
  EXPECT_NE(page.find("expected &quot;OK&quot; &lt;got&gt;"), std::string::npos);
  for (const char c : page) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) << "raw control byte " << int(byte);
  }
}

TEST(WebPage, IdleStationHidesPromptAndFocus) {
  StationSnapshot idle;
  idle.station = "line-3";
  const std::string page = render_station_page(idle);
  EXPECT_NE(page.find("<div id=\"prompt\" class=\"prompt\" hidden>"), std::string::npos);
  EXPECT_NE(page.find("class=\"focus step-pending\" hidden>"), std::string::npos);
  EXPECT_NE(page.find("<div id=\"failure\" class=\"failure\" hidden>"), std::string::npos);
  EXPECT_NE(page.find("class=\"verdict verdict-idle\">WAITING<"), std::string::npos);
  EXPECT_NE(page.find("<div id=\"serial\">\u2014</div>"), std::string::npos);
}

TEST(WebStateJson, CarriesTextsExactlyAndReplacesWhatIsNotUtf8) {
  StationSnapshot s = sample_snapshot();
  s.unit.steps[0].reply = "OK,\xff\xfe\n";
  const std::string text = station_state_json(s);
  for (const char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << "raw control byte in JSON";
  const auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json["version"], 7);
  EXPECT_EQ(json["prompt"], s.prompt);
  EXPECT_EQ(json["passed"], 4);
  EXPECT_EQ(json["unit"]["serial"], "SN0042");
  EXPECT_EQ(json["unit"]["count"], 9);
  ASSERT_EQ(json["unit"]["steps"].size(), 5u);
  EXPECT_EQ(json["unit"]["steps"][1]["reply"], kNastyReply);
  EXPECT_EQ(json["unit"]["steps"][0]["reply"], "OK,\ufffd\ufffd\n");
  const char* states[] = {"passed", "failed", "running", "pending", "skipped"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(json["unit"]["steps"][i]["state"], states[i]);
  EXPECT_EQ(json["unit"]["steps"][2]["elapsed_ms"], 4100);
  EXPECT_EQ(json["unit"]["steps"][2]["timeout_ms"], 15000);
  EXPECT_EQ(json["unit"]["steps"][1]["attempt"], 3);
}

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const StationSnapshot sample = sample_snapshot();
    state_.update([&](StationSnapshot& s) {
      const auto version = s.version;
      s = sample;
      s.version = version;
    });
    std::string error;
    view_ = WebServer::start(state_, "127.0.0.1", 0, &error);
    ASSERT_NE(view_, nullptr) << error;
    ASSERT_GT(view_->port(), 0);
  }

  // Waits (generously) until `count` long-polls are waiting in the server.
  bool wait_watchers(int count) {
    const auto deadline = Clock::now() + 20s;
    while (view_->watchers() < count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

  LiveState state_;
  std::unique_ptr<WebServer> view_;
};

TEST_F(WebServerTest, ServesThePageTheStateAnd404) {
  int status = 0;
  const std::string page = http_get(view_->port(), "/", &status);
  EXPECT_EQ(status, 200);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)"), std::string::npos);
  EXPECT_NE(page.find("Press the reset key now"), std::string::npos);
  std::printf("page size: %zu bytes (5 steps)\n", page.size());

  const std::string state = http_get(view_->port(), "/api/state", &status);
  EXPECT_EQ(status, 200);
  const auto json = nlohmann::json::parse(state);
  EXPECT_EQ(json["version"], state_.snapshot().version);
  EXPECT_EQ(json["unit"]["steps"][1]["reply"], kNastyReply);

  for (const char* path : {"/nope", "/api", "/api/state/x", "/index.html", "/../etc/passwd"}) {
    status = 0;
    http_get(view_->port(), path, &status);
    EXPECT_EQ(status, 404) << path;
  }
  for (const char* path : {"/api/state?since=", "/api/state?since=abc", "/api/state?since=-1",
                           "/api/state?since=99999999999999999999999"}) {
    status = 0;
    http_get(view_->port(), path, &status);
    EXPECT_EQ(status, 400) << path;
  }
  httplib::Client client("127.0.0.1", view_->port());
  const auto posted = client.Post("/", "x", "text/plain");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 404);
}

TEST_F(WebServerTest, LongPollAnswersAsSoonAsTheStateChanges) {
  const auto seen = state_.snapshot().version;
  auto answer = std::async(std::launch::async, [&] {
    return http_get(view_->port(), "/api/state?since=" + std::to_string(seen));
  });
  ASSERT_TRUE(wait_watchers(1));
  const auto changed = Clock::now();
  state_.update([](StationSnapshot& s) {
    s.unit.steps[2].state = StepState::kPassed;
    s.prompt.clear();
  });
  ASSERT_EQ(answer.wait_for(5s), std::future_status::ready) << "the long-poll did not answer the change";
  const auto latency = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - changed);
  const auto json = nlohmann::json::parse(answer.get());
  EXPECT_EQ(json["version"], seen + 1);
  EXPECT_EQ(json["unit"]["steps"][2]["state"], "passed");
  EXPECT_EQ(json["prompt"], "");
  std::printf("long-poll latency, change to answer: %.2f ms\n", latency.count() / 1000.0);

  // An old version is answered at once.
  const auto start = Clock::now();
  const auto at_once = nlohmann::json::parse(http_get(view_->port(), "/api/state?since=0"));
  EXPECT_EQ(at_once["version"], seen + 1);
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(WebServerTest, LongPollAnswersTheSameStateAfterItsWait) {
  const auto seen = state_.snapshot().version;
  const auto start = Clock::now();
  const auto json =
      nlohmann::json::parse(http_get(view_->port(), "/api/state?since=" + std::to_string(seen)));
  const auto took = Clock::now() - start;
  EXPECT_EQ(json["version"], seen);
  EXPECT_GE(took, 9s);
  EXPECT_LT(took, 20s);
}

TEST_F(WebServerTest, StopsPromptlyWithLongPollsOpen) {
  const auto seen = state_.snapshot().version;
  std::vector<std::future<std::string>> polls;
  for (int i = 0; i < 3; ++i) {
    polls.push_back(std::async(std::launch::async, [&, port = view_->port()] {
      return http_get(port, "/api/state?since=" + std::to_string(seen));
    }));
  }
  ASSERT_TRUE(wait_watchers(3));
  const auto start = Clock::now();
  view_.reset();
  const auto took = Clock::now() - start;
  EXPECT_LT(took, 2s);
  std::printf("stop with 3 long-polls open: %.1f ms\n",
              std::chrono::duration_cast<std::chrono::microseconds>(took).count() / 1000.0);
  for (auto& poll : polls) EXPECT_EQ(poll.wait_for(10s), std::future_status::ready);
}

TEST_F(WebServerTest, StopsPromptlyWithABrowsersIdleConnectionOpen) {
  // A browser keeps its connection open between requests.
  ftmd::UniqueFd browser(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(view_->port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(browser.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = "GET /api/state HTTP/1.1\r\nHost: station\r\n\r\n";
  ASSERT_EQ(::write(browser.get(), request.data(), request.size()), static_cast<ssize_t>(request.size()));
  char answer[256];
  ASSERT_GT(::read(browser.get(), answer, sizeof answer), 0);
  const auto start = Clock::now();
  view_.reset();
  EXPECT_LT(Clock::now() - start, 2500ms);
}

TEST(WebServer, RefusesAPortInUseAndABadAddress) {
  LiveState state;
  std::string error;
  auto first = WebServer::start(state, "127.0.0.1", 0, &error);
  ASSERT_NE(first, nullptr) << error;
  auto second = WebServer::start(state, "127.0.0.1", first->port(), &error);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(first->port())), std::string::npos)
      << error;
  EXPECT_NE(error.find("in use"), std::string::npos) << error;
  EXPECT_EQ(WebServer::start(state, "no.such.host.invalid", 0, &error), nullptr);
  EXPECT_NE(error.find("cannot listen on no.such.host.invalid:0: "), std::string::npos) << error;
  EXPECT_EQ(error.find("in use"), std::string::npos) << error;
  EXPECT_EQ(WebServer::start(state, "192.0.2.77", 0, &error), nullptr);  // not an address of this host
  EXPECT_NE(error.find("ssign"), std::string::npos) << error;            // "Cannot assign requested address"
  EXPECT_EQ(WebView::start(state, "127.0.0.1", 70000, &error), nullptr);
  EXPECT_NE(error.find("70000"), std::string::npos);
}

TEST(WebServer, StartAndStopLeaveNoThreadOrDescriptorBehind) {
  const auto count = [](const char* dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
    return n;
  };
  LiveState state;
  // One round first, so lazily made process-wide things are not counted.
  { auto view = WebView::start(state, "127.0.0.1", 0, nullptr); }
  const std::size_t fds = count("/proc/self/fd");
  const std::size_t threads = count("/proc/self/task");
  for (int i = 0; i < 5; ++i) {
    std::string error;
    auto view = WebView::start(state, "127.0.0.1", 0, &error);
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
