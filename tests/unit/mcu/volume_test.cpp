#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mcu/mcu.h"
#include "mcu/rpmsg.h"

namespace ftmd {
namespace {

TEST(VolumeArgs, OnlyDigitsCommaDigitsPass) {
  // The form is right for a number too big; it is judged later.
  for (const char* args : {"3,50", "0,0", "007,0100", "99999999999,1"})
    EXPECT_TRUE(volume_args_valid(args)) << args;
  for (const char* args : {"", "3", ",5", "3,", "3,5,", "3,5,7", "3,,5", "-1,5", "+1,5", "3, 5", " 3,5",
                           "3,50\r", "3,50\n", "3;50", "a,5"})
    EXPECT_FALSE(volume_args_valid(args)) << '"' << args << '"';
}

// An MCU answer: sync bytes, command, length, then the data bytes given.
std::vector<std::uint8_t> answer(std::uint8_t sync0, std::uint8_t sync1, std::uint16_t command,
                                 std::uint16_t length, std::vector<std::uint8_t> data,
                                 std::size_t size = kRpmsgMessageSize) {
  std::vector<std::uint8_t> bytes(kRpmsgMessageSize, 0);
  bytes[0] = sync0;
  bytes[1] = sync1;
  bytes[2] = 2;
  bytes[4] = static_cast<std::uint8_t>(command);
  bytes[5] = static_cast<std::uint8_t>(command >> 8);
  bytes[6] = static_cast<std::uint8_t>(length);
  bytes[7] = static_cast<std::uint8_t>(length >> 8);
  for (std::size_t i = 0; i < data.size(); ++i) bytes[kRpmsgHeaderSize + i] = data[i];
  bytes.resize(size);
  return bytes;
}

TEST(VolumeReply, ConfirmsOnlyAnEchoOfChannelAndVolume) {
  const struct {
    const char* what;
    int channel;
    int volume;
    std::vector<std::uint8_t> bytes;
    const char* reply;
  } cases[] = {
      {"plain echo", 3, 50, answer(0xAA, 0xAA, 1, 2, {3, 50}), "OK,volume=3,50\n"},
      {"pair after other data", 3, 50, answer(0xAA, 0xAA, 1, 3, {7, 3, 50}), "OK,volume=3,50\n"},
      {"pair at an odd position", 3, 50, answer(0xAA, 0xAA, 1, 4, {9, 9, 3, 50}), "OK,volume=3,50\n"},
      {"first match wins", 3, 3, answer(0xAA, 0xAA, 1, 3, {3, 3, 3}), "OK,volume=3,3\n"},
      {"channel byte above 127", 200, 7, answer(0xAA, 0xAA, 1, 2, {200, 7}), "OK,volume=200,7\n"},
      {"pair starting at the last counted byte", 3, 50, answer(0xAA, 0xAA, 1, 1, {3, 50}),
       "OK,volume=3,50\n"},
      {"pair starting beyond length", 3, 50, answer(0xAA, 0xAA, 1, 2, {7, 7, 3, 50}), "ERROR\n"},
      {"other volume", 3, 50, answer(0xAA, 0xAA, 1, 2, {3, 51}), "ERROR\n"},
      {"length 0", 3, 50, answer(0xAA, 0xAA, 1, 0, {3, 50}), "ERROR\n"},
      {"request echoed back (sync1 0xBB)", 3, 50, answer(0xAA, 0xBB, 1, 2, {3, 50}), "ERROR\n"},
      {"command 2", 3, 50, answer(0xAA, 0xAA, 2, 2, {3, 50}), "ERROR\n"},
      {"command 257 (high byte counts)", 3, 50, answer(0xAA, 0xAA, 0x0101, 2, {3, 50}), "ERROR\n"},
      {"9 bytes: volume never arrived", 3, 50, answer(0xAA, 0xAA, 1, 2, {3, 50}, 9), "ERROR\n"},
      {"10 bytes: just enough", 3, 50, answer(0xAA, 0xAA, 1, 2, {3, 50}, 10), "OK,volume=3,50\n"},
      {"length far beyond the message", 3, 50, answer(0xAA, 0xAA, 1, 0xFFFF, {1, 2, 3, 50}, 12),
       "OK,volume=3,50\n"},
      {"length far beyond, no match", 3, 50, answer(0xAA, 0xAA, 1, 0xFFFF, {}, 200), "ERROR\n"},
  };
  for (const auto& c : cases) {
    volume_expect = {c.channel, c.volume};
    ReplyBuffer reply;
    reply.set("stale");
    volume_parse_reply(c.bytes.data(), c.bytes.size(), reply);
    EXPECT_EQ(reply.text(), c.reply) << c.what;
  }
}

}  // namespace
}  // namespace ftmd
