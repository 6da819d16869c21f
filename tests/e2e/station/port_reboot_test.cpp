// The station's port handling against the real daemon on the virtual board:
// the port found again after the device reboots and re-enumerates, and a
// port another program holds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board_fixture.h"
#include "port.h"
#include "wait_until.h"

namespace ftmd::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kBootTime = 1000ms;

class PortOnBoard : public BoardTest {
 protected:
  void configure(vboard::BoardOptions& o) override {
    o.reboot_reenumerates = true;
    o.boot_time = kBootTime;
  }
  void SetUp() override {
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    choice_.path = board().usb_host().attach_cable(board().state_dir() + "/ttyPC0");
  }
  station::PortChoice choice_;
};

TEST_F(PortOnBoard, ReopenAfterRebootWaitsForTheNewPortAndAnAnswer) {
  std::string error;
  auto link = station::open_port(choice_, &error);
  ASSERT_TRUE(link) << error;
  ASSERT_EQ(link->transact("at+ftm,reboot=1", 5s).reply, "OK, tamo is rebooting...");
  const auto start = Clock::now();
  auto again = station::reopen_after_reboot(choice_, 10s, 30s, &error);
  ASSERT_TRUE(again) << error;
  // Not the old port, still there for a second after the reply: the board
  // had gone through its boot when the link came back.
  EXPECT_GE(Clock::now() - start, kBootTime);
  EXPECT_EQ(board().reboots_done(), 1);
  EXPECT_EQ(again->transact("at+ftm,ftmver=?", 5s).reply, "OK,ftmver=V1.0\n");
  EXPECT_EQ(link->transact("at+ftm,ftmver=?", 2s).outcome, pc::LinkOutcome::kTransport)
      << "the old link is dead";

  board().usb_host().detach_cable();
  EXPECT_FALSE(station::reopen_after_reboot(choice_, 2s, 1s, &error));
  EXPECT_EQ(error, choice_.path + ": the port did not come back");
}

TEST_F(PortOnBoard, PortHeldByAnotherProgramIsNamed) {
  // ftmctl without commands keeps the port open and locked while it reads
  // commands from its stdin.
  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  char* argv[] = {const_cast<char*>(FTMCTL_BINARY), const_cast<char*>("--port"), choice_.path.data(),
                  nullptr};
  pid_t holder = 0;
  ASSERT_EQ(posix_spawn(&holder, FTMCTL_BINARY, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);

  std::string error;
  EXPECT_TRUE(wait_until([&] { return !station::open_port(choice_, &error); }));
  EXPECT_EQ(error, choice_.path + " is held by another program: pid " + std::to_string(holder) +
                       " (ftmctl); it has the port locked (flock: EWOULDBLOCK). Close it and try again.");
  ::close(in[1]);  // ftmctl ends at the end of its input and lets go
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(station::open_port(choice_, &error)) << error;
}

}  // namespace
}  // namespace ftmd::test
