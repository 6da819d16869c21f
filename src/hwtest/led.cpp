#include "hwtest/led.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <bit>

#include "common/unique_fd.h"
#include "core/file_text.h"
#include "hwtest/hwtest.h"

namespace ftmd {
namespace {

bool has(LedMask mask, LedChannel c) { return (mask & led_bit(c)) != 0; }

UniqueFd open_brightness(LedChannel c) {
  UniqueFd fd(::open(led_info(c).brightness, O_WRONLY | O_CLOEXEC));
  if (!fd) syslog(LOG_ERR, "%s", led_info(c).open_failed_log);
  return fd;
}

// One write of exactly the two value bytes; logs the channel's text on failure.
bool write_value(const UniqueFd& fd, LedChannel c, bool on) {
  const char* value = on ? kLedOnValue : kLedOffValue;
  if (::write(fd.get(), value, sizeof(kLedOnValue)) == static_cast<ssize_t>(sizeof(kLedOnValue))) return true;
  syslog(LOG_ERR, "%s", led_info(c).write_failed_log);
  return false;
}

// Best effort: failures are logged and never change the reply. A channel
// whose class directory is missing is not touched at all.
void switch_off(LedChannel c, LedMask missing) {
  if (has(missing, c)) return;
  UniqueFd fd = open_brightness(c);
  if (fd) write_value(fd, c, false);
}

void run_single(const LedPattern& pattern, LedMask missing, ReplyBuffer& reply) {
  LedChannel lit = static_cast<LedChannel>(std::countr_zero(pattern.set));
  const LedChannelInfo& info = led_info(lit);
  if (has(missing, lit)) {
    reply.set(info.driver_missing);
    return;
  }
  UniqueFd fd = open_brightness(lit);
  if (!fd || !write_value(fd, lit, true)) {
    reply.set(info.state_error);
    return;
  }
  for (LedChannel other : pattern.off_after) switch_off(other, missing);
  reply.set("OK\n");
}

void run_group(const LedPattern& pattern, LedMask missing, ReplyBuffer& reply) {
  for (std::size_t i = 0; i < kLedChannelCount; ++i) {
    auto c = static_cast<LedChannel>(i);
    if (has(pattern.off_first, c)) switch_off(c, missing);
  }

  // Open the whole set first, then write: a channel that cannot be opened
  // does not keep the others from being written. A channel whose LED is
  // missing is tried too (and so logged); it counts as failed either way.
  std::array<UniqueFd, kLedChannelCount> files;
  LedMask failed = missing & pattern.set;
  for (std::size_t i = 0; i < kLedChannelCount; ++i) {
    auto c = static_cast<LedChannel>(i);
    if (!has(pattern.set, c)) continue;
    files[i] = open_brightness(c);
    if (!files[i]) failed |= led_bit(c);
  }
  for (std::size_t i = 0; i < kLedChannelCount; ++i) {
    auto c = static_cast<LedChannel>(i);
    if (files[i] && !write_value(files[i], c, pattern.on)) failed |= led_bit(c);
  }
  for (UniqueFd& fd : files) fd.reset();

  if (failed == kNoLeds)
    reply.set("OK\n");
  else
    reply.printf("check led: %s\n", led_group_error(failed));
}

}  // namespace

void led_test(char* args, ReplyBuffer& reply) {
  const char* pattern = args;
  syslog(LOG_INFO, "ledcontrol data is %s\n", pattern);

  // Without the red channel there is no LED driver at all.
  const char* red_dir = led_info(LedChannel::kRed).class_dir;
  if (!path_exists(red_dir)) {
    syslog(LOG_ERR, "%s does not exist\n", red_dir);
    reply.set("can not find led driver\n");
    return;
  }
  LedMask missing = kNoLeds;
  for (LedChannel c : {LedChannel::kGreen, LedChannel::kBlue}) {
    if (path_exists(led_info(c).class_dir)) continue;
    syslog(LOG_ERR, "%s does not exist\n", led_info(c).class_dir);
    missing |= led_bit(c);
  }

  const LedPattern* found = find_led_pattern(pattern);
  if (found == nullptr) {
    // The leading space and the spelling are what the test station expects.
    reply.set(" ERROR,Invaild Cmd\n");
    return;
  }
  if (found->kind == LedPatternKind::kSingle)
    run_single(*found, missing, reply);
  else
    run_group(*found, missing, reply);
}

}  // namespace ftmd
