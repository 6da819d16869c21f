#include "vboard/logic_mcu.h"

#include <fcntl.h>

#include <optional>

namespace vboard {

LogicMcu::LogicMcu(std::string device_host_path) : port_(std::move(device_host_path)) {
  port_.set_reader([this](std::span<const std::uint8_t> bytes) { on_chunk(bytes); });
  sender_ = std::jthread([this](const std::stop_token& stop) { send_loop(stop); });
}

LogicMcu::~LogicMcu() {
  // No more chunks into a half-destroyed simulator; the sender stops next.
  port_.set_reader({});
}

void LogicMcu::connect() { port_.connect(); }

LogicMcu::Group LogicMcu::group(int g) const {
  std::lock_guard lock(mutex_);
  return model_.group(g);
}

void LogicMcu::set_group(int g, const Group& state) {
  std::lock_guard lock(mutex_);
  model_.group(g) = state;
}

void LogicMcu::set_reject_level_set(bool reject) {
  std::lock_guard lock(mutex_);
  model_.reject_level_set = reject;
}

void LogicMcu::set_behaviour(std::uint16_t code, Behaviour behaviour) {
  std::lock_guard lock(mutex_);
  if (code != 0) {
    behaviour_[code] = behaviour;
    return;
  }
  for (std::uint16_t c = 1; c <= 4; ++c) behaviour_[c] = behaviour;
}

bool LogicMcu::send(std::span<const std::uint8_t> bytes) {
  bool ok = port_.write(bytes);
  {
    std::lock_guard lock(mutex_);
    ++writes_;
  }
  changed_.notify_all();
  return ok;
}

LogicMcu::Bytes LogicMcu::frame(std::uint16_t cmd, std::span<const std::uint8_t> data) {
  return LogicMcuModel::frame(cmd, data);
}

LogicMcu::Bytes LogicMcu::with_fault(Bytes good, Fault fault) {
  switch (fault) {
    case Fault::kBadChecksum:
      good.back() = static_cast<std::uint8_t>(good.back() + 1);
      break;
    case Fault::kUnknownCode:
      good = frame(kUnknownCode, std::span<const std::uint8_t>(good).subspan(6, good.size() - 7));
      break;
    case Fault::kOverlongMsglen:
      // The checksum still adds up over the bytes sent; only the length lies.
      good[4] = 0x20;
      good[5] = 0x01;
      break;
    default:
      break;
  }
  return good;
}

std::optional<termios> LogicMcu::line_settings() const {
  std::string slave = port_.slave_path();
  if (slave.empty()) return std::nullopt;
  ftmd::UniqueFd fd(::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  termios t{};
  if (!fd || ::tcgetattr(fd.get(), &t) != 0) return std::nullopt;
  return t;
}

std::vector<LogicMcu::Bytes> LogicMcu::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

bool LogicMcu::wait_received(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

std::size_t LogicMcu::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

bool LogicMcu::wait_writes(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return writes_ >= count; });
}

void LogicMcu::schedule_locked(Clock::time_point due, Bytes bytes) { outbox_.emplace(due, std::move(bytes)); }

void LogicMcu::on_chunk(std::span<const std::uint8_t> bytes) {
  const auto now = Clock::now();
  {
    std::lock_guard lock(mutex_);
    received_.emplace_back(bytes.begin(), bytes.end());
    // The daemon writes one request per write; each arrives in one chunk.
    std::optional<Bytes> answer = model_.answer(bytes);
    std::optional<std::uint16_t> code = LogicMcuModel::request_code(bytes);
    if (answer && code) {
      Behaviour b = behaviour_.count(*code) ? behaviour_[*code] : Behaviour{};
      const auto due = now + b.delay;
      if (b.fault == Fault::kSplit) {
        auto half = static_cast<std::ptrdiff_t>(answer->size() / 2);
        schedule_locked(due, Bytes(answer->begin(), answer->begin() + half));
        schedule_locked(due + kSplitGap, Bytes(answer->begin() + half, answer->end()));
      } else if (b.fault != Fault::kSilent) {
        schedule_locked(due, with_fault(std::move(*answer), b.fault));
      }
    }
  }
  changed_.notify_all();
}

void LogicMcu::send_loop(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    if (outbox_.empty()) {
      changed_.wait(lock, stop, [&] { return !outbox_.empty(); });
      continue;
    }
    auto due = outbox_.begin()->first;
    if (Clock::now() < due) {
      changed_.wait_until(lock, stop, due, [&] { return outbox_.begin()->first < due; });
      continue;
    }
    Bytes bytes = std::move(outbox_.begin()->second);
    outbox_.erase(outbox_.begin());
    lock.unlock();
    port_.write(bytes);
    lock.lock();
    ++writes_;
    changed_.notify_all();
  }
}

}  // namespace vboard
