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

// What the client makes of each way the device may answer a request.
TEST(Transport, ReadsTheReplyFrameToItsRequestAndJudgesIt) {
  struct Case {
    const char* name;
    std::function<Bytes(const Bytes& request)> respond;
    std::size_t chunk;  // the device's bytes arrive in pieces this long (0: at once)
    LinkOutcome outcome;
    std::string reply_or_error;  // the reply, or a piece of the error text
    std::vector<std::string> late = {};
  };
  const Case cases[] = {
      {"whole frame", [](auto& r) { return reply_frame(r, "OK,1.0.3\n"); }, 0, LinkOutcome::kReply,
       "OK,1.0.3\n"},
      {"single bytes", [](auto& r) { return reply_frame(r, "OK,1.0.3\n"); }, 1, LinkOutcome::kReply,
       "OK,1.0.3\n"},
      {"split inside the length", [](auto& r) { return reply_frame(r, "ERROR\n"); }, 8, LinkOutcome::kReply,
       "ERROR\n"},
      {"empty text", [](auto& r) { return reply_frame(r, ""); }, 0, LinkOutcome::kReply, ""},
      {"longest", [](auto& r) { return reply_frame(r, std::string(1023, 'x')); }, 0, LinkOutcome::kReply,
       std::string(1023, 'x')},
      // The device still answering an earlier request (a key test that
      // outlived its requester) sends that reply first.
      {"late replies first",
       [](auto& r) {
         return join(join(earlier_reply("ERROR\n"), earlier_reply("OK\n")), reply_frame(r, "OK,3\n"));
       },
       5,
       LinkOutcome::kReply,
       "OK,3\n",
       {"ERROR\n", "OK\n"}},
      {"only a late reply",
       [](auto&) { return earlier_reply("OK\n"); },
       0,
       LinkOutcome::kTimeout,
       "no reply",
       {"OK\n"}},
      {"header of no earlier request",
       [](auto&) { return reply_frame(Bytes(kHostHeaderSize, 0xff), "OK\n"); }, 0, LinkOutcome::kBadFrame,
       "header mismatch: sent "},
      {"body byte flipped", [](auto& r) { return corrupt(reply_frame(r, "OK\n"), 10, 0x20); }, 0,
       LinkOutcome::kBadFrame, "checksum wrong"},
      {"late reply with a wrong checksum",
       [](auto& r) { return join(corrupt(earlier_reply("OK\n"), 12, 1), reply_frame(r, "OK\n")); }, 0,
       LinkOutcome::kBadFrame, "checksum wrong"},
      {"length beyond any reply", [](auto& r) { return corrupt(reply_frame(r, "OK\n"), 8, 0x10); }, 0,
       LinkOutcome::kBadFrame, "length field 4099"},
      {"no reply", [](auto&) { return Bytes{}; }, 0, LinkOutcome::kTimeout, "no reply"},
      {"frame cut short", [](auto& r) { return cut(reply_frame(r, "OK,1.0.3\n"), 12); }, 0,
       LinkOutcome::kTimeout, "12 of 19 bytes"},
      {"header cut short", [](auto& r) { return cut(reply_frame(r, "OK\n"), 5); }, 0, LinkOutcome::kTimeout,
       "5 of 9 or more bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device([&](const Bytes& r, const std::string&) { return c.respond(r); }, c.chunk);
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
}

TEST(RequestNumbers, GrowWithTheClockAcrossLinksAndAreLittleEndian) {
  EXPECT_EQ(request_header(0x0011223344556677), (RequestHeader{0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(request_number(request_header(0x00ffeeddccbbaa99)), 0x00ffeeddccbbaa99u);

  // Two links one after the other, as two ftmctl runs: every number (as the
  // reply echoes it) is above every earlier one, also above a first number
  // from the future.
  FakeDevice device([](const Bytes& r, const std::string&) { return reply_frame(r, "OK\n"); });
  std::vector<std::uint64_t> numbers;
  auto ask = [&](SerialLink& link) {
    Exchange ex = link.transact("a", 2s);
    ASSERT_EQ(ex.outcome, LinkOutcome::kReply) << ex.error;
    numbers.push_back(
        request_number(std::span<const std::uint8_t, kHostHeaderSize>(ex.raw.data(), kHostHeaderSize)));
  };
  for (int run = 0; run < 2; ++run) {
    SerialLink link = open_link(device);
    ask(link);
    ask(link);
  }
  SerialLink ahead(UniqueFd(::open(device.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
                   std::uint64_t{1} << 55);
  ask(ahead);
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
  std::FILE* err = std::tmpfile();
  for (std::size_t stale : {3, 1}) {  // the byte after the first reply is stale for the second
    Exchange ex = link.transact("at+ftm,hwid=?", 2s);
    EXPECT_EQ(ex.reply, "OK,now\n");
    EXPECT_EQ(ex.stale_bytes, stale);
    report_skipped(err, "ftmctl", "at+ftm,hwid=?", ex);
  }
  std::rewind(err);
  char text[256] = {};
  std::fread(text, 1, sizeof text - 1, err);
  std::fclose(err);
  EXPECT_STREQ(text,
               "ftmctl: at+ftm,hwid=?: skipped 3 stale bytes waiting before the request\n"
               "ftmctl: at+ftm,hwid=?: skipped 1 stale byte waiting before the request\n");
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
