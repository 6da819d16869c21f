// The station's port found by USB serial number and location the way a line
// PC names it, under `vboard run --usb-serial`, before and after a reboot.
// The outer test runs this binary again as the test PC's program; the inner
// one does the work there (and is not run by itself).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/shell_quote.h"
#include "port.h"

namespace ftmd::test {
namespace {

using namespace std::chrono_literals;
using station::PortChoice;

constexpr char kSerial[] = "0042";

TEST(PortInsideVboardRun, DISABLED_FindsTheBoardBySerialAndLocationAcrossAReboot) {
  if (!std::getenv("VBOARD_CONTROL")) GTEST_SKIP() << "run by PortUsbNames under vboard run";
  const PortChoice by_serial{"", kSerial, ""};
  const PortChoice by_location{"", "", "usb-0:2"};
  auto found = station::find_port(by_serial);
  ASSERT_TRUE(found.path) << found.error;
  EXPECT_EQ(station::find_port(by_location).path, found.path);

  std::string error;
  auto link = station::open_port(by_serial, &error);
  ASSERT_TRUE(link) << error;
  // The board's controls reach it from here: the trigger plug goes in.
  ASSERT_EQ(std::system((shell_quote(VBOARD_BINARY) + " control 'gpio 9 1; gpio 6 0'").c_str()), 0);
  EXPECT_EQ(link->transact("at+ftm,triggerin=?", 5s).reply, "OK,triggerin=1\n");

  ASSERT_EQ(link->transact("at+ftm,reboot=1", 5s).reply, "OK, tamo is rebooting...");
  auto again = station::reopen_after_reboot(by_serial, 10s, 30s, &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(again->transact("at+ftm,ftmver=?", 5s).reply, "OK,ftmver=V1.0\n");
  EXPECT_TRUE(station::find_port(by_location).path);
}

TEST(PortUsbNames, FindsTheBoardBySerialUnderVboardRunAcrossAReboot) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = shell_quote(VBOARD_BINARY) + " --ftmd " + shell_quote(FTMD_BINARY) +
                              " --boot-time 1000 --usb-serial " + kSerial + " run -- " + shell_quote(self) +
                              " --gtest_filter='PortInsideVboardRun.*' --gtest_also_run_disabled_tests 2>&1";
  FILE* pipe = ::popen(command.c_str(), "re");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  for (char buf[512]; std::fgets(buf, sizeof(buf), pipe) != nullptr;) output += buf;
  int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace
}  // namespace ftmd::test
