#include "activation/activation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/command_table.h"

namespace ftmd {
namespace {

// Rows 23 to 26 reach the handler of the file they name, and each file's
// argument rule counts from the prefix of its own row.
TEST(Activation, RowsAreBoundToTheirFiles) {
  struct Row {
    std::size_t index;
    std::string_view prefix;
    CommandHandler handler;
  };
  const Row rows[] = {
      {22, kDeviceLic.publish_prefix, publish_device_lic},
      {23, kManufacturerCert.publish_prefix, publish_manufacturer_cert},
      {24, kDeviceLic.confirm_prefix, confirm_device_lic},
      {25, kManufacturerCert.confirm_prefix, confirm_manufacturer_cert},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(kCommandTable[row.index].prefix, row.prefix);
    EXPECT_EQ(kCommandTable[row.index].handler, row.handler) << row.prefix;
  }
  for (const auto& row : kCommandTable) EXPECT_NE(row.handler, nullptr);
}

TEST(Activation, ArgumentMustBeOneQuestionMarkAndNothingMore) {
  struct Case {
    std::string command;
    std::string_view prefix;
    bool ok;
  };
  const Case cases[] = {
      {"at+ftm,dantedevlic=?", kDeviceLic.publish_prefix, true},
      {"AT+FTM,DANTEDEVLIC=?", kDeviceLic.publish_prefix, true},
      {"at+ftm,dantecert=?", kManufacturerCert.publish_prefix, true},
      {"at+ftm,checkdantedevlic=?", kDeviceLic.confirm_prefix, true},
      {"at+ftm,checkdantecert=?", kManufacturerCert.confirm_prefix, true},
      {"at+ftm,dantedevlic=", kDeviceLic.publish_prefix, false},
      {"at+ftm,dantedevlic=??", kDeviceLic.publish_prefix, false},
      {"at+ftm,dantedevlic=?\n", kDeviceLic.publish_prefix, false},
      {"at+ftm,dantedevlic=x", kDeviceLic.publish_prefix, false},
      {"at+ftm,dantedevlic= ?", kDeviceLic.publish_prefix, false},
      {"at+ftm,checkdantecert=?x", kManufacturerCert.confirm_prefix, false},
  };
  for (const auto& c : cases) EXPECT_EQ(activation_argument_ok(c.command, c.prefix), c.ok) << c.command;
}

// A wrong argument to a confirm command is answered before any file is
// touched (publish looks at lan4 first and is covered on the board).
TEST(Activation, ConfirmRejectsWrongArgumentsFirst) {
  for (std::string text :
       {"at+ftm,checkdantedevlic=", "at+ftm,checkdantedevlic=??", "at+ftm,checkdantecert=?\n"}) {
    ReplyBuffer reply;
    text.push_back('\0');
    dispatch_command(text.data(), reply);
    EXPECT_EQ(reply.text(), "Invalid Cmd\n") << text;
  }
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
  struct Case {
    std::string content;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
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
