#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "core/command_table.h"

namespace ftmd {
namespace {

std::string dispatch(std::string text) {
  ReplyBuffer reply;
  text.push_back('\0');
  dispatch_command(text.data(), reply);
  return std::string(reply.text());
}

struct DispatchCase {
  const char* command;
  const char* reply;
};

TEST(Dispatch, FixedRepliesAndMatchingRules) {
  const DispatchCase cases[] = {
      {"", "ERROR,Invalid Cmd\n"},
      {"hello", "ERROR,Invalid Cmd\n"},
      {"at+ftm,reboot=1", "OK, tamo is rebooting..."},
      {"AT+FTM,REBOOT=1", "OK, tamo is rebooting..."},
      {"at+ftm,reboot=0", "ERROR,Invalid Cmd\n"},
      {"at+ftm,reboot=", "ERROR,Invalid Cmd\n"},
      {"at+ftm,dsp", "ERROR,Command not supported in tolvek\n"},
      {"At+Ftm,DSP=anything at all", "ERROR,Command not supported in tolvek\n"},
      {"at+ftm,ds", "ERROR,Invalid Cmd\n"},
      {"at+ftm,swver", "ERROR,Invalid Cmd\n"},
      {"at+ftm,reboot=1 and more", "OK, tamo is rebooting..."},
      {"at+ftm,auxindetect", "ERROR,Invalid Cmd\n"},
      {"at+ftm,rcadetect=?", "ERROR,Invalid Cmd\n"},
      {"at+ftm,fandriver", "ERROR,Invalid Cmd\n"},
      {"at+ftm,qrcode=?", "ERROR,Invalid Cmd\n"},
      {"at+ftm,record", "ERROR,Invalid Cmd\n"},
      {"at+ftm,tamosound", "ERROR,Invalid Cmd\n"},
      {"at+ftmsoft=1", "ERROR,Invalid Cmd\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(dispatch(c.command), c.reply) << "command: " << c.command;
}

TEST(Dispatch, TableHasTheProtocolsRowsInOrder) {
  EXPECT_STREQ(kCommandTable.front().prefix, "at+ftm,Autotest");
  EXPECT_STREQ(kCommandTable[17].prefix, "at+ftm,reboot=1");
  EXPECT_STREQ(kCommandTable[19].prefix, "at+ftmsoft=");
  EXPECT_STREQ(kCommandTable.back().prefix, "at+ftm,aging=");
  std::set<std::string> prefixes;
  for (const auto& row : kCommandTable) {
    ASSERT_NE(row.handler, nullptr) << row.prefix;
    prefixes.insert(row.prefix);
  }
  EXPECT_EQ(prefixes.size(), kCommandCount);
}

// With its own prefix as the text, every row is the first to match: no
// prefix hides another, in either letter case.
TEST(Dispatch, EveryRowIsReachable) {
  for (std::size_t i = 0; i < kCommandTable.size(); ++i) {
    for (bool upper : {false, true}) {
      std::string text = kCommandTable[i].prefix;
      if (upper)
        for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      for (std::size_t j = 0; j < i; ++j) {
        const char* earlier = kCommandTable[j].prefix;
        EXPECT_NE(strncasecmp(earlier, text.c_str(), std::strlen(earlier)), 0)
            << "row " << j + 1 << " hides row " << i + 1;
      }
    }
  }
}

}  // namespace
}  // namespace ftmd
