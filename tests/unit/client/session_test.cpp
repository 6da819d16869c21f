#include "session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "ftmctl.h"
#include "pc/handover.h"
#include "unit/pc/fake_device.h"

namespace ftmd::client {
namespace {

using namespace std::chrono_literals;
using pc::test::Bytes;
using pc::test::FakeDevice;
using pc::test::reply_frame;

// Captures what a FILE* stream receives.
struct Capture {
  std::FILE* file = std::tmpfile();
  ~Capture() { std::fclose(file); }
  std::string text() {
    std::string all(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    all.resize(std::fread(all.data(), 1, all.size(), file));
    return all;
  }
};

// A web server on loopback: serves `response` to every connection.
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
    thread_ = std::jthread([this](const std::stop_token& stop) {
      while (!stop.stop_requested()) {
        pollfd p{listener_.get(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::string request;
        char buf[1024];
        for (ssize_t n; request.find("\r\n\r\n") == std::string::npos &&
                        (n = ::recv(conn.get(), buf, sizeof(buf), 0)) > 0;)
          request.append(buf, static_cast<std::size_t>(n));
        ::send(conn.get(), response_.data(), response_.size(), MSG_NOSIGNAL);
      }
    });
  }
  int port() const { return port_; }

 private:
  std::string response_;
  UniqueFd listener_;
  int port_ = 0;
  std::jthread thread_;
};

const std::string kLicence = std::string("LIC") + '\0' + "\x01\xff\r\n\r\nbody";
const std::string kPublish = "at+ftm,dantedevlic=?";
const std::string kConfirm = "at+ftm,checkdantedevlic=?";

std::string ok_http(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string replaced(std::string text, const std::string& mark, const std::string& value) {
  if (auto at = text.find(mark); at != std::string::npos) text.replace(at, mark.size(), value);
  return text;
}

// The whole handover from the PC's side: "{port}" in the publish reply is
// the web server's port ("{closed}" a port nobody listens on), "{md5}" in the
// confirm reply the licence's digest.
TEST(Handover, RunsPublishDownloadConfirmAndComparesDigests) {
  struct Case {
    std::string http, publish, confirm;
    int status;
    std::size_t sent;      // commands the device received: publish, then confirm
    std::string out, err;  // pieces of the output
  };
  const std::string url = "OK,http://127.0.0.1:{port}/device.lic\n";
  const std::string md5 = pc::md5_hex(kLicence);
  const Case cases[] = {
      {ok_http(kLicence), url, "OK,{md5},0xC0FFEE\n\n", kExitOk, 2,
       "handover device.lic: OK, 14 bytes, md5 " + md5 + ", hardware id 0xC0FFEE\n", ""},
      {ok_http(kLicence), url, "OK," + pc::md5_hex("other") + ",0xC0FFEE\n\n", kExitNotOk, 2,
       "FAILED: MD5 differs: the device reports " + pc::md5_hex("other"),
       "the 14 downloaded bytes have MD5 " + md5},
      // A failed download is not confirmed: the file stays published.
      {"HTTP/1.0 200 OK\r\nContent-Length: 99\r\n\r\n" + kLicence, url, "OK,{md5},x\n", kExitNotOk, 1,
       "FAILED", "14 bytes, the server announced 99"},
      {"HTTP/1.0 404 Not Found\r\n\r\n", url, "OK,{md5},x\n", kExitNotOk, 1, "FAILED", "404 Not Found"},
      {ok_http(kLicence), "OK,http://127.0.0.1:{closed}/device.lic\n", "OK,{md5},x\n", kExitTransport, 1,
       "FAILED", "Connection refused"},
      {ok_http(kLicence), "ERROR,Not insert Dante Network\n", "", kExitNotOk, 1,
       "FAILED: publish refused: \"ERROR,Not insert Dante Network\\n\"", ""},
      {ok_http(kLicence), url, "ERROR,device.lic need download first\n", kExitNotOk, 2, "confirm refused",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.publish + c.confirm);
    LoopbackHttp http(c.http);
    const std::string closed = std::to_string(LoopbackHttp("").port());  // nobody listens there now
    FakeDevice device([&](const Bytes& r, const std::string& command) {
      if (command == kPublish)
        return reply_frame(
            r, replaced(replaced(c.publish, "{port}", std::to_string(http.port())), "{closed}", closed));
      return reply_frame(r, replaced(c.confirm, "{md5}", md5));
    });
    std::string error;
    auto link = pc::SerialLink::open(device.slave_path(), &error);
    ASSERT_TRUE(link) << error;
    Options options;
    options.timeout = 5s;
    Capture out, err;
    Session session(*link, options, out.file, err.file);
    EXPECT_EQ(session.run(Step{{}, pc::HandoverFile::kDeviceLicence}), c.status);
    EXPECT_EQ(device.commands().size(), c.sent);
    EXPECT_EQ(device.commands().back(), c.sent == 2 ? kConfirm : kPublish);
    EXPECT_NE(out.text().find(c.out), std::string::npos) << out.text();
    EXPECT_NE(err.text().find(c.err), std::string::npos) << err.text();
  }
}

// The whole program on in-memory streams: commands from the arguments or
// stdin, one reply line (or JSON object) each, the worst status.
TEST(Ftmctl, RunsCommandsAndExitsWithTheWorstStatus) {
  FakeDevice device([](const Bytes& r, const std::string& command) {
    if (command == "at+ftm,swver=?") return reply_frame(r, "OK,2.0\r\n");
    if (command == "silent") return Bytes{};
    // The device answers an earlier request first.
    if (command == "late") {
      Bytes both = reply_frame(Bytes(kHostHeaderSize, 0), "ERROR\n");
      Bytes ours = reply_frame(r, "OK\n");
      both.insert(both.end(), ours.begin(), ours.end());
      return both;
    }
    return reply_frame(r, "ERROR,Invalid Cmd\n");
  });
  const std::string& port = device.slave_path();
  struct Case {
    std::vector<std::string> args;  // after --port and --timeout
    std::string input;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{}, "at+ftm,swver=?\n", kExitOk, "OK,2.0\\r\\n\n", ""},
      {{},
       "# comment\n\nat+ftm,swver=?\r\nat+ftm,nope\n",
       kExitNotOk,
       "OK,2.0\\r\\n\nERROR,Invalid Cmd\\n\n",
       ""},
      {{}, "silent\nat+ftm,swver=?\n", kExitTransport, "OK,2.0\\r\\n\n", "silent: time-out: no reply"},
      {{}, "handover nothing\n", kExitNotOk, "", "unknown file 'nothing'"},
      {{}, "", kExitOk, "", ""},
      {{"late"},
       "",
       kExitOk,
       "OK\\n\n",
       "ftmctl: late: skipped a late reply to an earlier request: \"ERROR\\n\"\n"},
      {{"--json", "at+ftm,nope"},
       "",
       kExitNotOk,
       "{\"command\":\"at+ftm,nope\",\"reply\":\"ERROR,Invalid Cmd\\n\",\"raw\":\"",
       ""},
      {{"--port", "/nonexistent/ttyACM0", "--json", "x"},
       "",
       kExitTransport,
       "{\"port\":\"/nonexistent/ttyACM0\",\"ok\":false,\"outcome\":\"transport error\",\"error\":\"cannot "
       "open "
       "/nonexistent/ttyACM0: No such file or directory\"}\n",
       "ftmctl: transport error: cannot open /nonexistent/ttyACM0"},
      {{"--timeout", "x"}, "", kExitUsage, "", "usage: ftmctl"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input + (c.args.empty() ? "" : c.args.back()));
    std::vector<std::string> args = {"ftmctl", "--port", port, "--timeout", "0.5"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (auto& a : args) argv.push_back(a.data());
    std::string input = c.input;
    std::FILE* in = input.empty() ? std::fopen("/dev/null", "r") : fmemopen(input.data(), input.size(), "r");
    Capture out, err;
    EXPECT_EQ(ftmctl_main(static_cast<int>(argv.size()), argv.data(), in, out.file, err.file), c.status);
    std::fclose(in);
    EXPECT_TRUE(out.text().starts_with(c.out)) << out.text();
    EXPECT_NE(err.text().find(c.err), std::string::npos) << err.text();
  }
}

}  // namespace
}  // namespace ftmd::client
