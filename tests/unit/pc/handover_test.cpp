#include "pc/handover.h"

#include <gtest/gtest.h>

namespace ftmd::pc {
namespace {

const HandoverTarget& kLic = handover_target(HandoverFile::kDeviceLicence);
const HandoverTarget& kCert = handover_target(HandoverFile::kManufacturerCert);
const std::string kMd5 = "0123456789abcdef0123456789abcdef";

// A parse in one line: what it gave, or "error: " and why.
std::string described(const PublishReply& p) { return p.url ? *p.url : "error: " + p.error; }
std::string described(const ConfirmReply& c) {
  return c.digest ? *c.digest + "|" + c.hardware_id : "error: " + c.error;
}
std::string described(const std::optional<HttpUrl>& u) {
  return u ? u->host + "|" + u->port + "|" + u->path : "none";
}
std::string described(const HttpResponse& r) { return r.error.empty() ? r.body : "error: " + r.error; }

TEST(HandoverReplies, PublishReplyGivesTheUrlOrSaysWhy) {
  const std::pair<const HandoverTarget*, std::pair<std::string, std::string>> cases[] = {
      {&kLic, {"OK,http://192.0.2.1/device.lic\n", "http://192.0.2.1/device.lic"}},
      {&kCert, {"OK,http://192.0.2.1/manufacturer.cert\n", "http://192.0.2.1/manufacturer.cert"}},
      // The device's own refusals are quoted back, escaped.
      {&kLic,
       {"ERROR,Not insert Dante Network\n", "error: publish refused: \"ERROR,Not insert Dante Network\\n\""}},
      {&kLic, {"OK,http://192.0.2.1/device.lic", "error: publish reply has no line end"}},
      {&kLic, {"OK,ftp://192.0.2.1/device.lic\n", "error: publish reply carries no http URL"}},
      {&kLic, {"OK,http:///device.lic\n", "error: publish reply carries no http URL"}},
      {&kLic,
       {"OK,http://192.0.2.1/manufacturer.cert\n",
        "error: publish reply names \"manufacturer.cert\", not device.lic"}},
      {&kCert,
       {"OK,http://192.0.2.1/x/manufacturer.cert\n", "error: publish reply names \"x/manufacturer.cert\""}},
  };
  for (const auto& [target, c] : cases) {
    const std::string got = described(parse_publish_reply(c.first, *target));
    EXPECT_EQ(got.substr(0, c.second.size()), c.second) << c.first;
  }
}

TEST(HandoverReplies, ConfirmReplySplitsDigestAndHardwareId) {
  const std::pair<std::string, std::string> cases[] = {
      // The hardware id keeps its own line end: the reply ends in two.
      {"OK," + kMd5 + ",0x1234ABCD\n\n", kMd5 + "|0x1234ABCD\n"},
      {"OK," + kMd5 + ",0x1234ABCD\n", kMd5 + "|0x1234ABCD"},
      // The device could not read the file for its digest.
      {"OK,,0x1234ABCD\n\n", "|0x1234ABCD\n"},
      {"OK," + kMd5 + ",\n", kMd5 + "|"},
      {"ERROR,device.lic need download first\n", "error: confirm refused: \"ERROR,device.lic need"},
      {"OK," + kMd5 + "\n", "error: confirm reply has no hardware id"},
      {"OK," + kMd5 + ",id", "error: confirm reply has no line end"},
      {"OK,0123456789ABCDEF0123456789ABCDEF,id\n", "error: confirm reply carries no MD5"},
  };
  for (const auto& [reply, expected] : cases)
    EXPECT_EQ(described(parse_confirm_reply(reply)).substr(0, expected.size()), expected) << reply;
}

TEST(HandoverReplies, DigestComparisonSaysWhatDiffered) {
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  const std::string ours = md5_hex(std::string("licence\0\xff", 9));
  const std::string bytes = "the 9 downloaded bytes have MD5 " + ours;
  EXPECT_EQ(compare_digests({ours, "id\n", {}}, ours, 9, "device.lic"), "");
  EXPECT_EQ(compare_digests({kMd5, "id\n", {}}, ours, 9, "device.lic"),
            "MD5 differs: the device reports " + kMd5 + " for device.lic, " + bytes);
  EXPECT_EQ(compare_digests({"", "id\n", {}}, ours, 9, "device.lic"),
            "the device reported no MD5 for device.lic (it could not read the file); " + bytes);
}

TEST(HandoverHttp, UrlForms) {
  const std::pair<std::string, std::string> cases[] = {
      {"http://192.0.2.1/device.lic", "192.0.2.1|80|/device.lic"},
      {"http://192.0.2.1:8080/a/b", "192.0.2.1|8080|/a/b"},
      {"http://host", "host|80|/"},
      {"http://[2001:db8::1]:81/x", "2001:db8::1|81|/x"},
      {"https://192.0.2.1/x", "none"},
      {"http://", "none"},
      {"http://h:0/x", "none"},
      {"http://h:65536/x", "none"},
      {"http://h/a b", "none"},
      {"http://[::1/x", "none"},
  };
  for (const auto& [url, expected] : cases) EXPECT_EQ(described(parse_http_url(url)), expected) << url;
}

TEST(HandoverHttp, ResponseBodyOrWhatIsWrong) {
  const std::string binary("\0\x01\r\n\r\nrest", 10);
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello"},
      {"HTTP/1.1 200 OK\r\ncontent-length:  5 \r\nServer: x\r\n\r\nhello", "hello"},
      {"HTTP/1.0 200 OK\r\n\r\n", ""},
      // No length announced: the body is all up to the end of the connection,
      // blank lines and NULs inside it included.
      {"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + binary, binary},
      {"HTTP/1.0 200 OK\n\nbare newlines", "bare newlines"},
      {"HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nno!",
       "error: the server answered \"404 Not Found\""},
      {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nhello",
       "error: the download has 5 bytes, the server announced 9"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhello",
       "error: the download has 5 bytes, the server announced 2"},
      {"HTTP/1.0 200 OK\r\nContent-Length: x\r\n\r\nhello", "error: bad Content-Length \"x\""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       "error: the server used Transfer-Encoding \"chunked\" on an HTTP/1.0 request"},
      {"HTTP/1.0 200 OK\r\nContent-Len", "error: the server's response ends inside its header"},
      {"", "error: the server closed the connection without a response"},
      {"SSH-2.0-OpenSSH\r\n\r\n", "error: not an HTTP response: \"SSH-2.0-OpenSSH\""},
      {"HTTP/1.0 2x0 OK\r\n\r\n", "error: bad HTTP status line: \"HTTP/1.0 2x0 OK\""},
  };
  for (const auto& [raw, expected] : cases) EXPECT_EQ(described(parse_http_response(raw)), expected) << raw;
}

}  // namespace
}  // namespace ftmd::pc
