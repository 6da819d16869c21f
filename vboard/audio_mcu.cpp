#include "vboard/audio_mcu.h"

namespace vboard {

AudioMcu::AudioMcu(std::string device_host_path) : port_(std::move(device_host_path)) {
  port_.set_reader([this](std::span<const std::uint8_t> bytes) { on_chunk(bytes); });
}

void AudioMcu::connect() { port_.connect(); }

void AudioMcu::set_answer_leave_low_power(bool answer) {
  std::lock_guard lock(mutex_);
  answer_leave_low_power_ = answer;
}

std::vector<std::vector<std::uint8_t>> AudioMcu::received() const {
  std::lock_guard lock(mutex_);
  return received_;
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
  m[0] = 0xAA;
  m[1] = sync1;
  m[2] = static_cast<std::uint8_t>(type & 0xff);
  m[3] = static_cast<std::uint8_t>(type >> 8);
  m[4] = static_cast<std::uint8_t>(command & 0xff);
  m[5] = static_cast<std::uint8_t>(command >> 8);
  std::size_t n = std::min<std::size_t>(data.size(), kMessageSize - 8);
  m[6] = static_cast<std::uint8_t>(n & 0xff);
  m[7] = static_cast<std::uint8_t>(n >> 8);
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), m.begin() + 8);
  return m;
}

std::uint16_t AudioMcu::command_of(const std::vector<std::uint8_t>& m) {
  return m.size() < 6 ? 0 : static_cast<std::uint16_t>(m[4] | (m[5] << 8));
}

void AudioMcu::on_chunk(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> chunk(bytes.begin(), bytes.end());
  bool answer = false;
  {
    std::lock_guard lock(mutex_);
    received_.push_back(chunk);
    // A message arrives in one read of the tty.
    if (chunk.size() == kMessageSize && command_of(chunk) == kLeaveLowPower) {
      ++leave_low_power_count_;
      answer = answer_leave_low_power_;
    }
  }
  changed_.notify_all();
  if (answer) port_.write(message(0xAA, 2, kLeaveLowPower));
}

}  // namespace vboard
