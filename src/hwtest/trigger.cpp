#include "hwtest/trigger.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/unique_fd.h"
#include "core/command.h"
#include "core/file_text.h"
#include "core/shell.h"
#include "hwtest/hwtest.h"

namespace ftmd {
namespace {

struct TriggerInRow {
  int input;   // gpio6, active low
  int detect;  // gpio9
  const char* reply;
};

// The first matching row answers; any other pair (a -1 reading or a number
// other than 0 and 1) gets kTriggerInUnreadable. Typos are the station's.
constexpr std::array<TriggerInRow, 4> kTriggerInReplies = {{
    {0, 0, "ERROR,(Not detected trigger-in and trigger-in value is error)\n"},
    {0, 1, "OK,triggerin=1\n"},
    {1, 0, "ERROR,(Not detected trigger-in)\n"},
    {1, 1, "OK,triggerin=0\n"},
}};
constexpr char kTriggerInUnreadable[] = "ERROR,(Not detected trgger-in or trigger-det)\n";

struct TriggerOutRow {
  int mode;
  int out1;
  int out2;
  const char* reply;
};

constexpr std::array<TriggerOutRow, 8> kTriggerOutReplies = {{
    {0, 0, 0, "OK\n"},
    {0, 1, 0, "ERROR,(trigger out 1 value is 1)\n"},
    {0, 0, 1, "ERROR,(trigger out 2 value is 1)\n"},
    {0, 1, 1, "ERROR,(trigger out 1 value and trigger out 2 value are 1)\n"},
    // Two spaces before "trigger out 2": the station matches the text as is.
    {1, 0, 0, "ERROR,(trigger out 1 value and  trigger out 2 value are 0)\n"},
    {1, 1, 0, "ERROR,(trigger out 2 value is 0)\n"},
    {1, 0, 1, "ERROR,(trigger out 1 value is 0)\n"},
    {1, 1, 1, "OK\n"},
}};
constexpr char kTriggerOutUnlisted[] = "ERROR,(get trigger out 1 and trigger out 2 value ifailed)\n";
constexpr char kTriggerOutNoDevice[] = "ERROR,(/dev/triggerout node doesn't exist)\n";
constexpr char kTriggerOutPipeFailed[] =
    "ERROR,(popen 'cat /sys/kernel/debug/gpio | grep trigget_out' failed)\n";

// The listing is a few dozen lines; anything past this is not read.
constexpr std::size_t kTriggerListingMax = 1 << 20;

const char* triggerin_reply(int input, int detect) {
  for (const TriggerInRow& row : kTriggerInReplies)
    if (row.input == input && row.detect == detect) return row.reply;
  return kTriggerInUnreadable;
}

const char* triggerout_reply(int mode, TriggerOutLevels levels) {
  for (const TriggerOutRow& row : kTriggerOutReplies)
    if (row.mode == mode && row.out1 == levels.out1 && row.out2 == levels.out2) return row.reply;
  return kTriggerOutUnlisted;
}

std::string read_all(ReadPipe& pipe) {
  std::string out;
  std::array<char, 4096> buf;
  std::size_t n;
  while (out.size() < kTriggerListingMax && (n = std::fread(buf.data(), 1, buf.size(), pipe.get())) > 0)
    out.append(buf.data(), n);
  return out;
}

}  // namespace

void gpio_export(const char* value_file, const char* number) {
  if (!path_exists(kGpioExportNode)) {
    syslog(LOG_INFO, "/sys/class/gpio/export not exists, please check it .\n");
    return;
  }
  if (path_exists(value_file)) return;
  syslog(LOG_INFO, "Node1 exists, start handle step1......\n");
  UniqueFd node(::open(kGpioExportNode, O_WRONLY | O_CLOEXEC));
  if (!node) {
    syslog(LOG_ERR, "cannot read /sys/class/gpio/export the file .\n");
    return;
  }
  // The number's characters only: no line end, no NUL.
  std::size_t length = std::strlen(number);
  if (::write(node.get(), number, length) != static_cast<ssize_t>(length))
    syslog(LOG_ERR, "write gpio pin number to node1 error .\n");
}

std::optional<int> parse_gpio_value(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  int value = 0;
  auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value);
  if (ec != std::errc{}) return std::nullopt;
  return value;
}

int gpio_read_value(const char* value_file) {
  UniqueFd fd(::open(value_file, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    syslog(LOG_ERR, "Error opening file : %s,errno:%d\n", value_file, errno);
    return -1;
  }
  std::array<char, 32> buf{};
  ssize_t n = ::read(fd.get(), buf.data(), buf.size() - 1);
  int read_errno = n < 0 ? errno : 0;
  std::optional<int> value =
      n > 0 ? parse_gpio_value(std::string_view(buf.data(), static_cast<std::size_t>(n))) : std::nullopt;
  if (!value) {
    syslog(LOG_ERR, "Error getting gpio value ,errno:%d\n", read_errno);
    return -1;
  }
  return *value;
}

void apply_trigger_listing_line(std::string_view line, TriggerOutLevels& levels) {
  int level = line.find(kTriggerOutLowMarker) != std::string_view::npos ? 0 : 1;
  if (line.find(kTriggerOut1Name) != std::string_view::npos) levels.out1 = level;
  if (line.find(kTriggerOut2Name) != std::string_view::npos) levels.out2 = level;
}

TriggerOutLevels parse_trigger_listing(std::string_view listing) {
  TriggerOutLevels levels;
  while (!listing.empty()) {
    std::size_t end = listing.find('\n');
    std::size_t size = end == std::string_view::npos ? listing.size() : end + 1;
    size = std::min(size, kTriggerListingPiece);
    apply_trigger_listing_line(listing.substr(0, size), levels);
    listing.remove_prefix(size);
  }
  return levels;
}

void triggerin_test(char* args, ReplyBuffer& reply) {
  if (std::strcmp(args, kTriggerInArgs) != 0) {
    invalid_command(args, reply);
    return;
  }
  gpio_export(kTriggerInputGpio.value_file, kTriggerInputGpio.number);
  gpio_export(kTriggerDetectGpio.value_file, kTriggerDetectGpio.number);
  int detect = gpio_read_value(kTriggerDetectGpio.value_file);
  int input = gpio_read_value(kTriggerInputGpio.value_file);
  reply.set(triggerin_reply(input, detect));
}

void triggerout_test(char* args, ReplyBuffer& reply) {
  int mode;
  if (std::strcmp(args, kTriggerOutHighArgs) == 0)
    mode = 1;
  else if (std::strcmp(args, kTriggerOutLowArgs) == 0)
    mode = 0;
  else {
    invalid_command(args, reply);
    return;
  }

  if (!path_exists(kTriggerOutDevice)) {
    reply.set(kTriggerOutNoDevice);
    return;
  }
  // The drive's result is not examined: a failed drive shows as the old
  // levels in the read-back.
  run_shell(mode == 1 ? kTriggerOutDriveHigh : kTriggerOutDriveLow);

  ReadPipe pipe(kTriggerOutListing);
  if (!pipe.started()) {
    reply.set(kTriggerOutPipeFailed);
    return;
  }
  TriggerOutLevels levels = parse_trigger_listing(read_all(pipe));
  pipe.close();
  reply.set(triggerout_reply(mode, levels));
}

}  // namespace ftmd
