#include "vboard/audio_mcu_sim.h"

#include <algorithm>

namespace vboard {
namespace {

constexpr std::size_t kMessageSize = 200;
constexpr std::size_t kHeaderSize = 8;
constexpr std::uint8_t kSync = 0xAA;
constexpr std::uint16_t kCmdVolume = 1;
constexpr std::uint16_t kCmdLeaveLpm = 25;
constexpr std::uint16_t kTypeControl = 2;

std::vector<std::uint8_t> message(std::uint8_t sync1, std::uint16_t command, std::vector<std::uint8_t> data) {
  std::vector<std::uint8_t> m(kMessageSize, 0);
  m[0] = kSync;
  m[1] = sync1;
  m[2] = kTypeControl;
  m[4] = static_cast<std::uint8_t>(command);
  m[5] = static_cast<std::uint8_t>(command >> 8);
  m[6] = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), m.begin() + kHeaderSize);
  return m;
}

std::vector<std::uint8_t> volume_answer(VolumeAnswer how, std::uint8_t channel, std::uint8_t volume) {
  switch (how) {
    case VolumeAnswer::kEcho:
      return message(kSync, kCmdVolume, {channel, volume});
    case VolumeAnswer::kWrongSync:
      return message(0xBB, kCmdVolume, {channel, volume});
    case VolumeAnswer::kWrongCommand:
      return message(kSync, 2, {channel, volume});
    case VolumeAnswer::kShort: {
      auto m = message(kSync, kCmdVolume, {channel, volume});
      m.resize(kHeaderSize);
      return m;
    }
    case VolumeAnswer::kShifted:
      return message(kSync, kCmdVolume, {7, channel, volume});
    case VolumeAnswer::kNone:
      break;
  }
  return {};
}

}  // namespace

AudioMcuSim::AudioMcuSim(Writer writer, GpioProbe gpio84) : writer_(std::move(writer)), gpio84_(std::move(gpio84)) {}

AudioMcuSim::~AudioMcuSim() {
  std::vector<std::jthread> late;
  {
    std::lock_guard lock(mutex_);
    late.swap(late_answers_);
  }
  // Each jthread is asked to stop and joined here, before the writer goes.
}

void AudioMcuSim::on_bytes(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  for (;;) {
    if (pending_.empty()) return;
    RpmsgRecord record{RpmsgRecord::Kind::kLine, {}, Clock::now(), {}};
    std::size_t size = 0;
    if (pending_[0] == kSync) {
      if (pending_.size() < kMessageSize) return;
      record.kind = RpmsgRecord::Kind::kMessage;
      size = kMessageSize;
    } else {
      auto eol = std::find(pending_.begin(), pending_.end(), '\n');
      if (eol == pending_.end()) return;
      size = static_cast<std::size_t>(eol - pending_.begin()) + 1;
    }
    record.bytes.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    handle_locked(std::move(record));
  }
}

void AudioMcuSim::handle_locked(RpmsgRecord record) {
  if (record.kind == RpmsgRecord::Kind::kMessage) {
    if (gpio84_) record.gpio84 = gpio84_();
    const bool leave = record.type() == kTypeControl && record.command() == kCmdLeaveLpm;
    const bool volume = record.bytes[1] == 0xBB && record.command() == kCmdVolume;
    if (leave) {
      if (hold_leave_)
        leave_waiting_ = true;
      else
        answer_locked(message(kSync, kCmdLeaveLpm, {}), std::chrono::milliseconds(0));
    } else if (volume) {
      auto answer = volume_answer(volume_answer_, record.bytes[kHeaderSize], record.bytes[kHeaderSize + 1]);
      if (!answer.empty()) answer_locked(std::move(answer), volume_delay_);
    }
  }
  records_.push_back(std::move(record));
  changed_.notify_all();
}

void AudioMcuSim::answer_locked(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay) {
  if (delay.count() == 0) {
    writer_(bytes);
    return;
  }
  late_answers_.emplace_back([this, bytes = std::move(bytes), delay](std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, stop, delay, [] { return false; }) && !stop.stop_requested()) writer_(bytes);
  });
}

void AudioMcuSim::set_volume_answer(VolumeAnswer answer) {
  std::lock_guard lock(mutex_);
  volume_answer_ = answer;
}

void AudioMcuSim::set_volume_delay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  volume_delay_ = delay;
}

void AudioMcuSim::hold_leave_answer(bool hold) {
  std::lock_guard lock(mutex_);
  hold_leave_ = hold;
  if (!hold && leave_waiting_) {
    leave_waiting_ = false;
    answer_locked(message(kSync, kCmdLeaveLpm, {}), std::chrono::milliseconds(0));
  }
}

std::vector<RpmsgRecord> AudioMcuSim::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<RpmsgRecord> AudioMcuSim::messages() const {
  std::vector<RpmsgRecord> out;
  for (auto& r : records())
    if (r.kind == RpmsgRecord::Kind::kMessage) out.push_back(r);
  return out;
}

std::vector<std::string> AudioMcuSim::test_lines() const {
  std::vector<std::string> out;
  for (auto& r : records())
    if (r.kind == RpmsgRecord::Kind::kLine) out.push_back(r.text());
  return out;
}

bool AudioMcuSim::wait_records(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return records_.size() >= count; });
}

void AudioMcuSim::clear_records() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace vboard
