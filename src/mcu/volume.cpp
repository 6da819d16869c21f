#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "mcu/mcu.h"
#include "mcu/rpmsg.h"

namespace ftmd {

VolumeExpect volume_expect;

namespace {

constexpr int kVolumeMax = 100;
// The MCU gets about 10 s to answer: one read right after the write, then a
// read every second.
constexpr int kVolumeReadAttempts = 10;
constexpr unsigned kVolumeRetrySeconds = 1;
// A header and at least one data byte.
constexpr std::size_t kVolumeAnswerMin = kRpmsgHeaderSize + 1;
constexpr char kVolumeError[] = "ERROR\n";

// Reads the decimal number at `text`; false when it does not fit an int.
bool parse_decimal(const char* text, char** end, int& value) {
  errno = 0;
  long v = std::strtol(text, end, 10);
  if (errno != 0 || *end == text || v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

// "%d,%d" over text that volume_args_valid accepted.
bool parse_channel_volume(const char* args, int& channel, int& volume) {
  char* end = nullptr;
  if (!parse_decimal(args, &end, channel) || *end != ',') return false;
  return parse_decimal(end + 1, &end, volume);
}

std::uint16_t get_u16(const std::uint8_t* bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

}  // namespace

bool volume_args_valid(const char* args) {
  int commas = 0;
  bool in_number = false;
  for (const char* p = args; *p != '\0'; ++p) {
    if (*p >= '0' && *p <= '9') {
      in_number = true;
    } else if (*p == ',' && in_number) {
      ++commas;
      in_number = false;
    } else {
      return false;
    }
  }
  return commas == 1 && in_number;
}

void volume_test(char* args, ReplyBuffer& reply) {
  // One separator, normally "=", comes first and is never looked at.
  if (*args != '\0') ++args;
  int channel = 0;
  int volume = 0;
  if (!volume_args_valid(args) || !parse_channel_volume(args, channel, volume) || channel < 0 || volume < 0 ||
      volume > kVolumeMax) {
    reply.set(kVolumeError);
    return;
  }
  syslog(LOG_INFO, "---channel--- = %d, ---volume--- = %d\n", channel, volume);
  volume_exchange(rpmsg_volume_request(channel, volume), reply);
}

void volume_exchange(const RpmsgIpcMessage& request, ReplyBuffer& reply) {
  UniqueFd fd = rpmsg_open_nonblock();
  if (!fd) {
    syslog(LOG_ERR, "Please insert the imx_rpmsg_tty module\n");
    reply.set(kVolumeError);
    return;
  }

  volume_expect = VolumeExpect{};
  // Whatever the MCU sends first is its answer, even bytes it had sent
  // before this request.
  volume_expect.expected_channel = request.data[0];
  volume_expect.expected_volume = request.data[1];
  const RpmsgWire wire = request.wire();
  if (::write(fd.get(), wire.data(), wire.size()) < 0) {
    syslog(LOG_ERR, "Write rpmsg data error: [errno = %d]", errno);
    reply.set(kVolumeError);
    return;
  }

  RpmsgWire answer{};
  for (int attempt = 0; attempt < kVolumeReadAttempts; ++attempt) {
    ssize_t n = ::read(fd.get(), answer.data(), answer.size());
    if (n > 0) {
      volume_parse_reply(answer.data(), static_cast<std::size_t>(n), reply);
      return;
    }
    if (n == 0) {
      syslog(LOG_ERR, "Got error (%d), read to the end.", errno);
      reply.set(kVolumeError);
      return;
    }
    if (errno != EINTR && errno != EAGAIN) {
      syslog(LOG_ERR, "Got error (%d), quit the loop.", errno);
      reply.set(kVolumeError);
      return;
    }
    syslog(LOG_DEBUG, "Got EINTR/EAGAIN, continue for reading data.");
    ::sleep(kVolumeRetrySeconds);
  }
  reply.set(kVolumeError);
}

void volume_parse_reply(const std::uint8_t* bytes, std::size_t count, ReplyBuffer& reply) {
  reply.set(kVolumeError);
  if (count < kVolumeAnswerMin || bytes[0] != kRpmsgSync || bytes[1] != kRpmsgSync) return;
  const std::uint16_t command = get_u16(bytes, 4);
  if (command != kMcuCmdVolume) {
    syslog(LOG_WARNING, "unknow/unsupport command(%d)!", command);
    return;
  }
  const std::size_t length = get_u16(bytes, 6);
  const std::uint8_t* data = bytes + kRpmsgHeaderSize;
  const std::size_t arrived = count - kRpmsgHeaderSize;
  // The MCU may put other data first: the pair is searched byte by byte.
  for (std::size_t i = 0; i < length && i + 1 < arrived; ++i) {
    if (data[i] == volume_expect.expected_channel && data[i + 1] == volume_expect.expected_volume) {
      syslog(LOG_DEBUG, "OK,volume=%d, %d\n", data[i], data[i + 1]);
      reply.printf("OK,volume=%d,%d\n", data[i], data[i + 1]);
      return;
    }
  }
}

}  // namespace ftmd
