#include "session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "fake_device.h"
#include "ftmctl.h"
#include "handover.h"

namespace ftmd::client::test {
namespace {

using namespace std::chrono_literals;

// Captures what a FILE* stream receives.
class Capture {
 public:
  Capture() : file_(open_memstream(&data_, &size_)) {}
  ~Capture() {
    std::fclose(file_);
    std::free(data_);
  }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

// A one-shot web server on loopback: serves `response` to every connection
// and remembers the request lines.
class LoopbackHttp {
 public:
  explicit LoopbackHttp(std::string response) : response_(std::move(response)) {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_.get(), 4) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("loopback listener");
    port_ = ntohs(addr.sin_port);
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
  }
  int port() const { return port_; }
  std::vector<std::string> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void serve(std::stop_token stop) {
    while (!stop.stop_requested()) {
      pollfd p{listener_.get(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn) continue;
      std::string request;
      char buf[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(conn.get(), buf, sizeof(buf), 0);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
      }
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request.substr(0, request.find("\r\n")));
      }
      ::send(conn.get(), response_.data(), response_.size(), MSG_NOSIGNAL);
    }
  }

  std::string response_;
  UniqueFd listener_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> requests_;  // guarded by mutex_
  std::jthread thread_;
};

int unused_port() {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), len);
  ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);  // closed again: connecting is refused
}

const std::string kLicence = std::string("LIC\0\x01\xff\r\n\r\nbody", 15);

struct HandoverCase {
  const char* name;
  std::string http;                              // the web server's whole response
  std::function<std::string(int port)> publish;  // the device's publish reply
  std::function<std::string(const std::string& md5)> confirm;
  int status;
  std::vector<std::string> commands;  // what the device received
  std::string out, err;               // pieces of the output
};
// Test listings name a case, not a dump of its bytes.
void PrintTo(const HandoverCase& c, std::ostream* os) { *os << c.name; }

const std::string kPublish = "at+ftm,dantedevlic=?";
const std::string kConfirm = "at+ftm,checkdantedevlic=?";
std::string ok_http(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string url_reply(int port) { return "OK,http://127.0.0.1:" + std::to_string(port) + "/device.lic\n"; }

class Handover : public testing::TestWithParam<HandoverCase> {};

TEST_P(Handover, RunsPublishDownloadConfirmAndComparesDigests) {
  const auto& c = GetParam();
  LoopbackHttp http(c.http);
  FakeDevice device([&](const Bytes& r, const std::string& command) {
    if (command == kPublish) return reply_frame(r, c.publish(http.port()));
    if (command == kConfirm) return reply_frame(r, c.confirm(md5_hex(kLicence)));
    return reply_frame(r, "ERROR,Invalid Cmd\n");
  });
  std::string error;
  auto link = SerialLink::open(device.slave_path(), &error);
  ASSERT_TRUE(link) << error;
  Options options;
  options.timeout = 5s;
  Capture out, err;
  Session session(*link, options, out.file(), err.file());
  EXPECT_EQ(session.run(Step{{}, HandoverFile::kDeviceLicence}), c.status);
  EXPECT_EQ(device.commands(), c.commands);
  EXPECT_NE(out.text().find(c.out), std::string::npos) << out.text();
  EXPECT_NE(err.text().find(c.err), std::string::npos) << err.text();
}

INSTANTIATE_TEST_SUITE_P(
    Flows, Handover,
    testing::Values(
        HandoverCase{
            "DigestsAgree",
            ok_http(kLicence),
            url_reply,
            [](const std::string& md5) { return "OK," + md5 + ",0xC0FFEE\n\n"; },
            kExitOk,
            {kPublish, kConfirm},
            "handover device.lic: OK, 15 bytes, md5 " + md5_hex(kLicence) + ", hardware id 0xC0FFEE\n",
            ""},
        HandoverCase{"DigestsDiffer",
                     ok_http(kLicence),
                     url_reply,
                     [](const std::string&) { return "OK," + md5_hex("other") + ",0xC0FFEE\n\n"; },
                     kExitNotOk,
                     {kPublish, kConfirm},
                     "FAILED: MD5 differs: the device reports " + md5_hex("other"),
                     "the 15 downloaded bytes have MD5 " + md5_hex(kLicence)},
        HandoverCase{"DeviceCouldNotDigest",
                     ok_http(kLicence),
                     url_reply,
                     [](const std::string&) { return std::string("OK,,0xC0FFEE\n\n"); },
                     kExitNotOk,
                     {kPublish, kConfirm},
                     "FAILED",
                     "reported no MD5"},
        HandoverCase{"DownloadTruncatedNotConfirmed",
                     "HTTP/1.0 200 OK\r\nContent-Length: 99\r\n\r\n" + kLicence,
                     url_reply,
                     [](const std::string& md5) { return "OK," + md5 + ",x\n"; },
                     kExitNotOk,
                     {kPublish},
                     "FAILED",
                     "15 bytes, the server announced 99"},
        HandoverCase{"NotFoundNotConfirmed",
                     "HTTP/1.0 404 Not Found\r\n\r\n",
                     url_reply,
                     [](const std::string& md5) { return "OK," + md5 + ",x\n"; },
                     kExitNotOk,
                     {kPublish},
                     "FAILED",
                     "404 Not Found"},
        HandoverCase{
            "ServerUnreachable",
            ok_http(kLicence),
            [](int) { return "OK,http://127.0.0.1:" + std::to_string(unused_port()) + "/device.lic\n"; },
            [](const std::string& md5) { return "OK," + md5 + ",x\n"; },
            kExitTransport,
            {kPublish},
            "FAILED",
            "Connection refused"},
        HandoverCase{"PublishRefused",
                     ok_http(kLicence),
                     [](int) { return std::string("ERROR,Not insert Dante Network\n"); },
                     [](const std::string& md5) { return "OK," + md5 + ",x\n"; },
                     kExitNotOk,
                     {kPublish},
                     "FAILED: publish refused: \"ERROR,Not insert Dante Network\\n\"",
                     ""},
        HandoverCase{"ConfirmRefused",
                     ok_http(kLicence),
                     url_reply,
                     [](const std::string&) { return std::string("ERROR,device.lic need download first\n"); },
                     kExitNotOk,
                     {kPublish, kConfirm},
                     "confirm refused",
                     ""}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(Handover, JsonIsOneObjectWithBothSteps) {
  LoopbackHttp http(ok_http(kLicence));
  FakeDevice device([&](const Bytes& r, const std::string& command) {
    if (command == "at+ftm,dantecert=?")
      return reply_frame(r, "OK,http://127.0.0.1:" + std::to_string(http.port()) + "/manufacturer.cert\n");
    return reply_frame(r, "OK," + md5_hex(kLicence) + ",ID\n\n");
  });
  std::string error;
  auto link = SerialLink::open(device.slave_path(), &error);
  ASSERT_TRUE(link) << error;
  Options options;
  options.json = true;
  Capture out, err;
  Session session(*link, options, out.file(), err.file());
  EXPECT_EQ(session.run(Step{{}, HandoverFile::kManufacturerCert}), kExitOk);
  std::string json = out.text();
  EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 1) << json;
  EXPECT_TRUE(json.starts_with("{\"handover\":\"manufacturer.cert\",\"url\":\"http://127.0.0.1:")) << json;
  EXPECT_NE(json.find(",\"bytes\":15,\"md5\":\"" + md5_hex(kLicence) + "\",\"device_md5\":\"" +
                      md5_hex(kLicence) + "\",\"hardware_id\":\"ID\",\"ok\":true,"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"steps\":[{\"command\":\"at+ftm,dantecert=?\""), std::string::npos) << json;
  EXPECT_NE(json.find("{\"command\":\"at+ftm,checkdantecert=?\",\"reply\":\"OK,"), std::string::npos) << json;
  EXPECT_EQ(http.requests(), std::vector<std::string>{"GET /manufacturer.cert HTTP/1.0"});
}

// The whole program on in-memory streams: commands from stdin, one reply line
// each, the worst status.
TEST(Ftmctl, InteractiveCommandsFromStdin) {
  FakeDevice device([](const Bytes& r, const std::string& command) {
    if (command == "at+ftm,swver=?") return reply_frame(r, "OK,2.0\r\n");
    if (command == "silent") return Bytes{};
    return reply_frame(r, "ERROR,Invalid Cmd\n");
  });
  std::string port = device.slave_path();
  struct Case {
    std::string input;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"at+ftm,swver=?\n", kExitOk, "OK,2.0\\r\\n\n", ""},
      {"# comment\n\nat+ftm,swver=?\r\nat+ftm,nope\n", kExitNotOk, "OK,2.0\\r\\n\nERROR,Invalid Cmd\\n\n",
       ""},
      {"silent\nat+ftm,swver=?\n", kExitTransport, "OK,2.0\\r\\n\n", "silent: time-out: no reply"},
      {"handover nothing\n", kExitNotOk, "", "unknown file 'nothing'"},
      {"", kExitOk, "", ""},
  };
  for (const auto& c : cases) {
    std::FILE* in = fmemopen(const_cast<char*>(c.input.data()), c.input.size(), "r");
    if (c.input.empty()) in = std::fopen("/dev/null", "r");
    Capture out, err;
    std::vector<const char*> argv = {"ftmctl", "--port", port.c_str(), "--timeout", "0.5"};
    int status = ftmctl_main(static_cast<int>(argv.size()), const_cast<char**>(argv.data()), in, out.file(),
                             err.file());
    std::fclose(in);
    EXPECT_EQ(status, c.status) << c.input;
    EXPECT_EQ(out.text(), c.out) << c.input;
    EXPECT_NE(err.text().find(c.err), std::string::npos) << c.input << " -> " << err.text();
  }
}

TEST(Ftmctl, UsageAndPortErrors) {
  Capture out, err;
  std::vector<const char*> bad = {"ftmctl", "--timeout", "x"};
  EXPECT_EQ(ftmctl_main(3, const_cast<char**>(bad.data()), stdin, out.file(), err.file()), kExitUsage);
  EXPECT_NE(err.text().find("usage: ftmctl"), std::string::npos);
  std::vector<const char*> missing = {"ftmctl", "--port", "/nonexistent/ttyACM0", "at+ftm,swver=?"};
  EXPECT_EQ(ftmctl_main(4, const_cast<char**>(missing.data()), stdin, out.file(), err.file()),
            kExitTransport);
  EXPECT_NE(err.text().find("transport error: cannot open /nonexistent/ttyACM0"), std::string::npos)
      << err.text();
  EXPECT_EQ(out.text(), "");
}

}  // namespace
}  // namespace ftmd::client::test
