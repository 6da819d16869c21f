#include "pc/link.h"

#include <gtest/gtest.h>

#include "fake_device.h"
#include "wait_until.h"

namespace ftmd::pc::test {
namespace {

using namespace std::chrono_literals;

SerialLink open_link(const FakeDevice& device) {
  std::string error;
  auto link = SerialLink::open(device.slave_path(), &error);
  if (!link) throw std::runtime_error(error);
  return std::move(*link);
}

Bytes corrupt(Bytes frame, std::size_t at, std::uint8_t bits) {
  frame[at] ^= bits;
  return frame;
}

Bytes cut(Bytes frame, std::size_t size) {
  frame.resize(size);
  return frame;
}

Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A reply to an earlier request: its header carries a lower number.
Bytes earlier_reply(const std::string& text) { return reply_frame(Bytes(kHostHeaderSize, 0), text); }

// Each case: what the device does with a request, and what the client makes
// of it.
struct TransportCase {
  const char* name;
  std::function<Bytes(const Bytes& request)> respond;
  std::size_t chunk;
  LinkOutcome outcome;
  std::string reply_or_error;  // the reply, or a piece of the error text
  std::vector<std::string> late = {};
};
// Test listings name a case, not a dump of its bytes.
void PrintTo(const TransportCase& c, std::ostream* os) { *os << c.name; }

class Transport : public testing::TestWithParam<TransportCase> {};

TEST_P(Transport, ReadsTheReplyFrameToItsRequestAndJudgesIt) {
  const auto& c = GetParam();
  FakeDevice device([&](const Bytes& r, const std::string&) { return c.respond(r); });
  device.set_chunk(c.chunk);
  SerialLink link = open_link(device);
  Exchange ex = link.transact("at+ftm,swver=?", 600ms);
  EXPECT_EQ(outcome_name(ex.outcome), std::string(outcome_name(c.outcome))) << ex.error;
  if (c.outcome == LinkOutcome::kReply) {
    EXPECT_EQ(ex.reply, c.reply_or_error);
  } else {
    EXPECT_NE(ex.error.find(c.reply_or_error), std::string::npos) << ex.error;
  }
  EXPECT_EQ(ex.late_replies, c.late);
  EXPECT_EQ(device.commands(), std::vector<std::string>{"at+ftm,swver=?"});
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Transport,
    testing::Values(
        TransportCase{"WholeFrame", [](auto& r) { return reply_frame(r, "OK,1.0.3\n"); }, 0,
                      LinkOutcome::kReply, "OK,1.0.3\n"},
        TransportCase{"SplitIntoSingleBytes", [](auto& r) { return reply_frame(r, "OK,1.0.3\n"); }, 1,
                      LinkOutcome::kReply, "OK,1.0.3\n"},
        TransportCase{"SplitInsideTheLengthField", [](auto& r) { return reply_frame(r, "ERROR\n"); }, 8,
                      LinkOutcome::kReply, "ERROR\n"},
        TransportCase{"EmptyReplyText", [](auto& r) { return reply_frame(r, ""); }, 0, LinkOutcome::kReply,
                      ""},
        TransportCase{"LongestReply", [](auto& r) { return reply_frame(r, std::string(1023, 'x')); }, 0,
                      LinkOutcome::kReply, std::string(1023, 'x')},
        // The device still answering an earlier request (a key test that
        // outlived its requester) sends that reply first.
        TransportCase{"LateRepliesToEarlierRequestsAreSkipped",
                      [](auto& r) {
                        return join(join(earlier_reply("ERROR\n"), earlier_reply("OK\n")),
                                    reply_frame(r, "OK,3\n"));
                      },
                      5,
                      LinkOutcome::kReply,
                      "OK,3\n",
                      {"ERROR\n", "OK\n"}},
        TransportCase{"OnlyALateReplyIsATimeOut",
                      [](auto&) { return earlier_reply("OK\n"); },
                      0,
                      LinkOutcome::kTimeout,
                      "no reply",
                      {"OK\n"}},
        TransportCase{"HeaderOfNoEarlierRequest",
                      [](auto&) { return reply_frame(Bytes(kHostHeaderSize, 0xff), "OK\n"); }, 0,
                      LinkOutcome::kBadFrame, "header mismatch: sent "},
        TransportCase{"BodyByteFlipped", [](auto& r) { return corrupt(reply_frame(r, "OK\n"), 10, 0x20); }, 0,
                      LinkOutcome::kBadFrame, "checksum wrong"},
        TransportCase{
            "ChecksumOfALateReplyWrong",
            [](auto& r) { return join(corrupt(earlier_reply("OK\n"), 12, 1), reply_frame(r, "OK\n")); }, 0,
            LinkOutcome::kBadFrame, "checksum wrong"},
        TransportCase{"LengthFieldBeyondAnyReply",
                      [](auto& r) { return corrupt(reply_frame(r, "OK\n"), 8, 0x10); }, 0,
                      LinkOutcome::kBadFrame, "length field 4099"},
        TransportCase{"NoReply", [](auto&) { return Bytes{}; }, 0, LinkOutcome::kTimeout, "no reply"},
        TransportCase{"FrameCutShort", [](auto& r) { return cut(reply_frame(r, "OK,1.0.3\n"), 12); }, 0,
                      LinkOutcome::kTimeout, "12 of 19 bytes"},
        TransportCase{"HeaderCutShort", [](auto& r) { return cut(reply_frame(r, "OK\n"), 5); }, 0,
                      LinkOutcome::kTimeout, "5 of 9 or more bytes"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(RequestNumbers, GrowWithTheClockAcrossLinksAndAreLittleEndian) {
  EXPECT_EQ(request_header(0x0011223344556677), (RequestHeader{0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(request_number(request_header(0x00ffeeddccbbaa99)), 0x00ffeeddccbbaa99u);

  std::mutex mutex;
  std::vector<std::uint64_t> numbers;  // guarded by mutex
  FakeDevice device([&](const Bytes& r, const std::string&) {
    std::lock_guard lock(mutex);
    numbers.push_back(
        request_number(std::span<const std::uint8_t, kHostHeaderSize>(r.data(), kHostHeaderSize)));
    return reply_frame(r, "OK\n");
  });
  // Two links one after the other, as two ftmctl runs: every number is
  // above every earlier one, also above a first number from the future.
  for (int run = 0; run < 2; ++run) {
    SerialLink link = open_link(device);
    for (const char* cmd : {"a", "b"}) EXPECT_EQ(link.transact(cmd, 2s).outcome, LinkOutcome::kReply);
  }
  SerialLink ahead(UniqueFd(::open(device.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
                   std::uint64_t{1} << 55);
  EXPECT_EQ(ahead.transact("c", 2s).outcome, LinkOutcome::kReply);
  std::lock_guard lock(mutex);
  ASSERT_EQ(numbers.size(), 5u);
  for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_GT(numbers[i], numbers[i - 1]) << i;
  EXPECT_EQ(numbers[4], std::uint64_t{1} << 55);
}

TEST(Transport, StaleBytesBeforeTheRequestAndAfterTheReplyAreNotTaken) {
  FakeDevice device(
      [](const Bytes& r, const std::string&) { return join(reply_frame(r, "OK,now\n"), {0x99}); });
  SerialLink link = open_link(device);
  device.inject({0x42, 0x42, 0x42});
  UniqueFd probe(::open(device.slave_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(ftmd::test::wait_until([&] {
    pollfd p{probe.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }));
  Exchange first = link.transact("at+ftm,hwid=?", 2s);
  EXPECT_EQ(first.reply, "OK,now\n");
  EXPECT_EQ(first.stale_bytes, 3u);
  Exchange second = link.transact("at+ftm,hwid=?", 2s);
  EXPECT_EQ(second.reply, "OK,now\n");
  EXPECT_EQ(second.stale_bytes, 1u);  // the byte after the first reply

  std::FILE* err = std::tmpfile();
  report_skipped(err, "ftmctl", "at+ftm,hwid=?", first);
  first.late_replies = {"ERROR\n"};
  first.stale_bytes = 0;
  report_skipped(err, "ftmctl", "at+ftm,hwid=?", first);
  std::rewind(err);
  char text[256] = {};
  std::fread(text, 1, sizeof text - 1, err);
  std::fclose(err);
  EXPECT_STREQ(text,
               "ftmctl: at+ftm,hwid=?: skipped 3 stale bytes waiting before the request\n"
               "ftmctl: at+ftm,hwid=?: skipped a late reply to an earlier request: \"ERROR\\n\"\n");
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
}  // namespace ftmd::pc::test
