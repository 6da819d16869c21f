#pragma once

#include <string>
#include <vector>

#include "vboard/sysfs.h"

namespace vboard {

// LED class devices: /sys/class/leds/<name>/{brightness,max_brightness,trigger}
// for "red", "green" and "blue". brightness takes a decimal number (kstrtoul:
// "1", "1\n" and "1" NUL are the same, anything else is EINVAL), clamps it to
// max_brightness and reads back as "<n>\n"; writing 0 also drops the trigger.
// trigger lists the triggers with the active one in brackets.
class Leds {
 public:
  static constexpr int kMaxBrightness = 255;

  explicit Leds(HwTree& tree);

  // The class directory of an LED (e.g. "/sys/class/leds/red").
  static std::string dir(const std::string& name);
  static std::string brightness_path(const std::string& name);

  // Adds (back) the LED `name`, switched off.
  void add(const std::string& name);
  // Removes the LED's class directory, as when its driver is not loaded.
  void remove(const std::string& name);
  // Current brightness, -1 when the LED is absent.
  int brightness(const std::string& name) const;
  std::string trigger(const std::string& name) const;

 private:
  struct Led {
    int brightness = 0;
    std::string trigger = "none";
  };
  HwTree& tree_;
  std::vector<std::pair<std::string, Led>> leds_;  // guarded by the tree's lock
  Led* find(const std::string& name);
  const Led* find(const std::string& name) const;
};

}  // namespace vboard
