#pragma once

#include <map>
#include <optional>
#include <string>

#include "vboard/sysfs.h"

namespace vboard {

// The GPIO controller as the sysfs interface and the debug listing show it.
//
// /sys/class/gpio/export and unexport take a line number (kstrtol, base 0:
// "84", "84\n" and "84" NUL all work). Exporting a line that does not exist
// is EINVAL, exporting it twice EBUSY; an export creates gpioN/{direction,
// value,edge,active_low}. direction takes "in", "out", "high", "low"; value
// takes a number (non-zero is 1) and is EPERM on an input; an input reads the
// level the test set with set_input().
//
// /sys/kernel/debug/gpio lists every requested line (exported: label
// "sysfs"; claimed by a driver: its label) per controller bank, in the
// kernel's format: " gpio-84  (                    |sysfs               ) out hi ".
class Gpio {
 public:
  struct Line {
    int number = 0;
    std::string label;      // "" while free; "sysfs" once exported; or a driver's
    bool exported = false;  // through /sys/class/gpio
    bool output = false;
    int value = 0;        // what an output drives
    int input_level = 0;  // what an input reads
    bool listed = true;   // false hides a claimed line from the debug listing
  };

  // The lines the daemon uses through sysfs: 84 (audio MCU enable), 6
  // (trigger input, active low) and 9 (trigger detect).
  static constexpr int kDefaultLines[] = {84, 6, 9};

  explicit Gpio(HwTree& tree);

  static std::string line_dir(int number);

  // Makes a line exist (free, input, level 0).
  void add_line(int number);
  // A line claimed by a kernel driver (not exportable), e.g. a trigger output.
  void claim(int number, const std::string& label, bool output, int value);
  // The level an input line reads.
  void set_input(int number, int level);
  // Drives a claimed output (for drivers).
  void drive(int number, int value);
  void set_listed(int number, bool listed);
  std::optional<Line> line(int number) const;

  std::string debug_listing() const;

 private:
  int do_export(std::string_view bytes);
  int do_unexport(std::string_view bytes);
  void add_line_files(int number);

  HwTree& tree_;
  std::map<int, Line> lines_;  // guarded by the tree's lock
};

}  // namespace vboard
