#include "pc/handover.h"

#include <gtest/gtest.h>

namespace ftmd::pc {
namespace {

const HandoverTarget& kLic = handover_target(HandoverFile::kDeviceLicence);
const HandoverTarget& kCert = handover_target(HandoverFile::kManufacturerCert);
const std::string kMd5 = "0123456789abcdef0123456789abcdef";

TEST(HandoverReplies, PublishReplyGivesTheUrlOrSaysWhy) {
  struct Case {
    const HandoverTarget& target;
    std::string reply;
    std::optional<std::string> url;
    std::string error = {};
  };
  const Case cases[] = {
      {kLic, "OK,http://192.0.2.1/device.lic\n", "http://192.0.2.1/device.lic"},
      {kCert, "OK,http://192.0.2.1/manufacturer.cert\n", "http://192.0.2.1/manufacturer.cert"},
      {kLic, "OK,http://192.0.2.1:8080/device.lic\n", "http://192.0.2.1:8080/device.lic"},
      // The device's own refusals are quoted back, escaped.
      {kLic, "ERROR,Not insert Dante Network\n", std::nullopt,
       "publish refused: \"ERROR,Not insert Dante Network\\n\""},
      {kLic, "ERROR, device.lic is empty or does not exist\n", std::nullopt, "publish refused"},
      {kLic, "Invalid Cmd\n", std::nullopt, "publish refused: \"Invalid Cmd\\n\""},
      {kLic, "OK,http://192.0.2.1/device.lic", std::nullopt, "no line end"},
      {kLic, "OK,ftp://192.0.2.1/device.lic\n", std::nullopt, "no http URL"},
      {kLic, "OK,http:///device.lic\n", std::nullopt, "no http URL"},
      {kLic, "OK,http://192.0.2.1/manufacturer.cert\n", std::nullopt,
       "names \"manufacturer.cert\", not device.lic"},
      {kCert, "OK,http://192.0.2.1/x/manufacturer.cert\n", std::nullopt, "not manufacturer.cert"},
  };
  for (const auto& c : cases) {
    PublishReply got = parse_publish_reply(c.reply, c.target);
    EXPECT_EQ(got.url, c.url) << c.reply;
    if (!c.url) {
      EXPECT_NE(got.error.find(c.error), std::string::npos) << c.reply << " -> " << got.error;
    }
  }
}

TEST(HandoverReplies, ConfirmReplySplitsDigestAndHardwareId) {
  struct Case {
    std::string reply;
    std::optional<std::string> digest;
    std::string hardware_id = {};
    std::string error = {};
  };
  const Case cases[] = {
      // The hardware id keeps its own line end: the reply ends in two.
      {"OK," + kMd5 + ",0x1234ABCD\n\n", kMd5, "0x1234ABCD\n"},
      {"OK," + kMd5 + ",0x1234ABCD\n", kMd5, "0x1234ABCD"},
      // The device could not read the file for its digest.
      {"OK,,0x1234ABCD\n\n", "", "0x1234ABCD\n"},
      {"OK," + kMd5 + ",\n", kMd5, ""},
      {"ERROR,device.lic need download first\n",
       std::nullopt,
       {},
       "confirm refused: \"ERROR,device.lic need"},
      {"ERROR\n", std::nullopt, {}, "confirm refused"},
      {"OK," + kMd5 + "\n", std::nullopt, {}, "no hardware id"},
      {"OK," + kMd5 + ",id", std::nullopt, {}, "no line end"},
      {"OK,0123456789ABCDEF0123456789ABCDEF,id\n", std::nullopt, {}, "no MD5"},
      {"OK,0123,id\n", std::nullopt, {}, "no MD5"},
  };
  for (const auto& c : cases) {
    ConfirmReply got = parse_confirm_reply(c.reply);
    EXPECT_EQ(got.digest, c.digest) << c.reply;
    if (c.digest) {
      EXPECT_EQ(got.hardware_id, c.hardware_id) << c.reply;
    } else {
      EXPECT_NE(got.error.find(c.error), std::string::npos) << c.reply << " -> " << got.error;
    }
  }
}

TEST(HandoverReplies, DigestComparisonSaysWhatDiffered) {
  const std::string ours = md5_hex("licence bytes");
  EXPECT_EQ(compare_digests({ours, "id\n", {}}, ours, 13, "device.lic"), "");
  EXPECT_EQ(compare_digests({kMd5, "id\n", {}}, ours, 13, "device.lic"),
            "MD5 differs: the device reports " + kMd5 + " for device.lic, the 13 downloaded bytes have MD5 " +
                ours);
  EXPECT_EQ(
      compare_digests({"", "id\n", {}}, ours, 13, "device.lic"),
      "the device reported no MD5 for device.lic (it could not read the file); the 13 downloaded bytes have "
      "MD5 " +
          ours);
}

TEST(HandoverDigest, Md5OfKnownTexts) {
  EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5_hex(std::string("\0\xff", 2)), md5_hex(std::string("\0\xff", 2)));
  EXPECT_NE(md5_hex(std::string("\0\xff", 2)), md5_hex(std::string("\0", 1)));
}

TEST(HandoverHttp, UrlForms) {
  struct Case {
    std::string url;
    bool ok;
    std::string host = {}, port = {}, path = {};
  };
  const Case cases[] = {
      {"http://192.0.2.1/device.lic", true, "192.0.2.1", "80", "/device.lic"},
      {"http://192.0.2.1:8080/a/b", true, "192.0.2.1", "8080", "/a/b"},
      {"http://host", true, "host", "80", "/"},
      {"http://[2001:db8::1]:81/x", true, "2001:db8::1", "81", "/x"},
      {"https://192.0.2.1/x", false},
      {"http://", false},
      {"http://:80/x", false},
      {"http://h:0/x", false},
      {"http://h:65536/x", false},
      {"http://h:8a/x", false},
      {"http://h/a b", false},
      {"http://[::1/x", false},
  };
  for (const auto& c : cases) {
    auto got = parse_http_url(c.url);
    ASSERT_EQ(got.has_value(), c.ok) << c.url;
    if (!got) continue;
    EXPECT_EQ(got->host, c.host) << c.url;
    EXPECT_EQ(got->port, c.port) << c.url;
    EXPECT_EQ(got->path, c.path) << c.url;
  }
}

TEST(HandoverHttp, ResponseBodyOrWhatIsWrong) {
  struct Case {
    std::string raw;
    std::string body;
    std::string error = {};
  };
  const std::string binary("\0\x01\r\n\r\nrest", 10);
  const Case cases[] = {
      {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello"},
      {"HTTP/1.1 200 OK\r\ncontent-length:  5 \r\nServer: x\r\n\r\nhello", "hello"},
      {"HTTP/1.0 200 OK\r\n\r\n", ""},
      // No length announced: the body is all up to the end of the connection,
      // blank lines and NULs inside it included.
      {"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + binary, binary},
      {"HTTP/1.0 200 OK\n\nbare newlines", "bare newlines"},
      {"HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nno!", "", "the server answered \"404 Not Found\""},
      {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nhello", "", "5 bytes, the server announced 9"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhello", "", "5 bytes, the server announced 2"},
      {"HTTP/1.0 200 OK\r\nContent-Length: x\r\n\r\nhello", "", "bad Content-Length"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "",
       "Transfer-Encoding"},
      {"HTTP/1.0 200 OK\r\nContent-Len", "", "ends inside its header"},
      {"", "", "without a response"},
      {"SSH-2.0-OpenSSH\r\n\r\n", "", "not an HTTP response"},
      {"HTTP/1.0 2x0 OK\r\n\r\n", "", "bad HTTP status line"},
  };
  for (const auto& c : cases) {
    HttpResponse got = parse_http_response(c.raw);
    if (c.error.empty()) {
      EXPECT_EQ(got.error, "") << c.raw;
      EXPECT_EQ(got.body, c.body) << c.raw;
    } else {
      EXPECT_NE(got.error.find(c.error), std::string::npos) << c.raw << " -> " << got.error;
    }
  }
}

}  // namespace
}  // namespace ftmd::pc
