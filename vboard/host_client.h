#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vboard/pty_port.h"

namespace vboard {

using Bytes = std::vector<std::uint8_t>;

// One reply frame as the PC reads it.
struct ReplyFrame {
  Bytes raw;         // every byte of the frame
  Bytes header;      // the seven echoed header bytes
  std::string text;  // the reply text (length field bytes)
  bool checksum_ok = false;
};

// The PC side of the link for tests and the vboard tool: writes request
// frames to the port's master and reads reply frames back, with deadlines.
// Not thread-safe: one user at a time.
class HostClient {
 public:
  explicit HostClient(PtyPort& port) : port_(port) {}

  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  // Frames `text` with `header` (seven bytes, zeros by default) and sends it.
  // A text longer than the device's command buffer (1023 bytes) is not sent:
  // build such frames by hand and use send_raw().
  bool send(std::string_view text, const Bytes& header = Bytes(7, 0));
  // Sends bytes as they are (short or malformed requests).
  bool send_raw(std::span<const std::uint8_t> bytes);
  // Reads one reply frame: header, length, text, checksum. Nothing on
  // time-out or when the port is closed.
  std::optional<ReplyFrame> read_frame(std::chrono::milliseconds timeout = kDefaultTimeout);
  // send() then read_frame().
  std::optional<ReplyFrame> request(std::string_view text,
                                    std::chrono::milliseconds timeout = kDefaultTimeout,
                                    const Bytes& header = Bytes(7, 0));
  // Whatever arrives until the line stays quiet for `quiet` (to check that
  // nothing more came).
  Bytes read_available(std::chrono::milliseconds quiet);

  // The request frame for `text` (the codec's, common/host_frame.h); empty
  // for a text over 1023 bytes.
  static Bytes encode_request(std::string_view text, const Bytes& header = Bytes(7, 0));
  // The reply frame the daemon must send for `text` to a request that
  // started with `received` (its first seven bytes are echoed).
  static Bytes expected_reply(std::string_view text, const Bytes& received = Bytes(7, 0));
  // The text with control characters and bytes above 0x7e escaped ("\n",
  // "\x00"), as the PC side prints replies (pc/text.h).
  static std::string escaped(std::string_view text);

 private:
  PtyPort& port_;
};

}  // namespace vboard
