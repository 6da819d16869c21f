#include "common/host_frame.h"

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
  EXPECT_EQ(encode(received, "OK\n"), (Bytes{0, 0, 0, 0, 0, 0, 0, 0x03, 0x00, 0x4F, 0x4B, 0x0A, 0x59}));
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
// Test listings name a case, not a dump of its bytes.
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

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
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 9), (Bytes{0x11, 0x22, 0x33, 0, 0, 0, 0, 0x12, 0x00}));
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

TEST(HostFrame, RequestEncodeIsWhatTheDaemonDecodes) {
  const std::array<std::uint8_t, kHostHeaderSize> header{0x34, 0x12, 0, 0, 0, 0, 0};
  for (std::string text : {std::string(), std::string("at+ftm,swver=?"), std::string(1023, 'z')}) {
    std::array<std::uint8_t, kHostBodyOffset + 1023> out{};
    std::size_t n = host_request_encode(header, text, out);
    ASSERT_EQ(n, text.size() + kHostBodyOffset);
    Bytes frame(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 7), Bytes(header.begin(), header.end()));
    EXPECT_EQ(host_request_length(frame), text.size());
    EXPECT_EQ(decode(frame), text);
  }
  std::array<std::uint8_t, 2048> big{};
  EXPECT_EQ(host_request_encode(header, std::string(1024, 'z'), big), 0u) << "longer than the command buffer";
  std::array<std::uint8_t, 10> small{};
  EXPECT_EQ(host_request_encode(header, "ab", small), 0u);
}

TEST(HostFrame, ReplyCheckJudgesWhatArrived) {
  const std::array<std::uint8_t, kHostHeaderSize> header{7, 1, 0, 0, 0, 0, 0};
  const Bytes request{7, 1, 0, 0, 0, 0, 0, 0, 0};
  const Bytes good = encode(request, "OK,1.2\n");
  auto with = [](Bytes b, std::size_t at, std::uint8_t value) {
    b[at] = value;
    return b;
  };
  struct Case {
    const char* name;
    Bytes received;
    HostReplyStatus status;
  };
  Bytes trailing = good;
  trailing.insert(trailing.end(), {0xde, 0xad});
  const Case cases[] = {
      {"whole frame", good, HostReplyStatus::kOk},
      {"bytes after the frame are not looked at", trailing, HostReplyStatus::kOk},
      {"empty reply", encode(request, ""), HostReplyStatus::kOk},
      {"nothing yet", Bytes{}, HostReplyStatus::kIncomplete},
      {"header only", Bytes(good.begin(), good.begin() + 8), HostReplyStatus::kIncomplete},
      {"checksum missing", Bytes(good.begin(), good.end() - 1), HostReplyStatus::kIncomplete},
      {"body byte changed", with(good, 10, 'k'), HostReplyStatus::kBadChecksum},
      {"checksum byte changed", with(good, good.size() - 1, 0), HostReplyStatus::kBadChecksum},
      {"other header, checksum right", encode(Bytes{8, 1, 0, 0, 0, 0, 0}, "OK,1.2\n"),
       HostReplyStatus::kHeaderMismatch},
      {"header echoed from a short request", encode(Bytes{7}, "OK"), HostReplyStatus::kHeaderMismatch},
  };
  for (const auto& c : cases) {
    std::string_view text = "unset";
    EXPECT_EQ(host_reply_check(c.received, header, &text), c.status) << c.name;
    if (c.status == HostReplyStatus::kOk && c.received.size() >= good.size()) {
      EXPECT_EQ(text, "OK,1.2\n") << c.name;
    }
  }
  EXPECT_EQ(host_reply_frame_size(good), good.size());
  EXPECT_EQ(host_reply_frame_size(Bytes(good.begin(), good.begin() + 8)), 0u);
}

}  // namespace
}  // namespace ftmd
