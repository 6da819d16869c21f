#pragma once

#include <optional>
#include <string_view>

// The trigger input (two sysfs GPIOs) and the two trigger outputs (driven
// through the board's trigger device, read back from the kernel's GPIO debug
// listing).
namespace ftmd {

inline constexpr char kGpioExportNode[] = "/sys/class/gpio/export";

struct GpioLine {
  const char* number;  // the text written to the export node
  const char* value_file;
};
// Reads 1 when something is plugged into the trigger input.
inline constexpr GpioLine kTriggerDetectGpio{"9", "/sys/class/gpio/gpio9/value"};
// Active low: 0 here means the trigger input is 1.
inline constexpr GpioLine kTriggerInputGpio{"6", "/sys/class/gpio/gpio6/value"};

// The arguments the two tests accept: the input test's query, and the output
// test's modes (both outputs driven high, both low).
inline constexpr char kTriggerInArgs[] = "?";
inline constexpr char kTriggerOutHighArgs[] = "1";
inline constexpr char kTriggerOutLowArgs[] = "0";

inline constexpr char kTriggerOutDevice[] = "/dev/triggerout";
inline constexpr char kTriggerOutDriveHigh[] = "echo 3 > /dev/triggerout";
inline constexpr char kTriggerOutDriveLow[] = "echo 0 > /dev/triggerout";
inline constexpr char kTriggerOutListing[] = "cat /sys/kernel/debug/gpio | grep trigger_out";
inline constexpr std::string_view kTriggerOut1Name = "trigger_out_1";
inline constexpr std::string_view kTriggerOut2Name = "trigger_out_2";
inline constexpr std::string_view kTriggerOutLowMarker = "out lo";
// The listing is read in pieces of at most this many characters: a longer
// line is handled as several lines.
inline constexpr std::size_t kTriggerListingPiece = 127;

// Makes sure the GPIO is exported: writes its number to the export node
// unless the value file already exists. Failures are only logged.
void gpio_export(const char* value_file, const char* number);

// The number in the value file, or -1 when it cannot be opened or holds no
// number (logged at level 3).
int gpio_read_value(const char* value_file);

// A decimal integer after optional white space, as a value file holds it.
std::optional<int> parse_gpio_value(std::string_view text);

// Trigger output levels read back from the listing: -1 not listed, 0 listed
// "out lo", 1 listed in any other state.
struct TriggerOutLevels {
  int out1 = -1;
  int out2 = -1;
  bool operator==(const TriggerOutLevels&) const = default;
};

// Applies one listing line (or piece of a long line); a later line overrides
// an earlier one.
void apply_trigger_listing_line(std::string_view line, TriggerOutLevels& levels);

// The levels a whole listing output gives, read line by line in pieces of at
// most kTriggerListingPiece characters.
TriggerOutLevels parse_trigger_listing(std::string_view listing);

}  // namespace ftmd
