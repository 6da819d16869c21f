#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/host_frame.h"
#include "common/unique_fd.h"

namespace ftmd::client {

// The request header ftmctl sends (the device echoes it unchanged):
//
//   byte  0      1      2..6
//        +------+------+---------+
//        | seq lo seq hi| 0 0 0 0 0|
//        +------+------+---------+
//
// seq counts the requests of one ftmctl run, starting from a value taken from
// the clock and the process id, so that a late reply to an earlier request or
// an earlier run is told apart from the reply awaited now.
using RequestHeader = std::array<std::uint8_t, kHostHeaderSize>;
RequestHeader request_header(std::uint16_t sequence);

// The device never sends a reply text longer than its 1023-byte reply buffer;
// a larger length field means the bytes are not a reply frame.
inline constexpr std::size_t kMaxReplyText = kCommandBufferSize - 1;

enum class LinkOutcome {
  kReply,      // a whole, valid reply frame
  kTimeout,    // no (whole) reply within the time allowed
  kBadFrame,   // a frame arrived but its checksum or header is wrong
  kTransport,  // the port failed: I/O error, hang-up
};

const char* outcome_name(LinkOutcome outcome);

// One request and its reply.
struct Exchange {
  LinkOutcome outcome = LinkOutcome::kTransport;
  std::string reply;              // the reply text, on kReply
  std::vector<std::uint8_t> raw;  // the reply frame, or the bytes that did arrive
  std::string error;              // what went wrong, when not kReply
  std::chrono::milliseconds elapsed{0};
};

// The serial port to the device, opened raw (8N1, no echo, no flow control,
// no line editing) and locked (flock) against a second ftmctl on it.
// Not thread-safe; one request at a time, as the device serves them.
class SerialLink {
 public:
  // Opens and configures `path`; on failure returns nothing and sets `error`.
  // `error_number`, when given, gets the failure's errno: EBUSY when another
  // program opened the port exclusively (TIOCEXCL), EWOULDBLOCK when another
  // program holds its lock.
  static std::optional<SerialLink> open(const std::string& path, std::string* error,
                                        int* error_number = nullptr);
  // Takes an already open, configured descriptor (tests use a pty).
  SerialLink(UniqueFd fd, std::uint16_t first_sequence);

  // Drops stale input, writes the request frame for `command` in one write
  // and reads exactly one reply frame, all within `timeout`. Bytes after the
  // reply frame stay unread.
  Exchange transact(std::string_view command, std::chrono::milliseconds timeout);

  // True once the port failed; later requests are pointless.
  bool broken() const { return broken_; }
  // Stale bytes dropped before the last request (a late reply, noise).
  std::size_t discarded() const { return discarded_; }

 private:
  UniqueFd fd_;
  std::uint16_t sequence_;
  bool broken_ = false;
  std::size_t discarded_ = 0;
};

}  // namespace ftmd::client
