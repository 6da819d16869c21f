#include "identity/identity_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "core/shell.h"

namespace ftmd::identity {
namespace {

TEST(IdentityText, SoftwareVersionFromReleaseFileHead) {
  struct Case {
    std::string head;
    std::optional<std::string> version;
  };
  const Case cases[] = {
      {"NAME=x\nVERSION_ID=2.0.1\nID=y\n", "2.0.1"},
      {"VERSION_ID=\"2.0.1\"\n", "\"2.0.1\""},  // quotes stay
      {"ID=y\nVERSION_ID=3.1", "3.1"},          // last line, no line feed
      {"XVERSION_ID=9\n", "9"},                 // need not begin a line
      {"VERSION_ID=\nID=y\n", ""},
      {"NAME=x\nVERSION=1\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(os_release_version(c.head), c.version) << c.head;
}

TEST(IdentityText, ScratchFileValueBothToolFamilies) {
  struct Case {
    std::optional<std::string> line;
    const char* name;
    std::string value;
  };
  const Case cases[] = {
      {"msn=SN0001\n", "msn", "SN0001"},
      {"msn=A=B\n", "msn", "A=B"},  // further equals signs stay
      {"msn=SN 01\n", "msn", "SN 01"},
      {"msn=x;touch /tmp/owned\n", "msn", "x;touch /tmp/owned"},
      {"msn=SN0001", "msn", "SN0001"},  // cut before its line feed
      {"msn=null\n", "msn", "null"},
      {"", "msn", "null"},            // nothing on stdout: not set
      {"msn=\n", "msn", "null"},      // libubootenv: not set
      {std::nullopt, "msn", "null"},  // scratch file unreadable
      {"Cannot read environment\n", "msn", "null"},
      {"msnx=1\n", "msn", "null"},
      {"ethaddr=00:1B:2C:3D:4E:5F\n", "ethaddr", "00:1B:2C:3D:4E:5F"},
      {"ethaddr=\n", "ethaddr", "null"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(scratch_value(c.line, c.name), c.value) << (c.line ? *c.line : "(no file)");
}

TEST(IdentityText, CustomerSerialFromAwkLine) {
  struct Case {
    std::optional<std::string> line;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"C-77\n", "C-77"}, {"A\n", "A"},                  // awk's second field of "csn=A=B"
      {"null\n", "null"},                                // a stored "null" is a value here
      {"C-77", "C-77"},   {"\n", std::nullopt},          // "csn=" from libubootenv
      {"", std::nullopt}, {std::nullopt, std::nullopt},  // no output at all
  };
  for (const auto& c : cases) EXPECT_EQ(csn_value(c.line), c.value) << (c.line ? *c.line : "(no line)");
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

// What the shell makes of a quoted value: exactly the value, nothing run.
TEST(IdentityText, QuotedValuesReachTheShellLiterally) {
  auto dir = std::filesystem::temp_directory_path() / ("ftmd-quote-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string owned = (dir / "owned").string();
  const std::string values[] = {
      "x;touch " + owned,
      "$(touch " + owned + ")",
      "`touch " + owned + "`",
      "a' ; touch " + owned + " ; echo '",
      "\"; touch " + owned + "; \"",
      "x && touch " + owned,
      "x | touch " + owned,
      "x\ntouch " + owned,
      "$HOME ${PATH} * ? [a] ~ \\ !",
      "two  spaces  kept",
  };
  for (const auto& value : values) {
    auto line = quoted_command_line("printf %s ", value);
    ASSERT_TRUE(line) << value;
    ReadPipe pipe(line->c_str());
    ASSERT_TRUE(pipe.started());
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, pipe.get())) out += buf;
    pipe.close();
    EXPECT_EQ(out, value);
    EXPECT_FALSE(std::filesystem::exists(owned)) << value;
  }
  std::filesystem::remove_all(dir);
}

TEST(IdentityText, EnvironmentMacCandidate) {
  struct Case {
    std::string line;
    const char* name;
    std::optional<std::string> candidate;
  };
  const Case cases[] = {
      {"ethaddr=00:1B:2C:3D:4E:5F\n", "ethaddr", "00:1B:2C:3D:4E:5F"},
      {"eth1addr=00:1B:2C:3D:4E:60\n", "eth1addr", "00:1B:2C:3D:4E:60"},
      {"ethaddr=00:1b:2c:3d:4e:5f\n", "ethaddr", "00:1b:2c:3d:4e:5f"},
      {"ethaddr=00:1B\n", "ethaddr", "00:1B\n"},  // short: the line feed comes along
      {"ethaddr=00:1B:2C:3D:4E:5FXX\n", "ethaddr", "00:1B:2C:3D:4E:5F"},
      {"xxxxxxx=00:1B:2C:3D:4E:5F\n", "ethaddr", "00:1B:2C:3D:4E:5F"},  // start not compared
      {"ethaddr=\n", "ethaddr", std::nullopt},
      {"", "ethaddr", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(env_mac_candidate(c.line, c.name), c.candidate) << c.line;
}

TEST(IdentityText, CommandFormAddressesThatMayBeBurned) {
  struct Case {
    const char* address;
    bool ok;
  };
  const Case cases[] = {
      {"001B2C3D4E5F", true},
      {"FEFFFFFFFFFF", true},
      {"0E0000000000", true},
      {"011B2C3D4E5F", false},  // multicast
      {"0F1B2C3D4E5F", false},
      {"001b2c3d4e5f", false},  // lower case
      {"a01B2C3D4E5F", false},  // a lower-case digit anywhere
      {"00:B2C3D4E5F", false},
      {"001B2C3D4E5", false},
      {"001B2C3D4E5F0", false},
      {"", false},
      {"0", false},
  };
  for (const auto& c : cases) EXPECT_EQ(mac_command_form_ok(c.address, true), c.ok) << c.address;
}

TEST(IdentityText, MacTextForms) {
  EXPECT_EQ(mac_insert_colons("001B2C3D4E5F"), "00:1B:2C:3D:4E:5F");
  EXPECT_EQ(mac_strip_colons("00:1B:2C:3D:4E:5F"), "001B2C3D4E5F");
  EXPECT_EQ(mac_strip_colons("null"), "null");
  EXPECT_EQ(mac_strip_colons("::a:"), "a");
}

}  // namespace
}  // namespace ftmd::identity
