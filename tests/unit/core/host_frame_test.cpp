#include "core/host_frame.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <string>
#include <vector>

namespace ftmd {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes request(const Bytes& header, std::uint16_t length, const std::string& body) {
  Bytes frame = header;
  frame.push_back(static_cast<std::uint8_t>(length & 0xff));
  frame.push_back(static_cast<std::uint8_t>(length >> 8));
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

std::string decode(const Bytes& received) {
  std::array<char, kCommandBufferSize> command{};
  command.fill('x');  // the decoder must clear what it does not fill
  host_request_command(received, command);
  return std::string(command.data());
}

Bytes encode(const Bytes& received, const char* text) {
  std::array<std::uint8_t, kHostReplyFrameMax> out{};
  std::size_t n = host_reply_encode(received, text, out);
  return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

TEST(HostFrame, WorkedExampleReplyToTheByte) {
  Bytes received = request(Bytes(7, 0), 14, "at+ftm,swver=?");
  EXPECT_EQ(decode(received), "at+ftm,swver=?");
  EXPECT_EQ(encode(received, "OK\n"),
            (Bytes{0, 0, 0, 0, 0, 0, 0, 0x03, 0x00, 0x4F, 0x4B, 0x0A, 0x59}));
}

TEST(HostFrame, LengthFieldIsLittleEndian) {
  std::uint8_t field[2] = {0, 0};
  std::string text(371, 'a');
  host_frame_length(text.c_str(), field);
  EXPECT_EQ(field[0], 371 % 256);
  EXPECT_EQ(field[1], 1);
}

struct DecodeCase {
  const char* name;
  Bytes received;
  std::string command;
};

class HostFrameDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(HostFrameDecode, TakesTheCommandText) { EXPECT_EQ(decode(GetParam().received), GetParam().command); }

INSTANTIATE_TEST_SUITE_P(
    Requests, HostFrameDecode,
    testing::Values(
        DecodeCase{"ShortReadIsEmpty", Bytes{1, 2, 3, 4}, ""},
        DecodeCase{"HeaderAndLengthOnly", request(Bytes(7, 9), 5, ""), ""},
        DecodeCase{"NulEndsTheText", request(Bytes(7, 0), 9, std::string("at+\0ftm,x", 9)), "at+"},
        DecodeCase{"LengthBeyondArrivedBytes", request(Bytes(7, 0), 400, "at+ftm,udisk"), "at+ftm,udisk"},
        DecodeCase{"LengthShorterThanBody", request(Bytes(7, 0), 6, "at+ftm,udisk"), "at+ftm"},
        DecodeCase{"SecondFrameInSameReadIgnored",
                   [] {
                     Bytes a = request(Bytes(7, 0), 3, "abc");
                     Bytes b = request(Bytes(7, 0), 3, "xyz");
                     a.insert(a.end(), b.begin(), b.end());
                     return a;
                   }(),
                   "abc"},
        DecodeCase{"OverlongLengthCutTo1023", request(Bytes(7, 0), 0xffff, std::string(2039, 'q')),
                   std::string(1023, 'q')}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(HostFrame, ShortReadReplyKeepsArrivedHeaderBytes) {
  Bytes frame = encode(Bytes{0x11, 0x22, 0x33}, "ERROR,Invalid Cmd\n");
  ASSERT_EQ(frame.size(), 28u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 9),
            (Bytes{0x11, 0x22, 0x33, 0, 0, 0, 0, 0x12, 0x00}));
}

TEST(HostFrame, EmptyReplyIsTenBytesAndCancelsTheHeader) {
  Bytes frame = encode(Bytes{1, 2, 3, 4, 5, 6, 7, 0, 0}, "");
  ASSERT_EQ(frame.size(), 10u);
  EXPECT_EQ(frame[7], 0);
  EXPECT_EQ(frame[8], 0);
  EXPECT_EQ(frame[9], static_cast<std::uint8_t>(0x100 - 28));
}

TEST(HostFrame, EveryReplySumsToZero) {
  const Bytes header{0xff, 0x80, 0x7f, 0x01, 0xaa, 0x55, 0xfe, 0, 0};
  for (std::size_t len : {0u, 1u, 3u, 245u, 246u, 247u, 371u, 1023u}) {
    std::string text(len, static_cast<char>('!' + len % 90));
    Bytes frame = encode(header, text.c_str());
    ASSERT_EQ(frame.size(), len + 10) << len;
    EXPECT_EQ(frame[7] + 256 * frame[8], static_cast<int>(len));
    unsigned sum = std::accumulate(frame.begin(), frame.end(), 0u);
    EXPECT_EQ(sum % 256, 0u) << "reply of " << len << " bytes";
  }
}

TEST(HostFrame, EncodeRefusesTooSmallOutput) {
  std::array<std::uint8_t, 12> out{};
  EXPECT_EQ(host_reply_encode(Bytes(9, 0), "OK\n", out), 0u);
}

}  // namespace
}  // namespace ftmd
