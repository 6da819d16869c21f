#include "identity/identity_text.h"

#include <gtest/gtest.h>

#include <string>

namespace ftmd::identity {
namespace {

TEST(IdentityText, SoftwareVersionFromReleaseFileHead) {
  EXPECT_EQ(os_release_version("NAME=x\nVERSION_ID=\"2.0.1\"\nID=y\n"), "\"2.0.1\"");  // quotes stay
  EXPECT_EQ(os_release_version("ID=y\nVERSION_ID=3.1"), "3.1");                        // no line feed
  EXPECT_EQ(os_release_version("XVERSION_ID=9\n"), "9");  // need not begin a line
  EXPECT_EQ(os_release_version("VERSION_ID=\nID=y\n"), "");
  EXPECT_EQ(os_release_version("NAME=x\nVERSION=1\n"), std::nullopt);
}

TEST(IdentityText, ReadBackValuesBothToolFamilies) {
  const std::pair<std::optional<std::string>, std::string> msn[] = {
      {"msn=A=B\n", "A=B"},      // further equals signs stay
      {"msn=SN0001", "SN0001"},  // cut before its line feed
      {"msn=null\n", "null"},
      {"", "null"},            // nothing on stdout: not set
      {"msn=\n", "null"},      // libubootenv: not set
      {std::nullopt, "null"},  // scratch file unreadable
      {"Cannot read environment\n", "null"},
      {"msnx=1\n", "null"},
  };
  for (const auto& [line, value] : msn)
    EXPECT_EQ(scratch_value(line, "msn"), value) << line.value_or("(no file)");
  EXPECT_EQ(scratch_value("ethaddr=\n", "ethaddr"), "null");

  const std::pair<std::optional<std::string>, std::optional<std::string>> csn[] = {
      {"A\n", "A"},                                      // awk's second field of "csn=A=B"
      {"null\n", "null"},                                // a stored "null" is a value here
      {"C-77", "C-77"},   {"\n", std::nullopt},          // "csn=" from libubootenv
      {"", std::nullopt}, {std::nullopt, std::nullopt},  // no output at all
  };
  for (const auto& [line, value] : csn) EXPECT_EQ(csn_value(line), value) << line.value_or("(no line)");
}

// The value's own length decides: 14 + 241 characters fill a 256-byte line.
TEST(IdentityText, CommandLineFitsOrIsRefused) {
  const std::string prefix = "fw_setenv msn ";
  EXPECT_EQ(quoted_command_line(prefix, "SN0001"), "fw_setenv msn 'SN0001'");
  EXPECT_EQ(quoted_command_line(prefix, "it's"), "fw_setenv msn 'it'\\''s'");
  EXPECT_EQ(quoted_command_line(prefix, std::string(241, 'A')), prefix + "'" + std::string(241, 'A') + "'");
  EXPECT_TRUE(quoted_command_line(prefix, std::string(241, '\'')));  // quoting never counts
  EXPECT_FALSE(quoted_command_line(prefix, std::string(242, 'A')));
}

TEST(IdentityText, EnvironmentMacCandidate) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"ethaddr=00:1b:2c:3d:4e:5f\n", "00:1b:2c:3d:4e:5f"},
      {"ethaddr=00:1B\n", "00:1B\n"},  // short: the line feed comes along
      {"ethaddr=00:1B:2C:3D:4E:5FXX\n", "00:1B:2C:3D:4E:5F"},
      {"xxxxxxx=00:1B:2C:3D:4E:5F\n", "00:1B:2C:3D:4E:5F"},  // start not compared
      {"ethaddr=\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [line, candidate] : cases)
    EXPECT_EQ(env_mac_candidate(line, "ethaddr"), candidate) << line;
}

TEST(IdentityText, MacForms) {
  for (const char* ok : {"001B2C3D4E5F", "FEFFFFFFFFFF", "0E0000000000"})
    EXPECT_TRUE(mac_command_form_ok(ok, true));
  // Multicast, lower case anywhere, separators, too short or long.
  for (const char* bad : {"011B2C3D4E5F", "0F1B2C3D4E5F", "001b2c3d4e5f", "a01B2C3D4E5F", "00:B2C3D4E5F",
                          "001B2C3D4E5", "001B2C3D4E5F0", "", "0"})
    EXPECT_FALSE(mac_command_form_ok(bad, true)) << bad;
  EXPECT_EQ(mac_insert_colons("001B2C3D4E5F"), "00:1B:2C:3D:4E:5F");
  EXPECT_EQ(mac_strip_colons("::a:"), "a");
}

}  // namespace
}  // namespace ftmd::identity
