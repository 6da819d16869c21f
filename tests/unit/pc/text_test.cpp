#include "pc/text.h"

#include <gtest/gtest.h>

namespace ftmd::pc {
namespace {

TEST(ClientText, EscapesEveryControlByteAndKeepsTheRest) {
  struct Case {
    std::string in, escaped, json;
  };
  const Case cases[] = {
      {"OK\n", "OK\\n", "\"OK\\n\""},
      {"OK,3.1\r\n\r\n", "OK,3.1\\r\\n\\r\\n", "\"OK,3.1\\r\\n\\r\\n\""},
      {"a\tb", "a\\tb", "\"a\\tb\""},
      {std::string("x\0y", 3), "x\\x00y", "\"x\\u0000y\""},
      {"\x1b[0m\x7f", "\\x1b[0m\\x7f", "\"\\u001b[0m\\u007f\""},
      {"\xe6\xb5\x8b", "\\xe6\\xb5\\x8b", "\"\\u00e6\\u00b5\\u008b\""},
      {"back\\slash \"q\"", "back\\\\slash \"q\"", "\"back\\\\slash \\\"q\\\"\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(escape_reply(c.in), c.escaped) << c.escaped;
    EXPECT_EQ(json_string(c.in), c.json) << c.escaped;
  }
}

TEST(ClientText, EveryByteComesOutAsPrintableAsciiOnOneLine) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  for (const std::string& text : {escape_reply(all), json_string(all)})
    for (char ch : text) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << int(ch);
  const std::uint8_t bytes[] = {0x00, 0x4f, 0xab, 0xff};
  EXPECT_EQ(hex_bytes(bytes), "004fabff");
}

}  // namespace
}  // namespace ftmd::pc
