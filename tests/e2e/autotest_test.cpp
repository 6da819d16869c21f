#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "board_fixture.h"

namespace ftmd::test {
namespace {

constexpr char kHelp[] =
    "===== Automation Test Operation Manual =====\n"
    "at cmd format: --> at+ftm,autotest=[para]\n"
    "-----------------------------\n"
    "| para = 0: --> All case      |\n"
    "| para = 1: --> help          |\n"
    "| para = 2: --> ftmver        |\n"
    "| para = 3: --> swver         |\n"
    "| para = 4: --> sn            |\n"
    "| para = 5: --> csn           |\n"
    "| para = 6: --> ethmac        |\n"
    "-----------------------------\n";

constexpr char kReport[] =
    "-----feedback:-----\n"
    "[1],ftmver=V1.0\n"
    "[2],2.1\n"
    "[3],SN0001\n"
    "[4],C42\n"
    "[5],001122334455\n";

class Autotest : public BoardTest {
 protected:
  void configure(vboard::BoardOptions& options) override {
    options.os_release = "NAME=\"Tamo Linux\"\nID=tamo\nVERSION_ID=2.1\nPRETTY_NAME=\"Tamo Linux 2.1\"\n";
    options.boot_env = {
        {"bootdelay", "1"}, {"msn", "SN0001"}, {"csn", "C42"}, {"ethaddr", "00:11:22:33:44:55"}};
  }
};

// /etc/os-release is a symbolic link on the device (and on the board).
TEST_F(Autotest, ReportFromTheRealEnvironment) {
  ASSERT_EQ(board().shell("test -L /etc/os-release").status, 0);
  std::size_t mark = syslog().mark();
  EXPECT_EQ(ask_text("at+ftm,Autotest"), kReport);
  EXPECT_TRUE(syslog().wait_exact("getOsRelease is 2.1\n\n", kLogInfo, 1s, mark));
  EXPECT_TRUE(syslog().wait_exact("getSn number is SN0001\n\n", kLogInfo, 1s, mark));
  EXPECT_TRUE(syslog().wait_exact(
      std::string("feedback is ") + kReport + ", len = " + std::to_string(std::strlen(kReport) + 1) + "\n",
      kLogInfo, 1s, mark));
}

TEST_F(Autotest, ReportShowsEachReadersFailureInItsPlace) {
  struct Case {
    const char* what;
    std::function<void(vboard::Board&)> change;
    std::string report;
  };
  const std::string head = "-----feedback:-----\n[1],ftmver=V1.0\n";
  const Case cases[] = {
      {"quoted version", [](vboard::Board& b) { b.set_os_release("VERSION_ID=\"2.1\"\n"); },
       head + "[2],\"2.1\"\n[3],SN0001\n[4],C42\n[5],001122334455\n"},
      {"version is the last line, no line feed",
       [](vboard::Board& b) { b.set_os_release("ID=x\nVERSION_ID=3"); },
       head + "[2],3[3],SN0001\n[4],C42\n[5],001122334455\n"},
      {"no version", [](vboard::Board& b) { b.set_os_release("ID=x\n"); },
       head + "[2],ERROR[3],SN0001\n[4],C42\n[5],001122334455\n"},
      {"os-release not a link",
       [](vboard::Board& b) { b.shell("cp --remove-destination /run/vboard/os-release /etc/os-release"); },
       head + "[2],ERROR[3],SN0001\n[4],C42\n[5],001122334455\n"},
      {"csn not set", [](vboard::Board& b) { b.uboot_env().unset("csn"); },
       head + "[2],2.1\n[3],SN0001\n[4],ERROR[5],001122334455\n"},
      {"19-character serial loses its line feed",
       [](vboard::Board& b) { b.uboot_env().set("msn", "SN0123456789ABCDEFG"); },
       head + "[2],2.1\n[3],SN0123456789ABCDEFG[4],C42\n[5],001122334455\n"},
      {"nothing set",
       [](vboard::Board& b) {
         b.uboot_env().unset("msn");
         b.uboot_env().unset("csn");
         b.uboot_env().unset("ethaddr");
       },
       head + "[2],2.1\n[3],ERROR[4],ERROR[5],ERROR"},
      {"environment unreadable", [](vboard::Board& b) { b.uboot_env().corrupt(); },
       head + "[2],2.1\n[3],ERROR[4],ERROR[5],ERROR"},
  };
  for (const auto& c : cases) {
    // Each case starts from the configured environment.
    board().set_os_release("VERSION_ID=2.1\n");
    board().shell("ln -sf ../run/vboard/os-release /etc/os-release");
    board().uboot_env().write({{"msn", "SN0001"}, {"csn", "C42"}, {"ethaddr", "00:11:22:33:44:55"}});
    c.change(board());
    EXPECT_EQ(ask_text("at+ftm,Autotest"), c.report) << c.what;
  }
}

TEST_F(Autotest, HelpTextGoesOutWholeInOneFrame) {
  auto reply = ask("AT+FTM,AUTOTEST=1");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->text, kHelp);
  EXPECT_EQ(reply->text.size(), 371u);
  EXPECT_EQ(reply->raw.size(), 381u);
  EXPECT_EQ(reply->raw[7], 0x73);
  EXPECT_EQ(reply->raw[8], 0x01);
  EXPECT_TRUE(reply->checksum_ok);
  EXPECT_TRUE(client().read_available(200ms).empty()) << "more than one frame";
}

// The single queries answer what their own commands answer, unchanged; the
// parameter's forms are the unit tests' affair, here only the routing.
TEST_F(Autotest, ParameterForms) {
  const std::pair<const char*, std::string> cases[] = {
      {"", kReport},
      {"=x", kReport},
      {"=1", kHelp},
      {"=02", "OK,ftmver=V1.0\n"},
      {"= 3", "OK,swver=2.1\n"},
      {" 2", "OK,ftmver=V1.0\n"},  // no "=": the number is still read from position 16
      {"=4", "OK,SN0001\n"},
      {"=5", "OK,C42\n"},
      {"=6", "OK,001122334455\n"},  // ethaddr alone, without colons
      {"1", "ERROR\n"},             // position 16 is the end: 0, but no "="
      {"=7", "ERROR\n"},
  };
  for (const auto& [parameter, reply] : cases) {
    std::size_t mark = syslog().mark();
    EXPECT_EQ(ask_text(std::string("at+ftm,Autotest") + parameter), reply) << '"' << parameter << '"';
    if (reply == "ERROR\n") {
      EXPECT_TRUE(syslog().wait_exact("unkown test case...\n", kLogInfo, 1s, mark)) << parameter;
    }
  }
}

}  // namespace
}  // namespace ftmd::test
