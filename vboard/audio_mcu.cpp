#include "vboard/audio_mcu.h"

#include <algorithm>

namespace vboard {
namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::uint8_t kSync = 0xAA;
constexpr std::uint8_t kVolumeSync1 = 0xBB;
constexpr std::uint16_t kTypeControl = 2;

std::vector<std::uint8_t> volume_answer(VolumeAnswer how, std::uint8_t channel, std::uint8_t volume) {
  switch (how) {
    case VolumeAnswer::kEcho:
      return AudioMcu::message(kSync, kTypeControl, AudioMcu::kVolume, {channel, volume});
    case VolumeAnswer::kWrongSync:
      return AudioMcu::message(kVolumeSync1, kTypeControl, AudioMcu::kVolume, {channel, volume});
    case VolumeAnswer::kWrongCommand:
      return AudioMcu::message(kSync, kTypeControl, 2, {channel, volume});
    case VolumeAnswer::kShort: {
      auto m = AudioMcu::message(kSync, kTypeControl, AudioMcu::kVolume, {channel, volume});
      m.resize(kHeaderSize);
      return m;
    }
    case VolumeAnswer::kShifted:
      return AudioMcu::message(kSync, kTypeControl, AudioMcu::kVolume, {7, channel, volume});
    case VolumeAnswer::kNone:
      break;
  }
  return {};
}

}  // namespace

AudioMcu::AudioMcu(std::string device_host_path, const Gpio& gpio)
    : port_(std::move(device_host_path)), gpio_(gpio) {
  port_.set_reader([this](std::span<const std::uint8_t> bytes) { on_chunk(bytes); });
}

AudioMcu::~AudioMcu() {
  // No callback may reach this object once it starts going away; the late
  // answers are stopped and joined with their member.
  port_.set_reader({});
}

void AudioMcu::connect() { port_.connect(); }

void AudioMcu::set_answer_leave_low_power(bool answer) {
  bool answer_now = false;
  {
    std::lock_guard lock(mutex_);
    answer_leave_low_power_ = answer;
    answer_now = answer && leave_waiting_;
    if (answer_now) leave_waiting_ = false;
  }
  if (answer_now) port_.write(message(kSync, kTypeControl, kLeaveLowPower));
}

void AudioMcu::set_volume_answer(VolumeAnswer answer) {
  std::lock_guard lock(mutex_);
  volume_answer_ = answer;
}

void AudioMcu::set_volume_delay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  volume_delay_ = delay;
}

std::vector<std::vector<std::uint8_t>> AudioMcu::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<RpmsgRecord> AudioMcu::records(std::size_t since) const {
  std::lock_guard lock(mutex_);
  if (since >= records_.size()) return {};
  return {records_.begin() + static_cast<std::ptrdiff_t>(since), records_.end()};
}

std::size_t AudioMcu::record_mark() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

std::vector<RpmsgRecord> AudioMcu::messages(std::size_t since) const {
  std::vector<RpmsgRecord> out;
  for (auto& r : records(since))
    if (r.kind == RpmsgRecord::Kind::kMessage) out.push_back(r);
  return out;
}

std::vector<std::string> AudioMcu::lines(std::size_t since) const {
  std::vector<std::string> out;
  for (auto& r : records(since))
    if (r.kind == RpmsgRecord::Kind::kLine) out.push_back(r.text());
  return out;
}

bool AudioMcu::wait_records(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return records_.size() >= count; });
}

int AudioMcu::leave_low_power_count() const {
  std::lock_guard lock(mutex_);
  return leave_low_power_count_;
}

bool AudioMcu::wait_leave_low_power(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return leave_low_power_count_ >= count; });
}

std::vector<std::uint8_t> AudioMcu::message(std::uint8_t sync1, std::uint16_t type, std::uint16_t command,
                                            const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> m(kMessageSize, 0);
  m[0] = kSync;
  m[1] = sync1;
  m[2] = static_cast<std::uint8_t>(type & 0xff);
  m[3] = static_cast<std::uint8_t>(type >> 8);
  m[4] = static_cast<std::uint8_t>(command & 0xff);
  m[5] = static_cast<std::uint8_t>(command >> 8);
  std::size_t n = std::min<std::size_t>(data.size(), kMessageSize - kHeaderSize);
  m[6] = static_cast<std::uint8_t>(n & 0xff);
  m[7] = static_cast<std::uint8_t>(n >> 8);
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), m.begin() + kHeaderSize);
  return m;
}

std::uint16_t AudioMcu::command_of(const std::vector<std::uint8_t>& m) {
  return m.size() < 6 ? 0 : static_cast<std::uint16_t>(m[4] | (m[5] << 8));
}

std::string AudioMcu::gpio84_state() const {
  auto line = gpio_.line(kEnableGpio);
  if (!line || !line->exported) return "unexported";
  return line->output ? "out/" + std::to_string(line->value) : "in/" + std::to_string(line->input_level);
}

void AudioMcu::on_chunk(std::span<const std::uint8_t> bytes) {
  // Taken before our own lock: the GPIO state lives under the sysfs tree's.
  const std::string gpio84 = gpio84_state();
  const auto now = std::chrono::steady_clock::now();
  std::vector<std::vector<std::uint8_t>> answers;
  {
    std::lock_guard lock(mutex_);
    received_.emplace_back(bytes.begin(), bytes.end());
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    while (!pending_.empty()) {
      RpmsgRecord record;
      std::size_t size = 0;
      if (pending_[0] == kSync) {
        // A message; it may come in more than one read.
        if (pending_.size() < kMessageSize) break;
        size = kMessageSize;
        record.gpio84 = gpio84;
      } else {
        auto eol = std::find(pending_.begin(), pending_.end(), '\n');
        if (eol == pending_.end()) break;
        record.kind = RpmsgRecord::Kind::kLine;
        size = static_cast<std::size_t>(eol - pending_.begin()) + 1;
      }
      record.bytes.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
      record.when = now;
      judge_locked(record, answers);
      records_.push_back(std::move(record));
    }
  }
  changed_.notify_all();
  for (const auto& answer : answers) port_.write(answer);
}

void AudioMcu::judge_locked(const RpmsgRecord& record, std::vector<std::vector<std::uint8_t>>& now) {
  if (record.kind != RpmsgRecord::Kind::kMessage) return;
  const std::uint16_t command = command_of(record.bytes);
  if (command == kLeaveLowPower) {
    ++leave_low_power_count_;
    if (answer_leave_low_power_)
      now.push_back(message(kSync, kTypeControl, kLeaveLowPower));
    else
      leave_waiting_ = true;
  } else if (command == kVolume && record.bytes[1] == kVolumeSync1) {
    auto answer = volume_answer(volume_answer_, record.bytes[kHeaderSize], record.bytes[kHeaderSize + 1]);
    if (answer.empty()) return;
    if (volume_delay_.count() == 0)
      now.push_back(std::move(answer));
    else
      answer_later_locked(std::move(answer), volume_delay_);
  }
}

void AudioMcu::answer_later_locked(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay) {
  late_answers_.emplace_back([this, bytes = std::move(bytes), delay](const std::stop_token& stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, stop, delay, [] { return false; }) && !stop.stop_requested()) port_.write(bytes);
  });
}

}  // namespace vboard
