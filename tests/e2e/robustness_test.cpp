// The daemon under a long stream of hostile frames and mixed commands, and
// across many USB host disconnects: every request gets exactly one
// well-formed reply, and its descriptors, children, threads and memory stay
// flat. The counts are CI-sized; the environment raises them for long runs:
//   FTMD_FUZZ_FRAMES, FTMD_FUZZ_SEED, FTMD_SOAK_COMMANDS, FTMD_SOAK_RECONNECTS,
//   FTMD_POWER_CUTS
// (./tools/robustness runs them long, on the ASan+UBSan daemon).
#include <signal.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "board_fixture.h"
#include "common/host_frame.h"
#include "daemon/command_table.h"
#include "daemon_usage.h"

namespace ftmd::test {
namespace {

using vboard::Bytes;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;  // ASan's quarantine holds freed memory back
#else
constexpr bool kSanitizedBuild = false;
#endif

long env_count(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtol(v, nullptr, 10) : fallback;
}

// What the daemon sees of a request: the command text it dispatches.
std::string command_of(const Bytes& request) {
  std::array<char, kCommandBufferSize> command{};
  host_request_command(std::span<const std::uint8_t>(request.data(), request.size()), command);
  return command.data();
}

// Checks one reply against its request: the seven header bytes echoed
// (zeros where fewer arrived), the checksum right.
::testing::AssertionResult well_formed(const std::optional<vboard::ReplyFrame>& reply, const Bytes& request) {
  if (!reply) return ::testing::AssertionFailure() << "no reply";
  Bytes header(7, 0);
  for (std::size_t i = 0; i < 7 && i < request.size(); ++i) header[i] = request[i];
  if (reply->header != header) return ::testing::AssertionFailure() << "header not echoed";
  if (!reply->checksum_ok) return ::testing::AssertionFailure() << "bad checksum";
  return ::testing::AssertionSuccess();
}

// ---- Frames for the whole-daemon fuzzing -----------------------------------

// Requests that would hold the daemon for long on purpose (the key test
// waits 15 s for a press) are not sent; everything else is.
bool slow_on_purpose(const std::string& command) { return command.starts_with("at+ftm,keytest="); }

class FrameMaker {
 public:
  explicit FrameMaker(std::uint32_t seed) : rng_(seed) {}

  Bytes next() {
    for (;;) {
      Bytes frame = make();
      if (!frame.empty() && !slow_on_purpose(command_of(frame))) return frame;
    }
  }

 private:
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }

  std::string tail() {
    static constexpr std::string_view kPieces[] = {
        "?",  "1", "0", ",",  "=",       "255",   "-1",   "99999999999", "1,50",         "\r\n",
        "\n", " ", "'", "\"", ";reboot", "$(id)", "%s%n", "AB:CD",       "001B2C3D4E5F", "SN0001"};
    std::string t;
    std::size_t pieces = below(6);
    for (std::size_t i = 0; i < pieces; ++i) {
      const std::size_t kind = below(4);
      if (kind == 0)
        t += static_cast<char>(byte());  // any byte, NUL too
      else if (kind == 1)
        t += static_cast<char>(0x80 + below(128));  // non-ASCII
      else if (kind == 2)
        t += std::string(below(300), static_cast<char>('A' + below(26)));  // long runs
      else
        t += kPieces[below(std::size(kPieces))];
    }
    return t;
  }

  Bytes make() {
    Bytes header(7);
    for (auto& b : header) b = byte();
    const auto& table = kCommandTable;
    std::string text = std::string(table[below(table.size())].prefix);
    // Sometimes a prefix cut short or changed by a byte.
    if (below(8) == 0) text.resize(below(text.size() + 1));
    if (below(8) == 0 && !text.empty()) text[below(text.size())] = static_cast<char>(byte());
    text += tail();
    if (text.size() > 1000) text.resize(1000);

    Bytes frame = header;
    std::size_t length = text.size();
    const std::size_t field = below(10);
    if (field == 0) length = 0xFFFF;                         // huge length field
    if (field == 1) length = text.size() + 1 + below(2000);  // more announced than sent
    if (field == 2) length = below(text.size() + 1);         // less announced than sent
    frame.push_back(static_cast<std::uint8_t>(length & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(length >> 8));
    frame.insert(frame.end(), text.begin(), text.end());
    const std::size_t cut = below(12);
    if (cut == 0) frame.resize(1 + below(9));                 // a short read: header only, or less
    if (cut == 1) frame.resize(9 + below(frame.size() - 8));  // cut inside the text
    if (cut == 2) {                                           // random bytes, no frame at all
      frame.resize(1 + below(1024));
      for (auto& b : frame) b = byte();
    }
    return frame;
  }

  std::mt19937 rng_;
};

class DaemonFuzz : public BoardTest {};

// The daemon as the test PC's worst day: each frame is one write; it must be
// answered by exactly one frame with the header echoed and a right checksum,
// and the daemon must still be running at the end (a sanitizer report in its
// output fails the test in the fixture's teardown).
TEST_F(DaemonFuzz, AnswersEveryFrameOnce) {
  const long frames = env_count("FTMD_FUZZ_FRAMES", 1000);
  const auto seed = static_cast<std::uint32_t>(env_count("FTMD_FUZZ_SEED", 20261205));
  FrameMaker maker(seed);
  auto slowest = Clock::duration::zero();
  long answered = 0;
  for (long i = 0; i < frames; ++i) {
    Bytes request = maker.next();
    std::size_t mark = syslog().mark();
    auto sent = Clock::now();
    ASSERT_TRUE(client().send_raw(request));
    auto reply = client().read_frame(20s);
    ASSERT_TRUE(well_formed(reply, request))
        << "frame " << i << " (seed " << seed
        << "): " << vboard::HostClient::escaped(std::string(request.begin(), request.end()));
    slowest = std::max(slowest, Clock::now() - sent);
    ++answered;
    // The next frame must not meet this one in the same read.
    ASSERT_TRUE(wait_back_in_read(mark, 20s)) << "frame " << i;
  }
  EXPECT_TRUE(client().read_available(300ms).empty()) << "a request was answered twice";
  EXPECT_TRUE(board().daemon_running());
  std::printf("[ figures  ] %ld frames (seed %u) each answered once; slowest reply %lld ms\n", answered, seed,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()));
}

// ---- Soak --------------------------------------------------------------------

class Soak : public BoardTest {};

// Commands a station sends, in a mix that reaches every subsystem without
// waiting on purpose (no key test) and without a reboot.
constexpr const char* kMix[] = {"at+ftm,ftmver=?",
                                "at+ftm,swver=?",
                                "at+ftm,hwid=?",
                                "at+ftm,sn=?",
                                "at+ftm,sn=SN0001",
                                "at+ftm,csn=?",
                                "at+ftm,ethmac=?",
                                "at+ftm,led=1,255,0,0",
                                "at+ftm,led=1,0,0,0",
                                "at+ftm,triggertest=1",
                                "at+ftm,triggerin=1",
                                "at+ftm,udisk",
                                "at+ftm,dsp",
                                "at+ftm,volume=1,50",
                                "at+ftm,circuit=1,1",
                                "at+ftm,aging=?",
                                "at+ftm,logicmcugetmode=?",
                                "at+ftm,logicmcugetvalue=?",
                                "at+ftm,Autotest",
                                "at+ftm,checkdantedevlic=?",
                                "at+ftm,nonsense"};

TEST_F(Soak, MixedCommandsLeaveNothingBehind) {
  const long commands = env_count("FTMD_SOAK_COMMANDS", 300);
  auto send_one = [&](long i) -> bool {
    Bytes header(7);
    for (int b = 0; b < 7; ++b) header[b] = static_cast<std::uint8_t>(i >> (b % 4 * 8));
    std::string text = kMix[i % std::size(kMix)];
    Bytes request = vboard::HostClient::encode_request(text, header);
    std::size_t mark = syslog().mark();
    client().send_raw(request);
    auto reply = client().read_frame(20s);
    EXPECT_TRUE(well_formed(reply, request)) << "command " << i << ": " << text;
    return reply.has_value() && wait_back_in_read(mark, 20s);
  };
  // One round of the mix first: what is set up once (threads, buffers,
  // files) is in place before the first measurement.
  for (long i = 0; i < static_cast<long>(std::size(kMix)); ++i) ASSERT_TRUE(send_one(i));
  const pid_t pid = daemon_host_pid(board().init_pid());
  ASSERT_NE(pid, 0);
  const DaemonUsage before = daemon_usage(pid);
  for (long i = 0; i < commands; ++i) ASSERT_TRUE(send_one(i)) << "command " << i;
  const DaemonUsage after = daemon_usage(pid);
  std::printf("[ figures  ] %ld commands; before: %s\n[ figures  ] after:  %s\n", commands,
              before.describe().c_str(), after.describe().c_str());
  EXPECT_EQ(after.fds.size(), before.fds.size());
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.zombies, 0);
  EXPECT_EQ(after.children, 0);
  if (!kSanitizedBuild) {
    EXPECT_LE(after.rss_kb, before.rss_kb + 512) << "RSS grew";
  }
}

// The USB host goes away and comes back, alternately the gentle way (hang-up:
// the read returns 0) and the hard way (the PC's end closed: the read fails
// with EIO): each time the port is reopened after about a second, raw again,
// and serves, with no descriptor or thread left behind.
TEST_F(Soak, ReconnectsServeAgainAfterAPause) {
  const long cycles = env_count("FTMD_SOAK_RECONNECTS", 4);
  pid_t pid = 0;
  const DaemonUsage before = settled_daemon_usage(board(), pid);
  for (long i = 0; i < cycles; ++i) {
    SCOPED_TRACE(i % 2 ? "PC end closed" : "hang-up");
    // Served once, and back in its read (nothing is logged after that line
    // until the host goes away).
    std::size_t mark = syslog().mark();
    ASSERT_EQ(ask_text("at+ftm,dsp"), "ERROR,Command not supported in tolvek\n");
    ASSERT_TRUE(wait_back_in_read(mark));
    mark = syslog().mark();
    auto gone = Clock::now();
    if (i % 2 == 0) {
      board().usb_host().hang_up();
    } else {
      board().usb_host().unplug();
      board().usb_host().connect();
    }
    ASSERT_TRUE(wait_serving(mark, 10s)) << "cycle " << i;
    EXPECT_GE(Clock::now() - gone, 900ms) << "reopened without the pause";
    // Reopened, the port is raw again: the reply is not echoed or mangled.
    Bytes request = vboard::HostClient::encode_request("at+ftm,dsp", Bytes(7, static_cast<std::uint8_t>(i)));
    client().send_raw(request);
    ASSERT_TRUE(well_formed(client().read_frame(10s), request)) << "cycle " << i;
  }
  const DaemonUsage after = daemon_usage(pid);
  std::printf("[ figures  ] %ld reconnects; before: %s\n[ figures  ] after:  %s\n", cycles,
              before.describe().c_str(), after.describe().c_str());
  EXPECT_EQ(after.fds.size(), before.fds.size()) << after.describe(true);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.children, 0);
}

// ---- Power cuts ----------------------------------------------------------------

// A board whose U-Boot environment has two copies, as the device's BSP must
// configure it (see the README): fw_setenv writes the older copy and then it
// becomes the newer one, so a write cut short leaves the other copy whole.
class PowerCut : public BoardTest {
  void configure(vboard::BoardOptions& o) override {
    o.redundant_env = true;
    o.boot_env["msn"] = "SN-FIRST";
    o.boot_env["csn"] = "CSN-FIRST";
  }
};

// The daemon and everything it started (fw_setenv half-way through its write
// included) are killed at random moments of serial number writes: afterwards
// the environment is readable, each number is the old or the new one, and the
// restarted daemon serves the next command.
TEST_F(PowerCut, SerialNumberWritesSurviveKills) {
  const long rounds = env_count("FTMD_POWER_CUTS", 12);
  ASSERT_NE(board().read_file("/etc/fw_env.config").value_or("").find("-redund"), std::string::npos);
  // How long one write takes here, to spread the kills over it.
  auto t0 = Clock::now();
  ASSERT_EQ(ask_text("at+ftm,sn=SN-TIMING"), "OK\n");
  const auto write_us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
  std::string msn = "SN-TIMING", csn = "CSN-FIRST";
  std::mt19937 random(static_cast<std::uint32_t>(env_count("FTMD_FUZZ_SEED", 20261205)));
  int replaced = 0, kept = 0;
  for (long round = 0; round < rounds; ++round) {
    const bool serial = round % 2 == 0;
    const std::string value = (serial ? "SN-" : "CSN-") + std::to_string(round);
    const pid_t pid = daemon_host_pid(board().init_pid());
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(client().send((serial ? "at+ftm,sn=" : "at+ftm,csn=") + value));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (write_us * 3 / 2 + 1)));
    // The daemon leads its own session: its group is everything it started.
    ::kill(-pid, SIGKILL);
    ASSERT_TRUE(board().wait_daemon_exit(10s));

    auto vars = board().uboot_env().read();
    ASSERT_TRUE(vars.has_value()) << "environment unreadable after round " << round;
    auto check = board().shell("fw_printenv msn csn");
    EXPECT_EQ(check.status, 0) << check.output;
    std::string& current = serial ? msn : csn;
    const std::string stored = (*vars)[serial ? "msn" : "csn"];
    EXPECT_TRUE(stored == current || stored == value) << "round " << round << ": " << stored;
    EXPECT_EQ((*vars)[serial ? "csn" : "msn"], serial ? csn : msn) << "round " << round;
    (stored == value ? replaced : kept)++;
    current = stored;
    client().read_available(20ms);  // a reply cut by the kill
    start_daemon();
    EXPECT_EQ(ask_text("at+ftm,sn=?"), "OK," + msn + "\n") << "round " << round;
  }
  std::printf("[ figures  ] %ld kills during serial number writes: new value %d times, old value %d times\n",
              rounds, replaced, kept);
}

// What the second copy is for: the newest copy torn half-way (a write cut by
// the power) and the tools, the daemon with them, fall back to the older one.
TEST_F(PowerCut, TornNewestCopyFallsBackToTheOlder) {
  ASSERT_EQ(ask_text("at+ftm,sn=SN-OLDER"), "OK\n");
  ASSERT_EQ(ask_text("at+ftm,sn=SN-NEWER"), "OK\n");
  ASSERT_EQ(ask_text("at+ftm,sn=?"), "OK,SN-NEWER\n");
  const std::string copies[2] = {board().host_path("/run/vboard/uboot-env.bin"),
                                 board().host_path("/run/vboard/uboot-env.bin-redund")};
  std::string bytes[2] = {proc_text(copies[0]), proc_text(copies[1])};
  ASSERT_EQ(bytes[0].size(), vboard::UbootEnv::kSize);
  ASSERT_EQ(bytes[1].size(), vboard::UbootEnv::kSize);
  ASSERT_NE(bytes[0][4], bytes[1][4]) << "the two copies carry the same flags";
  // Flags count up by one per write: the newer copy is the one ahead.
  const int newest = static_cast<std::uint8_t>(bytes[0][4] - bytes[1][4]) == 1 ? 0 : 1;
  ASSERT_NE(bytes[newest].find("SN-NEWER"), std::string::npos);
  std::string torn = bytes[newest];
  std::fill(torn.begin() + 16, torn.end(), '\0');
  std::ofstream(copies[newest], std::ios::binary | std::ios::trunc) << torn;
  EXPECT_EQ(ask_text("at+ftm,sn=?"), "OK,SN-OLDER\n");
  EXPECT_EQ(board().shell("fw_printenv msn").output, "msn=SN-OLDER\n");
}

}  // namespace
}  // namespace ftmd::test
