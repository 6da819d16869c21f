#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The status LED: three LED-class channels and the eight patterns the test
// PC may ask for. Everything here is data and pure lookups; led.cpp does the
// writes.
namespace ftmd {

enum class LedChannel : std::uint8_t { kRed, kGreen, kBlue };
inline constexpr std::size_t kLedChannelCount = 3;

// A set of channels, one bit per channel (bit 0 red, 1 green, 2 blue).
using LedMask = std::uint8_t;
constexpr LedMask led_bit(LedChannel c) { return static_cast<LedMask>(1u << static_cast<unsigned>(c)); }
inline constexpr LedMask kNoLeds = 0;
inline constexpr LedMask kRedLed = led_bit(LedChannel::kRed);
inline constexpr LedMask kGreenLed = led_bit(LedChannel::kGreen);
inline constexpr LedMask kBlueLed = led_bit(LedChannel::kBlue);
inline constexpr LedMask kAllLeds = kRedLed | kGreenLed | kBlueLed;

// One channel's files and texts. The write-failure logs say "write 0 value"
// whatever was written: the station's log filters look for that text.
struct LedChannelInfo {
  const char* name;              // the LED class device's name
  const char* class_dir;         // presence check
  const char* brightness;        // the file written
  const char* driver_missing;    // reply when a single pattern's lit channel has no class dir
  const char* state_error;       // reply when a single pattern's lit channel cannot be written
  const char* group_error;       // text inside "check led: %s\n"
  const char* open_failed_log;   // level 3
  const char* write_failed_log;  // level 3
};

// Visited in this order, always.
inline constexpr std::array<LedChannelInfo, kLedChannelCount> kLedChannels = {{
    {"red", "/sys/class/leds/red", "/sys/class/leds/red/brightness", nullptr, "red state error\n",
     "red led error, ", "cannot read red the file\n", "write 0 value to red/brightness error"},
    {"green", "/sys/class/leds/green", "/sys/class/leds/green/brightness", "green driver broken\n",
     "green state error\n", "green led error, ", "cannot read green the file\n",
     "write 0 value to green/brightness error"},
    {"blue", "/sys/class/leds/blue", "/sys/class/leds/blue/brightness", "blue driver broken\n",
     "blue state error\n", "blue led error, ", "cannot read blue the file\n",
     "write 0 value to blue/brightness error"},
}};

constexpr const LedChannelInfo& led_info(LedChannel c) { return kLedChannels[static_cast<std::size_t>(c)]; }

// The LED driver takes the NUL as part of the value: every write is exactly
// these two bytes.
inline constexpr char kLedOnValue[2] = {'1', '\0'};
inline constexpr char kLedOffValue[2] = {'0', '\0'};

enum class LedPatternKind : std::uint8_t {
  // One channel lit; the two others switched off afterwards, best effort.
  kSingle,
  // Every channel of the set written with one value; a channel outside the
  // set may be switched off first, best effort.
  kGroup,
};

struct LedPattern {
  std::string_view text;
  LedPatternKind kind;
  LedMask set;                          // channels written with `on`
  bool on;                              // "1" or "0"
  LedMask off_first;                    // group: switched off before the set is written
  std::array<LedChannel, 2> off_after;  // single: switched off after the lit one, in this order
};

// Tried top to bottom; the pattern is compared whole and case-sensitively.
inline constexpr std::array<LedPattern, 8> kLedPatterns = {{
    {"1,255,0,0", LedPatternKind::kSingle, kRedLed, true, kNoLeds, {LedChannel::kGreen, LedChannel::kBlue}},
    {"1,0,255,0", LedPatternKind::kSingle, kGreenLed, true, kNoLeds, {LedChannel::kRed, LedChannel::kBlue}},
    {"1,0,0,255", LedPatternKind::kSingle, kBlueLed, true, kNoLeds, {LedChannel::kGreen, LedChannel::kRed}},
    {"1,255,255,255", LedPatternKind::kGroup, kAllLeds, true, kNoLeds, {}},
    {"1,255,255,0", LedPatternKind::kGroup, kRedLed | kGreenLed, true, kBlueLed, {}},
    {"1,0,255,255", LedPatternKind::kGroup, kGreenLed | kBlueLed, true, kRedLed, {}},
    {"1,255,0,255", LedPatternKind::kGroup, kRedLed | kBlueLed, true, kGreenLed, {}},
    {"1,0,0,0", LedPatternKind::kGroup, kAllLeds, false, kNoLeds, {}},
}};

// The first pattern equal to `text`, or nullptr when the text is none of them.
constexpr const LedPattern* find_led_pattern(std::string_view text) {
  for (const LedPattern& p : kLedPatterns)
    if (p.text == text) return &p;
  return nullptr;
}

// The text a failed group pattern reports: the error text of the failed
// channel that comes last in red, green, blue order (each one replaces the one
// before). nullptr when `failed` is empty.
constexpr const char* led_group_error(LedMask failed) {
  const char* text = nullptr;
  for (std::size_t i = 0; i < kLedChannelCount; ++i)
    if (failed & led_bit(static_cast<LedChannel>(i))) text = kLedChannels[i].group_error;
  return text;
}

}  // namespace ftmd
