#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "daemon/command_table.h"

namespace ftmd {
namespace {

std::string dispatch(std::string text) {
  ReplyBuffer reply;
  text.push_back('\0');
  dispatch_command(text.data(), reply);
  return std::string(reply.text());
}

// Commands whose replies need no device: the fixed replies, the matching
// rule, and handlers that refuse their arguments before touching anything, so
// each shows that it got exactly the text after its own prefix.
TEST(Dispatch, RepliesWithoutTheDevice) {
  const struct {
    const char* command;
    const char* reply;
  } cases[] = {
      {"", "ERROR,Invalid Cmd\n"},
      {"AT+FTM,REBOOT=1", "OK, tamo is rebooting..."},
      {"at+ftm,reboot=1 and more", "OK, tamo is rebooting..."},
      {"at+ftm,reboot=0", "ERROR,Invalid Cmd\n"},
      {"At+Ftm,DSP=anything at all", "ERROR,Command not supported in tolvek\n"},
      {"at+ftm,swver", "ERROR,Invalid Cmd\n"},
      {"at+ftm,rcadetect=?", "ERROR,Invalid Cmd\n"},
      {"at+ftmsoft=1", "ERROR,Invalid Cmd\n"},
      {"at+ftm,ftmver=?x", "OK,ftmver=V1.0\n"},
      {"AT+FTM,AUTOTEST=7", "ERROR\n"},
      {"at+ftm,sn=", "ERROR,Invalid Cmd\n"},
      {"at+ftm,csn=-n", "ERROR,format error\n"},
      {"at+ftm,ethmac=001B2C3D4E5F,001B2C3D4E5F", "ERROR,MACAddres Conflict\n"},
      {"at+ftm,ethmac=?\n", "ERROR,length error\n"},
      {"at+ftm,keytest=1 ", "ERROR,Invalid Cmd\n"},
      {"at+ftm,triggerin=1", "ERROR,Invalid Cmd\n"},
      {"at+ftm,triggertest=2", "ERROR,Invalid Cmd\n"},
      {"at+ftm,volume=3", "ERROR\n"},
      {"at+ftm,volume:3,101", "ERROR\n"},
      {"at+ftm,checkdantedevlic=??", "Invalid Cmd\n"},
      {"at+ftm,checkdantecert=", "Invalid Cmd\n"},
      {"at+ftm,logicmcusetmode=2,o", "ERROR,Command format error\n"},
      {"at+ftm,circuit=15,1", "ERROR,Command format error\n"},
      {"at+ftm,aging=14,120", "ERROR,Command data1 format error\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(dispatch(c.command), c.reply) << "command: " << c.command;
}

// With its own prefix as the text, every row is the first to match: no
// prefix hides another, in either letter case.
TEST(Dispatch, EveryRowIsReachable) {
  for (std::size_t i = 0; i < kCommandTable.size(); ++i) {
    for (bool upper : {false, true}) {
      std::string text = kCommandTable[i].prefix;
      if (upper)
        for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      EXPECT_EQ(find_command(text.c_str()), &kCommandTable[i]) << text;
      text.pop_back();  // a text shorter than the prefix never matches
      EXPECT_NE(find_command(text.c_str()), &kCommandTable[i]) << text;
    }
  }
}

}  // namespace
}  // namespace ftmd
