#include "pc/link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/deadline.h"
#include "pc/text.h"

namespace ftmd::pc {
namespace {

// Request numbers fill the seven header bytes.
constexpr std::uint64_t kNumberMask = (std::uint64_t{1} << (8 * kHostHeaderSize)) - 1;

std::string errno_text(const std::string& what, int err) { return what + ": " + std::strerror(err); }

std::string hex_spaced(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += hex_bytes(std::span<const std::uint8_t>(&b, 1));
  }
  return out;
}

}  // namespace

RequestHeader request_header(std::uint64_t number) {
  RequestHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(number >> (8 * i));
  return header;
}

std::uint64_t request_number(std::span<const std::uint8_t, kHostHeaderSize> header) {
  std::uint64_t number = 0;
  for (std::size_t i = header.size(); i-- > 0;) number = (number << 8) | header[i];
  return number;
}

void report_skipped(std::FILE* err, std::string_view program, std::string_view command, const Exchange& ex) {
  const std::string prefix = std::string(program) + ": " + escape_reply(command) + ": ";
  if (ex.stale_bytes > 0)
    std::fprintf(err, "%sskipped %zu stale byte%s waiting before the request\n", prefix.c_str(),
                 ex.stale_bytes, ex.stale_bytes == 1 ? "" : "s");
  for (const std::string& late : ex.late_replies)
    std::fprintf(err, "%sskipped a late reply to an earlier request: \"%s\"\n", prefix.c_str(),
                 escape_reply(late).c_str());
  if (ex.stale_bytes > 0 || !ex.late_replies.empty()) std::fflush(err);
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
  return SerialLink(std::move(fd));
}

SerialLink::SerialLink(UniqueFd fd, std::uint64_t first_number)
    : fd_(std::move(fd)), last_number_(first_number == 0 ? 0 : first_number - 1) {}

std::uint64_t SerialLink::next_number() {
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
  last_number_ = std::max<std::uint64_t>(static_cast<std::uint64_t>(now) & kNumberMask, last_number_ + 1);
  return last_number_;
}

Exchange SerialLink::transact(std::string_view command, std::chrono::milliseconds timeout) {
  const auto start = std::chrono::steady_clock::now();
  const Deadline deadline(timeout);
  Exchange ex;
  auto finish = [&](LinkOutcome outcome, std::string error) {
    ex.outcome = outcome;
    ex.error = std::move(error);
    ex.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (outcome == LinkOutcome::kTransport) broken_ = true;
    return ex;
  };

  const std::uint64_t number = next_number();
  const RequestHeader header = request_header(number);
  std::vector<std::uint8_t> request(kHostBodyOffset + command.size());
  if (host_request_encode(header, command, request) == 0) {
    // Refused before anything is sent; the port itself is fine.
    ex.outcome = LinkOutcome::kTransport;
    ex.error = "the command has " + std::to_string(command.size()) + " bytes; the device takes at most " +
               std::to_string(kCommandBufferSize - 1);
    return ex;
  }

  // Bytes already waiting (noise, the tail of a reply cut short) are not
  // the answer to this request.
  for (;;) {
    std::uint8_t junk[256];
    ssize_t n = ::read(fd_.get(), junk, sizeof(junk));
    if (n <= 0) break;
    ex.stale_bytes += static_cast<std::size_t>(n);
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
    if (::poll(&p, 1, deadline.poll_ms()) == 0)
      return finish(LinkOutcome::kTimeout, "the port took no request within the time allowed");
  }

  // Frames until the one that answers this request: the device may still be
  // answering an earlier one (a key test that outlived its requester's
  // time-out), and that reply comes first.
  for (;;) {
    ex.raw.clear();
    std::size_t want = kHostBodyOffset;
    while (ex.raw.size() < want) {
      pollfd p{fd_.get(), POLLIN, 0};
      int r = ::poll(&p, 1, deadline.poll_ms());
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
    const auto reply_header = std::span<const std::uint8_t, kHostHeaderSize>(ex.raw.data(), kHostHeaderSize);
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
        if (request_number(reply_header) < number &&
            host_reply_check(ex.raw, reply_header, &text) == HostReplyStatus::kOk) {
          ex.late_replies.emplace_back(text);
          continue;
        }
        return finish(LinkOutcome::kBadFrame, "header mismatch: sent " + hex_spaced(header) + ", reply has " +
                                                  hex_spaced(reply_header));
      case HostReplyStatus::kIncomplete:
        return finish(LinkOutcome::kBadFrame, "incomplete frame");
    }
  }
}

}  // namespace ftmd::pc
