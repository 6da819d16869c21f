#include <gtest/gtest.h>

#include "hwtest/led.h"

namespace ftmd {
namespace {

TEST(LedPattern, EachKnownPatternSelectsItsChannelsAndValue) {
  struct Case {
    const char* text;
    LedPatternKind kind;
    LedMask set;
    bool on;
    LedMask off_first;
  };
  const Case cases[] = {
      {"1,255,0,0", LedPatternKind::kSingle, kRedLed, true, kNoLeds},
      {"1,0,255,0", LedPatternKind::kSingle, kGreenLed, true, kNoLeds},
      {"1,0,0,255", LedPatternKind::kSingle, kBlueLed, true, kNoLeds},
      {"1,255,255,255", LedPatternKind::kGroup, kAllLeds, true, kNoLeds},
      {"1,255,255,0", LedPatternKind::kGroup, kRedLed | kGreenLed, true, kBlueLed},
      {"1,0,255,255", LedPatternKind::kGroup, kGreenLed | kBlueLed, true, kRedLed},
      {"1,255,0,255", LedPatternKind::kGroup, kRedLed | kBlueLed, true, kGreenLed},
      {"1,0,0,0", LedPatternKind::kGroup, kAllLeds, false, kNoLeds},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const LedPattern* p = find_led_pattern(c.text);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->kind, c.kind);
    EXPECT_EQ(p->set, c.set);
    EXPECT_EQ(p->on, c.on);
    EXPECT_EQ(p->off_first, c.off_first);
  }
}

TEST(LedPattern, SinglePatternsSwitchTheOtherTwoOffInTheDeviceOrder) {
  // Blue's order is green then red, unlike the other two.
  using enum LedChannel;
  EXPECT_EQ(find_led_pattern("1,255,0,0")->off_after, (std::array{kGreen, kBlue}));
  EXPECT_EQ(find_led_pattern("1,0,255,0")->off_after, (std::array{kRed, kBlue}));
  EXPECT_EQ(find_led_pattern("1,0,0,255")->off_after, (std::array{kGreen, kRed}));
}

TEST(LedPattern, OnlyTheExactTextMatches) {
  for (const char* text : {"", "1,255,0,0 ", "1,255,0,0\n", " 1,255,0,0", "1,255,0,00", "1,255,0",
                           "0,255,0,0", "1, 255,0,0", "1,0,0,0,", "1,0,0"}) {
    EXPECT_EQ(find_led_pattern(text), nullptr) << '"' << text << '"';
  }
}

TEST(LedPattern, GroupErrorNamesTheLastFailedChannel) {
  EXPECT_EQ(led_group_error(kNoLeds), nullptr);
  EXPECT_STREQ(led_group_error(kRedLed), "red led error, ");
  EXPECT_STREQ(led_group_error(kRedLed | kGreenLed), "green led error, ");
  EXPECT_STREQ(led_group_error(kRedLed | kBlueLed), "blue led error, ");
  EXPECT_STREQ(led_group_error(kAllLeds), "blue led error, ");
}

}  // namespace
}  // namespace ftmd
