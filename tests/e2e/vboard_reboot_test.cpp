// A reboot of the virtual board as the test PC sees it: the port and its
// USB names go, come back on a new tty, and ftmd serves again with the
// board's state kept. And the control socket the PC's programs use.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "board_fixture.h"
#include "pc/link.h"
#include "vboard/control_socket.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool present(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

template <class Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class VboardReboot : public BoardTest {};

TEST_F(VboardReboot, PortAndItsNamesGoAndComeBackOnANewTtyWithStateKept) {
  board().set_reboot_reenumerates(true, 500ms);
  const std::string names = board().state_dir() + "/names";
  board().usb_host().set_usb_names(names, "0042", vboard::UsbHost::kDefaultLocation);
  const std::string link = board().usb_host().attach_cable(board().state_dir() + "/ttyPC0");
  const std::string by_id = names + "/by-id/usb-Acme_FTM-Audio_0042-if00";
  const std::string by_path = names + "/by-path/" + vboard::UsbHost::kDefaultLocation;
  ASSERT_TRUE(fs::exists(by_id));
  EXPECT_EQ(fs::canonical(by_path), fs::canonical(link));
  std::string error;
  auto old_link = pc::SerialLink::open(link, &error);
  ASSERT_TRUE(old_link) << error;
  board().uboot_env().set("msn", "SN0042");
  // The PC has talked to the board over lan4; the unit then gets another MAC.
  board().write_file("/var/www/html/probe.txt", "here\n");
  const std::vector<std::string> fetch = {"curl", "-s", "-m", "3", "http://192.0.2.1/probe.txt"};
  ASSERT_EQ(board().run_on_pc(fetch).output, "here\n");
  ASSERT_TRUE(board().network().set_mac("lan4", "02:00:00:00:04:42"));

  const auto mark = syslog().mark();
  ASSERT_EQ(board().shell("reboot").status, 0);
  ASSERT_TRUE(wait_until([&] { return !present(link); }, 10s)) << "the PC-side port did not go";
  // udev's names went first.
  EXPECT_FALSE(present(by_id));
  EXPECT_FALSE(present(by_path));
  EXPECT_FALSE(board().daemon_running());

  ASSERT_TRUE(board().wait_rebooted(1, 10s));
  ASSERT_TRUE(present(by_id) && present(by_path));
  EXPECT_EQ(fs::canonical(by_id), fs::canonical(link));
  ASSERT_TRUE(board().wait_serving(10s, mark));
  EXPECT_EQ(board().uboot_env().get("msn"), "SN0042");

  auto new_link = pc::SerialLink::open(link, &error);
  ASSERT_TRUE(new_link) << error;
  EXPECT_EQ(new_link->transact("at+ftm,ftmver=?", 5s).reply, "OK,ftmver=V1.0\n");
  EXPECT_EQ(old_link->transact("at+ftm,ftmver=?", 2s).outcome, pc::LinkOutcome::kTransport);
  EXPECT_EQ(board().reboots_done(), 1);
  // The links went down with the board: the PC forgot the old MAC.
  EXPECT_EQ(board().run_on_pc(fetch).output, "here\n");
}

TEST(VboardControlSocket, OneAnswerLinePerControlLine) {
  const std::string path = fs::temp_directory_path() / ("vboard-control-test-" + std::to_string(::getpid()));
  std::vector<std::string> seen;
  {
    vboard::ControlSocket socket(path, [&](const std::string& line) {
      seen.push_back(line);
      return line == "bad" ? std::string("error: unknown control: bad") : std::string("ok");
    });
    std::string error;
    EXPECT_EQ(vboard::ControlSocket::ask(path, "gpio 9 1", &error), "ok") << error;
    EXPECT_EQ(vboard::ControlSocket::ask(path, "bad", &error), "error: unknown control: bad") << error;
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"gpio 9 1", "bad"}));
  EXPECT_FALSE(present(path)) << "the socket is removed with the board";
  std::string error;
  EXPECT_FALSE(vboard::ControlSocket::ask(path, "key", &error));
  EXPECT_NE(error.find("cannot reach the board at " + path), std::string::npos) << error;
}

}  // namespace
}  // namespace ftmd::test
