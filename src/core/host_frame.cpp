#include "core/host_frame.h"

#include <algorithm>
#include <cstring>

namespace ftmd {

void host_frame_length(const char* text, std::uint8_t field[2]) {
  std::size_t len = std::strlen(text);
  field[0] = static_cast<std::uint8_t>(len % 256);
  field[1] = static_cast<std::uint8_t>(len / 256);
}

std::uint8_t host_frame_checksum(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
  return static_cast<std::uint8_t>(0x100 - sum);
}

std::size_t host_request_length(std::span<const std::uint8_t> received) {
  auto at = [&](std::size_t i) -> std::size_t { return i < received.size() ? received[i] : 0; };
  return at(kHostLengthOffset) + 256 * at(kHostLengthOffset + 1);
}

std::size_t host_request_command(std::span<const std::uint8_t> received,
                                 std::span<char, kCommandBufferSize> command) {
  std::fill(command.begin(), command.end(), '\0');
  std::size_t arrived = received.size() > kHostBodyOffset ? received.size() - kHostBodyOffset : 0;
  std::size_t n = std::min({host_request_length(received), arrived, kCommandBufferSize - 1});
  if (n > 0) std::memcpy(command.data(), received.data() + kHostBodyOffset, n);
  return n;
}

std::size_t host_reply_encode(std::span<const std::uint8_t> received, const char* text,
                              std::span<std::uint8_t> out) {
  std::size_t len = std::strlen(text);
  std::size_t frame_size = len + kHostBodyOffset + 1;
  if (out.size() < frame_size) return 0;
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(frame_size), 0);
  std::memcpy(out.data(), received.data(), std::min(received.size(), kHostHeaderSize));
  host_frame_length(text, out.data() + kHostLengthOffset);
  std::memcpy(out.data() + kHostBodyOffset, text, len);
  out[frame_size - 1] = host_frame_checksum(out.data(), frame_size - 1);
  return frame_size;
}

}  // namespace ftmd
