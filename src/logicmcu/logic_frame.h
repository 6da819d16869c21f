#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ftmd {

// The frame exchanged with the logic MCU on its UART, in both directions.
//
//   0      1      2        4          6               6+msglen
//   +------+------+--------+----------+---------------+----------+
//   | 0xAA | 0xAA |  cmd   |  msglen  | data[msglen]  | checkbit |
//   +------+------+--------+----------+---------------+----------+
//                  u16 LE    u16 LE
//
// `checkbit` is the low byte of the sum of every byte before it. A frame is
// held, sent or received, in one 262-byte buffer: 6 header bytes and 256 bytes
// for data and checkbit, so a frame that fits carries at most 255 data bytes.
// Bytes past the frame are zero in a frame we build.
struct LogicFrame {
  std::uint8_t head1 = 0;
  std::uint8_t head2 = 0;
  std::uint16_t cmd = 0;
  std::uint16_t msglen = 0;
  std::array<std::uint8_t, 256> data{};  // data bytes, then checkbit

  // The whole 262-byte buffer, as read from or written to the port.
  std::span<std::uint8_t> bytes() { return {reinterpret_cast<std::uint8_t*>(this), sizeof(*this)}; }
  std::span<const std::uint8_t> bytes() const {
    return {reinterpret_cast<const std::uint8_t*>(this), sizeof(*this)};
  }
};

// The wire is little-endian, as are the device and every build host; the
// struct is the wire layout.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(LogicFrame) == 262);
static_assert(offsetof(LogicFrame, cmd) == 2 && offsetof(LogicFrame, msglen) == 4 &&
              offsetof(LogicFrame, data) == 6);

inline constexpr std::uint8_t kLogicHead = 0xAA;
inline constexpr std::size_t kLogicHeaderSize = 6;
inline constexpr std::size_t kLogicFrameBufferSize = sizeof(LogicFrame);
inline constexpr std::size_t kLogicMaxDataLen = 255;

// Command codes (the daemon sends 1 to 4; the MCU answers with the same code).
inline constexpr std::uint16_t kLogicCmdNone = 0;
inline constexpr std::uint16_t kLogicCmdGetMode = 1;
inline constexpr std::uint16_t kLogicCmdSetMode = 2;
inline constexpr std::uint16_t kLogicCmdGetValue = 3;
inline constexpr std::uint16_t kLogicCmdSetValue = 4;

// Mode codes of a group.
inline constexpr std::uint8_t kLogicModeInput = 0x11;   // "I"
inline constexpr std::uint8_t kLogicModeOutput = 0x22;  // "O"
inline constexpr std::uint8_t kLogicModeA = 0x48;       // "A"

// The reply text handed from the receiver to a waiting command: at most 255
// characters and a NUL.
inline constexpr std::size_t kLogicTextSize = 256;
using LogicText = std::array<char, kLogicTextSize>;

// True when the frame's checkbit lies inside the buffer (msglen <= 255). A
// frame that does not fit is dropped like one with a wrong checksum.
inline bool logic_frame_fits(const LogicFrame& frame) { return frame.msglen <= kLogicMaxDataLen; }

// Bytes on the wire: header, data and checkbit.
inline std::size_t logic_frame_size(const LogicFrame& frame) { return kLogicHeaderSize + frame.msglen + 1; }

// The checkbit byte of a frame that fits.
inline std::uint8_t& logic_checkbit(LogicFrame& frame) { return frame.data[frame.msglen]; }
inline std::uint8_t logic_checkbit(const LogicFrame& frame) { return frame.data[frame.msglen]; }

// Sum of the header and the msglen data bytes, modulo 256; logs it at debug
// level. For a frame that does not fit, only the bytes inside the buffer are
// summed (callers drop such frames first).
std::uint8_t logic_checksum(const LogicFrame& frame);

// True when a received frame is taken: it fits the buffer and its checkbit
// matches. Anything else is dropped without a message.
bool logic_frame_accepted(const LogicFrame& frame);

// Letter of a mode code: "I", "O", "A", else "?".
const char* logic_mode_letter(std::uint8_t code);
// Text of a level pair code: 0x00 "LL", 0x01 "LH", 0x10 "HL", 0x11 "HH", else "?".
const char* logic_level_pair_text(std::uint8_t code);

// The mode report text, "1,I,2,O,3,A,4,?" for pairs of (group, mode code).
// Cut off at 255 characters.
LogicText logic_mode_text(std::span<const std::uint8_t> data);

// The value report text, "1,I,HL,2,O,LH,3,50,4,01" for triples of (group,
// mode code, level pair), where mode 0x48 is followed by a number shown with
// two digits. Cut off at 255 characters.
LogicText logic_value_text(std::span<const std::uint8_t> data);

// Text of a set confirmation: "OK" when both statuses are 0, "ERROR" when one
// is not, "" when the confirmation is malformed (groups differ or msglen is
// not 6).
LogicText logic_set_result_text(std::span<const std::uint8_t> data);

}  // namespace ftmd
