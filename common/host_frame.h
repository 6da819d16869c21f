#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

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

// --- The test PC's side of the link (the client and the tests use these) ---

// Builds a request frame: `header`, the little-endian length of `text`, the
// text. Returns the frame size, 0 if `out` is too small or the text exceeds
// what the device's command buffer holds (1023 bytes).
std::size_t host_request_encode(std::span<const std::uint8_t, kHostHeaderSize> header, std::string_view text,
                                std::span<std::uint8_t> out);

// Size of the whole reply frame (length + 10) once its first nine bytes are
// in `received`; 0 while fewer have arrived.
std::size_t host_reply_frame_size(std::span<const std::uint8_t> received);

enum class HostReplyStatus {
  kIncomplete,      // fewer bytes than the frame's length field announces
  kOk,              // header echoed, checksum right
  kHeaderMismatch,  // bytes 0..6 are not the request's header
  kBadChecksum,     // the bytes of the frame do not add up to 0 modulo 256
};

// Checks a received reply frame against the header of the request it
// answers. Only the first host_reply_frame_size() bytes are looked at; on kOk
// `text` views the reply text inside `received`. The checksum is checked
// before the header, so a corrupted frame reports kBadChecksum.
HostReplyStatus host_reply_check(std::span<const std::uint8_t> received,
                                 std::span<const std::uint8_t, kHostHeaderSize> header,
                                 std::string_view* text);

}  // namespace ftmd
