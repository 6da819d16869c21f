#include "activation/activation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace ftmd {
namespace {

TEST(Activation, ArgumentMustBeOneQuestionMarkAndNothingMore) {
  EXPECT_TRUE(activation_argument_ok("?"));
  for (const char* args : {"", "??", "?\n", "x", " ?", "?x"})
    EXPECT_FALSE(activation_argument_ok(args)) << '"' << args << '"';
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/ftmd-md5-XXXXXX";
    int fd = ::mkstemp(name);
    ::close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(Activation, Md5OfKnownVectors) {
  const struct {
    std::string content;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      // Many reads, the last one partial.
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
      // Binary bytes, NULs included.
      {std::string("\0\xff\0", 3), "b2b237a1bbd9c57b93b952c24e7936a8"},
  };
  for (const auto& c : cases) {
    TempFile file(c.content);
    EXPECT_EQ(md5_file_hex(file.path()), c.digest) << c.content.size() << " bytes";
  }
}

TEST(Activation, UnreadableFilesHaveNoDigestAndNoContent) {
  EXPECT_EQ(md5_file_hex("/nonexistent/device.lic"), "");
  EXPECT_FALSE(file_has_content("/nonexistent/device.lic"));
  TempFile empty("");
  EXPECT_FALSE(file_has_content(empty.path()));
  TempFile one("x");
  EXPECT_TRUE(file_has_content(one.path()));
}

TEST(Activation, LoopbackAddressIsDottedText) {
  char text[kIpv4TextSize] = {};
  ASSERT_EQ(get_ipv4_address("lo", text, sizeof(text)), 0);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(get_ipv4_address("nosuchif0", text, sizeof(text)), -1);
}

}  // namespace
}  // namespace ftmd
