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

std::string text_of(const LogicText& text) { return std::string(text.data()); }

// The text as if nothing cut it, to compare against the 255-character cut.
std::string cut(const std::string& s) { return s.substr(0, 255); }

TEST(LogicFrame, ChecksumAndAcceptance) {
  struct Case {
    const char* what;
    Bytes bytes;
    std::uint8_t checksum;
    bool accepted;
  };
  const Case cases[] = {
      {"mode set 2,O", {0xAA, 0xAA, 0x02, 0x00, 0x02, 0x00, 0x02, 0x22, 0x7C}, 0x7C, true},
      {"set confirmation OK",
       {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x00, 0x65},
       0x65,
       true},
      {"set confirmation ERROR",
       {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x01, 0x66},
       0x66,
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
  for (const Case& c : cases) {
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

TEST(LogicFrame, ModeText) {
  struct Case {
    Bytes data;
    std::string text;
  };
  std::string long_text = "255";
  for (int i = 1; i < 255; ++i) long_text += i % 2 ? ",?" : ",255";
  const Case cases[] = {
      {{1, 0x11, 2, 0x22, 3, 0x48, 4, 0x05}, "1,I,2,O,3,A,4,?"},
      {{1, 0x11, 2, 0x22, 3, 0x22, 4, 0x11}, "1,I,2,O,3,O,4,I"},
      {{2, 0x22}, "2,O"},
      // An odd count ends with a bare group number.
      {{1, 0x11, 2}, "1,I,2"},
      {{}, ""},
      {{0, 0x00, 200, 0x12}, "0,?,200,?"},
      {Bytes(255, 0xFF), cut(long_text)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_of(logic_mode_text(c.data)), c.text);
  }
  EXPECT_EQ(text_of(logic_mode_text(Bytes(255, 0xFF))).size(), 255u);
}

TEST(LogicFrame, ValueText) {
  struct Case {
    Bytes data;
    std::string text;
  };
  std::string long_text;
  for (int i = 0; i < 85; ++i) long_text += std::string(i ? "," : "") + "200,O,HH";
  Bytes long_data;
  for (int i = 0; i < 85; ++i) long_data.insert(long_data.end(), {200, 0x22, 0x11});
  const Case cases[] = {
      {{1, 0x11, 0x10, 2, 0x22, 0x01, 3, 0x48, 50, 4, 0x48, 0x01}, "1,I,HL,2,O,LH,3,50,4,01"},
      {{3, 0x48, 100}, "3,?,?"},
      {{3, 0x48, 7}, "3,07"},
      {{3, 0x48, 99, 4, 0x11, 0x00}, "3,99,4,I,LL"},
      {{1, 0x11, 0x11, 2, 0x22, 0x00}, "1,I,HH,2,O,LL"},
      // 0x48 as the last byte has no number after it.
      {{3, 0x48}, "3,?"},
      // Unknown mode and level pair codes.
      {{1, 0x33, 0x22, 2, 0x00, 0x02}, "1,?,?,2,?,?"},
      {{1}, "1"},
      {{}, ""},
      {long_data, cut(long_text)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_of(logic_value_text(c.data)), c.text);
  }
}

// Decoding literal received frames into the reply record.
TEST(LogicFrame, HandleFrameFillsOrLeavesTheReply) {
  struct Case {
    const char* what;
    Bytes bytes;
    std::size_t count;  // what the read returned; 0 means the frame's size
    bool replaced;
    std::string text;
  };
  const Case cases[] = {
      {"confirmation OK",
       {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x00, 0x65},
       0,
       true,
       "OK"},
      {"confirmation ERROR",
       {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x01, 0x66},
       0,
       true,
       "ERROR"},
      {"first status fails",
       {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x01, 0x02, 0x02, 0x00, 0x66},
       0,
       true,
       "ERROR"},
      {"groups differ",
       {0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x03, 0x02, 0x00, 0x66},
       0,
       true,
       ""},
      {"confirmation of 5 bytes",
       {0xAA, 0xAA, 0x04, 0x00, 0x05, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x64},
       0,
       true,
       ""},
      {"mode report", {0xAA, 0xAA, 0x01, 0x00, 0x04, 0x00, 0x01, 0x11, 0x02, 0x22, 0x8F}, 0, true, "1,I,2,O"},
      {"mode set answered", {0xAA, 0xAA, 0x02, 0x00, 0x02, 0x00, 0x02, 0x22, 0x7C}, 0, true, "2,O"},
      {"value report", {0xAA, 0xAA, 0x03, 0x00, 0x03, 0x00, 0x03, 0x48, 0x07, 0xAC}, 0, true, "3,07"},
      {"code 0", {0xAA, 0xAA, 0x00, 0x00, 0x02, 0x00, 0x02, 0x22, 0x7A}, 0, false, ""},
      {"code 9", {0xAA, 0xAA, 0x09, 0x00, 0x02, 0x00, 0x02, 0x22, 0x83}, 0, false, ""},
      {"code 0x0104", {0xAA, 0xAA, 0x04, 0x01, 0x00, 0x00, 0x59}, 0, false, ""},
      {"read of 6 bytes", {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x00}, 6, false, ""},
      {"wrong head", {0xAA, 0xAB, 0x01, 0x00, 0x02, 0x00, 0x01, 0x11, 0x6A}, 0, false, ""},
      {"msglen past the buffer", {0xAA, 0xAA, 0x01, 0x00, 0x00, 0x01}, 262, false, ""},
  };
  for (const Case& c : cases) {
    LogicMcuLink link;
    std::strcpy(link.reply.text.data(), "before");
    LogicFrame frame = frame_of(c.bytes);
    logicmcu_handle_frame(link, frame, c.count ? c.count : c.bytes.size());
    std::lock_guard lock(link.mutex);
    if (c.replaced) {
      EXPECT_EQ(link.reply.ready, 1) << c.what;
      EXPECT_EQ(text_of(link.reply.text), c.text) << c.what;
    } else {
      EXPECT_EQ(link.reply.ready, 0) << c.what;
      EXPECT_EQ(text_of(link.reply.text), "before") << c.what;
    }
  }
}

TEST(LogicFrame, LaterReplyReplacesAnUnconsumedOne) {
  LogicMcuLink link;
  logicmcu_handle_frame(link, frame_of({0xAA, 0xAA, 0x01, 0x00, 0x04, 0x00, 0x01, 0x11, 0x02, 0x22, 0x8F}),
                        11);
  logicmcu_handle_frame(link, frame_of({0xAA, 0xAA, 0x02, 0x00, 0x02, 0x00, 0x02, 0x22, 0x7C}), 9);
  std::lock_guard lock(link.mutex);
  EXPECT_EQ(link.reply.ready, 1);
  EXPECT_EQ(text_of(link.reply.text), "2,O");
  // Cleared as a whole: no tail of the longer first text is left.
  EXPECT_EQ(link.reply.text[3], '\0');
  EXPECT_EQ(link.reply.text[6], '\0');
}

}  // namespace
}  // namespace ftmd
