#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vboard {

// The logic MCU's firmware as the daemon sees it, without any I/O: four
// groups, each with a mode and two levels, answering one request frame with
// one reply frame.
//
// Frames (both directions, little-endian):
//   AA AA | cmd u16 | msglen u16 | data[msglen] | checkbit (low byte of the sum of all before it)
//
//   request                              answer
//   1 mode query  (groups...)            1 mode report  (group, mode)...
//   2 mode set    (group, mode)          2 mode report of all four groups
//   3 value query (groups...)            3 value report (group, mode, level pair)...,
//                                          a group in mode 0x48 reports (group, 0x48, number)
//   4 level set   (g, 1, lv1, g, 2, lv2) 4 confirmation (g, 1, st1, g, 2, st2), status 0 = done
//
// Levels are set only for a group in output mode (0x22); otherwise, or when
// rejecting is switched on, both statuses are 1 and nothing changes. A level
// pair is one byte: high nibble the first level, low nibble the second.
// Requests with a bad head or checksum, or an unknown code, get no answer.
// Not thread-safe: the LogicMcu component guards it.
class LogicMcuModel {
 public:
  using Bytes = std::vector<std::uint8_t>;

  static constexpr std::uint8_t kInput = 0x11;
  static constexpr std::uint8_t kOutput = 0x22;
  static constexpr std::uint8_t kModeA = 0x48;
  static constexpr int kGroups = 4;

  struct Group {
    std::uint8_t mode = kInput;
    bool first = false;        // level 1 (true = high)
    bool second = false;       // level 2
    std::uint8_t number = 50;  // what a group in mode 0x48 reports
  };

  // Groups 1 to 4: input, output, output, input; levels low; number 50.
  LogicMcuModel();

  // The answer frame to one request frame, or nothing.
  std::optional<Bytes> answer(std::span<const std::uint8_t> request);

  Group& group(int g) { return groups_.at(static_cast<std::size_t>(g - 1)); }
  const Group& group(int g) const { return groups_.at(static_cast<std::size_t>(g - 1)); }
  bool reject_level_set = false;

  // A frame with a correct checkbit.
  static Bytes frame(std::uint16_t cmd, std::span<const std::uint8_t> data);
  // A request frame's code and data when its head, length and checkbit are right.
  static std::optional<std::uint16_t> request_code(std::span<const std::uint8_t> frame);

 private:
  Bytes mode_report(std::uint16_t cmd, std::span<const std::uint8_t> groups) const;
  std::uint8_t mode_of(std::uint8_t g) const;

  std::array<Group, kGroups> groups_;
};

}  // namespace vboard
