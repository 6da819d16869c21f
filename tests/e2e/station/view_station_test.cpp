// The station view during real runs: ftmstation with several slots on as
// many virtual boards (one PC LAN), and headless chromium in the PC's
// network answering the slots' questions on the page as the operator does.
// The four-slot run leaves build/<preset>/station-view.png
// (./tools/station-screenshot).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include <nlohmann/json.hpp>

#include "board_fixture.h"
#include "station_rig.h"
#include "vboard/control_service.h"
#include "vboard/launcher.h"
#include "vboard/pc_lan.h"
#include "view_browser.h"
#include "wait_until.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;
using station::testing::HeadlessChromium;

constexpr auto kPageDeadline = 60s;
constexpr auto kRunDeadline = 300s;
constexpr const char* kSlotNames[] = {"a", "b", "c", "d"};

// `n` boards on one PC LAN, each on a slot's port, with a scratch folder.
class Rig {
 public:
  explicit Rig(int n) : dir_(fs::temp_directory_path() / ("station-view-" + std::to_string(::getpid()))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_ + "/records");
    env_.push_back("VBOARD=" + std::string(VBOARD_BINARY));
    for (int i = 1; i <= n; ++i) {
      vboard::BoardOptions options = default_board_options();
      options.reboot_reenumerates = true;
      options.boot_time = 500ms;
      options.soc_uid = "0x" + std::to_string(2000 + i) + "\n";
      vboard::PcLan::configure(options, i);
      boards_.push_back(std::make_unique<vboard::Board>(options));
      lan_.adopt(*boards_.back(), i);
      const std::string port = boards_.back()->usb_host().attach_cable(dir_ + "/ttyPC" + std::to_string(i));
      controls_.push_back(std::make_unique<vboard::ControlService>(*boards_.back()));
      slots_.push_back("--slot");
      slots_.push_back(std::string(kSlotNames[i - 1]) + "=" + port);
      env_.push_back(std::string("VBOARD_CONTROL_") + kSlotNames[i - 1] + "=" + controls_.back()->path());
    }
    for (auto& board : boards_) EXPECT_TRUE(board->wait_serving(kBoardsServingDeadline));
  }
  ~Rig() {
    stop();
    controls_.clear();
    boards_.clear();
    fs::remove_all(dir_);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Starts ftmstation in the PC's network with the slots and `args`, its
  // output into dir()/station.out.
  void start(std::vector<std::string> args) {
    std::vector<std::string> argv{FTMSTATION_BINARY, "--records", dir_ + "/records", "--station", "e2e"};
    argv.insert(argv.end(), slots_.begin(), slots_.end());
    argv.insert(argv.end(), args.begin(), args.end());
    const UniqueFd out(
        ::open((dir_ + "/station.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    vboard::Launch launch;
    launch.argv = argv;
    launch.env = env_;
    launch.netns = lan_.netns_fd();
    launch.in = in.get();
    launch.out = launch.err = out.get();
    pid_ = vboard::launch(launch);
    ASSERT_GT(pid_, 0);
  }
  // The station's exit status once it has ended, or -1 when it has not
  // within `within`.
  int wait(std::chrono::milliseconds within) {
    int status = 0;
    if (!wait_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, within)) return -1;
    pid_ = -1;
    return vboard::exit_code(status);
  }
  std::string output() const { return slurp(dir_ + "/station.out"); }
  // What the station printed: the token its page's answers need.
  std::string token() const {
    std::smatch found;
    const std::string text = output();
    return std::regex_search(text, found, std::regex("token[ =]([0-9a-f]+)")) ? found[1].str() : "";
  }
  // The unit records of slot `slot`'s units.
  std::vector<nlohmann::json> records(const std::string& slot) const {
    std::vector<nlohmann::json> found;
    for (const auto& entry : fs::directory_iterator(dir_ + "/records")) {
      if (entry.path().extension() != ".json") continue;
      auto record = nlohmann::json::parse(slurp(entry.path()), nullptr, false);
      if (record.is_object() && record.value("slot", "") == slot) found.push_back(record);
    }
    return found;
  }
  // Chromium on `url` in the PC's network, once the station has said that
  // its view listens.
  std::unique_ptr<HeadlessChromium> browser(const std::string& url, int width, int height) {
    std::string error;
    if (!wait_until([&] { return output().find("station view: ") != std::string::npos; }, kPageDeadline)) {
      ADD_FAILURE() << "the station did not start its view\n" << output();
      return nullptr;
    }
    auto browser = HeadlessChromium::open(url, width, height, &error, lan_.netns_fd());
    if (!browser || !browser->wait_until("document.body?.dataset.live === '1'", kPageDeadline, &error)) {
      ADD_FAILURE() << error << "\n" << output();
      return nullptr;
    }
    return browser;
  }
  const std::string& dir() const { return dir_; }
  vboard::Board& board(int n) { return *boards_[static_cast<std::size_t>(n - 1)]; }

 private:
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    vboard::wait_exit(pid_);
    pid_ = -1;
  }

  vboard::PcLan lan_;
  std::string dir_;
  std::vector<std::unique_ptr<vboard::Board>> boards_;
  std::vector<std::unique_ptr<vboard::ControlService>> controls_;
  std::vector<std::string> slots_, env_;
  pid_t pid_ = -1;
};

std::string in_tile(const std::string& slot, const std::string& selector) {
  return "document.querySelector('[data-slot=\"" + slot + "\"] " + selector + "')";
}

// The LED judged (the question as the plan writes it, markup and all) and
// the label scanned, the scanned text written as the unit's serial number.
constexpr char kPlan[] = R"(name: view
steps:
  - name: LED red
    send: "at+ftm,led=1,255,0,0"
    expect: "OK\n"
    judge: "Is the LED <i>red</i>?"
    on_fail: continue
  - name: label
    scan: "Scan the serial number label"
    pattern: "SN[0-9]{4}"
    variable: label
  - name: write serial number
    send: "at+ftm,sn={label}"
    expect: "OK\n"
)";

bool has_chromium() { return access(station::testing::kChromiumPath, X_OK) == 0; }

// Two slots on two boards ask at once; the view listens on every address,
// and the page is opened on the PC's LAN address, so it answers only with
// the token the station printed. Slot a's judgement is passed and its label
// scanned (a wrong one first) while slot b's judgement is still open; b's is
// failed and its label scanned after. The records say who answered, on the
// page; the page then says the station has finished.
TEST(StationViewOnBoards, TwoSlotsAnswerAJudgementAndAScanOnThePageAtOnce) {
  if (!has_chromium()) GTEST_SKIP() << station::testing::kChromiumPath << " is not installed";
  Rig rig(2);
  std::ofstream(rig.dir() + "/plan.yaml") << kPlan;
  std::ofstream(rig.dir() + "/units.csv")
      << "sn,csn,lan4_mac,lan3_mac\nSN0001,C-1,00:1B:2C:3D:4E:5F,001B2C3D4E60\n"
         "SN0002,C-2,00:1B:2C:3D:4E:61,001B2C3D4E62\n";
  rig.start({"--plan", rig.dir() + "/plan.yaml", "--units", rig.dir() + "/units.csv", "--operator", "ann",
             "--web", "0.0.0.0:8080"});
  const std::string view = "http://192.0.11.2:8080/";  // the PC's end of board 1's LAN
  std::string error;

  // Without the token: the questions, read-only, and an answer is refused.
  auto browser = rig.browser(view, 1600, 900);
  ASSERT_TRUE(browser);
  ASSERT_TRUE(browser->wait_until("document.querySelectorAll('.ask:not([hidden]) .ask-text').length === 2",
                                  kPageDeadline, &error))
      << error;
  EXPECT_EQ(browser->evaluate(in_tile("a", ".ask-text") + ".textContent", &error), "Is the LED <i>red</i>?");
  EXPECT_EQ(browser->evaluate("document.querySelectorAll('.ask button, .ask input').length", &error), 0);
  EXPECT_EQ(browser->evaluate("document.getElementById('notice').hidden", &error), false);
  browser->evaluate(
      "fetch('/api/answer', {method: 'POST', headers: {'Content-Type': 'application/json'}, body: "
      "JSON.stringify({slot: 'a', question: 1, value: 'pass'})}).then(r => window.refused = r.status)",
      &error);
  EXPECT_TRUE(browser->wait_until("window.refused === 403", kPageDeadline, &error)) << error;

  // With the link the station printed, the badge scanned once.
  const std::string token = rig.token();
  ASSERT_FALSE(token.empty()) << rig.output();
  browser->evaluate("location.href = '" + view + "?token=" + token + "'", &error);
  ASSERT_TRUE(browser->wait_until("document.body?.dataset.live === '1' && " + in_tile("a", "button.pass") +
                                      " !== null && " + in_tile("b", "button.fail") + " !== null",
                                  kPageDeadline, &error))
      << error;
  browser->evaluate("document.getElementById('badge').focus()", &error);
  ASSERT_TRUE(browser->scan("B-17", &error)) << error;
  browser->evaluate(in_tile("a", "button.pass") + ".click()", &error);
  // a scans while b's judgement waits: the scanner types into a's field.
  ASSERT_TRUE(browser->wait_until("document.activeElement === " + in_tile("a", "input.scan") + " && " +
                                      in_tile("b", ".ask[data-kind=\"judge\"]") + " !== null",
                                  kPageDeadline, &error))
      << error;
  ASSERT_TRUE(browser->scan("SN12", &error)) << error;
  ASSERT_TRUE(browser->wait_until(in_tile("a", ".ask-status.refusal") +
                                      "?.textContent === 'the scanned value \"SN12\" does not match the "
                                      "pattern \"SN[0-9]{4}\"'",
                                  kPageDeadline, &error))
      << error;
  ASSERT_TRUE(browser->scan("SN7001", &error)) << error;  // the refused text is selected, so replaced
  browser->evaluate(in_tile("b", "button.fail") + ".click()", &error);
  ASSERT_TRUE(
      browser->wait_until("document.activeElement === " + in_tile("b", "input.scan"), kPageDeadline, &error))
      << error;
  ASSERT_TRUE(browser->scan("SN7002", &error)) << error;

  EXPECT_EQ(rig.wait(kRunDeadline), 1) << rig.output();  // b failed its judgement
  for (const auto& [slot, verdict, judged, label] :
       {std::tuple{"a", "passed", "pass", "SN7001"}, {"b", "failed", "fail", "SN7002"}}) {
    const auto records = rig.records(slot);
    ASSERT_EQ(records.size(), 1u) << slot << "\n" << rig.output();
    const auto& steps = records[0]["steps"];
    EXPECT_EQ(records[0]["verdict"], verdict);
    for (const auto& [index, value] : {std::pair{0, judged}, {1, label}}) {
      const auto& answer = steps[index]["answer"];
      EXPECT_EQ(answer.value("value", "") + " " + answer.value("who", "") + " " + answer.value("channel", ""),
                std::string(value) + " B-17 web")
          << steps[index].dump();
    }
    EXPECT_EQ(steps[2]["verdict"], "passed") << steps[2].dump();
  }
  EXPECT_EQ(rig.board(1).uboot_env().get("msn"), "SN7001");
  EXPECT_EQ(rig.board(2).uboot_env().get("msn"), "SN7002");

  // The station has gone; its page says it finished, and how, and has
  // stopped asking: it never says the connection is lost.
  ASSERT_TRUE(browser->wait_until("!document.getElementById('ended').hidden", kPageDeadline, &error))
      << error;
  const auto ended = browser->evaluate("document.getElementById('ended').textContent", &error);
  ASSERT_TRUE(ended && ended->is_string()) << error;
  EXPECT_TRUE(
      std::regex_match(ended->get<std::string>(),
                       std::regex("The station has finished at [0-2][0-9]:[0-5][0-9]: 1 passed, 1 failed")))
      << *ended;
  EXPECT_EQ(browser->evaluate("document.body.dataset.live", &error), "1");
  EXPECT_EQ(browser->evaluate("document.querySelectorAll('.ask:not([hidden])').length", &error), 0);
}

// Four boards, four slots, the default plan, for the README: the page while
// slot a's red LED waits for the operator's eye, slot b holds the trigger
// plug and c and d wait for it (the operator hook does everything else, and
// lets c and d on only once b holds the plug). Then the judgement is given
// on the page and every unit passes. Heavy: run by ./tools/station-screenshot.
TEST(StationViewOnBoards, DISABLED_FourSlotsScreenshot) {
  if (!has_chromium()) GTEST_SKIP() << station::testing::kChromiumPath << " is not installed";
  Rig rig(4);
  const std::string hook = rig.dir() + "/operator", holds = rig.dir() + "/b-holds", go = rig.dir() + "/go";
  std::ofstream(hook) << "#!/bin/sh\ncase \"$FTMSTATION_SLOT $1\" in\n"
                      << "'a led-red') exit 2 ;;\n"
                      << "'b trigger-plug') : >'" << holds << "'; until [ -e '" << go
                      << "' ]; do sleep 0.05; done ;;\n"
                      << "'c led-off' | 'd led-off') until [ -e '" << holds << "' ]; do sleep 0.05; done ;;\n"
                      << "esac\nexec '" << STATION_EXAMPLES_DIR << "/vboard-operator' \"$@\"\n";
  fs::permissions(hook, fs::perms::owner_all);
  std::ofstream units(rig.dir() + "/units.csv");
  units << "sn,csn,lan4_mac,lan3_mac\n";
  for (int i = 1; i <= 4; ++i)
    units << "SN000" << i << ",C-000" << i << ",00:1B:2C:00:00:0" << 2 * i << ",001B2C00000" << 2 * i + 1
          << "\n";
  units.close();
  rig.start({"--units", rig.dir() + "/units.csv", "--operator", "ann", "--operator-hook", hook, "--yes",
             "--web", "127.0.0.1:8080"});
  auto browser = rig.browser("http://127.0.0.1:8080/", 1920, 1080);
  ASSERT_TRUE(browser);
  std::string error;
  EXPECT_TRUE(browser->wait_until(in_tile("a", "button.pass") + " !== null && " +
                                      in_tile("b", ".prompt:not([hidden])") +
                                      " !== null && document.querySelectorAll('.note.wait:not([hidden])')"
                                      ".length === 2",
                                  kRunDeadline, &error))
      << error << "\n"
      << rig.output();
  const auto png = browser->screenshot_png(&error, 0.7);  // small enough for the README
  ASSERT_TRUE(png) << error;
  std::ofstream(fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "station-view.png",
                std::ios::binary)
      << *png;
  std::ofstream(go).close();  // b lets go of the plug
  browser->evaluate(in_tile("a", "button.pass") + ".click()", &error);
  EXPECT_EQ(rig.wait(kRunDeadline), 0) << rig.output();
  for (const char* slot : kSlotNames) EXPECT_EQ(rig.records(slot).size(), 1u) << slot;
}

}  // namespace
}  // namespace ftmd::test
