#include "vboard/host_client.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "common/deadline.h"
#include "common/host_frame.h"
#include "pc/text.h"

namespace vboard {
namespace {

// The request's seven header bytes: `header` cut or padded with zeros.
std::array<std::uint8_t, ftmd::kHostHeaderSize> header_of(const Bytes& header) {
  std::array<std::uint8_t, ftmd::kHostHeaderSize> out{};
  std::copy_n(header.begin(), std::min(header.size(), out.size()), out.begin());
  return out;
}

}  // namespace

Bytes HostClient::encode_request(std::string_view text, const Bytes& header) {
  Bytes out(ftmd::kHostBodyOffset + text.size());
  out.resize(ftmd::host_request_encode(header_of(header), text, out));
  return out;
}

Bytes HostClient::expected_reply(std::string_view text, const Bytes& received) {
  std::string t(text);
  Bytes out(t.size() + ftmd::kHostBodyOffset + 1);
  out.resize(ftmd::host_reply_encode(received, t.c_str(), out));
  return out;
}

std::string HostClient::escaped(std::string_view text) { return ftmd::pc::escape_reply(text); }

bool HostClient::send(std::string_view text, const Bytes& header) {
  Bytes frame = encode_request(text, header);
  return !frame.empty() && send_raw(frame);
}

bool HostClient::send_raw(std::span<const std::uint8_t> bytes) { return port_.write(bytes); }

std::optional<ReplyFrame> HostClient::read_frame(std::chrono::milliseconds timeout) {
  const ftmd::Deadline deadline(timeout);
  int fd = port_.master();
  if (fd < 0) return std::nullopt;
  Bytes frame;
  // The length field tells the frame's size once the first nine bytes are in.
  for (std::size_t want = ftmd::kHostBodyOffset; frame.size() < want;) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, deadline.poll_ms());
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || !(p.revents & POLLIN)) return std::nullopt;
    std::uint8_t buf[2048];
    ssize_t n = ::read(fd, buf, std::min(sizeof(buf), want - frame.size()));
    if (n <= 0) return std::nullopt;
    frame.insert(frame.end(), buf, buf + n);
    if (std::size_t size = ftmd::host_reply_frame_size(frame); size != 0) want = size;
  }
  ReplyFrame r;
  r.raw = frame;
  r.header.assign(frame.begin(), frame.begin() + ftmd::kHostHeaderSize);
  // Checked against its own header: only the checksum can be wrong here.
  std::string_view text;
  const auto header = header_of(r.header);
  r.checksum_ok = ftmd::host_reply_check(frame, header, &text) == ftmd::HostReplyStatus::kOk;
  r.text.assign(frame.begin() + ftmd::kHostBodyOffset, frame.end() - 1);
  return r;
}

std::optional<ReplyFrame> HostClient::request(std::string_view text, std::chrono::milliseconds timeout,
                                              const Bytes& header) {
  if (!send(text, header)) return std::nullopt;
  return read_frame(timeout);
}

Bytes HostClient::read_available(std::chrono::milliseconds quiet) {
  Bytes out;
  int fd = port_.master();
  if (fd < 0) return out;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0 || !(p.revents & POLLIN)) break;
    std::uint8_t buf[2048];
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

}  // namespace vboard
