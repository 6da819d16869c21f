#include <gtest/gtest.h>

#include <string>

#include "hwtest/trigger.h"

namespace ftmd {
namespace {

// Lines as the kernel's GPIO debug listing prints them.
const std::string kOut1High = " gpio-100 (                    |trigger_out_1       ) out hi \n";
const std::string kOut1Low = " gpio-100 (                    |trigger_out_1       ) out lo \n";
const std::string kOut2High = " gpio-101 (                    |trigger_out_2       ) out hi \n";
const std::string kOut2Low = " gpio-101 (                    |trigger_out_2       ) out lo \n";

TEST(TriggerListing, LevelsFromListing) {
  struct Case {
    const char* name;
    std::string listing;
    TriggerOutLevels levels;
  };
  const Case cases[] = {
      {"empty", "", {-1, -1}},
      {"both high", kOut1High + kOut2High, {1, 1}},
      {"both low", kOut1Low + kOut2Low, {0, 0}},
      {"mixed", kOut1High + kOut2Low, {1, 0}},
      {"only out 1", kOut1Low, {0, -1}},
      {"later line overrides", kOut1Low + kOut2Low + kOut1High, {1, 0}},
      {"listed as input counts as high", " gpio-101 (   |trigger_out_2  ) in  lo \n" + kOut1Low, {0, 1}},
      {"no final line end", kOut1Low + kOut2Low.substr(0, kOut2Low.size() - 1), {0, 0}},
      {"one line naming both", "trigger_out_1 trigger_out_2 out lo\n", {0, 0}},
      {"other lines ignored",
       " gpio-6   (                    |sysfs               ) in  lo IRQ \n",
       {-1, -1}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_trigger_listing(c.listing), c.levels) << c.name;
}

TEST(TriggerListing, LongLinesAreReadInPiecesOf127) {
  // Name and marker in different pieces: the name's piece has no "out lo".
  std::string name_then_marker = "trigger_out_1" + std::string(127 - 13, ' ') + "out lo\n";
  EXPECT_EQ(parse_trigger_listing(name_then_marker + kOut2Low), (TriggerOutLevels{1, 0}));

  // A name cut by the piece boundary is not seen at all.
  std::string cut_name = std::string(120, ' ') + "trigger_out_1 out lo\n";
  EXPECT_EQ(parse_trigger_listing(cut_name + kOut2Low), (TriggerOutLevels{-1, 0}));

  // Exactly 127 characters before the line end: the line end is a piece of
  // its own and changes nothing.
  std::string exact = "trigger_out_1 out lo" + std::string(127 - 20, ' ') + "\n";
  EXPECT_EQ(parse_trigger_listing(exact + kOut2Low), (TriggerOutLevels{0, 0}));
}

TEST(GpioValue, ParsesLikeTheValueFileReads) {
  EXPECT_EQ(parse_gpio_value("1\n"), 1);
  EXPECT_EQ(parse_gpio_value("0"), 0);
  EXPECT_EQ(parse_gpio_value(" \n\t1"), 1);
  EXPECT_EQ(parse_gpio_value("-1\n"), -1);
  EXPECT_EQ(parse_gpio_value("2x"), 2);
  EXPECT_EQ(parse_gpio_value(""), std::nullopt);
  EXPECT_EQ(parse_gpio_value("\n"), std::nullopt);
  EXPECT_EQ(parse_gpio_value("high"), std::nullopt);
}

}  // namespace
}  // namespace ftmd
