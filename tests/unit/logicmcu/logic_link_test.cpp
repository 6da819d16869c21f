// The receiver thread and the exchange, driven over a pty pair: the test plays
// the logic MCU on the master side. Runs under the tsan preset as well.
#include "logicmcu/logic_link.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logicmcu/logicmcu.h"
#include "wait_until.h"

namespace ftmd {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// A value report frame, checkbit included: "1,<a>,2,<b>" for two groups in
// mode 0x48 whose numbers are a and b.
Bytes value_report(std::uint8_t a, std::uint8_t b) {
  Bytes f = {0xAA, 0xAA, 0x03, 0x00, 0x06, 0x00, 1, 0x48, a, 2, 0x48, b};
  unsigned sum = 0;
  for (auto byte : f) sum += byte;
  f.push_back(static_cast<std::uint8_t>(sum));
  return f;
}

class LogicLink : public testing::Test {
 protected:
  void SetUp() override {
    int m = -1, s = -1;
    ASSERT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
    master_.reset(m);
    slave_.reset(s);
    char name[64];
    ASSERT_EQ(ttyname_r(slave_.get(), name, sizeof(name)), 0);
    link_.start_receiver(name);
    ASSERT_TRUE(test::wait_until([&] { return port_open(); })) << "receiver never opened the port";
  }

  // Plays the MCU: every request that arrives goes to `respond`, which
  // writes whatever it likes to the master.
  void serve(const std::function<void(const Bytes&)>& respond) {
    responder_ = std::jthread([this, respond](const std::stop_token& stop) {
      while (!stop.stop_requested()) {
        pollfd p{master_.get(), POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        std::uint8_t buf[512];
        ssize_t n = read(master_.get(), buf, sizeof(buf));
        if (n <= 0) return;
        request_bytes_ += static_cast<std::size_t>(n);
        respond(Bytes(buf, buf + n));
      }
    });
  }
  void mcu_send(const Bytes& bytes) {
    ASSERT_EQ(write(master_.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  bool port_open() {
    std::lock_guard lock(link_.mutex);
    return link_.uart.valid();
  }
  std::string run(void (*handler)(LogicMcuLink&, char*, ReplyBuffer&), std::string args) {
    ReplyBuffer reply;
    handler(link_, args.data(), reply);
    return std::string(reply.text());
  }

  UniqueFd master_;
  UniqueFd slave_;
  LogicMcuLink link_;
  std::atomic<std::size_t> request_bytes_ = 0;
  std::jthread responder_;
};

// Thousands of exchanges in a row through three of the commands: every
// answer carries the number of the request it answers, so a reply taken by
// the wrong command, or lost, shows.
TEST_F(LogicLink, ThousandsOfExchangesStayInStep) {
  unsigned answered = 0;  // responder thread only, until it is joined
  serve([&](const Bytes&) {
    mcu_send(
        value_report(static_cast<std::uint8_t>(answered % 100), static_cast<std::uint8_t>(answered / 100)));
    ++answered;
  });
  using H = void (*)(LogicMcuLink&, char*, ReplyBuffer&);
  const std::pair<H, const char*> commands[] = {
      {logicmcu_getmode, ""}, {logicmcu_getvalue, ""}, {logicmcu_setmode, "2,O"}};
  constexpr unsigned kExchanges = 3000;
  for (unsigned i = 0; i < kExchanges; ++i) {
    char want[32];
    std::snprintf(want, sizeof(want), "OK,1,%02u,2,%02u\n", i % 100, i / 100 % 100);
    const auto& [handler, args] = commands[i % 3];
    ASSERT_EQ(run(handler, args), want) << "exchange " << i;
  }
  responder_.request_stop();
  responder_.join();
  EXPECT_EQ(answered, kExchanges);
  EXPECT_EQ(request_bytes_, 11u * 2000 + 9u * 1000);
}

// A reply that became ready while the wait was timing out still counts: the
// MCU side holds the lock past the deadline with the reply filled in.
TEST_F(LogicLink, ReplyReadyAsTheWaitTimesOutIsTaken) {
  serve([&](const Bytes&) {
    std::lock_guard lock(link_.mutex);
    auto until = std::chrono::system_clock::now() + kLogicReplyTimeout + 300ms;
    std::strcpy(link_.reply.text.data(), "1,I");
    link_.reply.ready = 1;
    std::this_thread::sleep_until(until);
  });
  auto start = Clock::now();
  EXPECT_EQ(run(logicmcu_getmode, ""), "OK,1,I\n");
  EXPECT_GE(Clock::now() - start, kLogicReplyTimeout);
}

// A hung-up line (here: the MCU's end closed) reads 0 bytes: the receiver
// goes back to reading and keeps its port, and still stops when asked.
TEST_F(LogicLink, HangUpKeepsTheReceiverReading) {
  slave_.reset();
  master_.reset();
  EXPECT_FALSE(test::wait_until([&] { return !port_open(); }, 300ms)) << "the receiver gave up its port";
  link_.stop_receiver();
  EXPECT_TRUE(port_open());
}

}  // namespace
}  // namespace ftmd
