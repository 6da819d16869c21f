#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/host_frame.h"
#include "common/unique_fd.h"

namespace ftmd::pc {

// On the test PC the device's USB gadget serial port shows up as a CDC ACM
// device; the first one plugged in is /dev/ttyACM0.
inline constexpr char kDefaultPort[] = "/dev/ttyACM0";

// The request header the PC sends (the device echoes it unchanged): one
// request number, little-endian over all seven bytes.
//
//   byte  0         1   ...   6
//        +---------+-----+---------+
//        | number: low byte first  |
//        +---------+-----+---------+
//
// A number is the PC's monotonic clock in microseconds when the request is
// made, and above the previous one of the same link, so numbers grow across
// every request sent on this PC, whichever process sent it (one process at a
// time holds the port). A reply whose number is below the awaited one answers
// an earlier request, one that timed out in this program or in an earlier
// run, and is told apart by its header alone.
using RequestHeader = std::array<std::uint8_t, kHostHeaderSize>;
RequestHeader request_header(std::uint64_t number);
std::uint64_t request_number(std::span<const std::uint8_t, kHostHeaderSize> header);

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
  // What was skipped on the way: bytes already waiting before the request
  // went out, and the texts of whole replies to earlier requests that came
  // before this one's.
  std::size_t stale_bytes = 0;
  std::vector<std::string> late_replies;
};

// Tells `err` what `ex` skipped before its reply, one line each, e.g.
//   ftmctl: at+ftm,ftmver=?: skipped a late reply to an earlier request: "ERROR\n"
// Nothing when it skipped nothing.
void report_skipped(std::FILE* err, std::string_view program, std::string_view command, const Exchange& ex);

// The serial port to the device, opened raw (8N1, no echo, no flow control,
// no line editing) and locked (flock) against a second program on it.
// Not thread-safe; one request at a time, as the device serves them.
class SerialLink {
 public:
  // Opens and configures `path`; on failure returns nothing and sets `error`.
  // `error_number`, when given, gets the failure's errno: EBUSY when another
  // program opened the port exclusively (TIOCEXCL), EWOULDBLOCK when another
  // program holds its lock.
  static std::optional<SerialLink> open(const std::string& path, std::string* error,
                                        int* error_number = nullptr);
  // Takes an already open, configured descriptor (tests use a pty). The
  // first request gets at least `first_number`.
  explicit SerialLink(UniqueFd fd, std::uint64_t first_number = 0);

  // Drops stale input, writes the request frame for `command` in one write
  // and reads frames until the one that answers it, all within `timeout`:
  // whole replies to earlier requests on the way are skipped. Bytes after the
  // reply frame stay unread.
  Exchange transact(std::string_view command, std::chrono::milliseconds timeout);

  // True once the port failed; later requests are pointless.
  bool broken() const { return broken_; }

 private:
  std::uint64_t next_number();

  UniqueFd fd_;
  std::uint64_t last_number_;
  bool broken_ = false;
};

}  // namespace ftmd::pc
