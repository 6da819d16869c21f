#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "vboard/board.h"
#include "vboard/host_client.h"

namespace ftmd::test {

using vboard::Bytes;
using namespace std::chrono_literals;

// Syslog levels as the daemon uses them.
inline constexpr int kLogError = 3;
inline constexpr int kLogWarning = 4;
inline constexpr int kLogInfo = 6;
inline constexpr int kLogDebug = 7;

// The board options every end-to-end test starts from: the ftmd binary of
// this build, everything else at the board's defaults.
vboard::BoardOptions default_board_options();

// Fixture: each test boots its own fresh board running the real ftmd and is
// handed a PC-side client on /dev/ttyGS0, the syslog capture and the
// peripheral controls (board().leds(), board().gpio(), board().audio_mcu(),
// ...). Teardown leaves no process, mount or interface behind.
//
// To change how the board boots, override configure(); to do things before
// the daemon starts, set options.start_daemon = false there, prepare the
// board in the test and call start_daemon().
class BoardTest : public testing::Test {
 protected:
  // Adjusts the options before the board boots. Setting expect_serving_ to
  // false skips SetUp's wait for the daemon's first read.
  virtual void configure(vboard::BoardOptions& options) { (void)options; }

  void SetUp() override;
  void TearDown() override;

  vboard::Board& board() { return *board_; }
  vboard::HostClient& client() { return *client_; }
  vboard::SyslogCapture& syslog() { return board_->syslog(); }

  // Starts (or restarts) the daemon and waits until it serves.
  void start_daemon();
  // Waits until the daemon sits in its read again after log index `since`.
  bool wait_serving(std::size_t since, std::chrono::milliseconds timeout = 10s) {
    return board_->wait_serving(timeout, since);
  }

  // Waits until the daemon, having answered a request sent after log index
  // `mark`, sits in its read again (so nothing more is logged until the next
  // event). Use it before disconnecting, restarting or checking "nothing else".
  bool wait_back_in_read(std::size_t mark, std::chrono::milliseconds timeout = 10s);

  // Sends one command and reads the reply frame (nothing on time-out).
  std::optional<vboard::ReplyFrame> ask(const std::string& command, std::chrono::milliseconds timeout = 10s) {
    return client_->request(command, timeout);
  }
  // The reply text of one command; "<no reply>" on time-out.
  std::string ask_text(const std::string& command, std::chrono::milliseconds timeout = 10s) {
    auto reply = ask(command, timeout);
    return reply ? reply->text : "<no reply>";
  }

  bool expect_serving_ = true;
  std::unique_ptr<vboard::Board> board_;
  std::unique_ptr<vboard::HostClient> client_;
};

}  // namespace ftmd::test
