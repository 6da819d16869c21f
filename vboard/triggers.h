#pragma once

#include <string>

#include "vboard/gpio.h"
#include "vboard/sysfs.h"

namespace vboard {

// The trigger output driver: /dev/triggerout takes a number whose bit 0
// drives trigger_out_1 and bit 1 trigger_out_2 ("3" both high, "0" both
// low; anything else EINVAL). The two lines are GPIOs claimed by the driver
// and so appear in /sys/kernel/debug/gpio at once.
class Triggers {
 public:
  static constexpr int kOut1Gpio = 112;
  static constexpr int kOut2Gpio = 113;
  static constexpr char kDevice[] = "/dev/triggerout";

  // How a test breaks one output line.
  enum class LineFault { kNone, kMissing, kStuckLow, kStuckHigh };

  Triggers(HwTree& tree, Gpio& gpio);

  // Line 1 or 2.
  void set_fault(int line, LineFault fault);
  // The level a line shows now (after faults); -1 when missing.
  int level(int line) const;
  // Removes /dev/triggerout (the driver is not loaded) or adds it back.
  void set_present(bool present);

 private:
  void apply();
  void add_device();

  HwTree& tree_;
  Gpio& gpio_;
  int requested_ = 0;         // guarded by the tree's lock
  LineFault faults_[2] = {};  // guarded by the tree's lock
};

}  // namespace vboard
