#include "autotest/autotest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace ftmd {
namespace {

TEST(Autotest, ParameterForms) {
  struct Case {
    const char* command;
    bool report;
    long number;  // only when not a report
  };
  const Case cases[] = {
      {"at+ftm,Autotest", true, 0},
      {"AT+FTM,AUTOTEST", true, 0},
      {"at+ftm,Autotest=0", true, 0},
      {"at+ftm,Autotest=", true, 0},
      {"at+ftm,Autotest=x", true, 0},
      {"at+ftm,Autotest=1", false, 1},
      {"at+ftm,Autotest=02", false, 2},
      {"at+ftm,Autotest= 3", false, 3},
      {"at+ftm,Autotest=\t+4", false, 4},
      {"at+ftm,Autotest 2", false, 2},  // no "=", still read from position 16
      {"at+ftm,Autotest1", false, 0},   // position 16 is the end: 0, but no "="
      {"at+ftm,Autotest=7", false, 7},
      {"at+ftm,Autotest=-1", false, -1},
      {"at+ftm,Autotest=5abc", false, 5},
      {"at+ftm,Autotestx=0", true, 0},                    // "=" anywhere after the prefix
      {"at+ftm,Autotest=4294967298", false, 4294967298},  // never wraps into a case
  };
  for (const auto& c : cases) {
    EXPECT_EQ(autotest_wants_report(c.command), c.report) << c.command;
    if (!c.report) {
      EXPECT_EQ(autotest_parameter(c.command), c.number) << c.command;
    }
  }
}

TEST(Autotest, HelpTextIsElevenLinesOf371Bytes) {
  EXPECT_EQ(kAutotestHelp.size(), 371u);
  EXPECT_EQ(std::count(kAutotestHelp.begin(), kAutotestHelp.end(), '\n'), 11);
  EXPECT_TRUE(
      kAutotestHelp.starts_with("===== Automation Test Operation Manual =====\n"
                                "at cmd format: --> at+ftm,autotest=[para]\n"
                                "-----------------------------\n"));
  EXPECT_TRUE(kAutotestHelp.ends_with("| para = 6: --> ethmac        |\n-----------------------------\n"));
  // The seven table lines are 32 bytes each.
  std::size_t start = kAutotestHelp.find("| para = 0");
  for (int i = 0; i < 7; ++i) {
    std::string_view line = kAutotestHelp.substr(start + 32 * i, 32);
    EXPECT_EQ(line.substr(0, 9), "| para = ");
    EXPECT_EQ(line[9], '0' + i);
    EXPECT_EQ(line.substr(30), "|\n");
  }
}

// Unhandled numbers answer "ERROR\n"; "1" (no "=", position 16 past the end)
// is one of them. Forms 2..6 depend on the boot environment: board tests.
TEST(Autotest, HandlerRepliesForHelpAndUnknownCases) {
  struct Case {
    const char* command;
    std::string_view reply;
  };
  const Case cases[] = {
      {"at+ftm,Autotest=1", kAutotestHelp}, {"AT+FTM,AUTOTEST=01", kAutotestHelp},
      {"at+ftm,Autotest=7", "ERROR\n"},     {"at+ftm,Autotest=-1", "ERROR\n"},
      {"at+ftm,Autotest1", "ERROR\n"},      {"at+ftm,Autotest=99999999999999999999", "ERROR\n"},
  };
  for (const auto& c : cases) {
    std::string text = c.command;
    ReplyBuffer reply;
    autotest(text.data(), reply);
    EXPECT_EQ(reply.text(), c.reply) << c.command;
  }
}

TEST(Autotest, ReportRunsValuesIntoTheNextMarker) {
  struct Case {
    FeedbackValues values;
    std::string report;
  };
  const Case cases[] = {
      {{"2.1\n", "SN0001\n", "C42\n", "001122334455\n"},
       "-----feedback:-----\n[1],ftmver=V1.0\n[2],2.1\n[3],SN0001\n[4],C42\n[5],001122334455\n"},
      {{"\"2.1\"\n", "SN0001\n", std::nullopt, "001122334455\n"},
       "-----feedback:-----\n[1],ftmver=V1.0\n[2],\"2.1\"\n[3],SN0001\n[4],ERROR[5],001122334455\n"},
      {{std::nullopt, "SN0123456789ABCDEFG", "C42\n", std::nullopt},
       "-----feedback:-----\n[1],ftmver=V1.0\n[2],ERROR[3],SN0123456789ABCDEFG[4],C42\n[5],ERROR"},
  };
  for (const auto& c : cases) EXPECT_EQ(feedback_text(c.values), c.report);
}

TEST(Autotest, BootEnvironmentLines) {
  struct Case {
    const char* line;
    const char* name;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"msn=SN0001\n", "msn", "SN0001\n"},
      {"msn=SN0123456789ABCDEFG", "msn", "SN0123456789ABCDEFG"},  // cut at 23: no line feed
      {"msn=A=B\n", "msn", "A=B\n"},
      {"msn=\n", "msn", std::nullopt},  // libubootenv's "not set"
      {"", "msn", std::nullopt},        // the other family's
      {"Cannot read environment\n", "msn", std::nullopt},
      {"csn=C42\n", "csn", "C42\n"},
      {"ethaddr=00:11:22:33:44:55\n", "ethaddr", "00:11:22:33:44:55\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(boot_env_value(c.line, c.name), c.value) << c.line;
}

TEST(Autotest, OsReleaseLines) {
  struct Case {
    const char* line;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"VERSION_ID=2.1\n", "2.1\n"},
      {"VERSION_ID=\"12\"\n", "\"12\"\n"},
      {"VERSION_ID=2.1", "2.1"},
      {"ID=debian\n", std::nullopt},
      {"VERSION=\"12 (bookworm)\"\n", std::nullopt},
      {"X=1 VERSION_ID=2\n", "1 VERSION_ID=2\n"},  // after the line's first "="
  };
  for (const auto& c : cases) EXPECT_EQ(os_release_value(c.line), c.value) << c.line;
}

}  // namespace
}  // namespace ftmd
