#include "link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "pc/text.h"

namespace ftmd::client {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string errno_text(const std::string& what, int err) { return what + ": " + std::strerror(err); }

std::string hex_spaced(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += pc::hex_bytes(std::span<const std::uint8_t>(&b, 1));
  }
  return out;
}

}  // namespace

RequestHeader request_header(std::uint16_t sequence) {
  return {
      static_cast<std::uint8_t>(sequence & 0xff), static_cast<std::uint8_t>(sequence >> 8), 0, 0, 0, 0, 0};
}

const char* outcome_name(LinkOutcome outcome) {
  switch (outcome) {
    case LinkOutcome::kReply:
      return "reply";
    case LinkOutcome::kTimeout:
      return "time-out";
    case LinkOutcome::kBadFrame:
      return "bad frame";
    case LinkOutcome::kTransport:
      return "transport error";
  }
  return "?";
}

std::optional<SerialLink> SerialLink::open(const std::string& path, std::string* error, int* error_number) {
  auto fail = [&](int err, std::string text) {
    *error = std::move(text);
    if (error_number) *error_number = err;
    return std::nullopt;
  };
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    int err = errno;
    if (err == EBUSY)
      return fail(err, path + " is held by another program, which opened it exclusively (EBUSY)");
    return fail(err, errno_text("cannot open " + path, err));
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EWOULDBLOCK)
      return fail(err, path + " is held by another program, which has it locked (EWOULDBLOCK)");
    return fail(err, errno_text("flock " + path, err));
  }
  termios tty{};
  if (::tcgetattr(fd.get(), &tty) != 0) {
    int err = errno;
    return fail(err, errno_text(path + " is not a serial port", err));
  }
  ::cfmakeraw(&tty);
  ::cfsetispeed(&tty, B115200);
  ::cfsetospeed(&tty, B115200);
  tty.c_cflag |= CLOCAL | CREAD;
  tty.c_cflag &= ~(CSTOPB | CRTSCTS);
  tty.c_iflag &= ~(IXON | IXOFF | IXANY);
  tty.c_cc[VMIN] = 0;
  tty.c_cc[VTIME] = 0;
  if (::tcsetattr(fd.get(), TCSANOW, &tty) != 0) {
    int err = errno;
    return fail(err, errno_text("cannot configure " + path, err));
  }
  auto seed = static_cast<std::uint16_t>(static_cast<unsigned>(::time(nullptr)) * 31u +
                                         static_cast<unsigned>(::getpid()));
  return SerialLink(std::move(fd), seed);
}

SerialLink::SerialLink(UniqueFd fd, std::uint16_t first_sequence)
    : fd_(std::move(fd)), sequence_(first_sequence) {}

Exchange SerialLink::transact(std::string_view command, std::chrono::milliseconds timeout) {
  const auto start = Clock::now();
  const auto deadline = start + timeout;
  Exchange ex;
  auto finish = [&](LinkOutcome outcome, std::string error) {
    ex.outcome = outcome;
    ex.error = std::move(error);
    ex.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (outcome == LinkOutcome::kTransport) broken_ = true;
    return ex;
  };

  const RequestHeader header = request_header(sequence_++);
  std::vector<std::uint8_t> request(kHostBodyOffset + command.size());
  if (host_request_encode(header, command, request) == 0) {
    // Refused before anything is sent; the port itself is fine.
    ex.outcome = LinkOutcome::kTransport;
    ex.error = "the command has " + std::to_string(command.size()) + " bytes; the device takes at most " +
               std::to_string(kCommandBufferSize - 1);
    return ex;
  }

  // A reply that came after an earlier request timed out must not be taken
  // for the answer to this one.
  discarded_ = 0;
  for (;;) {
    std::uint8_t junk[256];
    ssize_t n = ::read(fd_.get(), junk, sizeof(junk));
    if (n <= 0) break;
    discarded_ += static_cast<std::size_t>(n);
  }

  // The device takes a request from one read of its port, so the frame goes
  // out in one write.
  for (std::size_t sent = 0; sent < request.size();) {
    ssize_t n = ::write(fd_.get(), request.data() + sent, request.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR)
      return finish(LinkOutcome::kTransport, errno_text("write", errno));
    pollfd p{fd_.get(), POLLOUT, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) == 0)
      return finish(LinkOutcome::kTimeout, "the port took no request within the time allowed");
  }

  std::size_t want = kHostBodyOffset;
  while (ex.raw.size() < want) {
    pollfd p{fd_.get(), POLLIN, 0};
    int r = ::poll(&p, 1, remaining_ms(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return finish(LinkOutcome::kTransport, errno_text("poll", errno));
    if (r > 0 && !(p.revents & POLLIN)) return finish(LinkOutcome::kTransport, "the device hung up");
    if (r == 0) {
      if (ex.raw.empty()) return finish(LinkOutcome::kTimeout, "no reply within the time allowed");
      return finish(LinkOutcome::kTimeout,
                    "incomplete reply frame: " + std::to_string(ex.raw.size()) + " of " +
                        (want > kHostBodyOffset ? std::to_string(want) : "9 or more") + " bytes arrived");
    }
    std::uint8_t buf[1024];
    // Read no further than this frame: anything after it is not ours.
    ssize_t n = ::read(fd_.get(), buf, std::min(sizeof(buf), want - ex.raw.size()));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) return finish(LinkOutcome::kTransport, errno_text("read", errno));
    if (n == 0) return finish(LinkOutcome::kTransport, "the device hung up");
    ex.raw.insert(ex.raw.end(), buf, buf + n);
    if (want == kHostBodyOffset && ex.raw.size() >= kHostBodyOffset) {
      want = host_reply_frame_size(ex.raw);
      if (want - kHostBodyOffset - 1 > kMaxReplyText)
        return finish(LinkOutcome::kBadFrame, "length field " + std::to_string(want - kHostBodyOffset - 1) +
                                                  " exceeds any reply (first bytes " + hex_spaced(ex.raw) +
                                                  ")");
    }
  }

  std::string_view text;
  switch (host_reply_check(ex.raw, header, &text)) {
    case HostReplyStatus::kOk:
      ex.reply = std::string(text);
      return finish(LinkOutcome::kReply, {});
    case HostReplyStatus::kBadChecksum: {
      unsigned sum = 0;
      for (std::uint8_t b : ex.raw) sum += b;
      char text_sum[8];
      std::snprintf(text_sum, sizeof(text_sum), "0x%02x", sum % 256);
      return finish(LinkOutcome::kBadFrame,
                    std::string("checksum wrong: the frame's bytes add up to ") + text_sum + ", not 0");
    }
    case HostReplyStatus::kHeaderMismatch:
      return finish(LinkOutcome::kBadFrame,
                    "header mismatch: sent " + hex_spaced(header) + ", reply has " +
                        hex_spaced(std::span<const std::uint8_t>(ex.raw.data(), kHostHeaderSize)));
    case HostReplyStatus::kIncomplete:
      break;
  }
  return finish(LinkOutcome::kBadFrame, "incomplete frame");
}

}  // namespace ftmd::client
