#include "logicmcu/logic_frame.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace ftmd {
namespace {

// Appends printf-style pieces to a LogicText with the room that remains; what
// does not fit is cut off and the text stays NUL-terminated.
class TextBuilder {
 public:
  TextBuilder() { text_.fill('\0'); }

  void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    std::size_t room = text_.size() - used_;
    if (room <= 1) return;
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(text_.data() + used_, room, fmt, args);
    va_end(args);
    if (n > 0) used_ += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
  }

  const LogicText& text() const { return text_; }

 private:
  LogicText text_;
  std::size_t used_ = 0;
};

// Largest number that a 0x48 group shows as its two-digit value.
constexpr std::uint8_t kLogicTwoDigitMax = 99;

// Set confirmation layout: (group, any, status, group, any, status).
constexpr std::size_t kLogicSetConfirmLen = 6;

}  // namespace

std::uint8_t logic_checksum(const LogicFrame& frame) {
  std::span<const std::uint8_t> bytes = frame.bytes();
  std::size_t count = kLogicHeaderSize + frame.msglen;
  if (count > bytes.size()) count = bytes.size();
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
  auto checksum = static_cast<std::uint8_t>(sum & 0xFF);
  syslog(LOG_DEBUG, "checksum --> 0x%x", checksum);
  return checksum;
}

bool logic_frame_accepted(const LogicFrame& frame) {
  return logic_frame_fits(frame) && logic_checksum(frame) == logic_checkbit(frame);
}

const char* logic_mode_letter(std::uint8_t code) {
  switch (code) {
    case kLogicModeInput:
      return "I";
    case kLogicModeOutput:
      return "O";
    case kLogicModeA:
      return "A";
    default:
      return "?";
  }
}

const char* logic_level_pair_text(std::uint8_t code) {
  // High nibble is the first level, low nibble the second.
  switch (code) {
    case 0x00:
      return "LL";
    case 0x01:
      return "LH";
    case 0x10:
      return "HL";
    case 0x11:
      return "HH";
    default:
      return "?";
  }
}

LogicText logic_mode_text(std::span<const std::uint8_t> data) {
  TextBuilder out;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i % 2 == 0)
      out.add(i > 0 ? ",%d" : "%d", data[i]);
    else
      out.add(",%s", logic_mode_letter(data[i]));
  }
  return out.text();
}

LogicText logic_value_text(std::span<const std::uint8_t> data) {
  TextBuilder out;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const char* sep = i > 0 ? "," : "";
    switch (i % 3) {
      case 0:
        out.add("%s%d", sep, data[i]);
        break;
      case 1:
        if (data[i] == kLogicModeA) {
          // A group in this mode reports a number instead of a level pair;
          // it takes the level pair's place in the triple.
          if (i + 1 < data.size() && data[i + 1] <= kLogicTwoDigitMax) {
            out.add("%s%02d", sep, data[i + 1]);
            ++i;
          } else {
            out.add("%s?", sep);
          }
        } else if (data[i] == kLogicModeInput || data[i] == kLogicModeOutput) {
          out.add("%s%s", sep, logic_mode_letter(data[i]));
        } else {
          out.add("%s?", sep);
        }
        break;
      default:
        out.add("%s%s", sep, logic_level_pair_text(data[i]));
        break;
    }
  }
  return out.text();
}

LogicText logic_set_result_text(std::span<const std::uint8_t> data) {
  TextBuilder out;
  if (data.size() == kLogicSetConfirmLen && data[0] == data[3])
    out.add("%s", data[2] == 0 && data[5] == 0 ? "OK" : "ERROR");
  return out.text();
}

}  // namespace ftmd
