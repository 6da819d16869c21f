#include "core/boot_env.h"

#include <gtest/gtest.h>

namespace ftmd {
namespace {

// Nothing on stdout (one tool family) and "name=" (the other) both mean the
// variable is not set; a blank or another variable's line is not that.
TEST(BootEnv, BothToolFamiliesUnsetLooksTheSame) {
  for (const char* unset : {"", "\n", "msn=\n", "msn="})
    EXPECT_TRUE(env_line_is_unset(unset, "msn")) << unset;
  for (const char* set : {"msn=SN0001\n", "msn= \n", "msn==\n", "msnx=\n", "csn=\n"})
    EXPECT_FALSE(env_line_is_unset(set, "msn")) << set;
}

}  // namespace
}  // namespace ftmd
