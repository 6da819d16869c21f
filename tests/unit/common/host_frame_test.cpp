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
  // A short read: the header bytes that arrived, zeros for the rest.
  Bytes frame = encode(Bytes{0x11, 0x22, 0x33}, "ERROR,Invalid Cmd\n");
  ASSERT_EQ(frame.size(), 28u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 9), (Bytes{0x11, 0x22, 0x33, 0, 0, 0, 0, 0x12, 0x00}));
  // An empty reply is ten bytes; its checksum cancels the header.
  EXPECT_EQ(encode(Bytes{1, 2, 3, 4, 5, 6, 7, 0, 0}, ""), (Bytes{1, 2, 3, 4, 5, 6, 7, 0, 0, 0xE4}));
}

TEST(HostFrame, TakesTheCommandText) {
  Bytes two = request(Bytes(7, 0), 3, "abc");
  Bytes second = request(Bytes(7, 0), 3, "xyz");
  two.insert(two.end(), second.begin(), second.end());
  const struct {
    const char* name;
    Bytes received;
    std::string command;
  } cases[] = {
      {"short read", Bytes{1, 2, 3, 4}, ""},
      {"header and length only", request(Bytes(7, 9), 5, ""), ""},
      {"NUL ends the text", request(Bytes(7, 0), 9, std::string("at+\0ftm,x", 9)), "at+"},
      {"length beyond the bytes that arrived", request(Bytes(7, 0), 400, "at+ftm,udisk"), "at+ftm,udisk"},
      {"length shorter than the body", request(Bytes(7, 0), 6, "at+ftm,udisk"), "at+ftm"},
      {"second frame in the same read", two, "abc"},
      {"overlong length cut to 1023", request(Bytes(7, 0), 0xffff, std::string(2039, 'q')),
       std::string(1023, 'q')},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.received), c.command) << c.name;
}

TEST(HostFrame, EveryReplySumsToZero) {
  const Bytes header{0xff, 0x80, 0x7f, 0x01, 0xaa, 0x55, 0xfe, 0, 0};
  for (std::size_t len : {0u, 1u, 246u, 247u, 371u, 1023u}) {
    std::string text(len, static_cast<char>('!' + len % 90));
    Bytes frame = encode(header, text.c_str());
    ASSERT_EQ(frame.size(), len + 10) << len;
    EXPECT_EQ(frame[7] + 256 * frame[8], static_cast<int>(len));
    EXPECT_EQ(std::accumulate(frame.begin(), frame.end(), 0u) % 256, 0u) << "reply of " << len << " bytes";
  }
  std::array<std::uint8_t, 12> small{};
  EXPECT_EQ(host_reply_encode(Bytes(9, 0), "OK\n", small), 0u);
}

// The test PC's side: a request frame, and the check of its reply.
TEST(HostFrame, RequestEncodeIsWhatTheDaemonDecodes) {
  const std::array<std::uint8_t, kHostHeaderSize> header{0x34, 0x12, 0, 0, 0, 0, 0};
  std::array<std::uint8_t, 2048> out{};
  std::size_t n = host_request_encode(header, "at+ftm,dsp", out);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)),
            (Bytes{0x34, 0x12, 0, 0, 0, 0, 0, 10, 0, 'a', 't', '+', 'f', 't', 'm', ',', 'd', 's', 'p'}));
  EXPECT_EQ(host_request_encode(header, std::string(1024, 'z'), out), 0u) << "longer than the command buffer";
}

TEST(HostFrame, ReplyCheckJudgesWhatArrived) {
  const std::array<std::uint8_t, kHostHeaderSize> header{7, 1, 0, 0, 0, 0, 0};
  const Bytes request{7, 1, 0, 0, 0, 0, 0, 0, 0};
  const Bytes good = encode(request, "OK,1.2\n");
  auto with = [](Bytes b, std::size_t at, std::uint8_t value) {
    b[at] = value;
    return b;
  };
  Bytes trailing = good;
  trailing.insert(trailing.end(), {0xde, 0xad});
  const struct {
    const char* name;
    Bytes received;
    HostReplyStatus status;
  } cases[] = {
      {"whole frame", good, HostReplyStatus::kOk},
      {"bytes after the frame are not looked at", trailing, HostReplyStatus::kOk},
      {"nothing yet", Bytes{}, HostReplyStatus::kIncomplete},
      {"header only", Bytes(good.begin(), good.begin() + 8), HostReplyStatus::kIncomplete},
      {"checksum missing", Bytes(good.begin(), good.end() - 1), HostReplyStatus::kIncomplete},
      {"body byte changed", with(good, 10, 'k'), HostReplyStatus::kBadChecksum},
      {"other header, checksum right", encode(Bytes{8, 1, 0, 0, 0, 0, 0}, "OK,1.2\n"),
       HostReplyStatus::kHeaderMismatch},
  };
  for (const auto& c : cases) {
    std::string_view text = "unset";
    EXPECT_EQ(host_reply_check(c.received, header, &text), c.status) << c.name;
    if (c.received == good) {
      EXPECT_EQ(text, "OK,1.2\n");
    }
  }
  EXPECT_EQ(host_reply_frame_size(good), good.size());
}

}  // namespace
}  // namespace ftmd
