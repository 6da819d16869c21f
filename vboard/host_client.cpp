#include "vboard/host_client.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/host_frame.h"

namespace vboard {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

Bytes HostClient::encode_request(std::string_view text, const Bytes& header) {
  Bytes out(header.begin(), header.end());
  out.resize(ftmd::kHostHeaderSize);
  out.push_back(static_cast<std::uint8_t>(text.size() & 0xff));
  out.push_back(static_cast<std::uint8_t>((text.size() >> 8) & 0xff));
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

Bytes HostClient::expected_reply(std::string_view text, const Bytes& received) {
  std::string t(text);
  Bytes out(t.size() + ftmd::kHostBodyOffset + 1);
  out.resize(ftmd::host_reply_encode(received, t.c_str(), out));
  return out;
}

std::string HostClient::escaped(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20 || c > 0x7e) {
          char hex[8];
          std::snprintf(hex, sizeof(hex), "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

bool HostClient::send(std::string_view text, const Bytes& header) {
  Bytes frame = encode_request(text, header);
  return send_raw(frame);
}

bool HostClient::send_raw(std::span<const std::uint8_t> bytes) { return port_.write(bytes); }

std::optional<ReplyFrame> HostClient::read_frame(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  int fd = port_.master();
  if (fd < 0) return std::nullopt;
  Bytes frame;
  std::size_t want = ftmd::kHostBodyOffset;
  while (frame.size() < want) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, remaining_ms(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || !(p.revents & POLLIN)) return std::nullopt;
    std::uint8_t buf[2048];
    ssize_t n = ::read(fd, buf, want - frame.size());
    if (n <= 0) return std::nullopt;
    frame.insert(frame.end(), buf, buf + n);
    if (want == ftmd::kHostBodyOffset && frame.size() == want)
      want = ftmd::kHostBodyOffset + frame[7] + 256u * frame[8] + 1;
  }
  ReplyFrame r;
  r.raw = frame;
  r.header.assign(frame.begin(), frame.begin() + ftmd::kHostHeaderSize);
  r.text.assign(frame.begin() + ftmd::kHostBodyOffset, frame.end() - 1);
  unsigned sum = 0;
  for (auto b : frame) sum += b;
  r.checksum_ok = sum % 256 == 0;
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
