// The receiver thread and the exchange, driven over a pty pair: the test plays
// the logic MCU on the master side. Runs under the tsan preset as well.
#include "logicmcu/logic_link.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logicmcu/logicmcu.h"

namespace ftmd {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes frame(std::uint16_t cmd, const Bytes& data) {
  Bytes f = {0xAA, 0xAA, static_cast<std::uint8_t>(cmd & 0xFF), static_cast<std::uint8_t>(cmd >> 8),
             static_cast<std::uint8_t>(data.size() & 0xFF), static_cast<std::uint8_t>(data.size() >> 8)};
  f.insert(f.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto b : f) sum += b;
  f.push_back(static_cast<std::uint8_t>(sum));
  return f;
}

// Four groups with a mode and a level pair each; answers requests the way the
// MCU does. A group in mode 0x48 reports the number of requests seen so far
// (mod 100), so a reply that belongs to another request shows.
struct McuModel {
  std::array<std::uint8_t, 5> mode = {0, 0x11, 0x22, 0x22, 0x11};
  std::array<std::uint8_t, 5> levels = {0, 0x00, 0x10, 0x01, 0x11};
  unsigned seen = 0;

  Bytes mode_report() const {
    Bytes d;
    for (std::uint8_t g = 1; g <= 4; ++g) d.insert(d.end(), {g, mode[g]});
    return frame(1, d);
  }

  Bytes answer(const Bytes& req) {
    ++seen;
    const std::uint8_t* d = req.data() + 6;
    switch (req[2]) {
      case 1:
        return mode_report();
      case 2: {
        mode[d[0]] = d[1];
        Bytes r = mode_report();
        r[2] = 2;
        r.back() += 1;
        return r;
      }
      case 3: {
        Bytes v;
        for (std::uint8_t g = 1; g <= 4; ++g)
          v.insert(v.end(), {g, mode[g], mode[g] == 0x48 ? static_cast<std::uint8_t>(seen % 100) : levels[g]});
        return frame(3, v);
      }
      default: {
        std::uint8_t g = d[0];
        std::uint8_t status = mode[g] == 0x22 ? 0 : 1;
        if (status == 0) levels[g] = static_cast<std::uint8_t>(d[2] << 4 | d[5]);
        return frame(4, {g, 1, status, g, 2, status});
      }
    }
  }
};

class LogicLink : public testing::Test {
 protected:
  void SetUp() override {
    int m = -1, s = -1;
    ASSERT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
    master_.reset(m);
    slave_.reset(s);
    char name[64];
    ASSERT_EQ(ttyname_r(slave_.get(), name, sizeof(name)), 0);
    path_ = name;
    termios before{};
    ASSERT_EQ(tcgetattr(slave_.get(), &before), 0);

    link_.start_receiver(path_.c_str());
    ASSERT_TRUE(wait_for([&] {
      std::lock_guard lock(link_.mutex);
      return link_.uart.valid();
    })) << "receiver never opened the port";

    termios after{};
    ASSERT_EQ(tcgetattr(slave_.get(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), B115200);
    EXPECT_EQ(cfgetispeed(&after), B115200);
    EXPECT_EQ(after.c_lflag, 0u);
    EXPECT_EQ(after.c_oflag, 0u);
    EXPECT_EQ(after.c_iflag & (IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), 0u);
    EXPECT_EQ(after.c_cflag & ~CBAUD, before.c_cflag & ~CBAUD);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
  }

  // Plays the MCU: every request that arrives goes to `respond`, which
  // writes whatever it likes to the master.
  void serve(std::function<void(const Bytes&)> respond) {
    responder_ = std::jthread([this, respond](std::stop_token stop) {
      while (!stop.stop_requested()) {
        pollfd p{master_.get(), POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        std::uint8_t buf[512];
        ssize_t n = read(master_.get(), buf, sizeof(buf));
        if (n <= 0) return;
        Bytes req(buf, buf + n);
        {
          std::lock_guard lock(requests_mutex_);
          requests_.insert(requests_.end(), req.begin(), req.end());
        }
        respond(req);
      }
    });
  }

  void mcu_send(const Bytes& bytes) { ASSERT_EQ(write(master_.get(), bytes.data(), bytes.size()), ssize_t(bytes.size())); }

  Bytes take_requests() {
    std::lock_guard lock(requests_mutex_);
    return std::exchange(requests_, {});
  }

  static bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    auto end = Clock::now() + timeout;
    while (!done()) {
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  std::string run(void (*handler)(LogicMcuLink&, char*, ReplyBuffer&), std::string command) {
    ReplyBuffer reply;
    handler(link_, command.data(), reply);
    return std::string(reply.text());
  }

  UniqueFd master_;
  UniqueFd slave_;
  std::string path_;
  LogicMcuLink link_;
  std::mutex requests_mutex_;
  Bytes requests_;  // guarded by requests_mutex_
  std::jthread responder_;
};

TEST_F(LogicLink, CommandsPutExactBytesOnTheWireAndReplyWithTheDecodedText) {
  McuModel mcu;
  serve([&](const Bytes& req) { mcu_send(mcu.answer(req)); });
  using H = void (*)(LogicMcuLink&, char*, ReplyBuffer&);
  struct Case {
    H handler;
    const char* command;
    Bytes wire;
    const char* reply;
  };
  const Bytes getmode = {0xAA, 0xAA, 0x01, 0x00, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04, 0x63};
  auto with_getmode = [&](Bytes b) {
    b.insert(b.begin(), getmode.begin(), getmode.end());
    return b;
  };
  const Case cases[] = {
      {logicmcu_getmode, "at+ftm,logicmcugetmode=?", getmode, "OK,1,I,2,O,3,O,4,I\n"},
      {logicmcu_getvalue, "at+ftm,logicmcugetvalue=?", {0xAA, 0xAA, 0x03, 0x00, 0x04, 0x00, 1, 2, 3, 4, 0x65},
       "OK,1,I,LL,2,O,HL,3,O,LH,4,I,HH\n"},
      {logicmcu_setmode, "at+ftm,logicmcusetmode=2,O", {0xAA, 0xAA, 0x02, 0x00, 0x02, 0x00, 0x02, 0x22, 0x7C},
       "OK,1,I,2,O,3,O,4,I\n"},
      {logicmcu_setmode, "at+ftm,logicmcusetmode=3,A", {0xAA, 0xAA, 0x02, 0x00, 0x02, 0x00, 0x03, 0x48, 0xA3},
       "OK,1,I,2,O,3,A,4,I\n"},
      {logicmcu_getvalue, "at+ftm,logicmcugetvalue=?", {0xAA, 0xAA, 0x03, 0x00, 0x04, 0x00, 1, 2, 3, 4, 0x65},
       "OK,1,I,LL,2,O,HL,3,05,4,I,HH\n"},
      {logicmcu_setvalue, "at+ftm,logicmcusetvalue=2,HL",
       with_getmode({0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x01, 0x02, 0x02, 0x00, 0x66}), "OK,2,HL\n"},
      // Group 1 is an input: one mode exchange, no level frame.
      {logicmcu_setvalue, "at+ftm,logicmcusetvalue=1,HH", getmode, "data format error\n"},
      {logicmcu_setvalue, "at+ftm,logicmcusetvalue=2,HLH", getmode, "data format error\n"},
      {logicmcu_setvalue, "at+ftm,logicmcusetvalue=2,hl", getmode, "data format error\n"},
      {logicmcu_setvalue, "at+ftm,logicmcusetvalue=0,HL", getmode, "data format error\n"},
      {logicmcu_setvalue, "at+ftm,logicmcusetvalue=2HL", getmode, "data format error\n"},
      {logicmcu_setvalue, "at+ftm,logicmcusetvalue= +2,LH",
       with_getmode({0xAA, 0xAA, 0x04, 0x00, 0x06, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x01, 0x66}), "OK,2,LH\n"},
      // Malformed mode sets send nothing.
      {logicmcu_setmode, "at+ftm,logicmcusetmode=2,o", {}, "ERROR,Command format error\n"},
      {logicmcu_setmode, "at+ftm,logicmcusetmode=5,O", {}, "ERROR,Command format error\n"},
      {logicmcu_setmode, "at+ftm,logicmcusetmode=2,O ", {}, "ERROR,Command format error\n"},
      {logicmcu_setmode, "at+ftm,logicmcusetmode=", {}, "ERROR,Command format error\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.handler, c.command), c.reply) << c.command;
    EXPECT_EQ(take_requests(), c.wire) << c.command;
  }
}

TEST_F(LogicLink, RejectedLevelSetFails) {
  serve([&](const Bytes& req) {
    if (req[2] == 1) mcu_send(frame(1, {1, 0x11, 2, 0x22, 3, 0x22, 4, 0x11}));
    if (req[2] == 4) mcu_send(frame(4, {2, 1, 0, 2, 2, 7}));
  });
  EXPECT_EQ(run(logicmcu_setvalue, "at+ftm,logicmcusetvalue=2,LL"), "ERROR,set group level failed\n");
}

// Thousands of exchanges in a row: each reply belongs to its own request.
TEST_F(LogicLink, ThousandsOfExchangesStayInStep) {
  McuModel mcu;
  serve([&](const Bytes& req) { mcu_send(mcu.answer(req)); });
  McuModel mirror;  // the test's own copy, advanced the same way
  const char letters[] = {'I', 'O', 'A'};
  const std::uint8_t codes[] = {0x11, 0x22, 0x48};
  auto pair_text = [](std::uint8_t c) { return c == 0x00 ? "LL" : c == 0x01 ? "LH" : c == 0x10 ? "HL" : "HH"; };
  auto mode_text = [&] {
    std::string t = "OK";
    for (int g = 1; g <= 4; ++g)
      t += "," + std::to_string(g) + "," + (mirror.mode[g] == 0x11 ? "I" : mirror.mode[g] == 0x22 ? "O" : "A");
    return t + "\n";
  };
  constexpr int kExchanges = 3000;
  for (int i = 0; i < kExchanges; ++i) {
    int g = i % 4 + 1;
    switch (i % 3) {
      case 0: {
        std::string cmd = "at+ftm,logicmcusetmode=" + std::to_string(g) + "," + letters[(i / 3) % 3];
        mirror.mode[g] = codes[(i / 3) % 3];
        ++mirror.seen;
        ASSERT_EQ(run(logicmcu_setmode, cmd), mode_text()) << i;
        break;
      }
      case 1: {
        ++mirror.seen;
        std::string want = "OK";
        for (int k = 1; k <= 4; ++k) {
          want += "," + std::to_string(k) + ",";
          char num[4];
          std::snprintf(num, sizeof(num), "%02u", mirror.seen % 100);
          if (mirror.mode[k] == 0x48)
            want += num;
          else
            want += std::string(mirror.mode[k] == 0x11 ? "I" : "O") + "," + pair_text(mirror.levels[k]);
        }
        ASSERT_EQ(run(logicmcu_getvalue, "at+ftm,logicmcugetvalue=?"), want + "\n") << i;
        break;
      }
      default: {
        std::string levels = (i & 1) ? "HL" : "LH";
        std::string cmd = "at+ftm,logicmcusetvalue=" + std::to_string(g) + "," + levels;
        mirror.seen += mirror.mode[g] == 0x22 ? 2 : 1;
        std::string want = "data format error\n";
        if (mirror.mode[g] == 0x22) {
          mirror.levels[g] = (i & 1) ? 0x10 : 0x01;
          want = "OK," + std::to_string(g) + "," + levels + "\n";
        }
        ASSERT_EQ(run(logicmcu_setvalue, cmd), want) << i;
        break;
      }
    }
  }
  responder_.request_stop();
  responder_.join();
  EXPECT_EQ(mcu.seen, mirror.seen);
}

TEST_F(LogicLink, ReplyDecodedBeforeTheRequestIsDiscarded) {
  serve([&](const Bytes&) { mcu_send(frame(1, {1, 0x11, 2, 0x22, 3, 0x22, 4, 0x11})); });
  mcu_send(frame(1, {1, 0x48, 2, 0x48, 3, 0x48, 4, 0x48}));
  ASSERT_TRUE(wait_for([&] {
    std::lock_guard lock(link_.mutex);
    return link_.reply.ready == 1;
  }));
  EXPECT_EQ(run(logicmcu_getmode, "at+ftm,logicmcugetmode=?"), "OK,1,I,2,O,3,O,4,I\n");
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
  EXPECT_EQ(run(logicmcu_getmode, "at+ftm,logicmcugetmode=?"), "OK,1,I\n");
  EXPECT_GE(Clock::now() - start, kLogicReplyTimeout);
}

TEST_F(LogicLink, PortFailureEndsTheReceiverAndClosesThePort) {
  slave_.reset();
  master_.reset();  // the receiver's next read fails with EIO
  EXPECT_TRUE(wait_for([&] {
    std::lock_guard lock(link_.mutex);
    return !link_.uart.valid();
  }));
}

TEST(LogicLinkOpen, MissingPortLeavesTheLinkClosed) {
  LogicMcuLink link;
  EXPECT_EQ(logicmcu_open_uart(link, "/nonexistent/ttymxc2"), -1);
  std::lock_guard lock(link.mutex);
  EXPECT_FALSE(link.uart.valid());
}

}  // namespace
}  // namespace ftmd
