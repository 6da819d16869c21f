#include "vboard/logic_mcu.h"

namespace vboard {

LogicMcu::LogicMcu(std::string device_host_path) : port_(std::move(device_host_path)) {
  port_.set_reader([this](std::span<const std::uint8_t> bytes) { on_chunk(bytes); });
}

void LogicMcu::connect() { port_.connect(); }

std::vector<std::vector<std::uint8_t>> LogicMcu::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

void LogicMcu::on_chunk(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  received_.emplace_back(bytes.begin(), bytes.end());
}

}  // namespace vboard
