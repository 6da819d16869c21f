#include "core/boot_env.h"

#include <gtest/gtest.h>

namespace ftmd {
namespace {

TEST(BootEnv, BothToolFamiliesUnsetLooksTheSame) {
  struct Case {
    const char* line;
    bool unset;
  };
  const Case cases[] = {
      {"", true},        // nothing on stdout
      {"\n", true},      // an empty line
      {"msn=\n", true},  // libubootenv, unset
      {"msn=", true},    // the same, cut before its line feed
      {"msn=SN0001\n", false},
      {"msn= \n", false},  // a blank is a value
      {"msn==\n", false},
      {"msnx=\n", false},  // another variable's empty line is not ours
      {"csn=\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(env_line_is_unset(c.line, "msn"), c.unset) << '"' << c.line << '"';
}

}  // namespace
}  // namespace ftmd
