#include "board_fixture.h"

#include <cstdlib>

namespace ftmd::test {

vboard::BoardOptions default_board_options() {
  vboard::BoardOptions o;
  // FTMD_BINARY in the environment runs the suite against another build of
  // the daemon, e.g. the aarch64 one (the board runs it under qemu-user).
  const char* other = std::getenv("FTMD_BINARY");
  o.ftmd = other != nullptr && *other != '\0' ? other : FTMD_BINARY;
  return o;
}

void BoardTest::SetUp() {
  vboard::BoardOptions options = default_board_options();
  configure(options);
  board_ = std::make_unique<vboard::Board>(options);
  client_ = std::make_unique<vboard::HostClient>(board_->usb_host().port());
  if (options.start_daemon && expect_serving_) {
    ASSERT_TRUE(board_->wait_serving(10s)) << "the daemon never reached its read; its output:\n"
                                           << board_->daemon_output();
  }
}

void BoardTest::TearDown() {
  // A daemon built with a sanitizer reports on its stderr, which the board
  // keeps: any report fails the test, even when every reply was right.
  if (board_) {
    std::string output = board_->daemon_output();
    for (const char* report :
         {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "WARNING: ThreadSanitizer"})
      EXPECT_EQ(output.find(report), std::string::npos) << "sanitizer report from ftmd:\n" << output;
  }
  client_.reset();
  board_.reset();
}

void BoardTest::start_daemon() {
  std::size_t mark = syslog().mark();
  board_->start_daemon();
  ASSERT_TRUE(board_->wait_serving(10s, mark)) << "the daemon never reached its read; its output:\n"
                                               << board_->daemon_output();
}

bool BoardTest::wait_back_in_read(std::size_t mark, std::chrono::milliseconds timeout) {
  // The trace of the reply comes first, the next read's line after it.
  auto result = syslog().wait_for("result-->", timeout, mark, kLogInfo);
  if (!result) return false;
  std::size_t after = mark;
  for (const auto& line : syslog().lines(mark)) {
    ++after;
    if (line.text == result->text) break;
  }
  return board_->wait_serving(timeout, after);
}

}  // namespace ftmd::test
