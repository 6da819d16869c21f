#include "common/host_frame.h"

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

std::size_t host_request_encode(std::span<const std::uint8_t, kHostHeaderSize> header, std::string_view text,
                                std::span<std::uint8_t> out) {
  std::size_t frame_size = kHostBodyOffset + text.size();
  if (text.size() > kCommandBufferSize - 1 || out.size() < frame_size) return 0;
  std::memcpy(out.data(), header.data(), kHostHeaderSize);
  out[kHostLengthOffset] = static_cast<std::uint8_t>(text.size() % 256);
  out[kHostLengthOffset + 1] = static_cast<std::uint8_t>(text.size() / 256);
  if (!text.empty()) std::memcpy(out.data() + kHostBodyOffset, text.data(), text.size());
  return frame_size;
}

std::size_t host_reply_frame_size(std::span<const std::uint8_t> received) {
  if (received.size() < kHostBodyOffset) return 0;
  return kHostBodyOffset + host_request_length(received) + 1;
}

HostReplyStatus host_reply_check(std::span<const std::uint8_t> received,
                                 std::span<const std::uint8_t, kHostHeaderSize> header,
                                 std::string_view* text) {
  std::size_t size = host_reply_frame_size(received);
  if (size == 0 || received.size() < size) return HostReplyStatus::kIncomplete;
  // The checksum byte makes the sum of the whole frame 0.
  if (host_frame_checksum(received.data(), size) != 0) return HostReplyStatus::kBadChecksum;
  if (!std::equal(header.begin(), header.end(), received.begin())) return HostReplyStatus::kHeaderMismatch;
  if (text != nullptr)
    *text = std::string_view(reinterpret_cast<const char*>(received.data()) + kHostBodyOffset,
                             size - kHostBodyOffset - 1);
  return HostReplyStatus::kOk;
}

}  // namespace ftmd
