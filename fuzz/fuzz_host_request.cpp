// Request decoding, command lookup and reply encoding for arbitrary bytes from
// the PC. Handlers are not run (they touch the device); the lookup, the
// fixed-reply handlers and the frame layer are.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "common/host_frame.h"
#include "daemon/command_table.h"

using namespace ftmd;

namespace {

bool fixed_reply(CommandHandler h) {
  return h == invalid_command || h == reboot_device || h == dsp_not_supported;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kHostReceiveSize) size = kHostReceiveSize;
  std::span<const std::uint8_t> received(data, size);

  std::array<char, kCommandBufferSize> command{};
  std::size_t n = host_request_command(received, command);
  if (n >= kCommandBufferSize || command.back() != '\0') std::abort();

  ReplyBuffer reply;
  const CommandEntry* row = find_command(command.data());
  if (row == nullptr || fixed_reply(row->handler))
    dispatch_command(command.data(), reply);
  else
    reply.set("OK\n");

  std::array<std::uint8_t, kHostReplyFrameMax> frame{};
  std::size_t frame_size = host_reply_encode(received, reply.c_str(), frame);
  if (frame_size != reply.text().size() + 10) std::abort();
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < frame_size; ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
  if (sum != 0) std::abort();
  if (std::memcmp(frame.data(), data, size < kHostHeaderSize ? size : kHostHeaderSize) != 0) std::abort();
  return 0;
}
