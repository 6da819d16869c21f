#include "logicmcu/logic_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "logicmcu/logic_link.h"

namespace ftmd {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A receive buffer holding `bytes` from its first byte, zeros after.
LogicFrame frame_of(const Bytes& bytes) {
  LogicFrame frame{};
  std::copy(bytes.begin(), bytes.end(), frame.bytes().begin());
  return frame;
}

// The head, code and length of a frame with `data` (no checkbit: the decoder
// is only given frames whose checksum matched).
Bytes head(std::uint16_t cmd, const Bytes& data) {
  Bytes b = {0xAA,
             0xAA,
             static_cast<std::uint8_t>(cmd),
             static_cast<std::uint8_t>(cmd >> 8),
             static_cast<std::uint8_t>(data.size()),
             0};
  for (auto d : data) b.push_back(d);
  return b;
}

std::string text_of(const LogicText& text) { return std::string(text.data()); }

TEST(LogicFrame, ChecksumAndAcceptance) {
  const struct {
    const char* what;
    Bytes bytes;
    std::uint8_t checksum;
    bool accepted;
  } cases[] = {
      {"mode set 2,O", {0xAA, 0xAA, 0x02, 0x00, 0x02, 0x00, 0x02, 0x22, 0x7C}, 0x7C, true},
      {"set confirmation OK",
       {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x00, 0x65},
       0x65,
       true},
      {"wrong checkbit",
       {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x00, 0x66},
       0x65,
       false},
      {"no data", {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x00, 0x55}, 0x55, true},
      // A msglen whose checkbit would lie past the buffer: dropped, and only
      // the buffer is summed.
      {"msglen 256", {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x01}, 0x56, false},
      {"msglen 0xFFFF", {0xAA, 0xAA, 0x01, 0x00, 0xFF, 0xFF}, 0x53, false},
  };
  for (const auto& c : cases) {
    LogicFrame frame = frame_of(c.bytes);
    EXPECT_EQ(logic_checksum(frame), c.checksum) << c.what;
    EXPECT_EQ(logic_frame_accepted(frame), c.accepted) << c.what;
  }
  // The largest frame that fits: 255 data bytes, checkbit in the last byte.
  LogicFrame big = frame_of({0xAA, 0xAA, 0x03, 0x00, 0xFF, 0x00});
  std::fill(big.data.begin(), big.data.begin() + 255, 0x01);
  big.data[255] = static_cast<std::uint8_t>(0xAA + 0xAA + 0x03 + 0xFF + 255);
  EXPECT_TRUE(logic_frame_accepted(big));
  EXPECT_EQ(logic_frame_size(big), 262u);
}

TEST(LogicFrame, ReportTexts) {
  std::string long_modes = "255";
  for (int i = 1; i < 255; ++i) long_modes += i % 2 ? ",?" : ",255";
  std::string long_values;
  Bytes long_data;
  for (int i = 0; i < 85; ++i) {
    long_values += std::string(i ? "," : "") + "200,O,HH";
    long_data.insert(long_data.end(), {200, 0x22, 0x11});
  }
  const std::pair<Bytes, std::string> modes[] = {
      {{1, 0x11, 2, 0x22, 3, 0x48, 4, 0x05}, "1,I,2,O,3,A,4,?"},
      {{1, 0x11, 2}, "1,I,2"},  // an odd count ends with a bare group number
      {{0, 0x00, 200, 0x12}, "0,?,200,?"},
      {{}, ""},
      {Bytes(255, 0xFF), long_modes.substr(0, 255)},  // cut at 255 characters
  };
  for (const auto& [data, text] : modes) EXPECT_EQ(text_of(logic_mode_text(data)), text);
  const std::pair<Bytes, std::string> values[] = {
      {{1, 0x11, 0x10, 2, 0x22, 0x01, 3, 0x48, 50, 4, 0x48, 0x01}, "1,I,HL,2,O,LH,3,50,4,01"},
      {{3, 0x48, 100}, "3,?,?"},  // 100 is then shown as a level pair
      {{3, 0x48, 7}, "3,07"},
      {{3, 0x48, 99, 4, 0x11, 0x00}, "3,99,4,I,LL"},
      {{1, 0x11, 0x11, 2, 0x22, 0x00}, "1,I,HH,2,O,LL"},
      {{3, 0x48}, "3,?"},  // nothing after 0x48
      {{1, 0x33, 0x22, 2, 0x00, 0x02}, "1,?,?,2,?,?"},
      {{1}, "1"},
      {long_data, long_values.substr(0, 255)},
  };
  for (const auto& [data, text] : values) EXPECT_EQ(text_of(logic_value_text(data)), text);
}

// Decoding received frames into the reply record.
TEST(LogicFrame, HandleFrameFillsOrLeavesTheReply) {
  const struct {
    const char* what;
    Bytes bytes;
    std::size_t count;  // what the read returned; 0 means the frame's size + 1
    bool replaced;
    std::string text;
  } cases[] = {
      {"confirmation OK", head(4, {2, 1, 0, 2, 2, 0}), 0, true, "OK"},
      {"confirmation ERROR", head(4, {2, 1, 0, 2, 2, 1}), 0, true, "ERROR"},
      {"first status fails", head(4, {2, 1, 1, 2, 2, 0}), 0, true, "ERROR"},
      {"groups differ", head(4, {2, 1, 0, 3, 2, 0}), 0, true, ""},
      {"confirmation of 5 bytes", head(4, {2, 1, 0, 2, 2}), 0, true, ""},
      {"mode report", head(1, {1, 0x11, 2, 0x22}), 0, true, "1,I,2,O"},
      {"mode set answered", head(2, {2, 0x22}), 0, true, "2,O"},
      {"value report", head(3, {3, 0x48, 7}), 0, true, "3,07"},
      {"code 0", head(0, {2, 0x22}), 0, false, ""},
      {"code 9", head(9, {2, 0x22}), 0, false, ""},
      {"code 0x0104", head(0x0104, {}), 0, false, ""},
      {"read of 6 bytes", head(1, {}), 6, false, ""},
      {"wrong head",
       [] {
         Bytes b = head(1, {1, 0x11});
         b[1] = 0xAB;
         return b;
       }(),
       0, false, ""},
      {"msglen past the buffer", {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x01}, 262, false, ""},
  };
  for (const auto& c : cases) {
    LogicMcuLink link;
    std::strcpy(link.reply.text.data(), "before");
    logicmcu_handle_frame(link, frame_of(c.bytes), c.count ? c.count : c.bytes.size() + 1);
    std::lock_guard lock(link.mutex);
    EXPECT_EQ(link.reply.ready, c.replaced ? 1 : 0) << c.what;
    EXPECT_EQ(text_of(link.reply.text), c.replaced ? c.text : "before") << c.what;
  }
}

TEST(LogicFrame, LaterReplyReplacesAnUnconsumedOne) {
  LogicMcuLink link;
  logicmcu_handle_frame(link, frame_of(head(1, {1, 0x11, 2, 0x22})), 11);
  logicmcu_handle_frame(link, frame_of(head(2, {2, 0x22})), 9);
  std::lock_guard lock(link.mutex);
  EXPECT_EQ(link.reply.ready, 1);
  EXPECT_EQ(text_of(link.reply.text), "2,O");
  // Cleared as a whole: no tail of the longer first text is left.
  EXPECT_EQ(std::string(link.reply.text.data(), 8), std::string("2,O\0\0\0\0\0", 8));
}

}  // namespace
}  // namespace ftmd
