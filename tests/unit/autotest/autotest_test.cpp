#include "autotest/autotest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace ftmd {
namespace {

// The arguments are the text after the command's 15 characters; the number
// is read from their second character on.
TEST(Autotest, ParameterForms) {
  const struct {
    const char* args;
    bool report;
    long number;  // only when not a report
  } cases[] = {
      {"", true, 0},
      {"=0", true, 0},
      {"=", true, 0},
      {"=x", true, 0},
      {"x=0", true, 0},  // "=" anywhere
      {"=1", false, 1},
      {"=02", false, 2},
      {"= 3", false, 3},
      {"=\t+4", false, 4},
      {" 2", false, 2},  // no "=", still read from the second character
      {"1", false, 0},   // nothing after the first character: 0, but no "="
      {"=-1", false, -1},
      {"=5abc", false, 5},
      {"=4294967298", false, 4294967298},  // never wraps into a case
  };
  for (const auto& c : cases) {
    EXPECT_EQ(autotest_wants_report(c.args), c.report) << c.args;
    if (!c.report) {
      EXPECT_EQ(autotest_parameter(c.args), c.number) << c.args;
    }
  }
}

TEST(Autotest, HandlerRepliesForHelpAndUnknownCases) {
  const struct {
    const char* args;
    std::string_view reply;
  } cases[] = {
      {"=01", kAutotestHelp},
      {"=-1", "ERROR\n"},
      {"1", "ERROR\n"},
      {"=99999999999999999999", "ERROR\n"},
  };
  for (const auto& c : cases) {
    std::string args = c.args;
    ReplyBuffer reply;
    autotest(args.data(), reply);
    EXPECT_EQ(reply.text(), c.reply) << c.args;
  }
}

// What a reader makes of one line (the report's cases run on the board).
TEST(Autotest, ReaderLines) {
  EXPECT_EQ(boot_env_value("msn=A=B\n", "msn"), "A=B\n");
  EXPECT_EQ(boot_env_value("msn=SN0123456789ABCDEFG", "msn"), "SN0123456789ABCDEFG");  // cut: no line feed
  EXPECT_EQ(boot_env_value("msn=\n", "msn"), std::nullopt);  // libubootenv's "not set"
  EXPECT_EQ(boot_env_value("Cannot read environment\n", "msn"), std::nullopt);
  EXPECT_EQ(os_release_value("X=1 VERSION_ID=2\n"), "1 VERSION_ID=2\n");  // after the line's first "="
  EXPECT_EQ(os_release_value("VERSION=\"12 (bookworm)\"\n"), std::nullopt);
  EXPECT_EQ(feedback_text({std::nullopt, "SN0123456789ABCDEFG", "C42\n", std::nullopt}),
            "-----feedback:-----\n[1],ftmver=V1.0\n[2],ERROR[3],SN0123456789ABCDEFG[4],C42\n[5],ERROR");
}

}  // namespace
}  // namespace ftmd
