#include "link.h"

#include <gtest/gtest.h>

#include "fake_device.h"

namespace ftmd::client::test {
namespace {

using namespace std::chrono_literals;

SerialLink open_link(const FakeDevice& device) {
  std::string error;
  auto link = SerialLink::open(device.slave_path(), &error);
  if (!link) throw std::runtime_error(error);
  return std::move(*link);
}

// Each case: what the device does with a request, and what the client makes
// of it.
struct TransportCase {
  const char* name;
  std::function<Bytes(const Bytes&, const std::string&)> respond;
  std::size_t chunk;
  LinkOutcome outcome;
  std::string reply_or_error;  // the reply, or a piece of the error text
};
// Test listings name a case, not a dump of its bytes.
void PrintTo(const TransportCase& c, std::ostream* os) { *os << c.name; }

class Transport : public testing::TestWithParam<TransportCase> {};

TEST_P(Transport, ReadsOneReplyFrameAndJudgesIt) {
  const auto& c = GetParam();
  FakeDevice device(c.respond);
  device.set_chunk(c.chunk);
  SerialLink link = open_link(device);
  Exchange ex = link.transact("at+ftm,swver=?", 600ms);
  EXPECT_EQ(outcome_name(ex.outcome), std::string(outcome_name(c.outcome))) << ex.error;
  if (c.outcome == LinkOutcome::kReply) {
    EXPECT_EQ(ex.reply, c.reply_or_error);
    unsigned sum = 0;
    for (auto b : ex.raw) sum += b;
    EXPECT_EQ(sum % 256, 0u);
  } else {
    EXPECT_NE(ex.error.find(c.reply_or_error), std::string::npos) << ex.error;
  }
  EXPECT_EQ(device.commands(), std::vector<std::string>{"at+ftm,swver=?"});
}

Bytes corrupt(Bytes frame, std::size_t at) {
  frame[at] ^= 0x20;
  return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Transport,
    testing::Values(
        TransportCase{"WholeFrame", [](auto& r, auto&) { return reply_frame(r, "OK,1.0.3\n"); }, 0,
                      LinkOutcome::kReply, "OK,1.0.3\n"},
        TransportCase{"SplitIntoSingleBytes", [](auto& r, auto&) { return reply_frame(r, "OK,1.0.3\n"); }, 1,
                      LinkOutcome::kReply, "OK,1.0.3\n"},
        TransportCase{"SplitInsideTheLengthField", [](auto& r, auto&) { return reply_frame(r, "ERROR\n"); },
                      8, LinkOutcome::kReply, "ERROR\n"},
        TransportCase{"EmptyReplyText", [](auto& r, auto&) { return reply_frame(r, ""); }, 0,
                      LinkOutcome::kReply, ""},
        TransportCase{"LongestReply", [](auto& r, auto&) { return reply_frame(r, std::string(1023, 'x')); },
                      0, LinkOutcome::kReply, std::string(1023, 'x')},
        TransportCase{"BodyByteFlipped", [](auto& r, auto&) { return corrupt(reply_frame(r, "OK\n"), 10); },
                      0, LinkOutcome::kBadFrame, "checksum wrong"},
        TransportCase{"ChecksumByteWrong", [](auto& r, auto&) { return corrupt(reply_frame(r, "OK\n"), 12); },
                      0, LinkOutcome::kBadFrame, "checksum wrong"},
        TransportCase{"HeaderNotEchoed", [](auto&, auto&) { return reply_frame(Bytes(7, 0), "OK\n"); }, 0,
                      LinkOutcome::kBadFrame, "header mismatch"},
        TransportCase{"LengthFieldBeyondAnyReply",
                      [](auto& r, auto&) {
                        Bytes f = reply_frame(r, "OK\n");
                        f[8] = 0x10;
                        return f;
                      },
                      0, LinkOutcome::kBadFrame, "length field 4099"},
        TransportCase{"NoReply", [](auto&, auto&) { return Bytes{}; }, 0, LinkOutcome::kTimeout, "no reply"},
        TransportCase{"FrameCutShort",
                      [](auto& r, auto&) {
                        Bytes f = reply_frame(r, "OK,1.0.3\n");
                        f.resize(12);
                        return f;
                      },
                      0, LinkOutcome::kTimeout, "12 of 19 bytes"},
        TransportCase{"HeaderCutShort",
                      [](auto& r, auto&) {
                        Bytes f = reply_frame(r, "OK\n");
                        f.resize(5);
                        return f;
                      },
                      0, LinkOutcome::kTimeout, "5 of 9 or more bytes"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(Transport, SequenceNumberInTheHeaderCountsRequests) {
  std::vector<Bytes> headers;
  std::mutex mutex;
  FakeDevice device([&](const Bytes& r, const std::string&) {
    std::lock_guard lock(mutex);
    headers.emplace_back(r.begin(), r.begin() + 9);
    return reply_frame(r, "OK\n");
  });
  // A link with a known first sequence number, on the already raw pty.
  SerialLink link(UniqueFd(::open(device.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
                  0x12ff);
  for (const char* cmd : {"a", "bc", "def"}) EXPECT_EQ(link.transact(cmd, 2s).outcome, LinkOutcome::kReply);
  std::lock_guard lock(mutex);
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers[0], (Bytes{0xff, 0x12, 0, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(headers[1], (Bytes{0x00, 0x13, 0, 0, 0, 0, 0, 2, 0}));
  EXPECT_EQ(headers[2], (Bytes{0x01, 0x13, 0, 0, 0, 0, 0, 3, 0}));
}

TEST(Transport, LateReplyToAnEarlierRequestIsDroppedNotTaken) {
  FakeDevice device([](const Bytes& r, const std::string&) { return reply_frame(r, "OK,now\n"); });
  SerialLink link = open_link(device);
  Bytes stale = reply_frame(Bytes(7, 0x42), "OK,stale\n");
  device.inject(stale);
  // Wait until the stale bytes are readable on the client's side.
  pollfd p{::open(device.slave_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), POLLIN, 0};
  UniqueFd probe(p.fd);
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  Exchange ex = link.transact("at+ftm,hwid=?", 2s);
  EXPECT_EQ(ex.reply, "OK,now\n");
  EXPECT_EQ(link.discarded(), stale.size());
}

TEST(Transport, BytesAfterTheReplyStayForTheNextRead) {
  FakeDevice device([](const Bytes& r, const std::string&) {
    Bytes f = reply_frame(r, "OK\n");
    f.push_back(0x99);
    return f;
  });
  SerialLink link = open_link(device);
  EXPECT_EQ(link.transact("x", 2s).reply, "OK\n");
  EXPECT_EQ(link.transact("y", 2s).reply, "OK\n");
  EXPECT_EQ(link.discarded(), 1u);
}

TEST(Transport, DeviceGoneIsATransportErrorAndBreaksTheLink) {
  FakeDevice device([](const Bytes&, const std::string&) { return Bytes{}; });
  SerialLink link = open_link(device);
  device.hang_up();
  Exchange ex = link.transact("at+ftm,swver=?", 2s);
  EXPECT_EQ(ex.outcome, LinkOutcome::kTransport) << ex.error;
  EXPECT_TRUE(link.broken());
}

TEST(Transport, OpenRefusesWhatIsNotAFreeSerialPort) {
  FakeDevice device([](const Bytes&, const std::string&) { return Bytes{}; });
  SerialLink first = open_link(device);
  std::string error;
  EXPECT_FALSE(SerialLink::open(device.slave_path(), &error));
  EXPECT_NE(error.find("held by another program, which has it locked"), std::string::npos) << error;
  EXPECT_FALSE(SerialLink::open("/dev/null", &error));
  EXPECT_NE(error.find("not a serial port"), std::string::npos) << error;
  EXPECT_FALSE(SerialLink::open("/nonexistent/ttyACM9", &error));
  EXPECT_NE(error.find("cannot open /nonexistent/ttyACM9"), std::string::npos) << error;
}

TEST(Transport, OverlongCommandIsRefusedBeforeSending) {
  FakeDevice device([](const Bytes& r, const std::string&) { return reply_frame(r, "OK\n"); });
  SerialLink link = open_link(device);
  Exchange ex = link.transact(std::string(1024, 'a'), 1s);
  EXPECT_EQ(ex.outcome, LinkOutcome::kTransport);
  EXPECT_NE(ex.error.find("at most 1023"), std::string::npos) << ex.error;
  EXPECT_FALSE(link.broken());
  EXPECT_EQ(link.transact(std::string(1023, 'a'), 2s).reply, "OK\n");
  EXPECT_EQ(device.commands(), std::vector<std::string>{std::string(1023, 'a')});
}

}  // namespace
}  // namespace ftmd::client::test
