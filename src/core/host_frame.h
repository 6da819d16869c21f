#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ftmd {

// One request or reply on the USB serial link.
//
//   offset 0      7        9              9+L
//          +------+--------+--------------+----------+
//          |header| length | body (ASCII) | checksum |  (checksum: replies only)
//          +------+--------+--------------+----------+
//           7 B    u16 LE    L bytes        1 B
//
// The header is opaque: a reply echoes the request's seven bytes. The checksum
// is the two's complement of the 8-bit sum of every byte before it, so the
// bytes of a whole reply frame add up to 0 modulo 256.
inline constexpr std::size_t kHostHeaderSize = 7;
inline constexpr std::size_t kHostLengthOffset = 7;
inline constexpr std::size_t kHostBodyOffset = 9;
// What one read of the port may return.
inline constexpr std::size_t kHostReceiveSize = 2048;
// The command buffer: at most 1023 text bytes and a NUL.
inline constexpr std::size_t kCommandBufferSize = 1024;
// A reply text that fits a 256-byte frame. Longer texts are still sent whole,
// in one larger frame with their real length (the test PC reads the length).
inline constexpr std::size_t kReplyTextClassicMax = 246;
// Largest reply frame: a full 1023-byte text plus header, length, checksum.
inline constexpr std::size_t kHostReplyFrameMax = 1023 + 10;

// Stores the text length L as low byte, high byte in `field` (cleared by the
// caller).
void host_frame_length(const char* text, std::uint8_t field[2]);

// Two's complement of the 8-bit sum of the first `count` bytes.
std::uint8_t host_frame_checksum(const std::uint8_t* bytes, std::size_t count);

// Length field n of a received frame; bytes that did not arrive read as 0.
std::size_t host_request_length(std::span<const std::uint8_t> received);

// Copies the command text of a received frame into `command` (NUL-terminated).
// The copy takes min(n, bytes after offset 9, 1023) bytes, so neither the
// receive nor the command buffer is ever overrun; the text ends at the first
// NUL inside the body. Returns the number of bytes copied.
std::size_t host_request_command(std::span<const std::uint8_t> received,
                                 std::span<char, kCommandBufferSize> command);

// Builds the reply frame for the NUL-terminated `text` into `out` (at least
// strlen(text) + 10 bytes): the request's header (zeros where fewer bytes
// arrived), length, text and checksum. Returns the frame size, 0 if `out` is
// too small.
std::size_t host_reply_encode(std::span<const std::uint8_t> received, const char* text,
                              std::span<std::uint8_t> out);

}  // namespace ftmd
