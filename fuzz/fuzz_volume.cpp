// The audio MCU volume command's pure parts: the argument check on any text
// and the judgement of any answer against the request last sent.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/reply_buffer.h"
#include "fuzz_input.h"
#include "mcu/mcu.h"

using namespace ftmd;
using ftmd::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto f = fuzz::fields(data, size, 2);

  // Arguments: the text after "at+ftm,volume=" (cut at a NUL as the command is).
  const std::string args(f[0].c_str());
  const bool valid = volume_args_valid(args.c_str());
  std::size_t comma = args.find(',');
  const bool expected = !args.empty() && comma != std::string::npos && comma > 0 && comma + 1 < args.size() &&
                        args.find_first_not_of("0123456789,") == std::string::npos &&
                        args.find(',', comma + 1) == std::string::npos;
  require(valid == expected);

  // Answer: the first two bytes are the expected channel and volume, the
  // rest is the MCU's answer as one read returned it.
  const std::string& answer = f[1];
  if (answer.size() < 2) return 0;
  volume_expect.expected_channel = static_cast<std::uint8_t>(answer[0]);
  volume_expect.expected_volume = static_cast<std::uint8_t>(answer[1]);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(answer.data()) + 2;
  ReplyBuffer reply;
  volume_parse_reply(bytes, answer.size() - 2, reply);
  std::string_view text = reply.text();
  if (text != "ERROR\n") {
    char want[64];
    std::snprintf(want, sizeof want, "OK,volume=%d,%d\n", volume_expect.expected_channel,
                  volume_expect.expected_volume);
    require(text == want);
  }
  return 0;
}
