#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/unique_fd.h"

namespace ftmd {

inline constexpr std::size_t kRpmsgMessageSize = 200;
inline constexpr std::size_t kRpmsgHeaderSize = 8;
inline constexpr std::size_t kRpmsgDataSize = kRpmsgMessageSize - kRpmsgHeaderSize;

inline constexpr std::uint8_t kRpmsgSync = 0xAA;
// The volume request alone carries this second sync byte.
inline constexpr std::uint8_t kRpmsgVolumeSync1 = 0xBB;

inline constexpr std::uint16_t kRpmsgTypeWakeup = 1;
inline constexpr std::uint16_t kRpmsgTypeControl = 2;

inline constexpr std::uint16_t kMcuCmdWakeup = 0;
inline constexpr std::uint16_t kMcuCmdVolume = 1;
// MCU_SOC_IPC_LEAVE_LPM in the MCU's own terms.
inline constexpr std::uint16_t kMcuCmdLeaveLpm = 25;

using RpmsgWire = std::array<std::uint8_t, kRpmsgMessageSize>;

// One message to or from the audio MCU: always 200 bytes on the wire, written
// with one write, read with one read. Multi-byte fields are little-endian
// whatever the host is; bytes not set are 0.
//
//   0      1      2      4         6        8                        200
//   +------+------+------+---------+--------+------------------------+
//   |sync0 |sync1 | type | command | length | data (192)             |
//   | AA   | AA/BB| u16  | u16     | u16    | first `length` valid   |
//   +------+------+------+---------+--------+------------------------+
struct RpmsgIpcMessage {
  std::uint8_t sync0 = kRpmsgSync;
  std::uint8_t sync1 = kRpmsgSync;
  std::uint16_t type = 0;
  std::uint16_t command = 0;
  std::uint16_t length = 0;
  std::array<std::uint8_t, kRpmsgDataSize> data{};

  // The 200 bytes as they go on the tty.
  RpmsgWire wire() const;
};

// The greeting sent right after GPIO 84 is driven: type 1, command 0.
RpmsgIpcMessage rpmsg_wakeup_message();
// Sent once the Dante container runs: type 2, kMcuCmdLeaveLpm.
RpmsgIpcMessage rpmsg_leave_lpm_message();
// Type 2, command 1, sync1 0xBB, data: the channel's low 8 bits, the volume.
RpmsgIpcMessage rpmsg_volume_request(int channel, int volume);

// Opens the rpmsg tty for blocking reads and makes it raw (no input
// translation, no output processing, no echo); control flags, speed, VMIN and
// VTIME stay as the device reports them. Invalid on failure (an open failure
// is logged).
UniqueFd rpmsg_open();

// The same settings, but reads do not block. Every failure is logged.
UniqueFd rpmsg_open_nonblock();

}  // namespace ftmd
