#include <gtest/gtest.h>

#include <string>

#include "hwtest/trigger.h"

namespace ftmd {
namespace {

// Lines as the kernel's GPIO debug listing prints them.
const std::string kOut1High = " gpio-100 (                    |trigger_out_1       ) out hi \n";
const std::string kOut1Low = " gpio-100 (                    |trigger_out_1       ) out lo \n";
const std::string kOut2Low = " gpio-101 (                    |trigger_out_2       ) out lo \n";

TEST(TriggerListing, LevelsFromListing) {
  const struct {
    const char* name;
    std::string listing;
    TriggerOutLevels levels;
  } cases[] = {
      {"later line overrides", kOut1Low + kOut2Low + kOut1High, {1, 0}},
      {"listed as input counts as high", " gpio-101 (   |trigger_out_2  ) in  lo \n" + kOut1Low, {0, 1}},
      {"no final line end", kOut1Low + kOut2Low.substr(0, kOut2Low.size() - 1), {0, 0}},
      {"one line naming both", "trigger_out_1 trigger_out_2 out lo\n", {0, 0}},
      // Long lines are read in pieces of 127: a name and its marker in two
      // pieces, a name cut by the boundary (not seen at all), a line end that
      // is a piece of its own.
      {"marker in the next piece",
       "trigger_out_1" + std::string(127 - 13, ' ') + "out lo\n" + kOut2Low,
       {1, 0}},
      {"name cut", std::string(120, ' ') + "trigger_out_1 out lo\n" + kOut2Low, {-1, 0}},
      {"exactly 127", "trigger_out_1 out lo" + std::string(127 - 20, ' ') + "\n" + kOut2Low, {0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_trigger_listing(c.listing), c.levels) << c.name;
}

TEST(GpioValue, ParsesLikeTheValueFileReads) {
  EXPECT_EQ(parse_gpio_value(" \n\t1"), 1);
  EXPECT_EQ(parse_gpio_value("-1\n"), -1);
  EXPECT_EQ(parse_gpio_value("2x"), 2);
  EXPECT_EQ(parse_gpio_value("\n"), std::nullopt);
  EXPECT_EQ(parse_gpio_value("high"), std::nullopt);
}

}  // namespace
}  // namespace ftmd
